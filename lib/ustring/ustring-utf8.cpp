// ustring: where UTF-8 text ends and whether it is valid, the test that
// normalisation and is_valid() share.
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "ustring-internal.h"

namespace bv_internal {
namespace {

// The first NUL or byte from 0x80 at or after p, or end. Subtracting 1 from
// each byte of a word sets the high bit of a NUL and of no other byte below
// 0x80, except above a NUL, whose borrow runs on: the lowest flagged byte is
// still the one sought.
// Inlined by force: a name's ASCII runs are a few bytes long, and a call for
// each of them costs as much as the run.
__attribute__((always_inline)) inline const unsigned char* PlainAsciiEnd(const unsigned char* p,
                                                                         const unsigned char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        const uint64_t flagged = ((word - kOnes) | word) & kHigh;
        if (flagged) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return p + (__builtin_ctzll(flagged) >> 3);
#else
            break;
#endif
        }
        p += 8;
    }
    while (p != end && static_cast<unsigned char>(*p - 1) < 0x7F) ++p;
    return p;
}

// The scans have internal linkage, so that ScanUtf8 can take them inline:
// the library is built position-independent, and GCC will not inline an
// exported function into another there.
Utf8Scan ScanScalar(const char* s, size_t n) {
    const unsigned char* const begin = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* const end = begin + n;
    const unsigned char* p = begin;
    bool ascii = true, marks = false;
    for (;;) {
        p = PlainAsciiEnd(p, end);
        if (p == end) return {n, true, ascii, marks};
        if (*p == 0) return {static_cast<size_t>(p - begin), true, ascii, marks};
        ascii = false;
        // A run of multi-byte characters. The first trail's range is narrower
        // after E0 and F0 (overlong), ED (surrogates) and F4 (beyond
        // U+10FFFF). A NUL is never a trail, so no sequence runs past the end
        // of the text.
        do {
            const unsigned c = *p;
            const size_t left = static_cast<size_t>(end - p);
            bool ok;
            if (c - 0xC2u < 0xE0 - 0xC2) {
                ok = left > 1 && (p[1] & 0xC0) == 0x80;
                marks |= (c & 0xFE) == 0xCC;
                p += 2;
            } else if (c - 0xE0u < 0xF0 - 0xE0) {
                const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
                ok = left > 2 && p[1] >= lo && p[1] <= hi && (p[2] & 0xC0) == 0x80;
                marks |= c == 0xE1 && (p[1] & 0xFC) == 0x84;
                p += 3;
            } else if (c - 0xF0u < 0xF5 - 0xF0) {
                const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
                ok = left > 3 && p[1] >= lo && p[1] <= hi && (p[2] & 0xC0) == 0x80 &&
                     (p[3] & 0xC0) == 0x80;
                p += 4;
            } else {
                ok = false;
            }
            if (!ok) return {strnlen(s, n), false, false, false};
        } while (p != end && *p >= 0x80);
    }
}

// Defining BV_USTRING_SCALAR_ONLY leaves the vector path out, to test the
// scalar one on any machine.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(BV_USTRING_SCALAR_ONLY)
#define BV_USTRING_AVX2 1

