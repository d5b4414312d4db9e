// ustring: storage, UTF-8/UTF-16 conversion, editing, normalisation and
// streams. Searching, trimming and comparison are in ustring-search.cpp.
#include "ustring.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

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

// Exact UTF-16 length of valid UTF-8: one unit per non-continuation byte and
// a second one for every four-byte lead. Where it is short the input is
// invalid, which ICU reports as such rather than as overflow, so a buffer of
// this size never needs a second, measured pass.
size_t Utf16Estimate(const char* s, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t units = 0;
    while (n) {
        size_t m = n < kEstimateBlock ? n : kEstimateBlock;
        uint16_t acc = 0;
        for (size_t i = 0; i < m; ++i)
            acc = static_cast<uint16_t>(acc + ((p[i] & 0xC0) != 0x80) + (p[i] >= 0xF0));
        units += acc;
        p += m;
        n -= m;
    }
    return units;
}

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

}  // namespace

// ---- storage --------------------------------------------------------------

void ustring::realloc_data(size_t len) {
    if (data_cap >= len && len >= (data_cap >> 1)) return;
    void* p = std::realloc(data, len);
    if (!p) throw std::bad_alloc();
    data = static_cast<char*>(p);
    data_cap = len;
}

void ustring::realloc_wdata(size_t len) const {
    if (wdata_cap >= len && len >= (wdata_cap >> 1)) return;
    if (len > SIZE_MAX / sizeof(uchar16_t)) throw std::bad_alloc();
    void* p = std::realloc(wdata, len * sizeof(uchar16_t));
    if (!p) throw std::bad_alloc();
    wdata = static_cast<uchar16_t*>(p);
    wdata_cap = len;
}

void ustring::clear_data() {
    data_len = 0;
    data[0] = '\0';
}

void ustring::clear_wdata() const {
    wdata_len = 0;
    wdata[0] = 0;
}

void ustring::init() {
    init_sized(4);
}

// init() followed by a first append asking for `need` bytes, in one
// allocation: the capacity comes out as the rule would leave it after the
// 4-byte start.
void ustring::init_sized(size_t need) {
    data_len = 0;
    wdata = nullptr;
    wdata_len = wdata_cap = 0;
    size_t cap = (need <= 4 && need >= 2) ? 4 : need;
    data = static_cast<char*>(std::malloc(cap));
    if (!data) throw std::bad_alloc();
    data_cap = cap;
    data[0] = '\0';
    try {
        realloc_wdata(4);
    } catch (...) {
        std::free(data);
        data = nullptr;
        throw;
    }
    wdata[0] = 0;
}

const char* ustring::empty_string() {
    return "";
}
const uchar16_t* ustring::empty_wstring() {
    return u"";
}

ustring::ustring() {
    init();
}

ustring::ustring(const ustring& x) {
    size_t k = std::strlen(x.data);
    init_sized(k + 1);
    append_bytes(x.data, k, k);
}

ustring::ustring(ustring&& x) {
    init();
    swap(x);
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
        std::free(data);
        std::free(wdata);
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
    std::free(data);
    std::free(wdata);
    data = nullptr;
    wdata = nullptr;
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
    } else if (n == 0) {
        realloc_wdata(1);
    } else {
        // Units never outnumber bytes: a buffer that already holds n + 1
        // units takes the text in one pass, without measuring it first.
        if (wdata_cap < n + 1) realloc_wdata(Utf16Estimate(data, n) + 1);
        u_strFromUTF8(wdata, static_cast<int32_t>(wdata_cap), &len, data, static_cast<int32_t>(n),
                      &err);
    }
    if (U_FAILURE(err)) {
        Warn("u_strFromUTF8", err, kLineFromUtf8);
        clear_wdata();
        return -1;
    }
    realloc_wdata(static_cast<size_t>(len) + 1);
    wdata_len = static_cast<size_t>(len);
    wdata[wdata_len] = 0;
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
        data[at] = '\0';
        Warn("u_strToUTF8", err, kLineToUtf8);
        return -1;
    }
    // Success means valid UTF-16, whose estimate was exact: the buffer fits.
    data_len = at + static_cast<size_t>(len);
    data[data_len] = '\0';
    return 0;
}

