// Recursive removal and counting: what goes and what stays, the bounds the
// walk keeps, what its helper threads may do, and every failure point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>

#include "file-op.h"
#include "fs-internal.h"
#include "sys_faults.h"
#include "test_support.h"

namespace {

using bv_internal::g_sys;
using bv_internal::SysCalls;
using fileop_internal::g_after_remove_hook;
using namespace testutil;

// While armed (0 or more), the allocation after that many more fails.
std::atomic<long> g_allocations_before_failure{-1};

}  // namespace

// Allocation failures on demand, for the whole test program.
void* operator new(std::size_t size) {
    if (g_allocations_before_failure.load(std::memory_order_relaxed) >= 0 &&
        g_allocations_before_failure.fetch_sub(1) == 0)
        throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
// Reached through a pointer the compiler cannot see into, so that it does not
// take these blocks for operator new's own and warn of a mismatch.
void (*volatile g_release)(void*) = std::free;
void operator delete(void* block) noexcept {
    g_release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    g_release(block);
}

namespace {

// dir, made if missing, and `count` files of `bytes` bytes in it.
void MakeFiles(const std::string& dir, int count, const std::string& prefix = "f",
               size_t bytes = 0) {
    mkdir(dir.c_str(), 0755);
    const std::string content(bytes, 'x');
    for (int file = 0; file < count; ++file) {
        int fd =
            open((dir + "/" + prefix + std::to_string(file)).c_str(), O_WRONLY | O_CREAT, 0644);
        if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(bytes)) abort();
        close(fd);
    }
}

// top/d<i>/e<j>/ holding `files` files each; returns its entries, top included.
uint64_t MakeWide(const std::string& top, int dirs, int subdirs, int files) {
    MakeFiles(top, 0);
    for (int outer = 0; outer < dirs; ++outer) {
        std::string dir = top + "/d" + std::to_string(outer);
        MakeFiles(dir, 0);
        for (int inner = 0; inner < subdirs; ++inner)
            MakeFiles(dir + "/e" + std::to_string(inner), files);
    }
    return 1 + dirs * (1 + subdirs * (1 + files));
}

// What fn reports from a forked child; as root the child is confined to dir by
// chroot (base "") so that a broken walk climbing through ".." cannot reach
// the machine's files.
std::string ConfinedReport(const std::string& dir,
                           const std::function<std::string(const std::string& base)>& fn) {
    return ChildReport([&] {
        if (geteuid() != 0) return fn(dir);
        if (chroot(dir.c_str()) != 0 || chdir("/") != 0) return "cannot confine to " + dir;
        return fn("");
    });
}

std::string Failed(const std::string& what, int rc) {
    return what + " returned " + std::to_string(rc) + " (" + std::strerror(errno) + ")\n";
}

// From now on the removal sees `cores` cores it may use; the test's end
// restores the table.
void UseCores(int cores) {
    static int count;
    count = cores;
    g_sys.sched_getaffinity = [](pid_t, size_t size, cpu_set_t* set) {
        CPU_ZERO_S(size, set);
        for (int core = 0; core < count; ++core) CPU_SET_S(core, size, set);
        return 0;
    };
}

// For one scope: which threads other than the calling one (the removal's
// helpers) made a call, and whether one of them walked (opened, listed or
// removed a directory). The walker's unlinks are slowed, so that helpers take their share however
// busy the machine; while fail_unlinks, every unlink by a helper fails with EACCES.
class HelperWatch {
  public:
    HelperWatch() {
        saved_ = g_sys;
        walker_ = std::this_thread::get_id();
        walked = false;
        stats = 0;
        fail_unlinks = false;
        helpers_.clear();
        g_sys.openat = [](int dfd, const char* name, int flags, mode_t mode) {
            if (ByHelper()) walked = true;
            return saved_.openat(dfd, name, flags, mode);
        };
        g_sys.readdir = [](DIR* dir) {
            if (ByHelper()) walked = true;
            return saved_.readdir(dir);
        };
        g_sys.fstatat = [](int dfd, const char* name, struct stat* st, int flags) {
            ++stats;
            return saved_.fstatat(dfd, name, st, flags);
        };
        g_sys.unlinkat = [](int dfd, const char* name, int flags) {
            if (!ByHelper()) {
                usleep(200);
            } else if (flags & AT_REMOVEDIR) {
                walked = true;
            } else if (fail_unlinks) {
                errno = EACCES;
                return -1;
            }
            return saved_.unlinkat(dfd, name, flags);
        };
    }
    ~HelperWatch() { g_sys = saved_; }
    size_t helpers() {
        std::lock_guard<std::mutex> lock(mu_);
        return helpers_.size();
    }

    static inline std::atomic<bool> walked;
    static inline std::atomic<long> stats;  // status taken, by any thread
    static inline std::atomic<bool> fail_unlinks;

  private:
    static bool ByHelper() {
        if (std::this_thread::get_id() == walker_) return false;
        std::lock_guard<std::mutex> lock(mu_);
        helpers_.insert(std::this_thread::get_id());
        return true;
    }
    static inline SysCalls saved_;
    static inline std::thread::id walker_;
    static inline std::mutex mu_;
    static inline std::set<std::thread::id> helpers_;
};

class FSRemoveTest : public ::testing::Test {
  protected:
    void TearDown() override { g_sys = bv_internal::kLibcSysCalls; }
    void Sh(const std::string& cmd) {
        ASSERT_EQ(0, std::system(("cd " + ShellQuote(tmp_.path()) + " && " + cmd).c_str())) << cmd;
    }
    std::string top() const { return tmp_ / "tree"; }
    TempDir tmp_;
};

TEST_F(FSRemoveTest, RemovesEveryKindOfObjectAndRefusesWhatCanNeverGo) {
    Sh("mkdir -p outside tree/sub keep/sub rel/sub/d && touch file rel/sub/f "
       "&& ln -s $PWD/outside link && ln -s $PWD/outside link2 && ln -s /nonexistent tree/dangling "
       "&& ln -s $PWD/outside/f0 tree/to-file && ln -s $PWD/keep alias");
    MakeFiles(tmp_ / "outside", 10);
    for (const char* name : {"new\nline", "bad\xff\xfe"})
        WriteFile(tmp_ / "tree/sub/" + name, name);
    struct {
        std::string path;
        int result;
        bool gone_after;
    } const cases[] = {{"absent", 0, true},     {"", -1, true},
                       {"file/below", 0, true}, {"link", 0, true},
                       {"link2/", -3, false},   {"tree//", 0, true},
                       {"keep/.", -3, false},   {"keep/sub/..", -3, false},
                       {"alias/sub", 0, true},  {"file", 0, true}};
    for (const auto& row : cases) {
        const std::string path = row.path.empty() ? row.path : tmp_ / row.path;
        EXPECT_EQ(row.result, FSRemove(path, false)) << row.path;
        EXPECT_EQ(row.gone_after, path.empty() || !PathExists(path)) << row.path;
    }
    EXPECT_EQ(10, CountEntries(tmp_ / "outside"));
    EXPECT_TRUE(PathExists(tmp_ / "link2") && PathExists(tmp_ / "alias"));
    // Relative names, a directory opened as descriptor 0 (stdin closed at the
    // first removal), and the root directory, refused untouched by any name.
    EXPECT_EQ("", ConfinedReport(tmp_.path(), [](const std::string& base) -> std::string {
                  g_after_remove_hook = [](int, const char*) {
                      [[maybe_unused]] static int once = close(0);
                  };
                  if (dup2(2, 0) != 0 || chdir((base + "/rel").c_str()) != 0) return "no set-up";
                  int rc = FSRemove(ustring("sub"), false);
                  if (rc != 0 || PathExists("sub")) return Failed("removing rel/sub", rc);
                  // Only a child confined to its folder may aim at its root.
                  for (const char* root : {"///", "/rel/.."}) {
                      if (!base.empty()) break;
                      rc = FSRemove(ustring(root), false);
                      if (rc != -3) return Failed(std::string("removing the root as ") + root, rc);
                  }
                  return PathExists(base + "/outside/f9") ? "" : "the root was emptied";
              }));
}

// Removes tree in a confined child whose hook calls act(base, parent_fd) after
// each removal until it returns true (it acted); what went wrong, if anything.
std::function<bool(int)> g_act;
std::string RemoveActing(const std::string& dir,
                         const std::function<bool(const std::string&, int)>& act, int expected) {
    return ConfinedReport(dir, [&](const std::string& base) -> std::string {
        g_act = [&](int fd) { return act(base, fd); };
        g_after_remove_hook = [](int fd, const char*) {
            if (g_act && g_act(fd)) g_act = nullptr;
        };
        int rc = FSRemove(base + "/tree", false);
        if (g_act) return "the change was never made";
        return rc == expected ? "" : Failed("the removal", rc);
    });
}

ino_t InodeOf(const std::string& path, int fd = -1) {
    struct stat st;
    return (fd >= 0 ? fstat(fd, &st) : lstat(path.c_str(), &st)) == 0 ? st.st_ino : 0;
}

TEST_F(FSRemoveTest, ChangesMidWalk) {
    // A middle level moved into the sentinel (keeping its name) while the
    // walk is deep below it, upper levels parked: climbing back through ".."
    // would lead into the sentinel, and is refused.
    MakeChain(top(), 20, "d", 1);
    MakeFiles(tmp_ / "sentinel", 200, "keep");
    const ino_t deep = InodeOf(top() + "/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d");
    auto move = [&](const std::string& base, int fd) {
        return InodeOf("", fd) == deep &&
               rename((base + "/tree/d/d/d/d/d/d").c_str(), (base + "/sentinel/d").c_str()) == 0;
    };
    EXPECT_EQ("", RemoveActing(tmp_.path(), move, -3));
    EXPECT_EQ(201, CountEntries(tmp_ / "sentinel"));
    EXPECT_EQ(0, CountEntries(tmp_ / "sentinel/d"));  // what was below it was ours
    ASSERT_EQ(0, FSRemove(top(), false));

    // Every subdirectory swapped for a link at the first removal: the links
    // go, what they point to stays, so 0 is the only answer.
    for (const char* dir : {"tree", "hold"}) MakeFiles(tmp_ / dir, 0);
    MakeFiles(top(), 1100);
    for (int sub = 0; sub < 6; ++sub) MakeChain(top() + "/s" + std::to_string(sub), 1, "x", 5);
    auto swap = [](const std::string& base, int) {
        for (int sub = 0; sub < 6; ++sub) {
            std::string dir = base + "/tree/s" + std::to_string(sub);
            rename(dir.c_str(), (base + "/hold/s" + std::to_string(sub)).c_str());
            symlink((base + "/sentinel").c_str(), dir.c_str());
        }
        return true;
    };
    EXPECT_EQ("", RemoveActing(tmp_.path(), swap, 0));
    EXPECT_FALSE(PathExists(top()));
    EXPECT_EQ(201, CountEntries(tmp_ / "sentinel"));
    for (int sub = 0; sub < 6; ++sub)
        EXPECT_EQ(6, CountEntries(tmp_ / "hold/s" + std::to_string(sub)))
            << "a swapped folder lost entries";

    // Files listed as files, swapped for directories holding a file at the
    // first removal: each unlink meets a directory, which is entered instead.
    MakeFiles(top(), 10);
    auto to_directories = [](const std::string& base, int) {
        for (int file = 0; file < 10; ++file) {
            const std::string name = base + "/tree/f" + std::to_string(file);
            if (unlink(name.c_str()) == 0) MakeFiles(name, 1);
        }
        return true;
    };
    EXPECT_EQ("", RemoveActing(tmp_.path(), to_directories, 0));
    EXPECT_FALSE(PathExists(top()));
}

TEST_F(FSRemoveTest, MountPointsAreNeverEnteredNorRemoved) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting needs root (in a private mount namespace)";
    // tree/sub holds a tmpfs and a bind mount of `other`, beside what goes.
    MakeFiles(top(), 5);
    MakeChain(top() + "/sub", 3, "d", 2);
    MakeFiles(top() + "/sub/tmpfs", 0);
    MakeFiles(top() + "/sub/bind", 0);
    MakeFiles(tmp_ / "other", 3);
    const std::string report = ChildReport([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            return std::string("skip: no private mount namespace: ") + std::strerror(errno);
        const std::string tmpfs = top() + "/sub/tmpfs", bind = top() + "/sub/bind";
        if (mount("tmpfs", tmpfs.c_str(), "tmpfs", 0, "size=1m") != 0 ||
            mount((tmp_ / "other").c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return std::string("skip: cannot mount: ") + std::strerror(errno);
        MakeFiles(tmpfs, 3);
        std::string wrong;
        for (const std::string& mount_point : {tmpfs, bind}) {
            FSRemoveSummary summary;
            int rc = FSRemove(mount_point, false, &summary);
            if (rc != -3 || errno != EBUSY || CountEntries(mount_point) != 3)
                wrong += Failed("removing the mount point " + mount_point, rc);
            if (summary.mount_point.c_str() != mount_point)
                wrong += "the mount point was given as " + std::string(summary.mount_point.c_str());
        }
        FSRemoveSummary summary;
        int rc = FSRemove(top(), false, &summary);
        if (rc != -3 || errno != EBUSY) wrong += Failed("removing the tree", rc);
        if (CountEntries(top()) != 1 || CountEntries(top() + "/sub") != 2)
            wrong += "more than the mount points and their parents stayed\n";
        if (CountEntries(tmpfs) != 3 || CountEntries(bind) != 3)
            wrong += "a mounted file system lost entries\n";
        const std::string named = summary.mount_point.c_str();
        if (named != tmpfs && named != bind) wrong += "the mount point was given as " + named;
        return wrong;
    });
    if (report.rfind("skip:", 0) == 0) GTEST_SKIP() << report;
    EXPECT_EQ("", report);
    EXPECT_EQ(3, CountEntries(tmp_ / "other"));
}

// In a confined child: the chain is walked back up through "..". What went
// wrong at a failure point is told in the child's output.
TEST_F(FSRemoveTest, EveryFailurePointStopsCleanlyAndALaterCallFinishes) {
    auto try_every_failure_point = [](const std::string& base) -> std::string {
        // 26 entries: files, a link, and a chain deeper than the streams kept open.
        const std::string tree = base + "/tree";
        const std::string outside = base + "/outside";
        auto plant = [&] {
            FSRemove(tree, false);
            MakeFiles(tree, 3, "f", 100);
            MakeChain(tree + "/chain", 10, "d", 1);
            symlink(outside.c_str(), (tree + "/link").c_str());
        };
        MakeFiles(outside, 2);
        plant();
        FSRemoveSummary planted;
        planted.want_bytes = true;
        if (FSCount(tree, &planted) != 0) return "the planted tree cannot be counted";
        SysFaults faults;
        struct {
            const char* call;  // "" for any
            int err;
            bool typeless;  // listed without entry types
        } const faults_tried[] = {{"", EIO, false},
                                  {"fstatat", EIO, true},
                                  {"openat", EMFILE, false},
                                  {"", ENOENT, false}};
        for (const auto& [call, err, typeless] : faults_tried) {
            g_sys.readdir = typeless ? ListingWithoutTypes : bv_internal::kLibcSysCalls.readdir;
            for (bool count_only : {false, true}) {
                FSRemoveSummary first;
                first.want_bytes = true;
                auto operation = [&] {
                    first.entries = first.bytes = 0;
                    return count_only ? FSCount(tree, &first) : FSRemove(tree, false, &first);
                };
                auto check = [&](const FaultRun& run) {
                    // A failed call fails the removal, with its errno; a failed
                    // close does not. A vanished entry is no failure and goes
                    // uncounted (here it only seemed to vanish), but a vanished
                    // ancestor leaves no way back up.
                    const bool vanished = run.fired && err == ENOENT;
                    const bool harmless = run.fired_call == "close" || run.fired_call == "closedir";
                    const int failed = run.fired_call == "lstat" ? -1 : -3;
                    if (!run.fired || harmless) {
                        EXPECT_EQ(0, run.rc) << run.Describe();
                    } else if (!vanished || run.rc != 0) {
                        EXPECT_EQ(failed, run.rc) << run.Describe();
                        EXPECT_EQ(err, run.errno_after) << run.Describe();
                    }
                    EXPECT_EQ(2, CountEntries(outside)) << run.Describe();
                    if (count_only && run.rc == 0 && !vanished) {
                        EXPECT_EQ(planted.entries, first.entries) << run.Describe();
                    }
                    if (count_only) return;
                    FSRemoveSummary rest;
                    rest.want_bytes = true;
                    EXPECT_EQ(0, FSRemove(tree, false, &rest)) << run.Describe();
                    EXPECT_TRUE(run.rc != 0 || vanished || rest.entries == 0)
                        << run.Describe() << " left entries";
                    EXPECT_EQ(planted.entries, first.entries + rest.entries) << run.Describe();
                    EXPECT_EQ(planted.bytes, first.bytes + rest.bytes) << run.Describe();
                };
                EXPECT_GT(ForEachFailurePoint(faults, call, err, plant, operation, check), 0u)
                    << call;
            }
        }
        return ::testing::Test::HasFailure() ? "a failure point went wrong (told above)" : "";
    };
    EXPECT_EQ("", ConfinedReport(tmp_.path(), try_every_failure_point));
}

TEST_F(FSRemoveTest, AllocationFailureEndsTheCallWithoutHanging) {
    EXPECT_EQ(
        "", ChildReport([&]() -> std::string {
            UseCores(4);
            alarm(300);  // a hang ends the child, and the report says so
            const ustring path(top().c_str());
            for (long allocation = 0;; allocation += 1 + allocation / 8) {  // every one early on
                const uint64_t planted = MakeWide(top(), 3, 4, 20);
                FSRemoveSummary summary;
                g_allocations_before_failure = allocation;
                int rc = FSRemove(path, false, &summary);
                const int err = errno;
                const bool failed = g_allocations_before_failure < 0;
                g_allocations_before_failure = -1;
                if (!failed) return rc == 0 ? "" : Failed("the undisturbed removal", rc);
                if (rc != -3 || err != ENOMEM)
                    return Failed("allocation " + std::to_string(allocation), rc);
                FSRemoveSummary rest;
                if (FSRemove(top(), false, &rest) != 0 || summary.entries + rest.entries != planted)
                    return "after allocation " + std::to_string(allocation) +
                           " an entry went uncounted or the rest stayed";
            }
        }));
}

using FSRemoveThreads = FSRemoveTest;

TEST_F(FSRemoveThreads, OnlyLargeRemovalsStartHelpersAndHelpersOnlyUnlinkFiles) {
    struct {
        int cores;
        int dirs;  // of dirs subdirectories holding 40 files each
        bool counted_only;
        size_t helpers;
    } const cases[] = {
        {2, 1, false, 0}, {1, 8, false, 0}, {2, 8, true, 0}, {2, 8, false, 1}, {8, 8, false, 3}};
    for (const auto& row : cases) {
        const uint64_t planted = MakeWide(top(), row.dirs, row.dirs, 40);
        UseCores(row.cores);
        HelperWatch watch;
        FSRemoveSummary summary;
        EXPECT_EQ(0,
                  row.counted_only ? FSCount(top(), &summary) : FSRemove(top(), false, &summary));
        EXPECT_EQ(planted, summary.entries.load());
        EXPECT_LE(watch.helpers(), row.helpers) << row.cores << " cores";
        EXPECT_EQ(row.helpers > 0, watch.helpers() > 0) << row.cores << " cores";
        EXPECT_FALSE(HelperWatch::walked) << "a helper opened, listed or removed a directory";
        FSRemove(top(), false);
    }
}

// The walk alone needs at most 11 descriptors (the lowest limit at which the
// tree can be counted, as a lone removal needs), and helpers none beyond it.
// Deeper than PATH_MAX by long names, a chain of 3,000, and 300 files beside
// 40 branches 30 deep: parked ancestors resume, helpers close directories.
TEST_F(FSRemoveThreads, DepthIsBoundedNeitherByPathsNorByDescriptorsWithOrWithoutHelpers) {
    auto plant = [](const std::string& tree) {
        MakeFiles(tree, 300);
        MakeChain(tree + "/long", PATH_MAX / 200 + 10, std::string(200, 'n'), 2);
        MakeChain(tree + "/chain", 3000, "d");
        for (int branch = 0; branch < 40; ++branch)
            MakeChain(tree + "/b" + std::to_string(branch), 30, "x", 1);
    };
    plant(top());
    EXPECT_EQ("", ConfinedReport(tmp_.path(), [&](const std::string& base) -> std::string {
                  const std::string tree = base + "/tree";
                  const int open_at_call = OpenDescriptors();
                  int lowest = open_at_call + 1;
                  for (FSRemoveSummary counted; lowest <= open_at_call + 11; ++lowest) {
                      LimitDescriptors(lowest);
                      const int rc = FSCount(tree, &counted);
                      LimitDescriptors(1024);
                      if (rc == 0) break;
                  }
                  if (lowest > open_at_call + 11)
                      return "the walk alone needs more than the 11 descriptors promised";
                  for (int cores : {1, 4, 4, 4}) {
                      if (!PathExists(tree)) plant(tree);
                      UseCores(cores);
                      HelperWatch watch;
                      LimitDescriptors(lowest);
                      const int rc = FSRemove(tree, false);
                      LimitDescriptors(1024);
                      if (rc != 0) return Failed(std::to_string(cores) + " cores at the limit", rc);
                      if ((cores > 1) != (watch.helpers() > 0))
                          return "helpers took part on one core, or none on four";
                  }
                  return "";
              }));
    EXPECT_FALSE(PathExists(top()));
}

// Out of descriptors with helpers at work, the walker takes back what their
// jobs hold and tries again: helpers never make a removal fail that the walk
// alone would finish.
TEST_F(FSRemoveThreads, OutOfDescriptorsTheWalkerTakesBackWhatHelpersHoldAndGoesOn) {
    MakeWide(top(), 4, 4, 40);
    static int opened;
    opened = 0;
    g_sys.openat = [](int dfd, const char* name, int flags, mode_t mode) {
        if (++opened == 8) {  // helpers start once 64 entries are listed, by the 4th open
            errno = EMFILE;
            return -1;
        }
        return bv_internal::kLibcSysCalls.openat(dfd, name, flags, mode);
    };
    UseCores(2);
    HelperWatch watch;
    EXPECT_EQ(0, FSRemove(top(), false)) << "failed with " << std::strerror(errno);
    EXPECT_GT(watch.helpers(), 0u) << "no helper took part";
    EXPECT_FALSE(PathExists(top()));
}

TEST_F(FSRemoveThreads, FailureOfAHelperStopsTheWalkAndIsReported) {
    const uint64_t planted = MakeWide(top(), 8, 8, 40);
    UseCores(2);
    HelperWatch watch;
    HelperWatch::fail_unlinks = true;
    FSRemoveSummary removed, left;
    EXPECT_EQ(-3, FSRemove(top(), false, &removed));
    EXPECT_EQ(EACCES, errno);
    EXPECT_EQ(0, FSCount(top(), &left));
    EXPECT_GE(left.entries, 40u) << "the walk went on after the failure";
    EXPECT_EQ(planted, removed.entries + left.entries);
}

TEST_F(FSRemoveTest, SummaryCountsEntriesAndBytesLikeDu) {
    // 15 entries, the top included, of widely differing sizes; one object
    // under two names, one also linked from outside.
    const std::string outside = tmp_ / "outside";
    Sh("mkdir -p tree/sub/empty tree/pair && printf x >tree/small && touch tree/sub/e0 tree/sub/e1 "
       "tree/sub/e2 && ln -s small tree/link && mkfifo tree/sub/fifo");
    for (auto [rel, size] : {std::pair{"tree/mid", 10000},
                             {"tree/sub/big", 200000},
                             {"tree/pair/twice", 50000},
                             {"outside", 30000}})
        WriteFile(tmp_ / rel, std::string(size, 'x'));
    Sh("ln tree/pair/twice tree/pair/again && ln outside tree/from-outside");
    auto du_of = [](const std::string& path) {
        CommandResult du = RunCommand({"du", "-s", "-B1", "--", path});
        return du.status == 0 ? std::stoull(du.out) : ~0ull;
    };
    const uint64_t tree_du = du_of(top()), outside_du = du_of(outside);
    struct {
        std::string path;
        bool count_only;
        bool want_bytes;
        uint64_t entries;
        uint64_t bytes;
    } const cases[] = {{top(), true, false, 15, 0},       {top(), true, true, 15, tree_du},
                       {top(), false, true, 15, tree_du}, {outside, true, true, 1, outside_du},
                       {outside, true, false, 1, 0},      {outside, false, true, 1, outside_du},
                       {outside, false, true, 0, 0}};  // now absent
    for (const auto& row : cases) {
        FSRemoveSummary sum;
        sum.want_bytes = row.want_bytes;
        sum.entries = 100;  // added to, never reset
        EXPECT_EQ(0, row.count_only ? FSCount(row.path, &sum) : FSRemove(row.path, false, &sum))
            << row.path;
        EXPECT_EQ(100 + row.entries, sum.entries.load()) << row.path;
        EXPECT_EQ(row.bytes, sum.bytes.load()) << row.path;
        EXPECT_EQ(row.count_only, PathExists(row.path)) << row.path;
    }
}

TEST_F(FSRemoveThreads, EntriesWithoutATypeAreStatedOnceAndNeverHandedOutAsFiles) {
    // 1,500 directories and 600 files, listed without entry types.
    MakeFiles(top(), 600);
    for (int dir = 0; dir < 1500; ++dir) MakeFiles(top() + "/d" + std::to_string(dir), 0);
    UseCores(2);
    HelperWatch watch;
    g_sys.readdir = ListingWithoutTypes;
    EXPECT_EQ(0, FSRemove(top(), false));
    EXPECT_GT(watch.helpers(), 0u) << "no helper took part";
    // A directory handed out as a file stays, and is listed and looked at again.
    EXPECT_EQ(2100, HelperWatch::stats) << "an entry's status was not taken exactly once";
}

TEST_F(FSRemoveThreads, HardLinkedBytesCountOnceWhileHelpersRemove) {
    // 300 files at the top, 400 files of 4 KiB in a, their hard links and 200
    // more files in b.
    MakeFiles(top(), 300);
    MakeFiles(top() + "/a", 400, "f", 4096);
    MakeFiles(top() + "/b", 200, "g");
    for (int file = 0; file < 400; ++file) {
        const std::string name = "/f" + std::to_string(file);
        ASSERT_EQ(0, link((top() + "/a" + name).c_str(), (top() + "/b" + name).c_str()));
    }
    FSRemoveSummary counted, removed;
    counted.want_bytes = removed.want_bytes = true;
    ASSERT_EQ(0, FSCount(top(), &counted));
    UseCores(2);
    HelperWatch watch;
    ASSERT_EQ(0, FSRemove(top(), false, &removed));
    EXPECT_GT(watch.helpers(), 0u) << "no helper took part";
    EXPECT_EQ(counted.bytes, removed.bytes) << "an object's bytes counted twice or not at all";
    EXPECT_EQ(counted.entries, removed.entries) << "entries counted differ from those removed";
}

}  // namespace
