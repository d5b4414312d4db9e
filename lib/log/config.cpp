// Config: the line grammar, reading, writing and typed lookups.

#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "sys-internal.h"

using bv_internal::g_sys;

namespace {

// Closes the stream on every way out.
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

// A new file beside `target`, named after it and this process, opened for
// writing; -1 when none can be made. A name left behind by a process that
// died mid-write is skipped.
int CreateBeside(const std::string& target, std::string* name) {
    static std::atomic<unsigned> sequence{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = target + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(sequence++);
        const int fd = g_sys.open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool WriteAll(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = g_sys.write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Puts `text` in place of the file at `path` (of the file a symbolic link
// there points to) so that at every moment, a crash included, the file holds
// either all of its old content or all of the new: the text goes to a new
// file beside it, reaches the disk, and then takes the old one's name. The
// permissions of a file replaced are kept.
int ReplaceFile(const char* path, const std::string& text) {
    std::string target = path;
    if (char* real = g_sys.realpath(path, nullptr)) {
        target = real;
        free(real);
    } else if (errno != ENOENT) {
        return -1;
    }
    struct stat old;
    const bool existed = g_sys.stat(target.c_str(), &old) == 0;
    if (!existed && errno != ENOENT) return -1;

    std::string temporary;
    const int fd = CreateBeside(target, &temporary);
    if (fd < 0) return -1;
    bool done = WriteAll(fd, text) && (!existed || g_sys.fchmod(fd, old.st_mode & 07777) == 0) &&
                g_sys.fsync(fd) == 0;
    done = g_sys.close(fd) == 0 && done;
    done = done && g_sys.rename(temporary.c_str(), target.c_str()) == 0;
    if (!done) g_sys.unlink(temporary.c_str());
    return done ? 0 : -1;
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

    return ReplaceFile(path.c_str_utf8(), text);
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
