// Session queries and updates, against rows planted and read back.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <list>
#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using dbtest::Str;

// Every column of session_table but ctime, in its order of creation.
const char* const kCols =
    "id, conn_id, share_name, attribute, view_id, status, error, share_version, sync_folder, "
    "perm_mode";

class SessionsTest : public SystemDBFixture {
  protected:
    std::string Table() { return Dump(std::string("SELECT ") + kCols + " FROM session_table"); }
    void Insert(const std::string& values, const std::string& cols = kCols) {
        Plant("INSERT INTO session_table (" + cols + ") VALUES " + values + ";");
    }
};

// Records below are written {id, share, attribute, view, enabled, version, folder, conn, perm}.

// `base` with rows replaced by those of `changed` with their id; "1|": gone.
std::string Apply(const std::string& base, const std::string& changed) {
    std::string out;
    for (std::string row : dbtest::Cells(base, '\n')) {
        const std::string id = row.substr(0, row.find('|') + 1);
        for (const std::string& c : dbtest::Cells(changed, '\n')) row = c.rfind(id, 0) ? row : c;
        if (!id.empty() && row != id) out += row + "\n";
    }
    return out;
}

// A record no reader produces, to see what a lookup leaves alone.
const SessionInfo kSentinel{999, "sentinel", 77, 88, 5, 99, "/sentinel", 66, PERM_DOMAIN};

// Whole-row readers strip every trailing "/" and "\", per-connection lists and
// folder lookups exactly one byte; NULL reads as empty.
TEST_F(SessionsTest, ReadersDecodeEveryColumnAndTheirFolderRule) {
    Plant("INSERT INTO connection_table (id, status, error) VALUES (5, 3, -4);");
    Insert(
        "(1, 5, 'photos', 5, 10, 2, -3, 3, '/data/photos/', 0), (2, 5, 'root', 4, 11, 0, 0, 0, "
        "'/', 1), (3, 5, 'x', 4, 12, 0, 0, 0, '/data/x//', 2), (4, 5, 'y', 0, 13, 0, 0, 0, "
        "'/data/y\\', 2), (5, 6, 'empty', 4, 14, 0, 0, 0, '', 2), (6, 5, NULL, NULL, NULL, NULL, "
        "NULL, NULL, NULL, NULL), (7, 5, 'mixed', 4, 15, 0, 0, 0, '/data/z/\\/', 2), (8, 7, "
        "'donn\xc3\xa9s', 31, 9007199254740993, 0, 0, 1, '/donn\xc3\xa9s/', 1)");
    std::list<SessionInfo> l(1);
    ASSERT_EQ(SystemDB::getEnabledSession(l), 0);
    EXPECT_EQ(Str(l),
              "1|5|photos|5|10|3|/data/photos|0|0\n2|5|root|4|11|0||1|0\n3|5|x|4|12|0|/data/x|2|0\n"
              "5|6|empty|4|14|0||2|0\n7|5|mixed|4|15|0|/data/z|2|0\n"
              "8|7|donn\xc3\xa9s|31|9007199254740993|1|/donn\xc3\xa9s|1|0\n");
    ASSERT_EQ(SystemDB::getSessionListByConnectionID(l, 5), 0);
    EXPECT_EQ(
        Str(l),
        "1|5|photos|5|10|3|/data/photos|0|0\n2|5|root|4|11|0||1|0\n3|5|x|4|12|0|/data/x/|2|0\n"
        "4|5|y|0|13|0|/data/y|2|0\n6|5||0|0|0||0|0\n7|5|mixed|4|15|0|/data/z/\\|2|0\n");

    SessionInfo session = kSentinel;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(6, session), 0);
    EXPECT_EQ(Str(session), "6|5||0|0|0||0|5\n");  // `enabled` is no column
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder("/data/x/", session), 0);
    EXPECT_EQ(Str(session), "3|5|x|4|12|0|/data/x|2|5\n");
    session = kSentinel;  // no such row, or no such folder: untouched
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(9, session), 0);
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder("/data/Photos", session), 0);
    EXPECT_EQ(session, kSentinel);

    ustring share("keep"), folder("keep");
    for (uint64_t id : {6, 9}) ASSERT_EQ(SystemDB::getFolderInfoByRowID(id, share, folder), 0);
    EXPECT_EQ(share + "|" + folder, ustring("keep|keep"));
    ASSERT_EQ(SystemDB::getFolderInfoByRowID(3, share, folder), 0);
    EXPECT_EQ(share + "|" + folder, ustring("x|/data/x/"));
    ASSERT_EQ(SystemDB::getSyncFolder("PHOTOS", folder), 0);  // ASCII case ignored
    EXPECT_EQ(folder, ustring("/data/photos"));

    int status = 0, error = 0, connection_status = 0, connection_error = 0;
    ASSERT_EQ(
        SystemDB::getSessionStatusAndErr(1, status, error, connection_status, connection_error), 0);
    EXPECT_EQ(dbtest::Nums(status, error, connection_status, connection_error), "2 -3 3 -4 ");
    EXPECT_EQ(SystemDB::getMaxSessionId(), 8u);
    PERM_MODE given = PERM_EXEC_BIT, null = PERM_EXEC_BIT;
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(8, given), 0);
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(6, null), 0);
    EXPECT_EQ(dbtest::Nums(given, null), dbtest::Nums(PERM_DOMAIN, PERM_ALL));

    // Not found: -1, outputs untouched (a missing connection row: DEBUG only).
    Log log;
    folder = "keep";
    EXPECT_EQ(SystemDB::getSyncFolder("DONN\xc3\x89S", folder), -1);  // only ASCII folds
    EXPECT_EQ(
        SystemDB::getSessionStatusAndErr(8, status, error, connection_status, connection_error),
        -1);
    EXPECT_EQ(SystemDB::getPermSyncModeBySession(42, null), -1);
    EXPECT_EQ(dbtest::Nums(status, error, connection_status, connection_error, null) +
                  folder.c_str_utf8(),
              "2 -3 3 -4 0 keep");
    EXPECT_EQ(log.Text(),
              "[ERROR] system-db(N): cannnot get home share sync folder QQ"
              "[ERROR] system-db(N): cannnot get perm mode for session 42\n");
}

