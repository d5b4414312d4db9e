// Private to the ustring sources: what both halves of the type share.
#pragma once

#include <cstddef>
#include <functional>

#include "ustring.h"

namespace bv_internal {

// A null text pointer reads as the empty text.
inline const char* OrEmpty(const char* s) {
    return s ? s : "";
}
inline const uchar16_t* OrEmpty(const uchar16_t* s) {
    return s ? s : u"";
}

// True when p lies in [lo, hi]; std::less_equal gives a total order even for
// pointers into unrelated objects.
inline bool Within(const void* p, const void* lo, const void* hi) {
    std::less_equal<const void*> le;
    return le(lo, p) && le(p, hi);
}

// What precedes the first NUL of n bytes, whether it is well-formed UTF-8
// as ICU's conversion defines it (no overlong forms, no surrogates, nothing
// above U+10FFFF, no sequence cut short), whether it is plain ASCII,
// which every normal form leaves as it is, and whether it holds combining
// diacritical marks (U+0300-U+036F, lead bytes CC and CD) or conjoining
// Hangul jamo (U+1100-U+11FF: E1 84-87), as decomposed text does.
struct Utf8Scan {
    size_t len;
    bool valid;
    bool ascii;
    bool marks;
};
Utf8Scan ScanUtf8(const char* s, size_t n);

// Widens the leading run of ASCII bytes before a NUL in n bytes of s into
// out (room for n units) and returns its length: each such byte is its own
// UTF-16 unit, which spares ICU's conversion the plain part of a text.
size_t WidenAscii(const char* s, size_t n, uchar16_t* out);

// The two ways ScanUtf8 chooses between by length, open to the tests, which
// must see both on every input: the scalar scan, and the vector one (false
// where this machine has none).
Utf8Scan ScanUtf8Scalar(const char* s, size_t n);
bool ScanUtf8Vector(const char* s, size_t n, Utf8Scan* scan);

}  // namespace bv_internal
