// Fuzzing of the configuration reader. The input is cut into lines as the
// reader's 8192-byte buffer cuts a file, and each line is classified both by
// Config::parse and by an independent reading of the grammar, which must
// agree on the class, the key and the value. Config::read of the same bytes,
// into a map already holding a pair, must then give -1 and an empty map for
// a malformed line, else 0 and exactly the reference's pairs (a later line
// winning); values must read as the int a stream extracts, and what is read
// must survive Config::write and a second read. The unit tests run it on
// generated inputs.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "config.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "config model mismatch: %s\n", what);
    std::abort();
}
#define CHECK(cond) ((cond) ? void(0) : Fail(#cond))

using Pairs = std::map<std::string, std::string>;
constexpr size_t kLineBuf = 8192;

bool Space(unsigned char c) {
    return (c >= 9 && c <= 13) || c == ' ';
}

// The grammar, step by step, on a NUL-terminated line: Config::OK with the
// pair, EMPTY or INVALID.
int RefParse(const char* s, std::string* key, std::string* value) {
    auto at = [s](size_t k) { return static_cast<unsigned char>(s[k]); };
    size_t i = 0, k0, v0;
    while (Space(at(i))) ++i;
    for (k0 = i; std::isalnum(at(i)) || at(i) == '-' || at(i) == '_';) ++i;
    *key = std::string(s + k0, i - k0);
    if (at(i) == 0 || at(i) == '#') return Config::EMPTY;
    while (Space(at(i))) ++i;
    if (at(i++) != '=') return Config::INVALID;
    while (Space(at(i))) ++i;
    if (at(i) == 0) return Config::INVALID;
    const unsigned char quote = at(i) == '\'' || at(i) == '"' ? at(i++) : 0;
    for (v0 = i; quote ? at(i) != quote : at(i) > ' ' && at(i) != 127; ++i)
        if (at(i) < ' ' || at(i) == 127) return Config::INVALID;  // also the end of the text
    *value = std::string(s + v0, i - v0);
    if (quote) ++i;
    while (Space(at(i))) ++i;
    return at(i) == 0 || at(i) == '#' ? Config::OK : Config::INVALID;
}

Pairs PairsOf(Config& c) {
    Pairs out;
    for (auto& kv : c)
        out[std::string(kv.first.c_str(), kv.first.length())] =
            std::string(kv.second.c_str(), kv.second.length());
    return out;
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: rewriting files on a disk costs a flush.
    struct stat st;
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr)
        base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/config_fuzz.XXXXXX";
    if (!mkdtemp(&tmpl[0])) std::abort();
    g_dir = tmpl;
    std::atexit([] {
        unlink((g_dir + "/in.conf").c_str());
        unlink((g_dir + "/out.conf").c_str());
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Pairs want;
    bool invalid = false;
    Config parser;
    char buf[kLineBuf];
    // The pieces fgets reads: up to a line feed, at most kLineBuf - 1 bytes.
    for (size_t start = 0, end; start < size; start = end) {
        for (end = start; end < size && end - start < kLineBuf - 1;)
            if (data[end++] == '\n') break;
        std::memset(buf, 'X', sizeof buf);
        std::memcpy(buf, data + start, end - start);
        buf[end - start] = '\0';
        std::string rkey, rvalue;
        const int ref = RefParse(buf, &rkey, &rvalue);
        ustring key("unset-key"), value("unset-value");
        const int got = parser.parse(buf, sizeof buf, key, value);
        CHECK(got == ref);
        CHECK(std::string(key.c_str(), key.length()) == (got == Config::OK ? rkey : "unset-key"));
        CHECK(std::string(value.c_str(), value.length()) ==
              (got == Config::OK ? rvalue : "unset-value"));
        if (got == Config::OK) want[rkey] = rvalue;
        invalid = invalid || got == Config::INVALID;
    }

    const std::string in_path = g_dir + "/in.conf", out_path = g_dir + "/out.conf";
    FILE* f = std::fopen(in_path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
    Config c;
    c["zz-earlier"] = "kept";
    const int rc = c.read(in_path);
    CHECK(rc == (invalid ? -1 : 0));
    if (invalid) {
        CHECK(c.begin() == c.end());
        return 0;
    }
    want.insert({"zz-earlier", "kept"});
    CHECK(PairsOf(c) == want);
    for (const auto& kv : want) {
        std::istringstream in(kv.second);
        int number = 0;
        in >> number;
        CHECK(c.get_int(kv.first) == number);
    }
    CHECK(PairsOf(c) == want);  // reading numbers inserts nothing
    if (c.write(out_path) == 0) {
        Config back;
        CHECK(back.read(out_path) == 0 && PairsOf(back) == want);
    }
    return 0;
}
