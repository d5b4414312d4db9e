// Every operation under each statement fault, and the store under machine
// faults: -1 and the operation's own line; outputs and stored rows stay.
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
#include <tuple>

#include "db_fixture.h"

namespace {

using dbtest::Log;

enum Fault { kClosed, kFormat, kPrepare, kStep };

// Entry templates: %n the operation, %c and %m SQLite's code and message.
const char* const W = "%n fail ret = %c %m\n";
const char* const R = "%n: sqlite3_prepare_v2: %m (%c)\n";
const char* const X = "sqlite3_exec failed: ret = %c [%m]\n";
const char* const S = "sqlite3_step: [%c] %m\n";
const char* const NoMem = "=";  // format fault: the prepare entry for want of memory
#define F5 "sqlite3_mprintf failed.\n"
const char* const F1 = " " F5;
const char* const F2 = "insert/replace " F5;
const char* const F3 = "sqlite3_mprintf failed\n";
const char* const F4 = "insert " F5;

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
    std::function<int()> call;
    const char* fail;              // closed store, failed prepare (a write's failed exec)
    const char* format = nullptr;  // failed sqlite3_mprintf; nullptr: a constant statement
    const char* step = nullptr;    // failed step; nullptr: as `fail`
    int cleared = 0;               // what a failure clears besides (a failed step: lists)
};
enum { NoSessions = 1, NoConns = 2, NoProxy = 4 };

// A row: name in the log, call, then its entries (see above); cleared last.
#define C(...) [] { return SystemDB::__VA_ARGS__; }
#define OP(fn, args, ...) \
    { #fn, C(fn args), __VA_ARGS__ }
const Op kOps[] = {
    OP(getEnabledSession, (o.sessions), R, NoMem, S, NoSessions),
    OP(getSessionListByConnectionID, (o.sessions, 1), R, NoMem, S, NoSessions),
    OP(getValidSessionListByConnectionID, (o.sessions, 1), R, NoMem, S, NoSessions),
    OP(getSessionInfoBySessionID, (1, o.session), R, NoMem, S),
    OP(getSessionInfoByLocalFolder, ("/a", o.session), R, NoMem, S),
    OP(getSyncFolder, ("home", o.a), R, NoMem, S),
    OP(getFolderInfoByRowID, (1, o.a, o.b), R, NoMem, S),
    OP(getSessionStatusAndErr, (1, o.n[0], o.n[1], o.n[2], o.n[3]), R, NoMem, S),
    {"getMaxSessionId", C(getMaxSessionId() == 0 ? -1 : 9), R, "getMaxSessionId: " F5, S},
    OP(getPermSyncModeBySession, (1, o.mode), R, NoMem, S),
    OP(isSyncFolderConflict, ("/a", o.flag, {}), R, F5, S),
    OP(setSessionStatus, (1, 2), W, F1),
    OP(setSessionErr, (1, 2), W, F1),
    OP(addNewSessionInfo, (o.session), W, F2),
    OP(updateSessionInfo, (o.session), W, F2),
    OP(setSessionAsUsed, (1), X, F3),
    OP(checkRemovedView, (o.session, o.ids), R, F2, S),
    OP(resetSession, (1), W, "reset " F5),
    OP(deleteSession, (1), W, "delete " F5),
    OP(disableAllSession, (), W, F4),
    {"checkHomeSessionFor2197", C(checkHomeSessionFor2197(1)), "checkHomeSessionExist: [%m]\n",
     NoMem, "checkHomeSessionExists: sqlite3_step failed[%c]\n"},
    OP(updateHomeViewID, (3, 1), W, F1),
    {"resetSessionPermission", C(resetSessionPermission(), -1), X, F3},
    OP(setReadOnlyBySession, (1), X, F3),
    OP(setReadWriteBySession, (1), X, F3),
    OP(setDisableBySession, (1), X, F3),
    OP(setPermSyncModeBySession, (1, PERM_ALL), X, F3),
    OP(setConnectionEntry, (o.info, ProxyInfo(), TunnelInfo()), W, F2),
    OP(updateConnectionEntry, (o.info, ProxyInfo(), TunnelInfo()), W, F2),
    OP(setConnectionStatus, (1, 2), W, F1),
    OP(setConnectionErr, (1, 2), W, F1),
    OP(setLinkByConnection, (1, 1), W, F4),
    OP(setSSLEnableByConnID, (1, 1), X, F3),
    {"updateUserInfo", C(updateUserInfo(1, 2, 3, true)), "update user info of #1 failed (%c)\n",
     ""},
    OP(setPackageVersion, (1, o.version), W, F5),
    OP(deleteConnection, (1), W, "delete " F5),
    OP(clearSystemDB, (), W, F4),
    OP(checkLinked, (o.n[0]), R, nullptr, "checkLinked: sqlite3_step: %m (%c)\n"),
    OP(getConnectionEntryByConnID, (1, o.entry), R, F2, S),
    {"getConnectionEntryByConnID", C(getConnectionInfoById(1, o.info)), R, F2, S},
    OP(getConnectionInfoByORBID, ("", o.info), R, F3, S),
    OP(getLinkedConnectionEntryList, (o.conns), R, nullptr, S, NoConns),
    OP(getConnectionEntryList, (o.conns), R, nullptr, S, NoConns),
    OP(getPackageVersionList, ({}, o.versions), R, F4, S),
    OP(getPackageVersion, (1, o.version), R, F4, S),
    {"getPathInfoByPath", C(getPathInfoByPath("/a/b", o.path)),
     "getConnectionEntryAndViewIdByPath: [%m]\n",
     "getConnectionEntryAndViewIdByPath failed on sqlite3_mprintf"},
    OP(setComputername, ("pc"), W, F4),
    OP(setGeneralOptions, (o.options), W, F4),
    OP(setTargetClientVersion, (3), W, "INSERT " F5),
    OP(setLanguageOptions, ("en"), W, F4),
    {"setProxyInfo", C(setUserProxyInfo(o.proxy)), W, F4},
    OP(setLastUpdateQueryTime, (""), X, ""),
    OP(getGeneralOptions, (o.options), R, nullptr, S),
    OP(getTargetClientVersion, (o.number), R, nullptr, S),
    OP(getUserProxyInfo, (o.proxy), R, nullptr, S, NoProxy),
    OP(getLastUpdateQueryTime, (o.a), R, nullptr, S)};

std::string Expand(std::string t, const std::string& name, int code, const std::string& msg) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"%n", name},
                              {"%c", std::to_string(code)},
                              {"%m", msg}})
        for (size_t at; (at = t.find(key)) != std::string::npos;) t.replace(at, 2, value);
    return t.empty() ? t : dbtest::kErr + t;
}

