// Recursive removal, traversal and directory reading.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "file-op.h"
#include "fs-internal.h"
#include "logger.h"
#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::TempDir;

void MakeDir(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(path.c_str(), mode)) << path << ": " << strerror(errno);
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// Creates a chain of `depth` directories named `name` below `top` (which must
// exist), each holding `files_per_level` small files. Works through
// descriptors, so the chain may be far longer than PATH_MAX.
void MakeChain(const std::string& top, int depth, const std::string& name,
               int files_per_level = 0) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << top;
    for (int i = 0; i < depth; ++i) {
        for (int f = 0; f < files_per_level; ++f) {
            std::string fname = "file" + std::to_string(f);
            int ffd = openat(fd, fname.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(ffd, 0);
            ASSERT_EQ(1, write(ffd, "x", 1));
            close(ffd);
        }
        ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755)) << "level " << i << ": " << strerror(errno);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(next, 0);
        close(fd);
        fd = next;
    }
    close(fd);
}

// Creates `count` empty files in dir.
void MakeFiles(const std::string& dir, int count, const std::string& prefix = "f") {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << dir;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(i);
        int ffd = openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(ffd, 0) << name << ": " << strerror(errno);
        close(ffd);
    }
    close(fd);
}

// Creates `count` names in dir as hard links to a few files: far quicker to
// make than as many inodes, and the same work for a walk over the entries.
void MakeLinkedNames(const std::string& dir, int count) {
    const int kPerInode = 50000;  // below ext4's link limit
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << dir;
    for (int i = 0; i < count; ++i) {
        std::string name = "n" + std::to_string(i);
        if (i % kPerInode == 0) {
            int ffd = openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            ASSERT_GE(ffd, 0) << name << ": " << strerror(errno);
            close(ffd);
        } else {
            std::string first = "n" + std::to_string(i - i % kPerInode);
            ASSERT_EQ(0, linkat(fd, first.c_str(), fd, name.c_str(), 0))
                << name << ": " << strerror(errno);
        }
    }
    close(fd);
}

int CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* de = readdir(d)) {
        if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0) ++n;
    }
    closedir(d);
    return n;
}

// Runs fn in a forked child. Walks that climb back through ".." could, if
// broken, escape the test's directory and remove the machine's files (the
// suite runs as root in CI), so a root child is first confined to dir by
// chroot; fn then gets base "" and paths rooted at dir. Unprivileged, base is
// dir itself.
int RunConfined(const std::string& dir, const std::function<int(const std::string& base)>& fn) {
    return testutil::RunInChild([&] {
        if (geteuid() != 0) return fn(dir);
        if (chroot(dir.c_str()) != 0 || chdir("/") != 0) return 99;
        return fn("");
    });
}

// ---------------------------------------------------------------- FSRemove

class FSRemoveTest : public ::testing::Test {
  protected:
    TempDir tmp_;
};

TEST_F(FSRemoveTest, NothingToRemoveAndBadArguments) {
    EXPECT_EQ(0, FSRemove(tmp_ / "absent", false));
    EXPECT_EQ(0, FSRemove(tmp_ / "absent", true));
    EXPECT_EQ(-1, FSRemove(ustring(""), false));
    std::string f = tmp_ / "file";
    testutil::WriteFile(f, "x");
    // The status of a path below a regular file cannot be taken.
    EXPECT_EQ(-1, FSRemove(f + "/below", false));
    EXPECT_TRUE(PathExists(f));
}

TEST_F(FSRemoveTest, SingleObjectsOfEveryKind) {
    std::string f = tmp_ / "file";
    testutil::WriteFile(f, "content");
    std::string fifo = tmp_ / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string empty = tmp_ / "empty-dir";
    MakeDir(empty);
    for (const std::string& p : {f, fifo, empty}) {
        EXPECT_EQ(0, FSRemove(p, true)) << p;
        EXPECT_FALSE(PathExists(p)) << p;
    }
    EXPECT_EQ(0, CountEntries(tmp_.path()));
}

