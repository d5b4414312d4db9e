// Every operation under each way its statement can fail, and the store under
// faults that real machines produce: another process holding the file
// locked, a file the process may not write, a full file system, a file cut
// short or damaged. Failures are a result code and the operation's own log
// line; nothing crashes, outputs stay as documented, stored rows stay.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <list>
#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;

// ---- one table of operations under four faults ---------------------------

enum Fault { kClosed, kFormat, kPrepare, kStep };

// Entry templates: %n the operation, %c and %m SQLite's code and message.
const char* const W = "%n fail ret = %c %m\n";
const char* const R = "%n: sqlite3_prepare_v2: %m (%c)\n";
const char* const X = "sqlite3_exec failed: ret = %c [%m]\n";
const char* const S = "sqlite3_step: [%c] %m\n";
const char* const NoMem = "=";  // format fault: the prepare entry for want of memory
const char* const F1 = " sqlite3_mprintf failed.\n";
const char* const F2 = "insert/replace sqlite3_mprintf failed.\n";
const char* const F3 = "sqlite3_mprintf failed\n";
const char* const F4 = "insert sqlite3_mprintf failed.\n";
const char* const F5 = "sqlite3_mprintf failed.\n";

// Every output of the operations, holding values no failure may write.
struct Outputs {
    std::list<SessionInfo> sessions{2};
    std::list<ConnectionEntry> conns{2};
    std::list<uint64_t> ids{4};
    std::list<long> versions{9};
    SessionInfo session;
    ConnectionInfo info;
    ConnectionEntry entry;
    ProxyInfo proxy;
    PathInfo path;
    GeneralOptions options;
    VersionInfo version;
    ustring a{"a"}, b{"b"};
    int n[4] = {5, 5, 5, 5};
    long number = 5;
    PERM_MODE mode = PERM_DOMAIN;
    bool flag = true;
    Outputs() {
        session.session_id = info.conn_id = entry.connection_info.conn_id = path.view_id = 7;
        proxy.host = "h";
        options.sync_mode = version.major = 9;
    }
    std::string Text() const {
        return dbtest::Nums(sessions.size(), conns.size(), ids.size(), versions.front(), n[0], n[1],
                            n[2], n[3], number, mode, flag, options.sync_mode, version.major,
                            path.view_id) +
               dbtest::Str(session) + info.toString().c_str_utf8() + entry.toString() +
               proxy.toString() + a.c_str_utf8() + b.c_str_utf8();
    }
} o;

struct Op {
    const char* name;
    const char* fail;    // closed store, failed prepare (a write's failed exec)
    const char* format;  // failed sqlite3_mprintf; nullptr: the statement is constant
    const char* step;    // failed step; nullptr: as `fail`
    std::function<int()> call;
    void (*cleared)(Outputs&) = nullptr;  // what a failure clears, on top of the sentinels
};

void NoSessions(Outputs& x) {
    x.sessions.clear();
}
void NoConns(Outputs& x) {
    x.conns.clear();
}

