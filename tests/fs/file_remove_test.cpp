// Recursive removal and counting.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <tuple>

#include "file-op.h"
#include "fs-internal.h"
#include "test_support.h"

namespace {

using fileop_internal::g_after_remove_hook;
using testutil::CountEntries;
using testutil::MakeChain;
using testutil::PathExists;
using testutil::ShellQuote;

// dir, made if missing, and `count` empty files in it.
void MakeFiles(const std::string& dir, int count, const std::string& prefix = "f") {
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < count; ++i)
        close(open((dir + "/" + prefix + std::to_string(i)).c_str(), O_WRONLY | O_CREAT, 0644));
}

// top/d<i>/e<j>/ holding `files` files each; returns its entries, top included.
uint64_t MakeWide(const std::string& top, int dirs, int subdirs, int files) {
    MakeFiles(top, 0);
    for (int i = 0; i < dirs; ++i) {
        std::string d = top + "/d" + std::to_string(i);
        MakeFiles(d, 0);
        for (int j = 0; j < subdirs; ++j) MakeFiles(d + "/e" + std::to_string(j), files);
    }
    return 1 + dirs * (1 + subdirs * (1 + files));
}

// Runs fn in a forked child, when root confined to dir by chroot (base "") so
// that a broken walk climbing through ".." cannot reach the machine's files.
int RunConfined(const std::string& dir, const std::function<int(const std::string& base)>& fn) {
    return testutil::RunInChild([&] {
        if (geteuid() != 0) return fn(dir);
        if (chroot(dir.c_str()) != 0 || chdir("/") != 0) return 99;
        return fn("");
    });
}

ino_t InodeOf(const std::string& path, int fd = -1) {
    struct stat st;
    return (fd >= 0 ? fstat(fd, &st) : lstat(path.c_str(), &st)) == 0 ? st.st_ino : 0;
}

int Workers() {  // those of a large tree: the calling thread, one more on two cores
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2 ? 2 : 1;
}

// A hook for one scope: a plain function called from every worker.
struct ScopedRemoveHook {
    explicit ScopedRemoveHook(void (*hook)(int, const char*)) { g_after_remove_hook = hook; }
    ~ScopedRemoveHook() { g_after_remove_hook = nullptr; }
};

std::atomic<int> g_max_threads{0}, g_calls{0}, g_base{0};  // threads at ResetThreads count 1
std::atomic<long> g_by_others{0};                          // removals by a thread other than g_main
std::thread::id g_main;
void ResetThreads() {
    std::thread([] {}).join();  // a sanitizer's own thread starts with the first one
    g_max_threads = 0, g_base = CountEntries("/proc/self/task") - 1;
    g_by_others = 0, g_main = std::this_thread::get_id();
}
void CountThreads(int, const char*) {
    if (std::this_thread::get_id() != g_main) ++g_by_others;
    if (g_calls++ % 16 != 0) return;  // reading /proc on every removal is slow
    int n = CountEntries("/proc/self/task") - g_base;
    for (int seen = g_max_threads; n > seen && !g_max_threads.compare_exchange_weak(seen, n);) {
    }
}

// Removes dir/tree in a confined child whose hook calls act(base, parent_fd)
// until it returns true (it acted); 0 when it did and FSRemove returned rc.
std::function<bool(int)> g_act;
int RemoveActing(const std::string& dir, const std::function<bool(const std::string&, int)>& act,
                 int rc) {
    return RunConfined(dir, [&](const std::string& base) {
        g_act = [&](int fd) { return act(base, fd); };
        ScopedRemoveHook hook([](int fd, const char*) {
            if (g_act && g_act(fd)) g_act = nullptr;
        });
        int r = FSRemove(base + "/tree", false);
        return g_act ? 1 : r == rc ? 0 : 2;
    });
}

class FSRemoveTest : public ::testing::Test {
  protected:
    void Sh(const std::string& cmd) {
        ASSERT_EQ(0, std::system(("cd " + ShellQuote(tmp_.path()) + " && " + cmd).c_str())) << cmd;
    }
    testutil::TempDir tmp_;
};

