// Session records and the session queries, against rows planted through a
// separate SQLite connection.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <list>
#include <ostream>
#include <regex>
#include <string>

#include "db_fixture.h"
#include "logger.h"
#include "system-db.h"
#include "test_support.h"

// Readable failure messages for records.
void PrintTo(const SessionInfo& s, std::ostream* os) {
    *os << "{id " << s.session_id << ", share '" << s.share_name.c_str() << "', attr "
        << s.attribute << ", view " << s.view_id << ", enabled " << s.enabled << ", version "
        << s.share_version << ", folder '" << s.sync_folder.c_str() << "', conn " << s.conn_id
        << ", perm " << static_cast<int>(s.perm_mode) << "}";
}

namespace {

const ustring kComp("system_db_debug");

class SystemDBSessionsTest : public SystemDBFixture {
  protected:
};

// A record no query would produce, to see what a lookup leaves untouched.
SessionInfo Sentinel() {
    return MakeSession(999, "sentinel", 77, 88, 99, "/sentinel", 66, PERM_DOMAIN);
}

std::string Line(const std::string& entry_re, bool newline = true) {
    return std::string(testutil::kTimestampRe) + entry_re + (newline ? "\n" : "");
}

bool Matches(const std::string& text, const std::string& re) {
    return std::regex_match(text, std::regex(re));
}

TEST(SessionInfoRecord, DefaultsAndAttributeHelpers) {
    SessionInfo s;
    EXPECT_EQ(s, MakeSession(0, "", 0, 0, 0, "", 0, PERM_EXEC_BIT));
    EXPECT_EQ(s.enabled, 0);

    s.attribute = SA_IS_HOME | SA_READ_ONLY;
    s.setUsed();
    s.setEnabled();
    s.setDeleted();
    EXPECT_EQ(s.attribute, 31);
    EXPECT_TRUE(s.isUsed() && s.isEnabled() && s.isDeleted() && s.isHome() && s.isReadOnly());
    s.setUnused();
    s.setDisabled();
    s.setNotDeleted();
    s.setReadWrite();
    s.setShareSession();
    EXPECT_EQ(s.attribute, 0);
    EXPECT_FALSE(s.isUsed() || s.isEnabled() || s.isDeleted() || s.isHome() || s.isReadOnly());
    s.setReadOnly();
    EXPECT_EQ(s.attribute, SA_READ_ONLY);

    EXPECT_EQ(s.permModeToStr(), ustring("PERM_EXEC_BIT"));
    s.setPermMode(PERM_ALL);
    EXPECT_EQ(s.permModeToStr(), ustring("PERM_ALL"));
    s.setPermMode(PERM_DOMAIN);
    EXPECT_EQ(s.permModeToStr(), ustring("PERM_DOMAIN"));
    s.setPermMode(static_cast<PERM_MODE>(9));
    EXPECT_EQ(s.permModeToStr(), ustring("PERM_UNKNOWN(9)"));

    SessionInfo t = s;
    EXPECT_EQ(t, s);
    t.enabled = 1;
    EXPECT_NE(t, s);
}

TEST_F(SystemDBSessionsTest, EmptyTable) {
    std::list<SessionInfo> list(3);
    EXPECT_EQ(SystemDB::getEnabledSession(list), 0);
    EXPECT_TRUE(list.empty());
    list.resize(2);
    EXPECT_EQ(SystemDB::getSessionListByConnectionID(list, 1), 0);
    EXPECT_TRUE(list.empty());
    list.resize(2);
    EXPECT_EQ(SystemDB::getValidSessionListByConnectionID(list, 1), 0);
    EXPECT_TRUE(list.empty());

    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getMaxSessionId(), 0u);
    ustring folder("unchanged");
    EXPECT_EQ(SystemDB::getSyncFolder(ustring("home"), folder), -1);
    EXPECT_EQ(folder, ustring("unchanged"));
    PERM_MODE mode = PERM_DOMAIN;
    EXPECT_EQ(SystemDB::getPermSyncModeBySession(42, mode), -1);
    EXPECT_EQ(mode, PERM_DOMAIN);
    int a = 1, b = 2, c = 3, d = 4;
    EXPECT_EQ(SystemDB::getSessionStatusAndErr(42, a, b, c, d), -1);
    EXPECT_EQ(std::vector<int>({a, b, c, d}), std::vector<int>({1, 2, 3, 4}));
    std::string out = err.Stop();
    EXPECT_TRUE(Matches(
        out, Line(R"(\[ERROR\] system-db\(\d+\): cannnot get home share sync folder QQ)", false) +
                 Line(R"(\[ERROR\] system-db\(\d+\): cannnot get perm mode for session 42)")))
        << out;
}

