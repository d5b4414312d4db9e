// Every operation of the store, run under each statement fault (-1, its own
// entry, outputs and file unchanged) and at DEBUG (its own entries); then
// faults of the store itself.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <climits>
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
// Formatting failures: each operation keeps the entry it has always had; a
// read without one meets the missing text as a failed prepare.
const char kFormatFailed[] = "sqlite3_mprintf failed.\n";
const char kFormatFailedWide[] = " sqlite3_mprintf failed.\n";
const char kFormatFailedShort[] = "sqlite3_mprintf failed\n";
const char kInsertFormatFailed[] = "insert sqlite3_mprintf failed.\n";
const char kInsertReplaceFormatFailed[] = "insert/replace sqlite3_mprintf failed.\n";
const char kDeleteFormatFailed[] = "delete sqlite3_mprintf failed.\n";
const char kNoEntry[] = "";
const char* const kConstantStatement = nullptr;  // never formatted, so never fails to be

// The rows every operation below finds: connection 1, its enabled "home"
// session 1 in /a, the user's proxy password.
const std::string kRows =
    "INSERT INTO connection_table (id, orb_id, linked) VALUES (1, 'o', 1); INSERT INTO "
    "session_table (id, conn_id, share_name, sync_folder, attribute) VALUES (1, 1, 'home', '/a/', "
    "4); INSERT INTO system_table VALUES ('user_proxy_pass', '" +
    Stored("secret") + "');";

