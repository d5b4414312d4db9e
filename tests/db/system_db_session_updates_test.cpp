// Session updates, checked against what the database file holds afterwards.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <time.h>

#include <functional>
#include <list>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db_fixture.h"
#include "logger.h"
#include "system-db.h"
#include "test_support.h"

using testutil::QueryRows;
using testutil::QueryValue;
using testutil::Rows;

namespace {

const ustring kComp("system_db_debug");

class SessionUpdatesTest : public SystemDBFixture {
  protected:
    // Every column but ctime, ordered by id.
    Rows Table() {
        return QueryRows(db_,
                         "SELECT id, conn_id, share_name, attribute, view_id, status, error, "
                         "share_version, sync_folder, perm_mode FROM session_table ORDER BY id");
    }
    std::vector<std::string> Row(uint64_t id) {
        Rows rows =
            QueryRows(db_,
                      "SELECT id, conn_id, share_name, attribute, view_id, status, error, "
                      "share_version, sync_folder, perm_mode FROM session_table WHERE id = " +
                          std::to_string(id));
        return rows.empty() ? std::vector<std::string>{} : rows[0];
    }
};

// A record to write: its id is not stored, so it is left 0.
SessionInfo Record(const char* share, int attr, uint64_t view, int version, const char* folder,
                   uint64_t conn, PERM_MODE perm) {
    return MakeSession(0, share, attr, view, version, folder, conn, perm);
}

std::string Line(const std::string& entry_re, bool newline = true) {
    return std::string(testutil::kTimestampRe) + entry_re + (newline ? "\n" : "");
}

bool Matches(const std::string& text, const std::string& re) {
    return std::regex_match(text, std::regex(re));
}

TEST_F(SessionUpdatesTest, AddNewSessionInfoInsertsAFreshRowEachTime) {
    SessionInfo s =
        Record("bob's share", SA_ENABLE | SA_IS_HOME, 12, 3, "/data/o'neil", 5, PERM_DOMAIN);
    s.enabled = 1;
    s.session_id = 777;
    time_t before = time(nullptr);
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    uint64_t first = s.session_id;
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    time_t after = time(nullptr);
    uint64_t second = s.session_id;

    EXPECT_NE(first, 777u);
    EXPECT_NE(first, second);
    EXPECT_EQ(Table(), (Rows{{std::to_string(first), "5", "bob's share", "5", "12", "0", "0", "3",
                              "/data/o'neil/", "1"},
                             {std::to_string(second), "5", "bob's share", "5", "12", "0", "0", "3",
                              "/data/o'neil/", "1"}}));
    Rows ctime = QueryRows(db_, "SELECT typeof(ctime), ctime FROM session_table");
    for (const auto& row : ctime) {
        EXPECT_EQ(row[0], "integer");
        EXPECT_GE(std::stol(row[1]), static_cast<long>(before));
        EXPECT_LE(std::stol(row[1]), static_cast<long>(after));
    }

    // Read back through the full-row decoder: the added "/" is gone again.
    SessionInfo back;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(first, back), 0);
    s.session_id = first;
    s.enabled = 0;
    EXPECT_TRUE(back == s);

    // A default record stores the record's defaults, not the column's.
    SessionInfo blank;
    ASSERT_EQ(SystemDB::addNewSessionInfo(blank), 0);
    EXPECT_EQ(Row(blank.session_id),
              (std::vector<std::string>{std::to_string(blank.session_id), "0", "", "0", "0", "0",
                                        "0", "0", "/", "2"}));
}