TEST_F(SystemDBSessionsTest, NotFoundNotesAtDebugLevel) {
    Logger::log_level[kComp] = Logger::L_DEBUG;
    testutil::StderrCapture err;
    int a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(SystemDB::getSessionStatusAndErr(42, a, b, c, d), -1);
    EXPECT_EQ(SystemDB::getMaxSessionId(), 0u);
    std::list<SessionInfo> list;
    EXPECT_EQ(SystemDB::getSessionListByConnectionID(list, 3), 0);
    std::string out = err.Stop();
    EXPECT_TRUE(Matches(
        out, Line(R"(\[DEBUG\] system-db\(\d+\): getSessionStatusAndErr)") +
                 Line(R"(\[DEBUG\] system-db\(\d+\): cannnot get getSessionStatusAndErr 42)") +
                 Line(R"(\[DEBUG\] system-db\(\d+\): getMaxSessionId: get max id = \[0\])") +
                 Line(R"(\[DEBUG\] system-db\(\d+\): getSessionListByConnectionID)", false)))
        << out;
}

// The two folder rules: the full-row decoder strips every trailing "/" and
// "\"; the per-connection lists, getSyncFolder and getFolderInfoByRowID drop
// exactly one byte.
TEST_F(SystemDBSessionsTest, FolderRulesAndNullColumns) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, share_version, "
        "sync_folder, perm_mode) VALUES "
        "(1, 5, 'photos', 4, 10, 3, '/data/photos/', 0),"
        "(2, 5, 'root', 4, 11, 0, '/', 1),"
        "(3, 5, 'x', 4, 12, 0, '/data/x//', 2),"
        "(4, 5, 'y', 4, 13, 0, '/data/y\\', 2),"
        "(5, 5, 'empty', 4, 14, 0, '', 2),"
        "(6, 5, NULL, NULL, NULL, NULL, NULL, NULL),"
        "(7, 5, 'mixed', 4, 15, 0, '/data/z/\\/', 2),"
        "(8, 5, 'donn\xc3\xa9"
        "es', 4, 16, 0, '/donn\xc3\xa9"
        "es/', 2);");

    struct Case {
        uint64_t id;
        const char* full_row;  // GetSessionInfo
        const char* one_byte;  // per-connection lists etc.
    } cases[] = {
        {1, "/data/photos", "/data/photos"},
        {2, "", ""},
        {3, "/data/x", "/data/x/"},
        {4, "/data/y", "/data/y"},
        {5, "", ""},
        {6, "", ""},
        {7, "/data/z", "/data/z/\\"},
        {8,
         "/donn\xc3\xa9"
         "es",
         "/donn\xc3\xa9"
         "es"},
    };

    std::list<SessionInfo> all;
    ASSERT_EQ(SystemDB::getSessionListByConnectionID(all, 5), 0);
    ASSERT_EQ(all.size(), 8u);
    auto it = all.begin();
    for (const Case& c : cases) {
        SessionInfo full = Sentinel();
        full.enabled = 5;
        ASSERT_EQ(SystemDB::getSessionInfoBySessionID(c.id, full), 0);
        EXPECT_EQ(full.session_id, c.id);
        EXPECT_EQ(full.sync_folder, ustring(c.full_row)) << c.id;
        EXPECT_EQ(full.enabled, 5) << "the decoder must not touch enabled";

        ASSERT_EQ(it->session_id, c.id);
        EXPECT_EQ(it->sync_folder, ustring(c.one_byte)) << c.id;
        EXPECT_EQ(it->enabled, 0);

        ustring share("keep"), folder("keep");
        ASSERT_EQ(SystemDB::getFolderInfoByRowID(c.id, share, folder), 0);
        if (c.id == 6) {
            // NULL columns leave the outputs as they were.
            EXPECT_EQ(share, ustring("keep"));
            EXPECT_EQ(folder, ustring("keep"));
        } else {
            EXPECT_EQ(share, it->share_name);
            EXPECT_EQ(folder, ustring(c.one_byte)) << c.id;
        }
        ++it;
    }

    // Everything else of a NULL row reads as empty or zero.
    SessionInfo nulls = Sentinel();
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(6, nulls), 0);
    SessionInfo expected = MakeSession(6, "", 0, 0, 0, "", 5, PERM_ALL);
    expected.enabled = nulls.enabled;
    EXPECT_EQ(nulls, expected);

    ustring folder;
    ASSERT_EQ(SystemDB::getSyncFolder(ustring("X"), folder), 0);
    EXPECT_EQ(folder, ustring("/data/x/"));
    ASSERT_EQ(SystemDB::getSyncFolder(ustring("empty"), folder), 0);
    EXPECT_EQ(folder, ustring(""));
}

