// The system database under faults that real machines produce: another
// process holding the database locked, a file the process may not write, a
// full file system, and a file cut short. Every operation must either
// succeed or fail with its result code and its error line; nothing may
// crash, and what was stored before the fault must stay readable.
//
// Cases that need privileges of their own (a private mount, dropped
// privileges) run in a forked child that sends its standard error to a file
// and its findings to a report of key=value lines; the parent checks both.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <regex>
#include <sstream>
#include <string>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"

namespace {

using testutil::TempDir;
using Clock = std::chrono::steady_clock;

const int kSkip = 77;  // a child's exit status meaning "cannot run here"

double SecondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class FaultDbTest : public ::testing::Test {
  protected:
    void SetUp() override { SystemDB::destroy(); }
    void TearDown() override { SystemDB::destroy(); }

    TempDir dir;
    std::string db = dir / "system.db";
    std::string report = dir / "report";
    std::string err = dir / "stderr";
};

// ---- a lock held by another process --------------------------------------

TEST_F(FaultDbTest, OperationsWaitForALockHeldByAnotherProcessThenSucceed) {
    ASSERT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    ASSERT_EQ(0, SystemDB::setTargetClientVersion(1));

    {
        testutil::DatabaseLockHolder holder(db, 2000);
        ASSERT_TRUE(holder.locked());
        testutil::StderrCapture cap;
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(0, SystemDB::setTargetClientVersion(2));
        EXPECT_GE(SecondsSince(t0), 1.5);
        EXPECT_EQ("", cap.Stop());
    }
    {
        testutil::DatabaseLockHolder holder(db, 2000);
        ASSERT_TRUE(holder.locked());
        long version = 0;
        std::list<SessionInfo> sessions;
        testutil::StderrCapture cap;
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(0, SystemDB::getTargetClientVersion(version));
        EXPECT_GE(SecondsSince(t0), 1.5);
        EXPECT_EQ(0, SystemDB::getEnabledSession(sessions));
        EXPECT_EQ("", cap.Stop());
        EXPECT_EQ(2, version);
    }
    EXPECT_EQ("2", testutil::QueryValue(
                       db, "SELECT value FROM system_table WHERE key = 'target_client_version'"));
}

// ---- a file the process may not write --------------------------------------

TEST_F(FaultDbTest, ReadOnlyDatabaseFileIsRefusedCleanlyAndLeftUnchanged) {
    ASSERT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    ASSERT_EQ(0, SystemDB::setTargetClientVersion(5));
    SystemDB::destroy();
    const std::string before = testutil::ReadFile(db);
    // Neither the file nor its directory (where a journal would go) is
    // writable; the test directory itself must be reachable by "nobody".
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    testutil::WriteFile(report, "");
    testutil::WriteFile(err, "");
    ASSERT_EQ(0, chmod(report.c_str(), 0666));
    ASSERT_EQ(0, chmod(err.c_str(), 0666));
    const std::string sub = dir / "ro";
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    const std::string ro_db = sub + "/system.db";
    testutil::WriteFile(ro_db, before);
    ASSERT_EQ(0, chmod(ro_db.c_str(), 0444));
    ASSERT_EQ(0, chmod(sub.c_str(), 0555));

    int rc = testutil::RunInChild(
        [&] {
            testutil::ChildReport r(report);
            if (!r.ok() || !testutil::RedirectStderrTo(err)) return 3;
            r.Put("init", SystemDB::initialize(ustring(ro_db.c_str())));
            long version = -7;
            r.Put("get", SystemDB::getTargetClientVersion(version));
            r.Put("version", version);
            r.Put("set", SystemDB::setTargetClientVersion(6));
            std::list<SessionInfo> sessions;
            r.Put("sessions", SystemDB::getEnabledSession(sessions));
            SystemDB::destroy();
            return 0;
        },
        true);
    ASSERT_EQ(0, rc);
    auto got = testutil::ReadChildReport(report);
    std::string text = testutil::NormalizeLog(testutil::ReadFile(err), "system-db");
    // The schema script cannot run on a file that cannot be written, so the
    // store stays closed and every later operation fails with its line.
    EXPECT_EQ("-1", got["init"]) << text;
    EXPECT_EQ("-1", got["get"]);
    EXPECT_EQ("-7", got["version"]);
    EXPECT_EQ("-1", got["set"]);
    EXPECT_EQ("-1", got["sessions"]);
    EXPECT_NE(std::string::npos,
              text.find("[ERROR] system-db(N): SystemDB: Failed to initialize database at '" +
                        ro_db + "'. [8] attempt to write a readonly database\n"))
        << text;
    EXPECT_NE(
        std::string::npos,
        text.find("[ERROR] system-db(N): initialize fail attempt to write a readonly database\n"))
        << text;
    EXPECT_EQ(before, testutil::ReadFile(ro_db));
}

// ---- a full file system ----------------------------------------------------

TEST_F(FaultDbTest, FullFileSystemFailsWritesWithTheirLinesAndKeepsEarlierRows) {
    const std::string mnt = dir / "mnt";
    ASSERT_EQ(0, mkdir(mnt.c_str(), 0755));
    const std::string full_db = mnt + "/system.db";

    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        if (!r.ok()) return 3;
        std::string why = testutil::MountPrivateTmpfs(mnt, "size=512k");
        if (!why.empty()) {
            r.Put("skip", why);
            return kSkip;
        }
        if (!testutil::RedirectStderrTo(err)) return 3;
        r.Put("init", SystemDB::initialize(ustring(full_db.c_str())));
        r.Put("set_before", SystemDB::setTargetClientVersion(7));
        r.Put("time_before", SystemDB::setLastUpdateQueryTime(ustring("before")));
        std::fprintf(stderr, "-- full --\n");
        r.Put("fill_errno", testutil::FillFileSystem(mnt + "/filler"));

        r.Put("time_full", SystemDB::setLastUpdateQueryTime(ustring(std::string(20000, 't'))));
        r.Put("set_full", SystemDB::setTargetClientVersion(8));
        r.Put("name_full", SystemDB::setComputername(ustring(std::string(20000, 'n'))));
        long version = 0;
        r.Put("get_full", SystemDB::getTargetClientVersion(version));
        r.Put("version_full", version);
        ustring when;
        r.Put("time_get_full", SystemDB::getLastUpdateQueryTime(when));
        r.Put("time_value_full", when.c_str());

        std::fprintf(stderr, "-- room again --\n");
        unlink((mnt + "/filler").c_str());
        r.Put("set_after", SystemDB::setTargetClientVersion(9));
        r.Put("get_after", SystemDB::getTargetClientVersion(version));
        r.Put("version_after", version);
        SystemDB::destroy();
        return 0;
    });
    auto got = testutil::ReadChildReport(report);
    if (rc == kSkip) GTEST_SKIP() << "no private tmpfs here: " << got["skip"];
    ASSERT_EQ(0, rc);
    std::string text = testutil::NormalizeLog(testutil::ReadFile(err), "system-db");

    EXPECT_EQ("0", got["init"]);
    EXPECT_EQ("0", got["set_before"]);
    EXPECT_EQ("0", got["time_before"]);
    EXPECT_EQ(std::to_string(ENOSPC), got["fill_errno"]);
    EXPECT_EQ("-1", got["time_full"]);
    EXPECT_EQ("-1", got["set_full"]);
    EXPECT_EQ("-1", got["name_full"]);
    EXPECT_EQ("0", got["get_full"]);
    EXPECT_EQ("7", got["version_full"]);
    EXPECT_EQ("0", got["time_get_full"]);
    EXPECT_EQ("before", got["time_value_full"]);
    EXPECT_EQ("0", got["set_after"]);
    EXPECT_EQ("0", got["get_after"]);
    EXPECT_EQ("9", got["version_after"]);
    EXPECT_EQ(
        "-- full --\n"
        "[ERROR] system-db(N): sqlite3_exec failed: ret = 13 [database or disk is full]\n"
        "[ERROR] system-db(N): setTargetClientVersion fail ret = 13 database or disk is full\n"
        "[ERROR] system-db(N): setComputername fail ret = 13 database or disk is full\n"
        "-- room again --\n",
        text);
}

