// ustring: storage, UTF-8/UTF-16 conversion, editing, normalisation and
// streams. Searching, trimming and comparison are in ustring-search.cpp.
#include "ustring.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <new>
#include <ostream>
#include <stdexcept>

#include "ustring-internal.h"

using bv_internal::OrEmpty;
using bv_internal::Within;

namespace {

// The warnings carry fixed reference numbers rather than __LINE__, so that
// what they print stays the same as this file changes.
constexpr int kLineFromUtf8 = 900;
constexpr int kLineToUtf8 = 867;
constexpr int kLineGetInstance = 993;
constexpr int kLineNormalize = 1005;

void Warn(const char* fn, int code, int line) {
    std::fprintf(stderr, "Warning: %s: error code %d at line %d\n", fn, code, line);
    std::fflush(stderr);
}

size_t Strlen16(const uchar16_t* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != 0) ++n;
    return n;
}

// Both estimates below sum per-element counts in 16-bit blocks (each block
// stays below 65536) so that the compiler vectorises them on narrow lanes.
constexpr size_t kEstimateBlock = 16384;

// Exact UTF-8 length of valid UTF-16 (a surrogate pair counts 2 + 2); an
// unpaired surrogate fails the conversion whatever the room.
size_t Utf8Estimate(const uchar16_t* s, size_t n) {
    size_t bytes = 0;
    while (n) {
        size_t m = n < kEstimateBlock ? n : kEstimateBlock;
        uint16_t acc = 0;
        for (size_t i = 0; i < m; ++i) {
            uint16_t u = s[i];
            acc = static_cast<uint16_t>(acc + 1 + (u >= 0x80) + (u >= 0x800) -
                                        ((u & 0xF800) == 0xD800));
        }
        bytes += acc;
        s += m;
        n -= m;
    }
    return bytes;
}

// ICU counts in int32_t; longer texts are refused with ICU's own error code
// rather than truncated.
bool FitsIcu(size_t n) {
    return n < static_cast<size_t>(INT32_MAX);
}

// What precedes the first NUL of n bytes, and whether it is well-formed
// UTF-8 as ICU's conversion defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF, no sequence cut short.
struct Utf8Scan {
    size_t len;
    bool valid;
};

// True when the 16 bytes at p hold neither a NUL nor a byte from 0x80:
// subtracting 1 sets the high bit of exactly those, or of none.
inline bool PlainAscii16(const unsigned char* p) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    return (((a - kOnes) | a | (b - kOnes) | b) & kHigh) == 0;
}

