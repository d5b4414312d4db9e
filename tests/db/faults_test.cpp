// Every operation of the store, run under each statement fault (-1, its own
// entry, outputs and rows unchanged) and at DEBUG on a store holding secrets
// (its own entries, no secret shown); then the store under machine faults.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <list>
#include <sstream>
#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using dbtest::Stored;

// The entries an operation writes when its statement fails, less their
// "[ERROR] system-db(N): " prefix. <op> stands for the operation's name,
// <code> and <msg> for SQLite's result code and message.
const char kExecFailed[] = "<op> fail ret = <code> <msg>\n";
const char kPrepareFailed[] = "<op>: sqlite3_prepare_v2: <msg> (<code>)\n";
const char kStepFailed[] = "sqlite3_step: [<code>] <msg>\n";
const char kUnnamedExecFailed[] = "sqlite3_exec failed: ret = <code> [<msg>]\n";
// Formatting failures: each write keeps the entry it has always had.
const char kFormatFailed[] = "sqlite3_mprintf failed.\n";
const char kFormatFailedWide[] = " sqlite3_mprintf failed.\n";
const char kFormatFailedShort[] = "sqlite3_mprintf failed\n";
const char kInsertFormatFailed[] = "insert sqlite3_mprintf failed.\n";
const char kInsertReplaceFormatFailed[] = "insert/replace sqlite3_mprintf failed.\n";
const char kDeleteFormatFailed[] = "delete sqlite3_mprintf failed.\n";
const char kNoEntry[] = "";

// Secrets, each planted in the store or in a record and never to be shown.
const std::string kSessionText = "session-text-42";
const std::string kConnectionPassword = "connection-password-42";
const std::string kProxyPassword = "proxy-password-42";
const std::string kUserProxyPassword = "user-proxy-password-42";

// The rows every operation below finds: connection 1 with its session text and
// proxy password, its enabled "home" session 1 in /a, the user's proxy password.
const std::string kRows =
    "INSERT INTO connection_table (id, orb_id, linked, session, proxy_password) VALUES (1, 'o', "
    "1, '" +
    kSessionText + "', '" + Stored(kProxyPassword) +
    "'); INSERT INTO session_table (id, conn_id, share_name, sync_folder, attribute) VALUES (1, 1, "
    "'home', '/a/', 4); INSERT INTO system_table VALUES ('user_proxy_pass', '" +
    Stored(kUserProxyPassword) + "');";

// Every output of the operations, holding values that no failure may change,
// and the secrets that the writes store.
struct Outputs {
    Outputs() {
        session.session_id = 7;
        session.share_name = "home";
        session.conn_id = 1;
        connection.orb_id = "o";
        connection.conn_id = 7;
        entry.connection_info.conn_id = 7;
        path.view_id = 7;
        proxy.host = "proxy host";
        options.sync_mode = 9;
        version.major = 9;
        for (ConnectionInfo* info : {&connection, &entry.connection_info}) {
            info->session = kSessionText.c_str();
            info->password = kConnectionPassword.c_str();
        }
        entry.proxy_info.password = kProxyPassword;
        proxy.password = kUserProxyPassword;
    }
    std::string Text() const {
        std::ostringstream text;
        text << "sessions=" << sessions.size() << " connections=" << connections.size()
             << " ids=" << ids.size() << " versions=" << versions.size() << " status=" << status
             << "/" << error << "/" << connection_status << "/" << connection_error
             << " linked=" << linked << " client_version=" << client_version << " mode=" << mode
             << " conflict=" << conflict << " sync_mode=" << options.sync_mode
             << " major=" << version.major << " view=" << path.view_id << "\n"
             << dbtest::Str(session) << connection.toString() << "\n"
             << entry.toString() << "\n"
             << path.connection_entry.toString() << "\n"
             << proxy.toString() << "\nshare=" << share << " folder=" << folder
             << " query_time=" << query_time;
        for (const ConnectionEntry& listed : connections) text << "\n" << listed.toString();
        return text.str();
    }

