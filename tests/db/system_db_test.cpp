// The system database store: schema, opening, closing and the closed state.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>

#include <list>
#include <regex>
#include <string>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"

using testutil::QueryRows;
using testutil::QueryValue;
using testutil::Rows;

namespace {

const ustring kComp("system_db_debug");

class SystemDBStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SystemDB::destroy();
        Logger::log_level.erase(kComp);
        db_ = dir_ / "system.db";
    }
    void TearDown() override {
        Logger::log_level.erase(kComp);
        SystemDB::destroy();
    }
    // Lets INFO and DEBUG entries of the store through.
    void Verbose() { Logger::log_level[kComp] = Logger::L_DEBUG; }

    testutil::TempDir dir_;
    std::string db_;
};

// One logged line: timestamp, then the entry with any line number.
std::string Line(const std::string& entry_re) {
    return std::string(testutil::kTimestampRe) + entry_re + "\n";
}

const char* kConnectionSql =
    "CREATE TABLE connection_table (id INTEGER primary key autoincrement, conn_mode INTEGER "
    "DEFAULT 0, server_name TEXT DEFAULT '', server_ip TEXT DEFAULT '', server_port INTEGER "
    "DEFAULT 0, farlink_mode TEXT DEFAULT '', username TEXT COLLATE NOCASE DEFAULT '', orb_id "
    "TEXT DEFAULT '', session TEXT NOT NULL DEFAULT '', protocol_version INTEGER DEFAULT 0, "
    "computer_name TEXT DEFAULT '', use_ssl INTEGER DEFAULT 0, use_proxy INTEGER DEFAULT 0, "
    "use_system_proxy INTEGER DEFAULT 0, proxy_ip TEXT DEFAULT '', proxy_port INTEGER DEFAULT 0, "
    "proxy_username TEXT DEFAULT '', proxy_password TEXT DEFAULT '', proxy_domain TEXT DEFAULT "
    "'', proxy_host TEXT DEFAULT '', use_tunnel INTEGER DEFAULT 0, tunnel_ip TEXT DEFAULT '', "
    "tunnel_port INTEGER DEFAULT 0, linked INTEGER DEFAULT 0, status INTEGER DEFAULT 0, error "
    "INTEGER DEFAULT 0, package_version INTEGER DEFAULT 0, major INTEGER DEFAULT 0, minor "
    "INTEGER DEFAULT 0, ssl_allow_untrust INTEGER DEFAULT 0, user_uid INTEGER DEFAULT 0, "
    "user_gid INTEGER DEFAULT 0, user_is_admin INTEGER DEFAULT 1)";
const char* kSessionSql =
    "CREATE TABLE session_table (id INTEGER primary key autoincrement, conn_id INTEGER DEFAULT "
    "0, share_name TEXT COLLATE NOCASE DEFAULT '', attribute INTEGER DEFAULT 0, ctime DATATIME "
    "DEFAULT (strftime('%s','now')), view_id INTEGER DEFAULT 0, status INTEGER DEFAULT 0, error "
    "INTEGER DEFAULT 0, share_version INTEGER DEFAULT 0, sync_folder TEXT DEFAULT '', perm_mode "
    "INTEGER DEFAULT 0)";
const char* kSystemSql =
    "CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value VARCHAR NOT "
    "NULL)";