Utf8Scan ScanUtf8Scalar(const char* s, size_t n) {
    const unsigned char* const begin = reinterpret_cast<const unsigned char*>(s);
    const unsigned char* const end = begin + n;
    const unsigned char* p = begin;
    for (;;) {
        while (end - p >= 16 && PlainAscii16(p)) p += 16;
        if (p == end) return {n, true};
        const unsigned c = *p;
        if (c < 0x80) {
            if (c == 0) return {static_cast<size_t>(p - begin), true};
            ++p;
            continue;
        }
        // The first trail's range is narrower after E0 and F0 (overlong), ED
        // (surrogates) and F4 (beyond U+10FFFF). A NUL is never a trail, so
        // no sequence runs past the end of the text.
        const size_t trails = c < 0xC2 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF5 ? 3 : 0;
        const unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        bool ok = trails != 0 && static_cast<size_t>(end - p) > trails && p[1] >= lo && p[1] <= hi;
        for (size_t k = 2; ok && k <= trails; ++k) ok = (p[k] & 0xC0) == 0x80;
        if (!ok) return {strnlen(s, n), false};
        p += trails + 1;
    }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(BV_USTRING_SCALAR_ONLY)
#define BV_USTRING_AVX2 1

// The same test on bytes that hold no NUL, 32 at a time and without a
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

__attribute__((target("avx2"))) bool Valid(const unsigned char* p, size_t n) {
    static const uint8_t first_high[16] = {kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTooLong,
                                           kTwoConts,
                                           kTwoConts,
                                           kTwoConts,
                                           kTwoConts,
                                           kTooShort | kOverlong2,
                                           kTooShort,
                                           kTooShort | kOverlong3 | kSurrogate,
                                           kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
    static const uint8_t first_low[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                          kCarry | kOverlong2,
                                          kCarry,
                                          kCarry,
                                          kCarry | kTooLarge,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                          kCarry | kTooLarge | kTooLarge1000,
                                          kCarry | kTooLarge | kTooLarge1000};
    static const uint8_t second_high[16] = {
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort};
    // Bytes at the end of a block that start a sequence needing more bytes.
    static const uint8_t cut_short[32] = {255, 255, 255, 255, 255, 255,      255,      255,
                                          255, 255, 255, 255, 255, 255,      255,      255,
                                          255, 255, 255, 255, 255, 255,      255,      255,
                                          255, 255, 255, 255, 255, 0xF0 - 1, 0xE0 - 1, 0xC0 - 1};
    const __m256i t1 = Table(first_high), t2 = Table(first_low), t3 = Table(second_high);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i cut = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cut_short));
    __m256i prev = _mm256_setzero_si256(), open = prev, error = prev;

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
            check(in);
        }
    }
    // The rest, padded with NULs: a sequence still open there is cut short.
    alignas(32) unsigned char last[32] = {};
    std::memcpy(last, p + i, n - i);
    check(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
    return _mm256_testz_si256(error, error);
}

}  // namespace avx2
#endif

Utf8Scan ScanUtf8(const char* s, size_t n) {
#ifdef BV_USTRING_AVX2
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    // Below a few blocks the vector set-up costs more than it saves.
    if (n >= 64 && has_avx2) {
        const size_t len = strnlen(s, n);
        return {len, avx2::Valid(reinterpret_cast<const unsigned char*>(s), len)};
    }
#endif
    return ScanUtf8Scalar(s, n);
}

// Collects ICU's output in one malloc'd buffer: room for the input first
// (enough when only a few characters change), then doubled as needed. ICU
// cannot take an exception through its frames, so a failed allocation is
// remembered and thrown once ICU has returned.
class GrowingSink : public icu::ByteSink {
  public:
    explicit GrowingSink(size_t cap) : buf_(static_cast<char*>(std::malloc(cap))), cap_(cap) {
        if (!buf_) throw std::bad_alloc();
    }
    ~GrowingSink() override { std::free(buf_); }
    GrowingSink(const GrowingSink&) = delete;
    GrowingSink& operator=(const GrowingSink&) = delete;

    void Append(const char* bytes, int32_t n) override {
        const size_t k = static_cast<size_t>(n);
        if (failed_ || k == 0) return;
        if (cap_ - len_ - 1 < k) {
            size_t cap = std::max(len_ + k + 1, 2 * cap_);
            void* p = std::realloc(buf_, cap);
            if (!p) {
                failed_ = true;
                return;
            }
            buf_ = static_cast<char*>(p);
            cap_ = cap;
        }
        std::memcpy(buf_ + len_, bytes, k);
        len_ += k;
    }

    // Hands the terminated bytes over in a buffer of exactly their size and
    // returns its capacity.
    size_t Release(char** bytes, size_t* len) {
        if (failed_) throw std::bad_alloc();
        buf_[len_] = '\0';
        if (len_ + 1 != cap_) {
            void* p = std::realloc(buf_, len_ + 1);
            if (p) {
                buf_ = static_cast<char*>(p);
                cap_ = len_ + 1;
            }
        }
        *bytes = buf_;
        *len = len_;
        buf_ = nullptr;
        return cap_;
    }

  private:
    char* buf_;
    size_t len_ = 0, cap_;
    bool failed_ = false;
};

}  // namespace