    std::list<SessionInfo> sessions{2};
    std::list<ConnectionEntry> connections{2};
    std::list<uint64_t> ids{4};
    std::list<long> versions{9};
    SessionInfo session;
    ConnectionInfo connection;
    ConnectionEntry entry;
    ProxyInfo proxy;
    PathInfo path;
    GeneralOptions options;
    VersionInfo version;
    ustring share{"share"}, folder{"folder"}, query_time{"query time"};
    int status = 5, error = 5, connection_status = 5, connection_error = 5, linked = 5;
    long client_version = 5;
    PERM_MODE mode = PERM_DOMAIN;
    bool conflict = true;
} out;

// Outputs a failure empties.
enum Cleared { kNothing, kSessionList, kConnectionList, kProxy };

// The result of an operation that returns none.
constexpr int kNoResult = INT_MIN;

// One operation and the entries it writes, after the prefix, when its
// statement fails or, at DEBUG, on a store holding kRows.
struct Operation {
    const char* name;                 // as its failure entries name it
    std::function<int()> call;        // -1 when it fails
    const char* failed;               // a closed store or failed prepare; a write's failed exec
    const char* format_failed;        // nullptr: a constant statement, never formatted
    const char* step_failed;          // a read's failed step; a write's failed exec
    Cleared cleared = kNothing;       // besides, on every failure but a failed step
    std::string at_debug = kNoEntry;  // every entry at DEBUG, each with its prefix

    Operation Clearing(Cleared what) const { return With(&Operation::cleared, what); }
    Operation Unformatted() const { return With<const char*>(&Operation::format_failed, nullptr); }
    Operation FormatFailing(const char* entry) const {
        return With(&Operation::format_failed, entry);
    }
    Operation StepFailing(const char* entry) const { return With(&Operation::step_failed, entry); }
    // A read's own prepare entry, also met when formatting fails.
    Operation PrepareFailing(const char* entry) const {
        return With(&Operation::failed, entry).FormatFailing(entry);
    }
    // A write's own exec entry.
    Operation ExecFailing(const char* entry) const {
        return With(&Operation::failed, entry).StepFailing(entry);
    }
    Operation AtDebug(const std::string& entries) const {
        return With(&Operation::at_debug, entries);
    }

  private:
    template <class T>
    Operation With(T Operation::*member, T value) const {
        Operation copy = *this;
        copy.*member = value;
        return copy;
    }
};

// A read fails with its prepare entry, also when formatting fails (the
// missing text meets the prepare as want of memory), and a failed step with
// the step entry.
Operation Read(const char* name, std::function<int()> call) {
    return {name, std::move(call), kPrepareFailed, kPrepareFailed, kStepFailed};
}
// A write fails with its exec entry, or its formatting entry.
Operation Write(const char* name, const char* format_failed, std::function<int()> call) {
    return {name, std::move(call), kExecFailed, format_failed, kExecFailed};
}
// The attribute and permission writes name no operation in their entries.
Operation UnnamedWrite(const char* name, std::function<int()> call) {
    return {name, std::move(call), kUnnamedExecFailed, kFormatFailedShort, kUnnamedExecFailed};
}

std::string Debug(const std::string& text) {
    return dbtest::kDebug + text;
}

