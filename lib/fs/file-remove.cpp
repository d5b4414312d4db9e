// Recursive removal and its counting twin. The walk works relative to
// directory descriptors so that no symbolic link below the given path is ever
// followed (not even one swapped in for a directory while we look at it), and
// it is iterative with a bounded set of open streams per worker so that
// neither path length, stack nor the descriptor limit caps the depth it can
// remove. Large trees get a second worker (see Shared).
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <deque>
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

using bv_internal::DirStream;
using bv_internal::MutexLock;
using bv_internal::UniqueFd;

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

// Streams a worker keeps open on its branch. Deeper than this, the stream
// nearest the top is closed and reopened through ".." on the way back up.
constexpr size_t kMaxOpenDirs = 8;

// A directory whose rmdir finds entries the listing did not show is listed
// again, as long as each pass removes something, up to this many passes.
constexpr int kMaxPasses = 64;

// Names read per batch (see ReadBatch); fewer below the open-stream budget,
// where a frame's subdirectories waiting their turn would otherwise let a
// deep tree of wide directories hold many names at once.
constexpr size_t kBatch = 4096;
constexpr size_t kDeepBatch = 256;

// Entries the calling thread lists before a tree counts as large enough to
// pay for a second worker, and subtrees queued for it at most.
constexpr uint64_t kLargeTree = 256;
constexpr size_t kQueuedSubtrees = 2;
// Removed directories the calling thread passes to the second worker to close
// at a time (see Shared).
constexpr size_t kCloseBatch = 4;
// Files of one batch the calling thread shares with the second worker, at
// least (see Walker::ShareFiles).
constexpr size_t kSharedFiles = 512;

void AfterRemove(int parent_fd, const char* name) {
    if (fileop_internal::g_after_remove_hook) fileop_internal::g_after_remove_hook(parent_fd, name);
}

// Adds removed (or counted) entries to the caller's summary, from any worker.
// Sizes follow du: an object with several links counts at the first link met,
// so those objects are remembered, and forgotten when their last link is met.
class Tally {
  public:
    explicit Tally(FSRemoveSummary* summary) : summary_(summary) {}
    ~Tally() { pthread_mutex_destroy(&mu_); }
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;

    // Whether each entry's status is wanted for its size.
    bool wants_status() const { return summary_ != nullptr && summary_->want_bytes; }

    // st: the entry's status when wants_status(), else null.
    void Add(const struct stat* st) {
        if (summary_ == nullptr) return;
        summary_->entries.fetch_add(1, std::memory_order_relaxed);
        if (st == nullptr || !summary_->want_bytes) return;
        if (!S_ISDIR(st->st_mode) &&
            (st->st_nlink > 1 || any_linked_.load(std::memory_order_acquire)) && !FirstLink(*st))
            return;
        summary_->bytes.fetch_add(static_cast<uint64_t>(st->st_blocks) * 512,
                                  std::memory_order_relaxed);
    }

  private:
    bool FirstLink(const struct stat& st) {
        MutexLock lock(&mu_);
        auto key = std::make_pair(st.st_dev, st.st_ino);
        auto it = linked_.find(key);
        if (it != linked_.end()) {
            if (st.st_nlink <= 1) linked_.erase(it);
            return false;
        }
        if (st.st_nlink > 1) {
            linked_.insert(key);
            any_linked_.store(true, std::memory_order_release);
        }
        return true;
    }

    FSRemoveSummary* summary_;
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> any_linked_{false};
    std::set<std::pair<dev_t, ino_t>> linked_;
};

// A listed entry: what ordering and the walk need of it.
struct Entry {
    ino_t ino = 0;
    unsigned char type = DT_UNKNOWN;
    std::string name;
};

class Shared;

