// The system-call table at its start: the C library's functions.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "sys-internal.h"

namespace bv_internal {

const SysCalls kLibcSysCalls = {
    [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    [](int dirfd, const char* path, int flags, mode_t mode) {
        return ::openat(dirfd, path, flags, mode);
    },
    ::close,
    [](int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); },
    ::opendir,
    ::fdopendir,
    ::readdir,
    ::closedir,
    ::stat,
    ::lstat,
    ::fstat,
    ::fstatat,
    ::statx,
    ::statfs,
    ::access,
    ::realpath,
    ::readlink,
    ::unlink,
    ::unlinkat,
    ::mkdir,
    ::rename,
    ::symlink,
    ::fchmod,
    ::chown,
    ::utime,
    ::mkstemp,
    ::read,
    ::write,
    ::copy_file_range,
    ::ftruncate,
    ::fsync,
    ::flock,
    ::fopen,
    ::fclose,
    ::fgets,
    ::fwrite,
    ::fflush,
    ::vfprintf,
    ::sched_getaffinity,
    ::gethostname,
};

SysCalls g_sys = kLibcSysCalls;

}  // namespace bv_internal