// ---- a file cut short ------------------------------------------------------

// A database with enough sessions to span many pages.
void PlantLargeDatabase(const std::string& db) {
    ASSERT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    ASSERT_EQ(0, SystemDB::setTargetClientVersion(3));
    SystemDB::destroy();
    std::string sql = "BEGIN;";
    for (int i = 0; i < 400; ++i)
        sql +=
            "INSERT INTO session_table (conn_id, share_name, attribute, sync_folder) VALUES (1, "
            "'share" +
            std::to_string(i) + std::string(200, 'x') + "', 4, '/data/s" + std::to_string(i) +
            "/');";
    sql += "COMMIT;";
    testutil::ExecSql(db, sql);
}

// Runs every kind of operation on the open (or refused) store and returns
// their results in order; none may crash.
std::string RunEveryKind() {
    std::ostringstream out;
    std::list<SessionInfo> sessions;
    out << "enabled " << SystemDB::getEnabledSession(sessions) << "\n";
    SessionInfo info;
    out << "by_id " << SystemDB::getSessionInfoBySessionID(399, info) << "\n";
    out << "max_id " << SystemDB::getMaxSessionId() << "\n";
    long version = 0;
    out << "get_version " << SystemDB::getTargetClientVersion(version) << "\n";
    out << "set_version " << SystemDB::setTargetClientVersion(4) << "\n";
    GeneralOptions g;
    out << "options " << SystemDB::getGeneralOptions(g) << "\n";
    std::list<ConnectionEntry> conns;
    out << "connections " << SystemDB::getConnectionEntryList(conns) << "\n";
    SessionInfo add;
    add.share_name = "new";
    add.sync_folder = "/data/new";
    add.attribute = 4;
    out << "add " << SystemDB::addNewSessionInfo(add) << "\n";
    out << "delete " << SystemDB::deleteSession(5) << "\n";
    return out.str();
}