// An operation on the outputs above, as the table's call.
#define CALL(...) [] { return SystemDB::__VA_ARGS__; }
const Op kOps[] = {
    {"getEnabledSession", R, NoMem, S, CALL(getEnabledSession(o.sessions)), NoSessions},
    {"getSessionListByConnectionID", R, NoMem, S, CALL(getSessionListByConnectionID(o.sessions, 1)),
     NoSessions},
    {"getValidSessionListByConnectionID", R, NoMem, S,
     CALL(getValidSessionListByConnectionID(o.sessions, 1)), NoSessions},
    {"getSessionInfoBySessionID", R, NoMem, S, CALL(getSessionInfoBySessionID(1, o.session))},
    {"getSessionInfoByLocalFolder", R, NoMem, S,
     CALL(getSessionInfoByLocalFolder("/a", o.session))},
    {"getSyncFolder", R, NoMem, S, CALL(getSyncFolder("home", o.a))},
    {"getFolderInfoByRowID", R, NoMem, S, CALL(getFolderInfoByRowID(1, o.a, o.b))},
    {"getSessionStatusAndErr", R, NoMem, S,
     CALL(getSessionStatusAndErr(1, o.n[0], o.n[1], o.n[2], o.n[3]))},
    {"getMaxSessionId", R, "getMaxSessionId: sqlite3_mprintf failed.\n", S,
     CALL(getMaxSessionId() == 0 ? -1 : 99)},  // 0 is its failure
    {"getPermSyncModeBySession", R, NoMem, S, CALL(getPermSyncModeBySession(1, o.mode))},
    {"isSyncFolderConflict", R, F5, S, CALL(isSyncFolderConflict("/a", o.flag, {}))},
    {"setSessionStatus", W, F1, nullptr, CALL(setSessionStatus(1, 2))},
    {"setSessionErr", W, F1, nullptr, CALL(setSessionErr(1, 2))},
    {"addNewSessionInfo", W, F2, nullptr, CALL(addNewSessionInfo(o.session))},
    {"updateSessionInfo", W, F2, nullptr, CALL(updateSessionInfo(o.session))},
    {"setSessionAsUsed", X, F3, nullptr, CALL(setSessionAsUsed(1))},
    {"checkRemovedView", R, F2, S, CALL(checkRemovedView(o.session, o.ids))},
    {"resetSession", W, "reset sqlite3_mprintf failed.\n", nullptr, CALL(resetSession(1))},
    {"deleteSession", W, "delete sqlite3_mprintf failed.\n", nullptr, CALL(deleteSession(1))},
    {"disableAllSession", W, F4, nullptr, CALL(disableAllSession())},
    {"checkHomeSessionFor2197", "checkHomeSessionExist: [%m]\n", NoMem,
     "checkHomeSessionExists: sqlite3_step failed[%c]\n", CALL(checkHomeSessionFor2197(1))},
    {"updateHomeViewID", W, F1, nullptr, CALL(updateHomeViewID(3, 1))},
    {"resetSessionPermission", X, F3, nullptr, CALL(resetSessionPermission(), -1)},
    {"setReadOnlyBySession", X, F3, nullptr, CALL(setReadOnlyBySession(1))},
    {"setReadWriteBySession", X, F3, nullptr, CALL(setReadWriteBySession(1))},
    {"setDisableBySession", X, F3, nullptr, CALL(setDisableBySession(1))},
    {"setPermSyncModeBySession", X, F3, nullptr, CALL(setPermSyncModeBySession(1, PERM_ALL))},
    {"setConnectionEntry", W, F2, nullptr,
     CALL(setConnectionEntry(o.info, ProxyInfo(), TunnelInfo()))},
    {"updateConnectionEntry", W, F2, nullptr,
     CALL(updateConnectionEntry(o.info, ProxyInfo(), TunnelInfo()))},
    {"setConnectionStatus", W, F1, nullptr, CALL(setConnectionStatus(1, 2))},
    {"setConnectionErr", W, F1, nullptr, CALL(setConnectionErr(1, 2))},
    {"setLinkByConnection", W, F4, nullptr, CALL(setLinkByConnection(1, 1))},
    {"setSSLEnableByConnID", X, F3, nullptr, CALL(setSSLEnableByConnID(1, 1))},
    {"updateUserInfo", "update user info of #1 failed (%c)\n", "", nullptr,
     CALL(updateUserInfo(1, 2, 3, true))},
    {"setPackageVersion", W, F5, nullptr, CALL(setPackageVersion(1, o.version))},
    {"deleteConnection", W, "delete sqlite3_mprintf failed.\n", nullptr, CALL(deleteConnection(1))},
    {"clearSystemDB", W, F4, nullptr, CALL(clearSystemDB())},
    {"checkLinked", R, nullptr, "checkLinked: sqlite3_step: %m (%c)\n", CALL(checkLinked(o.n[0]))},
    {"getConnectionEntryByConnID", R, F2, S, CALL(getConnectionEntryByConnID(1, o.entry))},
    {"getConnectionEntryByConnID", R, F2, S, CALL(getConnectionInfoById(1, o.info))},
    {"getConnectionInfoByORBID", R, F3, S, CALL(getConnectionInfoByORBID("", o.info))},
    {"getLinkedConnectionEntryList", R, nullptr, S, CALL(getLinkedConnectionEntryList(o.conns)),
     NoConns},
    {"getConnectionEntryList", R, nullptr, S, CALL(getConnectionEntryList(o.conns)), NoConns},
    {"getPackageVersionList", R, F4, S, CALL(getPackageVersionList({}, o.versions))},
    {"getPackageVersion", R, F4, S, CALL(getPackageVersion(1, o.version))},
    {"getPathInfoByPath", "getConnectionEntryAndViewIdByPath: [%m]\n",
     "getConnectionEntryAndViewIdByPath failed on sqlite3_mprintf", nullptr,
     CALL(getPathInfoByPath("/a/b", o.path))},
    {"setComputername", W, F4, nullptr, CALL(setComputername("pc"))},
    {"setGeneralOptions", W, F4, nullptr, CALL(setGeneralOptions(o.options))},
    {"setTargetClientVersion", W, "INSERT sqlite3_mprintf failed.\n", nullptr,
     CALL(setTargetClientVersion(3))},
    {"setLanguageOptions", W, F4, nullptr, CALL(setLanguageOptions("en"))},
    {"setProxyInfo", W, F4, nullptr, CALL(setUserProxyInfo(o.proxy))},
    {"setLastUpdateQueryTime", X, "", nullptr, CALL(setLastUpdateQueryTime(""))},
    {"getGeneralOptions", R, nullptr, S, CALL(getGeneralOptions(o.options))},
    {"getTargetClientVersion", R, nullptr, S, CALL(getTargetClientVersion(o.number))},
    {"getUserProxyInfo", R, nullptr, S, CALL(getUserProxyInfo(o.proxy)),
     [](Outputs& x) { x.proxy.clear(); }},  // on a failed prepare only
    {"getLastUpdateQueryTime", R, nullptr, S, CALL(getLastUpdateQueryTime(o.a))},
};

