// Config: the line grammar, reading, writing and typed lookups.

#include "config.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "sys-internal.h"

using bv_internal::g_sys;

namespace {

// Closes the stream on every way out. write() takes it back for the last
// close, since a close that fails there is a write that failed.
struct FileCloser {
    void operator()(FILE* fp) const { g_sys.fclose(fp); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

// fgets reads at most this many bytes minus one per call, so a longer line
// is seen as several lines.
constexpr int kLineBuffer = 8192;

bool Contains(const ustring& s, char c) {
    for (size_t i = 0; i < s.length(); ++i)
        if (s[i] == c) return true;
    return false;
}

// The value as it must appear after "=" to be read back unchanged, or false
// when no quoting of the grammar can carry it.
bool QuoteValue(const ustring& value, std::string* out) {
    for (size_t i = 0; i < value.length(); ++i)
        if (!Config::is_value_char(static_cast<unsigned char>(value[i]))) return false;
    const std::string text(value.c_str(), value.length());
    if (!Contains(value, '"')) {
        *out = "\"" + text + "\"";
    } else if (!Contains(value, '\'')) {
        *out = "'" + text + "'";
    } else if (!text.empty() && !Contains(value, ' ') && text[0] != '"' && text[0] != '\'') {
        *out = text;  // both quotes inside: only the unquoted form is left
    } else {
        return false;
    }
    return true;
}

}  // namespace

Config::Config(const ustring& path) {
    read(path);
}

bool Config::is_key_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool Config::is_value_char(unsigned char c) {
    return c >= 32 && c != 127;
}

bool Config::is_space(unsigned char c) {
    return (c >= 9 && c <= 13) || c == 32;
}

int Config::parse(char* buf, int n, ustring& key, ustring& value) {
    if (buf == nullptr || n <= 0) return EMPTY;
    const size_t size = static_cast<size_t>(n);
    // Past the buffer reads as the terminating NUL, so a buffer without one
    // is never overrun.
    auto at = [buf, size](size_t i) -> unsigned char {
        return i < size ? static_cast<unsigned char>(buf[i]) : 0;
    };

    size_t i = 0;
    while (is_space(at(i))) ++i;
    const size_t key_begin = i;
    while (is_key_char(at(i))) ++i;
    const size_t key_end = i;
    if (at(i) == 0 || at(i) == '#') return EMPTY;

    while (is_space(at(i))) ++i;
    if (at(i) != '=') return INVALID;
    ++i;
    while (is_space(at(i))) ++i;
    if (at(i) == 0) return INVALID;

    size_t value_begin;
    size_t value_end;
    const unsigned char quote = at(i);
    if (quote == '\'' || quote == '"') {
        value_begin = ++i;
        while (at(i) != quote) {
            if (!is_value_char(at(i))) return INVALID;  // also the end of the text
            ++i;
        }
        value_end = i++;
    } else {
        value_begin = i;
        while (at(i) != ' ' && is_value_char(at(i))) ++i;
        value_end = i;
    }

    while (is_space(at(i))) ++i;
    if (at(i) != 0 && at(i) != '#') return INVALID;

    if (key_end < size) buf[key_end] = '\0';
    if (value_end < size) buf[value_end] = '\0';
    key.assign(buf + key_begin, key_end - key_begin);
    value.assign(buf + value_begin, value_end - value_begin);
    return OK;
}

int Config::read(const ustring& path) {
    if (path.empty()) return -1;
    FileOwner fp(g_sys.fopen(path.c_str_utf8(), "r"));
    if (fp == nullptr) return -1;
    // fopen accepts a directory; its first read fails, which would otherwise
    // pass for an empty file.
    struct stat st;
    if (g_sys.fstat(fileno(fp.get()), &st) != 0 || S_ISDIR(st.st_mode)) return -1;

    char buf[kLineBuffer];
    ustring key;
    ustring value;
    while (g_sys.fgets(buf, sizeof buf, fp.get()) != nullptr) {
        const int kind = parse(buf, sizeof buf, key, value);
        if (kind == OK) {
            store[key] = value;
        } else if (kind == INVALID) {
            store.clear();
            return -1;
        }
    }
    return 0;
}

int Config::write(const ustring& path) const {
    if (path.empty()) return -1;
    std::string text;
    for (const auto& kv : store) {
        for (size_t i = 0; i < kv.first.length(); ++i)
            if (!is_key_char(static_cast<unsigned char>(kv.first[i]))) return -1;
        std::string quoted;
        if (!QuoteValue(kv.second, &quoted)) return -1;
        std::string line = std::string(kv.first.c_str(), kv.first.length()) + " = " + quoted + "\n";
        if (line.size() > static_cast<size_t>(kLineBuffer - 1)) return -1;
        text += line;
    }

    FileOwner fp(g_sys.fopen(path.c_str_utf8(), "w"));
    if (fp == nullptr) return -1;
    const bool written = g_sys.fwrite(text.data(), 1, text.size(), fp.get()) == text.size();
    const bool flushed = g_sys.fflush(fp.get()) == 0;
    const bool closed = g_sys.fclose(fp.release()) == 0;
    return written && flushed && closed ? 0 : -1;
}

ustring& Config::operator[](const ustring& key) {
    return store[key];
}

int Config::get_int(const ustring& key) {
    std::istringstream in(std::string(store[key].c_str()));
    int number = 0;
    in >> number;
    return number;
}

bool Config::get_bool(const ustring& key) const {
    auto it = store.find(key);
    if (it == store.end()) return false;
    std::string text(it->second.c_str());
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (text == "true" || text == "yes" || text == "on") return true;
    std::istringstream in(text);
    long long number = 0;
    in >> number;
    return number != 0;
}

void Config::unset(const ustring& key) {
    store.erase(key);
}