// What every operation of RunEveryKind reports once the store refused to
// open: each fails on its own, with its own line, and touches nothing.
const char kClosedStoreResults[] =
    "enabled -1\nby_id -1\nmax_id 0\nget_version -1\nset_version -1\noptions -1\n"
    "connections -1\nadd -1\ndelete -1\n";
const char kClosedStoreLines[] =
    "[ERROR] system-db(N): getEnabledSession: sqlite3_prepare_v2: system database is not open "
    "(21)\n"
    "[ERROR] system-db(N): getSessionInfoBySessionID: sqlite3_prepare_v2: system database is not "
    "open (21)\n"
    "[ERROR] system-db(N): getMaxSessionId: sqlite3_prepare_v2: system database is not open (21)\n"
    "[ERROR] system-db(N): getTargetClientVersion: sqlite3_prepare_v2: system database is not open "
    "(21)\n"
    "[ERROR] system-db(N): setTargetClientVersion fail ret = 21 system database is not open\n"
    "[ERROR] system-db(N): getGeneralOptions: sqlite3_prepare_v2: system database is not open "
    "(21)\n"
    "[ERROR] system-db(N): getConnectionEntryList: sqlite3_prepare_v2: system database is not open "
    "(21)\n"
    "[ERROR] system-db(N): addNewSessionInfo fail ret = 21 system database is not open\n"
    "[ERROR] system-db(N): deleteSession fail ret = 21 system database is not open\n";

std::string RefusedOpenLines(const std::string& db) {
    return "[ERROR] system-db(N): SystemDB: Failed to initialize database at '" + db +
           "'. [11] database disk image is malformed\n"
           "[ERROR] system-db(N): initialize fail database disk image is malformed\n";
}

TEST_F(FaultDbTest, DatabaseTruncatedInTheMiddleIsRefusedAndEveryOperationFailsCleanly) {
    PlantLargeDatabase(db);
    struct stat st;
    ASSERT_EQ(0, stat(db.c_str(), &st));
    ASSERT_GT(st.st_size, 8 * 4096);
    // Cut inside a page, half way: the header promises pages that are gone.
    ASSERT_EQ(0, truncate(db.c_str(), st.st_size / 2 + 100));
    const std::string before = testutil::ReadFile(db);

    testutil::StderrCapture cap;
    EXPECT_EQ(-1, SystemDB::initialize(ustring(db.c_str())));
    EXPECT_EQ(kClosedStoreResults, RunEveryKind());
    EXPECT_EQ(RefusedOpenLines(db) + kClosedStoreLines,
              testutil::NormalizeLog(cap.Stop(), "system-db"));
    EXPECT_EQ(before, testutil::ReadFile(db));
}

TEST_F(FaultDbTest, DatabaseTruncatedInsideTheHeaderIsRefused) {
    PlantLargeDatabase(db);
    ASSERT_EQ(0, truncate(db.c_str(), 50));

    testutil::StderrCapture cap;
    EXPECT_EQ(-1, SystemDB::initialize(ustring(db.c_str())));
    EXPECT_EQ(kClosedStoreResults, RunEveryKind());
    EXPECT_EQ(RefusedOpenLines(db) + kClosedStoreLines,
              testutil::NormalizeLog(cap.Stop(), "system-db"));
}

TEST_F(FaultDbTest, DatabaseWithZeroedPagesFailsWhereItIsDamaged) {
    PlantLargeDatabase(db);
    struct stat st;
    ASSERT_EQ(0, stat(db.c_str(), &st));
    // Zero the pages of the second half (the session rows), keeping the
    // size, so that the store opens and the damage is met by the queries.
    std::string bytes = testutil::ReadFile(db);
    size_t page = 4096;
    size_t from = (bytes.size() / page / 2) * page;
    std::fill(bytes.begin() + static_cast<long>(from), bytes.end() - static_cast<long>(page), '\0');
    testutil::WriteFile(db, bytes);

    testutil::StderrCapture cap;
    EXPECT_EQ(0, SystemDB::initialize(ustring(db.c_str())));
    long version = 0;
    EXPECT_EQ(0, SystemDB::getTargetClientVersion(version));
    EXPECT_EQ(3, version);
    // Reads and writes that meet the damaged pages fail with their lines;
    // those of the intact tables go on working.
    EXPECT_EQ(
        "enabled -1\nby_id -1\nmax_id 0\nget_version 0\nset_version 0\noptions 0\n"
        "connections 0\nadd -1\ndelete -1\n",
        RunEveryKind());
    EXPECT_EQ(0, SystemDB::getTargetClientVersion(version));
    EXPECT_EQ(4, version);
    EXPECT_EQ(
        "[ERROR] system-db(N): sqlite3_step: [11] database disk image is malformed\n"
        "[ERROR] system-db(N): sqlite3_step: [11] database disk image is malformed\n"
        "[ERROR] system-db(N): sqlite3_step: [11] database disk image is malformed\n"
        "[ERROR] system-db(N): addNewSessionInfo fail ret = 11 database disk image is malformed\n"
        "[ERROR] system-db(N): deleteSession fail ret = 11 database disk image is malformed\n",
        testutil::NormalizeLog(cap.Stop(), "system-db"));
}

}  // namespace