TEST_F(SessionUpdatesTest, UpdateSessionInfoMatchesShareViewAndConnection) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, status, error, "
        "share_version, sync_folder, perm_mode) VALUES "
        "(1, 5, 'Photos', 4, 12, 2, -3, 1, '/old/', 0),"
        "(2, 5, 'photos', 4, 13, 1, 0, 1, '/other/', 0),"
        "(3, 6, 'photos', 4, 12, 1, 0, 1, '/third/', 0),"
        "(4, 5, 'bob''s', 0, 1, 0, 0, 0, '/b/', 0);");
    Rows ctime_before = QueryRows(db_, "SELECT id, ctime FROM session_table ORDER BY id");

    SessionInfo s = Record("PHOTOS", SA_ENABLE | SA_USED, 12, 9, "/new/dir", 5, PERM_EXEC_BIT);
    ASSERT_EQ(SystemDB::updateSessionInfo(s), 0);
    EXPECT_EQ(s.session_id, 1u);
    EXPECT_EQ(Table(), (Rows{{"1", "5", "Photos", "6", "12", "2", "-3", "9", "/new/dir/", "2"},
                             {"2", "5", "photos", "4", "13", "1", "0", "1", "/other/", "0"},
                             {"3", "6", "photos", "4", "12", "1", "0", "1", "/third/", "0"},
                             {"4", "5", "bob's", "0", "1", "0", "0", "0", "/b/", "0"}}));
    EXPECT_EQ(QueryRows(db_, "SELECT id, ctime FROM session_table ORDER BY id"), ctime_before);

    SessionInfo quoted = Record("Bob's", 1, 1, 2, "/o'neil", 5, PERM_DOMAIN);
    ASSERT_EQ(SystemDB::updateSessionInfo(quoted), 0);
    EXPECT_EQ(quoted.session_id, 4u);
    EXPECT_EQ(Row(4), (std::vector<std::string>{"4", "5", "bob's", "1", "1", "0", "0", "2",
                                                "/o'neil/", "1"}));
}

TEST_F(SessionUpdatesTest, UpdateSessionInfoWithoutAMatchChangesNothing) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, view_id, sync_folder) VALUES "
        "(1, 5, 'photos', 12, '/p/');");
    Rows before = Table();
    for (SessionInfo s : {Record("photos", 4, 13, 0, "/x", 5, PERM_ALL),
                          Record("photos", 4, 12, 0, "/x", 6, PERM_ALL),
                          Record("photo", 4, 12, 0, "/x", 5, PERM_ALL)}) {
        s.session_id = 55;
        testutil::StderrCapture err;
        EXPECT_EQ(SystemDB::updateSessionInfo(s), -1);
        std::string out = err.Stop();
        EXPECT_TRUE(Matches(
            out, Line(R"(\[ERROR\] system-db\(\d+\): cannnot get id for last update session)")))
            << out;
        EXPECT_EQ(s.session_id, 55u);
        EXPECT_EQ(Table(), before);
    }
}

TEST_F(SessionUpdatesTest, SeveralMatchingRowsAreAllUpdated) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, view_id) VALUES "
        "(1, 5, 'dup', 12), (2, 5, 'DUP', 12);");
    SessionInfo s = Record("Dup", 4, 12, 1, "/d", 5, PERM_ALL);
    ASSERT_EQ(SystemDB::updateSessionInfo(s), 0);
    EXPECT_TRUE(s.session_id == 1u || s.session_id == 2u);
    EXPECT_EQ(QueryValue(db_, "SELECT count(*) FROM session_table WHERE sync_folder = '/d/'"), "2");
}