// The same scan of bytes that hold no NUL, 32 at a time and without a
// branch per character: each byte's pair with the byte before it is
// classified through three 16-entry tables (high and low nibble of the first,
// high nibble of the second), whose entries are sets of the errors that pair
// may show; a pair is bad when the three sets share an error. Third and
// fourth bytes, where a continuation follows a continuation, are told apart
// by the lead two and three bytes back.
namespace avx2 {

enum : uint8_t {
    kTooShort = 1 << 0,      // a lead, or a 2-byte lead's end, followed by no continuation
    kTooLong = 1 << 1,       // ASCII followed by a continuation
    kOverlong3 = 1 << 2,     // E0 80..9F
    kTooLarge = 1 << 3,      // F4 90..BF, F5..FF
    kSurrogate = 1 << 4,     // ED A0..BF
    kOverlong2 = 1 << 5,     // C0, C1
    kTooLarge1000 = 1 << 6,  // F5..FF 80..8F
    kOverlong4 = 1 << 6,     // F0 80..8F
    kTwoConts = 1 << 7,      // a continuation after a continuation
    kCarry = kTooShort | kTooLong | kTwoConts,
};

__attribute__((target("avx2"))) inline __m256i Table(const uint8_t (&t)[16]) {
    const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(half);
}

__attribute__((target("avx2"))) Utf8Scan Scan(const unsigned char* p, size_t n) {
    // clang-format off
    static const uint8_t first_high[16] = {
        kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
        kTwoConts, kTwoConts, kTwoConts, kTwoConts,
        kTooShort | kOverlong2,
        kTooShort,
        kTooShort | kOverlong3 | kSurrogate,
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
    static const uint8_t first_low[16] = {
        kCarry | kOverlong3 | kOverlong2 | kOverlong4,
        kCarry | kOverlong2,
        kCarry, kCarry,
        kCarry | kTooLarge,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000};
    static const uint8_t second_high[16] = {
        kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooShort, kTooShort, kTooShort, kTooShort};
    // A lead in the last three bytes of a block opens a sequence the block
    // does not finish.
    static const uint8_t cut_short[32] = {
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
    // clang-format on
    const __m256i t1 = Table(first_high), t2 = Table(first_low), t3 = Table(second_high);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i cut = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cut_short));
    __m256i prev = _mm256_setzero_si256(), open = prev, error = prev, marks = prev;
    bool ascii = true;

    auto check = [&](__m256i in) __attribute__((target("avx2"))) {
        const __m256i joined = _mm256_permute2x128_si256(prev, in, 0x21);
        const __m256i prev1 = _mm256_alignr_epi8(in, joined, 15);
        const __m256i prev2 = _mm256_alignr_epi8(in, joined, 14);
        const __m256i prev3 = _mm256_alignr_epi8(in, joined, 13);
        const __m256i hi1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble);
        const __m256i lo1 = _mm256_and_si256(prev1, nibble);
        const __m256i hi2 = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble);
        const __m256i pair = _mm256_and_si256(
            _mm256_and_si256(_mm256_shuffle_epi8(t1, hi1), _mm256_shuffle_epi8(t2, lo1)),
            _mm256_shuffle_epi8(t3, hi2));
        // Third and fourth bytes of a sequence must be continuations, which
        // the pair tables report as two continuations in a row.
        const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(0xE0 - 0x80));
        const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(0xF0 - 0x80));
        const __m256i must = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                              _mm256_set1_epi8(static_cast<char>(0x80)));
        error = _mm256_or_si256(error, _mm256_xor_si256(must, pair));
        // CC or CD; or 84-87 after E1.
        const __m256i mark =
            _mm256_cmpeq_epi8(_mm256_and_si256(in, _mm256_set1_epi8(static_cast<char>(0xFE))),
                              _mm256_set1_epi8(static_cast<char>(0xCC)));
        const __m256i jamo = _mm256_and_si256(
            _mm256_cmpeq_epi8(prev1, _mm256_set1_epi8(static_cast<char>(0xE1))),
            _mm256_cmpeq_epi8(_mm256_and_si256(in, _mm256_set1_epi8(static_cast<char>(0xFC))),
                              _mm256_set1_epi8(static_cast<char>(0x84))));
        marks = _mm256_or_si256(marks, _mm256_or_si256(mark, jamo));
        open = _mm256_subs_epu8(in, cut);
        prev = in;
    };

    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        if (_mm256_movemask_epi8(in) == 0) {
            // ASCII: valid itself, and wrong only after a sequence left open.
            error = _mm256_or_si256(error, open);
            open = _mm256_setzero_si256();
            prev = in;
        } else {
            ascii = false;
            check(in);
        }
    }
    if (i != n) {
        __m256i rest;
        if (n >= 64) {
            // The last 32 bytes, after the 32 before them: pairs checked
            // twice give the same verdict, and nothing is copied.
            prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 64));
            rest = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 32));
        } else {
            alignas(32) unsigned char last[32] = {};
            std::memcpy(last, p + i, n - i);
            rest = _mm256_load_si256(reinterpret_cast<const __m256i*>(last));
        }
        if (_mm256_movemask_epi8(rest) != 0) ascii = false;
        check(rest);
    }
    // A sequence still open at the end is cut short.
    error = _mm256_or_si256(error, open);
    const bool valid = _mm256_testz_si256(error, error);
    return {n, valid, valid && ascii, valid && !_mm256_testz_si256(marks, marks)};
}

}  // namespace avx2
#endif

#ifdef BV_USTRING_AVX2
const bool kHasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

bool ScanVector([[maybe_unused]] const char* s, [[maybe_unused]] size_t n,
                [[maybe_unused]] Utf8Scan* scan) {
#ifdef BV_USTRING_AVX2
    if (kHasAvx2) {
        *scan = avx2::Scan(reinterpret_cast<const unsigned char*>(s), strnlen(s, n));
        return true;
    }
#endif
    return false;
}

}  // namespace

size_t WidenAscii(const char* s, size_t n, uchar16_t* out) {
    const unsigned char* const begin = reinterpret_cast<const unsigned char*>(s);
    const size_t k = static_cast<size_t>(PlainAsciiEnd(begin, begin + n) - begin);
    for (size_t i = 0; i < k; ++i) out[i] = begin[i];
    return k;
}

Utf8Scan ScanUtf8Scalar(const char* s, size_t n) {
    return ScanScalar(s, n);
}

bool ScanUtf8Vector(const char* s, size_t n, Utf8Scan* scan) {
    return ScanVector(s, n, scan);
}

Utf8Scan ScanUtf8(const char* s, size_t n) {
    Utf8Scan scan;
    // Below a few blocks the vector set-up costs more than it saves.
    if (n >= 64 && ScanVector(s, n, &scan)) return scan;
    return ScanScalar(s, n);
}

}  // namespace bv_internal
