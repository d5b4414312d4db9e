// ustring: searching, trimming and comparison, the read-only work on the
// UTF-8 bytes.
#include <cstring>

#include "ustring-internal.h"
#include "ustring.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

using bv_internal::OrEmpty;
using bv_internal::Within;

namespace {

// The caseless comparison folds only ASCII letters, so bytes of multi-byte
// characters never compare equal to anything they are not.
struct FoldTable {
    unsigned char map[256];
    constexpr FoldTable() : map() {
        for (int i = 0; i < 256; ++i)
            map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + ('a' - 'A') : i);
    }
};
constexpr FoldTable str_case_cmp;

// Membership table of the bytes of a NUL-terminated set.
struct ByteSet {
    bool in[256] = {};
    explicit ByteSet(const char* set) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(set); *p; ++p)
            in[*p] = true;
    }
    bool has(char c) const { return in[static_cast<unsigned char>(c)]; }
};

}  // namespace

// ---- search ---------------------------------------------------------------
// The char forms turn the byte into a one-byte text (the byte 0 into the
// empty one); the std::string and ustring forms use the text up to its first
// NUL, which c_str() gives directly.

namespace {

struct OneByte {
    char text[2];
    explicit OneByte(char c) : text{c, '\0'} {}
};

}  // namespace

size_t ustring::find_first_of(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (pos >= data_len || data[pos] == '\0' || *s == '\0') return npos;
    size_t i = pos + std::strcspn(data + pos, s);
    return data[i] ? i : npos;
}
size_t ustring::find_first_of(char c, size_t pos) const {
    return find_first_of(OneByte(c).text, pos);
}
size_t ustring::find_first_of(const std::string& x, size_t pos) const {
    return find_first_of(x.c_str(), pos);
}
size_t ustring::find_first_of(const ustring& x, size_t pos) const {
    return find_first_of(x.data, pos);
}

size_t ustring::find_first_not_of(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (pos >= data_len || data[pos] == '\0') return npos;
    size_t i = pos + std::strspn(data + pos, s);
    return data[i] ? i : npos;
}
size_t ustring::find_first_not_of(char c, size_t pos) const {
    return find_first_not_of(OneByte(c).text, pos);
}
size_t ustring::find_first_not_of(const std::string& x, size_t pos) const {
    return find_first_not_of(x.c_str(), pos);
}
size_t ustring::find_first_not_of(const ustring& x, size_t pos) const {
    return find_first_not_of(x.data, pos);
}

size_t ustring::find(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (pos >= data_len || data[pos] == '\0') return npos;
    if (*s == '\0') return pos;
    const char* hit = s[1] ? std::strstr(data + pos, s) : std::strchr(data + pos, s[0]);
    return hit ? static_cast<size_t>(hit - data) : npos;
}
size_t ustring::find(char c, size_t pos) const {
    return find(OneByte(c).text, pos);
}
size_t ustring::find(const std::string& x, size_t pos) const {
    return find(x.c_str(), pos);
}
size_t ustring::find(const ustring& x, size_t pos) const {
    return find(x.data, pos);
}

size_t ustring::find_last_of(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (data_len == 0 || *s == '\0') return npos;
    size_t start = pos < data_len ? pos : data_len - 1;
    if (s[1] == '\0') {
        const void* hit = memrchr(data, static_cast<unsigned char>(s[0]), start + 1);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data) : npos;
    }
    ByteSet set(s);
    for (size_t i = start + 1; i-- > 0;)
        if (set.has(data[i])) return i;
    return npos;
}
size_t ustring::find_last_of(char c, size_t pos) const {
    return find_last_of(OneByte(c).text, pos);
}
size_t ustring::find_last_of(const std::string& x, size_t pos) const {
    return find_last_of(x.c_str(), pos);
}
size_t ustring::find_last_of(const ustring& x, size_t pos) const {
    return find_last_of(x.data, pos);
}

size_t ustring::find_last_not_of(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (data_len == 0) return npos;
    size_t start = pos < data_len ? pos : data_len - 1;
    ByteSet set(s);
    for (size_t i = start + 1; i-- > 0;)
        if (!set.has(data[i])) return i;
    return npos;
}
size_t ustring::find_last_not_of(char c, size_t pos) const {
    return find_last_not_of(OneByte(c).text, pos);
}
size_t ustring::find_last_not_of(const std::string& x, size_t pos) const {
    return find_last_not_of(x.c_str(), pos);
}
size_t ustring::find_last_not_of(const ustring& x, size_t pos) const {
    return find_last_not_of(x.data, pos);
}