std::string Expand(std::string t, const std::string& name, int code, const std::string& msg) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"%n", name},
                              {"%c", std::to_string(code)},
                              {"%m", msg}})
        for (size_t at; (at = t.find(key)) != std::string::npos;) t.replace(at, 2, value);
    return t.empty() ? t : "[ERROR] system-db(N): " + t;
}

// The tables become views: over a table that is gone, so that every
// statement fails to prepare; or over themselves joined with a value whose
// abs() overflows, written through triggers that fail alike, so that every
// statement prepares and then fails on its first row.
std::string FaultSql(Fault f, const std::string& db) {
    std::string sql = "CREATE TABLE raw(n); INSERT INTO raw VALUES (-9223372036854775808);";
    for (std::string t : {"connection_table", "session_table", "system_table"}) {
        if (f == kPrepare) {
            sql += "DROP TABLE " + t + "; CREATE VIEW " + t + " AS SELECT * FROM raw;";
            continue;
        }
        std::string cols;
        for (const auto& c :
             testutil::QueryRows(db, "SELECT name FROM pragma_table_info('" + t + "')"))
            cols += (cols.empty() ? "t0." : ", t0.") + c[0] + " + abs(r.n) AS " + c[0];
        sql += "ALTER TABLE " + t + " RENAME TO " + t + "0; CREATE VIEW " + t + " AS SELECT " +
               cols + " FROM " + t + "0 AS t0, raw AS r;";
        for (std::string ev : {"INSERT", "UPDATE", "DELETE"})
            sql += "CREATE TRIGGER " + t + ev + " INSTEAD OF " + ev + " ON " + t +
                   " BEGIN SELECT abs(n) FROM raw; END;";
    }
    return f == kPrepare ? sql + "DROP TABLE raw;" : sql;
}

class FaultTableTest : public SystemDBFixture {};