TEST_F(FSRemoveTest, ObjectsOfEveryKindAndPathForms) {
    Sh("mkdir -p outside empty tree/sub keep/sub rel/sub/d && touch file rel/sub/f && mkfifo fifo "
       "&& ln -s $PWD/outside link && ln -s $PWD/outside link2 && ln -s /nonexistent tree/dangling "
       "&& ln -s $PWD/outside/f0 tree/to-file && ln -s $PWD/keep alias");
    MakeFiles(tmp_ / "outside", 10);
    for (const char* n : {"with space", "new\nline", "-dash", "bad\xff\xfe", ".hidden", "..dots"})
        testutil::WriteFile(tmp_ / "tree/sub/" + n, n);
    // Path, result, whether it is gone after.
    const std::tuple<std::string, int, bool> cases[] = {
        {"absent", 0, true},        {"", -1, true},         {"file/below", -1, true},
        {"fifo", 0, true},          {"empty", 0, true},     {"link", 0, true},
        {"link2/", -3, false},      {"tree//", 0, true},    {"keep/.", -3, false},
        {"keep/sub/..", -3, false}, {"alias/sub", 0, true}, {"file", 0, true}};
    for (const auto& [rel, rc, gone] : cases) {
        const std::string path = rel.empty() ? rel : tmp_ / rel;
        EXPECT_EQ(rc, FSRemove(path, false)) << rel;
        EXPECT_EQ(gone, path.empty() || !PathExists(path)) << rel;
    }
    EXPECT_EQ(10, CountEntries(tmp_ / "outside"));
    EXPECT_TRUE(PathExists(tmp_ / "link2") && PathExists(tmp_ / "alias"));
    // Relative names, a directory opened as descriptor 0 (stdin closed at the
    // first removal), and the root directory, which is refused untouched.
    EXPECT_EQ(0, RunConfined(tmp_.path(), [](const std::string& base) {
                  ScopedRemoveHook hook(
                      [](int, const char*) { [[maybe_unused]] static int once = close(0); });
                  if (dup2(2, 0) != 0 || chdir((base + "/rel").c_str()) != 0) return 1;
                  if (FSRemove(ustring("sub"), false) != 0 || PathExists("sub")) return 2;
                  if (base.empty() && FSRemove(ustring("///"), false) != -3) return 3;
                  return PathExists(base + "/outside/f9") ? 0 : 4;
              }));
}

TEST_F(FSRemoveTest, PermissionFailuresStopAndLeaveTheRest) {
    Sh("chmod 777 . && mkdir -m 777 unreadable unlisted tree tree/sealed sealed && touch sealed/f0 "
       "&& touch unreadable/f0 unreadable/f1 tree/sealed/f0 tree/sealed/f1");
    Sh("chmod 333 unreadable unlisted && chmod 555 tree/sealed sealed");
    // Removed (or counted), what must stay and its entries.
    const std::tuple<std::string, std::string, int> cases[] = {{"unreadable", "unreadable", 2},
                                                               {"tree", "tree/sealed", 2},
                                                               {"sealed/f0", "sealed", 1},
                                                               {"unlisted", "unlisted", 0}};
    for (const auto& [rel, kept, entries] : cases) {
        const std::string path = tmp_ / rel;
        auto child = [&] {  // the empty unlisted directory is counted
            int rc = rel == "unlisted" ? FSCount(path, nullptr) : FSRemove(path, false);
            return rc == -3 && errno == EACCES ? 0 : 1;
        };
        EXPECT_EQ(0, testutil::RunInChild(child, true)) << rel;
        ASSERT_EQ(0, chmod((tmp_ / kept).c_str(), 0755));
        EXPECT_EQ(entries, CountEntries(tmp_ / kept)) << rel;
    }
}

TEST_F(FSRemoveTest, DepthIsBoundedNeitherByPathsNorByDescriptors) {
    MakeChain(tmp_ / "deep", PATH_MAX / 200 + 10, std::string(200, 'n'), 2);
    MakeChain(tmp_ / "chain", 10000, "d");
    MakeFiles(tmp_ / "wide", 300);  // deep branches below it: parked ancestors resume
    for (int i = 0; i < 30; ++i) MakeChain(tmp_ / "wide/b" + std::to_string(i), 20, "x", 1);
    EXPECT_EQ(0, RunConfined(tmp_.path(), [](const std::string& base) {
                  if (!testutil::LimitDescriptors(32)) return 1;
                  for (const char* t : {"/deep", "/chain", "/wide"})
                      if (FSRemove(base + t, false) != 0) return 2;
                  return 0;
              }));
    EXPECT_EQ(0, CountEntries(tmp_.path()));
}