TEST_F(SystemDBStoreTest, NewFileGetsTheWholeSchemaAndVersion) {
    ASSERT_FALSE(testutil::PathExists(db_));
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);

    Rows objects =
        QueryRows(db_, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
    Rows expected = {
        {"table", "connection_table", "connection_table", kConnectionSql},
        {"table", "session_table", "session_table", kSessionSql},
        {"index", "session_table_attr_idx", "session_table",
         "CREATE INDEX session_table_attr_idx on session_table(attribute)"},
        {"index", "session_table_name_idx", "session_table",
         "CREATE INDEX session_table_name_idx on session_table(share_name)"},
        {"index", "session_table_view_idx", "session_table",
         "CREATE INDEX session_table_view_idx on session_table(view_id)"},
        {"index", "sqlite_autoindex_system_table_1", "system_table", "<NULL>"},
        {"table", "sqlite_sequence", "sqlite_sequence", "CREATE TABLE sqlite_sequence(name,seq)"},
        {"table", "system_table", "system_table", kSystemSql},
    };
    EXPECT_EQ(objects, expected);

    // The declared columns as SQLite understands them: cid, name, type,
    // notnull, default, pk.
    Rows session = QueryRows(db_, "PRAGMA table_info(session_table)");
    Rows expected_session = {
        {"0", "id", "INTEGER", "0", "<NULL>", "1"},
        {"1", "conn_id", "INTEGER", "0", "0", "0"},
        {"2", "share_name", "TEXT", "0", "''", "0"},
        {"3", "attribute", "INTEGER", "0", "0", "0"},
        {"4", "ctime", "DATATIME", "0", "strftime('%s','now')", "0"},
        {"5", "view_id", "INTEGER", "0", "0", "0"},
        {"6", "status", "INTEGER", "0", "0", "0"},
        {"7", "error", "INTEGER", "0", "0", "0"},
        {"8", "share_version", "INTEGER", "0", "0", "0"},
        {"9", "sync_folder", "TEXT", "0", "''", "0"},
        {"10", "perm_mode", "INTEGER", "0", "0", "0"},
    };
    EXPECT_EQ(session, expected_session);

    Rows conn = QueryRows(db_, "PRAGMA table_info(connection_table)");
    ASSERT_EQ(conn.size(), 33u);
    EXPECT_EQ(conn[8], (std::vector<std::string>{"8", "session", "TEXT", "1", "''", "0"}));
    EXPECT_EQ(conn[32],
              (std::vector<std::string>{"32", "user_is_admin", "INTEGER", "0", "1", "0"}));

    Rows sys = QueryRows(db_, "PRAGMA table_info(system_table)");
    Rows expected_sys = {{"0", "key", "VARCHAR", "0", "<NULL>", "1"},
                         {"1", "value", "VARCHAR", "1", "<NULL>", "0"}};
    EXPECT_EQ(sys, expected_sys);

    EXPECT_EQ(QueryRows(db_, "SELECT key, value, typeof(value) FROM system_table"),
              (Rows{{"release_version", "13", "text"}}));
}

TEST_F(SystemDBStoreTest, SchemaRulesHoldInTheCreatedFile) {
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    time_t before = time(nullptr);
    testutil::ExecSql(db_,
                      "INSERT INTO session_table (share_name) VALUES ('a');"
                      "INSERT INTO system_table VALUES ('release_version', 99);"
                      "INSERT INTO system_table VALUES ('k', 'v');"
                      "INSERT INTO system_table VALUES ('k', 'w');");
    time_t after = time(nullptr);

    // ctime defaults to the insertion time, stored as an integer.
    Rows ctime = QueryRows(db_, "SELECT typeof(ctime), ctime FROM session_table");
    ASSERT_EQ(ctime.size(), 1u);
    EXPECT_EQ(ctime[0][0], "integer");
    long stamp = std::stol(ctime[0][1]);
    EXPECT_GE(stamp, static_cast<long>(before));
    EXPECT_LE(stamp, static_cast<long>(after));

    // A plain INSERT of an existing key is silently ignored.
    EXPECT_EQ(QueryValue(db_, "SELECT value FROM system_table WHERE key = 'release_version'"),
              "13");
    EXPECT_EQ(QueryValue(db_, "SELECT value FROM system_table WHERE key = 'k'"), "v");

    // share_name compares without regard to ASCII case.
    EXPECT_EQ(QueryValue(db_, "SELECT count(*) FROM session_table WHERE share_name = 'A'"), "1");
}

