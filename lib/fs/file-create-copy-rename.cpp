// Directory creation, rename with a cross-file-system fallback, temporary
// files and temporary path names. FSCopy lives in file-copy.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file-op.h"
#include "fs-internal.h"
#include "sys-internal.h"
#include "tmp_name_gen.h"

using bv_internal::g_sys;

namespace {

using bv_internal::DirStream;
using bv_internal::UniqueFd;

constexpr mode_t kDefaultMode = static_cast<mode_t>(-1);
constexpr size_t kTemplateSize = 4096;

// The owner FSMKDirP gives new directories, from the module owner set by
// FSInitialize. Returns false when no change of owner is wanted.
bool NewDirectoryOwner(uid_t* u, gid_t* g) {
    const uid_t mod_uid = bv_internal::g_owner_uid;
    const gid_t mod_gid = bv_internal::g_owner_gid;
    const uid_t unset_uid = static_cast<uid_t>(-1);
    const gid_t unset_gid = static_cast<gid_t>(-1);
    if (mod_uid != unset_uid) {
        *u = mod_uid;
        *g = (mod_gid != unset_gid) ? mod_gid : getegid();
        return true;
    }
    if (mod_gid != unset_gid) {
        *u = geteuid();
        *g = mod_gid;
        return true;
    }
    return false;
}

// Restores the process umask when FSMKDirP leaves, whichever way.
class UmaskScope {
  public:
    explicit UmaskScope(bool clear) : active_(clear), saved_(clear ? ::umask(0) : 0) {}
    ~UmaskScope() {
        if (active_) ::umask(saved_);
    }
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

  private:
    bool active_;
    mode_t saved_;
};

// A name beside `to` that no one else uses: where a move builds its result
// before renaming it into place.
ustring PrivateNameBeside(const ustring& to) {
    ustring tmp = to;
    tmp += ".";
    tmp += TmpNameGen::getInstance().getTmpName();
    return tmp;
}

// Removes the private tmp after a step failed; -3 with that step's errno.
int DropPrivate(const ustring& tmp) {
    const int err = errno;
    g_sys.unlink(tmp.c_str());
    errno = err;
    return -3;
}

// Renames tmp to `to`, or removes tmp; returns 0 or -3 with errno kept.
int RenameIntoPlace(const ustring& tmp, const ustring& to) {
    return g_sys.rename(tmp.c_str(), to.c_str()) == 0 ? 0 : DropPrivate(tmp);
}

// Moves a regular file across file systems: copied and flushed under a
// private name, then renamed over `to`, so that `to` holds either what it
// held or the whole file, never a part, as with rename(2). The source goes
// last.
int MoveFile(const ustring& from, const ustring& to) {
    const ustring tmp = PrivateNameBeside(to);
    if (FSCopy(from, tmp, false) != 0) return DropPrivate(tmp);
    if (RenameIntoPlace(tmp, to) != 0) return -3;
    return g_sys.unlink(from.c_str()) == 0 ? 0 : -3;
}

// Moves a symbolic link across file systems: the same target text at the
// destination, then the source link goes. The new link is made under a
// private name and renamed into place so that, as with rename(2), an existing
// non-directory at `to` is replaced and never left half-done.
int MoveSymlink(const ustring& from, const ustring& to) {
    std::vector<char> target(256);
    for (;;) {
        ssize_t n = g_sys.readlink(from.c_str(), target.data(), target.size());
        if (n < 0) return -3;
        if (static_cast<size_t>(n) < target.size()) {
            target[static_cast<size_t>(n)] = '\0';
            break;
        }
        target.resize(target.size() * 2);
    }
    const ustring tmp = PrivateNameBeside(to);
    if (g_sys.symlink(target.data(), tmp.c_str()) != 0) return -3;
    if (RenameIntoPlace(tmp, to) != 0) return -3;
    return g_sys.unlink(from.c_str()) == 0 ? 0 : -3;
}

int MoveDirectory(const ustring& from, const ustring& to, bool do_case_check) {
    if (FSMKDir(to, true) != 0) return -3;
    // from was a directory when its status was taken; should it have been
    // swapped for a link since, the link's target is not emptied.
    UniqueFd fd(g_sys.open(from.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd.ok()) return -3;
    DirStream dir(g_sys.fdopendir(fd.get()));
    if (!dir) return -3;
    fd.release();  // the stream owns it now
    for (;;) {
        errno = 0;
        struct dirent* ent = g_sys.readdir(dir.get());
        if (ent == nullptr && errno != 0) return -3;
        if (ent == nullptr) break;
        const char* name = ent->d_name;
        if (bv_internal::IsDotOrDotDot(name)) continue;
        ustring child_from = from + "/" + name;
        ustring child_to = to + "/" + name;
        if (FSRename(child_from, child_to, do_case_check) != 0) return -3;
    }
    dir.reset();
    return g_sys.unlinkat(AT_FDCWD, from.c_str(), AT_REMOVEDIR) == 0 ? 0 : -3;
}

}  // namespace

int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, mode_t mode) {
    if (path.empty()) return -1;
    std::string work(path.c_str(), path.length());

    const bool exact_mode = (mode != kDefaultMode);
    const mode_t create_mode = exact_mode ? mode : 0777;
    UmaskScope umask_scope(exact_mode);
    // Unset ids change nothing; NewDirectoryOwner sets both when it wants a change.
    uid_t owner_uid = static_cast<uid_t>(-1);
    gid_t owner_gid = static_cast<gid_t>(-1);
    const bool set_owner = NewDirectoryOwner(&owner_uid, &owner_gid);
    // A change of owner that fails leaves a usable directory: ignored.
    auto make_directory = [&](const std::string& prefix) {
        if (g_sys.mkdir(prefix.c_str(), create_mode) != 0) return false;
        const int err = errno;
        if (set_owner && g_sys.chown(prefix.c_str(), owner_uid, owner_gid) != 0) errno = err;
        return true;
    };

    const size_t len = work.size();
    size_t pos = (work[0] == '/') ? 1 : 0;
    int result = 0;
    for (;; ++pos) {
        if (pos < len && work[pos] != '/') continue;
        const bool last = (pos >= len) || (pos + 1 == len);
        const std::string prefix = work.substr(0, pos);

        struct stat st;
        bool is_dir = false;
        if (g_sys.stat(prefix.c_str(), &st) == 0) {
            is_dir = S_ISDIR(st.st_mode);
        } else if (errno != ENOENT) {
            result = -1;
            break;
        } else if (make_directory(prefix)) {
            is_dir = true;
        } else if (errno == EEXIST && g_sys.stat(prefix.c_str(), &st) == 0) {
            // Made meanwhile by someone else; what it is decides as above.
            is_dir = S_ISDIR(st.st_mode);
        } else {
            result = -1;
            break;
        }
        if (!is_dir && !blForceCreate) {
            errno = last ? EEXIST : ENOTDIR;
            result = -1;
            break;
        }
        if (!is_dir && (g_sys.unlink(prefix.c_str()) != 0 || !make_directory(prefix))) {
            result = -1;
            break;
        }
        if (last) break;
    }
    if (endptr != nullptr) *endptr = const_cast<char*>(path.c_str()) + (pos < len ? pos : len);
    return result;
}