// ---- storage --------------------------------------------------------------

void ustring::realloc_data(size_t len) {
    if (data_cap >= len && len >= (data_cap >> 1)) return;
    if (data_cap == 0 && len <= 1) return;
    void* p = data_cap ? std::realloc(data, len) : std::malloc(len);
    if (!p) throw std::bad_alloc();
    data = static_cast<char*>(p);
    if (data_cap == 0) data[0] = '\0';
    data_cap = len;
}

void ustring::realloc_wdata(size_t len) const {
    if (wdata_cap >= len && len >= (wdata_cap >> 1)) return;
    if (wdata_cap == 0 && len <= 1) return;
    if (len > SIZE_MAX / sizeof(uchar16_t)) throw std::bad_alloc();
    void* p = wdata_cap ? std::realloc(wdata, len * sizeof(uchar16_t))
                        : std::malloc(len * sizeof(uchar16_t));
    if (!p) throw std::bad_alloc();
    wdata = static_cast<uchar16_t*>(p);
    if (wdata_cap == 0) wdata[0] = 0;
    wdata_cap = len;
}

void ustring::release() noexcept {
    if (data_cap) std::free(data);
    if (wdata_cap) std::free(wdata);
    init();
}

// An empty string with room for `need` bytes, the terminator included.
void ustring::init_sized(size_t need) {
    init();
    realloc_data(need);
}

ustring::ustring() noexcept {
    init();
}

ustring::ustring(const ustring& x) {
    size_t k = std::strlen(x.data);
    init_sized(k + 1);
    append_bytes(x.data, k, k);
}

ustring::ustring(ustring&& x) noexcept
    : data(x.data),
      data_len(x.data_len),
      data_cap(x.data_cap),
      wdata(x.wdata),
      wdata_len(x.wdata_len),
      wdata_cap(x.wdata_cap) {
    x.init();
}

ustring::ustring(const char* s) {
    s = OrEmpty(s);
    size_t k = std::strlen(s);
    init_sized(k + 1);
    append_bytes(s, k, k);
}

ustring::ustring(const uchar16_t* s) {
    init();
    try {
        assign(s);
    } catch (...) {
        release();
        throw;
    }
}

ustring::ustring(const std::string& x) {
    size_t k = std::strlen(x.c_str());
    init_sized(k + 1);
    append_bytes(x.data(), k, k);
}

ustring::ustring(char c) {
    init_sized(2);
    append(c, 1);
}

ustring::~ustring() {
    release();
}

ustring& ustring::operator=(ustring&& x) noexcept {
    swap(x);
    return *this;
}

void ustring::swap(ustring& x) noexcept {
    std::swap(data, x.data);
    std::swap(data_len, x.data_len);
    std::swap(data_cap, x.data_cap);
    std::swap(wdata, x.wdata);
    std::swap(wdata_len, x.wdata_len);
    std::swap(wdata_cap, x.wdata_cap);
}

void swap(ustring& a, ustring& b) noexcept {
    a.swap(b);
}

// ---- conversion -----------------------------------------------------------

int ustring::convert_from_data() const {
    // Like ICU's NUL-terminated input, the conversion ends at the first NUL.
    size_t n = strnlen(data, data_len);
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = 0;
    if (!FitsIcu(n)) {
        err = U_INDEX_OUTOFBOUNDS_ERROR;
    } else if (n > 0) {
        // Units never outnumber bytes: a buffer of n + 1 units takes the
        // text in one pass, without measuring it first. Its old content is
        // of no use, so it is replaced rather than copied by realloc.
        if (wdata_cap < n + 1) {
            if (wdata_cap) std::free(wdata);
            wdata = const_cast<uchar16_t*>(empty_wstring());
            wdata_len = wdata_cap = 0;
            realloc_wdata(n + 1);
        }
        u_strFromUTF8(wdata, static_cast<int32_t>(wdata_cap), &len, data, static_cast<int32_t>(n),
                      &err);
    }
    if (U_FAILURE(err)) {
        Warn("u_strFromUTF8", err, kLineFromUtf8);
        clear_wdata();
        return -1;
    }
    realloc_wdata(static_cast<size_t>(len) + 1);
    set_wlength(static_cast<size_t>(len));
    return 0;
}