// The single-statement writes, each on a table holding the same rows.
TEST_F(SessionUpdatesTest, SingleStatementWritesChangeExactlyTheirColumns) {
    const char* rows =
        "DELETE FROM session_table;"
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, status, error, "
        "share_version, sync_folder, perm_mode) VALUES "
        "(1, 5, 'home', 31, 0, 2, -3, 4, '/h/', 0),"
        "(2, 5, 'HOME', 4, 7, 1, -1, 1, '/H/', 1),"
        "(3, 5, 'docs', 20, 8, 3, -6, 2, '/d/', 2),"
        "(4, 6, 'Home', 5, 0, 0, 0, 3, '/x/', 1);";
    // What each row holds before any write.
    const std::vector<std::vector<std::string>> base = {
        {"1", "5", "home", "31", "0", "2", "-3", "4", "/h/", "0"},
        {"2", "5", "HOME", "4", "7", "1", "-1", "1", "/H/", "1"},
        {"3", "5", "docs", "20", "8", "3", "-6", "2", "/d/", "2"},
        {"4", "6", "Home", "5", "0", "0", "0", "3", "/x/", "1"},
    };
    enum Col { ID, CONN, SHARE, ATTR, VIEW, STATUS, ERR, VERSION, FOLDER, PERM };
    struct Change {
        size_t row;
        Col col;
        const char* value;
    };
    struct Case {
        const char* name;
        std::function<int()> op;
        std::vector<Change> changes;
        bool deleted_row1 = false;
    } cases[] = {
        {"setSessionStatus", [] { return SystemDB::setSessionStatus(1, 4); }, {{0, STATUS, "4"}}},
        {"setSessionErr", [] { return SystemDB::setSessionErr(3, -8); }, {{2, ERR, "-8"}}},
        {"setSessionAsUsed", [] { return SystemDB::setSessionAsUsed(2); }, {{1, ATTR, "6"}}},
        {"resetSession",
         [] { return SystemDB::resetSession(1); },
         {{0, ATTR, "17"}, {0, STATUS, "0"}, {0, ERR, "0"}, {0, FOLDER, "/"}, {0, PERM, "2"}}},
        {"deleteSession", [] { return SystemDB::deleteSession(1); }, {}, true},
        {"disableAllSession",
         [] { return SystemDB::disableAllSession(); },
         {{0, ATTR, "27"},
          {0, STATUS, "0"},
          {0, ERR, "0"},
          {1, ATTR, "0"},
          {1, STATUS, "0"},
          {1, ERR, "0"},
          {2, ATTR, "16"},
          {2, STATUS, "0"},
          {2, ERR, "0"},
          {3, ATTR, "1"}}},
        {"updateHomeViewID",
         [] { return SystemDB::updateHomeViewID(99, 5); },
         {{0, VIEW, "99"}, {1, VIEW, "99"}}},
        {"resetSessionPermission",
         [] {
             SystemDB::resetSessionPermission();
             return 0;
         },
         {{0, ATTR, "15"}, {2, ATTR, "4"}}},
        {"setReadOnlyBySession",
         [] { return SystemDB::setReadOnlyBySession(2); },
         {{1, ATTR, "20"}}},
        {"setReadWriteBySession",
         [] { return SystemDB::setReadWriteBySession(3); },
         {{2, ATTR, "4"}}},
        {"setDisableBySession",
         [] { return SystemDB::setDisableBySession(1); },
         {{0, ATTR, "27"}, {0, STATUS, "0"}, {0, ERR, "0"}}},
        {"setPermSyncModeBySession",
         [] { return SystemDB::setPermSyncModeBySession(4, PERM_EXEC_BIT); },
         {{3, PERM, "2"}}},
    };
    for (const Case& c : cases) {
        Plant(rows);
        testutil::StderrCapture err;
        EXPECT_EQ(c.op(), 0) << c.name;
        EXPECT_EQ(err.Stop(), "") << c.name;
        Rows expected(base.begin(), base.end());
        for (const Change& ch : c.changes) expected[ch.row][ch.col] = ch.value;
        if (c.deleted_row1) expected.erase(expected.begin());
        EXPECT_EQ(Table(), expected) << c.name;
    }
}

TEST_F(SessionUpdatesTest, WritesToAMissingIdSucceedAndChangeNothing) {
    Plant(
        "INSERT INTO session_table (id, attribute, status, sync_folder) VALUES (1, 31, 2, '/a/');");
    Rows before = Table();
    std::function<int()> ops[] = {
        [] { return SystemDB::setSessionStatus(9, 1); },
        [] { return SystemDB::setSessionErr(9, -1); },
        [] { return SystemDB::setSessionAsUsed(9); },
        [] { return SystemDB::resetSession(9); },
        [] { return SystemDB::deleteSession(9); },
        [] { return SystemDB::updateHomeViewID(3, 9); },
        [] { return SystemDB::setReadOnlyBySession(9); },
        [] { return SystemDB::setReadWriteBySession(9); },
        [] { return SystemDB::setDisableBySession(9); },
        [] { return SystemDB::setPermSyncModeBySession(9, PERM_ALL); },
    };
    for (auto& op : ops) EXPECT_EQ(op(), 0);
    EXPECT_EQ(Table(), before);

    Plant("DELETE FROM session_table;");
    EXPECT_EQ(SystemDB::disableAllSession(), 0);
    SystemDB::resetSessionPermission();
    EXPECT_TRUE(Table().empty());
}