TEST_F(FSRemoveTest, NestedTreeWithAwkwardNames) {
    std::string top = tmp_ / "tree";
    MakeDir(top);
    const std::vector<std::string> names = {
        "plain",
        "with space",
        "new\nline",
        "-leading-dash",
        "--",
        "bad\xff\xfe"
        "bytes",
        "caf\xc3\xa9",
        ".hidden",
        "..dots",
        "tab\there",
    };
    for (const std::string& n : names) {
        testutil::WriteFile(top + "/" + n, n);
        MakeDir(top + "/dir " + n);
        testutil::WriteFile(top + "/dir " + n + "/" + n, n);
        MakeDir(top + "/dir " + n + "/" + n + " sub");
        MakeDir(top + "/dir " + n + "/" + n + " sub/empty");
    }
    MakeDir(top + "/a");
    MakeDir(top + "/a/b");
    MakeDir(top + "/a/b/c");
    MakeFiles(top + "/a/b/c", 50);
    MakeFiles(top + "/a", 50);

    EXPECT_EQ(0, FSRemove(top, false));
    EXPECT_FALSE(PathExists(top));
    EXPECT_EQ(0, CountEntries(tmp_.path()));
}

TEST_F(FSRemoveTest, TrailingSlashesAndRelativeNames) {
    std::string top = tmp_ / "tree";
    MakeDir(top);
    MakeFiles(top, 5);
    EXPECT_EQ(0, FSRemove(top + "//", false));
    EXPECT_FALSE(PathExists(top));

    MakeDir(top);
    MakeDir(top + "/sub");
    int rc = testutil::RunInChild([&] {
        if (chdir(tmp_.path().c_str()) != 0) return 10;
        if (FSRemove(ustring("tree/sub"), false) != 0) return 11;
        if (PathExists(tmp_ / "tree/sub")) return 12;
        if (FSRemove(ustring("tree"), false) != 0) return 13;
        return PathExists(tmp_ / "tree") ? 14 : 0;
    });
    EXPECT_EQ(0, rc);
}

TEST_F(FSRemoveTest, NamesThatCanNeverBeRemovedAreRefusedUntouched) {
    // rmdir refuses ".", ".." and "/", so emptying them first could only
    // destroy data before failing.
    std::string top = tmp_ / "tree";
    MakeDir(top);
    MakeDir(top + "/sub");
    MakeFiles(top, 3);
    EXPECT_EQ(-3, FSRemove(top + "/.", false));
    EXPECT_EQ(-3, FSRemove(top + "/./", false));
    EXPECT_EQ(-3, FSRemove(top + "/sub/..", false));
    EXPECT_EQ(4, CountEntries(top));
    if (geteuid() != 0) return;  // the root case needs a private root directory
    int rc = testutil::RunInChild([&] {
        if (chroot(top.c_str()) != 0 || chdir("/") != 0) return 10;
        if (FSRemove(ustring("/"), false) != -3) return 11;
        if (FSRemove(ustring("///"), false) != -3) return 12;
        return 0;
    });
    EXPECT_EQ(0, rc);
    EXPECT_EQ(4, CountEntries(top));
}

TEST_F(FSRemoveTest, LinksAreRemovedAsLinksAndTargetsSurvive) {
    std::string outside = tmp_ / "outside";
    MakeDir(outside);
    MakeFiles(outside, 10);
    std::string outside_file = tmp_ / "outside-file";
    testutil::WriteFile(outside_file, "keep");

    std::string top = tmp_ / "tree";
    MakeDir(top);
    MakeDir(top + "/sub");
    ASSERT_EQ(0, symlink(outside.c_str(), (top + "/sub/to-dir").c_str()));
    ASSERT_EQ(0, symlink(outside_file.c_str(), (top + "/to-file").c_str()));
    ASSERT_EQ(0, symlink("/nonexistent/target", (top + "/dangling").c_str()));
    MakeFiles(top + "/sub", 5);

    EXPECT_EQ(0, FSRemove(top, false));
    EXPECT_FALSE(PathExists(top));
    EXPECT_EQ(10, CountEntries(outside));
    EXPECT_EQ("keep", testutil::ReadFile(outside_file));

    // The path itself a link to a directory: only the link goes.
    std::string link = tmp_ / "link";
    ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
    EXPECT_EQ(0, FSRemove(link, false));
    EXPECT_FALSE(PathExists(link));
    EXPECT_EQ(10, CountEntries(outside));

    // With a trailing slash the path names the linked directory; nothing
    // below a link is removed, so the call fails and changes nothing.
    ASSERT_EQ(0, symlink(outside.c_str(), link.c_str()));
    EXPECT_EQ(-3, FSRemove(link + "/", false));
    EXPECT_TRUE(PathExists(link));
    EXPECT_EQ(10, CountEntries(outside));
}