TEST_F(FSRemoveTest, ChangesMidWalk) {
    // A middle level moved into the sentinel (keeping its name) while the
    // walk is deep below it, upper levels parked: climbing back through ".."
    // would lead into the sentinel, and is refused.
    MakeChain(tmp_ / "tree", 20, "d", 1);
    MakeFiles(tmp_ / "sentinel", 200, "keep");
    const ino_t deep = InodeOf(tmp_ / "tree/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d/d");
    auto move = [&](const std::string& b, int fd) {
        return InodeOf("", fd) == deep &&
               rename((b + "/tree/d/d/d/d/d/d").c_str(), (b + "/sentinel/d").c_str()) == 0;
    };
    EXPECT_EQ(0, RemoveActing(tmp_.path(), move, -3));
    EXPECT_EQ(201, CountEntries(tmp_ / "sentinel"));
    EXPECT_EQ(0, CountEntries(tmp_ / "sentinel/d"));  // what was below it was ours
    ASSERT_EQ(0, FSRemove(tmp_ / "tree", false));

    // Files created in a directory closed and resumed (deep branches) land
    // partly behind the resumed position: found by listing it again.
    MakeFiles(tmp_ / "tree", 0);
    for (int i = 0; i < 60; ++i) MakeChain(tmp_ / "tree/b" + std::to_string(i), 10, "x");
    const ino_t top = InodeOf(tmp_ / "tree");
    int removals = 0;
    auto add = [&](const std::string& b, int fd) {
        return InodeOf("", fd) == top && ++removals == 30 &&
               (MakeFiles(b + "/tree", 100, "n"), true);
    };
    EXPECT_EQ(0, RemoveActing(tmp_.path(), add, 0));
    EXPECT_FALSE(PathExists(tmp_ / "tree"));

    // Every subdirectory swapped for a link at the first removal, in a tree
    // large enough for both workers: the links go, so 0 is the only answer.
    for (const char* d : {"tree", "hold"}) MakeFiles(tmp_ / d, 0);
    MakeFiles(tmp_ / "tree", 1100);
    for (int i = 0; i < 6; ++i) MakeChain(tmp_ / "tree/s" + std::to_string(i), 1, "x", 5);
    auto swap = [](const std::string& b, int) {
        for (int i = 0; i < 6; ++i) {
            std::string d = b + "/tree/s" + std::to_string(i);
            rename(d.c_str(), (b + "/hold/s" + std::to_string(i)).c_str());
            symlink((b + "/sentinel").c_str(), d.c_str());
        }
        return true;
    };
    EXPECT_EQ(0, RemoveActing(tmp_.path(), swap, 0));
    EXPECT_FALSE(PathExists(tmp_ / "tree"));
    EXPECT_EQ(201, CountEntries(tmp_ / "sentinel"));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(6, CountEntries(tmp_ / "hold/s" + std::to_string(i)));
}

TEST_F(FSRemoveTest, SummaryCountsEntriesAndBytesLikeDu) {
    // 15 entries, the top included, of widely differing sizes; one object
    // under two names, one also linked from outside.
    std::string top = tmp_ / "tree", outside = tmp_ / "outside";
    Sh("mkdir -p tree/sub/empty tree/pair && printf x >tree/small && touch tree/sub/e0 tree/sub/e1 "
       "tree/sub/e2 && ln -s small tree/link && mkfifo tree/sub/fifo");
    for (auto [rel, size] : {std::pair{"tree/mid", 10000},
                             {"tree/sub/big", 200000},
                             {"tree/pair/twice", 50000},
                             {"outside", 30000}})
        testutil::WriteFile(tmp_ / rel, std::string(size, rel[5]));
    Sh("ln tree/pair/twice tree/pair/again && ln outside tree/from-outside");
    auto du_of = [](const std::string& path) {
        testutil::CommandResult r = testutil::RunCommand({"du", "-s", "-B1", "--", path});
        return r.status == 0 ? std::stoull(r.out) : ~0ull;
    };
    const uint64_t du = du_of(top), outside_du = du_of(outside);
    // Counted only, with bytes, entries and bytes found.
    const std::tuple<std::string, bool, bool, uint64_t, uint64_t> cases[] = {
        {top, true, false, 15, 0},    {top, true, true, 15, du},
        {top, false, true, 15, du},   {outside, true, true, 1, outside_du},
        {outside, true, false, 1, 0}, {outside, false, true, 1, outside_du},
        {outside, false, true, 0, 0}};  // now absent
    for (const auto& [path, count_only, want_bytes, entries, bytes] : cases) {
        FSRemoveSummary sum;
        sum.want_bytes = want_bytes;
        sum.entries = 100;  // added to, never reset
        EXPECT_EQ(0, count_only ? FSCount(path, &sum) : FSRemove(path, false, &sum)) << path;
        EXPECT_EQ(std::make_tuple(100 + entries, bytes, count_only),
                  std::make_tuple(sum.entries.load(), sum.bytes.load(), PathExists(path)))
            << path;
    }
}