TEST_F(SessionUpdatesTest, ResetSessionReadsBackAsABlankDisabledSession) {
    SessionInfo s = Record("home", 31, 4, 2, "/data/a", 3, PERM_ALL);
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    ASSERT_EQ(SystemDB::resetSession(s.session_id), 0);
    SessionInfo back;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(s.session_id, back), 0);
    EXPECT_EQ(back.attribute, 17);
    EXPECT_EQ(back.sync_folder, ustring(""));
    EXPECT_EQ(back.perm_mode, PERM_EXEC_BIT);
    EXPECT_EQ(back.share_name, ustring("home"));
    EXPECT_EQ(back.view_id, 4u);
    EXPECT_EQ(back.conn_id, 3u);
    EXPECT_EQ(back.share_version, 2);
    std::list<SessionInfo> enabled;
    ASSERT_EQ(SystemDB::getEnabledSession(enabled), 0);
    EXPECT_TRUE(enabled.empty());
}

TEST_F(SessionUpdatesTest, TracesOfResetDeleteAndDisableAll) {
    Logger::log_level[kComp] = Logger::L_DEBUG;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::resetSession(18446744073709551615ull), 0);
    EXPECT_EQ(SystemDB::deleteSession(12), 0);
    EXPECT_EQ(SystemDB::disableAllSession(), 0);
    std::string out = err.Stop();
    EXPECT_TRUE(Matches(
        out, Line(R"(\[DEBUG\] system-db\(\d+\): resetSession\. id:\[18446744073709551615\])") +
                 Line(R"(\[DEBUG\] system-db\(\d+\): deleteSession\. id:\[12\])") +
                 Line(R"(\[DEBUG\] system-db\(\d+\): disableAllSession )")))
        << out;
}

TEST_F(SessionUpdatesTest, CheckRemovedViewAppendsOtherViewsOfTheShare) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, view_id) VALUES "
        "(1, 5, 'docs', 10), (2, 5, 'DOCS', 11), (3, 5, 'docs', 12), (4, 6, 'docs', 13),"
        "(5, 5, 'other', 14), (6, 5, 'o''k', 1), (7, 5, 'O''K', 2);");
    SessionInfo s = Record("Docs", 0, 10, 0, "", 5, PERM_ALL);
    std::list<uint64_t> removed = {100, 1};
    ASSERT_EQ(SystemDB::checkRemovedView(s, removed), 0);
    removed.sort();
    EXPECT_EQ(removed, (std::list<uint64_t>{1, 2, 3, 100}));
    EXPECT_EQ(Table().size(), 7u);

    std::list<uint64_t> quoted;
    ASSERT_EQ(SystemDB::checkRemovedView(Record("o'k", 0, 1, 0, "", 5, PERM_ALL), quoted), 0);
    EXPECT_EQ(quoted, (std::list<uint64_t>{7}));

    std::list<uint64_t> none = {3};
    ASSERT_EQ(SystemDB::checkRemovedView(Record("docs", 0, 13, 0, "", 6, PERM_ALL), none), 0);
    EXPECT_EQ(none, (std::list<uint64_t>{3}));
}

TEST_F(SessionUpdatesTest, CheckHomeSessionFor2197) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id) VALUES "
        "(1, 1, 'HOME', 4, 0),"     // enabled home, no view id yet
        "(2, 2, 'home', 4, 8),"     // already has its view id
        "(3, 3, 'home', 27, 0),"    // every bit but SA_ENABLE
        "(4, 4, 'homes', 4, 0);");  // another share
    Logger::log_level[kComp] = Logger::L_DEBUG;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(1), 1);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(2), 0);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(3), 0);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(4), 0);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(5), 0);
    std::string out = err.Stop();
    std::string a = Line(
        R"(\[DEBUG\] system-db\(\d+\): checkHomeSessionExist: There is a home session)", false);
    std::string no = Line(
        R"(\[DEBUG\] system-db\(\d+\): checkHomeSessionExist: There is no home session)", false);
    EXPECT_TRUE(Matches(out, a + no + no + no + no)) << out;

    // updateHomeViewID gives the home row its view id, after which it no
    // longer counts.
    Logger::log_level.erase(kComp);
    ASSERT_EQ(SystemDB::updateHomeViewID(21, 1), 0);
    EXPECT_EQ(QueryValue(db_, "SELECT view_id FROM session_table WHERE id = 1"), "21");
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(1), 0);
}

