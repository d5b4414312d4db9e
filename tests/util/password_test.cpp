// Password obfuscation and the Base64 codec.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "utility.h"

namespace {

std::string Encode(const std::string& bytes, bool one_line = false) {
    std::string copy = bytes;  // the encoders take a mutable pointer
    std::unique_ptr<char[]> text(
        one_line ? SzBase64EncOneLine(reinterpret_cast<unsigned char*>(&copy[0]),
                                      static_cast<int>(copy.size()))
                 : SzBase64EncBuffer(reinterpret_cast<unsigned char*>(&copy[0]),
                                     static_cast<int>(copy.size())));
    return text ? std::string(text.get()) : std::string("<null>");
}

struct Decoded {
    bool ok;
    std::string bytes;
    size_t outlen;
};

Decoded Decode(const std::string& text, size_t room = 256) {
    std::string out(room, '\xAA');
    size_t outlen = room;
    bool ok = EncBase64Dec(text.data(), text.size(), &out[0], &outlen);
    return {ok, out.substr(0, std::min(outlen, room)), outlen};
}

std::string Enc(const std::string& p) {
    std::string out = "stale";
    SyncPassEnc(p, out);
    return out;
}

std::string Dec(const std::string& t) {
    std::string out = "stale";
    SyncPassDec(t, out);
    return out;
}

// Known answers from an independent Blowfish implementation, produced with
//
//   printf '%s' "$PASSWORD" | openssl enc -bf-cfb -provider legacy -provider default -K
//   591e7c3a591e7c3a591e7c3a591e7c3a -iv 0000000000000000 -nosalt | base64 -w0
//
// (OpenSSL 3.0.19). The command line only takes a 16-byte key; the 4-byte key
// 59 1E 7C 3A repeated four times gives the identical Blowfish key schedule,
// because the schedule reads the key bytes cyclically and 4 divides 16.
struct Vector {
    const char* password;
    const char* stored;
};
const Vector kVectors[] = {
    {"a", "8A=="},
    {"secret", "4ve3TXP2"},
    {"pa'ss word", "4fPzTGWiJrrhqA=="},
    {"correct horse battery staple", "8v2mTXPhJfUvUkdkw/lwjNXmvkFdZTLjX+53Zg=="},
    {"Gr\xC3\xBC\xC3\x9F"
     "e!",
     "1uAXg9UdNPQ="},
};

TEST(PasswordTest, KnownAnswersMatchAnIndependentCipher) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.password);
        EXPECT_EQ(Enc(v.password), v.stored);
        EXPECT_EQ(Dec(v.stored), v.password);
    }
}

TEST(PasswordTest, ObfuscatedTextDiffersAndRoundTripsAtEveryLength) {
    std::string p;
    for (int n = 1; n <= 200; ++n) {
        p.push_back(static_cast<char>(1 + (n * 37) % 255));  // never NUL
        std::string stored = Enc(p);
        ASSERT_NE(stored, p);
        ASSERT_EQ(stored.size(), 4 * ((p.size() + 2) / 3)) << n;
        ASSERT_EQ(stored.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        ASSERT_EQ(Dec(stored), p) << n;
    }
}

TEST(PasswordTest, LongPasswordsRoundTripWhole) {
    // Beyond the 2304 bytes that once filled a fixed output buffer.
    for (size_t n : {2303u, 2304u, 2305u, 3000u, 10000u}) {
        std::string p(n, 'x');
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>('!' + i % 90);
        std::string stored = Enc(p);
        EXPECT_EQ(stored.size(), 4 * ((n + 2) / 3)) << n;
        EXPECT_EQ(Dec(stored), p) << n;
    }
}

TEST(PasswordTest, EmptyAndInvalidTexts) {
    EXPECT_EQ(Enc(""), "");
    EXPECT_EQ(Dec(""), "");
    EXPECT_EQ(Dec("not base64!"), "");
    EXPECT_EQ(Dec("4ve3TXP"), "");     // truncated group
    EXPECT_EQ(Dec("4ve3TXP2\n"), "");  // trailing line break
}

TEST(PasswordTest, NulBytesAreEncryptedButCutOnDecoding) {
    std::string p("ab\0cd", 5);
    std::string stored = Enc(p);
    EXPECT_EQ(stored.size(), 8u);  // all five bytes were encoded
    EXPECT_EQ(Dec(stored), "ab");
}

TEST(Base64Test, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"Man", "TWFu"},
        {"Ma", "TWE="},
        {"M", "TQ=="},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.first);
        EXPECT_EQ(Encode(v.first), v.second);
        Decoded d = Decode(v.second);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(d.bytes, v.first);
    }
    // Every byte value survives the round trip.
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    Decoded d = Decode(Encode(all), 512);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, all);
}

TEST(Base64Test, EncoderForms) {
    EXPECT_EQ(SzBase64EncBuf(nullptr, 10, false), nullptr);
    EXPECT_EQ(Encode(std::string("ab\0cd", 5), true), Encode(std::string("ab\0cd", 5)));
    EXPECT_EQ(Encode(std::string("abc\0", 4), true), "YWJj");
    EXPECT_EQ(Encode(std::string("abc\0", 4)), "YWJjAA==");
    EXPECT_EQ(Encode(std::string("\0abc", 4), true), "");
    // No line breaks, whatever the length.
    std::string big = Encode(std::string(5000, 'q'));
    EXPECT_EQ(big.size(), 4u * 1667u);
    EXPECT_EQ(big.find('\n'), std::string::npos);

    EXPECT_EQ(CBase64Table(0), 'A');
    EXPECT_EQ(CBase64Table(26), 'a');
    EXPECT_EQ(CBase64Table(62), '+');
    EXPECT_EQ(CBase64Table(63), '/');
    EXPECT_EQ(CBase64Table(64 + 52), '0');  // only the low 6 bits count
    EXPECT_EQ(CBase64Table(-1), '/');
}

TEST(Base64Test, DecoderRejections) {
    Decoded d = Decode("TWE");
    EXPECT_FALSE(d.ok);  // a group of three characters is incomplete
    EXPECT_EQ(d.bytes.substr(0, 1), "M");

    for (const char* bad : {"TW=E", "T===", "TW E", "TWFu\n", "TWFu TWFu", "T", "====", "TQ==TWFu",
                            "TWFu=", "TW\xC3\xA9", "TWF\x80", "-_-_"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Decode(bad).ok);
    }
    d = Decode("");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.outlen, 0u);

    char out[8];
    size_t room = sizeof out;
    EXPECT_FALSE(EncBase64Dec(nullptr, 4, out, &room));
    EXPECT_FALSE(EncBase64Dec("TWFu", 4, nullptr, &room));
    EXPECT_FALSE(EncBase64Dec("TWFu", 4, out, nullptr));
    room = 0;
    EXPECT_FALSE(EncBase64Dec("TWFu", 4, out, &room));
    EXPECT_EQ(room, 0u);
}

TEST(Base64Test, FullOutputBufferStopsTheDecoder) {
    // Room for 3 bytes: a second group cannot start.
    Decoded d = Decode("TWFuTWFu", 3);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.outlen, 3u);  // left as on entry
    EXPECT_EQ(d.bytes, "Man");

    // Room for 2 bytes: the third byte of the first group does not fit.
    d = Decode("TWFu", 2);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.bytes, "Ma");

    // Exactly enough room succeeds.
    d = Decode("TWFuTWE=", 5);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.bytes, "ManMa");
    EXPECT_EQ(d.outlen, 5u);
}

}  // namespace
