// File-system operations of the support library: file information and
// existence, recursive removal, traversal and directory reading, directory
// creation, copy, rename and temporary paths. Free functions returning int
// status codes; they log through the "file_op_debug" component. Module
// lib/fs/ (with tmp_name_gen.h), above log; fs-internal.h holds its log macro
// and the owners of descriptors and directory streams.
//
// Thread-safety: every function may be called from several threads at once,
// except where a declaration says otherwise.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "ustring.h"

// ---- file information and existence ----
// Statuses are link statuses: a symbolic link is described, never followed.
// Only IsMSDOS and FSGetRealPath log. errno is left as the failing call set it.

#include <ctime>

enum _FILE_TYPE_tag {
    FT_ERR = 0,   // no type known (directory reading only)
    FT_FILE = 1,  // regular file; also recorded for a missing path
    FT_DIR = 2,
    FT_SLINK = 3,  // the link itself
    FT_HLINK = 4,  // never produced
    FT_DEV = 5,    // block or character device
    FT_FIFO = 6,
    FT_SOCK = 7,
};
typedef enum _FILE_TYPE_tag FILE_TYPE;

struct _FILE_INFO_tag {
    ustring path;  // the path exactly as the caller passed it
    ustring name;  // never written by this module
    FILE_TYPE type = FT_ERR;
    uint32_t mtime = 0;  // seconds since the epoch, cut to 32 bits
    uint64_t size = 0;   // for a link, the length of its target text
    bool isExist = false;
    uint32_t uid = 0;
    uint32_t gid = 0;
};
typedef struct _FILE_INFO_tag FILE_INFO;

// Compares isExist, size, mtime, type, path and name, in that order; the
// owner ids are not compared.
bool operator==(const FILE_INFO& a, const FILE_INFO& b);
bool operator!=(const FILE_INFO& a, const FILE_INFO& b);

// Sets the owner given to directories this module creates; (uid_t)-1 and
// (gid_t)-1 mean "not set" (the state at start-up). Meant to run once at
// start-up, before other threads create directories: not synchronised.
void FSInitialize(uid_t u, gid_t g);
// Gives path the module owner; an unset id is left unchanged. The result of
// the change is ignored.
void FSChown(const ustring& path);
// Does nothing; returns 0.
int FSInit(const ustring& path);

// True when path can be reached (access F_OK, which follows links: a dangling
// link is false). False for the empty path. do_case_check has no effect.
bool IsFileExist(const ustring& path, bool do_case_check);

// Fills info from the link status of path and returns 0. A missing path is a
// success with isExist false, type FT_FILE, size 0, owner 0 and mtime the
// current time. Returns -1 on any other failure, with info unchanged (or, for
// an unknown file-type, filled except type). info.name is never written.
int GetFileInfo(const ustring& path, FILE_INFO& info);
// GetFileInfo with its -1 mapped to -2; -1 for the empty path (info untouched).
// do_case_check has no effect.
int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check);

// Sets access and modification time. Returns 0, or -1 when utime fails.
int FSUTime(const ustring& path, time_t atime, time_t mtime);
// Exact equality, no tolerance.
bool FSTimeEqual(time_t a, time_t b);

// True only when access(path, flag) fails with EPERM or EACCES.
bool isFileLocked(const ustring& path, int flag);

// True when path lies on an MS-DOS (FAT) file system (logged at L_WARNING);
// false otherwise, also when the file-system query fails (logged at L_ERR).
bool IsMSDOS(const ustring& path);

// Replaces path by its canonical absolute form (every component must exist).
// Returns 0, or -1 with path unchanged.
int FSGetRealPath(ustring& path);

// ---- removal, traversal and directory reading ----
// FSRemove and TraverseDir log nothing; FSOpenDir and FSReadDir log failures
// at L_ERR. One DIR_HANDLE must not be used by two threads at once.

#include <dirent.h>