// One worker's walk: removes (or counts) one directory and everything below
// it, depth-first, a batch of names at a time.
class Walker {
  public:
    // What a walker shares with the other worker (see Shared): the calling
    // thread's own walk hands subtrees out; the second worker's walk hands
    // some back while the calling thread waits for it; a subtree handed back
    // is walked by a helper that shares nothing.
    enum Role { kMain, kWorker, kHelper };
    // With count_only nothing is removed, entries are only tallied.
    Walker(Shared* shared, bool count_only, Role role)
        : shared_(shared), count_only_(count_only), role_(role) {}
    // A walker outlives the subtrees it handed out: see Shared::Reclaim.
    ~Walker();
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    // Removes the directory `name` of parent_fd, which the caller keeps open,
    // and all below it. Returns 0 (also when it vanished), or -3.
    int RunTop(int parent_fd, const char* name);
    // As RunTop for a subtree handed over by another worker: whatever now
    // stands at `name` is removed, a directory or what replaced it.
    int RunSubtree(int parent_fd, const char* name);
    // Removes the non-directory entries `files` of parent_fd.
    void RunFiles(int parent_fd, const std::vector<Entry>& files);

  private:
    // One directory on the branch being walked.
    struct Frame {
        DirStream dir;               // null while parked to respect kMaxOpenDirs
        long pos = 0;                // read position while parked
        struct stat st;              // identity, checked when reopening through ".."
        std::string name;            // entry name in the parent directory
        std::vector<Entry> subdirs;  // of the current batch, ascending inode
        size_t next = 0;             // first of subdirs not yet entered
        size_t removed = 0;          // entries removed during this listing pass
        int passes = 1;
        bool listed = false;  // the listing of this pass is exhausted
        int read_errno = 0;
    };
    enum Result { kDone, kDescended, kIsDir, kFailed };

    int Loop();
    Result HandleEntry(int dfd, size_t* removed, const char* name, unsigned char type,
                       bool descend);
    bool ReadBatch(size_t top);
    void HandOff(size_t top);
    void HandBack();
    void ShareFiles(size_t top);
    bool Give(size_t i);
    int OpenDir(int dfd, const char* name);
    bool Push(int fd, const char* name);
    bool FinishTop();
    bool Relist(Frame& f);
    void Park(Frame& f);
    bool Unpark(size_t index, int child_fd);
    int Fail();

    friend class Shared;
    Shared* shared_;
    bool count_only_;
    Role role_;
    std::vector<size_t> given_;  // per depth: subtrees queued or in progress; under Shared's lock
    int parent_fd_ = -1;
    std::deque<Frame> frames_;  // [0, depth_) is the current branch; never moved
    size_t depth_ = 0;
    size_t first_open_ = 0;  // frames below this index are parked
    uint64_t listed_ = 0;    // entries listed so far
    std::vector<Entry> batch_;
    std::vector<DirStream> removed_dirs_;  // removed but still open; see Shared::Close
};