const Operation kOperations[] = {
    // session queries
    Read("getEnabledSession", [] { return SystemDB::getEnabledSession(out.sessions); })
        .Clearing(kSessionList)
        .AtDebug(Debug("getEnabledSession\n")),
    Read("getSessionListByConnectionID",
         [] { return SystemDB::getSessionListByConnectionID(out.sessions, 1); })
        .Clearing(kSessionList)
        .AtDebug(Debug("getSessionListByConnectionID")),
    Read("getValidSessionListByConnectionID",
         [] { return SystemDB::getValidSessionListByConnectionID(out.sessions, 1); })
        .Clearing(kSessionList)
        .AtDebug(Debug("getValidSessionListByConnectionID\n")),
    Read("getSessionInfoBySessionID",
         [] { return SystemDB::getSessionInfoBySessionID(1, out.session); }),
    Read("getSessionInfoByLocalFolder",
         [] { return SystemDB::getSessionInfoByLocalFolder("/a", out.session); }),
    Read("getSyncFolder", [] { return SystemDB::getSyncFolder("home", out.folder); })
        .AtDebug(Debug("getSyncFolder\n")),
    Read("getFolderInfoByRowID",
         [] { return SystemDB::getFolderInfoByRowID(1, out.share, out.folder); })
        .AtDebug(Debug("getSystemInfo\n")),
    Read("getSessionStatusAndErr",
         [] {
             return SystemDB::getSessionStatusAndErr(1, out.status, out.error,
                                                     out.connection_status, out.connection_error);
         })
        .AtDebug(Debug("getSessionStatusAndErr\n")),
    // Reports failure as the id 0.
    Read("getMaxSessionId", [] { return SystemDB::getMaxSessionId() == 0 ? -1 : 0; })
        .FormatFailing("getMaxSessionId: sqlite3_mprintf failed.\n")
        .AtDebug(Debug("getMaxSessionId: get max id = [1]\n")),
    Read("getPermSyncModeBySession",
         [] { return SystemDB::getPermSyncModeBySession(1, out.mode); }),
    Read("isSyncFolderConflict",
         [] { return SystemDB::isSyncFolderConflict("/a", out.conflict, {}); })
        .FormatFailing(kFormatFailed),
    Read("checkRemovedView", [] { return SystemDB::checkRemovedView(out.session, out.ids); })
        .FormatFailing(kInsertReplaceFormatFailed),
    Read("checkHomeSessionFor2197", [] { return SystemDB::checkHomeSessionFor2197(1); })
        .PrepareFailing("checkHomeSessionExist: [<msg>]\n")
        .StepFailing("checkHomeSessionExists: sqlite3_step failed[<code>]\n")
        .AtDebug(Debug("checkHomeSessionExist: There is a home session")),
    // session writes
    Write("setSessionStatus", kFormatFailedWide, [] { return SystemDB::setSessionStatus(1, 2); }),
    Write("setSessionErr", kFormatFailedWide, [] { return SystemDB::setSessionErr(1, 2); }),
    Write("addNewSessionInfo", kInsertReplaceFormatFailed,
          [] { return SystemDB::addNewSessionInfo(out.session); }),
    Write("updateSessionInfo", kInsertReplaceFormatFailed,
          [] { return SystemDB::updateSessionInfo(out.session); })
        .AtDebug(Debug("update row id 1\n")),
    Write("resetSession", "reset sqlite3_mprintf failed.\n",
          [] { return SystemDB::resetSession(1); })
        .AtDebug(Debug("resetSession. id:[1]\n")),
    Write("deleteSession", kDeleteFormatFailed, [] { return SystemDB::deleteSession(1); })
        .AtDebug(Debug("deleteSession. id:[1]\n")),
    Write("disableAllSession", kInsertFormatFailed, [] { return SystemDB::disableAllSession(); })
        .AtDebug(Debug("disableAllSession \n")),
    Write("updateHomeViewID", kFormatFailedWide, [] { return SystemDB::updateHomeViewID(3, 1); }),
    UnnamedWrite("setSessionAsUsed", [] { return SystemDB::setSessionAsUsed(1); }),
    UnnamedWrite("resetSessionPermission",
                 [] {
                     SystemDB::resetSessionPermission();
                     return kNoResult;
                 }),
    UnnamedWrite("setReadOnlyBySession", [] { return SystemDB::setReadOnlyBySession(1); }),
    UnnamedWrite("setReadWriteBySession", [] { return SystemDB::setReadWriteBySession(1); }),
    UnnamedWrite("setDisableBySession", [] { return SystemDB::setDisableBySession(1); }),
    UnnamedWrite("setPermSyncModeBySession",
                 [] { return SystemDB::setPermSyncModeBySession(1, PERM_ALL); }),
    // connection writes
    Write("setConnectionEntry", kInsertReplaceFormatFailed,
          [] {
              return SystemDB::setConnectionEntry(out.connection, out.entry.proxy_info,
                                                  out.entry.tunnel_info);
          }),
    Write("updateConnectionEntry", kInsertReplaceFormatFailed,
          [] {
              return SystemDB::updateConnectionEntry(out.connection, out.entry.proxy_info,
                                                     out.entry.tunnel_info);
          })
        .AtDebug(Debug("update conn id 1\n")),
    Write("setConnectionStatus", kFormatFailedWide,
          [] { return SystemDB::setConnectionStatus(1, 2); }),
    Write("setConnectionErr", kFormatFailedWide, [] { return SystemDB::setConnectionErr(1, 2); }),
    Write("setLinkByConnection", kInsertFormatFailed,
          [] { return SystemDB::setLinkByConnection(1, 1); }),
    UnnamedWrite("setSSLEnableByConnID", [] { return SystemDB::setSSLEnableByConnID(1, true); }),
    Write("updateUserInfo", kNoEntry, [] { return SystemDB::updateUserInfo(1, 2, 3, true); })
        .ExecFailing("update user info of #1 failed (<code>)\n"),
    Write("setPackageVersion", kFormatFailed,
          [] { return SystemDB::setPackageVersion(1, out.version); }),
    Write("deleteConnection", kDeleteFormatFailed, [] { return SystemDB::deleteConnection(1); })
        .AtDebug(Debug("deleteConnection. id:[1]\n")),
    Write("clearSystemDB", kInsertFormatFailed, [] { return SystemDB::clearSystemDB(); })
        .AtDebug(Debug("clear System DB \n")),
    // connection queries
    Read("checkLinked", [] { return SystemDB::checkLinked(out.linked); })
        .Unformatted()
        .StepFailing("checkLinked: sqlite3_step: <msg> (<code>)\n"),
    Read("getConnectionEntryByConnID",
         [] { return SystemDB::getConnectionEntryByConnID(1, out.entry); })
        .FormatFailing(kInsertReplaceFormatFailed),
    // Through getConnectionEntryByConnID.
    Read("getConnectionEntryByConnID",
         [] { return SystemDB::getConnectionInfoById(1, out.connection); })
        .FormatFailing(kInsertReplaceFormatFailed),
    Read("getConnectionInfoByORBID",
         [] { return SystemDB::getConnectionInfoByORBID("o", out.connection); })
        .FormatFailing(kFormatFailedShort),
    Read("getLinkedConnectionEntryList",
         [] { return SystemDB::getLinkedConnectionEntryList(out.connections); })
        .Unformatted()
        .Clearing(kConnectionList)
        .AtDebug(Debug("getLinkedConnectionEntryList\n")),
    Read("getConnectionEntryList", [] { return SystemDB::getConnectionEntryList(out.connections); })
        .Unformatted()
        .Clearing(kConnectionList)
        .AtDebug(Debug("getConnectionEntryList\n")),
    Read("getPackageVersionList", [] { return SystemDB::getPackageVersionList({}, out.versions); })
        .FormatFailing(kInsertFormatFailed)
        .AtDebug(Debug("version add 0\n")),
    Read("getPackageVersion", [] { return SystemDB::getPackageVersion(1, out.version); })
        .FormatFailing(kInsertFormatFailed)
        .AtDebug(Debug("package build number: [0]\n") + Debug("package major: [0]\n") +
                 Debug("package minor: [0]\n")),
    Read("getPathInfoByPath", [] { return SystemDB::getPathInfoByPath("/a/b", out.path); })
        .PrepareFailing("getConnectionEntryAndViewIdByPath: [<msg>]\n")
        .StepFailing("getConnectionEntryAndViewIdByPath: [<msg>]\n")
        .FormatFailing("getConnectionEntryAndViewIdByPath failed on sqlite3_mprintf")
        .AtDebug(Debug("Getting ConnectionEntry and view id by [/a/b].\n") +
                 Debug("Getting ConnectionEntry and view id. [SELECT s.view_id, s.sync_folder, c.* "
                       "FROM connection_table AS c, session_table AS s  WHERE (c.id = "
                       "s.conn_id) AND s.attribute & 4 AND s.sync_folder <> '' AND ('/a/b' LIKE "
                       "(replace(replace(replace(s.sync_folder, '\\', '\\\\'), '%', '\\%'), "
                       "'_', '\\_') || '%') ESCAPE '\\');]\n")),
    // settings
    Write("setComputername", kInsertFormatFailed, [] { return SystemDB::setComputername("pc"); })
        .AtDebug(Debug("set computer name pc\n")),
    Write("setGeneralOptions", kInsertFormatFailed,
          [] { return SystemDB::setGeneralOptions(out.options); })
        .AtDebug(Debug("1, 1, 1, 0, 9, ''\n")),
    Write("setTargetClientVersion", "INSERT sqlite3_mprintf failed.\n",
          [] { return SystemDB::setTargetClientVersion(3); })
        .AtDebug(Debug("set setTargetClientVersion\n")),
    Write("setLanguageOptions", kInsertFormatFailed,
          [] { return SystemDB::setLanguageOptions("en"); })
        .AtDebug(Debug("set setLanguageOptions\n")),
    // Its entries keep an earlier name.
    Write("setProxyInfo", kInsertFormatFailed, [] { return SystemDB::setUserProxyInfo(out.proxy); })
        .AtDebug(Debug("set setUserProxyInfo\n") + Debug("ip \n") + Debug("proxy_port 0\n") +
                 Debug("user_name \n") + Debug("password ********\n")),
    UnnamedWrite("setLastUpdateQueryTime", [] { return SystemDB::setLastUpdateQueryTime("t"); })
        .FormatFailing(kNoEntry),
    Read("getGeneralOptions", [] { return SystemDB::getGeneralOptions(out.options); })
        .Unformatted()
        .AtDebug(Debug("getGeneralOptions\n")),
    Read("getTargetClientVersion",
         [] { return SystemDB::getTargetClientVersion(out.client_version); })
        .Unformatted()
        .AtDebug(Debug("getTargetClientVersion\n") + dbtest::kErr +
                 "cannnot get getTargetClientVersion\n"),
    Read("getUserProxyInfo", [] { return SystemDB::getUserProxyInfo(out.proxy); })
        .Unformatted()
        .Clearing(kProxy)
        .AtDebug(Debug("getUserProxyInfo\n")),
    Read("getLastUpdateQueryTime", [] { return SystemDB::getLastUpdateQueryTime(out.query_time); })
        .Unformatted(),
};

