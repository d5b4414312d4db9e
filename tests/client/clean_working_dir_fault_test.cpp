// clean-working-dir, run from outside, on a system database that another
// process of the client holds locked: it must wait for the lock instead of
// giving up, then clean exactly what the database holds once the lock is
// released.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "system-db.h"
#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::TempDir;
using Clock = std::chrono::steady_clock;

const char kWd[] = ".BrimvaleWorkingDirectory";

class CleanWorkingDirFaultTest : public ::testing::Test {
  protected:
    void SetUp() override { SystemDB::destroy(); }
    void TearDown() override { SystemDB::destroy(); }

    // A sync folder with a working directory (a small tree) and a user file.
    std::string MakeSyncFolder(const std::string& name) {
        std::string folder = tmp / name;
        std::string wd = folder + "/" + kWd;
        EXPECT_EQ(0, testutil::RunCommand({"mkdir", "-p", wd + "/cache/a"}).status);
        testutil::WriteFile(wd + "/cache/a/chunk", std::string(1000, 'c'));
        testutil::WriteFile(folder + "/user-file.txt", "keep me");
        return folder;
    }

    void AddSession(const std::string& share, const std::string& folder, int attribute) {
        SessionInfo s;
        s.share_name = ustring(share.c_str());
        s.sync_folder = ustring(folder.c_str());
        s.attribute = attribute;
        s.conn_id = 1;
        ASSERT_EQ(0, SystemDB::addNewSessionInfo(s));
    }

    testutil::CommandResult Clean() { return testutil::RunCommand({CLEAN_WORKING_DIR_BIN, db}); }

    TempDir tmp;
    std::string db = tmp / "system.db";
};

TEST_F(CleanWorkingDirFaultTest, WaitsForALockedDatabaseThenCleans) {
    std::string a = MakeSyncFolder("a");
    std::string b = MakeSyncFolder("b");
    std::string off = MakeSyncFolder("off");
    ASSERT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    AddSession("a", a, SA_ENABLE);
    AddSession("b", b, SA_ENABLE | SA_USED);
    AddSession("off", off, SA_USED);
    SystemDB::destroy();

    testutil::DatabaseLockHolder holder(db, 3000);
    ASSERT_TRUE(holder.locked());
    Clock::time_point t0 = Clock::now();
    testutil::CommandResult r = Clean();
    double waited = std::chrono::duration<double>(Clock::now() - t0).count();

    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_GE(waited, 2.5);
    EXPECT_FALSE(PathExists(a + "/" + kWd));
    EXPECT_FALSE(PathExists(b + "/" + kWd));
    EXPECT_TRUE(PathExists(off + "/" + kWd));
    EXPECT_EQ("keep me", testutil::ReadFile(a + "/user-file.txt"));
    EXPECT_EQ("keep me", testutil::ReadFile(b + "/user-file.txt"));
}

TEST_F(CleanWorkingDirFaultTest, SeesWhatTheLockHolderCommitted) {
    std::string a = MakeSyncFolder("a");
    std::string late = MakeSyncFolder("late");
    ASSERT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    AddSession("a", a, SA_ENABLE);
    AddSession("late", late, SA_USED);
    SystemDB::destroy();

    // The other process enables the second session and disables the first
    // inside its transaction; the command, which waits, acts on the result.
    testutil::DatabaseLockHolder holder(
        db, 2000,
        "UPDATE session_table SET attribute = 6 WHERE share_name = 'late';"
        "UPDATE session_table SET attribute = 2 WHERE share_name = 'a';");
    ASSERT_TRUE(holder.locked());
    testutil::CommandResult r = Clean();

    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(PathExists(a + "/" + kWd));
    EXPECT_FALSE(PathExists(late + "/" + kWd));
    EXPECT_EQ("keep me", testutil::ReadFile(late + "/user-file.txt"));
    // The command changed nothing in the database.
    EXPECT_EQ("2", testutil::QueryValue(
                       db, "SELECT attribute FROM session_table WHERE share_name = 'a'"));
    EXPECT_EQ("6", testutil::QueryValue(
                       db, "SELECT attribute FROM session_table WHERE share_name = 'late'"));
}

}  // namespace
