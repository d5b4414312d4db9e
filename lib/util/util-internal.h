// Private to the utility sources and their tests: the component of their log
// lines. Never installed.
#pragma once

#include "log-internal.h"
#include "ustring.h"

namespace bv_internal {

inline const ustring kUtilityComponent("utility_debug");

}  // namespace bv_internal

#define UTILITY_LOG(level, fmt, ...) \
    BV_LOG(bv_internal::kUtilityComponent, level, fmt, ##__VA_ARGS__)