TEST_F(FSRemoveTest, ParentReachedThroughALinkIsResolved) {
    std::string real = tmp_ / "real";
    MakeDir(real);
    MakeDir(real + "/work");
    MakeFiles(real + "/work", 4);
    ASSERT_EQ(0, symlink(real.c_str(), (tmp_ / "alias").c_str()));
    EXPECT_EQ(0, FSRemove(tmp_ / "alias/work", false));
    EXPECT_FALSE(PathExists(real + "/work"));
    EXPECT_TRUE(PathExists(tmp_ / "alias"));
}

TEST_F(FSRemoveTest, UnreadableDirectoryFailsAndStays) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0777));
    std::string locked = tmp_ / "locked";
    MakeDir(locked, 0777);
    MakeFiles(locked, 3);
    ASSERT_EQ(0, chmod(locked.c_str(), 0333));  // writable and searchable, not readable
    int rc = testutil::RunInChild(
        [&] {
            int r = FSRemove(locked, false);
            if (r != -3) return 20 + (r + 5);
            return PathExists(locked) ? 0 : 1;
        },
        true);
    EXPECT_EQ(0, rc);
    ASSERT_EQ(0, chmod(locked.c_str(), 0755));
    EXPECT_EQ(3, CountEntries(locked));
}

TEST_F(FSRemoveTest, UnwritableSubdirectoryStopsTheRemoval) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0777));
    std::string top = tmp_ / "tree";
    MakeDir(top, 0777);
    std::string sealed = top + "/sealed";
    MakeDir(sealed, 0777);
    MakeFiles(sealed, 3);
    ASSERT_EQ(0, chmod(sealed.c_str(), 0555));
    int rc = testutil::RunInChild([&] { return FSRemove(top, false) == -3 ? 0 : 1; }, true);
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(PathExists(top));
    EXPECT_TRUE(PathExists(sealed));
    EXPECT_EQ(3, CountEntries(sealed));
}

TEST_F(FSRemoveTest, UnremovableFileAtTheTopFails) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0777));
    std::string sealed = tmp_ / "sealed";
    MakeDir(sealed, 0777);
    testutil::WriteFile(sealed + "/f", "x");
    ASSERT_EQ(0, chmod(sealed.c_str(), 0555));
    int rc =
        testutil::RunInChild([&] { return FSRemove(sealed + "/f", false) == -3 ? 0 : 1; }, true);
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(PathExists(sealed + "/f"));
}

TEST_F(FSRemoveTest, TreeDeeperThanPathMax) {
    std::string top = tmp_ / "deep";
    MakeDir(top);
    std::string name(200, 'n');
    const int depth = PATH_MAX / 200 + 10;
    MakeChain(top, depth, name, 2);
    EXPECT_EQ(0, FSRemove(top, false));
    EXPECT_FALSE(PathExists(top));
}

