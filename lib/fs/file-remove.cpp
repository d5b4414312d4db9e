// Recursive removal and its counting twin.
//
// One thread, the caller's, walks the tree and decides everything: it opens,
// lists, takes the status of entries listed without a type, checks mounts and
// identities, and removes directories. It works relative to directory
// descriptors, so no symbolic link below the given path is ever followed (not
// even one swapped in for a directory meanwhile), and keeps at most
// kMaxOpenDirs streams open, closing the one nearest the top and reopening it
// through ".." (checked by device and inode) on the way back up, so neither
// path length nor the descriptor limit caps the depth.
//
// Helpers only unlink. Each unlink that frees data, and each last close of a
// removed directory, may wait for the device (a disk that discards freed
// blocks); more calls in flight hide the wait. Once the walker has listed
// kLargeTree entries it starts up to kMaxHelpers threads (the cores it may use
// less one) and hands them jobs: chunks of non-directory names of one
// directory, in inode order, with a duplicate descriptor of it; or removed
// directories to close.
//
// Why it cannot deadlock, and what it holds:
// - A helper waits only for work; it does a job unlocked and marks it done on
//   every way out (RunJob), so a job in a helper's hands finishes.
// - The walker waits only in Drain (for one directory's jobs before removing
//   it, or for all), doing queued jobs itself meanwhile: it waits only for jobs
//   in helpers' hands. So a directory goes only when none of its jobs is left.
// - Descriptors: the walk alone holds the top's parent, at most
//   kMaxOpenDirs + 1 streams and one being opened; queued jobs at most
//   kMaxQueuedFds more, each running one at most kCloseBatch. Out of
//   descriptors, the walker drains every job and tries again: with helpers it
//   never needs more than alone.
// - A failure anywhere stops every thread at its next entry; the first one's
//   errno is the call's. A mount point met below the top stays, with its
//   ancestors; the rest goes on, and the call fails at the end.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "file-op.h"
#include "fs-internal.h"

namespace fileop_internal {
void (*g_after_remove_hook)(int parent_fd, const char* name) = nullptr;
}  // namespace fileop_internal

namespace {

using bv_internal::CondVar;
using bv_internal::DirStream;
using bv_internal::g_sys;
using bv_internal::Mutex;
using bv_internal::MutexGuard;
using bv_internal::UniqueFd;

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
constexpr size_t kMaxOpenDirs = 8;
// A directory whose rmdir finds entries the listing did not show is listed
// again, while each pass finds something, up to this many passes.
constexpr int kMaxPasses = 64;
// Names read per batch; fewer below the open-stream budget, where each
// frame's subdirectories wait their turn.
constexpr size_t kBatch = 4096;
constexpr size_t kDeepBatch = 256;
// A thread pays for itself once a few dozen removed directories wait to be
// closed: on a disk that discards freed blocks each last close waits for it.
constexpr uint64_t kLargeTree = 64;
constexpr unsigned kMaxHelpers = 3;  // unlinks in one directory share its lock
constexpr size_t kMinChunk = 8;      // fewer names are not worth a hand-over
constexpr size_t kMaxQueuedFds = 4;
constexpr size_t kCloseBatch = 4;
constexpr size_t kAllJobs = static_cast<size_t>(-1);
constexpr uint64_t kUnknownBytes = ~uint64_t{0};

void AfterRemove(int parent_fd, const char* name) {
    if (fileop_internal::g_after_remove_hook) fileop_internal::g_after_remove_hook(parent_fd, name);
}

// Who a directory is: its device, inode and mount (0 where the kernel gives
// no mount id; then the device alone tells mounts apart), and its size.
struct DirId {
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t mount = 0;
    uint64_t bytes = 0;
    bool SameMount(const DirId& o) const { return dev == o.dev && mount == o.mount; }
    bool SameDir(const DirId& o) const { return dev == o.dev && ino == o.ino; }
};

bool StatDir(int fd, const char* path, DirId* id) {
    struct statx stx;
    const unsigned mask = STATX_INO | STATX_BLOCKS | STATX_MNT_ID;
    if (g_sys.statx(fd, path, *path ? 0 : AT_EMPTY_PATH, mask, &stx) != 0) return false;
    *id = DirId{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino,
                (stx.stx_mask & STATX_MNT_ID) ? stx.stx_mnt_id : 0, stx.stx_blocks * 512};
    return true;
}

// A listed entry; bytes is set once its status was taken.
struct Entry {
    ino_t ino = 0;
    unsigned char type = DT_UNKNOWN;
    std::string name;
    uint64_t bytes = kUnknownBytes;
};

// Work for a helper: names of one directory to unlink, or removed directories
// to close.
struct Job {
    std::shared_ptr<UniqueFd> dir;  // shared by the chunks of one batch
    std::vector<Entry> files;
    size_t depth = kAllJobs;  // the walker's frame holding the directory
    std::vector<DirStream> closes;
    size_t fds() const { return closes.empty() ? 1 : closes.size(); }
};

// What the threads of one call share: the tally, the first failure, the jobs.
class Removal {
  public:
    Removal(FSRemoveSummary* summary, bool count_only)
        : count_only(count_only), summary_(summary) {}
    ~Removal() {
        stopped_.store(true);  // on the way out of an exception
        JoinHelpers();
    }
    const bool count_only;