TEST_F(SystemDBStoreTest, OlderDatabaseKeepsItsVersionAndTables) {
    // An earlier release's file: its own session_table (no perm_mode) and
    // version 12, no connection_table, no indexes.
    const char* old_session =
        "CREATE TABLE session_table (id INTEGER primary key autoincrement, conn_id INTEGER, "
        "share_name TEXT COLLATE NOCASE, attribute INTEGER, view_id INTEGER, sync_folder TEXT)";
    testutil::ExecSql(db_, std::string(old_session) + ";" + kSystemSql +
                               ";INSERT INTO system_table VALUES ('release_version', 12);"
                               "INSERT INTO session_table (share_name, sync_folder) "
                               "VALUES ('old', '/o/');");

    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);

    EXPECT_EQ(QueryValue(db_, "SELECT value FROM system_table WHERE key = 'release_version'"),
              "12");
    EXPECT_EQ(QueryValue(db_, "SELECT sql FROM sqlite_master WHERE name = 'session_table'"),
              old_session);
    EXPECT_EQ(QueryValue(db_, "SELECT sql FROM sqlite_master WHERE name = 'connection_table'"),
              kConnectionSql);
    EXPECT_EQ(QueryValue(db_,
                         "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                         "name LIKE 'session_table_%'"),
              "3");
    EXPECT_EQ(QueryRows(db_, "SELECT share_name, sync_folder FROM session_table"),
              (Rows{{"old", "/o/"}}));
}

TEST_F(SystemDBStoreTest, TextFileIsRefusedWithBothEntriesAndStoreStaysClosed) {
    const std::string text = "this is a plain text file, not a database at all\n";
    testutil::WriteFile(db_, text);

    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::initialize(ustring(db_.c_str())), -1);
    std::string out = err.Stop();

    std::string expected =
        Line(R"(\[ERROR\] system-db\(\d+\): SystemDB: Failed to initialize database at ')" +
             testutil::RegexEscape(db_) + R"('\. \[26\] file is not a database)") +
        Line(R"(\[ERROR\] system-db\(\d+\): initialize fail file is not a database)");
    EXPECT_TRUE(std::regex_match(out, std::regex(expected))) << out;
    EXPECT_EQ(testutil::ReadFile(db_), text);

    // The store is still closed: an operation fails through its own path.
    std::list<SessionInfo> sessions(2);
    testutil::StderrCapture err2;
    EXPECT_EQ(SystemDB::getEnabledSession(sessions), -1);
    EXPECT_TRUE(sessions.empty());
    std::string out2 = err2.Stop();
    EXPECT_TRUE(std::regex_match(
        out2, std::regex(Line(R"(\[ERROR\] system-db\(\d+\): getEnabledSession: )"
                              R"(sqlite3_prepare_v2: system database is not open \(21\))"))))
        << out2;
}

TEST_F(SystemDBStoreTest, UnopenablePathsFailWithTheOpenEntry) {
    struct Case {
        std::string path;
    } cases[] = {{dir_.path()}, {dir_ / "missing/dir/system.db"}};
    for (const Case& c : cases) {
        testutil::StderrCapture err;
        EXPECT_EQ(SystemDB::initialize(ustring(c.path.c_str())), -1) << c.path;
        std::string out = err.Stop();
        std::string expected =
            Line(R"(\[ERROR\] system-db\(\d+\): SystemDB: Failed to open database at ')" +
                 testutil::RegexEscape(c.path) + R"('\. \[14\] unable to open database file)");
        EXPECT_TRUE(std::regex_match(out, std::regex(expected))) << out;
        EXPECT_EQ(SystemDB::getMaxSessionId(), 0u);
    }
    EXPECT_FALSE(testutil::PathExists(dir_ / "missing"));
}

