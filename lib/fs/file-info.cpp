// File information, existence and access tests, times, the module owner,
// the file-system type probe and path canonicalisation.
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "file-op.h"
#include "fs-internal.h"
#include "sys-internal.h"

using bv_internal::g_sys;

namespace {

constexpr long kMsdosSuperMagic = 0x4D44;

}  // namespace

uid_t bv_internal::g_owner_uid = static_cast<uid_t>(-1);
gid_t bv_internal::g_owner_gid = static_cast<gid_t>(-1);

bool operator==(const FILE_INFO& a, const FILE_INFO& b) {
    return a.isExist == b.isExist && a.size == b.size && a.mtime == b.mtime && a.type == b.type &&
           a.path == b.path && a.name == b.name;
}

bool operator!=(const FILE_INFO& a, const FILE_INFO& b) {
    return !(a == b);
}

void FSInitialize(uid_t u, gid_t g) {
    bv_internal::g_owner_uid = u;
    bv_internal::g_owner_gid = g;
}

void FSChown(const ustring& path) {
    // Best effort by contract: a directory that keeps the creator's owner is
    // still usable, so the caller is not told.
    int rc = g_sys.chown(path.c_str(), bv_internal::g_owner_uid, bv_internal::g_owner_gid);
    (void)rc;
}

int FSInit(const ustring& /*path*/) {
    return 0;
}

bool IsFileExist(const ustring& path, bool /*do_case_check*/) {
    if (path.empty()) return false;
    return g_sys.access(path.c_str(), F_OK) == 0;
}

int GetFileInfo(const ustring& path, FILE_INFO& info) {
    struct stat st;
    if (g_sys.lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return -1;
        info.isExist = false;
        info.mtime = static_cast<uint32_t>(time(nullptr));
        info.path = path;
        info.size = 0;
        info.type = FT_FILE;
        info.uid = 0;
        info.gid = 0;
        return 0;
    }
    info.isExist = true;
    info.mtime = static_cast<uint32_t>(st.st_mtime);
    info.path = path;
    info.size = static_cast<uint64_t>(st.st_size);
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    switch (st.st_mode & S_IFMT) {
        case S_IFREG:
            info.type = FT_FILE;
            break;
        case S_IFDIR:
            info.type = FT_DIR;
            break;
        case S_IFBLK:
        case S_IFCHR:
            info.type = FT_DEV;
            break;
        case S_IFLNK:
            info.type = FT_SLINK;
            break;
        case S_IFIFO:
            info.type = FT_FIFO;
            break;
        case S_IFSOCK:
            info.type = FT_SOCK;
            break;
        default:
            return -1;
    }
    return 0;
}

int FSStat(const ustring& path, FILE_INFO& info, bool /*do_case_check*/) {
    if (path.empty()) return -1;
    return GetFileInfo(path, info) == 0 ? 0 : -2;
}

int FSUTime(const ustring& path, time_t atime, time_t mtime) {
    struct utimbuf times;
    times.actime = atime;
    times.modtime = mtime;
    return g_sys.utime(path.c_str(), &times) == 0 ? 0 : -1;
}

bool FSTimeEqual(time_t a, time_t b) {
    return a == b;
}

bool isFileLocked(const ustring& path, int flag) {
    if (g_sys.access(path.c_str(), flag) == 0) return false;
    return errno == EPERM || errno == EACCES;
}

bool IsMSDOS(const ustring& path) {
    struct statfs sfs;
    if (g_sys.statfs(path.c_str(), &sfs) != 0) {
        int err = errno;
        FILEOP_LOG(
            L_ERR,
            "[ERROR] file-op(%d): IsSupportLargeFile: Failed to get file system info '%s'. %s\n",
            path.c_str(), strerror(err));
        errno = err;
        return false;
    }
    if (static_cast<long>(sfs.f_type) == kMsdosSuperMagic) {
        FILEOP_LOG(L_WARNING, "[WARNING] file-op(%d): Detect a MSDOS platform for path '%s'.\n",
                   path.c_str());
        return true;
    }
    return false;
}

int FSGetRealPath(ustring& path) {
    FILEOP_LOG(L_DEBUG, "[DEBUG] file-op(%d):  org path [%s]\n", path.c_str());
    // Without a buffer realpath allocates one of the length it needs.
    std::unique_ptr<char, decltype(&std::free)> resolved(g_sys.realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (resolved == nullptr) return -1;
    path = resolved.get();
    FILEOP_LOG(L_DEBUG, "[DEBUG] file-op(%d):  get full path [%s]\n", path.c_str());
    return 0;
}