// What the workers of one call share: the tally, the first failure, and the
// work the two threads pass each other.
//
// Why a second worker: removing is a system call per entry, and on a disk
// that discards freed blocks each call that frees data waits for the device;
// a second thread keeps a second call in flight, and on a tree of many
// directories nearly halves the time. Small trees never pay for a thread
// start: the calling thread considers one only once it has listed kLargeTree
// entries, and only when the process may use two cores.
//
// Work passes in four forms:
// - Subtrees. The calling thread, standing in a directory with two
//   subdirectories or more still to enter, queues whole sibling subtrees (the
//   highest inodes of the current batch, keeping its own order local); the
//   second worker removes each with a walker of its own, holding a duplicate
//   descriptor of the subtree's parent.
// - Subtrees handed back. While the calling thread waits for the second
//   worker, the second worker queues one of its own pending subtrees at a
//   time, and the calling thread walks it meanwhile. So neither thread idles
//   at the end of a large subtree.
// - Files. In one large directory there is no subtree to hand off; the
//   calling thread gives the second worker half of each large batch of files
//   (see Walker::ShareFiles).
// - Removed directories still open. Freeing a directory's blocks happens when
//   its last descriptor closes, and on such a disk waits for the device; the
//   calling thread passes an idle second worker its removed directories to
//   close, kCloseBatch at a time so that handing them over costs less than a
//   close, and carries on (a chain of single directories gives the second
//   worker nothing else to do). When the second worker is busy, it closes
//   them itself.
// Before a walker removes a directory it takes back the subtrees it queued
// from it that nobody started and waits for the rest, so a directory is only
// removed once empty. A failure anywhere stops every worker at its next
// entry; the call returns -3 with the first failure's errno.
class Shared {
  public:
    Shared(FSRemoveSummary* summary, bool count_only) : tally(summary), count_only_(count_only) {}
    ~Shared() {
        Finish();
        pthread_cond_destroy(&cv_);
        pthread_mutex_destroy(&mu_);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    Tally tally;

    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
    // Records a failure (errno from the failing call) and stops every worker.
    void Fail(int err) {
        MutexLock lock(&mu_);
        if (!stopped_.load(std::memory_order_relaxed)) first_errno_ = err;
        stopped_.store(true, std::memory_order_relaxed);
        pthread_cond_broadcast(&cv_);
    }
    int first_errno() {
        MutexLock lock(&mu_);
        return first_errno_;
    }
    // Whether the calling thread waits for the second worker with nothing to do.
    bool hungry() const { return hungry_.load(std::memory_order_relaxed); }

    // Whether the second worker runs (started here, when cores allow, if
    // `start`) and has room for another subtree from `from`.
    bool WantsSubtree(const Walker* from, bool start);
    // Queues `e`, a subdirectory of from's frame at depth.
    void Give(Walker* from, size_t depth, UniqueFd parent, Entry e,
              std::vector<Entry> files = std::vector<Entry>());
    // Moves what from queued at depth and nobody started back into subdirs
    // and waits until the rest is done; the calling thread walks what the
    // second worker hands back meanwhile. False when stopped.
    bool Collect(Walker* from, size_t depth, std::vector<Entry>* subdirs);
    // Drops what `from` queued and nobody started and waits for the rest,
    // which stops soon after a failure.
    void Reclaim(Walker* from);
    // Closes the removed directories in dirs once there are kCloseBatch of
    // them: the second worker does, when it runs (started here if `start`)
    // and has none to close yet, else the caller.
    void Close(std::vector<DirStream>* dirs, bool start);
    // Closes the removed directories queued for the second worker; whether
    // there were any.
    bool CloseQueued();
    // Ends the second worker once the queues are done (or dropped on a stop).
    void Finish();

  private:
    // A subdirectory of parent to remove, or else `files` in parent.
    struct Subtree {
        Walker* from = nullptr;  // null: no job taken
        size_t depth = 0;
        UniqueFd parent;
        Entry entry;
        std::vector<Entry> files;
    };
    bool StartWorker();
    bool TakeSubtree(bool from_main, Subtree* job);
    void Run(Subtree& job, Walker::Role role);
    void Work();

    bool count_only_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> hungry_{false};
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
    int first_errno_ = 0;
    std::deque<Subtree> queue_;
    std::vector<DirStream> closes_;
    std::thread worker_;
    bool tried_ = false;  // a start of the second worker was considered
    bool closing_ = false;
};

// Called with mu_ held.
bool Shared::StartWorker() {
    if (!tried_) {
        tried_ = true;
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        if (sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) return false;
        try {
            worker_ = std::thread([this] { Work(); });
        } catch (const std::system_error&) {
            // No thread to be had: the calling thread does it all.
        }
    }
    return worker_.joinable() && !closing_;
}

bool Shared::WantsSubtree(const Walker* from, bool start) {
    MutexLock lock(&mu_);
    if (!(start || tried_) || !StartWorker()) return false;
    size_t queued = 0;
    for (const Subtree& t : queue_) queued += t.from == from;
    return queued < (from->role_ == Walker::kMain ? kQueuedSubtrees : 1);
}

void Shared::Give(Walker* from, size_t depth, UniqueFd parent, Entry e, std::vector<Entry> files) {
    MutexLock lock(&mu_);
    if (from->given_.size() <= depth) from->given_.resize(depth + 1, 0);
    ++from->given_[depth];
    queue_.push_back(Subtree{from, depth, std::move(parent), std::move(e), std::move(files)});
    pthread_cond_broadcast(&cv_);
}

// Called with mu_ held: the first queued subtree the calling thread
// (from_main) or the second worker may take, which is one the other handed out.
bool Shared::TakeSubtree(bool from_main, Subtree* job) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if ((it->from->role_ == Walker::kMain) == from_main) continue;
        *job = std::move(*it);
        queue_.erase(it);
        return true;
    }
    return false;
}

