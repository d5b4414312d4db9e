// The library's one way to the operating system. Every system call that the
// log, file-operation and utility sources make goes through g_sys, a table of
// function pointers that starts out as the C library's own functions, so that
// a test can make any one call fail, the Nth time, with any errno, without
// root, mounts or resource limits. Never installed.
//
// Thread-safety: every thread reads the table without a lock; it may be
// changed only while no library call runs (tests do so between operations).
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <utime.h>

#include <cstdarg>
#include <cstdio>

namespace bv_internal {

// One entry per call, named and typed as the call itself; open, openat and
// fcntl take their optional third argument always.
struct SysCalls {
    // Descriptors and directory streams
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dirfd, const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*fcntl)(int fd, int cmd, int arg);
    DIR* (*opendir)(const char* path);
    DIR* (*fdopendir)(int fd);
    struct dirent* (*readdir)(DIR* dir);
    int (*closedir)(DIR* dir);
    // Status
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
    int (*fstat)(int fd, struct stat* st);
    int (*fstatat)(int dirfd, const char* path, struct stat* st, int flags);
    int (*statx)(int dirfd, const char* path, int flags, unsigned int mask, struct statx* stx);
    int (*statfs)(const char* path, struct statfs* sfs);
    int (*access)(const char* path, int mode);
    char* (*realpath)(const char* path, char* resolved);
    ssize_t (*readlink)(const char* path, char* buf, size_t size);
    // Changing names and attributes
    int (*unlink)(const char* path);
    int (*unlinkat)(int dirfd, const char* path, int flags);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rename)(const char* from, const char* to);
    int (*symlink)(const char* target, const char* path);
    int (*fchmod)(int fd, mode_t mode);
    int (*chown)(const char* path, uid_t uid, gid_t gid);
    int (*utime)(const char* path, const struct utimbuf* times);
    int (*mkstemp)(char* name_template);
    // Data
    ssize_t (*read)(int fd, void* buf, size_t size);
    ssize_t (*write)(int fd, const void* buf, size_t size);
    ssize_t (*copy_file_range)(int in, off64_t* in_off, int out, off64_t* out_off, size_t size,
                               unsigned int flags);
    int (*ftruncate)(int fd, off_t length);
    int (*fsync)(int fd);
    int (*flock)(int fd, int operation);
    // Streams (the logger and the configuration files)
    FILE* (*fopen)(const char* path, const char* mode);
    int (*fclose)(FILE* fp);
    char* (*fgets)(char* buf, int size, FILE* fp);
    size_t (*fwrite)(const void* data, size_t size, size_t count, FILE* fp);
    int (*fflush)(FILE* fp);
    int (*vfprintf)(FILE* fp, const char* fmt, va_list args);
    // The process
    int (*sched_getaffinity)(pid_t pid, size_t size, cpu_set_t* set);
    int (*gethostname)(char* name, size_t size);
};

extern SysCalls g_sys;
// The C library's functions, as g_sys holds them at start.
extern const SysCalls kLibcSysCalls;

}  // namespace bv_internal
