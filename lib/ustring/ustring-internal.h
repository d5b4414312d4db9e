// Private to the ustring sources: what both halves of the type share.
#pragma once

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

}  // namespace bv_internal