// Writes the UTF-8 form of `units` units of src into data at byte offset
// `at`, growing data as needed; data_len becomes at + the bytes written.
// src must not point into data. On failure warns and returns -1 with data
// terminated at `at` and data_len unchanged.
int ustring::units_to_bytes(const uchar16_t* src, size_t units, size_t at) {
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = 0;
    if (!FitsIcu(units)) {
        err = U_INDEX_OUTOFBOUNDS_ERROR;
    } else {
        size_t room = Utf8Estimate(src, units);
        if (room > SIZE_MAX - at - 1) throw std::bad_alloc();
        realloc_data(at + room + 1);
        size_t cap = data_cap - at;
        u_strToUTF8(data + at, static_cast<int32_t>(cap < INT32_MAX ? cap : INT32_MAX), &len, src,
                    static_cast<int32_t>(units), &err);
    }
    if (U_FAILURE(err)) {
        if (data_cap) data[at] = '\0';
        Warn("u_strToUTF8", err, kLineToUtf8);
        return -1;
    }
    // Success means valid UTF-16, whose estimate was exact: the buffer fits.
    set_length(at + static_cast<size_t>(len));
    return 0;
}

int ustring::convert_from_wdata() {
    if (units_to_bytes(wdata, wdata_len, 0) != 0) {
        clear();
        return -1;
    }
    return 0;
}

// ---- small operations -----------------------------------------------------

void ustring::clear() {
    clear_data();
    clear_wdata();
}

ustring& ustring::replace(char c1, char c2) {
    for (char* p = data; *p; ++p)
        if (*p == c1) *p = c2;
    clear_wdata();
    return *this;
}

ustring ustring::substr(size_t start, size_t len) const {
    if (start > data_len) throw std::out_of_range("substr");
    if (len > data_len) len = data_len;
    size_t k = strnlen(data + start, len);
    ustring r;
    r.append_bytes(data + start, k, k);
    return r;
}

// ---- UTF-8 assign and append ----------------------------------------------

// Appends k bytes of s, asking for room for cap_k. s may point into this
// string's own bytes: it is re-based after the reallocation, which keeps the
// content in place.
ustring& ustring::append_bytes(const char* s, size_t k, size_t cap_k) {
    if (cap_k > SIZE_MAX - data_len - 1) throw std::bad_alloc();
    bool own = Within(s, data, data + data_len);
    size_t off = own ? static_cast<size_t>(s - data) : 0;
    realloc_data(data_len + cap_k + 1);
    if (own) s = data + off;
    // An own source ends at or before data_len, so the ranges never overlap.
    if (k) std::memcpy(data + data_len, s, k);
    set_length(data_len + k);
    clear_wdata();
    return *this;
}

ustring& ustring::append(const char* s) {
    return append(s, npos);
}

ustring& ustring::append(const char* s, size_t len) {
    s = OrEmpty(s);
    if (s == data) {
        size_t cap_k = len < data_len ? len : data_len;
        return append_bytes(s, strnlen(s, cap_k), cap_k);
    }
    // A tail of the own bytes ends at their terminator, and append_bytes
    // re-bases it.
    size_t k = strnlen(s, len);
    return append_bytes(s, k, k);
}

ustring& ustring::assign(const char* s) {
    if (s == data) return *this;
    return assign(s, npos);
}