TEST_F(SystemDBSessionsTest, EnabledSessionsCarryEveryField) {
    Plant(
        "INSERT INTO connection_table (id) VALUES (1), (2);"
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, status, error, "
        "share_version, sync_folder, perm_mode) VALUES "
        "(1, 1, 'home', 5, 100, 2, -3, 7, '/home/u/Sync/', 2),"
        "(2, 1, 'off', 0, 101, 0, 0, 1, '/off/', 2),"
        "(3, 2, 'bob''s share', 31, 102, 1, 0, 2, '/data/o''neil/', 1),"
        "(4, 2, 'deleted', 8, 103, 0, 0, 0, '/del/', 0),"
        "(5, 3, 'big', 4, 9007199254740993, 0, 0, 0, '/big/', 0);");
    std::list<SessionInfo> list(1);
    ASSERT_EQ(SystemDB::getEnabledSession(list), 0);
    std::list<SessionInfo> expected = {
        MakeSession(1, "home", 5, 100, 7, "/home/u/Sync", 1, PERM_EXEC_BIT),
        MakeSession(3, "bob's share", 31, 102, 2, "/data/o'neil", 2, PERM_DOMAIN),
        MakeSession(5, "big", 4, 9007199254740993ull, 0, "/big", 3, PERM_ALL),
    };
    list.sort(
        [](const SessionInfo& a, const SessionInfo& b) { return a.session_id < b.session_id; });
    EXPECT_EQ(list, expected);
}

TEST_F(SystemDBSessionsTest, PerConnectionListsAndValidity) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, share_version, "
        "sync_folder, perm_mode) VALUES "
        "(1, 7, 'a', 8, 1, 1, '/a/', 0),"
        "(2, 7, 'b', 10, 2, 2, '/b/', 1),"
        "(3, 7, 'c', 12, 3, 3, '/c/', 2),"
        "(4, 7, 'd', 0, 4, 4, '/d/', 0),"
        "(5, 8, 'e', 0, 5, 5, '/e/', 0);");
    std::list<SessionInfo> all, valid;
    ASSERT_EQ(SystemDB::getSessionListByConnectionID(all, 7), 0);
    ASSERT_EQ(SystemDB::getValidSessionListByConnectionID(valid, 7), 0);
    std::list<SessionInfo> expected_all = {
        MakeSession(1, "a", 8, 1, 1, "/a", 7, PERM_ALL),
        MakeSession(2, "b", 10, 2, 2, "/b", 7, PERM_DOMAIN),
        MakeSession(3, "c", 12, 3, 3, "/c", 7, PERM_EXEC_BIT),
        MakeSession(4, "d", 0, 4, 4, "/d", 7, PERM_ALL),
    };
    EXPECT_EQ(all, expected_all);
    expected_all.pop_front();
    EXPECT_EQ(valid, expected_all);

    ASSERT_EQ(SystemDB::getSessionListByConnectionID(all, 99), 0);
    EXPECT_TRUE(all.empty());
}

