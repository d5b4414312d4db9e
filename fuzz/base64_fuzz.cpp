// Fuzzing of the password codec. The input is used three ways:
//  - as Base64 text for EncBase64Dec, with an output buffer of exactly the
//    room announced (so any write past it is caught), compared with an
//    independent reading of the strict decoding rules: same result, same
//    byte count, same bytes;
//  - as a stored password for SyncPassDec, which must give the empty text
//    for anything the decoder rejects and never a text with a NUL;
//  - as a clear password: SzBase64EncBuffer / SzBase64EncOneLine must give
//    the RFC 4648 text of the whole input (the encoder has no length cap),
//    and SyncPassDec(SyncPassEnc(x)) must give x back up to its first NUL
//    (all of x when it holds none), whatever the length.
#include <algorithm>
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
bool Alpha(char c) {
    return Value(c) >= 0;
}

// The decoding rules, one group of four characters at a time.
bool RefDecode(const char* in, size_t inlen, unsigned char* out, size_t* outlen) {
    size_t outleft = *outlen;
    if (inlen < 2) {
        *outlen = 0;
        return inlen == 0;
    }
    if (!Alpha(in[0]) || !Alpha(in[1]) || outleft == 0) {
        *outlen = 0;
        return false;
    }
    size_t w = 0, i = 0, remain = inlen;
    bool ok;
    for (;;) {
        int s0 = Value(in[i]), s1 = Value(in[i + 1]);
        out[w++] = static_cast<unsigned char>((s0 << 2) | (s1 >> 4));
        --outleft;
        if (remain == 2) {
            ok = false;
            break;
        }
        if (in[i + 2] == '=') {
            ok = remain == 4 && in[i + 3] == '=';
            break;
        }
        if (!Alpha(in[i + 2])) {
            ok = false;
            break;
        }
        if (outleft == 0) return false;
        int s2 = Value(in[i + 2]);
        out[w++] = static_cast<unsigned char>(((s1 << 4) & 0xF0) | (s2 >> 2));
        --outleft;
        if (remain == 3) {
            ok = false;
            break;
        }
        if (in[i + 3] == '=') {
            ok = remain == 4;
            break;
        }
        if (!Alpha(in[i + 3])) {
            ok = false;
            break;
        }
        if (outleft == 0) return false;
        int s3 = Value(in[i + 3]);
        out[w++] = static_cast<unsigned char>(((s2 << 6) & 0xC0) | s3);
        --outleft;
        i += 4;
        remain -= 4;
        if (remain < 2) {
            ok = remain == 0;
            break;
        }
        if (!Alpha(in[i]) || !Alpha(in[i + 1])) {
            ok = false;
            break;
        }
        if (outleft == 0) return false;
    }
    *outlen = w;
    return ok;
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

void CheckDecoder(const char* in, size_t inlen, size_t room) {
    // Exactly `room` bytes, so that a write past the room is an overflow.
    std::vector<char> got(room);
    std::vector<unsigned char> want(room);
    size_t got_len = room, want_len = room;
    bool res = EncBase64Dec(in, inlen, got.data(), &got_len);
    bool ref = RefDecode(in, inlen, want.data(), &want_len);
    CHECK(res == ref);
    CHECK(got_len == want_len);
    CHECK(std::memcmp(got.data(), want.data(), std::min(want_len, room)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::string input(text, size);

    // Null arguments.
    size_t one = 1;
    char sink[4];
    CHECK(!EncBase64Dec(nullptr, size, sink, &one));
    CHECK(!EncBase64Dec(text, size, nullptr, &one));
    CHECK(!EncBase64Dec(text, size, sink, nullptr));

    // The decoder with several amounts of room.
    const size_t exact = size / 4 * 3 + 3;
    for (size_t room :
         {exact, exact / 2, static_cast<size_t>(1), static_cast<size_t>(size % 7), size + 1})
        if (room > 0) CheckDecoder(text, size, room);

    // Decoding a stored password.
    std::string clear = "stale";
    SyncPassDec(input, clear);
    std::vector<unsigned char> scratch(size + 1);
    size_t dec_len = size + 1;
    if (!RefDecode(text, size, scratch.data(), &dec_len)) {
        CHECK(clear.empty());
    } else {
        CHECK(clear.size() <= dec_len);
        CHECK(clear.find('\0') == std::string::npos);
    }

    // Encoding: the text is RFC 4648 Base64 of the whole input, whatever its
    // length.
    unsigned char* raw =
        const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(input.data()));
    char* enc = SzBase64EncBuffer(raw, static_cast<int>(size));
    CHECK(enc != nullptr);
    CHECK(std::string(enc) == RefEncode(raw, size, false));
    delete[] enc;
    char* line = SzBase64EncOneLine(raw, static_cast<int>(size));
    CHECK(line != nullptr);
    CHECK(std::string(line) == RefEncode(raw, size, true));
    delete[] line;

    // The round trip of a password, up to its first NUL.
    std::string stored = "stale";
    SyncPassEnc(input, stored);
    CHECK(stored.size() == (size + 2) / 3 * 4);
    std::string back = "stale";
    SyncPassDec(stored, back);
    CHECK(back == input.substr(0, input.find('\0')));
    // The same without NUL bytes: the whole password comes back.
    std::string no_nul;
    for (char c : input)
        if (c) no_nul.push_back(c);
    SyncPassEnc(no_nul, stored);
    SyncPassDec(stored, back);
    CHECK(back == no_nul);
    return 0;
}
