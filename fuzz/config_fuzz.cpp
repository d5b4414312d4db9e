// Fuzzing of the configuration reader. The input is cut into lines exactly
// as the reader's 8192-byte line buffer cuts a file, and every line is
// classified both by Config::parse and by an independent reading of the
// grammar; the two must agree on the class, the key and the value. The same
// input is then written to a file and read with Config::read into a map that
// already holds a pair: a file with a malformed line must leave the map
// empty and give -1, any other file must give 0 and exactly the pairs of the
// reference (a later line winning). A successful read is finally written
// back with Config::write and read again, which must give the same pairs,
// and every value must read as the int a stream would extract from it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "config.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "config model mismatch: %s\n", what);
    std::abort();
}
#define CHECK(cond)               \
    do {                          \
        if (!(cond)) Fail(#cond); \
    } while (0)

constexpr size_t kLineBuf = 8192;

bool Space(unsigned char c) {
    return (c >= 9 && c <= 13) || c == ' ';
}
bool KeyChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

struct Parsed {
    int result;
    std::string key, value;
};

// The grammar, step by step, on a NUL-terminated line.
Parsed RefParse(const char* s) {
    size_t i = 0;
    auto uc = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    while (Space(uc(i))) ++i;
    size_t k0 = i;
    while (KeyChar(uc(i))) ++i;
    std::string key(s + k0, i - k0);
    if (s[i] == '\0' || s[i] == '#') return {Config::EMPTY, "", ""};
    while (Space(uc(i))) ++i;
    if (s[i] != '=') return {Config::INVALID, "", ""};
    ++i;
    while (Space(uc(i))) ++i;
    if (s[i] == '\0') return {Config::INVALID, "", ""};
    std::string value;
    if (s[i] == '\'' || s[i] == '"') {
        char q = s[i++];
        size_t v0 = i;
        while (s[i] != q) {
            if (uc(i) < 32 || uc(i) == 127) return {Config::INVALID, "", ""};
            ++i;
        }
        value.assign(s + v0, i - v0);
        ++i;
    } else {
        size_t v0 = i;
        while (uc(i) > 32 && uc(i) != 127) ++i;
        value.assign(s + v0, i - v0);
    }
    while (Space(uc(i))) ++i;
    if (s[i] != '\0' && s[i] != '#') return {Config::INVALID, "", ""};
    return {Config::OK, key, value};
}

// The pieces a line buffer of kLineBuf bytes reads from the input: up to and
// including a line feed, at most kLineBuf - 1 bytes each.
std::vector<std::string> Pieces(const uint8_t* data, size_t size) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < size) {
        size_t start = i;
        while (i < size && i - start < kLineBuf - 1) {
            if (data[i++] == '\n') break;
        }
        out.emplace_back(reinterpret_cast<const char*>(data + start), i - start);
    }
    return out;
}

std::string Bytes(const ustring& u) {
    return std::string(u.c_str(), u.length());
}

std::map<std::string, std::string> Pairs(Config& c) {
    std::map<std::string, std::string> out;
    for (auto& kv : c) out[Bytes(kv.first)] = Bytes(kv.second);
    return out;
}

// A value read as an int the way an input stream extracts one (0 when it
// is no number, the nearest limit when it is out of range).
int StreamInt(const std::string& text) {
    std::istringstream in(text);
    int v = 0;
    in >> v;
    return v;
}

std::string g_dir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: truncating and rewriting files on a disk
    // file system costs a flush each time.
    struct stat st;
    std::string tmpl = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    tmpl += "/config_fuzz.XXXXXX";
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
    std::map<std::string, std::string> want;
    bool invalid = false;
    Config parser;
    std::vector<char> buf(kLineBuf);
    for (const std::string& piece : Pieces(data, size)) {
        std::memset(buf.data(), 'X', buf.size());
        std::memcpy(buf.data(), piece.data(), piece.size());
        buf[piece.size()] = '\0';
        Parsed ref = RefParse(buf.data());
        ustring key("unset-key"), value("unset-value");
        int r = parser.parse(buf.data(), static_cast<int>(buf.size()), key, value);
        CHECK(r == ref.result);
        if (r == Config::OK) {
            CHECK(Bytes(key) == ref.key);
            CHECK(Bytes(value) == ref.value);
            want[ref.key] = ref.value;
        } else {
            CHECK(Bytes(key) == "unset-key");
            CHECK(Bytes(value) == "unset-value");
        }
        if (r == Config::INVALID) invalid = true;
    }

    const std::string in_path = g_dir + "/in.conf";
    FILE* f = std::fopen(in_path.c_str(), "wb");
    if (!f) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    Config c;
    c["zz-earlier"] = "kept";
    int rc = c.read(ustring(in_path.c_str()));
    if (invalid) {
        CHECK(rc == -1);
        CHECK(c.begin() == c.end());
        return 0;
    }
    CHECK(rc == 0);
    if (!want.count("zz-earlier")) want["zz-earlier"] = "kept";
    CHECK(Pairs(c) == want);
    for (const auto& kv : want) CHECK(c.get_int(ustring(kv.first.c_str())) == StreamInt(kv.second));
    CHECK(Pairs(c) == want);  // reading numbers inserts nothing new

    // What was read must survive a write and a second read.
    const std::string out_path = g_dir + "/out.conf";
    if (c.write(ustring(out_path.c_str())) == 0) {
        Config back;
        CHECK(back.read(ustring(out_path.c_str())) == 0);
        CHECK(Pairs(back) == want);
    }
    return 0;
}