TEST_F(SessionsTest, ValidSessionsAreAllButTheDeletedOnesNeitherEnabledNorUsed) {
    Insert("(1, 7, 8), (2, 7, 10), (3, 7, 12), (4, 7, 0), (5, 8, 0), (6, 7, 29)",
           "id, conn_id, attribute");
    std::list<SessionInfo> l;
    ASSERT_EQ(SystemDB::getValidSessionListByConnectionID(l, 7), 0);
    EXPECT_EQ(Str(l), "2|7||10|0|0||0|0\n3|7||12|0|0||0|0\n4|7||0|0|0||0|0\n6|7||29|0|0||0|0\n");
}

// Whole components, ASCII case ignored, "%", "_" and "\\" only themselves.
TEST_F(SessionsTest, FolderConflictsCompareWholeComponentsAndLiteralWildcards) {
    // Rows: stored folder|attribute|candidate|conflict.
    for (const char* row :
         {"/data/a/|4|/data/a|1", "/data/a/|4|/data|1", "/data/a/|4|/data/a/b/c|1",
          "/data/ab/|4|/data/a|0", "/DATA/A/|4|/data/a|1", "/data/a/|27|/data/a|0",
          "/data/o''neil/|4|/data/o'neil|1", "/data/a_b/|4|/data/axb|0", "/data/axb/|4|/data/a_b|0",
          "/data/100%/|4|/data/100%|1", "/data/abc/|4|/data/a%|0", "/data/%/|4|/data/x/y|0",
          "/data/x/y/|4|/data/%|0", "/data/a\\b/|4|/data/a\\b|1", "/data/a\\%/|4|/data/a\\x|0",
          "/data/a\\xyz/|4|/data/a\\%|0", "/data/ab/|4|/data/a\\b|0"}) {
        const auto cells = dbtest::Cells(row);
        const std::string &stored = cells[0], &attribute = cells[1], &candidate = cells[2];
        Plant("DELETE FROM session_table");
        Insert("(1, " + attribute + ", '" + stored + "')", "id, attribute, sync_folder");
        for (bool conflict : {false, true}) {  // whatever it held before
            EXPECT_EQ(SystemDB::isSyncFolderConflict(candidate.c_str(), conflict, {}), 0);
            EXPECT_EQ(conflict, cells[3] == "1") << row;
        }
    }
    // The last row stays: the filter names the sessions left out.
    for (auto [filter, expected] :
         {std::pair<std::list<uint64_t>, bool>{{2, 3}, true}, {{1}, false}, {{5, 1, 7}, false}}) {
        bool conflict = !expected;
        EXPECT_EQ(SystemDB::isSyncFolderConflict("/data/ab", conflict, filter), 0);
        EXPECT_EQ(conflict, expected) << filter.size();
    }
}

