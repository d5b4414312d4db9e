// Private to the file-operation sources, the modules above them and their
// tests: the component of their log lines, the owners of what they acquire
// (a descriptor, a directory stream), and an observation point in the
// removal walk. Never installed.
//
// Thread-safety: the owners are used by one thread at a time; set the hook
// only while no removal runs.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "log-internal.h"
#include "sys-internal.h"
#include "ustring.h"

namespace bv_internal {

inline const ustring kFileOpComponent("file_op_debug");

}  // namespace bv_internal

#define FILEOP_LOG(level, fmt, ...) BV_LOG(bv_internal::kFileOpComponent, level, fmt, ##__VA_ARGS__)

namespace bv_internal {

// Owns a descriptor. The destructor and reset() close it keeping errno, so
// an error path reports the call that failed; Close() is for the one close
// whose result matters (a written file).
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int err = errno;
            g_sys.close(fd_);
            errno = err;
        }
        fd_ = fd;
    }
    // Closes now and returns close's result (0 when nothing was open).
    int Close() {
        int fd = release();
        return fd >= 0 ? g_sys.close(fd) : 0;
    }

  private:
    int fd_;
};

// Owns a directory stream; closes it keeping errno.
class DirStream {
  public:
    explicit DirStream(DIR* dir = nullptr) : dir_(dir) {}
    ~DirStream() { reset(); }
    DirStream(DirStream&& o) noexcept : dir_(o.release()) {}
    DirStream& operator=(DirStream&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;

    DIR* get() const { return dir_; }
    explicit operator bool() const { return dir_ != nullptr; }
    DIR* release() {
        DIR* d = dir_;
        dir_ = nullptr;
        return d;
    }
    void reset(DIR* dir = nullptr) {
        if (dir_ != nullptr) {
            int err = errno;
            g_sys.closedir(dir_);
            errno = err;
        }
        dir_ = dir;
    }

  private:
    DIR* dir_;
};

inline bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Owner given to directories this module creates, as FSInitialize set it;
// (uid_t)-1 and (gid_t)-1 mean "not set" (the initial values). Written only
// by FSInitialize, which runs once at start-up before other threads create
// directories.
extern uid_t g_owner_uid;
extern gid_t g_owner_gid;

}  // namespace bv_internal

namespace fileop_internal {

// When not null, FSRemove's walk of a directory calls it after each entry it
// removed (a directory after its rmdir, the given directory itself last),
// with the descriptor of the directory that held the entry and the entry's
// name, from whichever worker thread removed it. Null outside tests.
extern void (*g_after_remove_hook)(int parent_fd, const char* name);

}  // namespace fileop_internal