struct DIR_HANDLE {
    ustring path;       // as passed to FSOpenDir
    int flag = 0;       // bit 0: FSReadDir fills mtime and size from a status
    DIR* dp = nullptr;  // the open stream; null when not open
    DIR_HANDLE() = default;
};

struct DIR_ENTRY {
    ustring name;             // the name within the directory, no path
    FILE_TYPE type = FT_ERR;  // from the listing's type byte
    uint32_t mtime = 0;       // 0 unless bit 0 of the handle's flag is set
    uint64_t size = 0;        // 0 unless bit 0 of the handle's flag is set
};

// Callback of TraverseDir: 0 to go on, anything else stops the traversal.
typedef int (*FN_ACT_TRAVERSE_DIR)(const ustring& path, void* pPriv);

// Removes path and, for a directory, everything below it, depth-first; each
// directory is read in batches of a few thousand names and each batch removed
// in ascending inode order. The path is resolved as usual up to its last
// component; from there down no symbolic link is followed (a link is removed
// as a link), and no mount point is entered: a directory on another mount
// than path (another device, or a bind mount of the same one) stays, with
// everything on it and the directories above it; the rest is still removed
// and the call then fails with EBUSY.
//
// Threads: the calling thread does every open, listing and directory removal.
// Once it has listed 64 entries of a removal, and when the process
// may use two cores or more, it starts helper threads (as many as the cores
// less one, at most three) that only unlink files it hands them and close
// directories it removed. FSCount and small removals start none. The call
// returns only when every helper is done.
//
// Descriptors: neither path length nor the descriptor limit bounds the depth
// removed. The walk alone needs at most 11 descriptors beyond those open at
// the call; helpers add at most 4 queued and 4 per helper. When the limit is
// reached the helpers' descriptors are taken back and the walk goes on alone,
// so helpers never make a removal fail that would succeed without them.
//
// Returns 0 on success, also when nothing was there (a missing path, or one
// through a file; entries that vanish meanwhile count as removed); -1 for the
// empty path or when the status of path cannot be taken; -3 when anything
// could not be removed, a directory could not be opened, or memory ran out
// (ENOMEM), with errno from the first failure. Stops at the first failure
// (every thread, soon), leaving the failing entry and everything not yet
// reached. A directory path whose last component is "." or ".." (EINVAL), the
// root directory or a mount point (EBUSY; compared by device, inode and mount,
// not by spelling) can never be removed and is refused with -3 before
// anything below it is touched. allowundo has no effect.
int FSRemove(const ustring& path, bool allowundo);

// Tally of a removal or a count, added to as the walk goes; the calls never
// reset it (start from a fresh object, or keep adding across calls). Another
// thread may read entries and bytes while the walk runs (a progress display);
// want_bytes must not change during a call, and one summary must not be
// passed to two calls running at once.
//
// Cost: a null summary counts nothing and takes no status. Without
// want_bytes, counting adds one relaxed atomic addition per entry and no
// system call. With want_bytes, each entry that is not a directory costs one
// fstatat (a directory's size comes from the status the walk takes anyway).
// entries counts an entry once it is gone; bytes are decided when its status
// is taken, before it is unlinked, so helpers never count an object twice.
//
// Hard links: bytes count an object once per call, as du does, at the first
// of its links met, whether its other links lie inside the tree or not; so
// FSCount and a later FSRemove of the same tree agree with each other and
// with `du -s -B1`, but space is not freed for an object that keeps a link
// elsewhere. To do so the call remembers the device and inode of each object
// with several links that it meets (memory only for those).
struct FSRemoveSummary {
    // Entries removed (by FSCount: entries found), directories and the given
    // path itself included. An entry that vanishes before the call removes it
    // is not counted.
    std::atomic<uint64_t> entries{0};
    // Allocated size of those entries (st_blocks * 512), when want_bytes.
    std::atomic<uint64_t> bytes{0};
    // Take each entry's status for its size.
    bool want_bytes = false;
    // The first mount point the call left in place (path itself when it is
    // one), as a path beginning with path; empty when none. Written by the
    // call, to be read after it.
    ustring mount_point;
};

