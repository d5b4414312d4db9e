// Fuzzing of the password codec against a model written from the rules, not
// from the decoder's loop. The input is used three ways:
//  - as Base64 text for EncBase64Dec, with an output buffer of exactly the
//    room announced (so any write past it is caught): same result, same byte
//    count and same bytes as the model;
//  - as a stored password for SyncPassDec, which must give the empty text
//    for anything the model rejects and never a text with a NUL;
//  - as a clear password: both encoders must give the RFC 4648 text of the
//    whole input, and SyncPassDec(SyncPassEnc(x)) must give x back up to its
//    first NUL, whatever the length.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "utility.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "base64 model mismatch: %s\n", what);
    std::abort();
}
#define CHECK(cond)               \
    do {                          \
        if (!(cond)) Fail(#cond); \
    } while (0)

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Value(char c) {
    const char* p = c ? std::strchr(kAlphabet, c) : nullptr;
    return p ? static_cast<int>(p - kAlphabet) : -1;
}

// Strict Base64: whole groups of four, alphabet characters only, except a
// final "xx==" or "xxx=".
bool Valid(const std::string& t) {
    const size_t n = t.size();
    if (n % 4 != 0) return false;
    for (size_t i = 0; i < n; ++i) {
        const bool pad =
            (i == n - 1 && t[i] == '=') || (i == n - 2 && t[i] == '=' && t[n - 1] == '=');
        if (Value(t[i]) < 0 && !pad) return false;
    }
    return true;
}

// The bytes a decoder gets before the first character it cannot use: byte k
// of group g takes characters 4g+k and 4g+k+1, and decoding stops at the
// first byte one of whose two characters is missing or outside the alphabet.
std::string Decodable(const std::string& t) {
    std::string out;
    for (size_t k = 0;; ++k) {
        const size_t a = k / 3 * 4 + k % 3, b = a + 1;
        if (b >= t.size() || Value(t[a]) < 0 || Value(t[b]) < 0) return out;
        const int va = Value(t[a]), vb = Value(t[b]), shift = 2 * (k % 3 + 1);
        out.push_back(static_cast<char>((va << shift) | (vb >> (6 - shift))));
    }
}

std::string RefEncode(const unsigned char* p, size_t n, bool stop_at_zero) {
    std::string s;
    for (size_t i = 0; i < n; i += 3) {
        if (stop_at_zero && p[i] == 0) break;
        unsigned b0 = p[i], b1 = i + 1 < n ? p[i + 1] : 0, b2 = i + 2 < n ? p[i + 2] : 0;
        s += kAlphabet[b0 >> 2];
        s += kAlphabet[((b0 << 4) & 0x30) | (b1 >> 4)];
        s += i + 1 < n ? kAlphabet[((b1 << 2) & 0x3C) | (b2 >> 6)] : '=';
        s += i + 2 < n ? kAlphabet[b2 & 0x3F] : '=';
    }
    return s;
}

// With room for `room` bytes: while the decodable bytes fit, they are all
// written and the result is the text's validity; a text needing more room
// fails, leaving *outlen at its entry value and the first `room` bytes.
void CheckDecoder(const std::string& in, const std::string& bytes, bool valid, size_t room) {
    std::vector<char> got(room);
    size_t got_len = room;
    const bool res = EncBase64Dec(in.data(), in.size(), got.data(), &got_len);
    const bool fits = bytes.size() <= room;
    CHECK(res == (fits && valid));
    CHECK(got_len == (fits ? bytes.size() : room));
    CHECK(std::memcmp(got.data(), bytes.data(), got_len) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string bytes = Decodable(input);
    const bool valid = Valid(input);

    size_t one = 1;
    char sink[4];
    CHECK(!EncBase64Dec(nullptr, size, sink, &one));
    CHECK(!EncBase64Dec(input.data(), size, nullptr, &one));
    CHECK(!EncBase64Dec(input.data(), size, sink, nullptr));
    for (size_t room : {bytes.size(), bytes.size() + 3, bytes.size() / 2, size_t(1), size % 7})
        if (room > 0) CheckDecoder(input, bytes, valid, room);

    // A stored password the model rejects decodes to nothing.
    std::string clear = "stale";
    SyncPassDec(input, clear);
    CHECK(valid ? clear.size() <= bytes.size() : clear.empty());
    CHECK(clear.find('\0') == std::string::npos);

    auto* raw = const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(input.data()));
    for (bool one_line : {false, true}) {
        char* enc = one_line ? SzBase64EncOneLine(raw, static_cast<int>(size))
                             : SzBase64EncBuffer(raw, static_cast<int>(size));
        CHECK(enc != nullptr && std::string(enc) == RefEncode(raw, size, one_line));
        delete[] enc;
    }

    std::string stored = "stale", back = "stale";
    SyncPassEnc(input, stored);
    CHECK(stored.size() == (size + 2) / 3 * 4);
    SyncPassDec(stored, back);
    CHECK(back == input.substr(0, input.find('\0')));
    return 0;
}