TEST_F(SessionsTest, AddInsertsAFreshRowEachTime) {
    SessionInfo bobs{777, "bob's",    SA_ENABLE | SA_IS_HOME, 12, 0, 3, "/data/o'neil",
                     5,   PERM_DOMAIN};
    time_t before = time(nullptr);
    ASSERT_EQ(SystemDB::addNewSessionInfo(bobs), 0);
    const uint64_t first = bobs.session_id;
    ASSERT_EQ(SystemDB::addNewSessionInfo(bobs), 0);
    SessionInfo blank;
    ASSERT_EQ(SystemDB::addNewSessionInfo(blank), 0);  // the record's defaults, not the column's
    EXPECT_EQ(dbtest::Nums(first, bobs.session_id, blank.session_id), "1 2 3 ");
    EXPECT_EQ(Table(),
              "1|5|bob's|5|12|0|0|3|/data/o'neil/|1\n2|5|bob's|5|12|0|0|3|/data/o'neil/|1\n"
              "3|0||0|0|0|0|0|/|2\n");
    EXPECT_EQ(Dump("SELECT count(*) FROM session_table WHERE typeof(ctime) = 'integer' AND ctime "
                   "BETWEEN " +
                   std::to_string(before) + " AND " + std::to_string(time(nullptr))),
              "3\n");
}

TEST_F(SessionsTest, UpdateRewritesTheRowsOfShareViewAndConnection) {
    Insert(
        "(1, 5, 'Photos', 4, 12, 2, -3, 1, '/old/', 0), (2, 5, 'photos', 4, 13, 1, 0, 1, '/b/', "
        "0), (3, 6, 'photos', 4, 12, 1, 0, 1, '/c/', 0), (4, 5, 'bob''s', 0, 1, 0, 0, 0, '/d/', "
        "0), (5, 5, 'PHOTOS', 0, 12, 0, 0, 0, '', 1)");
    const std::string ctimes = Dump("SELECT ctime FROM session_table");
    SessionInfo photos{0, "photoS", SA_ENABLE | SA_USED, 12, 0, 9, "/new", 5, PERM_EXEC_BIT};
    ASSERT_EQ(SystemDB::updateSessionInfo(photos), 0);
    SessionInfo bobs{0, "Bob's", 1, 1, 0, 2, "/o'neil", 5, PERM_DOMAIN};
    ASSERT_EQ(SystemDB::updateSessionInfo(bobs), 0);
    EXPECT_EQ(dbtest::Nums(photos.session_id, bobs.session_id), "1 4 ");
    EXPECT_EQ(Table(),
              "1|5|Photos|6|12|2|-3|9|/new/|2\n2|5|photos|4|13|1|0|1|/b/|0\n"
              "3|6|photos|4|12|1|0|1|/c/|0\n4|5|bob's|1|1|0|0|2|/o'neil/|1\n"
              "5|5|PHOTOS|6|12|0|0|9|/new/|2\n");
    EXPECT_EQ(Dump("SELECT ctime FROM session_table"), ctimes);

    const std::string before = Table();
    for (SessionInfo miss : {SessionInfo{55, "photos", 4, 14, 0, 0, "/x", 5, PERM_ALL},
                             SessionInfo{55, "photos", 4, 13, 0, 0, "/x", 7, PERM_ALL},
                             SessionInfo{55, "photo", 4, 12, 0, 0, "/x", 5, PERM_ALL}}) {
        Log log;
        EXPECT_EQ(SystemDB::updateSessionInfo(miss), -1);
        EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get id for last update session\n");
        EXPECT_EQ(miss.session_id, 55u);
    }
    EXPECT_EQ(Table(), before);
}