// As FSRemove(path, allowundo); when summary is not null, adds to it what
// went, also on failure (what did go before the walk stopped).
int FSRemove(const ustring& path, bool allowundo, FSRemoveSummary* summary);

// Walks path as FSRemove would, removing nothing, and adds to summary (when
// not null) what a removal would take away: every entry below path and path
// itself. Same return codes as FSRemove: 0 also when nothing is there; -1 for
// the empty path or when the status of path cannot be taken; -3 when a
// directory cannot be opened or read, or for the names FSRemove refuses
// ("." and ".." as the last component, the root directory). On failure the
// summary holds what was counted until then. Entries created or removed by
// others meanwhile may or may not be counted.
int FSCount(const ustring& path, FSRemoveSummary* summary);

// Calls fn for dir and then, pre-order in listing order, for every object
// below it, with child paths joined as dir + "/" + name (not normalised).
// Descends into entries the listing reports as directories, or, where the
// listing gives no type, whose link status says so. Returns 0 when all was
// visited; -1 for an empty dir, a null fn, or a dir that is not an existing
// directory (a link to one is not); -2 when a directory cannot be opened or
// read, the status of an entry listed without type cannot be taken (or it
// has vanished), or fn returned non-zero (nothing is visited after that).
int TraverseDir(const ustring& dir, FN_ACT_TRAVERSE_DIR fn, void* pPriv);

// Opens path for reading. Returns 0 with dh filled, or -1 (logged) with dh
// unchanged.
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);
// Reads the next entry, "." and ".." included. Returns 1 with entry filled, 0
// at the end (entry unchanged), -1 on failure (logged; entry unchanged).
int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
// Closes the stream, nulls dp and clears path; flag is kept. Harmless on a
// handle that is not open.
void FSCloseDir(DIR_HANDLE& dh);

// ---- creation, copy, rename and temporary paths ----
// None of these take a lock. Directories created here get the module owner
// set by FSInitialize (when set). errno is left as the failing call set it.

// Creates path and every missing parent, top-down. mode (mode_t)-1 means 0777
// reduced by the umask; any other mode is applied exactly, the process umask
// being cleared for the duration of the call (which affects files other
// threads create meanwhile) and restored before returning. A non-directory
// at a prefix fails with -1 and errno EEXIST (last component) or ENOTDIR,
// unless blForceCreate, which removes it and creates the directory instead.
// A prefix whose status fails other than by being missing fails there.
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
// quota (ENOSPC, EDQUOT); -1 for any other failure (the source's removal
// included), logged; errno is the first failure's. A failed copy leaves the
// partial destination in place and never removes the source.
// Copying a file onto itself is refused with -1 and changes nothing.
int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin);

// Renames from to to. Across file systems it moves by copying: a regular file
// with FSCopy, a directory tree entry by entry (merged into an existing
// directory to), a symbolic link by recreating it with the same target text.
// A file or link is made under a private name beside to and renamed over it,
// so that to holds what it held or the whole new entry, never a part.
// do_case_check has no effect. Returns 0; -1 for an empty path; -2 when from
// is missing or its status fails; -100 for a name too long; -3 for any other
// failure, including a device, pipe or socket met across file systems (left
// in place). A failed cross-device move is not atomic: some entries may
// already be under to while the rest and from remain.
int FSRename(const ustring& from, const ustring& to, bool do_case_check);

// Creates a new empty file of mode 0644 (whatever the umask) named prefix +
// "/" + six generated characters, flushed to the device, and stores its name
// in path. Returns 0, or -1 (logged) with path unchanged, errno from the
// failing call and no file left behind: a file whose mode cannot be set or
// that cannot be flushed is removed again.
int FSMktemp(const ustring& prefix, ustring& path);

// Stores a fresh name prefix + "/" + 8 generated characters in path without
// creating anything. Returns 0, or -1 when no name could be made.
int FSCreateTempPath(const ustring& prefix, ustring& path);