TEST_F(FaultTableTest, EveryOperationFailsWithItsOwnEntryUnderEachFault) {
    const struct {
        Fault fault;
        int code;
        const char* msg;
    } faults[] = {{kClosed, 21, "system database is not open"},
                  {kFormat, 7, "out of memory"},
                  {kPrepare, 1, "no such table: main.raw"},
                  {kStep, 1, "integer overflow"}};
    for (const auto& f : faults) {
        SystemDB::destroy();
        db_ = dir_ / ("fault" + std::to_string(f.fault) + ".db");
        ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
        Plant(
            "INSERT INTO connection_table (id, orb_id) VALUES (1, 'o');"
            "INSERT INTO session_table (id, conn_id, share_name, sync_folder, attribute) "
            "VALUES (1, 1, 'home', '/a/', 4);");
        if (f.fault == kClosed) SystemDB::destroy();
        if (f.fault == kPrepare || f.fault == kStep) {
            Plant(FaultSql(f.fault, db_));
            Log seen;  // the first statement meets the new schema only when stepped
            SystemDB::getMaxSessionId();
        }
        const std::string before = testutil::ReadFile(db_);
        for (const Op& op : kOps) {
            if (f.fault == kFormat && !op.format) continue;
            const char* line = op.fail;
            if (f.fault == kFormat) line = std::string(op.format) == NoMem ? op.fail : op.format;
            if (f.fault == kStep && op.step) line = op.step;
            o = Outputs();
            Outputs expected;
            if (op.cleared &&
                !(f.fault == kStep && op.cleared != NoSessions && op.cleared != NoConns))
                op.cleared(expected);
            Log log;
            sqlite3_int64 hard = f.fault == kFormat ? sqlite3_hard_heap_limit64(1) : -1;
            int rc = op.call();
            if (hard >= 0) sqlite3_hard_heap_limit64(hard);
            EXPECT_EQ(rc, -1) << op.name << " under fault " << f.fault;
            EXPECT_EQ(log.Text(), Expand(line, op.name, f.code, f.msg)) << "fault " << f.fault;
            EXPECT_EQ(o.Text(), expected.Text()) << op.name << " under fault " << f.fault;
        }
        EXPECT_EQ(testutil::ReadFile(db_), before) << "fault " << f.fault;
    }
    sqlite3_soft_heap_limit64(0);  // the hard limit lowered it
}

// ---- faults of the machine -------------------------------------------------

using FaultDbTest = SystemDBFixture;