// A null s is neither data nor within it, and append maps it to "".
ustring& ustring::assign(const char* s, size_t len) {
    if (s == data) {
        if (len < data_len) {
            set_length(len);
            clear_wdata();
        }
        return *this;
    }
    if (Within(s, data, data + data_len)) {
        // A tail of our own bytes: slide it to the front before the buffer
        // is resized, as clearing first would lose it.
        size_t k = strnlen(s, len);
        std::memmove(data, s, k);
        set_length(k);
        clear_wdata();
        realloc_data(k + 1);
        return *this;
    }
    clear();
    return append(s, len);
}

ustring& ustring::append(char c, size_t n) {
    if (n > SIZE_MAX - data_len - 1) throw std::bad_alloc();
    realloc_data(data_len + n + 1);
    if (n) std::memset(data + data_len, static_cast<unsigned char>(c), n);
    set_length(data_len + n);
    clear_wdata();
    return *this;
}

ustring& ustring::assign(char c, size_t n) {
    clear();
    return append(c, n);
}

ustring& ustring::append(const ustring& x, size_t pos, size_t len) {
    if (pos > x.data_len) throw std::out_of_range("substr");
    if (len > x.data_len) len = x.data_len;
    size_t k = strnlen(x.data + pos, len);
    return append_bytes(x.data + pos, k, k);
}

ustring& ustring::assign(const ustring& x, size_t pos, size_t len) {
    if (&x == this) {
        // The substring is taken in place; the range check comes before any
        // change, so a bad position leaves the string as it was.
        if (pos > data_len) throw std::out_of_range("substr");
        if (len > data_len) len = data_len;
        size_t k = strnlen(data + pos, len);
        std::memmove(data, data + pos, k);
        set_length(k);
        clear_wdata();
        realloc_data(k + 1);
        return *this;
    }
    clear();
    return append(x, pos, len);
}

ustring& ustring::append(const std::string& x, size_t pos, size_t len) {
    if (pos > x.size()) throw std::out_of_range("basic_string::substr");
    size_t rest = x.size() - pos;
    size_t k = strnlen(x.data() + pos, len < rest ? len : rest);
    return append_bytes(x.data() + pos, k, k);
}

ustring& ustring::assign(const std::string& x, size_t pos, size_t len) {
    clear();
    return append(x, pos, len);
}

// ---- UTF-16 assign and append ---------------------------------------------

// Appends k units that do not point into wdata. The added units are
// converted on their own and their bytes appended, so existing bytes that
// have no complete UTF-16 form (invalid UTF-8, embedded NULs) are kept.
ustring& ustring::append_units(const uchar16_t* s, size_t k) {
    if (wdata_len == 0 && data_len != 0) convert_from_data();
    bool whole = data_len == 0 || (wdata_len != 0 && std::memchr(data, 0, data_len) == nullptr);
    if (whole) {
        if (k > SIZE_MAX - wdata_len - 1) throw std::bad_alloc();
        realloc_wdata(wdata_len + k + 1);
    }
    if (units_to_bytes(s, k, data_len) != 0) {
        clear();
        return *this;
    }
    if (whole) {
        if (k) std::memcpy(wdata + wdata_len, s, k * sizeof(uchar16_t));
        set_wlength(wdata_len + k);
    } else {
        clear_wdata();
    }
    return *this;
}

ustring& ustring::append(const uchar16_t* s) {
    return append(s, npos);
}

ustring& ustring::append(const uchar16_t* s, size_t len) {
    s = OrEmpty(s);
    if (Within(s, wdata, wdata + wdata_len)) {
        // Own units may move while the form is brought up to date or grown.
        // The whole form may hold 0 units (appended ones); a tail is read up
        // to the first, at the latest the terminator.
        size_t k = (s == wdata) ? (len < wdata_len ? len : wdata_len) : Strlen16(s, len);
        std::u16string copy(s, k);
        return append_units(copy.data(), k);
    }
    return append_units(s, Strlen16(s, len));
}

ustring& ustring::assign(const uchar16_t* s) {
    if (s == wdata) return *this;
    return assign(s, npos);
}

