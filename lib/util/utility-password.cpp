// Stored-password obfuscation (Blowfish CFB-64 under a fixed key, then
// Base64) and the Base64 codec it uses.
//
// OpenSSL 3 marks the low-level Blowfish calls deprecated; they are still in
// libcrypto and the stored format depends on exactly them, so this one file
// asks for the 1.1 API instead of silencing warnings for the whole build.
#define OPENSSL_API_COMPAT 0x10100000L

#include <openssl/blowfish.h>

#include <cstring>
#include <vector>

#include "utility.h"

const uint32_t g_encChalleng = 0x3A7C1E59;

namespace {

// Decoding values of every byte; -1 for anything outside the alphabet,
// the pad character and all bytes from 0x80 up included.
const signed char b64[256] = {
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x00
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x10
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 62, -1, -1, -1, 63,  // 0x20 + /
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, -1, -1, -1, -1, -1, -1,  // 0x30 0-9
    -1, 0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,  // 0x40 A-O
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, -1, -1, -1, -1, -1,  // 0x50 P-Z
    -1, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,  // 0x60 a-o
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, -1, -1, -1, -1, -1,  // 0x70 p-z
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  // 0x80
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
};

inline int B64Value(char c) {
    return b64[static_cast<unsigned char>(c)];
}

// The key schedule costs as much as encrypting a few kilobytes, and the list
// readers decode a password per row, so it is built once; it is only read
// afterwards, which makes sharing it between threads safe.
const BF_KEY& Schedule() {
    static const BF_KEY schedule = [] {
        unsigned char key[sizeof g_encChalleng];
        std::memcpy(key, &g_encChalleng, sizeof key);
        BF_KEY s;
        BF_set_key(&s, static_cast<int>(sizeof key), key);
        return s;
    }();
    return schedule;
}

// Every call starts from a zero vector and feedback position 0, so each
// stored text decodes on its own, independent of any other.
void BlowfishCfb(const unsigned char* in, unsigned char* out, size_t len, int direction) {
    unsigned char ivec[32] = {0};
    int num = 0;
    BF_cfb64_encrypt(in, out, static_cast<long>(len), &Schedule(), ivec, &num, direction);
}

}  // namespace

char CBase64Table(int value) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return kAlphabet[value & 63];
}

char* SzBase64EncBuf(unsigned char* BufStart, int bufferSize, bool blChkZero) {
    if (BufStart == nullptr) return nullptr;
    size_t n = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 0;
    // Room for the whole input plus the terminating zero: an output of fixed
    // size would silently drop the tail of a long input.
    size_t room = (n + 2) / 3 * 4 + 1;
    char* out = new char[room];
    std::memset(out, 0, room);

    char* w = out;
    size_t i = 0;
    while (i < n) {
        if (blChkZero && BufStart[i] == 0) break;
        unsigned b0 = BufStart[i];
        size_t left = n - i;
        *w++ = CBase64Table(static_cast<int>(b0 >> 2));
        if (left >= 3) {
            unsigned b1 = BufStart[i + 1], b2 = BufStart[i + 2];
            *w++ = CBase64Table(static_cast<int>(((b0 << 4) & 0x30) | (b1 >> 4)));
            *w++ = CBase64Table(static_cast<int>(((b1 << 2) & 0x3C) | (b2 >> 6)));
            *w++ = CBase64Table(static_cast<int>(b2 & 0x3F));
        } else if (left == 2) {
            unsigned b1 = BufStart[i + 1];
            *w++ = CBase64Table(static_cast<int>(((b0 << 4) & 0x30) | (b1 >> 4)));
            *w++ = CBase64Table(static_cast<int>((b1 << 2) & 0x3C));
            *w++ = '=';
        } else {
            *w++ = CBase64Table(static_cast<int>((b0 << 4) & 0x30));
            *w++ = '=';
            *w++ = '=';
        }
        i += 3;
    }
    return out;
}

char* SzBase64EncBuffer(unsigned char* BufferStart, int bufferLength) {
    return SzBase64EncBuf(BufferStart, bufferLength, false);
}

char* SzBase64EncOneLine(unsigned char* szSubjectStart, int subjectLength) {
    return SzBase64EncBuf(szSubjectStart, subjectLength, true);
}

bool EncBase64Dec(const char* in, size_t inlen, char* out, size_t* outlen) {
    if (out == nullptr || in == nullptr || outlen == nullptr) return false;
    size_t outleft = *outlen;
    if (inlen < 2) {
        *outlen = 0;
        return inlen == 0;
    }
    if (B64Value(in[0]) < 0 || B64Value(in[1]) < 0 || outleft == 0) {
        *outlen = 0;
        return false;
    }

    size_t written = 0;
    bool ok = false;
    for (;;) {
        int s0 = B64Value(in[0]);
        int s1 = B64Value(in[1]);
        out[written++] = static_cast<char>((s0 << 2) | (s1 >> 4));
        --outleft;
        if (inlen == 2) break;
        if (in[2] == '=') {
            ok = inlen == 4 && in[3] == '=';
            break;
        }
        int s2 = B64Value(in[2]);
        if (s2 < 0) break;
        if (outleft == 0) return false;
        out[written++] = static_cast<char>(((s1 << 4) & 0xF0) | (s2 >> 2));
        --outleft;
        if (inlen == 3) break;
        if (in[3] == '=') {
            ok = inlen == 4;
            break;
        }
        int s3 = B64Value(in[3]);
        if (s3 < 0) break;
        if (outleft == 0) return false;
        out[written++] = static_cast<char>(((s2 << 6) & 0xC0) | s3);
        --outleft;

        in += 4;
        inlen -= 4;
        if (inlen < 2) {
            ok = inlen == 0;
            break;
        }
        if (B64Value(in[0]) < 0 || B64Value(in[1]) < 0) break;
        if (outleft == 0) return false;
    }
    *outlen = written;
    return ok;
}

void SyncPassEnc(const std::string& in, std::string& out) {
    out.clear();
    size_t n = in.size();
    // The encoder takes an int length; nothing longer can be stored.
    if (n > static_cast<size_t>(INT32_MAX)) return;
    std::vector<unsigned char> cipher(n + 1, 0);
    BlowfishCfb(reinterpret_cast<const unsigned char*>(in.data()), cipher.data(), n, BF_ENCRYPT);
    char* text = SzBase64EncBuffer(cipher.data(), static_cast<int>(n));
    out.assign(text);
    delete[] text;
}

void SyncPassDec(const std::string& in, std::string& out) {
    out.clear();
    size_t lenDec = in.size() + 1;
    std::vector<char> decoded(lenDec, 0);
    std::vector<unsigned char> clear(lenDec + 1, 0);
    if (!EncBase64Dec(in.data(), in.size(), decoded.data(), &lenDec)) return;
    BlowfishCfb(reinterpret_cast<const unsigned char*>(decoded.data()), clear.data(), lenDec,
                BF_DECRYPT);
    clear[lenDec] = 0;
    out.assign(reinterpret_cast<const char*>(clear.data()));
}
