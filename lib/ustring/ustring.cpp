// ustring: storage, UTF-8/UTF-16 conversion, editing, normalisation and
// streams. Searching, trimming and comparison are in ustring-search.cpp.
#include "ustring.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>

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
using bv_internal::ScanUtf8;
using bv_internal::Utf8Scan;
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

// The estimate below sums per-element counts in 16-bit blocks (each block
// stays below 65536) so that the compiler vectorises it on narrow lanes.
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

// Normal forms of texts shorter than this are written on the stack first.
constexpr size_t kStackNormalized = 256;

// ICU counts in int32_t; longer texts are refused with ICU's own error code
// rather than truncated.
bool FitsIcu(size_t n) {
    return n < static_cast<size_t>(INT32_MAX);
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
    const bool local = data == local_;
    if (len <= data_cap && (local || len >= (data_cap >> 1))) return;
    // The content that counts ends at the terminator, or at len.
    const size_t keep = std::min(len, data_len + 1);
    if (len <= kLocalBytes) {
        std::memcpy(local_, data, keep);
        std::free(data);
        data = local_;
        data_cap = kLocalBytes;
        return;
    }
    void* p = local ? std::malloc(len) : std::realloc(data, len);
    if (!p) throw std::bad_alloc();
    if (local) std::memcpy(p, local_, keep);
    data = static_cast<char*>(p);
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

ustring::ustring(ustring&& x) noexcept {
    take(x);
}

void ustring::take(ustring& x) noexcept {
    if (x.data == x.local_) {
        // The whole buffer, not the text: a constant size is copied faster.
        std::memcpy(local_, x.local_, kLocalBytes);
        data = local_;
    } else {
        data = x.data;
    }
    data_len = x.data_len;
    data_cap = x.data_cap;
    wdata = x.wdata;
    wdata_len = x.wdata_len;
    wdata_cap = x.wdata_cap;
    x.init();
}

ustring::ustring(const char* s) {
    s = OrEmpty(s);
    size_t k = std::strlen(s);
    init_sized(k + 1);
    append_bytes(s, k, k);
}

// Delegating: once the empty string is made, the destructor frees what a
// failed conversion allocated.
ustring::ustring(const uchar16_t* s) : ustring() {
    assign(s);
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
    if (data != local_) std::free(data);
    if (wdata_cap) std::free(wdata);
}

ustring& ustring::operator=(ustring&& x) noexcept {
    swap(x);
    return *this;
}

void ustring::swap(ustring& x) noexcept {
    if (&x == this) return;
    ustring held(std::move(x));
    x.take(*this);
    take(held);
}

void swap(ustring& a, ustring& b) noexcept {
    a.swap(b);
}

// ---- conversion -----------------------------------------------------------

int ustring::convert_from_data() const {
    // The conversion ends at the first NUL: the plain ASCII start is widened
    // here, ICU reads the rest up to it; the bytes bound the units. Only
    // texts beyond ICU's counts are measured first.
    size_t bytes = FitsIcu(data_len) ? data_len : strnlen(data, data_len);
    UErrorCode err = U_ZERO_ERROR;
    int32_t len = 0;
    if (!FitsIcu(bytes)) {
        err = U_INDEX_OUTOFBOUNDS_ERROR;
    } else if (bytes > 0) {
        // Units never outnumber bytes: a buffer of one unit per byte takes
        // the text in one pass, without measuring it first. Its old content
        // is of no use, so it is replaced rather than copied by realloc.
        if (wdata_cap < bytes + 1) {
            if (wdata_cap) std::free(wdata);
            wdata = const_cast<uchar16_t*>(empty_wstring());
            wdata_len = wdata_cap = 0;
            realloc_wdata(bytes + 1);
        }
        const size_t plain = bv_internal::WidenAscii(data, bytes, wdata);
        len = static_cast<int32_t>(plain);
        if (plain < bytes && data[plain] != '\0') {
            int32_t rest = 0;
            const size_t cap = wdata_cap - plain < INT32_MAX ? wdata_cap - plain : INT32_MAX;
            u_strFromUTF8(wdata + plain, static_cast<int32_t>(cap), &rest, data + plain, -1, &err);
            len += rest;
        }
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
        data[at] = '\0';
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

// Fills this empty string with k bytes of s, which lie outside it.
void ustring::fill_empty(const char* s, size_t k) {
    assert(data_len == 0 && wdata_len == 0);
    if (k >= data_cap) realloc_data(k + 1);
    std::memcpy(data, s, k);
    set_length(k);
}

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

namespace {

// ICU makes each normaliser once per process and answers every later
// request, a failure included, from that first attempt: asking once here
// gives the same answers without two library calls per normalisation.
struct IcuNormalizer {
    const icu::Normalizer2* norm;
    UErrorCode err;
};
IcuNormalizer MakeNormalizer(ustring::normalization_form n) {
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* norm = n == ustring::NFC ? icu::Normalizer2::getNFCInstance(err)
                                                     : icu::Normalizer2::getNFDInstance(err);
    return {norm, err};
}
const IcuNormalizer& NormalizerFor(ustring::normalization_form n) {
    static const IcuNormalizer nfc = MakeNormalizer(ustring::NFC);
    static const IcuNormalizer nfd = MakeNormalizer(ustring::NFD);
    return n == ustring::NFC ? nfc : nfd;
}

}  // namespace

ustring ustring::normalize(const ustring& x, normalization_form n) {
    ustring result;
    if (x.data_len == 0) return result;

    const IcuNormalizer& instance = NormalizerFor(n);
    const icu::Normalizer2* const norm = instance.norm;
    UErrorCode err = instance.err;
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

    // Most text is already in the form asked for: ASCII always is, the rest
    // as ICU's quick check finds it. It is copied as it is. Text with
    // combining marks or jamo is most likely decomposed, and ICU's check
    // would compose it to tell whether NFC changes it: as costly as
    // normalising, so it is normalised at once.
    const icu::StringPiece bytes(x.data, static_cast<int32_t>(text.len));
    const bool check_first = n == NFD || !text.marks;
    if (text.ascii || (check_first && norm->isNormalizedUTF8(bytes, err))) {
        result.fill_empty(x.data, text.len);
        return result;
    }
    // A name's normal form is written on the stack, then copied into a
    // buffer of its size (or the object itself): cheaper than growing a heap
    // buffer and shrinking it. What does not fit there is normalised again
    // into a growing buffer.
    err = U_ZERO_ERROR;
    if (text.len < kStackNormalized) {
        char out[kStackNormalized];
        icu::CheckedArrayByteSink sink(out, static_cast<int32_t>(kStackNormalized));
        norm->normalizeUTF8(0, bytes, sink, nullptr, err);
        if (U_FAILURE(err)) {
            Warn("unorm2_normalize", err, kLineNormalize);
            return result;
        }
        if (!sink.Overflowed()) {
            result.fill_empty(out, static_cast<size_t>(sink.NumberOfBytesWritten()));
            return result;
        }
    }
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
