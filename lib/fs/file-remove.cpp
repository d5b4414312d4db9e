// Recursive removal. The walk works relative to directory descriptors so that
// no symbolic link below the given path is ever followed (not even one swapped
// in for a directory while we look at it), and it is iterative with a bounded
// set of open streams so that neither path length, stack nor the descriptor
// limit caps the depth it can remove.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "file-op.h"
#include "fs-internal.h"

namespace fileop_internal {
void (*g_after_remove_hook)(int parent_fd, const char* name) = nullptr;
}  // namespace fileop_internal

namespace {

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Streams kept open on the current branch. Deeper than this, the stream
// nearest the top is closed and reopened through ".." on the way back up.
constexpr size_t kMaxOpenDirs = 8;

// A directory whose rmdir finds entries the listing did not show is listed
// again, as long as each pass removes something, up to this many passes.
constexpr int kMaxPasses = 64;

// Closes fd keeping errno, so that callers see the call that failed.
void CloseKeepErrno(int fd) {
    int err = errno;
    close(fd);
    errno = err;
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Adds removed (or counted) entries to the caller's summary. Sizes follow du:
// an object with several links counts at the first link met, so the walk
// remembers those objects, and forgets one when its last link is met.
class Tally {
  public:
    explicit Tally(FSRemoveSummary* summary) : summary_(summary) {}
    bool on() const { return summary_ != nullptr; }
    // Whether each entry's status is wanted for its size.
    bool wants_status() const { return summary_ != nullptr && summary_->want_bytes; }
    // st: the entry's status, taken when wants_status().
    void Add(const struct stat* st) {
        if (summary_ == nullptr) return;
        summary_->entries.fetch_add(1, std::memory_order_relaxed);
        if (st == nullptr || !summary_->want_bytes) return;
        if (!S_ISDIR(st->st_mode) && (st->st_nlink > 1 || !linked_.empty())) {
            auto key = std::make_pair(st->st_dev, st->st_ino);
            auto it = linked_.find(key);
            if (it != linked_.end()) {
                if (st->st_nlink <= 1) linked_.erase(it);
                return;
            }
            if (st->st_nlink > 1) linked_.insert(key);
        }
        summary_->bytes.fetch_add(static_cast<uint64_t>(st->st_blocks) * 512,
                                  std::memory_order_relaxed);
    }

  private:
    FSRemoveSummary* summary_;
    std::set<std::pair<dev_t, ino_t>> linked_;
};

// One directory on the branch being removed.
struct Frame {
    DIR* dir = nullptr;  // null while parked to respect kMaxOpenDirs
    long pos = 0;        // read position while parked
    dev_t dev = 0;       // identity, checked when reopening through ".."
    ino_t ino = 0;
    struct stat st;      // its status when opened, for the tally
    std::string name;    // entry name in the parent directory
    size_t removed = 0;  // entries removed during the current listing pass
    int passes = 1;
};

class TreeRemover {
  public:
    // parent_fd: the directory holding the tree's top (kept open by the caller).
    // With count_only nothing is removed: entries are only added to tally.
    TreeRemover(int parent_fd, Tally* tally, bool count_only)
        : parent_fd_(parent_fd), tally_(tally), count_only_(count_only) {}
    ~TreeRemover() { CloseAll(); }
    TreeRemover(const TreeRemover&) = delete;
    TreeRemover& operator=(const TreeRemover&) = delete;

    // Removes the directory `name` of the parent and all below it.
    // Returns 0, or -3 with errno from the call that failed.
    int Run(const char* name);

  private:
    enum EntryResult { kDone, kDescended, kFailed };

    EntryResult HandleEntry(size_t index, const char* name, unsigned char type);
    bool Push(int fd, const char* name);
    bool FinishTop(bool read_error);
    void Park(Frame& f);
    bool Unpark(size_t index, int child_fd);
    void CloseAll();

    int parent_fd_;
    Tally* tally_;
    bool count_only_;
    std::vector<Frame> frames_;  // frames_[0, depth_) is the current branch
    size_t depth_ = 0;
    size_t first_open_ = 0;  // frames below this index are parked
};

int TreeRemover::Run(const char* name) {
    int fd = openat(parent_fd_, name, kDirOpenFlags);
    if (fd < 0) return errno == ENOENT ? 0 : -3;
    if (!Push(fd, name)) return -3;
    while (depth_ > 0) {
        size_t top = depth_ - 1;
        errno = 0;
        struct dirent* de = readdir(frames_[top].dir);
        if (de == nullptr) {
            if (!FinishTop(errno != 0)) return -3;
            continue;
        }
        if (IsDotOrDotDot(de->d_name)) continue;
        if (HandleEntry(top, de->d_name, de->d_type) == kFailed) return -3;
    }
    return 0;
}

// Removes a non-directory entry or opens a directory entry as the new top of
// the branch. The listing's type byte saves a status per entry; when the
// object turns out to be of another kind by the time we act, we look again.
TreeRemover::EntryResult TreeRemover::HandleEntry(size_t index, const char* name,
                                                  unsigned char type) {
    int dfd = dirfd(frames_[index].dir);
    struct stat st;
    bool have_st = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (type == DT_UNKNOWN || (type != DT_DIR && tally_->wants_status() && !have_st)) {
            if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return errno == ENOENT ? kDone : kFailed;
            have_st = true;
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            int fd = openat(dfd, name, kDirOpenFlags);
            if (fd >= 0) return Push(fd, name) ? kDescended : kFailed;
            if (errno == ENOENT) return kDone;
            // A link or file now stands where the directory was: never follow
            // it, deal with whatever is there instead.
            if (errno != ELOOP && errno != ENOTDIR) return kFailed;
            type = DT_UNKNOWN;
            have_st = false;
            continue;
        }
        if (count_only_) {
            tally_->Add(have_st ? &st : nullptr);
            return kDone;
        }
        if (unlinkat(dfd, name, 0) == 0) {
            tally_->Add(have_st ? &st : nullptr);
            ++frames_[index].removed;
            if (fileop_internal::g_after_remove_hook)
                fileop_internal::g_after_remove_hook(dfd, name);
            return kDone;
        }
        if (errno == ENOENT) return kDone;
        if (errno != EISDIR) return kFailed;
        type = DT_DIR;
        have_st = false;
    }
    // The entry kept changing its kind under us.
    errno = EAGAIN;
    return kFailed;
}

bool TreeRemover::Push(int fd, const char* name) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        CloseKeepErrno(fd);
        return false;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        CloseKeepErrno(fd);
        return false;
    }
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& f = frames_[depth_++];
    f.dir = dir;
    f.pos = 0;
    f.dev = st.st_dev;
    f.ino = st.st_ino;
    f.st = st;
    f.name.assign(name);  // before any parking: name may live in a parent's buffer
    f.removed = 0;
    f.passes = 1;
    if (depth_ - first_open_ > kMaxOpenDirs) Park(frames_[first_open_++]);
    return true;
}

