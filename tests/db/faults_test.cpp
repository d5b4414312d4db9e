// Every operation of the store, on planted rows at DEBUG (its own entries,
// exactly its changes) and under each statement fault (-1, an error entry,
// outputs and file unchanged); then faults of the store itself.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <functional>
#include <list>
#include <regex>
#include <string>
#include <tuple>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using dbtest::Stored;

// Every output of the operations, holding values that no failure may change;
// the session, the options and the version also serve as the writes' input.
struct Outputs {
    Outputs() {
        proxy.password = "secret";  // to be cleared by a failed read
        options.enable_iconoverlay = false;
        options.enable_startup = false;
        options.use_bw_icon = true;
        options.sync_mode = -7;
        options.open_folder = "/home/o'neil";
        version.build_number = 5000000000L;
        version.major = 7;
        version.minor = 2;
    }
    auto Members() const {
        return std::tie(sessions, connections, ids, versions, session, connection, entry, proxy,
                        path.connection_entry, path.view_id, path.relative_path, options.sync_mode,
                        options.open_folder, version, share, folder, query_time, status, error,
                        connection_status, connection_error, linked, client_version, mode,
                        conflict);
    }

    std::list<SessionInfo> sessions{2};
    std::list<ConnectionEntry> connections{2};
    std::list<uint64_t> ids{4};
    std::list<long> versions{9};
    SessionInfo session{0, "Bob's", SA_ENABLE | SA_USED, 12, 0, 9, "/o'neil", 1, PERM_DOMAIN};
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

// How an operation meets a failed sqlite3_mprintf: with an error entry,
// silently (two writes), or never, as its statement is a constant.
enum Formatting { kFormatted, kFormattedSilently, kNeverFormatted };

// The result of an operation that returns none.
constexpr int kNoResult = INT_MIN;

// One operation, and at DEBUG on the planted rows its entries and changes.
struct Operation {
    Operation(const char* name, std::function<int()> call) : name(name), call(std::move(call)) {}

    const char* name;
    std::function<int()> call;  // -1 when it fails
    Formatting formatting = kFormatted;
    Cleared cleared = kNothing;  // on every failure but a failed step
    std::string at_debug;        // every entry, each with its prefix
    std::string changes;         // as dbtest::Changes tells them