// A failing statement takes each operation's own error path, with SQLite's
// code and text; nothing is changed and outputs stay as they were.
TEST_F(SessionUpdatesTest, SqliteErrorsAreReportedWithTheOperationsTexts) {
    Plant("DROP TABLE session_table;");
    const std::string nt = "1 no such table: session_table";
    struct Case {
        std::function<int()> op;
        std::string line;
    } cases[] = {
        {[] { return SystemDB::setSessionStatus(1, 1); }, "setSessionStatus fail ret = " + nt},
        {[] { return SystemDB::setSessionErr(1, 1); }, "setSessionErr fail ret = " + nt},
        {[] { return SystemDB::setSessionAsUsed(1); },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] { return SystemDB::resetSession(1); }, "resetSession fail ret = " + nt},
        {[] { return SystemDB::deleteSession(1); }, "deleteSession fail ret = " + nt},
        {[] { return SystemDB::disableAllSession(); }, "disableAllSession fail ret = " + nt},
        {[] { return SystemDB::updateHomeViewID(1, 1); }, "updateHomeViewID fail ret = " + nt},
        {[] {
             SystemDB::resetSessionPermission();
             return -1;
         },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] { return SystemDB::setReadOnlyBySession(1); },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] { return SystemDB::setReadWriteBySession(1); },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] { return SystemDB::setDisableBySession(1); },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] { return SystemDB::setPermSyncModeBySession(1, PERM_ALL); },
         "sqlite3_exec failed: ret = 1 \\[no such table: session_table\\]"},
        {[] {
             SessionInfo s;
             s.session_id = 5;
             int rc = SystemDB::addNewSessionInfo(s);
             return s.session_id == 5 ? rc : 0;
         },
         "addNewSessionInfo fail ret = " + nt},
        {[] {
             SessionInfo s;
             s.session_id = 5;
             int rc = SystemDB::updateSessionInfo(s);
             return s.session_id == 5 ? rc : 0;
         },
         "updateSessionInfo fail ret = " + nt},
        {[] {
             std::list<uint64_t> ids = {4};
             int rc = SystemDB::checkRemovedView(SessionInfo(), ids);
             return ids == std::list<uint64_t>{4} ? rc : 0;
         },
         "checkRemovedView: sqlite3_prepare_v2: no such table: session_table \\(1\\)"},
        {[] { return SystemDB::checkHomeSessionFor2197(1); },
         "checkHomeSessionExist: \\[no such table: session_table\\]"},
    };
    for (const Case& c : cases) {
        testutil::StderrCapture err;
        EXPECT_EQ(c.op(), -1) << c.line;
        std::string out = err.Stop();
        EXPECT_TRUE(Matches(out, Line(R"(\[ERROR\] system-db\(\d+\): )" + c.line))) << out;
    }
}