TEST_F(FSRemoveTest, VeryDeepChainWithFewDescriptors) {
    std::string top = tmp_ / "chain";
    MakeDir(top);
    MakeChain(top, 10000, "d");
    int rc = RunConfined(tmp_.path(), [](const std::string& base) {
        struct rlimit lim = {32, 32};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
        int r = FSRemove(base + "/chain", false);
        return r == 0 ? 0 : 20 + (r + 5);
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(PathExists(top));
}

TEST_F(FSRemoveTest, WideDirectoriesBelowDeepParkedAncestors) {
    // Ancestors whose streams were closed on the way down are reopened and
    // resumed; every sibling after a deep branch must still be removed.
    std::string top = tmp_ / "wide";
    MakeDir(top);
    for (int i = 0; i < 30; ++i) {
        std::string branch = top + "/b" + std::to_string(i);
        MakeDir(branch);
        MakeChain(branch, 20, "x", 1);
    }
    MakeFiles(top, 300);
    EXPECT_EQ(0, RunConfined(tmp_.path(), [](const std::string& base) {
                  return FSRemove(base + "/wide", false) == 0 ? 0 : 1;
              }));
    EXPECT_FALSE(PathExists(top));
}

TEST_F(FSRemoveTest, LargeDirectoryIsEmptiedCompletely) {
    std::string top = tmp_ / "big";
    MakeDir(top);
    MakeLinkedNames(top, 200000);
    ASSERT_EQ(200000, CountEntries(top));
    EXPECT_EQ(0, FSRemove(top, false));
    EXPECT_FALSE(PathExists(top));
}

// Installs a hook into the removal walk for one scope.
class ScopedRemoveHook {
  public:
    explicit ScopedRemoveHook(void (*hook)(int, const char*)) {
        fileop_internal::g_after_remove_hook = hook;
    }
    ~ScopedRemoveHook() { fileop_internal::g_after_remove_hook = nullptr; }
};

ino_t InodeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

ino_t InodeOfFd(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

// Hooks are plain functions; these carry their parameters.
struct MoveAway {
    ino_t trigger_dir = 0;  // act when an entry of this directory was removed
    std::string from, to;
    bool done = false;
} g_move;

struct AddLate {
    ino_t trigger_dir = 0;
    int countdown = 0;  // act at this many removals from trigger_dir
    std::string dir;
    int added = 0;
} g_add;

TEST_F(FSRemoveTest, AncestorMovedAwayMidWalkIsNotFollowed) {
    // While the walk is deep in a chain (upper levels parked), a middle level
    // is moved into another directory: climbing back through ".." would now
    // lead there, and must be refused rather than emptying that directory.
    std::string top = tmp_ / "tree";
    MakeDir(top);
    MakeChain(top, 20, "d", 1);
    std::string sentinel = tmp_ / "sentinel";
    MakeDir(sentinel);
    // Many entries, so that a stream wrongly resumed in here at the saved
    // position of the level it replaced is all but certain to meet some.
    MakeFiles(sentinel, 200, "keep");

    std::string level = top;
    for (int i = 0; i < 6; ++i) level += "/d";
    std::string deep = level;
    for (int i = 6; i < 16; ++i) deep += "/d";
    g_move = MoveAway();
    g_move.trigger_dir = InodeOf(deep);
    int rc = RunConfined(tmp_.path(), [&](const std::string& base) {
        g_move.from = base + level.substr(tmp_.path().size());
        // The same name: its rmdir through a wrong parent would succeed.
        g_move.to = base + "/sentinel/d";
        ScopedRemoveHook hook([](int parent_fd, const char*) {
            if (g_move.done || InodeOfFd(parent_fd) != g_move.trigger_dir) return;
            g_move.done = rename(g_move.from.c_str(), g_move.to.c_str()) == 0;
        });
        int r = FSRemove(base + "/tree", false);
        if (!g_move.done) return 1;
        return r == -3 ? 0 : 20 + (r + 5);
    });
    EXPECT_EQ(0, rc);
    EXPECT_EQ(201, CountEntries(sentinel));
    // Everything below the moved level was still ours and is gone.
    EXPECT_EQ(0, CountEntries(sentinel + "/d"));
}

TEST_F(FSRemoveTest, EntriesAddedBehindTheCursorAreRemovedToo) {
    // Branches deeper than the open-stream budget make the top directory be
    // closed and resumed; files created in it meanwhile land partly before
    // the resumed position and are found by listing it again.
    std::string top = tmp_ / "tree";
    MakeDir(top);
    for (int i = 0; i < 60; ++i) {
        std::string branch = top + "/b" + std::to_string(i);
        MakeDir(branch);
        MakeChain(branch, 10, "x");
    }
    g_add = AddLate();
    g_add.trigger_dir = InodeOf(top);
    g_add.countdown = 30;
    int rc = RunConfined(tmp_.path(), [](const std::string& base) {
        g_add.dir = base + "/tree";
        ScopedRemoveHook hook([](int parent_fd, const char*) {
            if (InodeOfFd(parent_fd) != g_add.trigger_dir || --g_add.countdown != 0) return;
            for (int i = 0; i < 100; ++i) {
                std::string f = g_add.dir + "/late" + std::to_string(i);
                int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                if (fd >= 0) {
                    close(fd);
                    ++g_add.added;
                }
            }
        });
        int r = FSRemove(g_add.dir, false);
        if (g_add.added != 100) return 1;
        return r == 0 ? 0 : 20 + (r + 5);
    });
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(PathExists(top));
}

// Allocated bytes of a tree as du counts them (each object once).
uint64_t DuBytes(const std::string& path) {
    testutil::CommandResult r = testutil::RunCommand({"du", "-s", "-B1", "--", path});
    return r.status == 0 ? std::stoull(r.out) : ~0ull;
}

// Plants a tree of 15 entries (the top included) whose sizes differ widely
// and which holds an object under two names plus one linked from outside.
void PlantSummaryTree(const std::string& top, const std::string& outside) {
    MakeDir(top);
    MakeDir(top + "/sub");
    MakeDir(top + "/sub/empty");
    MakeDir(top + "/pair");
    testutil::WriteFile(top + "/small", "x");
    testutil::WriteFile(top + "/mid", std::string(10000, 'm'));
    testutil::WriteFile(top + "/sub/big", std::string(200000, 'b'));
    testutil::WriteFile(top + "/pair/twice", std::string(50000, 't'));
    ASSERT_EQ(0, link((top + "/pair/twice").c_str(), (top + "/pair/twice-again").c_str()));
    testutil::WriteFile(outside, std::string(30000, 'o'));
    ASSERT_EQ(0, link(outside.c_str(), (top + "/from-outside").c_str()));
    ASSERT_EQ(0, symlink("small", (top + "/link").c_str()));
    ASSERT_EQ(0, mkfifo((top + "/sub/fifo").c_str(), 0600));
    MakeFiles(top + "/sub", 3, "e");
}

TEST_F(FSRemoveTest, SummaryCountsEntriesAndBytesLikeDu) {
    std::string top = tmp_ / "tree";
    PlantSummaryTree(top, tmp_ / "outside");
    const uint64_t du = DuBytes(top);
    ASSERT_GT(du, 290000u);
    struct Case {
        bool count_only, want_bytes;
    };
    for (Case c : {Case{true, false}, Case{true, true}, Case{false, true}}) {
        SCOPED_TRACE(testing::Message() << "count_only " << c.count_only);
        FSRemoveSummary sum;
        sum.want_bytes = c.want_bytes;
        sum.entries = 100;  // added to, never reset
        EXPECT_EQ(0, c.count_only ? FSCount(top, &sum) : FSRemove(top, false, &sum));
        EXPECT_EQ(115u, sum.entries.load());
        EXPECT_EQ(c.want_bytes ? du : 0u, sum.bytes.load());
        EXPECT_EQ(c.count_only, PathExists(top));
    }
    EXPECT_EQ(30000u, testutil::ReadFile(tmp_ / "outside").size());

    // A single object, and nothing at all.
    std::string f = tmp_ / "outside";
    const uint64_t f_du = DuBytes(f);
    for (bool count_only : {true, false}) {
        FSRemoveSummary sum;
        sum.want_bytes = true;
        EXPECT_EQ(0, count_only ? FSCount(f, &sum) : FSRemove(f, false, &sum));
        EXPECT_EQ(1u, sum.entries.load());
        EXPECT_EQ(f_du, sum.bytes.load());
    }
    FSRemoveSummary none;
    none.want_bytes = true;
    EXPECT_EQ(0, FSCount(f, &none));
    EXPECT_EQ(0, FSRemove(f, false, &none));
    EXPECT_EQ(0u, none.entries.load() + none.bytes.load());
    EXPECT_EQ(0, FSCount(f, nullptr));
    EXPECT_EQ(-1, FSCount(ustring(""), &none));
}

TEST_F(FSRemoveTest, SummaryOfAPartialRemovalHoldsWhatWent) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0777));
    std::string top = tmp_ / "tree";
    PlantSummaryTree(top, tmp_ / "outside");
    std::string sealed = top + "/sub/sealed";
    MakeDir(sealed, 0777);
    MakeFiles(sealed, 5);
    for (const char* d : {"", "/sub", "/sub/empty", "/pair"})
        ASSERT_EQ(0, chmod((top + d).c_str(), 0777));
    ASSERT_EQ(0, chmod(sealed.c_str(), 0555));
    MakeDir(tmp_ / "unreadable", 0333);
    FSRemoveSummary before;
    before.want_bytes = true;
    ASSERT_EQ(0, FSCount(top, &before));
    ASSERT_EQ(21u, before.entries.load());
    std::string report = tmp_ / "report";
    int rc = testutil::RunInChild(
        [&] {
            testutil::ChildReport r(report);
            FSRemoveSummary sum;
            sum.want_bytes = true;
            r.Put("rc", FSRemove(top, false, &sum));
            r.Put("entries", static_cast<long>(sum.entries));
            r.Put("bytes", static_cast<long>(sum.bytes));
            // An unreadable directory stops a count as it stops a removal.
            FSRemoveSummary counted;
            r.Put("count_rc", FSCount(tmp_ / "unreadable", &counted));
            return 0;
        },
        true);
    ASSERT_EQ(0, rc);
    FSRemoveSummary after;
    after.want_bytes = true;
    ASSERT_EQ(0, FSCount(top, &after));
    auto got = testutil::ReadChildReport(report);
    EXPECT_EQ("-3", got["rc"]);
    EXPECT_EQ(std::to_string(21 - after.entries), got["entries"]);
    EXPECT_EQ(std::to_string(before.bytes - after.bytes), got["bytes"]);
    EXPECT_EQ("-3", got["count_rc"]);
    EXPECT_EQ(5, CountEntries(sealed));
}