TEST_F(SystemDBSessionsTest, LookupsByIdAndByLocalFolder) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, share_version, "
        "sync_folder, perm_mode) VALUES "
        "(1, 2, 'docs', 4, 9, 1, '/data/o''neil/', 1),"
        "(2, 2, 'pics', 0, 8, 1, '/data/Pics/', 2),"
        "(3, 3, 'pics2', 4, 7, 1, '/data/Pics/', 0);");

    SessionInfo s = Sentinel();
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder(ustring("/data/o'neil"), s), 0);
    EXPECT_EQ(s, MakeSession(1, "docs", 4, 9, 1, "/data/o'neil", 2, PERM_DOMAIN));

    // Exact and case-sensitive; the caller passes no trailing separator.
    for (const char* miss : {"/data/pics", "/data/Pics/", "/data", "/data/o'neil/x"}) {
        SessionInfo untouched = Sentinel();
        ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder(ustring(miss), untouched), 0);
        EXPECT_EQ(untouched, Sentinel()) << miss;
    }
    // Two sessions share the folder: the first row is taken.
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder(ustring("/data/Pics"), s), 0);
    EXPECT_EQ(s.session_id, 2u);

    SessionInfo missing = Sentinel();
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(4, missing), 0);
    EXPECT_EQ(missing, Sentinel());
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(3, missing), 0);
    EXPECT_EQ(missing, MakeSession(3, "pics2", 4, 7, 1, "/data/Pics", 3, PERM_ALL));

    ustring share("keep"), folder("keep");
    ASSERT_EQ(SystemDB::getFolderInfoByRowID(4, share, folder), 0);
    EXPECT_EQ(share, ustring("keep"));
    EXPECT_EQ(folder, ustring("keep"));
}

TEST_F(SystemDBSessionsTest, SyncFolderByShareNameIgnoresAsciiCase) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, sync_folder) VALUES "
        "(1, 1, 'photos', '/p1/'),"
        "(2, 2, 'photos', '/p2/'),"
        "(3, 1, 'bob''s', '/bob/'),"
        "(4, 1, '\xc3\x89t\xc3\xa9', '/summer/');");
    ustring folder;
    ASSERT_EQ(SystemDB::getSyncFolder(ustring("Photos"), folder), 0);
    EXPECT_EQ(folder, ustring("/p1"));
    ASSERT_EQ(SystemDB::getSyncFolder(ustring("BOB'S"), folder), 0);
    EXPECT_EQ(folder, ustring("/bob"));
    // Only ASCII letters fold: the lower-case accented name is another name.
    folder = "keep";
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getSyncFolder(ustring("\xc3\xa9t\xc3\xa9"), folder), -1);
    err.Stop();
    EXPECT_EQ(folder, ustring("keep"));
}

TEST_F(SystemDBSessionsTest, StatusJoinNeedsTheConnectionRow) {
    Plant(
        "INSERT INTO connection_table (id, status, error) VALUES (1, 3, -4);"
        "INSERT INTO session_table (id, conn_id, status, error) VALUES (1, 1, 2, -3), (2, 9, 1, "
        "-1);");
    int a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(SystemDB::getSessionStatusAndErr(1, a, b, c, d), 0);
    EXPECT_EQ(std::vector<int>({a, b, c, d}), std::vector<int>({2, -3, 3, -4}));

    a = b = c = d = 11;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getSessionStatusAndErr(2, a, b, c, d), -1);
    EXPECT_EQ(err.Stop(), "");  // a DEBUG note only
    EXPECT_EQ(std::vector<int>({a, b, c, d}), std::vector<int>({11, 11, 11, 11}));
}

TEST_F(SystemDBSessionsTest, MaxIdAndPermissionMode) {
    Plant("INSERT INTO session_table (id, perm_mode) VALUES (3, 1), (10, 0), (4, NULL);");
    EXPECT_EQ(SystemDB::getMaxSessionId(), 10u);
    Plant("DELETE FROM session_table WHERE id = 10;");
    EXPECT_EQ(SystemDB::getMaxSessionId(), 4u);

    PERM_MODE mode = PERM_EXEC_BIT;
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(3, mode), 0);
    EXPECT_EQ(mode, PERM_DOMAIN);
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(4, mode), 0);
    EXPECT_EQ(mode, PERM_ALL);
}