    Operation Formatted(Formatting how) const { return With(&Operation::formatting, how); }
    Operation Clearing(Cleared what) const { return With(&Operation::cleared, what); }
    Operation AtDebug(std::initializer_list<const char*> entries) const {
        std::string text;
        for (const char* entry : entries) text += dbtest::kDebug + entry;
        return With(&Operation::at_debug, text);
    }
    Operation Changing(const std::string& rows) const { return With(&Operation::changes, rows); }
    template <class Column>
    Operation With(Column Operation::*column, Column value) const {
        Operation copy = *this;
        copy.*column = value;
        return copy;
    }
};

const Operation kOperations[] = {
    // session queries
    Operation{"getEnabledSession", [] { return SystemDB::getEnabledSession(out.sessions); }}
        .Clearing(kSessionList)
        .AtDebug({"getEnabledSession\n"}),
    Operation{"getSessionListByConnectionID",
              [] { return SystemDB::getSessionListByConnectionID(out.sessions, 1); }}
        .Clearing(kSessionList)
        .AtDebug({"getSessionListByConnectionID"}),
    Operation{"getValidSessionListByConnectionID",
              [] { return SystemDB::getValidSessionListByConnectionID(out.sessions, 1); }}
        .Clearing(kSessionList)
        .AtDebug({"getValidSessionListByConnectionID\n"}),
    Operation{"getSessionInfoBySessionID",
              [] { return SystemDB::getSessionInfoBySessionID(1, out.session); }},
    Operation{"getSessionInfoByLocalFolder",
              [] { return SystemDB::getSessionInfoByLocalFolder("/d", out.session); }},
    Operation{"getSyncFolder", [] { return SystemDB::getSyncFolder("home", out.folder); }}.AtDebug(
        {"getSyncFolder\n"}),
    Operation{"getFolderInfoByRowID",
              [] { return SystemDB::getFolderInfoByRowID(1, out.share, out.folder); }}
        .AtDebug({"getSystemInfo\n"}),
    Operation{"getSessionStatusAndErr",
              [] {
                  return SystemDB::getSessionStatusAndErr(
                      1, out.status, out.error, out.connection_status, out.connection_error);
              }}
        .AtDebug({"getSessionStatusAndErr\n"}),
    // Reports failure as the id 0.
    Operation{"getMaxSessionId", [] { return SystemDB::getMaxSessionId() == 0 ? -1 : 0; }}.AtDebug(
        {"getMaxSessionId: get max id = [5]\n"}),
    Operation{"getPermSyncModeBySession",
              [] { return SystemDB::getPermSyncModeBySession(1, out.mode); }},
    Operation{"isSyncFolderConflict",
              [] { return SystemDB::isSyncFolderConflict("/d", out.conflict, {}); }},
    Operation{"checkRemovedView", [] { return SystemDB::checkRemovedView(out.session, out.ids); }},
    Operation{"checkHomeSessionFor2197", [] { return SystemDB::checkHomeSessionFor2197(1); }}
        .AtDebug({"checkHomeSessionExist: There is a home session"}),
    // session writes
    Operation{"setSessionStatus", [] { return SystemDB::setSessionStatus(1, 4); }}.Changing(
        "session 1: status=4\n"),
    Operation{"setSessionErr", [] { return SystemDB::setSessionErr(3, -8); }}.Changing(
        "session 3: error=-8\n"),
    Operation{"addNewSessionInfo", [] { return SystemDB::addNewSessionInfo(out.session); }}
        .Changing("session 6 added: conn_id=1 share_name=Bob's attribute=6 view_id=12 status=0 "
                  "error=0 share_version=9 sync_folder=/o'neil/ perm_mode=1\n"),
    // The rows of its share name in any case, view and connection.
    Operation{"updateSessionInfo", [] { return SystemDB::updateSessionInfo(out.session); }}
        .AtDebug({"update row id 1\n"})
        .Changing("session 1: attribute=6 share_version=9 sync_folder=/o'neil/ perm_mode=1\n"
                  "session 5: attribute=6 share_version=9 sync_folder=/o'neil/ perm_mode=1\n"),
    Operation{"resetSession", [] { return SystemDB::resetSession(1); }}
        .AtDebug({"resetSession. id:[1]\n"})
        .Changing("session 1: attribute=17 status=0 error=0 sync_folder=/ perm_mode=2\n"),
    Operation{"deleteSession", [] { return SystemDB::deleteSession(1); }}
        .AtDebug({"deleteSession. id:[1]\n"})
        .Changing("session 1 deleted\n"),
    Operation{"disableAllSession", [] { return SystemDB::disableAllSession(); }}
        .AtDebug({"disableAllSession \n"})
        .Changing("session 1: attribute=27 status=0 error=0\nsession 2: attribute=0 status=0 "
                  "error=0\nsession 3: attribute=16 status=0 error=0\nsession 4: attribute=1\n"),
    Operation{"updateHomeViewID", [] { return SystemDB::updateHomeViewID(3, 1); }}.Changing(
        "session 2: view_id=3\n"),
    Operation{"setSessionAsUsed", [] { return SystemDB::setSessionAsUsed(2); }}.Changing(
        "session 2: attribute=6\n"),
    Operation{"resetSessionPermission",
              [] {
                  SystemDB::resetSessionPermission();
                  return kNoResult;
              }}
        .Changing("session 1: attribute=15\nsession 3: attribute=4\n"),
    Operation{"setReadOnlyBySession", [] { return SystemDB::setReadOnlyBySession(2); }}.Changing(
        "session 2: attribute=20\n"),
    Operation{"setReadWriteBySession", [] { return SystemDB::setReadWriteBySession(1); }}.Changing(
        "session 1: attribute=15\n"),
    Operation{"setDisableBySession", [] { return SystemDB::setDisableBySession(1); }}.Changing(
        "session 1: attribute=27 status=0 error=0\n"),
    Operation{"setPermSyncModeBySession",
              [] { return SystemDB::setPermSyncModeBySession(4, PERM_EXEC_BIT); }}
        .Changing("session 4: perm_mode=2\n"),
    // connection writes; deleting one keeps its sessions
    Operation{"setConnectionEntry",
              [] {
                  return SystemDB::setConnectionEntry(out.entry.connection_info,
                                                      out.entry.proxy_info, out.entry.tunnel_info);
              }}
        .Changing("connection 3 added: conn_mode=3 server_name=nas-b server_ip=ip-b "
                  "server_port=6001 farlink_mode=direct username=bob orb_id=orb'a session=sess-b "
                  "protocol_version=43 computer_name=lap use_ssl=0 use_proxy=1 "
                  "use_system_proxy=0 proxy_ip=px-b proxy_port=8080 proxy_username=pu-b "
                  "proxy_password=" +
                  Stored("pw-b") +
                  " proxy_domain=dom-b proxy_host=host-b use_tunnel=1 tunnel_ip=tun-b "
                  "tunnel_port=22 linked=0 status=0 error=0 package_version=80000 major=8 "
                  "minor=1 ssl_allow_untrust=1 user_uid=0 user_gid=0 user_is_admin=1\n"),
    // All but the identity and state of the rows of its orb_id.
    Operation{"updateConnectionEntry",
              [] {
                  return SystemDB::updateConnectionEntry(
                      out.entry.connection_info, out.entry.proxy_info, out.entry.tunnel_info);
              }}
        .AtDebug({"update conn id 1\n"})
        .Changing("connection 1: conn_mode=3 server_name=nas-b server_ip=ip-b server_port=6001 "
                  "farlink_mode=direct session=sess-b protocol_version=43 computer_name=lap "
                  "use_ssl=0 use_proxy=1 use_system_proxy=0 proxy_ip=px-b proxy_port=8080 "
                  "proxy_username=pu-b proxy_password=" +
                  Stored("pw-b") +
                  " proxy_domain=dom-b proxy_host=host-b use_tunnel=1 tunnel_ip=tun-b "
                  "tunnel_port=22 package_version=80000 major=8 minor=1 ssl_allow_untrust=1\n"),
    Operation{"setConnectionStatus", [] { return SystemDB::setConnectionStatus(1, 2); }}.Changing(
        "connection 1: status=2\n"),
    Operation{"setConnectionErr", [] { return SystemDB::setConnectionErr(1, 2); }}.Changing(
        "connection 1: error=2\n"),
    Operation{"setLinkByConnection", [] { return SystemDB::setLinkByConnection(1, 0); }}.Changing(
        "connection 1: linked=0\n"),
    Operation{"setSSLEnableByConnID", [] { return SystemDB::setSSLEnableByConnID(2, true); }}
        .Changing("connection 2: use_ssl=1\n"),
    Operation{"updateUserInfo", [] { return SystemDB::updateUserInfo(2, 4000000002u, 7, false); }}
        .Formatted(kFormattedSilently)
        .Changing("connection 2: user_uid=4000000002 user_gid=7 user_is_admin=0\n"),
    Operation{"setPackageVersion", [] { return SystemDB::setPackageVersion(2, out.version); }}
        .Changing("connection 2: package_version=5000000000 major=7 minor=2\n"),
    Operation{"deleteConnection", [] { return SystemDB::deleteConnection(1); }}
        .AtDebug({"deleteConnection. id:[1]\n"})
        .Changing("connection 1 deleted\n"),
    Operation{"clearSystemDB", [] { return SystemDB::clearSystemDB(); }}
        .AtDebug({"clear System DB \n"})
        .Changing("connection 1 deleted\nconnection 2 deleted\nsession 1 deleted\nsession 2 "
                  "deleted\nsession 3 deleted\nsession 4 deleted\nsession 5 deleted\nsystem "
                  "language deleted\nsystem linked deleted\nsystem target_client_version "
                  "deleted\nsystem user_proxy_pass deleted\n"),
    // connection queries
    Operation{"checkLinked", [] { return SystemDB::checkLinked(out.linked); }}.Formatted(
        kNeverFormatted),
    Operation{"getConnectionEntryByConnID",
              [] { return SystemDB::getConnectionEntryByConnID(1, out.entry); }},
    Operation{"getConnectionInfoById",
              [] { return SystemDB::getConnectionInfoById(1, out.connection); }},
    Operation{"getConnectionInfoByORBID",
              [] { return SystemDB::getConnectionInfoByORBID("orb-b", out.connection); }},
    Operation{"getLinkedConnectionEntryList",
              [] { return SystemDB::getLinkedConnectionEntryList(out.connections); }}
        .Formatted(kNeverFormatted)
        .Clearing(kConnectionList)
        .AtDebug({"getLinkedConnectionEntryList\n"}),
    Operation{"getConnectionEntryList",
              [] { return SystemDB::getConnectionEntryList(out.connections); }}
        .Formatted(kNeverFormatted)
        .Clearing(kConnectionList)
        .AtDebug({"getConnectionEntryList\n"}),
    Operation{"getPackageVersionList",
              [] { return SystemDB::getPackageVersionList({}, out.versions); }}
        .AtDebug({"version add 5000000000\n"}),
    Operation{"getPackageVersion", [] { return SystemDB::getPackageVersion(1, out.version); }}
        .AtDebug({"package build number: [5000000000]\n", "package major: [7]\n",
                  "package minor: [2]\n"}),
    Operation{"getPathInfoByPath", [] { return SystemDB::getPathInfoByPath("/d/b", out.path); }}
        .AtDebug({"Getting ConnectionEntry and view id by [/d/b].\n",
                  "Getting ConnectionEntry and view id. [<statement>]\n"}),
    // settings
    Operation{"setComputername", [] { return SystemDB::setComputername("Bob's PC"); }}
        .AtDebug({"set computer name Bob's PC\n"})
        .Changing("connection 1: computer_name=Bob's PC\nconnection 2: computer_name=Bob's PC\n"
                  "system computer_name added: value=Bob's PC\n"),
    Operation{"setGeneralOptions", [] { return SystemDB::setGeneralOptions(out.options); }}
        .AtDebug({"1, 0, 0, 1, -7, '/home/o'neil'\n"})
        .Changing("system enable_desktop_notification added: value=1\nsystem enable_iconoverlay "
                  "added: value=0\nsystem enable_startup added: value=0\nsystem open_folder "
                  "added: value=/home/o'neil\nsystem sync_mode added: value=-7\nsystem "
                  "use_black_white_icon added: value=1\n"),
    Operation{"setTargetClientVersion",
              [] { return SystemDB::setTargetClientVersion(4294967313L); }}
        .AtDebug({"set setTargetClientVersion\n"})
        .Changing("system target_client_version: value=4294967313\n"),
    Operation{"setLanguageOptions", [] { return SystemDB::setLanguageOptions("en"); }}
        .AtDebug({"set setLanguageOptions\n"})
        .Changing("system language: value=en\n"),
    Operation{"setUserProxyInfo", [] { return SystemDB::setUserProxyInfo(out.entry.proxy_info); }}
        .AtDebug({"set setUserProxyInfo\n", "ip px-b\n", "proxy_port 8080\n", "user_name pu-b\n",
                  "password ********\n"})
        .Changing("system user_proxy_domain added: value=dom-b\nsystem user_proxy_host added: "
                  "value=host-b\nsystem user_proxy_ip added: value=px-b\nsystem user_proxy_pass: "
                  "value=" +
                  Stored("pw-b") +
                  "\nsystem user_proxy_port added: value=8080\nsystem user_proxy_user added: "
                  "value=pu-b\nsystem user_use_proxy added: value=1\nsystem user_use_sys_proxy "
                  "added: value=0\n"),
    Operation{"setLastUpdateQueryTime", [] { return SystemDB::setLastUpdateQueryTime("it's"); }}
        .Formatted(kFormattedSilently)
        .Changing("system last_query_time added: value=it's\n"),
    Operation{"getGeneralOptions", [] { return SystemDB::getGeneralOptions(out.options); }}
        .Formatted(kNeverFormatted)
        .AtDebug({"getGeneralOptions\n"}),
    Operation{"getTargetClientVersion",
              [] { return SystemDB::getTargetClientVersion(out.client_version); }}
        .Formatted(kNeverFormatted)
        .AtDebug({"getTargetClientVersion\n"}),
    Operation{"getUserProxyInfo", [] { return SystemDB::getUserProxyInfo(out.proxy); }}
        .Formatted(kNeverFormatted)
        .Clearing(kProxy)
        .AtDebug({"getUserProxyInfo\n"}),
    Operation{"getLastUpdateQueryTime",
              [] { return SystemDB::getLastUpdateQueryTime(out.query_time); }}
        .Formatted(kNeverFormatted),
};

// The entries of `log`, each error entry told as "an error entry".
std::string ErrorEntries(const std::string& log) {
    return std::regex_replace(log, std::regex(R"(\[ERROR\] system-db\(N\): [^\n]*\n?)"),
                              "an error entry\n");
}

// Ways to make every statement fail.
enum class Fault { kClosedStore, kFormatting, kPrepare, kStep };
struct StatementFault {
    Fault fault;
    const char* name;
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

// Sessions 1 to 5 (made at time 1) of connections 1 and 2 (a_ and b_), and
// four settings besides the release version.
class EveryOperation : public SystemDBFixture {
  protected:
    void PlantRows() {
        Plant(
            "DELETE FROM connection_table; DELETE FROM session_table; DELETE FROM sqlite_sequence;"
            "DELETE FROM system_table WHERE key <> 'release_version'; INSERT INTO system_table "
            "VALUES ('linked', '3'), ('language', 'fr'), ('target_client_version', 3), "
            "('user_proxy_pass', '" +
            Stored("secret") +
            "'); INSERT INTO session_table VALUES (1, 1, 'bob''s', 31, 1, 12, 2, -3, 4, '/h/', 0), "
            "(2, 1, 'HOME', 4, 1, 0, 1, -1, 1, '/H/', 1), (3, 1, 'docs', 20, 1, 8, 3, -6, 2, "
            "'/d/', 2), (4, 2, 'Home', 5, 1, 0, 0, 0, 3, '/x/', 1), (5, 1, 'BOB''S', 0, 1, 12, 0, "
            "0, 0, '', 0);");
        PlantConnections();
    }
};

TEST_F(EveryOperation, FailsWithAnErrorEntryUnderEachStatementFault) {
    const StatementFault faults[] = {{Fault::kClosedStore, "a closed store"},
                                     {Fault::kFormatting, "no memory to format"},
                                     {Fault::kPrepare, "a failing prepare"},
                                     {Fault::kStep, "a failing step"}};
    for (const StatementFault& fault : faults) {
        SystemDB::destroy();
        db_ = dir_ / (std::string(fault.name) + ".db");
        ASSERT_EQ(Open(db_), 0);
        PlantRows();
        if (fault.fault == Fault::kClosedStore) SystemDB::destroy();
        if (fault.fault == Fault::kPrepare || fault.fault == Fault::kStep) {
            Plant(BreakTables(fault.fault, db_));
            Log ignored;  // the open connection meets the new schema only when it steps
            SystemDB::getMaxSessionId();
        }
        const std::string file_before = testutil::ReadFile(db_);
        for (const Operation& op : kOperations) {
            const bool formatting = fault.fault == Fault::kFormatting;
            if (formatting && op.formatting == kNeverFormatted) continue;
            out = Outputs();
            Outputs expected;
            if (fault.fault != Fault::kStep && op.cleared == kProxy) expected.proxy.clear();
            if (op.cleared == kSessionList) expected.sessions.clear();
            if (op.cleared == kConnectionList) expected.connections.clear();
            Log log;
            const sqlite3_int64 heap_limit = formatting ? sqlite3_hard_heap_limit64(1) : -1;
            const int result = op.call();
            if (heap_limit >= 0) sqlite3_hard_heap_limit64(heap_limit);
            const std::string context = std::string(op.name) + " under " + fault.name;
            if (result != kNoResult) {
                EXPECT_EQ(result, -1) << context;
            }
            const bool silent = formatting && op.formatting == kFormattedSilently;
            EXPECT_EQ(ErrorEntries(log.Text()), silent ? "" : "an error entry\n") << context;
            EXPECT_TRUE(out.Members() == expected.Members()) << context << " changed an output";
        }
        EXPECT_EQ(testutil::ReadFile(db_), file_before) << "the file changed under " << fault.name;
    }
    sqlite3_soft_heap_limit64(0);  // the hard limit lowered it
}

// On the planted rows every operation writes its own entries at DEBUG, the
// proxy password only masked, and changes exactly its rows and columns.
TEST_F(EveryOperation, WritesItsOwnEntriesAtDebugAndChangesOnlyItsRows) {
    Verbose();
    for (const Operation& op : kOperations) {
        PlantRows();
        out = Outputs();
        out.entry = b_;  // to be inserted, and to update the row of a_'s orb_id
        out.entry.connection_info.orb_id = "orb'a";
        const dbtest::Contents before = Read();
        Log log;
        EXPECT_NE(op.call(), -1) << op.name << " failed on the planted rows";
        // Statements are not pinned: their text is the code's own.
        const std::string entries =
            std::regex_replace(log.Text(), std::regex(R"(\[SELECT [^\n]*\])"), "[<statement>]");
        EXPECT_EQ(entries, op.at_debug) << "the entries of " << op.name << " at DEBUG";
        EXPECT_EQ(dbtest::Changes(before, Read()), op.changes)
            << "the rows " << op.name << " changed";
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

// A file that cannot be opened, or holds no database, is refused: -1, an
// error entry for each failure, the file untouched, neither descriptor nor
// handle kept, and the store stays closed.
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
    const std::string entry = "an error entry\n";
    EXPECT_EQ(ErrorEntries(log.Text()), entry + entry + entry + entry + entry)
        << "the failed open, the failed schema (two), the two refused writes";
}

}  // namespace