    // ---- the tally ----
    bool wants_status() const { return summary_ != nullptr && summary_->want_bytes; }
    // The bytes an entry with status st adds once it is gone: its allocated
    // size, or 0 for a later link of an object already counted (as du does).
    // Decided here, before the entry is unlinked, so that a thread stat'ing
    // another link after this unlink (one link left) finds it decided.
    uint64_t BytesOf(const struct stat& st) EXCLUDES(mu_) {
        const uint64_t bytes = static_cast<uint64_t>(st.st_blocks) * 512;
        if (S_ISDIR(st.st_mode) || (st.st_nlink <= 1 && !any_linked_.load())) return bytes;
        MutexGuard lock(&mu_);
        auto key = std::make_pair(st.st_dev, st.st_ino);
        auto it = linked_.find(key);
        if (it != linked_.end()) {
            if (st.st_nlink <= 1) linked_.erase(it);
            return 0;
        }
        if (st.st_nlink > 1) {
            linked_.insert(key);
            any_linked_.store(true);
        }
        return bytes;
    }
    void Add(uint64_t bytes) {
        if (summary_ == nullptr) return;
        summary_->entries.fetch_add(1, std::memory_order_relaxed);
        if (bytes != kUnknownBytes && summary_->want_bytes)
            summary_->bytes.fetch_add(bytes, std::memory_order_relaxed);
    }

    // ---- failures ----
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
    // Records err unless a failure came first; stops every thread when stop.
    void Fail(int err, bool stop = true) EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        if (first_errno_ == 0) first_errno_ = err;
        if (stop) stopped_.store(true, std::memory_order_relaxed);
    }
    // A mount point left in place: the call fails at the end, with EBUSY.
    void KeepMountPoint(const std::string& path) {
        if (summary_ != nullptr && summary_->mount_point.empty())
            summary_->mount_point = path.c_str();
        Fail(EBUSY, false);
    }
    int first_errno() EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        return first_errno_;
    }

    // ---- helpers and their jobs ----
    unsigned helpers() const { return static_cast<unsigned>(threads_.size()); }
    void StartHelpers(unsigned count) {
        try {
            while (count-- > 0) threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            // No more threads to be had: fewer helpers.
        }
    }
    // Queues job unless queued jobs hold their share of descriptors already;
    // false then, and job is left to the caller.
    bool Offer(Job* job) EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        if (ending_ || queued_fds_ + job->fds() > kMaxQueuedFds) return false;
        // What may throw comes first, so that the counts never run ahead.
        if (job->depth != kAllJobs && pending_.size() <= job->depth)
            pending_.resize(job->depth + 1);
        const size_t depth = job->depth, fds = job->fds();
        queue_.push_back(std::move(*job));
        queued_fds_ += fds;
        if (depth != kAllJobs) ++pending_[depth];
        work_.SignalAll();
        return true;
    }
    // Until no job of the frame at depth (every job: kAllJobs) is queued or
    // running, does queued jobs or waits for one to be done.
    void Drain(size_t depth) EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        while (depth == kAllJobs ? !queue_.empty() || running_ > 0 : HasPending(depth)) {
            if (queue_.empty())
                done_.Wait(&mu_);
            else
                RunJob(std::move(queue_.front()));
        }
    }
    bool Pending(size_t depth) EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        return HasPending(depth);
    }
    void JoinHelpers() EXCLUDES(mu_) {
        {
            MutexGuard lock(&mu_);
            ending_ = true;
            work_.SignalAll();
        }
        for (std::thread& t : threads_) t.join();
        threads_.clear();
    }

  private:
    void Work() EXCLUDES(mu_) {
        MutexGuard lock(&mu_);
        for (;;) {
            while (queue_.empty() && !ending_) work_.Wait(&mu_);
            if (queue_.empty()) return;
            RunJob(std::move(queue_.front()));
        }
    }
    void RunJob(Job job) REQUIRES(mu_);
    bool HasPending(size_t depth) REQUIRES(mu_) {
        return depth < pending_.size() && pending_[depth] > 0;
    }

    FSRemoveSummary* summary_;
    Mutex mu_;
    std::atomic<bool> stopped_{false};
    int first_errno_ GUARDED_BY(mu_) = 0;
    std::atomic<bool> any_linked_{false};
    std::set<std::pair<dev_t, ino_t>> linked_ GUARDED_BY(mu_);
    CondVar work_;  // a job was queued, or the helpers are to end
    CondVar done_;  // a job was done
    std::deque<Job> queue_ GUARDED_BY(mu_);
    size_t queued_fds_ GUARDED_BY(mu_) = 0;
    size_t running_ GUARDED_BY(mu_) = 0;
    std::vector<size_t> pending_ GUARDED_BY(mu_);  // per depth: jobs queued or running
    bool ending_ GUARDED_BY(mu_) = false;
    std::vector<std::thread> threads_;  // the walker's own
};