using FSRemoveThreads = FSRemoveTest;

TEST_F(FSRemoveThreads, DirectorySwappedForALinkIsNeverFollowed) {
    std::string sentinel = tmp_ / "sentinel";
    MakeDir(sentinel);
    MakeFiles(sentinel, 20, "s");
    MakeDir(sentinel + "/inner");
    MakeFiles(sentinel + "/inner", 20, "s");
    std::string hold = tmp_ / "hold";
    MakeDir(hold);

    const int kDirs = 40;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    long swaps = 0;
    for (int round = 0; round < 25 && std::chrono::steady_clock::now() < deadline; ++round) {
        std::string top = tmp_ / ("tree" + std::to_string(round));
        MakeDir(top);
        for (int i = 0; i < kDirs; ++i) {
            std::string d = top + "/d" + std::to_string(i);
            MakeDir(d);
            MakeFiles(d, 20);
            MakeDir(d + "/nested");
            MakeFiles(d + "/nested", 5);
        }
        std::atomic<bool> done{false};
        std::thread attacker([&] {
            for (long n = 0; n < 2000000 && !done.load(); ++n) {
                int i = static_cast<int>(n % kDirs);
                std::string d = top + "/d" + std::to_string(i);
                std::string parked = hold + "/r" + std::to_string(round) + "-" + std::to_string(i);
                if (rename(d.c_str(), parked.c_str()) != 0) continue;
                if (symlink(sentinel.c_str(), d.c_str()) == 0) ++swaps;
                std::this_thread::yield();
                unlink(d.c_str());
                if (rename(parked.c_str(), d.c_str()) != 0) {
                    // The tree's top is gone; leave the directory parked.
                }
            }
        });
        int rc = FSRemove(top, false);
        done = true;
        attacker.join();
        EXPECT_TRUE(rc == 0 || rc == -3) << rc;
        ASSERT_EQ(21, CountEntries(sentinel)) << "round " << round;
        ASSERT_EQ(20, CountEntries(sentinel + "/inner")) << "round " << round;
        // Whatever the race left behind is removed on a quiet second try.
        EXPECT_EQ(0, FSRemove(top, false));
        EXPECT_FALSE(PathExists(top));
    }
    EXPECT_GT(swaps, 0);
    EXPECT_EQ(0, FSRemove(hold, false));
    EXPECT_EQ(21, CountEntries(sentinel));
}