int FSMKDir(const ustring& path, bool isCreateParent) {
    if (path.empty()) return -1;
    FILE_INFO info;
    if (GetFileInfo(path, info) != 0) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): FSMKDir: Failed to to file info '%s'\n",
                   path.c_str());
        errno = err;
        return -1;
    }
    if (info.isExist) {
        if (info.type == FT_DIR) return 0;
        FILEOP_LOG(L_ERR,
                   "[ERROR] file-op(%d): FSMKDir: Create a folder but local file system is not "
                   "directory '%s' (%d)\n",
                   path.c_str(), static_cast<int>(info.type));
        return -1;
    }
    if (isCreateParent) {
        if (FSMKDirP(path, nullptr, false, kDefaultMode) != 0) return -2;
    } else if (g_sys.mkdir(path.c_str(), 0777) != 0) {
        return -2;
    }
    FSChown(path);
    return 0;
}

int FSRename(const ustring& from, const ustring& to, bool do_case_check) {
    if (from.empty() || to.empty()) return -1;
    FILE_INFO info;
    if (FSStat(from, info, do_case_check) != 0 || !info.isExist) return -2;
    if (g_sys.rename(from.c_str(), to.c_str()) == 0) return 0;
    if (errno == ENAMETOOLONG) return -100;
    if (errno != EXDEV) return -3;

    switch (info.type) {
        case FT_FILE:
            return MoveFile(from, to);
        case FT_DIR:
            return MoveDirectory(from, to, do_case_check);
        case FT_SLINK:
            return MoveSymlink(from, to);
        default:
            // Devices, pipes and sockets cannot be recreated faithfully by a
            // copy; reporting success would leave the caller believing the
            // tree was moved.
            return -3;
    }
}

int FSMktemp(const ustring& prefix, ustring& path) {
    char tmpl[kTemplateSize];
    std::snprintf(tmpl, sizeof tmpl, "%s/XXXXXX", prefix.c_str());
    // mkstemp scribbles over the template even when it fails; the log names
    // the template as it was asked for.
    const std::string asked(tmpl);
    UniqueFd fd(g_sys.mkstemp(tmpl));
    if (!fd.ok()) {
        int err = errno;
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): mkstemp(%s): %s\n", asked.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    // The mode goes through the descriptor, which can only reach the file
    // just made, and before the flush, which then covers it too. Callers
    // hand the name on as a file that exists, so a file not flushed or of the
    // wrong mode is removed and reported rather than given out. Nothing was
    // written, so a failing close loses nothing.
    const char* failed = nullptr;
    if (g_sys.fchmod(fd.get(), 0644) != 0) {
        failed = "fchmod";
    } else if (g_sys.fsync(fd.get()) != 0) {
        failed = "fsync";
    }
    fd.reset();
    if (failed != nullptr) {
        int err = errno;
        g_sys.unlink(tmpl);
        FILEOP_LOG(L_ERR, "[ERROR] file-op(%d): %s(%s): %s\n", failed, tmpl, strerror(err));
        errno = err;
        return -1;
    }
    path = tmpl;
    return 0;
}

int FSCreateTempPath(const ustring& prefix, ustring& path) {
    path = TmpNameGen::getInstance().getTmpPath(prefix);
    return path.empty() ? -1 : 0;
}