// Each write on four rows, then on an id of no row: 0, nothing changed.
TEST_F(SessionsTest, SingleStatementWritesChangeExactlyTheirColumns) {
    auto plant = [this] {
        Plant("DELETE FROM session_table");
        Insert(
            "(1, 5, 'home', 31, 0, 2, -3, 4, '/h/', 0), (2, 5, 'HOME', 4, 7, 1, -1, 1, '/H/', 1),"
            "(3, 5, 'docs', 20, 8, 3, -6, 2, '/d/', 2), (4, 6, 'Home', 5, 0, 0, 0, 3, '/x/', 1)");
    };
    plant();
    const std::string base = Table();
    // The write, the id it is given, and the rows it changes as they then read ("1|": gone).
    struct Case {
        std::function<int(uint64_t)> write;
        uint64_t id;
        const char* changed_rows;
    };
    const Case cases[] = {
        {[](uint64_t id) { return SystemDB::setSessionStatus(id, 4); }, 1,
         "1|5|home|31|0|4|-3|4|/h/|0\n"},
        {[](uint64_t id) { return SystemDB::setSessionErr(id, -8); }, 3,
         "3|5|docs|20|8|3|-8|2|/d/|2\n"},
        {[](uint64_t id) { return SystemDB::setSessionAsUsed(id); }, 2,
         "2|5|HOME|6|7|1|-1|1|/H/|1\n"},
        {[](uint64_t id) { return SystemDB::resetSession(id); }, 1, "1|5|home|17|0|0|0|4|/|2\n"},
        {[](uint64_t id) { return SystemDB::deleteSession(id); }, 1, "1|"},
        {[](uint64_t id) { return SystemDB::updateHomeViewID(99, id + 4); }, 1,
         "1|5|home|31|99|2|-3|4|/h/|0\n2|5|HOME|4|99|1|-1|1|/H/|1\n"},
        {[](uint64_t id) { return SystemDB::setReadOnlyBySession(id); }, 2,
         "2|5|HOME|20|7|1|-1|1|/H/|1\n"},
        {[](uint64_t id) { return SystemDB::setReadWriteBySession(id); }, 3,
         "3|5|docs|4|8|3|-6|2|/d/|2\n"},
        {[](uint64_t id) { return SystemDB::setDisableBySession(id); }, 1,
         "1|5|home|27|0|0|0|4|/h/|0\n"},
        {[](uint64_t id) { return SystemDB::setPermSyncModeBySession(id, PERM_EXEC_BIT); }, 4,
         "4|6|Home|5|0|0|0|3|/x/|2\n"},
        // Writes of every row; id 0 stands for none.
        {[](uint64_t) { return SystemDB::disableAllSession(); }, 0,
         "1|5|home|27|0|0|0|4|/h/|0\n2|5|HOME|0|7|0|0|1|/H/|1\n3|5|docs|16|8|0|0|2|/d/|2\n"
         "4|6|Home|1|0|0|0|3|/x/|1\n"},
        {[](uint64_t) {
             SystemDB::resetSessionPermission();
             return 0;  // it returns nothing
         },
         0, "1|5|home|15|0|2|-3|4|/h/|0\n3|5|docs|4|8|3|-6|2|/d/|2\n"}};
    for (const Case& write : cases) {
        plant();
        Log log;
        EXPECT_EQ(write.write(write.id), 0) << write.changed_rows;
        EXPECT_EQ(Table(), Apply(base, write.changed_rows));
        if (write.id != 0) {
            plant();
            EXPECT_EQ(write.write(9), 0) << write.changed_rows << " (no row 9)";
            EXPECT_EQ(Table(), base) << write.changed_rows << " (no row 9)";
        }
        EXPECT_EQ(log.Text(), "") << write.changed_rows;
    }
}

TEST_F(SessionsTest, RemovedViewsAndTheHomeSession) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id) VALUES "
        "(1, 5, 'docs', 4, 10), (2, 5, 'DOCS', 4, 11), (3, 5, 'docs', 4, 12), (4, 6, 'docs', 4, "
        "13), (5, 5, 'o''k', 4, 1), (6, 5, 'O''K', 4, 2), (7, 1, 'HOME', 4, 0), (8, 2, 'home', "
        "4, 8), (9, 3, 'home', 27, 0), (10, 4, 'homes', 4, 0);");
    std::list<uint64_t> removed = {100, 1};
    ASSERT_EQ(
        SystemDB::checkRemovedView(SessionInfo{0, "Docs", 0, 10, 0, 0, "", 5, PERM_ALL}, removed),
        0);
    ASSERT_EQ(
        SystemDB::checkRemovedView(SessionInfo{0, "o'k", 0, 1, 0, 0, "", 5, PERM_ALL}, removed), 0);
    ASSERT_EQ(
        SystemDB::checkRemovedView(SessionInfo{0, "docs", 0, 13, 0, 0, "", 6, PERM_ALL}, removed),
        0);
    EXPECT_EQ(removed, (std::list<uint64_t>{100, 1, 2, 3, 6}));

    Verbose();
    Log log;
    std::string found;
    for (uint64_t conn : {1, 2, 3, 4, 5})
        found += std::to_string(SystemDB::checkHomeSessionFor2197(conn));
    ASSERT_EQ(SystemDB::updateHomeViewID(21, 1), 0);  // after which the home row no longer counts
    found += std::to_string(SystemDB::checkHomeSessionFor2197(1));
    EXPECT_EQ(found, "100000");
    const std::string home = "[DEBUG] system-db(N): checkHomeSessionExist: There is a home session";
    const std::string none =
        "[DEBUG] system-db(N): checkHomeSessionExist: There is no home session";
    EXPECT_EQ(log.Text(), home + none + none + none + none + none);
}

}  // namespace
