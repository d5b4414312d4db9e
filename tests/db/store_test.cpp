// The store itself: a new file's schema, an older file left as it is, files
// that cannot serve, and the open/close cycle.
#include <gtest/gtest.h>

#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using StoreTest = SystemDBFixture;

// Columns, their defaults and the collations are pinned where rows are
// written and looked up; here the objects, their column counts and indexes.
TEST_F(StoreTest, NewFileGetsTheWholeSchemaAndVersion) {
    EXPECT_EQ(Dump("SELECT m.type, m.name, count(p.name), iif(m.type = 'index', m.sql, '') FROM "
                   "sqlite_master AS m LEFT JOIN pragma_table_info(m.name) AS p GROUP BY m.name"),
              "table|connection_table|33|\ntable|session_table|11|\nindex|session_table_attr_idx|0|"
              "CREATE INDEX "
              "session_table_attr_idx on session_table(attribute)\nindex|session_table_name_idx|0|"
              "CREATE INDEX session_table_name_idx on session_table(share_name)\n"
              "index|session_table_view_idx|0|CREATE INDEX session_table_view_idx on "
              "session_table(view_id)\nindex|sqlite_autoindex_system_table_1|0|<NULL>\n"
              "table|sqlite_sequence|2|\ntable|system_table|2|\n");
    EXPECT_EQ(Dump("SELECT sql FROM sqlite_master WHERE name = 'system_table'"),
              "CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value "
              "VARCHAR NOT NULL)\n");
    EXPECT_EQ(Dump("SELECT key, value, typeof(value) FROM system_table"),
              "release_version|13|text\n");
}

TEST_F(StoreTest, AnOlderFileKeepsItsTablesAndVersion) {
    SystemDB::destroy();
    const std::string old =
        "CREATE TABLE session_table (id INTEGER primary key, conn_id INTEGER, share_name TEXT, "
        "attribute INTEGER, view_id INTEGER, sync_folder TEXT)";
    db_ = dir_ / "old.db";
    Plant(old +
          ";CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value);"
          "INSERT INTO system_table VALUES ('release_version', 12);"
          "INSERT INTO session_table VALUES (4, 1, 'old', 4, 2, '/o/');");
    ASSERT_EQ(SystemDB::initialize(ustring(db_.c_str())), 0);
    EXPECT_EQ(Dump("SELECT (SELECT group_concat(key || '=' || value) FROM system_table), (SELECT "
                   "sql FROM sqlite_master WHERE name = 'session_table'), (SELECT count(*) FROM "
                   "sqlite_master WHERE name IN ('connection_table', 'session_table_view_idx', "
                   "'session_table_attr_idx')), * FROM session_table"),
              "release_version=12|" + old + "|3|4|1|old|4|2|/o/\n");
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
    const std::string i = "[INFO] system-db(N): SystemDB has been ";
    EXPECT_EQ(log.Text(), i + "deinitialzed (no-op)\n" + i + "initialized with location '" + db_ +
                              "'\n" + i + "initialized (no-op)\n" + i +
                              "deinitialzed\n[ERROR] system-db(N): setSessionStatus fail ret = "
                              "21 system database is not open\n");
    EXPECT_FALSE(testutil::PathExists(other));
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
