// The store itself: the schema of a new file, an older file left as it is,
// files that cannot be opened, and the open/close cycle.
#include <gtest/gtest.h>

#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;

class StoreTest : public SystemDBFixture {};

TEST_F(StoreTest, NewFileGetsTheWholeSchemaAndVersion) {
    EXPECT_EQ(
        Dump("SELECT type, name, sql FROM sqlite_master ORDER BY name"),
        "table|connection_table|CREATE TABLE connection_table (id INTEGER primary key "
        "autoincrement, conn_mode INTEGER DEFAULT 0, server_name TEXT DEFAULT '', server_ip TEXT "
        "DEFAULT '', server_port INTEGER DEFAULT 0, farlink_mode TEXT DEFAULT '', username TEXT "
        "COLLATE NOCASE DEFAULT '', orb_id TEXT DEFAULT '', session TEXT NOT NULL DEFAULT '', "
        "protocol_version INTEGER DEFAULT 0, computer_name TEXT DEFAULT '', use_ssl INTEGER "
        "DEFAULT 0, use_proxy INTEGER DEFAULT 0, use_system_proxy INTEGER DEFAULT 0, proxy_ip TEXT "
        "DEFAULT '', proxy_port INTEGER DEFAULT 0, proxy_username TEXT DEFAULT '', proxy_password "
        "TEXT DEFAULT '', proxy_domain TEXT DEFAULT '', proxy_host TEXT DEFAULT '', use_tunnel "
        "INTEGER DEFAULT 0, tunnel_ip TEXT DEFAULT '', tunnel_port INTEGER DEFAULT 0, linked "
        "INTEGER DEFAULT 0, status INTEGER DEFAULT 0, error INTEGER DEFAULT 0, package_version "
        "INTEGER DEFAULT 0, major INTEGER DEFAULT 0, minor INTEGER DEFAULT 0, ssl_allow_untrust "
        "INTEGER DEFAULT 0, user_uid INTEGER DEFAULT 0, user_gid INTEGER DEFAULT 0, user_is_admin "
        "INTEGER DEFAULT 1)\n"
        "table|session_table|CREATE TABLE session_table (id INTEGER primary key autoincrement, "
        "conn_id INTEGER DEFAULT 0, share_name TEXT COLLATE NOCASE DEFAULT '', attribute INTEGER "
        "DEFAULT 0, ctime DATATIME DEFAULT (strftime('%s','now')), view_id INTEGER DEFAULT 0, "
        "status INTEGER DEFAULT 0, error INTEGER DEFAULT 0, share_version INTEGER DEFAULT 0, "
        "sync_folder TEXT DEFAULT '', perm_mode INTEGER DEFAULT 0)\n"
        "index|session_table_attr_idx|CREATE INDEX session_table_attr_idx on "
        "session_table(attribute)\n"
        "index|session_table_name_idx|CREATE INDEX session_table_name_idx on "
        "session_table(share_name)\n"
        "index|session_table_view_idx|CREATE INDEX session_table_view_idx on "
        "session_table(view_id)\n"
        "index|sqlite_autoindex_system_table_1|<NULL>\n"
        "table|sqlite_sequence|CREATE TABLE sqlite_sequence(name,seq)\n"
        "table|system_table|CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT "
        "IGNORE, value VARCHAR NOT NULL)\n");
    EXPECT_EQ(Dump("SELECT key, value, typeof(value) FROM system_table"),
              "release_version|13|text\n");
}

TEST_F(StoreTest, AnOlderFileKeepsItsTablesAndVersion) {
    SystemDB::destroy();
    const std::string old_session =
        "CREATE TABLE session_table (id INTEGER primary key, conn_id INTEGER, share_name TEXT, "
        "attribute INTEGER, view_id INTEGER, sync_folder TEXT)";
    db_ = dir_ / "old.db";
    Plant(old_session +
          ";CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value);"
          "INSERT INTO system_table VALUES ('release_version', 12);"
          "INSERT INTO session_table VALUES (4, 1, 'old', 4, 2, '/o/');");
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    EXPECT_EQ(Dump("SELECT * FROM system_table"), "release_version|12\n");
    EXPECT_EQ(Dump("SELECT sql FROM sqlite_master WHERE name = 'session_table'"),
              old_session + "\n");
    EXPECT_EQ(Dump("SELECT * FROM session_table"), "4|1|old|4|2|/o/\n");
    EXPECT_EQ(Dump("SELECT count(*) FROM sqlite_master WHERE name IN ('connection_table', "
                   "'session_table_view_idx', 'session_table_attr_idx')"),
              "3\n");
}

