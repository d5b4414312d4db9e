// Session queries and updates, against rows planted and read back.
#include <gtest/gtest.h>
#include <time.h>

#include <functional>
#include <list>
#include <string>
#include <tuple>

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

// A record as {id, share, attribute, view, enabled, version, folder, conn, perm}.
using Rec = SessionInfo;

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
const Rec kSentinel{999, "sentinel", 77, 88, 5, 99, "/sentinel", 66, PERM_DOMAIN};

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

    SessionInfo s = kSentinel;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(6, s), 0);
    EXPECT_EQ(Str(s), "6|5||0|0|0||0|5\n");  // `enabled` is no column
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder("/data/x/", s), 0);
    EXPECT_EQ(Str(s), "3|5|x|4|12|0|/data/x|2|5\n");
    s = kSentinel;  // no such row, or no such folder: untouched
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(9, s), 0);
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder("/data/Photos", s), 0);
    EXPECT_EQ(s, kSentinel);

    ustring share("keep"), folder("keep");
    for (uint64_t id : {6, 9}) ASSERT_EQ(SystemDB::getFolderInfoByRowID(id, share, folder), 0);
    EXPECT_EQ(share + "|" + folder, ustring("keep|keep"));
    ASSERT_EQ(SystemDB::getFolderInfoByRowID(3, share, folder), 0);
    EXPECT_EQ(share + "|" + folder, ustring("x|/data/x/"));
    ASSERT_EQ(SystemDB::getSyncFolder("PHOTOS", folder), 0);  // ASCII case ignored
    EXPECT_EQ(folder, ustring("/data/photos"));

    int a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(SystemDB::getSessionStatusAndErr(1, a, b, c, d), 0);
    EXPECT_EQ(dbtest::Nums(a, b, c, d), "2 -3 3 -4 ");
    EXPECT_EQ(SystemDB::getMaxSessionId(), 8u);
    PERM_MODE given = PERM_EXEC_BIT, null = PERM_EXEC_BIT;
    ASSERT_EQ(
        SystemDB::getPermSyncModeBySession(8, given) + SystemDB::getPermSyncModeBySession(6, null),
        0);
    EXPECT_EQ(dbtest::Nums(given, null), dbtest::Nums(PERM_DOMAIN, PERM_ALL));

    // Not found: -1, outputs untouched (a missing connection row: DEBUG only).
    Log log;
    folder = "keep";
    EXPECT_EQ(SystemDB::getSyncFolder("DONN\xc3\x89S", folder), -1);  // only ASCII folds
    EXPECT_EQ(SystemDB::getSessionStatusAndErr(8, a, b, c, d), -1);
    EXPECT_EQ(SystemDB::getPermSyncModeBySession(42, null), -1);
    EXPECT_EQ(dbtest::Nums(a, b, c, d, null) + folder.c_str_utf8(), "2 -3 3 -4 0 keep");
    EXPECT_EQ(log.Text(),
              "[ERROR] system-db(N): cannnot get home share sync folder QQ"
              "[ERROR] system-db(N): cannnot get perm mode for session 42\n");
}