// ---------------------------------------------------------------- TraverseDir

struct Visit {
    std::vector<std::string> paths;
    std::string stop_at;  // return 1 when this path is visited
};

int Record(const ustring& path, void* priv) {
    Visit* v = static_cast<Visit*>(priv);
    v->paths.emplace_back(path.c_str());
    return v->paths.back() == v->stop_at ? 1 : 0;
}

// The expected visit: pre-order, each directory in its own listing order.
void ReferenceWalk(const std::string& dir, std::vector<std::string>& out) {
    out.push_back(dir);
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* de = readdir(d)) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
        std::string child = dir + "/" + de->d_name;
        if (de->d_type == DT_DIR)
            ReferenceWalk(child, out);
        else
            out.push_back(child);
    }
    closedir(d);
}

class TraverseDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = tmp_ / "t";
        MakeDir(top_);
        for (const char* d : {"/a", "/a/aa", "/b", "/c", "/c/cc", "/c/cc/ccc"}) MakeDir(top_ + d);
        for (const char* f : {"/f1", "/a/f2", "/a/aa/f3", "/c/cc/ccc/f4", "/c/f5"})
            testutil::WriteFile(top_ + f, "x");
        ASSERT_EQ(0, symlink((top_ + "/a").c_str(), (top_ + "/b/link-to-a").c_str()));
    }
    TempDir tmp_;
    std::string top_;
};

TEST_F(TraverseDirTest, PreOrderInListingOrder) {
    Visit v;
    EXPECT_EQ(0, TraverseDir(top_, Record, &v));
    std::vector<std::string> expected;
    ReferenceWalk(top_, expected);
    EXPECT_EQ(expected, v.paths);
    EXPECT_EQ(13u, v.paths.size());
    // The link is visited, not descended into.
    EXPECT_EQ(1, std::count(v.paths.begin(), v.paths.end(), top_ + "/b/link-to-a"));
    EXPECT_EQ(0, std::count_if(v.paths.begin(), v.paths.end(), [&](const std::string& p) {
                  return p.rfind(top_ + "/b/link-to-a/", 0) == 0;
              }));
}

