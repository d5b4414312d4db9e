// Directory creation, copy, rename and temporary paths, checked against the
// real file system (and, where the machine allows, a second one).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "file-op.h"
#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::ReadFile;
using testutil::WriteFile;

std::string LogRe(const std::string& body) {
    return std::string("^") + testutil::kTimestampRe + body + "\n$";
}

mode_t ModeOf(const std::string& p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) return 0;
    return st.st_mode;
}

bool IsDir(const std::string& p) {
    return S_ISDIR(ModeOf(p));
}

ino_t InodeOf(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Deterministic, non-repeating content so that a misplaced block shows.
std::string Pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = static_cast<char>(x);
    }
    return s;
}

class FileCreateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(nullptr, getcwd(buf, sizeof buf));
        saved_cwd_ = buf;
        saved_umask_ = umask(022);
    }
    void TearDown() override {
        umask(saved_umask_);
        ASSERT_EQ(0, chdir(saved_cwd_.c_str()));
        FSInitialize(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    }
    testutil::TempDir dir_;
    std::string saved_cwd_;
    mode_t saved_umask_ = 022;
};

// ---- FSMKDirP ----

TEST_F(FileCreateTest, MkDirPCreatesThreeLevelsThenIsANoOp) {
    ASSERT_EQ(0, chdir(dir_.path().c_str()));
    ASSERT_EQ(0, FSMKDirP("a/b/c", nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_TRUE(IsDir(dir_ / "a"));
    EXPECT_TRUE(IsDir(dir_ / "a/b"));
    EXPECT_TRUE(IsDir(dir_ / "a/b/c"));
    EXPECT_EQ(0755u, ModeOf(dir_ / "a/b/c") & 07777);  // 0777 less umask 022

    WriteFile(dir_ / "a/b/c/marker", "x");
    ino_t before = InodeOf(dir_ / "a/b/c");
    ASSERT_EQ(0, chmod((dir_ / "a/b").c_str(), 0700));
    ASSERT_EQ(0, FSMKDirP("a/b/c", nullptr, false, 0777));
    EXPECT_EQ(before, InodeOf(dir_ / "a/b/c"));
    EXPECT_TRUE(PathExists(dir_ / "a/b/c/marker"));
    EXPECT_EQ(0700u, ModeOf(dir_ / "a/b") & 07777) << "existing directories keep their mode";

    // Empty, "." and ".." components name existing directories.
    EXPECT_EQ(0, FSMKDirP(dir_ / "a//b/./c/../d", nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_TRUE(IsDir(dir_ / "a/b/d"));

    EXPECT_EQ(-1, FSMKDirP("", nullptr, false, static_cast<mode_t>(-1)));
}

TEST_F(FileCreateTest, MkDirPWithARegularFileAtAPrefix) {
    ASSERT_EQ(0, mkdir((dir_ / "a").c_str(), 0755));
    WriteFile(dir_ / "a/f", "keep");

    const ustring below(dir_ / "a/f/c");
    errno = 0;
    EXPECT_EQ(-1, FSMKDirP(below, nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(ENOTDIR, errno);
    errno = 0;
    EXPECT_EQ(-1, FSMKDirP(dir_ / "a/f", nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(EEXIST, errno);
    errno = 0;
    EXPECT_EQ(-1, FSMKDirP(dir_ / "a/f/", nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(EEXIST, errno) << "a trailing slash still makes it the last component";
    EXPECT_EQ("keep", ReadFile(dir_ / "a/f"));

    EXPECT_EQ(0, FSMKDirP(below, nullptr, true, static_cast<mode_t>(-1)));
    EXPECT_TRUE(IsDir(dir_ / "a/f"));
    EXPECT_TRUE(IsDir(dir_ / "a/f/c"));
}

TEST_F(FileCreateTest, MkDirPExactModeUnderRestrictiveUmask) {
    umask(0077);
    ASSERT_EQ(0, FSMKDirP(dir_ / "m/n", nullptr, false, 0750));
    EXPECT_EQ(0750u, ModeOf(dir_ / "m") & 07777);
    EXPECT_EQ(0750u, ModeOf(dir_ / "m/n") & 07777);
    mode_t now = umask(0077);
    EXPECT_EQ(0077u, now) << "the mask is restored";

    // Restored on failure too.
    WriteFile(dir_ / "file", "");
    EXPECT_EQ(-1, FSMKDirP(dir_ / "file/x", nullptr, false, 0700));
    EXPECT_EQ(0077u, umask(0077));

    // The default mode goes through the mask.
    ASSERT_EQ(0, FSMKDirP(dir_ / "d", nullptr, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(0700u, ModeOf(dir_ / "d") & 07777);
}

TEST_F(FileCreateTest, MkDirPEndPointer) {
    char* end = nullptr;
    const ustring plain(dir_ / "p/q");
    ASSERT_EQ(0, FSMKDirP(plain, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(plain.c_str() + plain.length(), end);

    const ustring slash(dir_ / "s/t/");
    ASSERT_EQ(0, FSMKDirP(slash, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(slash.c_str() + slash.length() - 1, end);
    EXPECT_EQ('/', *end);

    WriteFile(dir_ / "f", "");
    const ustring bad(dir_ / "f/u/v");
    ASSERT_EQ(-1, FSMKDirP(bad, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(bad.c_str() + (dir_ / "f").size(), end) << "the slash after the failing component";

    const ustring bad_last(dir_ / "f");
    ASSERT_EQ(-1, FSMKDirP(bad_last, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(bad_last.c_str() + bad_last.length(), end);

    const ustring root("/");
    end = nullptr;
    EXPECT_EQ(0, FSMKDirP(root, &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(root.c_str() + 1, end);

    char* untouched = reinterpret_cast<char*>(&end);
    end = untouched;
    EXPECT_EQ(-1, FSMKDirP(ustring(""), &end, false, static_cast<mode_t>(-1)));
    EXPECT_EQ(untouched, end);
}

TEST_F(FileCreateTest, MkDirPReportsTheFailingMkdir) {
    // Run unprivileged so that the read-only directory really refuses.
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir_ / "ro").c_str(), 0555));
    const ustring path(dir_ / "ro/x/y");
    int rc = testutil::RunInChild(
        [&path, this] {
            char* end = nullptr;
            errno = 0;
            if (FSMKDirP(path, &end, false, 0700) != -1) return 1;
            if (errno != EACCES) return 2;
            if (end != path.c_str() + (dir_ / "ro/x").size()) return 3;
            if (umask(022) != 022) return 4;  // restored on failure as well
            return 0;
        },
        true);
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(PathExists(dir_ / "ro/x"));
}

TEST_F(FileCreateTest, MkDirPGivesNewDirectoriesTheModuleOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    ASSERT_EQ(0, mkdir((dir_ / "old").c_str(), 0755));
    FSInitialize(65534, static_cast<gid_t>(-1));
    ASSERT_EQ(0, FSMKDirP(dir_ / "old/new", nullptr, false, static_cast<mode_t>(-1)));
    struct stat st;
    ASSERT_EQ(0, stat((dir_ / "old/new").c_str(), &st));
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(getegid(), st.st_gid);
    ASSERT_EQ(0, stat((dir_ / "old").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid) << "existing directories keep their owner";

    FSInitialize(static_cast<uid_t>(-1), 65534);
    ASSERT_EQ(0, FSMKDirP(dir_ / "g", nullptr, false, static_cast<mode_t>(-1)));
    ASSERT_EQ(0, stat((dir_ / "g").c_str(), &st));
    EXPECT_EQ(geteuid(), st.st_uid);
    EXPECT_EQ(65534u, st.st_gid);
}

// ---- FSMKDir ----

TEST_F(FileCreateTest, MkDirSingleAndWithParents) {
    EXPECT_EQ(-1, FSMKDir("", false));

    ASSERT_EQ(0, mkdir((dir_ / "e").c_str(), 0711));
    EXPECT_EQ(0, FSMKDir(dir_ / "e", false));
    EXPECT_EQ(0711u, ModeOf(dir_ / "e") & 07777);

    errno = 0;
    EXPECT_EQ(-2, FSMKDir(dir_ / "x/y", false));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(PathExists(dir_ / "x"));
    EXPECT_EQ(0, FSMKDir(dir_ / "x/y", true));
    EXPECT_TRUE(IsDir(dir_ / "x/y"));
    EXPECT_EQ(0, FSMKDir(dir_ / "z", false));
    EXPECT_TRUE(IsDir(dir_ / "z"));
}

TEST_F(FileCreateTest, MkDirLogsNonDirectoryAndUnreadableStatus) {
    WriteFile(dir_ / "f", "");
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSMKDir(dir_ / "f", true));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): FSMKDir: Create a folder but local "
                              "file system is not directory '" +
                              dir_ / "f" + "' \\(1\\)"))))
        << log;

    testutil::StderrCapture cap2;
    EXPECT_EQ(-1, FSMKDir(dir_ / "f/sub", true));
    log = cap2.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): FSMKDir: Failed to to file info '" +
                              dir_ / "f/sub" + "'"))))
        << log;
}

// ---- FSCopy ----

TEST_F(FileCreateTest, CopyEmptyFileAndDeleteOrigin) {
    WriteFile(dir_ / "empty", "");
    WriteFile(dir_ / "stale", "previous content");
    ASSERT_EQ(0, FSCopy(dir_ / "empty", dir_ / "stale", false));
    EXPECT_EQ("", ReadFile(dir_ / "stale")) << "an existing destination is truncated";
    EXPECT_TRUE(PathExists(dir_ / "empty"));

    ASSERT_EQ(0, FSCopy(dir_ / "empty", dir_ / "moved", true));
    EXPECT_FALSE(PathExists(dir_ / "empty"));
    EXPECT_TRUE(PathExists(dir_ / "moved"));
    EXPECT_EQ(0644u, ModeOf(dir_ / "moved") & 07777);  // 0666 less umask 022
}

TEST_F(FileCreateTest, CopyLargeFileByteForByte) {
    const std::string content = Pattern((40u << 20) + 12345);  // over 32 MiB
    WriteFile(dir_ / "big", content);
    WriteFile(dir_ / "copy", std::string(50u << 20, 'z'));  // longer: must be cut
    ASSERT_EQ(0, FSCopy(dir_ / "big", dir_ / "copy", false));
    EXPECT_TRUE(ReadFile(dir_ / "copy") == content);

    ASSERT_EQ(0, FSCopy(dir_ / "big", dir_ / "moved", true));
    EXPECT_FALSE(PathExists(dir_ / "big"));
    EXPECT_TRUE(ReadFile(dir_ / "moved") == content);
}

TEST_F(FileCreateTest, CopyFileWhoseSizeTheKernelDoesNotKnow) {
    // Files under /proc report size 0 but have content.
    const std::string expected = ReadFile("/proc/version");
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(0, FSCopy("/proc/version", dir_ / "version", false));
    EXPECT_EQ(expected, ReadFile(dir_ / "version"));
}

TEST_F(FileCreateTest, CopyOntoItselfIsRefusedAndLosesNothing) {
    WriteFile(dir_ / "a", "precious");
    ASSERT_EQ(0, symlink("a", (dir_ / "link").c_str()));
    ASSERT_EQ(0, link((dir_ / "a").c_str(), (dir_ / "hard").c_str()));
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSCopy(dir_ / "a", dir_ / "a", true));
    EXPECT_EQ(-1, FSCopy(dir_ / "a", dir_ / "link", true));
    EXPECT_EQ(-1, FSCopy(dir_ / "hard", dir_ / "a", true));
    cap.Stop();
    EXPECT_EQ("precious", ReadFile(dir_ / "a"));
}

TEST_F(FileCreateTest, CopyOpenFailuresAreLoggedAndKeepTheSource) {
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSCopy(dir_ / "missing", dir_ / "out", false));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): CopyFile: open\\(" +
                              dir_ / "missing" + "\\): No such file or directory \\(2\\)"))))
        << log;
    EXPECT_FALSE(PathExists(dir_ / "out"));

    WriteFile(dir_ / "src", "data");
    testutil::StderrCapture cap2;
    EXPECT_EQ(-1, FSCopy(dir_ / "src", dir_ / "nodir/out", true));
    log = cap2.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): CopyFile: open\\(" +
                              dir_ / "nodir/out" + "\\): No such file or directory \\(2\\)"))))
        << log;
    EXPECT_EQ("data", ReadFile(dir_ / "src"));

    // A directory as source fails on the read.
    ASSERT_EQ(0, mkdir((dir_ / "d").c_str(), 0755));
    testutil::StderrCapture cap3;
    EXPECT_EQ(-1, FSCopy(dir_ / "d", dir_ / "out2", true));
    log = cap3.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): CopyFile: read: Is a directory "
                              "\\(21\\)"))))
        << log;
    EXPECT_TRUE(IsDir(dir_ / "d"));
}

