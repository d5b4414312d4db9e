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
// None of these take a lock. Directories created here get the module owner
// set by FSInitialize (when set). errno is left as the failing call set it.

// Creates path and every missing parent, top-down. mode (mode_t)-1 means 0777
// reduced by the umask; any other mode is applied exactly, the process umask
// being cleared for the duration of the call (which affects files other
// threads create meanwhile) and restored before returning. A non-directory
// at a prefix fails with -1 and errno EEXIST (last component) or ENOTDIR,
// unless blForceCreate, which removes it and creates the directory instead.
// endptr, when not null, receives a pointer into path's own UTF-8 text where
// the walk stopped: the end (or the trailing slash) on success, the end of the
// failing component on failure. Existing directories are left as they are.
// Returns 0, or -1 (also for the empty path, which leaves endptr untouched).
int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, mode_t mode);

// Creates one directory (mode 0777 less umask), or the whole chain when
// isCreateParent. An existing directory is success and left untouched.
// Returns 0; -1 for the empty path, an unreadable status or an existing
// non-directory (both logged); -2 when creation fails (errno from the call).
int FSMKDir(const ustring& path, bool isCreateParent);

// Copies the bytes of the regular file src to dst (created with 0666 less
// umask, or truncated). The destination is flushed to the device and closed
// before success is reported; with isDelOrigin the source is removed only
// after that. Returns 0; -2 when the destination's device is out of space or
// quota (ENOSPC, EDQUOT); -1 for any other failure, logged. A failed copy
// leaves the partial destination in place and never removes the source.
// Copying a file onto itself is refused with -1 and changes nothing.
int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin);

// Renames from to to. Across file systems it moves by copying: a regular file
// with FSCopy, a directory tree entry by entry (merged into an existing
// directory to), a symbolic link by recreating it with the same target text.
// do_case_check has no effect. Returns 0; -1 for an empty path; -2 when from
// is missing or its status fails; -100 for a name too long; -3 for any other
// failure, including a device, pipe or socket met across file systems (left
// in place). A failed cross-device move is not atomic: some entries may
// already be under to while the rest and from remain.
int FSRename(const ustring& from, const ustring& to, bool do_case_check);

// Creates a new empty file of mode 0644 named prefix + "/" + six generated
// characters, flushed to the device, and stores its name in path. Returns 0,
// or -1 (logged) with path unchanged.
int FSMktemp(const ustring& prefix, ustring& path);

// Stores a fresh name prefix + "/" + 8 generated characters in path without
// creating anything. Returns 0, or -1 when no name could be made.
int FSCreateTempPath(const ustring& prefix, ustring& path);
