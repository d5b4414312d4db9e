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
#include <tuple>

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
    for (int i = 0; i < count; ++i) {
        int fd = open((dir + "/" + prefix + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644);
        if (write(fd, content.data(), content.size()) != static_cast<ssize_t>(bytes)) abort();
        close(fd);
    }
}

// top/d<i>/e<j>/ holding `files` files each; returns its entries, top included.
uint64_t MakeWide(const std::string& top, int dirs, int subdirs, int files) {
    MakeFiles(top, 0);
    for (int i = 0; i < dirs; ++i) {
        std::string dir = top + "/d" + std::to_string(i);
        MakeFiles(dir, 0);
        for (int j = 0; j < subdirs; ++j) MakeFiles(dir + "/e" + std::to_string(j), files);
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

// The cores the removal may use, as it sees them, for one scope.
class ScopedCores {
  public:
    explicit ScopedCores(int cores) : saved_(g_sys.sched_getaffinity) {
        cores_ = cores;
        g_sys.sched_getaffinity = [](pid_t, size_t size, cpu_set_t* set) {
            CPU_ZERO_S(size, set);
            for (int i = 0; i < cores_; ++i) CPU_SET_S(i, size, set);
            return 0;
        };
    }
    ~ScopedCores() { g_sys.sched_getaffinity = saved_; }

  private:
    static inline int cores_ = 1;
    decltype(SysCalls::sched_getaffinity) saved_;
};

// What threads other than the calling one did, for one scope: the removal's
// helpers. Also counts listings, stats and fresh listings of a directory, and
// slows the walker's unlinks.
class HelperWatch {
  public:
    HelperWatch() {
        saved_ = g_sys;
        walker_ = std::this_thread::get_id();
        for (auto* count : {&walks, &unlinks, &rmdirs, &stats, &relists, &is_dir}) *count = 0;
        helpers_.clear();
        g_sys.openat = [](int dfd, const char* name, int flags, mode_t mode) {
            if (ByHelper()) ++walks;
            if (std::strcmp(name, ".") == 0) ++relists;
            return saved_.openat(dfd, name, flags, mode);
        };
        g_sys.readdir = [](DIR* dir) {
            if (ByHelper()) ++walks;
            return saved_.readdir(dir);
        };
        g_sys.closedir = [](DIR* dir) {
            ByHelper();
            return saved_.closedir(dir);
        };
        g_sys.fstatat = [](int dfd, const char* name, struct stat* st, int flags) {
            ++stats;
            return saved_.fstatat(dfd, name, st, flags);
        };
        g_sys.unlinkat = [](int dfd, const char* name, int flags) {
            // A slower walker leaves its helpers time to take their share,
            // however busy the machine.
            if (!ByHelper()) usleep(200);
            const int rc = saved_.unlinkat(dfd, name, flags);
            if (rc != 0 && errno == EISDIR) ++is_dir;
            if (rc == 0 && ByHelper()) ++((flags & AT_REMOVEDIR) ? rmdirs : unlinks);
            return rc;
        };
    }
    ~HelperWatch() { g_sys = saved_; }
    size_t helpers() {
        std::lock_guard<std::mutex> lock(mu_);
        return helpers_.size();
    }

    // By helpers: opens and listings, files and directories removed.
    static inline std::atomic<long> walks, unlinks, rmdirs;
    // By anyone: entry statuses, fresh listings, unlinks that met a directory.
    static inline std::atomic<long> stats, relists, is_dir;

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
    void Sh(const std::string& cmd) {
        ASSERT_EQ(0, std::system(("cd " + ShellQuote(tmp_.path()) + " && " + cmd).c_str())) << cmd;
    }
    std::string top() const { return tmp_ / "tree"; }
    TempDir tmp_;
};

TEST_F(FSRemoveTest, RemovesEveryKindOfObjectAndRefusesWhatCanNeverGo) {
    Sh("mkdir -p outside empty tree/sub keep/sub rel/sub/d && touch file rel/sub/f && mkfifo fifo "
       "&& ln -s $PWD/outside link && ln -s $PWD/outside link2 && ln -s /nonexistent tree/dangling "
       "&& ln -s $PWD/outside/f0 tree/to-file && ln -s $PWD/keep alias");
    MakeFiles(tmp_ / "outside", 10);
    for (const char* name : {"with space", "new\nline", "-dash", "bad\xff\xfe", ".hidden",
                             ".."
                             "dots"})
        WriteFile(tmp_ / "tree/sub/" + name, name);
    struct {
        std::string path;
        int result;
        bool gone_after;
    } const cases[] = {{"absent", 0, true},        {"", -1, true},         {"file/below", 0, true},
                       {"fifo", 0, true},          {"empty", 0, true},     {"link", 0, true},
                       {"link2/", -3, false},      {"tree//", 0, true},    {"keep/.", -3, false},
                       {"keep/sub/..", -3, false}, {"alias/sub", 0, true}, {"file", 0, true}};
    for (const auto& c : cases) {
        const std::string path = c.path.empty() ? c.path : tmp_ / c.path;
        EXPECT_EQ(c.result, FSRemove(path, false)) << c.path;
        EXPECT_EQ(c.gone_after, path.empty() || !PathExists(path)) << c.path;
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

TEST_F(FSRemoveTest, PermissionFailuresStopAndLeaveTheRest) {
    Sh("chmod 777 . && mkdir -m 777 unreadable unlisted tree tree/sealed sealed && touch sealed/f0 "
       "&& touch unreadable/f0 unreadable/f1 tree/sealed/f0 tree/sealed/f1");
    Sh("chmod 333 unreadable unlisted && chmod 555 tree/sealed sealed");
    struct {
        std::string removed;  // counted, for the empty unlisted directory
        std::string kept;
        int entries_kept;
    } const cases[] = {{"unreadable", "unreadable", 2},
                       {"tree", "tree/sealed", 2},
                       {"sealed/f0", "sealed", 1},
                       {"unlisted", "unlisted", 0}};
    for (const auto& c : cases) {
        const std::string path = tmp_ / c.removed;
        auto as_nobody = [&]() -> std::string {
            int rc = c.removed == "unlisted" ? FSCount(path, nullptr) : FSRemove(path, false);
            return rc == -3 && errno == EACCES ? "" : Failed(c.removed, rc);
        };
        EXPECT_EQ("", ChildReport(as_nobody, true));
        ASSERT_EQ(0, chmod((tmp_ / c.kept).c_str(), 0755));
        EXPECT_EQ(c.entries_kept, CountEntries(tmp_ / c.kept)) << c.removed;
    }
}

TEST_F(FSRemoveTest, DepthIsBoundedNeitherByPathsNorByDescriptors) {
    MakeChain(tmp_ / "deep", PATH_MAX / 200 + 10, std::string(200, 'n'), 2);
    MakeChain(tmp_ / "chain", 3000, "d");
    MakeFiles(tmp_ / "wide", 300);  // deep branches below it: parked ancestors resume
    for (int i = 0; i < 30; ++i) MakeChain(tmp_ / "wide/b" + std::to_string(i), 20, "x", 1);
    EXPECT_EQ("", ConfinedReport(tmp_.path(), [](const std::string& base) -> std::string {
                  if (!LimitDescriptors(OpenDescriptors() + 11)) return "no descriptor limit";
                  for (const char* tree : {"/deep", "/chain", "/wide"})
                      if (int rc = FSRemove(base + tree, false); rc != 0) return Failed(tree, rc);
                  return "";
              }));
    EXPECT_EQ(0, CountEntries(tmp_.path()));
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

    // Files created in a directory closed and resumed (deep branches) land
    // partly behind the resumed position: found by listing it again.
    MakeFiles(top(), 0);
    for (int i = 0; i < 60; ++i) MakeChain(top() + "/b" + std::to_string(i), 10, "x");
    const ino_t top_inode = InodeOf(top());
    int removals = 0;
    auto add = [&](const std::string& base, int fd) {
        if (InodeOf("", fd) != top_inode || ++removals != 30) return false;
        MakeFiles(base + "/tree", 100, "n");
        return true;
    };
    EXPECT_EQ("", RemoveActing(tmp_.path(), add, 0));
    EXPECT_FALSE(PathExists(top()));

    // Every subdirectory swapped for a link at the first removal: the links
    // go, what they point to stays, so 0 is the only answer.
    for (const char* dir : {"tree", "hold"}) MakeFiles(tmp_ / dir, 0);
    MakeFiles(top(), 1100);
    for (int i = 0; i < 6; ++i) MakeChain(top() + "/s" + std::to_string(i), 1, "x", 5);
    auto swap = [](const std::string& base, int) {
        for (int i = 0; i < 6; ++i) {
            std::string dir = base + "/tree/s" + std::to_string(i);
            rename(dir.c_str(), (base + "/hold/s" + std::to_string(i)).c_str());
            symlink((base + "/sentinel").c_str(), dir.c_str());
        }
        return true;
    };
    EXPECT_EQ("", RemoveActing(tmp_.path(), swap, 0));
    EXPECT_FALSE(PathExists(top()));
    EXPECT_EQ(201, CountEntries(tmp_ / "sentinel"));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(6, CountEntries(tmp_ / "hold/s" + std::to_string(i)));
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
    for (const auto& c : cases) {
        FSRemoveSummary sum;
        sum.want_bytes = c.want_bytes;
        sum.entries = 100;  // added to, never reset
        EXPECT_EQ(0, c.count_only ? FSCount(c.path, &sum) : FSRemove(c.path, false, &sum))
            << c.path;
        EXPECT_EQ(100 + c.entries, sum.entries.load()) << c.path;
        EXPECT_EQ(c.bytes, sum.bytes.load()) << c.path;
        EXPECT_EQ(c.count_only, PathExists(c.path)) << c.path;
    }
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

TEST_F(FSRemoveTest, EveryFailurePointStopsCleanlyAndALaterCallFinishes) {
    // 26 entries: files, a link, and a chain deeper than the streams kept open.
    const std::string outside = tmp_ / "outside";
    auto plant = [&] {
        FSRemove(top(), false);
        MakeFiles(top(), 3, "f", 100);
        MakeChain(top() + "/chain", 10, "d", 1);
        symlink(outside.c_str(), (top() + "/link").c_str());
    };
    MakeFiles(outside, 2);
    plant();
    FSRemoveSummary planted;
    planted.want_bytes = true;
    ASSERT_EQ(0, FSCount(top(), &planted));
    SysFaults faults;
    struct {
        const char* call;  // "" for any
        int err;
        bool counted_too;       // FSCount makes the call too
        bool typeless = false;  // listed without entry types
    } const faults_tried[] = {{"", EIO, true},
                              {"fstatat", EIO, true, true},
                              {"openat", EMFILE, true},
                              {"unlinkat", ENOENT, false},
                              {"openat", ENOENT, true}};
    for (const auto& [call, err, counted_too, typeless] : faults_tried) {
        g_sys.readdir = typeless ? ListingWithoutTypes : bv_internal::kLibcSysCalls.readdir;
        for (bool count_only : {false, counted_too}) {
            FSRemoveSummary first;
            first.want_bytes = true;
            auto operation = [&] {
                first.entries = first.bytes = 0;
                return count_only ? FSCount(top(), &first) : FSRemove(top(), false, &first);
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
                EXPECT_EQ(0, FSRemove(top(), false, &rest)) << run.Describe();
                EXPECT_TRUE(run.rc != 0 || vanished || rest.entries == 0)
                    << run.Describe() << " left entries";
                EXPECT_EQ(planted.entries, first.entries + rest.entries) << run.Describe();
                EXPECT_EQ(planted.bytes, first.bytes + rest.bytes) << run.Describe();
            };
            EXPECT_GT(ForEachFailurePoint(faults, call, err, plant, operation, check), 0u) << call;
        }
    }
    g_sys.readdir = bv_internal::kLibcSysCalls.readdir;
}

TEST_F(FSRemoveTest, AllocationFailureEndsTheCallWithoutHanging) {
    EXPECT_EQ(
        "", ChildReport([&]() -> std::string {
            ScopedCores cores(4);
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
    for (const auto& c : cases) {
        const uint64_t planted = MakeWide(top(), c.dirs, c.dirs, 40);
        ScopedCores cores(c.cores);
        HelperWatch watch;
        FSRemoveSummary summary;
        EXPECT_EQ(0, c.counted_only ? FSCount(top(), &summary) : FSRemove(top(), false, &summary));
        EXPECT_EQ(planted, summary.entries.load());
        EXPECT_LE(watch.helpers(), c.helpers) << c.cores << " cores";
        EXPECT_EQ(c.helpers > 0, HelperWatch::unlinks > 0) << c.cores << " cores";
        EXPECT_EQ(0, HelperWatch::walks + HelperWatch::rmdirs) << "helpers walked";
        FSRemove(top(), false);
    }
}

TEST_F(FSRemoveThreads, EntriesWithoutATypeAreStatedOnceAndNeverHandedOutAsFiles) {
    // 1,500 directories and 600 files, listed without entry types.
    MakeFiles(top(), 600);
    for (int i = 0; i < 1500; ++i) MakeFiles(top() + "/d" + std::to_string(i), 0);
    ScopedCores cores(2);
    HelperWatch watch;
    g_sys.readdir = ListingWithoutTypes;
    EXPECT_EQ(0, FSRemove(top(), false));
    EXPECT_GT(HelperWatch::unlinks, 0) << "no helper took part";
    EXPECT_EQ(2100, HelperWatch::stats) << "each entry's status taken once";
    EXPECT_EQ(0, HelperWatch::relists + HelperWatch::is_dir) << "a directory went as a file";
}

TEST_F(FSRemoveThreads, HelpersNeedNoMoreDescriptorsThanTheWalkAlone) {
    // 300 files and 40 directories, each holding 4 chains 30 levels deep.
    auto plant = [&] {
        MakeFiles(top(), 300);
        for (int dir = 0; dir < 40; ++dir) {
            const std::string dir_path = top() + "/d" + std::to_string(dir);
            MakeFiles(dir_path, 0);
            for (int chain = 0; chain < 4; ++chain)
                MakeChain(dir_path + "/c" + std::to_string(chain), 30);
        }
    };
    plant();
    EXPECT_EQ("", ChildReport([&]() -> std::string {
                  // The lowest limit at which one core walks the tree, found
                  // by counting, which needs what a lone removal needs.
                  const int open_at_call = OpenDescriptors();
                  int lowest = open_at_call + 1;
                  for (FSRemoveSummary counted; lowest < open_at_call + 40; ++lowest) {
                      LimitDescriptors(lowest);
                      const int rc = FSCount(top(), &counted);
                      LimitDescriptors(1024);
                      if (rc == 0) break;
                  }
                  if (lowest - open_at_call > 11)
                      return "the walk alone needs more than the 11 descriptors promised";
                  for (int cores : {1, 4, 4, 4}) {
                      if (!PathExists(top())) plant();
                      ScopedCores scoped_cores(cores);
                      HelperWatch watch;
                      LimitDescriptors(lowest);
                      const int rc = FSRemove(top(), false);
                      LimitDescriptors(1024);
                      if (rc != 0) return Failed(std::to_string(cores) + " cores at the limit", rc);
                      if ((cores > 1) != (watch.helpers() > 0)) return "no helper took part";
                  }
                  return "";
              }));
}

TEST_F(FSRemoveThreads, HardLinkedBytesCountOnceWhileHelpersRemove) {
    // 300 files at the top, 400 files of 4 KiB in a, their hard links and 200
    // more files in b.
    ScopedCores cores(2);
    for (int round = 0; round < 3; ++round) {
        MakeFiles(top(), 300);
        MakeFiles(top() + "/a", 400, "f", 4096);
        MakeFiles(top() + "/b", 200, "g");
        for (int i = 0; i < 400; ++i) {
            const std::string name = "/f" + std::to_string(i);
            ASSERT_EQ(0, link((top() + "/a" + name).c_str(), (top() + "/b" + name).c_str()));
        }
        FSRemoveSummary counted, removed;
        counted.want_bytes = removed.want_bytes = true;
        ASSERT_EQ(0, FSCount(top(), &counted));
        HelperWatch watch;
        ASSERT_EQ(0, FSRemove(top(), false, &removed));
        EXPECT_GT(HelperWatch::unlinks, 0) << "no helper took part";
        EXPECT_EQ(counted.bytes, removed.bytes) << "round " << round;
        EXPECT_EQ(counted.entries, removed.entries) << "round " << round;
    }
}

TEST_F(FSRemoveThreads, FailureOfAHelperStopsTheWalkAndIsReported) {
    const uint64_t planted = MakeWide(top(), 8, 8, 40);
    ScopedCores cores(2);
    HelperWatch watch;
    static std::thread::id walker;
    walker = std::this_thread::get_id();
    static decltype(SysCalls::unlinkat) unlink_by_anyone;
    unlink_by_anyone = g_sys.unlinkat;
    g_sys.unlinkat = [](int dfd, const char* name, int flags) {
        if (std::this_thread::get_id() == walker) return unlink_by_anyone(dfd, name, flags);
        errno = EACCES;
        return -1;
    };
    FSRemoveSummary removed, left;
    EXPECT_EQ(-3, FSRemove(top(), false, &removed));
    EXPECT_EQ(EACCES, errno);
    g_sys.unlinkat = unlink_by_anyone;
    EXPECT_EQ(0, FSCount(top(), &left));
    EXPECT_GE(left.entries, 40u) << "the walk went on after the failure";
    EXPECT_EQ(planted, removed.entries + left.entries);
}

}  // namespace
