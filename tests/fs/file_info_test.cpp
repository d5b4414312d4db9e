// File information, existence and access tests, times, module owner, the
// file-system type probe and path canonicalisation.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "file-op.h"
#include "logger.h"
#include "test_support.h"

namespace {

using testutil::TempDir;

class FileInfoTest : public ::testing::Test {
  protected:
    void TearDown() override { Logger::log_level.erase(ustring("file_op_debug")); }

    // A record whose every field differs from what GetFileInfo would write,
    // so that "unchanged" can be checked field by field.
    static FILE_INFO Sentinel() {
        FILE_INFO info;
        info.path = "sentinel-path";
        info.name = "sentinel-name";
        info.type = FT_HLINK;
        info.mtime = 12345;
        info.size = 777;
        info.isExist = true;
        info.uid = 4242;
        info.gid = 4343;
        return info;
    }

    static void ExpectSame(const FILE_INFO& a, const FILE_INFO& b) {
        EXPECT_TRUE(a == b);
        EXPECT_EQ(a.uid, b.uid);
        EXPECT_EQ(a.gid, b.gid);
    }

    TempDir dir_;
};

TEST_F(FileInfoTest, RegularFileIsDescribedAndNameIsLeftAlone) {
    std::string f = dir_ / "file.txt";
    testutil::WriteFile(f, "twelve bytes");
    struct stat st;
    ASSERT_EQ(0, lstat(f.c_str(), &st));

    FILE_INFO info = Sentinel();
    ASSERT_EQ(0, GetFileInfo(f, info));
    EXPECT_TRUE(info.isExist);
    EXPECT_EQ(FT_FILE, info.type);
    EXPECT_EQ(12u, info.size);
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtime), info.mtime);
    EXPECT_EQ(st.st_uid, info.uid);
    EXPECT_EQ(st.st_gid, info.gid);
    EXPECT_STREQ(f.c_str(), info.path.c_str());
    EXPECT_STREQ("sentinel-name", info.name.c_str());

    FILE_INFO viaStat;
    EXPECT_EQ(0, FSStat(f, viaStat, true));
    EXPECT_EQ(FT_FILE, viaStat.type);
}

TEST_F(FileInfoTest, EachKindOfObjectGetsItsType) {
    std::string sub = dir_ / "sub";
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    std::string fifo = dir_ / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string sock = dir_ / "sock";
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    ASSERT_EQ(0, bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr));
    close(s);

    struct Case {
        std::string path;
        FILE_TYPE type;
    } cases[] = {{sub, FT_DIR}, {fifo, FT_FIFO}, {sock, FT_SOCK}, {"/dev/null", FT_DEV}};
    for (const Case& c : cases) {
        FILE_INFO info;
        EXPECT_EQ(0, GetFileInfo(c.path, info)) << c.path;
        EXPECT_EQ(c.type, info.type) << c.path;
        EXPECT_TRUE(info.isExist) << c.path;
    }
}

TEST_F(FileInfoTest, MissingPathIsASuccessWithoutExistence) {
    std::string missing = dir_ / "nothing-here";
    FILE_INFO info = Sentinel();
    time_t before = time(nullptr);
    ASSERT_EQ(0, GetFileInfo(missing, info));
    time_t after = time(nullptr);
    EXPECT_FALSE(info.isExist);
    EXPECT_EQ(FT_FILE, info.type);
    EXPECT_EQ(0u, info.size);
    EXPECT_EQ(0u, info.uid);
    EXPECT_EQ(0u, info.gid);
    EXPECT_GE(info.mtime, static_cast<uint32_t>(before));
    EXPECT_LE(info.mtime, static_cast<uint32_t>(after));
    EXPECT_STREQ(missing.c_str(), info.path.c_str());
    EXPECT_STREQ("sentinel-name", info.name.c_str());

    FILE_INFO viaStat;
    EXPECT_EQ(0, FSStat(missing, viaStat, false));
    EXPECT_FALSE(viaStat.isExist);
    EXPECT_FALSE(IsFileExist(missing, false));
}

TEST_F(FileInfoTest, FailedStatusLeavesRecordUnchanged) {
    std::string f = dir_ / "plain";
    testutil::WriteFile(f, "x");
    std::string below = f + "/child";

    FILE_INFO info = Sentinel();
    errno = 0;
    EXPECT_EQ(-1, GetFileInfo(below, info));
    EXPECT_EQ(ENOTDIR, errno);
    ExpectSame(Sentinel(), info);
    EXPECT_EQ(-2, FSStat(below, info, false));
    ExpectSame(Sentinel(), info);

    EXPECT_EQ(-1, FSStat(ustring(""), info, false));
    ExpectSame(Sentinel(), info);
    EXPECT_FALSE(IsFileExist(ustring(""), false));
}