// The top directory's listing is exhausted: remove it from its parent and pop
// it, or list it again when its rmdir finds entries the listing missed.
bool TreeRemover::FinishTop(bool read_error) {
    size_t top = depth_ - 1;
    Frame& f = frames_[top];
    if (count_only_ && read_error) return false;
    int pfd = parent_fd_;
    if (top > 0) {
        if (frames_[top - 1].dir == nullptr && !Unpark(top - 1, dirfd(f.dir))) return false;
        pfd = dirfd(frames_[top - 1].dir);
    }
    if (count_only_) {
        tally_->Add(&f.st);
    } else if (unlinkat(pfd, f.name.c_str(), AT_REMOVEDIR) == 0) {
        // Removed while still open, so that a second pass needs no reopening.
        tally_->Add(&f.st);
        if (fileop_internal::g_after_remove_hook)
            fileop_internal::g_after_remove_hook(pfd, f.name.c_str());
    } else if (errno != ENOENT) {
        // Entries created behind the read cursor, entries some file systems
        // skip while we delete, or a parked stream resumed from a saved
        // position that such a file system has shifted: list again while
        // that makes progress.
        bool retry = (errno == ENOTEMPTY || errno == EEXIST) && !read_error && f.removed > 0 &&
                     f.passes < kMaxPasses;
        if (!retry) return false;
        // A fresh stream rather than a rewind: ext4 keeps hash-order reading
        // state per open file, and a stream first positioned at its end reads
        // nothing after rewinddir.
        int fd = openat(dirfd(f.dir), ".", kDirOpenFlags);
        if (fd < 0) return false;
        DIR* dir = fdopendir(fd);
        if (dir == nullptr) {
            CloseKeepErrno(fd);
            return false;
        }
        closedir(f.dir);
        f.dir = dir;
        f.removed = 0;
        ++f.passes;
        return true;
    }
    closedir(f.dir);
    f.dir = nullptr;
    --depth_;
    if (top > 0) ++frames_[top - 1].removed;
    return true;
}