TEST_F(TraverseDirTest, StopsEarly) {
    Visit top_only;
    top_only.stop_at = top_;
    EXPECT_EQ(-2, TraverseDir(top_, Record, &top_only));
    EXPECT_EQ(std::vector<std::string>{top_}, top_only.paths);

    std::vector<std::string> full;
    ReferenceWalk(top_, full);
    for (const std::string& stop : {top_ + "/a/aa/f3", top_ + "/c/cc", top_ + "/f1"}) {
        Visit v;
        v.stop_at = stop;
        EXPECT_EQ(-2, TraverseDir(top_, Record, &v)) << stop;
        auto at = std::find(full.begin(), full.end(), stop);
        ASSERT_NE(full.end(), at);
        EXPECT_EQ(std::vector<std::string>(full.begin(), at + 1), v.paths) << stop;
    }
}

TEST_F(TraverseDirTest, JoinsPathsAsWritten) {
    Visit v;
    EXPECT_EQ(0, TraverseDir(top_ + "/c/", Record, &v));
    std::vector<std::string> expected = {top_ + "/c/"};
    std::vector<std::string> rest;
    ReferenceWalk(top_ + "/c", rest);
    for (size_t i = 1; i < rest.size(); ++i)
        expected.push_back(top_ + "/c//" + rest[i].substr(top_.size() + 3));
    EXPECT_EQ(expected, v.paths);
    EXPECT_NE(v.paths.end(), std::find(v.paths.begin(), v.paths.end(), top_ + "/c//cc/ccc/f4"));
}

TEST_F(TraverseDirTest, RefusesWhatIsNotADirectory) {
    Visit v;
    EXPECT_EQ(-1, TraverseDir(top_ + "/f1", Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_ + "/missing", Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_ + "/b/link-to-a", Record, &v));
    EXPECT_EQ(-1, TraverseDir(ustring(""), Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_, nullptr, &v));
    EXPECT_TRUE(v.paths.empty());
}

TEST_F(TraverseDirTest, UnreadableSubdirectoryEndsTheWalk) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0755));
    ASSERT_EQ(0, chmod((top_ + "/c/cc").c_str(), 0311));
    int rc = testutil::RunInChild(
        [&] {
            Visit v;
            if (TraverseDir(top_, Record, &v) != -2) return 1;
            // The walk ends at the unreadable directory: it is not visited.
            if (std::find(v.paths.begin(), v.paths.end(), top_ + "/c/cc") != v.paths.end())
                return 2;
            if (std::find(v.paths.begin(), v.paths.end(), top_ + "/c/cc/ccc") != v.paths.end())
                return 3;
            return 0;
        },
        true);
    EXPECT_EQ(0, rc);
    // Unreadable top: nothing is visited.
    ASSERT_EQ(0, chmod(top_.c_str(), 0311));
    rc = testutil::RunInChild(
        [&] {
            Visit v;
            return TraverseDir(top_, Record, &v) == -2 && v.paths.empty() ? 0 : 1;
        },
        true);
    EXPECT_EQ(0, rc);
}

// ---------------------------------------------------------------- FSReadDir

class ReadDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = tmp_ / "r";
        MakeDir(dir_);
        testutil::WriteFile(dir_ + "/file", "seventeen bytes!!");
        MakeDir(dir_ + "/sub");
        ASSERT_EQ(0, symlink("file", (dir_ + "/link").c_str()));
        ASSERT_EQ(0, mkfifo((dir_ + "/fifo").c_str(), 0600));
        ASSERT_EQ(0, FSUTime(dir_ + "/file", 1500000000, 1600000000));
    }
    void TearDown() override { Logger::log_level.erase(ustring("file_op_debug")); }

    struct Read {
        std::map<std::string, DIR_ENTRY> entries;
        int last = 99;
    };
    static Read ReadAll(DIR_HANDLE& dh) {
        Read r;
        DIR_ENTRY e;
        while ((r.last = FSReadDir(dh, e)) == 1) r.entries[e.name.c_str()] = e;
        return r;
    }

    TempDir tmp_;
    std::string dir_;
};