enum class Removed { kDone, kIsDir, kFailed };

// Removes (or counts) the non-directory entry e of dfd; kIsDir when it turns
// out to be a directory, which only the walker enters. From any thread.
Removed RemoveNonDir(Removal& removal, int dfd, Entry& e) {
    if (e.bytes == kUnknownBytes && (e.type == DT_UNKNOWN || removal.wants_status())) {
        struct stat st;
        if (g_sys.fstatat(dfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Removed::kDone : Removed::kFailed;
        e.type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        if (e.type == DT_DIR) return Removed::kIsDir;
        e.bytes = removal.wants_status() ? removal.BytesOf(st) : 0;
    }
    if (!removal.count_only && g_sys.unlinkat(dfd, e.name.c_str(), 0) != 0) {
        if (errno == ENOENT) return Removed::kDone;
        if (errno != EISDIR) return Removed::kFailed;
        e.type = DT_DIR;
        return Removed::kIsDir;
    }
    removal.Add(e.bytes);
    if (!removal.count_only) AfterRemove(dfd, e.name.c_str());
    return Removed::kDone;
}

// Takes the first queued job and does it, unlocked.
void Removal::RunJob(Job job) {
    queue_.pop_front();
    queued_fds_ -= job.fds();
    ++running_;
    const size_t depth = job.depth;
    mu_.Unlock();
    int err = 0;
    try {
        for (Entry& e : job.files) {
            // A directory that replaced a file stays for the walker, whose
            // rmdir then finds it and lists again.
            if (stopped() || RemoveNonDir(*this, job.dir->get(), e) != Removed::kFailed) continue;
            err = errno;
            break;
        }
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    if (err != 0) Fail(err);
    job = Job();  // closes what it held
    mu_.Lock();
    --running_;
    if (depth != kAllJobs) --pending_[depth];
    done_.SignalAll();
}

// The walk: everything but what helpers do.
class Walker {
  public:
    // path: the given path without trailing slashes, to name a mount point.
    Walker(Removal* removal, std::string path) : removal_(removal), path_(std::move(path)) {}
    // Removes (or counts) the directory `name` of parent_fd, which the caller
    // keeps open, and all below it. 0 (also when it vanished) or -3.
    int Run(int parent_fd, const char* name);

  private:
    // One directory on the branch being walked.
    struct Frame {
        DirStream dir;               // null while parked to respect kMaxOpenDirs
        long pos = 0;                // read position while parked
        DirId id;                    // checked when reopening through ".."
        std::string name;            // entry name in the parent directory
        std::vector<Entry> subdirs;  // of the current batch, ascending inode
        size_t next = 0;             // first of subdirs not yet entered
        size_t seen = 0;             // entries listed during this pass
        int passes = 1;
        bool listed = false;  // the listing of this pass is exhausted
        bool keep = false;    // holds a mount point left in place: stays too
        int read_errno = 0;
    };

    bool ReadBatch(size_t top);
    void ShareFiles(size_t top);
    bool Enter(int dfd, Entry& e);
    DirStream OpenStream(int dfd, const char* name, DirId* id);
    bool Push(DirStream dir, const DirId& id, const char* name);
    bool FinishTop();
    bool Unpark(size_t index, int child_fd);
    // Out of descriptors, the walker first takes back those its jobs hold.
    int OpenDir(int dfd, const char* name) {
        int fd = g_sys.openat(dfd, name, kDirOpenFlags, 0);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || removal_->helpers() == 0) return fd;
        closes_.clear();
        removal_->Drain(kAllJobs);
        return g_sys.openat(dfd, name, kDirOpenFlags, 0);
    }
    // Freeing a removed directory's blocks happens at its last close: helpers
    // close them, a few at a time so that handing over costs less than closing.
    void CloseRemoved(DirStream dir) {
        if (removal_->helpers() == 0) return;  // closed on the way out
        closes_.push_back(std::move(dir));
        if (closes_.size() < kCloseBatch) return;
        Job job;
        job.closes.swap(closes_);
        removal_->Offer(&job);  // when the queue is full, closed here
    }
    int Fail() {
        removal_->Fail(errno);
        return -3;
    }

    Removal* removal_;
    const std::string path_;
    int parent_fd_ = -1;
    DirId top_;
    std::deque<Frame> frames_;  // [0, depth_) is the current branch; never moved
    size_t depth_ = 0;
    size_t first_open_ = 0;  // frames below this index are parked
    uint64_t listed_ = 0;    // entries listed so far
    bool tried_helpers_ = false;
    std::vector<Entry> batch_, files_;
    std::vector<DirStream> closes_;  // removed, to be closed by a helper
};

int Walker::Run(int parent_fd, const char* name) {
    parent_fd_ = parent_fd;
    DirStream dir = OpenStream(parent_fd, name, &top_);
    if (!dir) return errno == ENOENT ? 0 : Fail();
    DirId parent, root;
    if (!StatDir(parent_fd, "", &parent) || !StatDir(AT_FDCWD, "/", &root)) return Fail();
    // Neither a mount point's nor the root directory's own rmdir can succeed:
    // emptying them first would only destroy data.
    if (!top_.SameMount(parent)) {
        removal_->KeepMountPoint(path_);
        return -3;
    }
    if (top_.SameDir(root)) {
        errno = EBUSY;
        return Fail();
    }
    if (!Push(std::move(dir), top_, name)) return Fail();
    while (depth_ > 0) {
        if (removal_->stopped()) return -3;
        Frame& f = frames_[depth_ - 1];
        bool ok;
        if (f.next < f.subdirs.size()) {
            ok = Enter(dirfd(f.dir.get()), f.subdirs[f.next++]);
        } else if (!f.listed) {
            f.subdirs.clear();
            f.next = 0;
            ok = ReadBatch(depth_ - 1);
        } else {
            ok = FinishTop();
        }
        if (!ok) return Fail();
    }
    return 0;
}

// Why batches in inode order: a listing comes in the file system's own order
// (on ext4 a hash of the names), and removing in that order scatters the
// writes to the inode table and the journal; ascending inode order keeps them
// local. A bounded batch keeps memory flat however large the directory.
bool Walker::ReadBatch(size_t top) {
    Frame& f = frames_[top];
    batch_.clear();
    while (batch_.size() < (top < kMaxOpenDirs ? kBatch : kDeepBatch)) {
        errno = 0;
        struct dirent* de = g_sys.readdir(f.dir.get());
        if (de == nullptr) {
            f.listed = true;
            f.read_errno = errno;
            break;
        }
        if (!bv_internal::IsDotOrDotDot(de->d_name))
            batch_.push_back(Entry{de->d_ino, de->d_type, de->d_name});
    }
    listed_ += batch_.size();
    f.seen += batch_.size();
    std::sort(batch_.begin(), batch_.end(),
              [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
    const int dfd = dirfd(f.dir.get());
    files_.clear();
    for (Entry& e : batch_) {
        // Listed without a type, an entry is looked at here: a helper must
        // never be handed a directory.
        struct stat st;
        if (e.type == DT_UNKNOWN) {
            if (g_sys.fstatat(dfd, e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue;
                return false;
            }
            e.type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
            e.bytes = removal_->wants_status() ? removal_->BytesOf(st) : 0;
        }
        (e.type == DT_DIR ? f.subdirs : files_).push_back(std::move(e));
    }
    if (!tried_helpers_ && listed_ >= kLargeTree && !removal_->count_only) {
        tried_helpers_ = true;
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        if (g_sys.sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 1)
            removal_->StartHelpers(std::min<unsigned>(CPU_COUNT(&cpus) - 1, kMaxHelpers));
    }
    if (removal_->helpers() > 0 && files_.size() >= 2 * kMinChunk) ShareFiles(top);
    for (Entry& e : files_) {
        Removed r = RemoveNonDir(*removal_, dfd, e);
        if (r == Removed::kFailed) return false;
        if (r == Removed::kIsDir) f.subdirs.push_back(std::move(e));
    }
    return true;
}

// Hands the upper part of files_, in chunks, to the helpers; the walker keeps
// a chunk and removes it meanwhile.
void Walker::ShareFiles(size_t top) {
    const size_t parts = removal_->helpers() + 1;
    const size_t chunk = std::max(kMinChunk, (files_.size() + parts - 1) / parts);
    UniqueFd dup(g_sys.fcntl(dirfd(frames_[top].dir.get()), F_DUPFD_CLOEXEC, 0));
    if (!dup.ok()) return;  // then the walker does it all
    auto dir = std::make_shared<UniqueFd>(dup.release());
    while (files_.size() > chunk) {
        Job job;
        job.dir = dir;
        job.depth = top;
        auto first = files_.end() - chunk;
        job.files.assign(std::make_move_iterator(first), std::make_move_iterator(files_.end()));
        if (!removal_->Offer(&job)) {
            std::move(job.files.begin(), job.files.end(), first);
            return;
        }
        files_.erase(first, files_.end());
    }
}

// Opens the subdirectory e of dfd as the new top of the branch, or removes
// what stands there now when it is no longer a directory.
bool Walker::Enter(int dfd, Entry& e) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (e.type == DT_DIR) {
            DirId id;
            DirStream dir = OpenStream(dfd, e.name.c_str(), &id);
            if (dir) return Push(std::move(dir), id, e.name.c_str());
            if (errno == ENOENT) return true;
            // A link or file now stands there: never follow it, remove it.
            if (errno != ELOOP && errno != ENOTDIR) return false;
            e = Entry{e.ino, DT_UNKNOWN, std::move(e.name)};
        }
        Removed r = RemoveNonDir(*removal_, dfd, e);
        if (r != Removed::kIsDir) return r == Removed::kDone;
    }
    errno = EAGAIN;  // the entry kept changing its kind under us
    return false;
}

// Opens the directory name of dfd, without following a link, and tells who it is.
DirStream Walker::OpenStream(int dfd, const char* name, DirId* id) {
    UniqueFd fd(OpenDir(dfd, name));
    if (!fd.ok() || !StatDir(fd.get(), "", id)) return DirStream();
    DirStream dir(g_sys.fdopendir(fd.get()));
    if (dir) fd.release();
    return dir;
}

// Makes dir, who is id, the new top of the branch; a mount point (another
// device or mount than the top's) is closed and left instead.
bool Walker::Push(DirStream dir, const DirId& id, const char* name) {
    if (depth_ > 0 && !id.SameMount(top_)) {
        std::string path = path_;
        for (size_t i = 1; i < depth_; ++i) path += "/" + frames_[i].name;
        removal_->KeepMountPoint(path + "/" + name);
        frames_[depth_ - 1].keep = true;
        return true;
    }
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& f = frames_[depth_++];
    f.subdirs.clear();  // its memory is reused
    f = Frame{std::move(dir), 0, id, name, std::move(f.subdirs)};
    if (depth_ - first_open_ > kMaxOpenDirs) {
        Frame& parked = frames_[first_open_++];
        parked.pos = telldir(parked.dir.get());
        parked.dir.reset();
    }
    assert(depth_ - first_open_ <= kMaxOpenDirs);
    return true;
}

// The top directory's listing is exhausted and its subdirectories are gone:
// once its files are, remove it and pop it, or list it again when its rmdir
// finds entries the listing missed.
bool Walker::FinishTop() {
    const size_t top = depth_ - 1;
    Frame& f = frames_[top];
    if (removal_->count_only && f.read_errno != 0) {
        errno = f.read_errno;
        return false;
    }
    if (removal_->helpers() > 0) removal_->Drain(top);
    if (removal_->stopped()) return true;
    assert(!removal_->Pending(top));
    if (top > 0 && !frames_[top - 1].dir && !Unpark(top - 1, dirfd(f.dir.get()))) return false;
    const int pfd = top > 0 ? dirfd(frames_[top - 1].dir.get()) : parent_fd_;
    const uint64_t bytes = f.id.bytes;
    if (f.keep) {
        if (top > 0) frames_[top - 1].keep = true;
    } else if (removal_->count_only) {
        removal_->Add(bytes);
    } else if (g_sys.unlinkat(pfd, f.name.c_str(), AT_REMOVEDIR) == 0) {
        // Removed while still open, so that a second pass needs no reopening.
        removal_->Add(bytes);
        AfterRemove(pfd, f.name.c_str());
        CloseRemoved(std::move(f.dir));
    } else if (errno != ENOENT) {
        // Entries created behind the read cursor, entries some file systems
        // skip while we delete, or a parked stream resumed at a position such
        // a file system has shifted: list again, with a fresh stream (ext4
        // keeps hash-order reading state per open file).
        if ((errno != ENOTEMPTY && errno != EEXIST) || f.read_errno != 0 || f.seen == 0 ||
            f.passes >= kMaxPasses) {
            if (f.read_errno != 0) errno = f.read_errno;
            return false;
        }
        DirId id;
        DirStream dir = OpenStream(dirfd(f.dir.get()), ".", &id);
        if (!dir) return false;
        f = Frame{std::move(dir), 0, f.id, std::move(f.name), {}, 0, 0, f.passes + 1};
        return true;
    }
    f.dir.reset();
    f.subdirs = std::vector<Entry>();  // a wide directory's names need not outlive it
    --depth_;
    return true;
}

// Reopens a parked ancestor through ".." of its child, refusing a directory
// that is not the one we left (the child was moved meanwhile).
bool Walker::Unpark(size_t index, int child_fd) {
    assert(index + 1 == first_open_);
    Frame& f = frames_[index];
    DirId id;
    DirStream dir = OpenStream(child_fd, "..", &id);
    if (!dir) return false;
    if (!id.SameDir(f.id)) {
        errno = ESTALE;
        return false;
    }
    seekdir(dir.get(), f.pos);
    f.dir = std::move(dir);
    first_open_ = index;
    return true;
}

// The walk shared by FSRemove and FSCount. Out of memory anywhere, the call
// fails once every helper is joined (by the Removal's destructor).
int RemoveOrCount(const ustring& path, FSRemoveSummary* summary, bool count_only) try {
    if (path.empty()) return -1;
    struct stat st;
    // A path through a file cannot exist: nothing to remove, as for a missing one.
    if (g_sys.lstat(path.c_str(), &st) != 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    Removal removal(summary, count_only);
    if (!S_ISDIR(st.st_mode)) {
        const uint64_t bytes = removal.wants_status() ? removal.BytesOf(st) : 0;
        if (!count_only && g_sys.unlink(path.c_str()) != 0) return errno == ENOENT ? 0 : -3;
        removal.Add(bytes);
        return 0;
    }

    // Split into the parent, resolved as usual, and the last component, which
    // is opened without following a link.
    std::string full(path.c_str(), path.length());
    full.erase(full.find_last_not_of('/') + 1);  // all of it for the root directory
    const size_t slash = full.rfind('/');
    const std::string base = full.substr(slash + 1);
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : full.substr(0, slash);
    // rmdir refuses these names and the root: the removal could only fail
    // after deleting everything below.
    if (base.empty() || base == "." || base == "..") {
        errno = base.empty() ? EBUSY : EINVAL;
        return -3;
    }
    UniqueFd parent_fd(g_sys.open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
    if (!parent_fd.ok()) return -3;
    const int rc = Walker(&removal, full).Run(parent_fd.get(), base.c_str());
    removal.JoinHelpers();
    const int err = removal.first_errno();
    if (rc == 0 && err == 0) return 0;
    errno = err;
    return -3;
} catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -3;
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