// A row that fails while being stepped: the read stops there with its step
// entry and keeps what it had gathered.
TEST_F(SessionUpdatesTest, StepFailuresOfTheQueries) {
    Plant(
        "DROP TABLE session_table;"
        "CREATE TABLE raw (id INTEGER, conn_id INTEGER, share_name TEXT COLLATE NOCASE, "
        "attribute INTEGER, view_id INTEGER);"
        "INSERT INTO raw VALUES (1, 1, 'home', 4, 5), (2, 1, 'home', 4, 0), (3, 1, 'home', 4, 6);"
        // Row 2 overflows abs() when read: an error at step time, not at prepare.
        "CREATE VIEW session_table AS SELECT CASE WHEN id = 2 THEN abs(id - 9223372036854775807 - "
        "3) ELSE id END AS id, conn_id, share_name, CASE WHEN id = 2 THEN abs(id - "
        "9223372036854775807 - 3) ELSE attribute END AS attribute, view_id FROM raw;");
    std::list<uint64_t> ids = {9};
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::checkRemovedView(Record("home", 0, 7, 0, "", 1, PERM_ALL), ids), -1);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(1), -1);
    std::string out = err.Stop();
    EXPECT_EQ(ids, (std::list<uint64_t>{9, 1}));
    EXPECT_TRUE(Matches(
        out,
        Line(R"(\[ERROR\] system-db\(\d+\): sqlite3_step: \[1\] integer overflow)") +
            Line(
                R"(\[ERROR\] system-db\(\d+\): checkHomeSessionExists: sqlite3_step failed\[1\])")))
        << out;
}

TEST_F(SessionUpdatesTest, ClosedStoreRefusesWritesWithTheirEntries) {
    SystemDB::destroy();
    testutil::StderrCapture err;
    SessionInfo s;
    s.session_id = 3;
    EXPECT_EQ(SystemDB::addNewSessionInfo(s), -1);
    EXPECT_EQ(SystemDB::updateSessionInfo(s), -1);
    EXPECT_EQ(s.session_id, 3u);
    EXPECT_EQ(SystemDB::setReadOnlyBySession(1), -1);
    EXPECT_EQ(SystemDB::checkHomeSessionFor2197(1), -1);
    std::string out = err.Stop();
    const std::string closed = "system database is not open";
    EXPECT_TRUE(Matches(
        out,
        Line(R"(\[ERROR\] system-db\(\d+\): addNewSessionInfo fail ret = 21 )" + closed) +
            Line(R"(\[ERROR\] system-db\(\d+\): updateSessionInfo fail ret = 21 )" + closed) +
            Line(R"(\[ERROR\] system-db\(\d+\): sqlite3_exec failed: ret = 21 \[)" + closed +
                 R"(\])") +
            Line(R"(\[ERROR\] system-db\(\d+\): checkHomeSessionExist: \[)" + closed + R"(\])")))
        << out;
}

// Eight threads adding, updating and reading sessions on one store: every id
// handed back is distinct and names the row its caller wrote.
using SessionUpdatesThreads = SessionUpdatesTest;

TEST_F(SessionUpdatesThreads, ConcurrentWritersGetTheirOwnIds) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 12;  // every write is a synced commit
    std::vector<std::vector<uint64_t>> ids(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ids, &failures] {
            for (int r = 0; r < kRounds; ++r) {
                std::string name = "t" + std::to_string(t) + "r" + std::to_string(r);
                SessionInfo s =
                    Record(name.c_str(), SA_ENABLE, static_cast<uint64_t>(r), 0,
                           ("/data/" + name).c_str(), static_cast<uint64_t>(t), PERM_ALL);
                if (SystemDB::addNewSessionInfo(s) != 0) ++failures[t];
                uint64_t added = s.session_id;
                s.share_version = r + 1;
                s.session_id = 0;
                if (SystemDB::updateSessionInfo(s) != 0 || s.session_id != added) ++failures[t];
                SessionInfo back;
                if (SystemDB::getSessionInfoBySessionID(added, back) != 0 ||
                    back.share_name != s.share_name || back.share_version != r + 1)
                    ++failures[t];
                if (SystemDB::setSessionStatus(added, t) != 0) ++failures[t];
                ids[t].push_back(added);
            }
        });
    }
    for (auto& th : threads) th.join();

    std::set<uint64_t> distinct;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        for (uint64_t id : ids[t]) {
            distinct.insert(id);
            EXPECT_EQ(
                QueryValue(db_, "SELECT conn_id || ':' || status FROM session_table WHERE id = " +
                                    std::to_string(id)),
                std::to_string(t) + ":" + std::to_string(t));
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kRounds));
    EXPECT_EQ(QueryValue(db_, "SELECT count(*) FROM session_table"),
              std::to_string(kThreads * kRounds));
}

}  // namespace