// The tables become views over a dropped table (every prepare fails) or over
// themselves joined with an abs() that overflows, triggers alike (every step).
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

using FaultDbTest = SystemDBFixture;

TEST_F(FaultDbTest, EveryOperationFailsWithItsOwnEntryUnderEachFault) {
    const std::tuple<Fault, int, const char*> faults[] = {
        {kClosed, 21, "system database is not open"},
        {kFormat, 7, "out of memory"},
        {kPrepare, 1, "no such table: main.raw"},
        {kStep, 1, "integer overflow"}};
    for (const auto& [fault, code, msg] : faults) {
        SystemDB::destroy();
        db_ = dir_ / ("fault" + std::to_string(fault) + ".db");
        ASSERT_EQ(Open(db_), 0);
        Plant(
            "INSERT INTO connection_table (id, orb_id) VALUES (1, 'o'); INSERT INTO session_table "
            "(id, conn_id, share_name, sync_folder, attribute) VALUES (1, 1, 'home', '/a/', 4);");
        if (fault == kClosed) SystemDB::destroy();
        if (fault == kPrepare || fault == kStep) {
            Plant(FaultSql(fault, db_));
            Log seen;  // the first statement meets the new schema only when stepped
            SystemDB::getMaxSessionId();
        }
        const std::string before = testutil::ReadFile(db_);
        for (const Op& op : kOps) {
            if (fault == kFormat && !op.format) continue;
            const char* line = op.fail;
            if (fault == kFormat && std::string(op.format) != NoMem) line = op.format;
            if (fault == kStep && op.step) line = op.step;
            o = Outputs();
            Outputs expected;
            if (op.cleared & NoSessions) expected.sessions.clear();
            if (op.cleared & NoConns) expected.conns.clear();
            if (op.cleared & NoProxy && fault != kStep) expected.proxy.clear();
            Log log;
            sqlite3_int64 hard = fault == kFormat ? sqlite3_hard_heap_limit64(1) : -1;
            int rc = op.call();
            if (hard >= 0) sqlite3_hard_heap_limit64(hard);
            const std::string at = std::string(op.name) + " under fault " + std::to_string(fault);
            EXPECT_EQ(rc, -1) << at;
            EXPECT_EQ(log.Text(), Expand(line, op.name, code, msg)) << at;
            EXPECT_EQ(o.Text(), expected.Text()) << at;
        }
        EXPECT_EQ(testutil::ReadFile(db_), before) << "fault " << fault;
    }
    sqlite3_soft_heap_limit64(0);  // the hard limit lowered it
}