using FSRemoveThreads = FSRemoveTest;

TEST_F(FSRemoveThreads, OnlyLargeTreesTakeASecondWorker) {
    // A couple of hundred entries start no thread; sibling subtrees are shared.
    for (auto [dirs, files, threads] : {std::tuple{2, 50, 1}, {8, 40, Workers()}}) {
        std::string top = tmp_ / "tree";
        const uint64_t planted = MakeWide(top, dirs, dirs, files);
        FSRemoveSummary removed;
        ResetThreads();
        ScopedRemoveHook hook(CountThreads);
        EXPECT_EQ(0, FSRemove(top, false, &removed));
        EXPECT_EQ(planted, removed.entries.load());
        EXPECT_EQ(threads, g_max_threads.load()) << dirs;
        EXPECT_EQ(threads > 1, g_by_others > 0) << dirs;  // it did take a share
        EXPECT_FALSE(PathExists(top));
    }
}

// The second worker's first removal seals its directory (it runs unprivileged
// and owns the tree), so the failure is its own and never the calling thread's.
std::atomic<bool> g_sealed{false};
void SealOnSecondWorker(int parent_fd, const char*) {
    if (std::this_thread::get_id() != g_main && !g_sealed.exchange(true)) fchmod(parent_fd, 0555);
}

TEST_F(FSRemoveThreads, FailureOfTheSecondWorkerStopsBothAndIsReported) {
    if (Workers() < 2) GTEST_SKIP() << "one core: no second worker";
    std::string top = tmp_ / "tree";
    const uint64_t planted = MakeWide(top, 8, 8, 40);
    Sh("chmod 755 . && chown -R nobody tree");
    auto child = [&] {
        FSRemoveSummary before, sum, after;
        before.want_bytes = sum.want_bytes = after.want_bytes = true;
        if (FSCount(top, &before) != 0) return 4;
        g_main = std::this_thread::get_id();
        ScopedRemoveHook hook(SealOnSecondWorker);
        int rc = FSRemove(top, false, &sum), err = errno;
        if (!g_sealed || rc != -3 || err != EACCES) return 1;
        if (FSCount(top, &after) != 0 || after.entries < 40) return 2;
        const bool whole = sum.entries + after.entries == planted;
        return whole && sum.bytes + after.bytes == before.bytes ? 0 : 3;
    };
    EXPECT_EQ(0, testutil::RunInChild(child, true));
}

TEST_F(FSRemoveThreads, DirectorySwappedForALinkIsNeverFollowed) {
    std::string sentinel = tmp_ / "sentinel", hold = tmp_ / "hold";
    MakeWide(sentinel, 1, 1, 20);
    MakeFiles(hold, 0);
    const int kDirs = 120;  // some two thousand entries: both workers take part
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    std::atomic<long> swaps{0};
    ResetThreads();
    ScopedRemoveHook hook(CountThreads);
    for (int round = 0; round < 25 && std::chrono::steady_clock::now() < deadline; ++round) {
        std::string top = tmp_ / ("tree" + std::to_string(round));
        MakeWide(top, kDirs, 1, 15);
        std::atomic<bool> done{false};
        g_by_others = 0;
        std::thread attacker([&] {
            // Swaps start once the second worker removes, so that both meet them.
            while (Workers() > 1 && g_by_others == 0 && !done) std::this_thread::yield();
            for (long n = 0; n < 2000000 && !done; ++n) {
                std::string d = top + "/d" + std::to_string(n % kDirs);
                std::string parked = hold + "/r" + std::to_string(round) + "-" + std::to_string(n);
                if (rename(d.c_str(), parked.c_str()) != 0) continue;
                if (symlink((sentinel + "/d0").c_str(), d.c_str()) == 0) ++swaps;
                std::this_thread::yield();
                unlink(d.c_str());
                rename(parked.c_str(), d.c_str());  // fails once the top is gone
            }
        });
        int rc = FSRemove(top, false);
        done = true;
        attacker.join();
        EXPECT_TRUE(rc == 0 || rc == -3) << rc;
        ASSERT_EQ(20, CountEntries(sentinel + "/d0/e0")) << "round " << round;
        // Whatever the race left behind is removed on a quiet second try.
        EXPECT_EQ(0, FSRemove(top, false));
        EXPECT_FALSE(PathExists(top));
    }
    EXPECT_GT(swaps.load(), 0);
    EXPECT_EQ(1 + Workers(), g_max_threads.load());  // the attacker too
}

}  // namespace