class SyncFolderConflictTest : public SystemDBSessionsTest {
  protected:
    // Plants one session and asks about one candidate folder.
    bool Conflict(const std::string& stored, int attribute, const std::string& candidate,
                  std::list<uint64_t> filter = {}) {
        Plant("DELETE FROM session_table;");
        std::string sql = "INSERT INTO session_table (id, attribute, sync_folder) VALUES (1, " +
                          std::to_string(attribute) + ", '";
        for (char ch : stored) sql += (ch == '\'') ? std::string("''") : std::string(1, ch);
        Plant(sql + "');");
        bool is_conflict = preset_;
        EXPECT_EQ(SystemDB::isSyncFolderConflict(ustring(candidate.c_str()), is_conflict, filter),
                  0);
        return is_conflict;
    }
    bool preset_ = false;  // what is_conflict holds before the call
};

TEST_F(SyncFolderConflictTest, NestingEqualityAndComponentBoundaries) {
    struct Case {
        const char* stored;
        int attribute;
        const char* candidate;
        bool conflict;
    } cases[] = {
        {"/data/a/", SA_ENABLE, "/data/a", true},      // equal
        {"/data/a/", SA_ENABLE, "/data", true},        // the session lies inside
        {"/data/a/", SA_ENABLE, "/data/a/b/c", true},  // the candidate lies inside
        {"/data/ab/", SA_ENABLE, "/data/a", false},    // not a component boundary
        {"/data/a/", SA_ENABLE, "/data/ab", false},
        {"/DATA/A/", SA_ENABLE, "/data/a", true},         // ASCII case ignored
        {"/data/a/", 31 & ~SA_ENABLE, "/data/a", false},  // disabled
        {"/data/o'neil/", SA_ENABLE | SA_USED, "/data/o'neil", true},
        {"/data/o'neil/", SA_ENABLE, "/data/o'neill", false},
        // "%" and "_" in either folder match only themselves.
        {"/data/a_b/", SA_ENABLE, "/data/axb", false},
        {"/data/a_b/", SA_ENABLE, "/data/a_b", true},
        {"/data/a_b/", SA_ENABLE, "/DATA/A_B/sub", true},
        {"/data/axb/", SA_ENABLE, "/data/a_b", false},
        {"/data/100%/", SA_ENABLE, "/data/100x", false},
        {"/data/100%/", SA_ENABLE, "/data/100%", true},
        {"/data/abc/", SA_ENABLE, "/data/a%", false},
        {"/data/%/", SA_ENABLE, "/data/x/y", false},
        {"/data/x/y/", SA_ENABLE, "/data/%", false},
        // So does the escape character itself.
        {"/data/a\\b/", SA_ENABLE, "/data/a\\b", true},
        {"/data/a\\b/", SA_ENABLE, "/data/ab", false},
        {"/data/a\\%/", SA_ENABLE, "/data/a\\x", false},
        {"/data/ab/", SA_ENABLE, "/data/a\\b", false},
    };
    for (const Case& c : cases) {
        for (bool preset : {false, true}) {
            preset_ = preset;
            EXPECT_EQ(Conflict(c.stored, c.attribute, c.candidate), c.conflict)
                << c.stored << " vs " << c.candidate;
        }
    }
}

TEST_F(SyncFolderConflictTest, FilterListExcludesSessions) {
    EXPECT_TRUE(Conflict("/data/a/", SA_ENABLE, "/data/a", {2, 3}));
    EXPECT_FALSE(Conflict("/data/a/", SA_ENABLE, "/data/a", {1}));
    EXPECT_FALSE(Conflict("/data/a/", SA_ENABLE, "/data/a", {5, 1, 7}));
}