TEST_F(StoreTest, FilesThatCannotServeAreRefusedAndTheStoreStaysClosed) {
    SystemDB::destroy();
    const std::string text = dir_ / "text.db", gone = dir_ / "missing/dir/system.db";
    testutil::WriteFile(text, "a plain text file, not a database at all\n");
    Log log;
    EXPECT_EQ(SystemDB::initialize(ustring(text.c_str())), -1);
    EXPECT_EQ(SystemDB::initialize(ustring(dir_.path().c_str())), -1);
    EXPECT_EQ(SystemDB::initialize(ustring(gone.c_str())), -1);
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): SystemDB: Failed to initialize database at '" +
                              text +
                              "'. [26] file is not a database\n"
                              "[ERROR] system-db(N): initialize fail file is not a database\n"
                              "[ERROR] system-db(N): SystemDB: Failed to open database at '" +
                              dir_.path() +
                              "'. [14] unable to open database file\n"
                              "[ERROR] system-db(N): SystemDB: Failed to open database at '" +
                              gone + "'. [14] unable to open database file\n");
    EXPECT_EQ(testutil::ReadFile(text), "a plain text file, not a database at all\n");
    EXPECT_FALSE(testutil::PathExists(dir_ / "missing"));
    // Still closed: a good file opens now rather than being ignored.
    std::string good = dir_ / "good.db";
    ASSERT_EQ(SystemDB::initialize(ustring(good.c_str())), 0);
    EXPECT_TRUE(testutil::PathExists(good));
}

TEST_F(StoreTest, OpenCloseCycle) {
    SystemDB::destroy();
    const std::string other = dir_ / "other.db";
    SessionInfo s;
    s.share_name = "kept";
    s.attribute = SA_ENABLE;
    {
        Log quiet;  // INFO entries stay below the default threshold
        SystemDB::destroy();
        ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
        SystemDB::destroy();
        EXPECT_EQ(quiet.Text(), "");
    }
    Verbose();
    Log log;
    SystemDB::destroy();
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    EXPECT_EQ(SystemDB::initialize(ustring(other.c_str())), 0);  // keeps the first
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    SystemDB::destroy();
    EXPECT_EQ(SystemDB::setSessionStatus(s.session_id, 2), -1);
    EXPECT_EQ(log.Text(),
              "[INFO] system-db(N): SystemDB has been deinitialzed (no-op)\n"
              "[INFO] system-db(N): SystemDB has been initialized with location '" +
                  db_ +
                  "'\n"
                  "[INFO] system-db(N): SystemDB has been initialized (no-op)\n"
                  "[INFO] system-db(N): SystemDB has been deinitialzed\n"
                  "[ERROR] system-db(N): setSessionStatus fail ret = 21 system database is not "
                  "open\n");
    EXPECT_FALSE(testutil::PathExists(other));
    EXPECT_EQ(Dump("SELECT share_name, status FROM session_table"), "kept|0\n");

    Logger::log_level.erase(dbtest::kComp);
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    std::list<SessionInfo> enabled;
    ASSERT_EQ(SystemDB::getEnabledSession(enabled), 0);
    EXPECT_EQ(dbtest::Str(enabled), dbtest::Str(s));
}

TEST(SessionFilterText, NeedsNoDatabase) {
    EXPECT_EQ(SystemDB::sessionFiltertoSQL({}), "(1)");
    EXPECT_EQ(SystemDB::sessionFiltertoSQL({7, 18446744073709551615ull}),
              "(id <> 7 AND id <> 18446744073709551615 AND 1)");
}

}  // namespace