void Shared::Run(Subtree& job, Walker::Role role) {
    if (!stopped()) {
        Walker walker(this, count_only_, role);
        if (job.files.empty())
            walker.RunSubtree(job.parent.get(), job.entry.name.c_str());
        else
            walker.RunFiles(job.parent.get(), job.files);
    }
    job.parent.reset();
    MutexLock lock(&mu_);
    --job.from->given_[job.depth];
    pthread_cond_broadcast(&cv_);
}

bool Shared::Collect(Walker* from, size_t depth, std::vector<Entry>* subdirs) {
    const bool main = from->role_ == Walker::kMain;
    for (;;) {
        Subtree job;
        std::vector<DirStream> dirs;
        {
            MutexLock lock(&mu_);
            if (from->given_.size() <= depth || from->given_[depth] == 0 || stopped())
                return !stopped();
            for (auto it = queue_.begin(); it != queue_.end();) {
                if (it->from != from || it->depth != depth || !it->files.empty()) {
                    ++it;  // shared files are left to the second worker
                    continue;
                }
                subdirs->push_back(std::move(it->entry));
                --from->given_[depth];
                it = queue_.erase(it);
            }
            if (from->given_[depth] == 0) continue;
            if (main && !closes_.empty()) {
                dirs.swap(closes_);
            } else if (!main || !TakeSubtree(true, &job)) {
                hungry_.store(main, std::memory_order_relaxed);
                pthread_cond_wait(&cv_, &mu_);
                hungry_.store(false, std::memory_order_relaxed);
                continue;
            }
        }
        // Outside the lock: closing may wait for the device, and a subtree
        // is a walk of its own.
        if (job.from != nullptr) Run(job, Walker::kHelper);
    }
}

void Shared::Reclaim(Walker* from) {
    MutexLock lock(&mu_);
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (it->from != from) {
            ++it;
            continue;
        }
        --from->given_[it->depth];
        it = queue_.erase(it);
    }
    auto busy = [from] {
        return std::any_of(from->given_.begin(), from->given_.end(),
                           [](size_t n) { return n > 0; });
    };
    while (busy()) pthread_cond_wait(&cv_, &mu_);
}

void Shared::Close(std::vector<DirStream>* dirs, bool start) {
    if (dirs->size() < kCloseBatch) return;
    {
        MutexLock lock(&mu_);
        if ((start || tried_) && StartWorker() && closes_.empty()) {
            closes_.swap(*dirs);
            pthread_cond_broadcast(&cv_);
            return;
        }
    }
    dirs->clear();
}

bool Shared::CloseQueued() {
    std::vector<DirStream> dirs;
    {
        MutexLock lock(&mu_);
        dirs.swap(closes_);
    }
    return !dirs.empty();
}

void Shared::Finish() {
    {
        MutexLock lock(&mu_);
        closing_ = true;
        pthread_cond_broadcast(&cv_);
    }
    if (worker_.joinable()) worker_.join();
}

void Shared::Work() {
    for (;;) {
        Subtree job;
        std::vector<DirStream> dirs;  // closed at the end of the turn, unlocked
        {
            MutexLock lock(&mu_);
            while (!TakeSubtree(false, &job) && closes_.empty()) {
                if (closing_) return;
                pthread_cond_wait(&cv_, &mu_);
            }
            if (job.from == nullptr) dirs.swap(closes_);
        }
        if (job.from != nullptr) Run(job, Walker::kWorker);
    }
}

Walker::~Walker() {
    shared_->Reclaim(this);
}

int Walker::Fail() {
    if (!shared_->stopped()) shared_->Fail(errno);
    return -3;
}

int Walker::RunTop(int parent_fd, const char* name) {
    parent_fd_ = parent_fd;
    int fd = OpenDir(parent_fd, name);
    if (fd < 0) return errno == ENOENT ? 0 : Fail();
    if (!Push(fd, name)) return Fail();
    return Loop();
}