ustring& ustring::assign(const uchar16_t* s, size_t len) {
    s = OrEmpty(s);
    if (s == wdata) {
        if (len < wdata_len) {
            set_wlength(len);
            convert_from_wdata();
        }
        return *this;
    }
    if (Within(s, wdata, wdata + wdata_len)) {
        std::u16string copy(s, Strlen16(s, len));
        clear();
        return append_units(copy.data(), copy.size());
    }
    clear();
    return append_units(s, Strlen16(s, len));
}

ustring& ustring::append(uchar16_t c, size_t n) {
    if (n > SIZE_MAX / 4) throw std::bad_alloc();
    // Single units (operator+=) are the common case: no heap copy for them.
    uchar16_t small[16];
    if (n <= 16) {
        for (size_t i = 0; i < n; ++i) small[i] = c;
        return append_units(small, n);
    }
    std::u16string units(n, c);
    return append_units(units.data(), n);
}

ustring& ustring::assign(uchar16_t c, size_t n) {
    clear();
    return append(c, n);
}

// ---- concatenation --------------------------------------------------------

ustring operator+(const ustring& a, const ustring& b) {
    ustring r(a);
    r += b;
    return r;
}
ustring operator+(const ustring& a, const char* b) {
    ustring r(a);
    r += b;
    return r;
}
ustring operator+(const ustring& a, char b) {
    ustring r(a);
    r += b;
    return r;
}
ustring operator+(const ustring& a, const uchar16_t* b) {
    ustring r(a);
    r += b;
    return r;
}
ustring operator+(const ustring& a, uchar16_t b) {
    ustring r(a);
    r += b;
    return r;
}

// ---- normalisation and validity -------------------------------------------

ustring ustring::normalize(const ustring& x, normalization_form n) {
    ustring result;
    if (x.data_len == 0) return result;

    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* norm =
        n == NFC ? icu::Normalizer2::getNFCInstance(err) : icu::Normalizer2::getNFDInstance(err);
    if (U_FAILURE(err) || !norm) {
        Warn("unorm2_getInstance", err, kLineGetInstance);
        return result;
    }

    // The text ends at its first NUL, and bytes that are not UTF-8 have no
    // normal form: the empty string, with the warning their conversion to
    // UTF-16 gives.
    const Utf8Scan text = ScanUtf8(x.data, x.data_len);
    if (!FitsIcu(text.len) || !text.valid) {
        Warn("u_strFromUTF8", FitsIcu(text.len) ? U_INVALID_CHAR_FOUND : U_INDEX_OUTOFBOUNDS_ERROR,
             kLineFromUtf8);
        return result;
    }
    if (text.len == 0) return result;

    // Most text is already in the form asked for: the quick check finds it
    // so, and it is copied as it is.
    const icu::StringPiece bytes(x.data, static_cast<int32_t>(text.len));
    if (norm->isNormalizedUTF8(bytes, err)) {
        result.append_bytes(x.data, text.len, text.len);
        return result;
    }
    err = U_ZERO_ERROR;
    GrowingSink sink(text.len + 1);
    norm->normalizeUTF8(0, bytes, sink, nullptr, err);
    if (U_FAILURE(err)) {
        Warn("unorm2_normalize", err, kLineNormalize);
        return result;
    }
    result.data_cap = sink.Release(&result.data, &result.data_len);
    return result;
}

ustring ustring::normalize(normalization_form n) const {
    return normalize(*this, n);
}

bool ustring::is_valid(const ustring& x) {
    return ScanUtf8(x.data, x.data_len).valid;
}

// ---- streams --------------------------------------------------------------

std::ostream& operator<<(std::ostream& os, const ustring& s) {
    return os << s.c_str();
}

std::istream& operator>>(std::istream& is, ustring& s) {
    std::string word;
    is >> word;
    s = word;
    return is;
}