TEST_F(ReadDirTest, WithoutStatusEntriesCarryOnlyNameAndType) {
    DIR_HANDLE dh;
    EXPECT_EQ(nullptr, dh.dp);
    ASSERT_EQ(0, FSOpenDir(dir_, 0, dh));
    EXPECT_NE(nullptr, dh.dp);
    EXPECT_STREQ(dir_.c_str(), dh.path.c_str());
    Read r = ReadAll(dh);
    EXPECT_EQ(0, r.last);
    std::map<std::string, FILE_TYPE> types;
    for (auto& kv : r.entries) {
        types[kv.first] = kv.second.type;
        EXPECT_EQ(0u, kv.second.mtime) << kv.first;
        EXPECT_EQ(0u, kv.second.size) << kv.first;
    }
    std::map<std::string, FILE_TYPE> expected = {{".", FT_DIR},      {"..", FT_DIR},
                                                 {"file", FT_FILE},  {"sub", FT_DIR},
                                                 {"link", FT_SLINK}, {"fifo", FT_FIFO}};
    EXPECT_EQ(expected, types);

    // At the end the entry is left as it was.
    DIR_ENTRY e;
    e.name = "untouched";
    EXPECT_EQ(0, FSReadDir(dh, e));
    EXPECT_STREQ("untouched", e.name.c_str());
    FSCloseDir(dh);
}

TEST_F(ReadDirTest, WithStatusEntriesCarrySizeAndTime) {
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(dir_, 1 | 6, dh));
    EXPECT_EQ(7, dh.flag);
    Read r = ReadAll(dh);
    EXPECT_EQ(0, r.last);
    ASSERT_EQ(6u, r.entries.size());
    EXPECT_EQ(17u, r.entries["file"].size);
    EXPECT_EQ(1600000000u, r.entries["file"].mtime);
    EXPECT_EQ(4u, r.entries["link"].size);  // the link itself, not its target
    EXPECT_EQ(FT_SLINK, r.entries["link"].type);
    struct stat st;
    ASSERT_EQ(0, lstat((dir_ + "/sub").c_str(), &st));
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtime), r.entries["sub"].mtime);
    FSCloseDir(dh);
}

TEST_F(ReadDirTest, CloseClearsHandleAndIsHarmlessTwice) {
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(dir_, 5, dh));
    FSCloseDir(dh);
    EXPECT_EQ(nullptr, dh.dp);
    EXPECT_TRUE(dh.path.empty());
    EXPECT_EQ(5, dh.flag);
    FSCloseDir(dh);
    EXPECT_EQ(nullptr, dh.dp);
    DIR_HANDLE fresh;
    FSCloseDir(fresh);
    EXPECT_EQ(nullptr, fresh.dp);
}

TEST_F(ReadDirTest, FailuresAreLoggedAndLeaveStateAlone) {
    std::string missing = dir_ + "/absent";
    DIR_HANDLE dh;
    dh.path = "before";
    dh.flag = 3;
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSOpenDir(missing, 1, dh));
    DIR_ENTRY e;
    e.name = "kept";
    EXPECT_EQ(-1, FSReadDir(dh, e));  // not open
    std::string err = cap.Stop();
    EXPECT_STREQ("before", dh.path.c_str());
    EXPECT_EQ(3, dh.flag);
    EXPECT_EQ(nullptr, dh.dp);
    EXPECT_STREQ("kept", e.name.c_str());
    std::string ts = testutil::kTimestampRe;
    std::regex lines(
        "^" + ts + "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to open directory '" +
        missing + "'\\. No such file or directory\n" + ts +
        "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to read directory 'before'\\. "
        "Bad file descriptor\n$");
    EXPECT_TRUE(std::regex_match(err, lines)) << err;
}

TEST_F(ReadDirTest, EntryWhoseStatusFailsIsReported) {
    // Readable but not searchable: names can be listed, statuses not taken.
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0755));
    ASSERT_EQ(0, chmod(dir_.c_str(), 0444));
    int rc = testutil::RunInChild(
        [&] {
            DIR_HANDLE dh;
            if (FSOpenDir(dir_, 1, dh) != 0) return 1;
            DIR_ENTRY e;
            e.name = "kept";
            testutil::StderrCapture cap;
            int r = FSReadDir(dh, e);
            std::string err = cap.Stop();
            FSCloseDir(dh);
            if (r != -1) return 2;
            if (std::string(e.name.c_str()) != "kept") return 3;
            std::regex line("^" + std::string(testutil::kTimestampRe) +
                            "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to get info for '" +
                            dir_ + "/[^']+'\n$");
            return std::regex_match(err, line) ? 0 : 4;
        },
        true);
    EXPECT_EQ(0, rc);
    // Without the status bit the same directory reads fine.
    rc = testutil::RunInChild(
        [&] {
            DIR_HANDLE dh;
            if (FSOpenDir(dir_, 0, dh) != 0) return 1;
            Read r = ReadAll(dh);
            FSCloseDir(dh);
            return r.last == 0 && r.entries.size() == 6 ? 0 : 2;
        },
        true);
    EXPECT_EQ(0, rc);
}

}  // namespace
