// The store itself: schema, open/close cycle, eight threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using StoreTest = SystemDBFixture;

// Columns, defaults and collations are pinned where rows are written and
// looked up; here a new file's objects, and an older file left as it was.
TEST_F(StoreTest, NewFileGetsTheSchemaAnOlderOneKeepsItsOwn) {
    EXPECT_EQ(Dump("SELECT m.type, m.name, count(p.name), iif(m.type = 'index' OR m.name = "
                   "'system_table', m.sql, '') FROM sqlite_master AS m LEFT JOIN "
                   "pragma_table_info(m.name) AS p GROUP BY m.name UNION ALL SELECT *, "
                   "typeof(value), 0 FROM system_table"),
              "table|connection_table|33|\ntable|session_table|11|\nindex|session_table_attr_idx|0|"
              "CREATE INDEX session_table_attr_idx on session_table(attribute)\n"
              "index|session_table_name_idx|0|CREATE INDEX session_table_name_idx on "
              "session_table(share_name)\nindex|session_table_view_idx|0|CREATE INDEX "
              "session_table_view_idx on session_table(view_id)\n"
              "index|sqlite_autoindex_system_table_1|0|<NULL>\ntable|sqlite_sequence|2|\n"
              "table|system_table|2|CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON "
              "CONFLICT IGNORE, value VARCHAR NOT NULL)\nrelease_version|13|text|0\n");
    SystemDB::destroy();
    const std::string old =
        "CREATE TABLE session_table (id INTEGER primary key, conn_id INTEGER, share_name TEXT, "
        "attribute INTEGER, view_id INTEGER, sync_folder TEXT)";
    db_ = dir_ / "old.db";
    Plant(old +
          ";CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value);"
          "INSERT INTO system_table VALUES ('release_version', 12);"
          "INSERT INTO session_table VALUES (4, 1, 'old', 4, 2, '/o/');");
    ASSERT_EQ(Open(db_), 0);
    EXPECT_EQ(Dump("SELECT (SELECT group_concat(key || '=' || value) FROM system_table), (SELECT "
                   "sql FROM sqlite_master WHERE name = 'session_table'), (SELECT count(*) FROM "
                   "sqlite_master WHERE name IN ('connection_table', 'session_table_view_idx', "
                   "'session_table_attr_idx')), * FROM session_table"),
              "release_version=12|" + old + "|3|4|1|old|4|2|/o/\n");
}

TEST_F(StoreTest, OpenCloseCycle) {
    SystemDB::destroy();
    const int closed = testutil::OpenDescriptors();
    SessionInfo s{0, "kept", SA_ENABLE, 0, 0, 0, "", 0, PERM_ALL};
    Log quiet;  // INFO entries stay below the default threshold
    ASSERT_EQ(Open(db_), 0);
    SystemDB::destroy();
    EXPECT_EQ(quiet.Text(), "");
    EXPECT_EQ(testutil::OpenDescriptors(), closed);  // closing releases the file
    const std::string other = dir_ / "other.db";
    Verbose();
    Log log;
    SystemDB::destroy();
    ASSERT_EQ(Open(db_), 0);
    EXPECT_EQ(Open(other), 0);  // keeps the first
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    SystemDB::destroy();
    EXPECT_EQ(SystemDB::setSessionStatus(s.session_id, 2), -1);
    const std::string i = "[INFO] system-db(N): SystemDB has been ";
    EXPECT_EQ(log.Text(), i + "deinitialzed (no-op)\n" + i + "initialized with location '" + db_ +
                              "'\n" + i + "initialized (no-op)\n" + i + "deinitialzed\n" +
                              dbtest::kErr +
                              "setSessionStatus fail ret = 21 system database is not open\n");
    EXPECT_FALSE(testutil::PathExists(other));
    Logger::log_level.erase(dbtest::kComp);
    ASSERT_EQ(Open(db_), 0);
    std::list<SessionInfo> enabled;
    ASSERT_EQ(SystemDB::getEnabledSession(enabled), 0);
    EXPECT_EQ(dbtest::Str(enabled), dbtest::Str(s));
}