TEST_F(FileInfoTest, LinksAreDescribedNotFollowed) {
    std::string target = dir_ / "target-dir";
    ASSERT_EQ(0, mkdir(target.c_str(), 0755));
    std::string link = dir_ / "link";
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));

    FILE_INFO info;
    ASSERT_EQ(0, GetFileInfo(link, info));
    EXPECT_EQ(FT_SLINK, info.type);
    EXPECT_EQ(target.size(), info.size);
    EXPECT_TRUE(IsFileExist(link, false));
    EXPECT_TRUE(IsFileExist(link, true));

    std::string dangling = dir_ / "dangling";
    ASSERT_EQ(0, symlink((dir_ / "gone").c_str(), dangling.c_str()));
    ASSERT_EQ(0, GetFileInfo(dangling, info));
    EXPECT_TRUE(info.isExist);
    EXPECT_EQ(FT_SLINK, info.type);
    EXPECT_FALSE(IsFileExist(dangling, false));
}

TEST_F(FileInfoTest, EqualityComparesContentButNotOwner) {
    FILE_INFO a = Sentinel();
    FILE_INFO b = Sentinel();
    b.uid = 1;
    b.gid = 2;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);

    auto differs = [&](void (*change)(FILE_INFO&)) {
        FILE_INFO c = Sentinel();
        change(c);
        return c != a && !(c == a);
    };
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.isExist = false; }));
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.size = 778; }));
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.mtime = 1; }));
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.type = FT_DIR; }));
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.path = "other"; }));
    EXPECT_TRUE(differs([](FILE_INFO& c) { c.name = "Sentinel-name"; }));
}

TEST_F(FileInfoTest, TimesAreSetAndComparedExactly) {
    EXPECT_FALSE(FSTimeEqual(100, 101));
    EXPECT_TRUE(FSTimeEqual(100, 100));

    std::string f = dir_ / "timed";
    testutil::WriteFile(f, "");
    ASSERT_EQ(0, FSUTime(f, 1000000000, 1200000000));
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    EXPECT_EQ(1000000000, st.st_atime);
    EXPECT_EQ(1200000000, st.st_mtime);
    FILE_INFO info;
    ASSERT_EQ(0, GetFileInfo(f, info));
    EXPECT_EQ(1200000000u, info.mtime);

    EXPECT_EQ(-1, FSUTime(dir_ / "missing", 1, 2));
    EXPECT_EQ(0, FSInit(f));
}

TEST_F(FileInfoTest, LockedMeansPermissionDenied) {
    EXPECT_FALSE(isFileLocked(dir_ / "missing", F_OK));
    EXPECT_FALSE(isFileLocked(dir_ / "missing", W_OK));

    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));
    std::string ro = dir_ / "read-only";
    testutil::WriteFile(ro, "data");
    ASSERT_EQ(0, chmod(ro.c_str(), 0444));
    int rc = testutil::RunInChild(
        [&] {
            if (!isFileLocked(ro, W_OK)) return 1;
            if (isFileLocked(ro, R_OK)) return 2;
            if (isFileLocked(ro, F_OK)) return 3;
            return 0;
        },
        true);
    EXPECT_EQ(0, rc);
}

