// Utilities of the support library: password obfuscation and its Base64
// codec, scoped and temporary files, the critical-section guard, and host
// name, user name and text conversion helpers. They log through the
// "utility_debug" component.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "ustring.h"

// ---- password obfuscation and Base64 ----

// ---- scoped and temporary files ----

// ---- critical section ----

// ---- host name, user name and text conversions ----