TEST_F(FaultDbTest, ALockHeldByAnotherProcessIsWaitedFor) {
    ASSERT_EQ(SystemDB::setTargetClientVersion(1), 0);
    SystemDB::destroy();
    long version = 0;
    std::function<int()> calls[] = {[&] { return SystemDB::initialize(ustring(db_.c_str())); },
                                    [] { return SystemDB::setTargetClientVersion(2); },
                                    [&] { return SystemDB::getTargetClientVersion(version); }};
    for (auto& call : calls) {
        testutil::DatabaseLockHolder holder(db_, 1200);
        ASSERT_TRUE(holder.locked());
        Log log;
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(call(), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_EQ(log.Text(), "");
    }
    EXPECT_EQ(version, 2);
}

// Each case runs in a child whose standard error goes to a file: as "nobody",
// a read-only file in a read-only directory, and a new file there; on a
// private 512 kB tmpfs, writes once it is full and again after room is made.
TEST_F(FaultDbTest, UnwritableAndFullFileSystemsFailWritesAndKeepEarlierRows) {
    SystemDB::destroy();
    const std::string err = dir_ / "stderr", ro = dir_ / "ro", mnt = dir_ / "mnt";
    const std::string before = testutil::ReadFile(db_);
    ASSERT_EQ(mkdir(ro.c_str(), 0755) | mkdir(mnt.c_str(), 0755), 0);
    testutil::WriteFile(ro + "/system.db", before);
    testutil::WriteFile(err, "");
    ASSERT_EQ(chmod((ro + "/system.db").c_str(), 0444) | chmod(ro.c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755) | chmod(err.c_str(), 0666), 0);
    auto say = [](const char* what, long n) { std::fprintf(stderr, "%s %ld\n", what, n); };
    int rc = testutil::RunInChild(
        [&] {
            if (!testutil::RedirectStderrTo(err)) return 3;
            say("ro", SystemDB::initialize(ustring((ro + "/system.db").c_str())));
            say("new", SystemDB::initialize(ustring((ro + "/new.db").c_str())));
            return 0;
        },
        true);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(testutil::ReadFile(ro + "/system.db"), before);
    EXPECT_FALSE(testutil::PathExists(ro + "/new.db"));
    const std::string ro_lines = testutil::ReadFile(err);
    rc = testutil::RunInChild([&] {
        if (!testutil::MountPrivateTmpfs(mnt, "size=512k").empty()) return 77;
        if (!testutil::RedirectStderrTo(err)) return 3;
        long v = 0;
        say("init", SystemDB::initialize(ustring((mnt + "/system.db").c_str())));
        say("set", SystemDB::setTargetClientVersion(7));
        say("full", testutil::FillFileSystem(mnt + "/filler") == ENOSPC);
        say("set", SystemDB::setTargetClientVersion(8));
        say("name", SystemDB::setComputername(std::string(20000, 'n').c_str()));
        say("get", SystemDB::getTargetClientVersion(v));
        say("version", v);
        unlink((mnt + "/filler").c_str());
        say("set", SystemDB::setTargetClientVersion(9));
        say("get", SystemDB::getTargetClientVersion(v));
        say("version", v);
        return 0;
    });
    EXPECT_EQ(testutil::NormalizeLog(ro_lines, "system-db"),
              "[ERROR] system-db(N): SystemDB: Failed to initialize database at '" + ro +
                  "/system.db'. [8] attempt to write a readonly database\n[ERROR] system-db(N): "
                  "initialize fail attempt to write a readonly database\nro -1\n[ERROR] "
                  "system-db(N): SystemDB: Failed to open database at '" +
                  ro + "/new.db'. [14] unable to open database file\nnew -1\n");
    if (rc == 77) GTEST_SKIP() << "no private tmpfs here";
    ASSERT_EQ(rc, 0);
    const std::string full = " fail ret = 13 database or disk is full\n";
    EXPECT_EQ(testutil::NormalizeLog(testutil::ReadFile(err), "system-db"),
              "init 0\nset 0\nfull 1\n[ERROR] system-db(N): setTargetClientVersion" + full +
                  "set -1\n[ERROR] system-db(N): setComputername" + full +
                  "name -1\nget 0\nversion 7\nset 0\nget 0\nversion 9\n");
}

// Sessions over many pages: zeroing the second half (but the last page) keeps
// the file openable and damages those rows; a file cut half way or inside
// its header is refused, untouched.
TEST_F(FaultDbTest, DamagedOrTruncatedFilesFailCleanly) {
    ASSERT_EQ(SystemDB::setTargetClientVersion(3), 0);
    std::string sql = "BEGIN;";
    for (int i = 0; i < 400; ++i)
        sql += "INSERT INTO session_table (share_name) VALUES ('" + std::to_string(i) +
               std::string(200, 'x') + "');";
    Plant(sql + "COMMIT;");
    SystemDB::destroy();
    const std::string good = testutil::ReadFile(db_);
    std::string bytes = good;
    std::fill(bytes.begin() + static_cast<long>(bytes.size() / 8192 * 4096), bytes.end() - 4096,
              '\0');
    testutil::WriteFile(db_, bytes);
    Log log;
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    std::list<SessionInfo> sessions;
    SessionInfo s;
    long version = 0;
    EXPECT_EQ(SystemDB::getEnabledSession(sessions), -1);
    EXPECT_EQ(SystemDB::addNewSessionInfo(s), -1);
    EXPECT_EQ(SystemDB::setTargetClientVersion(4), 0);  // the intact table goes on working
    EXPECT_EQ(SystemDB::getTargetClientVersion(version), 0);
    EXPECT_EQ(version, 4);
    SystemDB::destroy();
    const std::string bad = " database disk image is malformed\n";
    std::string expected = "[ERROR] system-db(N): sqlite3_step: [11]" + bad +
                           "[ERROR] system-db(N): addNewSessionInfo fail ret = 11" + bad;
    for (size_t size : {good.size() / 2 + 100, size_t{50}}) {
        testutil::WriteFile(db_, good.substr(0, size));
        EXPECT_EQ(SystemDB::initialize(ustring(db_.c_str())), -1);
        EXPECT_EQ(testutil::ReadFile(db_), good.substr(0, size));
        expected += "[ERROR] system-db(N): SystemDB: Failed to initialize database at '" + db_ +
                    "'. [11]" + bad + "[ERROR] system-db(N): initialize fail" + bad;
    }
    EXPECT_EQ(log.Text(), expected);
}

}  // namespace