int ustring::convert_from_wdata() {
    if (units_to_bytes(wdata, wdata_len, 0) != 0) {
        clear();
        return -1;
    }
    return 0;
}

const uchar16_t* ustring::c_str_utf16() const {
    if (wdata_len == 0) convert_from_data();
    return wdata;
}

// ---- small operations -----------------------------------------------------

char& ustring::operator[](size_t i) {
    // A write through the reference would leave a stale UTF-16 form behind.
    clear_wdata();
    return data[i];
}

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
    data_len += k;
    data[data_len] = '\0';
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
            data_len = len;
            data[len] = '\0';
            clear_wdata();
        }
        return *this;
    }
    if (Within(s, data, data + data_len)) {
        // A tail of our own bytes: slide it to the front before the buffer
        // is resized, as clearing first would lose it.
        size_t k = strnlen(s, len);
        std::memmove(data, s, k);
        data_len = k;
        data[k] = '\0';
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
    std::memset(data + data_len, static_cast<unsigned char>(c), n);
    data_len += n;
    data[data_len] = '\0';
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
        data_len = k;
        data[k] = '\0';
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
        wdata_len += k;
        wdata[wdata_len] = 0;
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
            wdata_len = len;
            wdata[len] = 0;
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
    const UNormalizer2* norm =
        unorm2_getInstance(nullptr, "nfc", n == NFC ? UNORM2_COMPOSE : UNORM2_DECOMPOSE, &err);
    if (U_FAILURE(err) || !norm) {
        Warn("unorm2_getInstance", err, kLineGetInstance);
        return result;
    }

    // The text ends at its first 0 unit, as the UTF-16 form of bytes with
    // an embedded NUL does, so the result depends on the bytes alone.
    const uchar16_t* src = x.c_str_utf16();
    size_t src_len = Strlen16(src, x.wdata_len);
    if (!FitsIcu(src_len)) {
        Warn("unorm2_normalize", U_INDEX_OUTOFBOUNDS_ERROR, kLineNormalize);
        return result;
    }
    // Canonical forms rarely grow much; try a buffer with some headroom
    // first and measure only when it was too small, rather than always
    // normalising twice.
    size_t guess = src_len + src_len / 4 + 16;
    if (guess > static_cast<size_t>(INT32_MAX)) guess = INT32_MAX;
    result.realloc_wdata(guess);
    int32_t len = unorm2_normalize(norm, src, static_cast<int32_t>(src_len), result.wdata,
                                   static_cast<int32_t>(result.wdata_cap), &err);
    if (err == U_BUFFER_OVERFLOW_ERROR) {
        err = U_ZERO_ERROR;
        result.realloc_wdata(static_cast<size_t>(len) + 1);
        len = unorm2_normalize(norm, src, static_cast<int32_t>(src_len), result.wdata,
                               static_cast<int32_t>(result.wdata_cap), &err);
    }
    if (U_FAILURE(err)) {
        // Both lengths of result are still 0: it holds the empty text.
        Warn("unorm2_normalize", err, kLineNormalize);
        return result;
    }
    // Leave the result's buffer as tight as a measured, exact allocation
    // would have (a fresh string starts with 4 units); a failed shrink just
    // keeps the larger buffer.
    size_t need = static_cast<size_t>(len) + 1;
    size_t want = (need <= 4 && need >= 2) ? 4 : need;
    if (result.wdata_cap != want) {
        void* p = std::realloc(result.wdata, want * sizeof(uchar16_t));
        if (p) {
            result.wdata = static_cast<uchar16_t*>(p);
            result.wdata_cap = want;
        } else if (result.wdata_cap < need) {
            throw std::bad_alloc();
        }
    }
    result.wdata_len = static_cast<size_t>(len);
    result.wdata[result.wdata_len] = 0;
    result.convert_from_wdata();
    return result;
}

ustring ustring::normalize(normalization_form n) const {
    return normalize(*this, n);
}

bool ustring::is_valid(const ustring& x) {
    if (x.data_len == 0) return true;
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = 0;
    u_strFromUTF8(nullptr, 0, &len, x.data, -1, &err);
    return err != U_INVALID_CHAR_FOUND;
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