// The failure entry of `templ`, with the operation's name and SQLite's code
// and message.
std::string Entry(std::string templ, const std::string& name, int code, const std::string& msg) {
    const std::pair<std::string, std::string> fields[] = {
        {"<op>", name}, {"<code>", std::to_string(code)}, {"<msg>", msg}};
    for (const auto& [field, value] : fields)
        for (size_t at; (at = templ.find(field)) != std::string::npos;)
            templ.replace(at, field.size(), value);
    return templ.empty() ? templ : dbtest::kErr + templ;
}

// Ways to make every statement fail, and what SQLite then reports.
enum class Fault { kClosedStore, kFormatting, kPrepare, kStep };
struct StatementFault {
    Fault fault;
    const char* name;
    int sqlite_code;
    const char* sqlite_message;
};

// For kPrepare the tables become views over a dropped table; for kStep views
// over themselves joined with an abs() that overflows, and writes go to
// triggers that overflow alike.
std::string BreakTables(Fault fault, const std::string& db) {
    std::string sql = "CREATE TABLE raw(n); INSERT INTO raw VALUES (-9223372036854775808);";
    for (std::string table : {"connection_table", "session_table", "system_table"}) {
        if (fault == Fault::kPrepare) {
            sql += "DROP TABLE " + table + "; CREATE VIEW " + table + " AS SELECT * FROM raw;";
            continue;
        }
        std::string columns;
        for (const auto& column :
             testutil::QueryRows(db, "SELECT name FROM pragma_table_info('" + table + "')")) {
            if (!columns.empty()) columns += ", ";
            columns += "t0." + column[0] + " + abs(r.n) AS " + column[0];
        }
        sql += "ALTER TABLE " + table + " RENAME TO " + table + "0; CREATE VIEW " + table +
               " AS SELECT " + columns + " FROM " + table + "0 AS t0, raw AS r;";
        for (std::string event : {"INSERT", "UPDATE", "DELETE"})
            sql += "CREATE TRIGGER " + table + event + " INSTEAD OF " + event + " ON " + table +
                   " BEGIN SELECT abs(n) FROM raw; END;";
    }
    return fault == Fault::kPrepare ? sql + "DROP TABLE raw;" : sql;
}

