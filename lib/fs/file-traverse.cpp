// Tree traversal with a caller's function, and directory reading through a
// handle.
#include <dirent.h>

#include <cerrno>
#include <cstring>

#include "file-op.h"
#include "fs-internal.h"
#include "sys-internal.h"

using bv_internal::g_sys;

namespace {

using bv_internal::DirStream;

FILE_TYPE TypeFromListing(unsigned char d_type) {
    switch (d_type) {
        case DT_FIFO:
            return FT_FIFO;
        case DT_CHR:
        case DT_BLK:
            return FT_DEV;
        case DT_DIR:
            return FT_DIR;
        case DT_REG:
            return FT_FILE;
        case DT_LNK:
            return FT_SLINK;
        case DT_SOCK:
            return FT_SOCK;
        default:
            return FT_ERR;
    }
}

}  // namespace

int TraverseDir(const ustring& dir, FN_ACT_TRAVERSE_DIR fn, void* pPriv) {
    if (dir.empty() || fn == nullptr) return -1;
    FILE_INFO info;
    if (GetFileInfo(dir, info) != 0 || !info.isExist || info.type != FT_DIR) return -1;
    DirStream dp(g_sys.opendir(dir.c_str()));
    if (!dp) return -2;
    if (fn(dir, pPriv) != 0) return -2;
    for (;;) {
        errno = 0;
        struct dirent* de = g_sys.readdir(dp.get());
        if (de == nullptr) return errno != 0 ? -2 : 0;
        if (bv_internal::IsDotOrDotDot(de->d_name)) continue;
        ustring child = dir + "/" + de->d_name;
        bool is_dir = de->d_type == DT_DIR;
        if (de->d_type == DT_UNKNOWN) {
            // Some file systems list no types; the entry's status tells.
            FILE_INFO child_info;
            if (GetFileInfo(child, child_info) != 0 || !child_info.isExist) return -2;
            is_dir = child_info.isExist && child_info.type == FT_DIR;
        }
        int rc = is_dir ? TraverseDir(child, fn, pPriv) : fn(child, pPriv);
        if (rc != 0) return -2;
    }
}

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh) {
    DIR* dp = g_sys.opendir(path.c_str());
    if (dp == nullptr) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): FSOpenDir: Failed to open directory '%s'. %s\n",
                   path.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    dh.dp = dp;
    dh.path = path;
    dh.flag = flag;
    return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
    struct dirent* de = nullptr;
    if (dh.dp == nullptr) {
        // Reading a handle that is not open is a caller's error, reported the
        // way a failed read is rather than by crashing in readdir.
        errno = EBADF;
    } else {
        errno = 0;
        de = g_sys.readdir(dh.dp);
        if (de == nullptr && errno == 0) return 0;
    }
    if (de == nullptr) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): FSOpenDir: Failed to read directory '%s'. %s\n",
                   dh.path.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    if (dh.flag & 1) {
        FILE_INFO info;
        ustring full = dh.path + "/" + de->d_name;
        if (FSStat(full, info, false) < 0) {
            int err = errno;
            FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): FSOpenDir: Failed to get info for '%s'\n",
                       full.c_str());
            errno = err;
            return -1;
        }
        entry.mtime = info.mtime;
        entry.size = info.size;
    } else {
        entry.mtime = 0;
        entry.size = 0;
    }
    entry.name = de->d_name;
    entry.type = TypeFromListing(de->d_type);
    return 1;
}

void FSCloseDir(DIR_HANDLE& dh) {
    if (dh.dp != nullptr) g_sys.closedir(dh.dp);
    dh.dp = nullptr;
    dh.path.clear();
}