// Every output of the operations, holding values that no failure may change.
struct Outputs {
    Outputs() {
        session.share_name = "home";  // to be found by the session writes
        session.conn_id = 1;
        connection.orb_id = "o";
        proxy.password = "secret";  // to be masked
    }
    std::string Text() const {
        std::ostringstream text;
        text << "sessions=" << sessions.size() << " connections=" << connections.size()
             << " ids=" << ids.size() << " versions=" << versions.size() << " status=" << status
             << "/" << error << "/" << connection_status << "/" << connection_error
             << " linked=" << linked << " client_version=" << client_version << " mode=" << mode
             << " conflict=" << conflict << " sync_mode=" << options.sync_mode
             << " major=" << version.major << " view=" << path.view_id << "\n"
             << dbtest::Text(session) << connection.toString() << "\n"
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

// Outputs that a failure empties.
enum Cleared { kNothing, kSessionList, kConnectionList, kProxy };

// The result of an operation that returns none.
constexpr int kNoResult = INT_MIN;

// One operation and the entries it writes, after the prefix, when its
// statement fails or, at DEBUG, on a store holding kRows.
struct Operation {
    const char* name;                 // as its failure entries name it
    const char* format_failed;        // kConstantStatement: never formatted
    std::function<int()> call;        // -1 when it fails
    const char* failed;               // a closed store or failed prepare; a write's failed exec
    const char* step_failed;          // a read's failed step; a write's failed exec
    Cleared cleared = kNothing;       // on every failure but a failed step
    std::string at_debug = kNoEntry;  // every entry at DEBUG, each with its prefix

    // Entries of their own for a failed statement and for a failed step.
    Operation Failing(const char* statement, const char* step) const {
        return With(&Operation::failed, statement).With(&Operation::step_failed, step);
    }
    Operation Clearing(Cleared what) const { return With(&Operation::cleared, what); }
    Operation AtDebug(const std::string& entries) const {
        return With(&Operation::at_debug, entries);
    }
    template <class Column>
    Operation With(Column Operation::*column, Column value) const {
        Operation copy = *this;
        copy.*column = value;
        return copy;
    }
};

// A read fails with its prepare entry, or its step entry; without an entry
// of its own, a failed formatting meets the prepare.
Operation Read(const char* name, const char* format_failed, std::function<int()> call) {
    return {name, format_failed, std::move(call), kPrepareFailed, kStepFailed};
}
Operation Read(const char* name, std::function<int()> call) {
    return Read(name, kPrepareFailed, std::move(call));
}
// A write fails with its exec entry.
Operation Write(const char* name, const char* format_failed, std::function<int()> call) {
    return {name, format_failed, std::move(call), kExecFailed, kExecFailed};
}
// The attribute and permission writes name no operation in their entries.
Operation UnnamedWrite(const char* name, std::function<int()> call) {
    return {name, kFormatFailedShort, std::move(call), kUnnamedExecFailed, kUnnamedExecFailed};
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
    Read("getMaxSessionId", "getMaxSessionId: sqlite3_mprintf failed.\n",
         [] { return SystemDB::getMaxSessionId() == 0 ? -1 : 0; })
        .AtDebug(Debug("getMaxSessionId: get max id = [1]\n")),
    Read("getPermSyncModeBySession",
         [] { return SystemDB::getPermSyncModeBySession(1, out.mode); }),
    Read("isSyncFolderConflict", kFormatFailed,
         [] { return SystemDB::isSyncFolderConflict("/a", out.conflict, {}); }),
    Read("checkRemovedView", kInsertReplaceFormatFailed,
         [] { return SystemDB::checkRemovedView(out.session, out.ids); }),
    Read("checkHomeSessionFor2197", "checkHomeSessionExist: [<msg>]\n",
         [] { return SystemDB::checkHomeSessionFor2197(1); })
        .Failing("checkHomeSessionExist: [<msg>]\n",
                 "checkHomeSessionExists: sqlite3_step failed[<code>]\n")
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
          [] { return SystemDB::setConnectionEntry(out.connection, out.proxy, TunnelInfo()); }),
    Write("updateConnectionEntry", kInsertReplaceFormatFailed,
          [] { return SystemDB::updateConnectionEntry(out.connection, out.proxy, TunnelInfo()); })
        .AtDebug(Debug("update conn id 1\n")),
    Write("setConnectionStatus", kFormatFailedWide,
          [] { return SystemDB::setConnectionStatus(1, 2); }),
    Write("setConnectionErr", kFormatFailedWide, [] { return SystemDB::setConnectionErr(1, 2); }),
    Write("setLinkByConnection", kInsertFormatFailed,
          [] { return SystemDB::setLinkByConnection(1, 1); }),
    UnnamedWrite("setSSLEnableByConnID", [] { return SystemDB::setSSLEnableByConnID(1, true); }),
    Write("updateUserInfo", kNoEntry, [] { return SystemDB::updateUserInfo(1, 2, 3, true); })
        .Failing("update user info of #1 failed (<code>)\n",
                 "update user info of #1 failed (<code>)\n"),
    Write("setPackageVersion", kFormatFailed,
          [] { return SystemDB::setPackageVersion(1, out.version); }),
    Write("deleteConnection", kDeleteFormatFailed, [] { return SystemDB::deleteConnection(1); })
        .AtDebug(Debug("deleteConnection. id:[1]\n")),
    Write("clearSystemDB", kInsertFormatFailed, [] { return SystemDB::clearSystemDB(); })
        .AtDebug(Debug("clear System DB \n")),
    // connection queries
    Read("checkLinked", kConstantStatement, [] { return SystemDB::checkLinked(out.linked); })
        .Failing(kPrepareFailed, "checkLinked: sqlite3_step: <msg> (<code>)\n"),
    Read("getConnectionEntryByConnID", kInsertReplaceFormatFailed,
         [] { return SystemDB::getConnectionEntryByConnID(1, out.entry); }),
    // Through getConnectionEntryByConnID.
    Read("getConnectionEntryByConnID", kInsertReplaceFormatFailed,
         [] { return SystemDB::getConnectionInfoById(1, out.connection); }),
    Read("getConnectionInfoByORBID", kFormatFailedShort,
         [] { return SystemDB::getConnectionInfoByORBID("o", out.connection); }),
    Read("getLinkedConnectionEntryList", kConstantStatement,
         [] { return SystemDB::getLinkedConnectionEntryList(out.connections); })
        .Clearing(kConnectionList)
        .AtDebug(Debug("getLinkedConnectionEntryList\n")),
    Read("getConnectionEntryList", kConstantStatement,
         [] { return SystemDB::getConnectionEntryList(out.connections); })
        .Clearing(kConnectionList)
        .AtDebug(Debug("getConnectionEntryList\n")),
    Read("getPackageVersionList", kInsertFormatFailed,
         [] { return SystemDB::getPackageVersionList({}, out.versions); })
        .AtDebug(Debug("version add 0\n")),
    Read("getPackageVersion", kInsertFormatFailed,
         [] { return SystemDB::getPackageVersion(1, out.version); })
        .AtDebug(Debug("package build number: [0]\n") + Debug("package major: [0]\n") +
                 Debug("package minor: [0]\n")),
    Read("getPathInfoByPath", "getConnectionEntryAndViewIdByPath failed on sqlite3_mprintf",
         [] { return SystemDB::getPathInfoByPath("/a/b", out.path); })
        .Failing("getConnectionEntryAndViewIdByPath: [<msg>]\n",
                 "getConnectionEntryAndViewIdByPath: [<msg>]\n")
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
        .AtDebug(Debug("1, 1, 1, 0, 0, ''\n")),  // a new record's flags
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
        .With(&Operation::format_failed, kNoEntry),
    Read("getGeneralOptions", kConstantStatement,
         [] { return SystemDB::getGeneralOptions(out.options); })
        .AtDebug(Debug("getGeneralOptions\n")),
    Read("getTargetClientVersion", kConstantStatement,
         [] { return SystemDB::getTargetClientVersion(out.client_version); })
        .AtDebug(Debug("getTargetClientVersion\n") + dbtest::kError +
                 "cannnot get getTargetClientVersion\n"),
    Read("getUserProxyInfo", kConstantStatement,
         [] { return SystemDB::getUserProxyInfo(out.proxy); })
        .Clearing(kProxy)
        .AtDebug(Debug("getUserProxyInfo\n")),
    Read("getLastUpdateQueryTime", kConstantStatement,
         [] { return SystemDB::getLastUpdateQueryTime(out.query_time); }),
};

// The failure entry `pattern`, with the operation's name and SQLite's code
// and message.
std::string Entry(std::string pattern, const std::string& name, int code,
                  const std::string& message) {
    const std::pair<std::string, std::string> fields[] = {
        {"<op>", name}, {"<code>", std::to_string(code)}, {"<msg>", message}};
    for (const auto& [field, value] : fields)
        for (size_t at; (at = pattern.find(field)) != std::string::npos;)
            pattern.replace(at, field.size(), value);
    return pattern.empty() ? pattern : dbtest::kError + pattern;
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

// At DEBUG every operation writes its own entries; the proxy password only
// masked.
TEST_F(EveryOperation, WritesItsOwnEntriesAtDebug) {
    Verbose();
    for (const Operation& op : kOperations) {
        Plant(
            "DELETE FROM connection_table; DELETE FROM session_table; DELETE FROM system_table "
            "WHERE key <> 'release_version'; " +
            kRows);
        out = Outputs();
        Log log;
        op.call();
        EXPECT_EQ(log.Text(), op.at_debug) << op.name;
    }
}

using StoreFaults = SystemDBFixture;

// Opening takes the write lock, which another process may hold for a while.
TEST_F(StoreFaults, ALockHeldByAnotherProcessIsWaitedFor) {
    SystemDB::destroy();
    testutil::DatabaseLockHolder holder(db_, 1200);
    ASSERT_TRUE(holder.locked());
    Log log;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Open(db_), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(log.Text(), "");
}

// A file that cannot be opened, or holds no database, is refused: -1, its
// entries, the file untouched, neither descriptor nor handle kept, and the
// store stays closed.
TEST_F(StoreFaults, AFileThatIsNoUsableDatabaseIsRefusedAndTheStoreStaysClosed) {
    SystemDB::destroy();
    const std::string unreachable = dir_ / "missing/system.db";
    testutil::WriteFile(db_, "not a database\n");
    Log log;
    const int descriptors = testutil::OpenDescriptors();
    const sqlite3_int64 memory = sqlite3_memory_used();
    EXPECT_EQ(Open(unreachable), -1);
    EXPECT_EQ(SystemDB::setLanguageOptions("en"), -1);
    EXPECT_EQ(Open(db_), -1);
    EXPECT_EQ(SystemDB::setLanguageOptions("en"), -1);
    EXPECT_EQ(testutil::ReadFile(db_), "not a database\n");
    EXPECT_EQ(testutil::OpenDescriptors(), descriptors) << "a refused file stayed open";
    EXPECT_EQ(sqlite3_memory_used(), memory) << "a refused store kept its handle";
    const std::string closed =
        dbtest::kError + "setLanguageOptions fail ret = 21 system database is not open\n";
    EXPECT_EQ(log.Text(), dbtest::kError + "SystemDB: Failed to open database at '" + unreachable +
                              "'. [14] unable to open database file\n" + closed + dbtest::kError +
                              "SystemDB: Failed to initialize database at '" + db_ +
                              "'. [26] file is not a database\n" + dbtest::kError +
                              "initialize fail file is not a database\n" + closed);
}

}  // namespace