TEST_F(SystemDBStoreTest, UnwritableDirectoryFailsForAnUnprivilegedUser) {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    std::string ro = dir_ / "ro";
    ASSERT_EQ(mkdir(ro.c_str(), 0555), 0);
    std::string path = ro + "/system.db";
    int status = testutil::RunInChild(
        [&] {
            testutil::StderrCapture err;
            int rc = SystemDB::initialize(ustring(path.c_str()));
            std::string out = err.Stop();
            if (rc != -1) return 1;
            if (out.find("SystemDB: Failed to open database at '" + path + "'. [14] ") ==
                std::string::npos)
                return 2;
            return SystemDB::setSessionStatus(1, 1) == -1 ? 0 : 3;
        },
        true);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(testutil::PathExists(path));
}

TEST_F(SystemDBStoreTest, SecondInitializeIsANoOpAndKeepsTheFirstDatabase) {
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    std::string other = dir_ / "other.db";

    // At the default threshold an INFO entry is dropped.
    testutil::StderrCapture quiet;
    EXPECT_EQ(SystemDB::initialize(ustring(other.c_str())), 0);
    EXPECT_EQ(quiet.Stop(), "");

    Verbose();
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::initialize(ustring(other.c_str())), 0);
    std::string out = err.Stop();
    EXPECT_TRUE(std::regex_match(
        out,
        std::regex(Line(R"(\[INFO\] system-db\(\d+\): SystemDB has been initialized \(no-op\))"))))
        << out;
    EXPECT_FALSE(testutil::PathExists(other));

    SessionInfo s;
    s.share_name = "first";
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    EXPECT_EQ(QueryValue(db_, "SELECT share_name FROM session_table"), "first");
}

TEST_F(SystemDBStoreTest, DestroyClosesAndTheStoreReopens) {
    Verbose();
    {
        testutil::StderrCapture err;
        SystemDB::destroy();
        std::string out = err.Stop();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(Line(
                     R"(\[INFO\] system-db\(\d+\): SystemDB has been deinitialzed \(no-op\))"))))
            << out;
    }
    {
        testutil::StderrCapture err;
        ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
        std::string out = err.Stop();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(Line(R"(\[INFO\] system-db\(\d+\): SystemDB has been initialized )"
                                 R"(with location ')" +
                                 testutil::RegexEscape(db_) + "'"))))
            << out;
    }
    SessionInfo s;
    s.share_name = "kept";
    s.attribute = SA_ENABLE;
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    {
        testutil::StderrCapture err;
        SystemDB::destroy();
        std::string out = err.Stop();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(Line(R"(\[INFO\] system-db\(\d+\): SystemDB has been deinitialzed)"))))
            << out;
    }

    // Closed: reads and writes fail with their own entries, at any threshold.
    Logger::log_level.erase(kComp);
    {
        testutil::StderrCapture err;
        EXPECT_EQ(SystemDB::setSessionStatus(s.session_id, 2), -1);
        EXPECT_EQ(SystemDB::getMaxSessionId(), 0u);
        std::string out = err.Stop();
        std::string expected =
            Line(
                R"(\[ERROR\] system-db\(\d+\): setSessionStatus fail ret = 21 system database is not open)") +
            Line(
                R"(\[ERROR\] system-db\(\d+\): getMaxSessionId: sqlite3_prepare_v2: system database is not open \(21\))");
        EXPECT_TRUE(std::regex_match(out, std::regex(expected))) << out;
    }

    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    std::list<SessionInfo> enabled;
    ASSERT_EQ(SystemDB::getEnabledSession(enabled), 0);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled.front().share_name, ustring("kept"));
    EXPECT_EQ(SystemDB::getMaxSessionId(), s.session_id);
}

TEST_F(SystemDBStoreTest, SessionFilterTextNeedsNoDatabase) {
    EXPECT_EQ(SystemDB::sessionFiltertoSQL({}), "(1)");
    EXPECT_EQ(SystemDB::sessionFiltertoSQL({7, 9}), "(id <> 7 AND id <> 9 AND 1)");
    EXPECT_EQ(SystemDB::sessionFiltertoSQL({18446744073709551615ull}),
              "(id <> 18446744073709551615 AND 1)");
}

}  // namespace