using EveryOperation = SystemDBFixture;

TEST_F(EveryOperation, FailsWithItsOwnEntryUnderEachStatementFault) {
    const StatementFault faults[] = {
        {Fault::kClosedStore, "a closed store", 21, "system database is not open"},
        {Fault::kFormatting, "no memory to format", 7, "out of memory"},
        {Fault::kPrepare, "a failing prepare", 1, "no such table: main.raw"},
        {Fault::kStep, "a failing step", 1, "integer overflow"}};
    for (const StatementFault& fault : faults) {
        SystemDB::destroy();
        db_ = dir_ / (std::string(fault.name) + ".db");
        ASSERT_EQ(Open(db_), 0);
        Plant(kRows);
        if (fault.fault == Fault::kClosedStore) SystemDB::destroy();
        if (fault.fault == Fault::kPrepare || fault.fault == Fault::kStep) {
            Plant(BreakTables(fault.fault, db_));
            Log ignored;  // the open connection meets the new schema only when it steps
            SystemDB::getMaxSessionId();
        }
        const std::string file_before = testutil::ReadFile(db_);
        for (const Operation& op : kOperations) {
            const char* entry = op.failed;
            if (fault.fault == Fault::kFormatting) entry = op.format_failed;
            if (fault.fault == Fault::kStep) entry = op.step_failed;
            if (!entry) continue;  // a constant statement is never formatted
            out = Outputs();
            Outputs expected;
            if (fault.fault != Fault::kStep && op.cleared == kProxy) expected.proxy.clear();
            if (op.cleared == kSessionList) expected.sessions.clear();
            if (op.cleared == kConnectionList) expected.connections.clear();
            Log log;
            const sqlite3_int64 heap_limit =
                fault.fault == Fault::kFormatting ? sqlite3_hard_heap_limit64(1) : -1;
            const int result = op.call();
            if (heap_limit >= 0) sqlite3_hard_heap_limit64(heap_limit);
            const std::string context = std::string(op.name) + " under " + fault.name;
            if (result != kNoResult) {
                EXPECT_EQ(result, -1) << context;
            }
            EXPECT_EQ(log.Text(), Entry(entry, op.name, fault.sqlite_code, fault.sqlite_message))
                << context;
            EXPECT_EQ(out.Text(), expected.Text()) << context;
        }
        EXPECT_EQ(testutil::ReadFile(db_), file_before) << "the file changed under " << fault.name;
    }
    sqlite3_soft_heap_limit64(0);  // the hard limit lowered it
}