TEST_F(FaultDbTest, ALockHeldByAnotherProcessIsWaitedFor) {
    ASSERT_EQ(SystemDB::setTargetClientVersion(1), 0);
    SystemDB::destroy();
    long version = 0;
    std::function<int()> calls[] = {[&] { return Open(db_); },
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

// In children logging to a file: as "nobody", a read-only file and directory;
// then a private 512 kB tmpfs, written when full and after room is made.
TEST_F(FaultDbTest, UnwritableAndFullFileSystemsFailWritesAndKeepEarlierRows) {
    SystemDB::destroy();
    const std::string err = dir_ / "stderr", ro = dir_ / "ro", mnt = dir_ / "mnt";
    const std::string before = testutil::ReadFile(db_), e = dbtest::kErr;
    ASSERT_EQ(mkdir(ro.c_str(), 0755) | mkdir(mnt.c_str(), 0755), 0);
    testutil::WriteFile(ro + "/system.db", before);
    testutil::WriteFile(err, "");
    ASSERT_EQ(chmod((ro + "/system.db").c_str(), 0444) | chmod(ro.c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755) | chmod(err.c_str(), 0666), 0);
    auto say = [](const char* what, long n) { std::fprintf(stderr, "%s %ld\n", what, n); };
    int rc = testutil::RunInChild(
        [&] {
            if (!testutil::RedirectStderrTo(err)) return 3;
            say("ro", Open(ro + "/system.db"));
            say("new", Open(ro + "/new.db"));
            return 0;
        },
        true);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(testutil::ReadFile(ro + "/system.db"), before);
    EXPECT_FALSE(testutil::PathExists(ro + "/new.db"));
    EXPECT_EQ(testutil::NormalizeLog(testutil::ReadFile(err), "system-db"),
              e + "SystemDB: Failed to initialize database at '" + ro +
                  "/system.db'. [8] attempt to write a readonly database\n" + e +
                  "initialize fail attempt to write a readonly database\nro -1\n" + e +
                  "SystemDB: Failed to open database at '" + ro +
                  "/new.db'. [14] unable to open database file\nnew -1\n");
    rc = testutil::RunInChild([&] {
        if (!testutil::MountPrivateTmpfs(mnt, "size=512k").empty()) return 77;
        if (!testutil::RedirectStderrTo(err)) return 3;
        long v = 0;
        say("init", Open(mnt + "/system.db"));
        say("set", SystemDB::setTargetClientVersion(7));
        say("full", testutil::FillFileSystem(mnt + "/filler") == ENOSPC);
        say("set", SystemDB::setTargetClientVersion(8));
        say("name", SystemDB::setComputername(std::string(20000, 'n').c_str()));
        say("get", SystemDB::getTargetClientVersion(v) + v);
        unlink((mnt + "/filler").c_str());
        say("set", SystemDB::setTargetClientVersion(9));
        say("get", SystemDB::getTargetClientVersion(v) + v);
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "no private tmpfs here";
    ASSERT_EQ(rc, 0);
    const std::string full = " fail ret = 13 database or disk is full\n";
    EXPECT_EQ(testutil::NormalizeLog(testutil::ReadFile(err), "system-db"),
              "init 0\nset 0\nfull 1\n" + e + "setTargetClientVersion" + full + "set -1\n" + e +
                  "setComputername" + full + "name -1\nget 7\nset 0\nget 9\n");
}

// Zeroed session pages (the last kept) leave the file openable but those rows
// damaged; a file cut short or no database is refused, untouched.
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
    ASSERT_EQ(Open(db_), 0);
    std::list<SessionInfo> sessions;
    SessionInfo s;
    long version = 0;
    EXPECT_EQ(SystemDB::getEnabledSession(sessions), -1);
    EXPECT_EQ(SystemDB::addNewSessionInfo(s), -1);
    EXPECT_EQ(SystemDB::setTargetClientVersion(4), 0);  // the intact table goes on working
    EXPECT_EQ(SystemDB::getTargetClientVersion(version) + version, 4);
    SystemDB::destroy();
    const std::string bad = " database disk image is malformed\n", e = dbtest::kErr;
    std::string expected =
        e + "sqlite3_step: [11]" + bad + e + "addNewSessionInfo fail ret = 11" + bad;
    // Still closed after each refusal, so the next file is tried.
    for (std::string bytes : {good.substr(0, good.size() / 2 + 100), good.substr(0, 50),
                              std::string("not a database\n")}) {
        testutil::WriteFile(db_, bytes);
        EXPECT_EQ(Open(db_), -1);
        EXPECT_EQ(testutil::ReadFile(db_), bytes);
        const std::string why = bytes.size() >= 50 ? bad : " file is not a database\n";
        expected += e + "SystemDB: Failed to initialize database at '" + db_ + "'. [" +
                    (bytes.size() >= 50 ? "11]" : "26]") + why + e + "initialize fail" + why;
    }
    EXPECT_EQ(log.Text(), expected);
}

}  // namespace