void TreeRemover::Park(Frame& f) {
    assert(f.dir != nullptr);
    f.pos = telldir(f.dir);
    closedir(f.dir);
    f.dir = nullptr;
}

// Reopens a parked ancestor through ".." of its child, refusing a directory
// that is not the one we left (the child was moved meanwhile).
bool TreeRemover::Unpark(size_t index, int child_fd) {
    assert(index + 1 == first_open_);
    Frame& f = frames_[index];
    int fd = openat(child_fd, "..", kDirOpenFlags);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        CloseKeepErrno(fd);
        return false;
    }
    if (st.st_dev != f.dev || st.st_ino != f.ino) {
        close(fd);
        errno = ESTALE;
        return false;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        CloseKeepErrno(fd);
        return false;
    }
    seekdir(dir, f.pos);
    f.dir = dir;
    first_open_ = index;
    return true;
}

void TreeRemover::CloseAll() {
    int err = errno;
    for (size_t i = first_open_; i < depth_; ++i) {
        if (frames_[i].dir != nullptr) closedir(frames_[i].dir);
        frames_[i].dir = nullptr;
    }
    depth_ = 0;
    first_open_ = 0;
    errno = err;
}

}  // namespace

namespace {

// The walk shared by FSRemove and FSCount.
int RemoveOrCount(const ustring& path, FSRemoveSummary* summary, bool count_only) {
    if (path.empty()) return -1;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
    Tally tally(summary);
    if (!S_ISDIR(st.st_mode)) {
        if (count_only || unlink(path.c_str()) == 0) {
            tally.Add(&st);
            return 0;
        }
        return errno == ENOENT ? 0 : -3;
    }

    // Split into the parent, resolved as usual, and the last component, which
    // is opened without following a link.
    std::string full(path.c_str(), path.length());
    size_t end = full.find_last_not_of('/');
    if (end == std::string::npos) {
        // The root directory: its own rmdir can never succeed, so emptying
        // the whole file system first would only destroy data.
        errno = EBUSY;
        return -3;
    }
    full.resize(end + 1);
    size_t slash = full.rfind('/');
    std::string parent = slash == std::string::npos ? "." : full.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
    if (base == "." || base == "..") {
        // rmdir refuses these names, so the removal could only fail after
        // deleting everything below.
        errno = EINVAL;
        return -3;
    }

    int parent_fd = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) return -3;
    int rc;
    {
        TreeRemover remover(parent_fd, &tally, count_only);
        rc = remover.Run(base.c_str());
    }
    CloseKeepErrno(parent_fd);
    return rc;
}

}  // namespace

int FSRemove(const ustring& path, bool /*allowundo*/, FSRemoveSummary* summary) {
    return RemoveOrCount(path, summary, false);
}

int FSRemove(const ustring& path, bool allowundo) {
    return FSRemove(path, allowundo, nullptr);
}

int FSCount(const ustring& path, FSRemoveSummary* summary) {
    return RemoveOrCount(path, summary, true);
}
