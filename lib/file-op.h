// File-system operations of the support library: file information and
// existence, recursive removal, traversal and directory reading, directory
// creation, copy, rename and temporary paths. Free functions returning int
// status codes; they log through the "file_op_debug" component.
//
// Thread-safety: every function may be called from several threads at once,
// except where a declaration says otherwise.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <string>

#include "ustring.h"

// ---- file information and existence ----

// ---- removal, traversal and directory reading ----

// ---- creation, copy, rename and temporary paths ----