// At DEBUG each operation names itself first, whatever follows.
TEST_F(StoreTest, DebugEntriesNameTheOperations) {
    Verbose();
    Log log;
    std::list<SessionInfo> l;
    std::list<ConnectionEntry> c;
    int n = 0;
    long v = 0;
    ustring f;
    SystemDB::resetSession(3), SystemDB::deleteSession(4), SystemDB::disableAllSession();
    SystemDB::getEnabledSession(l), SystemDB::getValidSessionListByConnectionID(l, 1);
    SystemDB::getSyncFolder("h", f), SystemDB::getMaxSessionId(), SystemDB::setComputername("pc");
    SystemDB::setTargetClientVersion(2), SystemDB::setLanguageOptions("en");
    SystemDB::getTargetClientVersion(v), SystemDB::deleteConnection(5);
    SystemDB::getLinkedConnectionEntryList(c), SystemDB::getConnectionEntryList(c);
    SystemDB::getSessionStatusAndErr(1, n, n, n, n), SystemDB::clearSystemDB();
    SystemDB::getFolderInfoByRowID(1, f, f);
    std::string expected;  // entries of their own level start with it
    for (std::string e :
         {"resetSession. id:[3]", "deleteSession. id:[4]", "disableAllSession ",
          "getEnabledSession", "getValidSessionListByConnectionID", "getSyncFolder",
          "[ERROR] system-db(N): cannnot get home share sync folder QQ",
          "getMaxSessionId: get max id = [0]", "set computer name pc", "set setTargetClientVersion",
          "set setLanguageOptions", "getTargetClientVersion", "deleteConnection. id:[5]",
          "getLinkedConnectionEntryList", "getConnectionEntryList", "getSessionStatusAndErr",
          "cannnot get getSessionStatusAndErr 1", "clear System DB ", "getSystemInfo"})
        expected += e[0] == '[' ? e : dbtest::kDebug + e + "\n";
    EXPECT_EQ(log.Text(), expected);
}

// Eight threads write and read on one store: every call succeeds and every id
// handed back names its own thread's row; faults are noted for the main thread.
constexpr int kThreads = 8, kRounds = 10;  // each write waits for the disk

void Worker(int t, std::string& faults) {
    for (int r = 0; r < kRounds; ++r) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(r);
        auto check = [&](bool ok, const char* what) {
            if (!ok) faults += tag + ": " + what + "\n";
        };
        ConnectionInfo c;
        c.orb_id = ("orb'" + tag).c_str();
        ProxyInfo p;
        p.password = "pw-" + tag;
        check(SystemDB::setConnectionEntry(c, p, TunnelInfo()) == 0, "insert connection");
        const std::string share = "share'" + tag, folder = "/sync/" + tag;
        const uint64_t view = t * 100 + r;
        SessionInfo s{0, share.c_str(), SA_ENABLE, view, 0, 0, folder.c_str(), c.conn_id, PERM_ALL};
        check(SystemDB::addNewSessionInfo(s) == 0, "add session");
        const uint64_t conn = c.conn_id, session = s.session_id;
        c.conn_id = s.session_id = 0;
        s.share_version = r + 1;
        check(SystemDB::updateConnectionEntry(c, p, TunnelInfo()) == 0 && c.conn_id == conn,
              "update connection");
        check(SystemDB::updateSessionInfo(s) == 0 && s.session_id == session, "update session");
        check(SystemDB::setSessionStatus(session, t) == 0 &&
                  SystemDB::setConnectionStatus(conn, t) == 0,
              "status");
        ConnectionEntry e;
        SessionInfo back;
        PathInfo path;
        std::list<SessionInfo> sessions;
        check(SystemDB::getConnectionEntryByConnID(conn, e) == 0 &&
                  e.connection_info.orb_id == c.orb_id && e.proxy_info.password == p.password &&
                  SystemDB::getSessionInfoBySessionID(session, back) == 0 &&
                  back.share_name == s.share_name && back.share_version == r + 1 &&
                  SystemDB::getPathInfoByPath((folder + "/f").c_str(), path) == 0 &&
                  path.view_id == s.view_id &&
                  path.connection_entry.connection_info.conn_id == conn &&
                  SystemDB::getEnabledSession(sessions) == 0 && sessions.size() > size_t(r),
              "read back");
    }
}

using StoreThreads = SystemDBFixture;

TEST_F(StoreThreads, InterleavedWritesAndReadsKeepTheirOwnRows) {
    std::vector<std::string> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(Worker, t, std::ref(faults[t]));
    for (auto& th : threads) th.join();
    for (const auto& f : faults) EXPECT_EQ(f, "");
    EXPECT_EQ(Dump("SELECT count(*), count(DISTINCT c.id), sum(s.status = c.status AND "
                   "substr(s.share_name, 7) = substr(c.orb_id, 5) AND s.share_version = "
                   "1 + substr(c.orb_id, instr(c.orb_id, '-') + 1)) FROM session_table AS s JOIN "
                   "connection_table AS c ON c.id = s.conn_id"),
              "80|80|80\n");
}

}  // namespace