// Each helper sets, clears and tests its own bit only; the mode is named.
TEST(SessionRecord, AttributeHelpersTouchOnlyTheirBit) {
    using S = SessionInfo;
    const std::tuple<void (S::*)(), void (S::*)(), bool (S::*)() const, int> bits[] = {
        {&S::setUsed, &S::setUnused, &S::isUsed, SA_USED},
        {&S::setEnabled, &S::setDisabled, &S::isEnabled, SA_ENABLE},
        {&S::setDeleted, &S::setNotDeleted, &S::isDeleted, SA_DELETED},
        {&S::setReadOnly, &S::setReadWrite, &S::isReadOnly, SA_READ_ONLY},
        {nullptr, &S::setShareSession, &S::isHome, SA_IS_HOME}};
    for (const auto& [set, clear, is, bit] : bits) {
        for (int others : {0, 31 & ~bit}) {
            S s;
            s.attribute = others | (set ? 0 : bit);
            if (set) (s.*set)();
            EXPECT_EQ(dbtest::Nums(s.attribute, (s.*is)()), dbtest::Nums(others | bit, 1));
            (s.*clear)();
            EXPECT_EQ(dbtest::Nums(s.attribute, (s.*is)()), dbtest::Nums(others, 0));
        }
    }
    std::string modes;
    S s;
    for (PERM_MODE m : {PERM_ALL, PERM_DOMAIN, PERM_EXEC_BIT, PERM_MODE(7)}) {
        s.setPermMode(m);
        modes += s.permModeToStr().c_str_utf8() + std::string(" ");
    }
    EXPECT_EQ(modes, "PERM_ALL PERM_DOMAIN PERM_EXEC_BIT PERM_UNKNOWN(7) ");
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
          "/data/ab/|4|/data/a\\b|0"}) {
        const auto c = dbtest::Cells(row);
        Plant("DELETE FROM session_table");
        Insert("(1, " + c[1] + ", '" + c[0] + "')", "id, attribute, sync_folder");
        for (bool conflict : {false, true}) {
            EXPECT_EQ(SystemDB::isSyncFolderConflict(c[2].c_str(), conflict, {}), 0);
            EXPECT_EQ(conflict, c[3] == "1") << row;
        }
    }
    for (auto [filter, expected] :  // the filter names the sessions left out
         {std::pair<std::list<uint64_t>, bool>{{2, 3}, true}, {{1}, false}, {{5, 1, 7}, false}}) {
        bool conflict = !expected;
        EXPECT_EQ(SystemDB::isSyncFolderConflict("/data/ab", conflict, filter), 0);
        EXPECT_EQ(conflict, expected) << filter.size();
    }
}