TEST_F(FileCreateTest, CopyToAFullDeviceGivesMinusTwoAndKeepsTheSource) {
    // /dev/full refuses every write with ENOSPC.
    WriteFile(dir_ / "src", Pattern(70000));
    testutil::StderrCapture cap;
    EXPECT_EQ(-2, FSCopy(dir_ / "src", "/dev/full", true));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): CopyFile: write: No space left on "
                              "device \\(28\\)"))))
        << log;
    EXPECT_EQ(70000u, ReadFile(dir_ / "src").size());
}

TEST_F(FileCreateTest, CopyToAFullFileSystemLeavesPartialDestination) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string mnt = dir_ / "small";
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a 1 MiB tmpfs here: " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mnt};
    const std::string content = Pattern(3u << 20);
    WriteFile(dir_ / "src", content);
    testutil::StderrCapture cap;
    int rc = FSCopy(dir_ / "src", mnt + "/dst", true);
    cap.Stop();
    EXPECT_EQ(-2, rc);
    EXPECT_TRUE(ReadFile(dir_ / "src") == content) << "the source stays";
    EXPECT_TRUE(PathExists(mnt + "/dst")) << "the partial destination is left";
    std::string partial = ReadFile(mnt + "/dst");
    EXPECT_LT(partial.size(), content.size());
    EXPECT_TRUE(content.compare(0, partial.size(), partial) == 0);
}