// A row that fails while being stepped (abs() overflowing on row 2 at step
// time): each read stops there with the step entry; a list keeps the rows
// read before it, a lookup leaves its outputs as they were.
TEST_F(SystemDBSessionsTest, StepFailuresKeepWhatWasReadSoFar) {
    Plant(
        "DROP TABLE session_table;"
        "CREATE TABLE raw (id INTEGER, conn_id INTEGER, share_name TEXT COLLATE NOCASE, "
        "attribute INTEGER, ctime INTEGER, view_id INTEGER, status INTEGER, error INTEGER, "
        "share_version INTEGER, sync_folder TEXT, perm_mode INTEGER);"
        "INSERT INTO raw VALUES (1, 1, 'a', 4, 0, 1, 0, 0, 0, '/a/', 0),"
        "(2, 1, 'b', 4, 0, 2, 0, 0, 0, '/b/', 0), (3, 1, 'c', 4, 0, 3, 0, 0, 0, '/c/', 0);"
        "CREATE VIEW session_table AS SELECT CASE WHEN id = 2 THEN abs(id - 9223372036854775807 "
        "- 3) ELSE id END AS id, conn_id, share_name, attribute, ctime, view_id, status, error, "
        "share_version, CASE WHEN id = 2 THEN abs(id - 9223372036854775807 - 3) ELSE sync_folder "
        "END AS sync_folder, perm_mode FROM raw;");
    testutil::StderrCapture err;
    std::list<SessionInfo> enabled, by_conn;
    EXPECT_EQ(SystemDB::getEnabledSession(enabled), -1);
    EXPECT_EQ(SystemDB::getSessionListByConnectionID(by_conn, 1), -1);
    EXPECT_EQ(SystemDB::getMaxSessionId(), 0u);
    bool conflict = true;
    EXPECT_EQ(SystemDB::isSyncFolderConflict(ustring("/b"), conflict, {1}), -1);
    EXPECT_TRUE(conflict);
    ustring share("keep"), folder("keep");
    EXPECT_EQ(SystemDB::getFolderInfoByRowID(2, share, folder), -1);
    std::string out = err.Stop();

    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled.front().sync_folder, ustring("/a"));
    ASSERT_EQ(by_conn.size(), 1u);
    EXPECT_EQ(by_conn.front().session_id, 1u);
    std::string step = Line(R"(\[ERROR\] system-db\(\d+\): sqlite3_step: \[1\] integer overflow)");
    EXPECT_TRUE(Matches(out, step + step + step + step + step)) << out;
}

TEST_F(SystemDBSessionsTest, ClosedStoreFailsEveryQueryWithoutTouchingOutputs) {
    SystemDB::destroy();
    testutil::StderrCapture err;
    std::list<SessionInfo> list(2);
    EXPECT_EQ(SystemDB::getSessionListByConnectionID(list, 1), -1);
    EXPECT_TRUE(list.empty());
    list.resize(1);
    EXPECT_EQ(SystemDB::getValidSessionListByConnectionID(list, 1), -1);
    EXPECT_TRUE(list.empty());
    SessionInfo s = Sentinel();
    EXPECT_EQ(SystemDB::getSessionInfoBySessionID(1, s), -1);
    EXPECT_EQ(SystemDB::getSessionInfoByLocalFolder(ustring("/a"), s), -1);
    EXPECT_EQ(s, Sentinel());
    ustring a("a"), b("b");
    EXPECT_EQ(SystemDB::getSyncFolder(ustring("x"), a), -1);
    EXPECT_EQ(SystemDB::getFolderInfoByRowID(1, a, b), -1);
    EXPECT_EQ(a, ustring("a"));
    EXPECT_EQ(b, ustring("b"));
    int w = 1, x = 2, y = 3, z = 4;
    EXPECT_EQ(SystemDB::getSessionStatusAndErr(1, w, x, y, z), -1);
    PERM_MODE mode = PERM_DOMAIN;
    EXPECT_EQ(SystemDB::getPermSyncModeBySession(1, mode), -1);
    EXPECT_EQ(mode, PERM_DOMAIN);
    bool conflict = true;
    EXPECT_EQ(SystemDB::isSyncFolderConflict(ustring("/a"), conflict, {}), -1);
    EXPECT_TRUE(conflict);
    std::string out = err.Stop();

    const char* ops[] = {"getSessionListByConnectionID",
                         "getValidSessionListByConnectionID",
                         "getSessionInfoBySessionID",
                         "getSessionInfoByLocalFolder",
                         "getSyncFolder",
                         "getFolderInfoByRowID",
                         "getSessionStatusAndErr",
                         "getPermSyncModeBySession",
                         "isSyncFolderConflict"};
    std::string expected;
    for (const char* op : ops)
        expected += Line(R"(\[ERROR\] system-db\(\d+\): )" + std::string(op) +
                         R"(: sqlite3_prepare_v2: system database is not open \(21\))");
    EXPECT_TRUE(Matches(out, expected)) << out;
}

}  // namespace