// Whatever an operation reads or writes, its entries and the records it fills
// show a secret only masked, neither in clear nor obfuscated as stored.
TEST_F(EveryOperation, WritesItsOwnEntriesAtDebugAndShowsNoSecret) {
    Verbose();
    std::string shown;
    for (const Operation& op : kOperations) {
        Plant(
            "DELETE FROM connection_table; DELETE FROM session_table; DELETE FROM system_table "
            "WHERE key <> 'release_version'; " +
            kRows);
        out = Outputs();
        Log log;
        op.call();
        const std::string entries = log.Text();
        EXPECT_EQ(entries, op.at_debug) << op.name;
        shown += entries + out.Text();
    }
    for (const std::string& secret :
         {kSessionText, kConnectionPassword, kProxyPassword, kUserProxyPassword}) {
        EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " shown in clear";
        EXPECT_EQ(shown.find(Stored(secret)), std::string::npos) << secret << " shown stored";
    }
    // The records did hold the secrets.
    EXPECT_NE(shown.find("session=********"), std::string::npos);
    EXPECT_NE(shown.find("password=********"), std::string::npos);
}

using StoreFaults = SystemDBFixture;

TEST_F(StoreFaults, ALockHeldByAnotherProcessIsWaitedFor) {
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
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(call(), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(log.Text(), "");
    }
    EXPECT_EQ(version, 2);
}