// ---- FSRename ----

TEST_F(FileCreateTest, RenameArgumentsAndPlainErrors) {
    WriteFile(dir_ / "f", "x");
    EXPECT_EQ(-1, FSRename("", dir_ / "g", false));
    EXPECT_EQ(-1, FSRename(dir_ / "f", "", false));
    EXPECT_EQ(-2, FSRename(dir_ / "missing", dir_ / "g", false));
    EXPECT_EQ(-2, FSRename(dir_ / "f/below", dir_ / "g", false));
    EXPECT_EQ(-100, FSRename(dir_ / "f", dir_ / std::string(300, 'n'), false));

    ASSERT_EQ(0, mkdir((dir_ / "d1").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir_ / "d2").c_str(), 0755));
    WriteFile(dir_ / "d2/occupied", "");
    EXPECT_EQ(-3, FSRename(dir_ / "d1", dir_ / "d2", false));
    EXPECT_TRUE(IsDir(dir_ / "d1"));
    EXPECT_EQ("x", ReadFile(dir_ / "f"));
}

TEST_F(FileCreateTest, RenameWithinOneFileSystem) {
    ASSERT_EQ(0, mkdir((dir_ / "tree").c_str(), 0755));
    WriteFile(dir_ / "tree/file", "content");
    ASSERT_EQ(0, symlink("file", (dir_ / "tree/link").c_str()));
    ino_t ino = InodeOf(dir_ / "tree/file");
    ASSERT_EQ(0, FSRename(dir_ / "tree", dir_ / "moved", true));
    EXPECT_FALSE(PathExists(dir_ / "tree"));
    EXPECT_EQ(ino, InodeOf(dir_ / "moved/file")) << "a real rename, not a copy";
    EXPECT_EQ("content", ReadFile(dir_ / "moved/link"));
}