size_t ustring::rfind(const char* s, size_t pos) const {
    s = OrEmpty(s);
    if (data_len == 0) return npos;
    size_t start = pos < data_len ? pos : data_len - 1;
    size_t n = std::strlen(s);
    if (n == 0) return start;
    if (n > data_len) return npos;
    size_t i = start < data_len - n ? start : data_len - n;
    for (++i; i-- > 0;)
        if (data[i] == s[0] && std::memcmp(data + i, s, n) == 0) return i;
    return npos;
}
size_t ustring::rfind(char c, size_t pos) const {
    return rfind(OneByte(c).text, pos);
}
size_t ustring::rfind(const std::string& x, size_t pos) const {
    return rfind(x.c_str(), pos);
}
size_t ustring::rfind(const ustring& x, size_t pos) const {
    return rfind(x.data, pos);
}

// ---- trimming -------------------------------------------------------------

ustring& ustring::ltrim(const char* list) {
    list = OrEmpty(list);
    if (data_len == 0 || *list == '\0') return *this;
    ByteSet set(list);
    size_t i = 0;
    while (i < data_len && set.has(data[i])) ++i;
    if (i == 0) return *this;
    std::memmove(data, data + i, data_len - i);
    data_len -= i;
    data[data_len] = '\0';
    clear_wdata();
    return *this;
}
ustring& ustring::ltrim(const ustring& list) {
    return ltrim(list.data);
}

ustring& ustring::rtrim(const char* list) {
    list = OrEmpty(list);
    if (data_len == 0 || *list == '\0') return *this;
    ByteSet set(list);
    size_t i = data_len;
    while (i > 0 && set.has(data[i - 1])) --i;
    if (i == data_len) return *this;
    data_len = i;
    data[i] = '\0';
    clear_wdata();
    return *this;
}
ustring& ustring::rtrim(const ustring& list) {
    return rtrim(list.data);
}

ustring& ustring::trim(const char* list) {
    // The list may be this string's own bytes, which the first pass edits.
    if (list && Within(list, data, data + data_len)) {
        std::string set(list);
        ltrim(set.c_str());
        return rtrim(set.c_str());
    }
    ltrim(list);
    return rtrim(list);
}
ustring& ustring::trim(const ustring& list) {
    return trim(list.data);
}

// ---- comparison -----------------------------------------------------------

namespace {

// Case-sensitive walk: a's byte minus b's byte at the first difference or at
// a's first NUL, over at most n bytes. Both buffers are terminated, so blocks
// within min(length) + 1 bytes of each can be read whole; a block is left
// for the byte loop as soon as it holds a difference or a NUL.
int CompareBytes(const char* a, size_t a_len, const char* b, size_t b_len, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b);
    size_t safe = (a_len < b_len ? a_len : b_len) + 1;
    if (n < safe) safe = n;
    // Equal over the whole region means equal up to a NUL of a, or up to n:
    // the common case of a map-key hit is settled by memcmp alone.
    if (std::memcmp(p, q, safe) == 0) return 0;
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= safe; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i));
        int equal = _mm_movemask_epi8(_mm_cmpeq_epi8(x, y));
        int nul = _mm_movemask_epi8(_mm_cmpeq_epi8(x, zero));
        int stop = (~equal & 0xFFFF) | nul;
        if (stop) {
            i += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(stop)));
            return static_cast<int>(p[i]) - static_cast<int>(q[i]);
        }
    }
#endif
    // memcmp saw a difference within safe (<= n) bytes: the walk stops there
    // or at an earlier NUL, so it needs no bound of its own.
    for (;; ++i) {
        if (p[i] != q[i] || p[i] == 0) return static_cast<int>(p[i]) - static_cast<int>(q[i]);
    }
}

}  // namespace

int ustring::compare(const ustring& a, const ustring& b, bool caseless) {
    if (!caseless) return CompareBytes(a.data, a.data_len, b.data, b.data_len, npos);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(a.data);
    const unsigned char* q = reinterpret_cast<const unsigned char*>(b.data);
    for (size_t i = 0;; ++i) {
        int x = str_case_cmp.map[p[i]];
        int y = str_case_cmp.map[q[i]];
        if (x != y || x == 0) return x - y;
    }
}

int ustring::compare(const ustring& str) const {
    return compare(*this, str, false);
}

int ustring::compare(const ustring& str, size_t n) const {
    return CompareBytes(data, data_len, str.data, str.data_len, n);
}

bool operator==(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) == 0;
}
bool operator!=(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) != 0;
}
bool operator<(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) < 0;
}
bool operator>(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) > 0;
}
bool operator<=(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) <= 0;
}
bool operator>=(const ustring& a, const ustring& b) {
    return ustring::compare(a, b, false) >= 0;
}