int Walker::RunSubtree(int parent_fd, const char* name) {
    parent_fd_ = parent_fd;
    size_t removed = 0;
    Result r = HandleEntry(parent_fd, &removed, name, DT_DIR, true);
    if (r == kFailed) return Fail();
    return r == kDescended ? Loop() : 0;
}

void Walker::RunFiles(int parent_fd, const std::vector<Entry>& files) {
    size_t removed = 0;
    for (const Entry& e : files) {
        if (shared_->stopped()) return;
        // A directory that replaced a file stays for the owner of the
        // directory, whose rmdir then finds it and lists again.
        if (HandleEntry(parent_fd, &removed, e.name.c_str(), e.type, false) == kFailed) {
            Fail();
            return;
        }
    }
}

int Walker::Loop() {
    while (depth_ > 0) {
        if (shared_->stopped()) return -3;
        size_t top = depth_ - 1;
        Frame& f = frames_[top];
        if (role_ == kWorker && shared_->hungry()) HandBack();
        if (f.next < f.subdirs.size()) {
            if (role_ == kMain) HandOff(top);
            Entry& e = f.subdirs[f.next++];
            if (HandleEntry(dirfd(f.dir.get()), &f.removed, e.name.c_str(), e.type, true) ==
                kFailed)
                return Fail();
            continue;
        }
        f.subdirs.clear();
        f.next = 0;
        if (!f.listed) {
            if (!ReadBatch(top)) return Fail();
            continue;
        }
        if (role_ != kHelper) {
            if (!shared_->Collect(this, top, &f.subdirs)) return -3;
            if (!f.subdirs.empty()) {
                std::sort(f.subdirs.begin(), f.subdirs.end(),
                          [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
                continue;
            }
        }
        if (!FinishTop()) return Fail();
    }
    return 0;
}

// Why batches in inode order: a listing comes in the file system's own order
// (on ext4 the order of a hash of the names), and removing in that order
// scatters the writes to the inode table and the journal over the disk;
// removing in ascending inode order keeps them local. A bounded batch keeps
// memory flat however large the directory. Entries that are not directories
// go at once, in that order; subdirectories wait in the frame, in the same
// order, to be entered one by one.
bool Walker::ReadBatch(size_t top) {
    Frame& f = frames_[top];
    const size_t limit = top < kMaxOpenDirs ? kBatch : kDeepBatch;
    batch_.clear();
    while (batch_.size() < limit) {
        errno = 0;
        struct dirent* de = readdir(f.dir.get());
        if (de == nullptr) {
            f.listed = true;
            f.read_errno = errno;
            break;
        }
        if (bv_internal::IsDotOrDotDot(de->d_name)) continue;
        batch_.push_back(Entry{de->d_ino, de->d_type, de->d_name});
    }
    listed_ += batch_.size();
    std::sort(batch_.begin(), batch_.end(),
              [](const Entry& a, const Entry& b) { return a.ino < b.ino; });
    if (role_ == kMain && !count_only_) ShareFiles(top);
    int dfd = dirfd(f.dir.get());
    for (Entry& e : batch_) {
        if (e.type == DT_DIR) {
            f.subdirs.push_back(std::move(e));
            continue;
        }
        Result r = HandleEntry(dfd, &f.removed, e.name.c_str(), e.type, false);
        if (r == kFailed) return false;
        if (r == kIsDir) f.subdirs.push_back(std::move(e));
    }
    return true;
}

// Removes a non-directory entry or opens a directory entry as the new top of
// the branch (without descend, returns kIsDir for it instead). The listing's
// type byte saves a status per entry; when the object turns out to be of
// another kind by the time we act, we look again.
Walker::Result Walker::HandleEntry(int dfd, size_t* removed, const char* name, unsigned char type,
                                   bool descend) {
    struct stat st;
    bool have_st = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (type == DT_UNKNOWN || (type != DT_DIR && !have_st && shared_->tally.wants_status())) {
            if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                return errno == ENOENT ? kDone : kFailed;
            have_st = true;
            type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            if (!descend) return kIsDir;
            int fd = OpenDir(dfd, name);
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
            shared_->tally.Add(have_st ? &st : nullptr);
            return kDone;
        }
        if (unlinkat(dfd, name, 0) == 0) {
            ++*removed;
            shared_->tally.Add(have_st ? &st : nullptr);
            AfterRemove(dfd, name);
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

// Gives the second worker sibling subtrees of the top frame, from the far end
// of its batch, while it has room (the why is with Shared).
void Walker::HandOff(size_t top) {
    Frame& f = frames_[top];
    while (listed_ >= kLargeTree && f.subdirs.size() - f.next >= 2 &&
           shared_->WantsSubtree(this, true) && Give(top)) {
    }
}

// Why files are shared: in one large directory there are no subtrees to hand
// off, but part of each removal (freeing the inode) happens outside the
// directory's lock, so a second thread still gains. The upper half of a large
// batch, in inode order, goes to the second worker when it has room.
void Walker::ShareFiles(size_t top) {
    size_t files = 0;
    for (const Entry& e : batch_) files += e.type != DT_DIR;
    if (listed_ < kLargeTree || files < kSharedFiles || !shared_->WantsSubtree(this, true)) return;
    Frame& f = frames_[top];
    UniqueFd parent(fcntl(dirfd(f.dir.get()), F_DUPFD_CLOEXEC, 0));
    if (!parent.ok()) return;
    constexpr unsigned char kGiven = 0xff;  // no DT_ value
    std::vector<Entry> theirs;
    for (size_t i = batch_.size(); i-- > 0 && theirs.size() < files / 2;) {
        if (batch_[i].type == DT_DIR) continue;
        theirs.push_back(std::move(batch_[i]));
        batch_[i].type = kGiven;
    }
    batch_.erase(std::remove_if(batch_.begin(), batch_.end(),
                                [](const Entry& e) { return e.type == kGiven; }),
                 batch_.end());
    std::reverse(theirs.begin(), theirs.end());
    shared_->Give(this, top, std::move(parent), Entry(), std::move(theirs));
    ++f.removed;
}

// Gives the waiting calling thread one subtree, from the open frame nearest
// the top of the tree that has one to spare: the largest piece at hand.
void Walker::HandBack() {
    for (size_t i = first_open_; i < depth_; ++i) {
        size_t spare = frames_[i].subdirs.size() - frames_[i].next;
        if (spare >= (i + 1 == depth_ ? 2 : 1)) {
            if (shared_->WantsSubtree(this, false)) Give(i);
            return;
        }
    }
}

// Queues the last subdirectory of frame i's batch for the other worker.
bool Walker::Give(size_t i) {
    Frame& f = frames_[i];
    UniqueFd parent(fcntl(dirfd(f.dir.get()), F_DUPFD_CLOEXEC, 0));
    if (!parent.ok()) return false;  // then this thread does it
    shared_->Give(this, i, std::move(parent), std::move(f.subdirs.back()));
    f.subdirs.pop_back();
    ++f.removed;
    return true;
}

// Descriptors of removed directories are kept only to close them off the
// walk's path: when the process runs out, they go first.
int Walker::OpenDir(int dfd, const char* name) {
    int fd = openat(dfd, name, kDirOpenFlags);
    if (fd < 0 && errno == EMFILE) {
        bool freed = !removed_dirs_.empty();
        removed_dirs_.clear();
        if (shared_->CloseQueued() || freed) fd = openat(dfd, name, kDirOpenFlags);
    }
    return fd;
}

bool Walker::Push(int fd_in, const char* name) {
    UniqueFd fd(fd_in);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return false;
    DirStream dir(fdopendir(fd.get()));
    if (!dir) return false;
    fd.release();
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& f = frames_[depth_++];
    f.dir = std::move(dir);
    f.pos = 0;
    f.st = st;
    f.name.assign(name);  // before any parking: name may live in a parent's buffer
    f.subdirs.clear();
    f.next = 0;
    f.removed = 0;
    f.passes = 1;
    f.listed = false;
    f.read_errno = 0;
    if (depth_ - first_open_ > kMaxOpenDirs) Park(frames_[first_open_++]);
    return true;
}

// The top directory's listing is exhausted and its subdirectories are gone:
// remove it from its parent and pop it, or list it again when its rmdir finds
// entries the listing missed.
bool Walker::FinishTop() {
    size_t top = depth_ - 1;
    Frame& f = frames_[top];
    if (count_only_ && f.read_errno != 0) {
        errno = f.read_errno;
        return false;
    }
    int pfd = parent_fd_;
    if (top > 0) {
        if (!frames_[top - 1].dir && !Unpark(top - 1, dirfd(f.dir.get()))) return false;
        pfd = dirfd(frames_[top - 1].dir.get());
    }
    if (count_only_) {
        shared_->tally.Add(&f.st);
    } else if (unlinkat(pfd, f.name.c_str(), AT_REMOVEDIR) == 0) {
        // Removed while still open, so that a second pass needs no reopening.
        shared_->tally.Add(&f.st);
        AfterRemove(pfd, f.name.c_str());
        if (role_ != kWorker) {
            removed_dirs_.push_back(std::move(f.dir));
            shared_->Close(&removed_dirs_, role_ == kMain && listed_ >= kLargeTree);
        }
    } else if (errno != ENOENT) {
        // Entries created behind the read cursor, entries some file systems
        // skip while we delete, or a parked stream resumed from a saved
        // position that such a file system has shifted: list again while
        // that makes progress.
        bool retry = (errno == ENOTEMPTY || errno == EEXIST) && f.read_errno == 0 &&
                     f.removed > 0 && f.passes < kMaxPasses;
        if (f.read_errno != 0) errno = f.read_errno;
        return retry && Relist(f);
    }
    f.dir.reset();
    f.subdirs = std::vector<Entry>();  // a wide directory's names need not outlive it
    --depth_;
    if (top > 0) ++frames_[top - 1].removed;
    return true;
}

bool Walker::Relist(Frame& f) {
    // A fresh stream rather than a rewind: ext4 keeps hash-order reading
    // state per open file, and a stream first positioned at its end reads
    // nothing after rewinddir.
    UniqueFd fd(OpenDir(dirfd(f.dir.get()), "."));
    if (!fd.ok()) return false;
    DirStream dir(fdopendir(fd.get()));
    if (!dir) return false;
    fd.release();
    f.dir = std::move(dir);
    f.removed = 0;
    f.listed = false;
    ++f.passes;
    return true;
}

void Walker::Park(Frame& f) {
    assert(f.dir);
    f.pos = telldir(f.dir.get());
    f.dir.reset();
}

// Reopens a parked ancestor through ".." of its child, refusing a directory
// that is not the one we left (the child was moved meanwhile).
bool Walker::Unpark(size_t index, int child_fd) {
    assert(index + 1 == first_open_);
    Frame& f = frames_[index];
    UniqueFd fd(OpenDir(child_fd, ".."));
    if (!fd.ok()) return false;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return false;
    if (st.st_dev != f.st.st_dev || st.st_ino != f.st.st_ino) {
        errno = ESTALE;
        return false;
    }
    DirStream dir(fdopendir(fd.get()));
    if (!dir) return false;
    fd.release();
    seekdir(dir.get(), f.pos);
    f.dir = std::move(dir);
    first_open_ = index;
    return true;
}

// The walk shared by FSRemove and FSCount.
int RemoveOrCount(const ustring& path, FSRemoveSummary* summary, bool count_only) {
    if (path.empty()) return -1;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
    Shared shared(summary, count_only);
    if (!S_ISDIR(st.st_mode)) {
        if (count_only || unlink(path.c_str()) == 0) {
            shared.tally.Add(&st);
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

    UniqueFd parent_fd(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!parent_fd.ok()) return -3;
    int rc;
    {
        Walker walker(&shared, count_only, Walker::kMain);
        rc = walker.RunTop(parent_fd.get(), base.c_str());
    }
    shared.Finish();
    if (rc == 0 && !shared.stopped()) return 0;
    errno = shared.first_errno();
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