TEST_F(FileInfoTest, OwnerIsAppliedOnlyOnceSet) {
    std::string f = dir_ / "owned";
    testutil::WriteFile(f, "");
    struct stat before;
    ASSERT_EQ(0, stat(f.c_str(), &before));

    // Unset ids (the start-up state) change nothing.
    FSInitialize(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    FSChown(f);
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    EXPECT_EQ(before.st_uid, st.st_uid);
    EXPECT_EQ(before.st_gid, st.st_gid);

    if (geteuid() == 0) {
        FSInitialize(65534, 65533);
        EXPECT_EQ(65534u, uid);
        EXPECT_EQ(65533u, gid);
        FSChown(f);
        ASSERT_EQ(0, stat(f.c_str(), &st));
        EXPECT_EQ(65534u, st.st_uid);
        EXPECT_EQ(65533u, st.st_gid);
        // Only the group set: the user stays.
        FSInitialize(static_cast<uid_t>(-1), 0);
        FSChown(f);
        ASSERT_EQ(0, stat(f.c_str(), &st));
        EXPECT_EQ(65534u, st.st_uid);
        EXPECT_EQ(0u, st.st_gid);
    }
    FSInitialize(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    EXPECT_EQ(static_cast<uid_t>(-1), uid);
    EXPECT_EQ(static_cast<gid_t>(-1), gid);
}

TEST_F(FileInfoTest, MsdosProbeOnAvailableFileSystems) {
    // No FAT volume can be mounted here; the ordinary disk, /dev/shm and /proc
    // must all read as not MS-DOS, without a log line.
    testutil::StderrCapture quiet;
    EXPECT_FALSE(IsMSDOS(dir_.path()));
    EXPECT_FALSE(IsMSDOS(ustring("/proc")));
    if (testutil::PathExists("/dev/shm")) {
        EXPECT_FALSE(IsMSDOS(ustring("/dev/shm")));
    }
    EXPECT_EQ("", quiet.Stop());

    std::string missing = dir_ / "no-such-dir";
    testutil::StderrCapture cap;
    EXPECT_FALSE(IsMSDOS(missing));
    std::string err = cap.Stop();
    std::regex line(
        std::string("^") + testutil::kTimestampRe +
        "\\[ERROR\\] file-op\\([0-9]+\\): IsSupportLargeFile: Failed to get file system info '" +
        missing + "'\\. No such file or directory\n$");
    EXPECT_TRUE(std::regex_match(err, line)) << err;
}

TEST_F(FileInfoTest, RealPathResolvesDotsAndLinks) {
    char* real_base = realpath(dir_.path().c_str(), nullptr);
    ASSERT_NE(nullptr, real_base);
    std::string base(real_base);
    free(real_base);
    ASSERT_EQ(0, mkdir((dir_ / "one").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir_ / "two").c_str(), 0755));
    ASSERT_EQ(0, symlink((dir_ / "two").c_str(), (dir_ / "via").c_str()));

    ustring p(dir_ / "one/../two/.");
    ASSERT_EQ(0, FSGetRealPath(p));
    EXPECT_EQ(base + "/two", std::string(p.c_str()));

    ustring q(dir_ / "via");
    ASSERT_EQ(0, FSGetRealPath(q));
    EXPECT_EQ(base + "/two", std::string(q.c_str()));

    // A relative path is taken from the working directory.
    int rc = testutil::RunInChild([&] {
        if (chdir((dir_ / "one").c_str()) != 0) return 10;
        ustring rel("../two");
        if (FSGetRealPath(rel) != 0) return 11;
        return std::string(rel.c_str()) == base + "/two" ? 0 : 12;
    });
    EXPECT_EQ(0, rc);

    ustring missing(dir_ / "one/../absent");
    std::string before(missing.c_str());
    EXPECT_EQ(-1, FSGetRealPath(missing));
    EXPECT_EQ(before, std::string(missing.c_str()));
}

TEST_F(FileInfoTest, RealPathLogsBothFormsAtDebugLevel) {
    Logger::log_level[ustring("file_op_debug")] = Logger::L_DEBUG;
    ASSERT_EQ(0, mkdir((dir_ / "a").c_str(), 0755));
    char* real_base = realpath(dir_.path().c_str(), nullptr);
    ASSERT_NE(nullptr, real_base);
    std::string resolved = std::string(real_base) + "/a";
    free(real_base);

    std::string given = dir_ / "a/./";
    ustring p(given);
    testutil::StderrCapture cap;
    ASSERT_EQ(0, FSGetRealPath(p));
    ustring missing(dir_ / "absent");
    EXPECT_EQ(-1, FSGetRealPath(missing));
    std::string err = cap.Stop();
    std::string ts = testutil::kTimestampRe;
    std::regex lines("^" + ts + "\\[DEBUG\\] file-op\\([0-9]+\\):  org path \\[" + given + "\\]\n" +
                     ts + "\\[DEBUG\\] file-op\\([0-9]+\\):  get full path \\[" + resolved +
                     "\\]\n" + ts + "\\[DEBUG\\] file-op\\([0-9]+\\):  org path \\[" + dir_.path() +
                     "/absent\\]\n$");
    EXPECT_TRUE(std::regex_match(err, lines)) << err;
}

}  // namespace