// In children logging to a file: as "nobody", a read-only file and directory;
// then a private 512 kB tmpfs, written when full and after room is made.
TEST_F(StoreFaults, UnwritableAndFullFileSystemsFailWritesAndKeepEarlierRows) {
    SystemDB::destroy();
    const std::string err = dir_ / "stderr", ro = dir_ / "ro", mnt = dir_ / "mnt";
    const std::string before = testutil::ReadFile(db_), error = dbtest::kErr;
    ASSERT_EQ(mkdir(ro.c_str(), 0755) | mkdir(mnt.c_str(), 0755), 0);
    testutil::WriteFile(ro + "/system.db", before);
    testutil::WriteFile(err, "");
    ASSERT_EQ(chmod((ro + "/system.db").c_str(), 0444) | chmod(ro.c_str(), 0555), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755) | chmod(err.c_str(), 0666), 0);
    auto say = [](const char* what, long result) {
        std::fprintf(stderr, "%s %ld\n", what, result);
    };
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
              error + "SystemDB: Failed to initialize database at '" + ro +
                  "/system.db'. [8] attempt to write a readonly database\n" + error +
                  "initialize fail attempt to write a readonly database\nro -1\n" + error +
                  "SystemDB: Failed to open database at '" + ro +
                  "/new.db'. [14] unable to open database file\nnew -1\n");
    rc = testutil::RunInChild([&] {
        if (!testutil::MountPrivateTmpfs(mnt, "size=512k").empty()) return 77;
        if (!testutil::RedirectStderrTo(err)) return 3;
        long version = 0;
        say("init", Open(mnt + "/system.db"));
        say("set", SystemDB::setTargetClientVersion(7));
        say("full", testutil::FillFileSystem(mnt + "/filler") == ENOSPC);
        say("set", SystemDB::setTargetClientVersion(8));
        say("name", SystemDB::setComputername(std::string(20000, 'n').c_str()));
        say("get", SystemDB::getTargetClientVersion(version) + version);
        unlink((mnt + "/filler").c_str());
        say("set", SystemDB::setTargetClientVersion(9));
        say("get", SystemDB::getTargetClientVersion(version) + version);
        return 0;
    });
    if (rc == 77) GTEST_SKIP() << "no private tmpfs here";
    ASSERT_EQ(rc, 0);
    const std::string full = " fail ret = 13 database or disk is full\n";
    EXPECT_EQ(testutil::NormalizeLog(testutil::ReadFile(err), "system-db"),
              "init 0\nset 0\nfull 1\n" + error + "setTargetClientVersion" + full + "set -1\n" +
                  error + "setComputername" + full + "name -1\nget 7\nset 0\nget 9\n");
}

// Zeroed session pages (the last kept) leave the file openable but those rows
// damaged; a file cut short or no database is refused, untouched.
TEST_F(StoreFaults, DamagedOrTruncatedFilesFailCleanly) {
    ASSERT_EQ(SystemDB::setTargetClientVersion(3), 0);
    std::string sql = "BEGIN;";
    for (int row = 0; row < 400; ++row)
        sql += "INSERT INTO session_table (share_name) VALUES ('" + std::to_string(row) +
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
    SessionInfo session;
    long version = 0;
    EXPECT_EQ(SystemDB::getEnabledSession(sessions), -1);
    EXPECT_EQ(SystemDB::addNewSessionInfo(session), -1);
    EXPECT_EQ(SystemDB::setTargetClientVersion(4), 0);  // the intact table goes on working
    EXPECT_EQ(SystemDB::getTargetClientVersion(version) + version, 4);
    SystemDB::destroy();
    const std::string bad = " database disk image is malformed\n", error = dbtest::kErr;
    std::string expected =
        error + "sqlite3_step: [11]" + bad + error + "addNewSessionInfo fail ret = 11" + bad;
    // Still closed after each refusal, so the next file is tried.
    for (std::string bytes : {good.substr(0, good.size() / 2 + 100), good.substr(0, 50),
                              std::string("not a database\n")}) {
        testutil::WriteFile(db_, bytes);
        EXPECT_EQ(Open(db_), -1);
        EXPECT_EQ(testutil::ReadFile(db_), bytes);
        const std::string why = bytes.size() >= 50 ? bad : " file is not a database\n";
        expected += error + "SystemDB: Failed to initialize database at '" + db_ + "'. [" +
                    (bytes.size() >= 50 ? "11]" : "26]") + why + error + "initialize fail" + why;
    }
    EXPECT_EQ(log.Text(), expected);
}

}  // namespace