// A second file system: /dev/shm when it is one and writable.
class CrossDeviceTest : public FileCreateTest {
  protected:
    void SetUp() override {
        FileCreateTest::SetUp();
        char tmpl[] = "/dev/shm/bvtest.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) GTEST_SKIP() << "/dev/shm is not writable here";
        other_ = tmpl;
        struct stat a, b;
        ASSERT_EQ(0, stat(dir_.path().c_str(), &a));
        ASSERT_EQ(0, stat(other_.c_str(), &b));
        if (a.st_dev == b.st_dev)
            GTEST_SKIP() << "/dev/shm and the temporary directory share a device";
    }
    void TearDown() override {
        if (!other_.empty()) {
            int rc = std::system(("rm -rf " + testutil::ShellQuote(other_)).c_str());
            (void)rc;
        }
        FileCreateTest::TearDown();
    }
    std::string other_;
};

TEST_F(CrossDeviceTest, MovesATreeWithASymbolicLinkWhole) {
    const std::string src = dir_ / "tree";
    ASSERT_EQ(0, mkdir(src.c_str(), 0755));
    ASSERT_EQ(0, mkdir((src + "/sub").c_str(), 0755));
    ASSERT_EQ(0, mkdir((src + "/sub/empty").c_str(), 0755));
    const std::string big = Pattern(3u << 20);
    WriteFile(src + "/top", "top");
    WriteFile(src + "/sub/big", big);
    ASSERT_EQ(0, symlink("../top", (src + "/sub/up").c_str()));
    ASSERT_EQ(0, symlink("/nowhere/dangling", (src + "/dangling").c_str()));

    const std::string dst = other_ + "/tree";
    ASSERT_EQ(0, FSRename(src, dst, false));
    EXPECT_FALSE(PathExists(src));
    EXPECT_EQ("top", ReadFile(dst + "/top"));
    EXPECT_TRUE(ReadFile(dst + "/sub/big") == big);
    EXPECT_TRUE(IsDir(dst + "/sub/empty"));
    char target[256] = {};
    ASSERT_GT(readlink((dst + "/sub/up").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ("../top", target);
    EXPECT_EQ("top", ReadFile(dst + "/sub/up"));
    std::memset(target, 0, sizeof target);
    ASSERT_GT(readlink((dst + "/dangling").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ("/nowhere/dangling", target);
}

TEST_F(CrossDeviceTest, MovesSingleObjectsAndMergesIntoAnExistingDirectory) {
    WriteFile(dir_ / "file", "one");
    ASSERT_EQ(0, FSRename(dir_ / "file", other_ + "/file", false));
    EXPECT_FALSE(PathExists(dir_ / "file"));
    EXPECT_EQ("one", ReadFile(other_ + "/file"));

    ASSERT_EQ(0, symlink("file", (dir_ / "ln").c_str()));
    WriteFile(other_ + "/ln", "replaced like rename does");
    ASSERT_EQ(0, FSRename(dir_ / "ln", other_ + "/ln", false));
    EXPECT_FALSE(PathExists(dir_ / "ln"));
    EXPECT_TRUE(S_ISLNK(ModeOf(other_ + "/ln")));
    EXPECT_EQ("one", ReadFile(other_ + "/ln"));

    ASSERT_EQ(0, mkdir((dir_ / "d").c_str(), 0755));
    WriteFile(dir_ / "d/new", "n");
    ASSERT_EQ(0, mkdir((other_ + "/d").c_str(), 0755));
    WriteFile(other_ + "/d/old", "o");
    ASSERT_EQ(0, FSRename(dir_ / "d", other_ + "/d", false));
    EXPECT_EQ("n", ReadFile(other_ + "/d/new"));
    EXPECT_EQ("o", ReadFile(other_ + "/d/old"));
    EXPECT_FALSE(PathExists(dir_ / "d"));
}

TEST_F(CrossDeviceTest, SpecialFilesAreNotMovedAndReported) {
    ASSERT_EQ(0, mkfifo((dir_ / "pipe").c_str(), 0644));
    EXPECT_EQ(-3, FSRename(dir_ / "pipe", other_ + "/pipe", false));
    EXPECT_TRUE(S_ISFIFO(ModeOf(dir_ / "pipe")));
    EXPECT_FALSE(PathExists(other_ + "/pipe"));

    ASSERT_EQ(0, mkdir((dir_ / "t").c_str(), 0755));
    ASSERT_EQ(0, rename((dir_ / "pipe").c_str(), (dir_ / "t/pipe").c_str()));
    EXPECT_EQ(-3, FSRename(dir_ / "t", other_ + "/t", false));
    EXPECT_TRUE(S_ISFIFO(ModeOf(dir_ / "t/pipe"))) << "the pipe and its directory stay";
}

// ---- FSMktemp and FSCreateTempPath ----

TEST_F(FileCreateTest, MktempCreatesAnEmptyFileOfMode0644) {
    umask(0077);
    ustring path;
    ASSERT_EQ(0, FSMktemp(dir_.path(), path));
    std::string p = path.c_str();
    EXPECT_TRUE(std::regex_match(p, std::regex("^" + dir_.path() + "/[A-Za-z0-9]{6}$"))) << p;
    struct stat st;
    ASSERT_EQ(0, lstat(p.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ(0, st.st_size);

    ustring second;
    ASSERT_EQ(0, FSMktemp(dir_.path(), second));
    EXPECT_NE(path, second);
}

TEST_F(FileCreateTest, MktempInAMissingDirectoryFailsAndLogsTheTemplate) {
    ustring path("unchanged");
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSMktemp(dir_ / "missing", path));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(
        log, std::regex(LogRe("\\[ERROR\\] file-op\\([0-9]+\\): mkstemp\\(" + dir_ / "missing" +
                              "/XXXXXX\\): No such file or directory"))))
        << log;
    EXPECT_EQ(ustring("unchanged"), path);
}

TEST_F(FileCreateTest, CreateTempPathMakesNothing) {
    ustring path;
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), path));
    std::string p = path.c_str();
    EXPECT_TRUE(std::regex_match(p, std::regex("^" + dir_.path() + "/[0-9A-Za-z_-]{8}$"))) << p;
    EXPECT_FALSE(PathExists(p));
    ustring other;
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), other));
    EXPECT_NE(path, other);
}

}  // namespace