TEST_F(SessionsTest, AddInsertsAFreshRowEachTime) {
    Rec s{777, "bob's", SA_ENABLE | SA_IS_HOME, 12, 0, 3, "/data/o'neil", 5, PERM_DOMAIN};
    time_t before = time(nullptr);
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    const uint64_t first = s.session_id;
    ASSERT_EQ(SystemDB::addNewSessionInfo(s), 0);
    SessionInfo blank;
    ASSERT_EQ(SystemDB::addNewSessionInfo(blank), 0);  // the record's defaults, not the column's
    EXPECT_EQ(dbtest::Nums(first, s.session_id, blank.session_id), "1 2 3 ");
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
    SessionInfo s = Rec{0, "photoS", SA_ENABLE | SA_USED, 12, 0, 9, "/new", 5, PERM_EXEC_BIT};
    ASSERT_EQ(SystemDB::updateSessionInfo(s), 0);
    SessionInfo q = Rec{0, "Bob's", 1, 1, 0, 2, "/o'neil", 5, PERM_DOMAIN};
    ASSERT_EQ(SystemDB::updateSessionInfo(q), 0);
    EXPECT_EQ(dbtest::Nums(s.session_id, q.session_id), "1 4 ");
    EXPECT_EQ(Table(),
              "1|5|Photos|6|12|2|-3|9|/new/|2\n2|5|photos|4|13|1|0|1|/b/|0\n"
              "3|6|photos|4|12|1|0|1|/c/|0\n4|5|bob's|1|1|0|0|2|/o'neil/|1\n"
              "5|5|PHOTOS|6|12|0|0|9|/new/|2\n");
    EXPECT_EQ(Dump("SELECT ctime FROM session_table"), ctimes);

    const std::string before = Table();
    for (SessionInfo miss : {Rec{55, "photos", 4, 14, 0, 0, "/x", 5, PERM_ALL},
                             Rec{55, "photos", 4, 13, 0, 0, "/x", 7, PERM_ALL},
                             Rec{55, "photo", 4, 12, 0, 0, "/x", 5, PERM_ALL}}) {
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
#define W(...) [](uint64_t id) { return SystemDB::__VA_ARGS__; }
    const std::tuple<std::function<int(uint64_t)>, uint64_t, const char*> cases[] = {
        {W(setSessionStatus(id, 4)), 1, "1|5|home|31|0|4|-3|4|/h/|0\n"},
        {W(setSessionErr(id, -8)), 3, "3|5|docs|20|8|3|-8|2|/d/|2\n"},
        {W(setSessionAsUsed(id)), 2, "2|5|HOME|6|7|1|-1|1|/H/|1\n"},
        {W(resetSession(id)), 1, "1|5|home|17|0|0|0|4|/|2\n"},
        {W(deleteSession(id)), 1, "1|"},
        {W(updateHomeViewID(99, id + 4)), 1,
         "1|5|home|31|99|2|-3|4|/h/|0\n2|5|HOME|4|99|1|-1|1|/H/|1\n"},
        {W(setReadOnlyBySession(id)), 2, "2|5|HOME|20|7|1|-1|1|/H/|1\n"},
        {W(setReadWriteBySession(id)), 3, "3|5|docs|4|8|3|-6|2|/d/|2\n"},
        {W(setDisableBySession(id)), 1, "1|5|home|27|0|0|0|4|/h/|0\n"},
        {W(setPermSyncModeBySession(id, PERM_EXEC_BIT)), 4, "4|6|Home|5|0|0|0|3|/x/|2\n"},
        {W(disableAllSession() + int(id)), 0,
         "1|5|home|27|0|0|0|4|/h/|0\n2|5|HOME|0|7|0|0|1|/H/|1\n3|5|docs|16|8|0|0|2|/d/|2\n"
         "4|6|Home|1|0|0|0|3|/x/|1\n"},
        {W(resetSessionPermission(), int(id)), 0,
         "1|5|home|15|0|2|-3|4|/h/|0\n3|5|docs|4|8|3|-6|2|/d/|2\n"}};
    for (const auto& [op, id, table] : cases) {
        plant();
        Log log;
        EXPECT_EQ(op(id), 0) << table;
        EXPECT_EQ(Table(), Apply(base, table));
        if (id) {
            plant();
            EXPECT_EQ(op(9), 0) << table;
            EXPECT_EQ(Table(), base) << table;
        }
        EXPECT_EQ(log.Text(), "") << table;
    }
}

TEST_F(SessionsTest, RemovedViewsAndTheHomeSession) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id) VALUES "
        "(1, 5, 'docs', 4, 10), (2, 5, 'DOCS', 4, 11), (3, 5, 'docs', 4, 12), (4, 6, 'docs', 4, "
        "13), (5, 5, 'o''k', 4, 1), (6, 5, 'O''K', 4, 2), (7, 1, 'HOME', 4, 0), (8, 2, 'home', "
        "4, 8), (9, 3, 'home', 27, 0), (10, 4, 'homes', 4, 0);");
    std::list<uint64_t> removed = {100, 1};
    ASSERT_EQ(SystemDB::checkRemovedView(Rec{0, "Docs", 0, 10, 0, 0, "", 5, PERM_ALL}, removed), 0);
    ASSERT_EQ(SystemDB::checkRemovedView(Rec{0, "o'k", 0, 1, 0, 0, "", 5, PERM_ALL}, removed), 0);
    ASSERT_EQ(SystemDB::checkRemovedView(Rec{0, "docs", 0, 13, 0, 0, "", 6, PERM_ALL}, removed), 0);
    EXPECT_EQ(removed, (std::list<uint64_t>{100, 1, 2, 3, 6}));

    Verbose();
    Log log;
    std::string found;
    for (uint64_t conn : {1, 2, 3, 4, 5})
        found += std::to_string(SystemDB::checkHomeSessionFor2197(conn));
    ASSERT_EQ(SystemDB::updateHomeViewID(21, 1), 0);  // after which the home row no longer counts
    found += std::to_string(SystemDB::checkHomeSessionFor2197(1));
    EXPECT_EQ(found, "100000");
    const std::string a = "[DEBUG] system-db(N): checkHomeSessionExist: There is a home session";
    const std::string no = "[DEBUG] system-db(N): checkHomeSessionExist: There is no home session";
    EXPECT_EQ(log.Text(), a + no + no + no + no + no);
}

}  // namespace
