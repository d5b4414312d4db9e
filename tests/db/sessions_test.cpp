// Session records and queries, against rows planted and read back.
#include <gtest/gtest.h>

#include <list>
#include <string>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using dbtest::Numbers;
using dbtest::Text;

// Records below are written {id, share, attribute, view, enabled, version, folder, conn, perm}.

// Each attribute bit has its own setter (the home bit none), clearer and
// test, and they leave the other bits as they were.
TEST(SessionRecord, EachAttributeBitIsSetClearedAndReadAlone) {
    struct BitMethods {
        int bit;
        void (SessionInfo::*set)();
        void (SessionInfo::*clear)();
        bool (SessionInfo::*is_set)() const;
    };
    const BitMethods bits[] = {
        {SA_IS_HOME, nullptr, &SessionInfo::setShareSession, &SessionInfo::isHome},
        {SA_USED, &SessionInfo::setUsed, &SessionInfo::setUnused, &SessionInfo::isUsed},
        {SA_ENABLE, &SessionInfo::setEnabled, &SessionInfo::setDisabled, &SessionInfo::isEnabled},
        {SA_DELETED, &SessionInfo::setDeleted, &SessionInfo::setNotDeleted,
         &SessionInfo::isDeleted},
        {SA_READ_ONLY, &SessionInfo::setReadOnly, &SessionInfo::setReadWrite,
         &SessionInfo::isReadOnly}};
    for (const BitMethods& methods : bits) {
        SessionInfo session;
        session.attribute = 31;
        const std::string context = "bit " + std::to_string(methods.bit);
        EXPECT_TRUE((session.*methods.is_set)()) << context << " not seen";
        (session.*methods.clear)();
        EXPECT_EQ(session.attribute, 31 & ~methods.bit) << context << " cleared with other bits";
        EXPECT_FALSE((session.*methods.is_set)()) << context << " seen once cleared";
        if (!methods.set) continue;
        (session.*methods.set)();
        EXPECT_EQ(session.attribute, 31) << context << " set again, or the others lost";
    }
    SessionInfo session;
    session.setPermMode(PERM_DOMAIN);
    EXPECT_EQ(session.perm_mode, PERM_DOMAIN);
}

using SessionsTest = SystemDBFixture;

// A record no reader produces, to see what a lookup leaves alone.
const SessionInfo kSentinel{999, "sentinel", 77, 88, 5, 99, "/sentinel", 66, PERM_DOMAIN};

// Whole-row readers strip every trailing "/" and "\", per-connection lists and
// folder lookups exactly one byte; NULL reads as empty.
TEST_F(SessionsTest, ReadersDecodeEveryColumnAndTheirFolderRule) {
    Plant("INSERT INTO connection_table (id, status, error) VALUES (5, 3, -4);");
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id, status, error, "
        "share_version, sync_folder, perm_mode) VALUES (1, 5, 'photos', 5, 10, 2, -3, 3, "
        "'/data/photos/', 0), (2, 5, 'root', 4, 11, 0, 0, 0, "
        "'/', 1), (3, 5, 'x', 4, 12, 0, 0, 0, '/data/x//', 2), (4, 5, 'y', 0, 13, 0, 0, 0, "
        "'/data/y\\', 2), (5, 6, 'empty', 4, 14, 0, 0, 0, '', 2), (6, 5, NULL, NULL, NULL, NULL, "
        "NULL, NULL, NULL, NULL), (7, 5, 'mixed', 4, 15, 0, 0, 0, '/data/z/\\/', 2), (8, 7, "
        "'donn\xc3\xa9s', 31, 9007199254740993, 0, 0, 1, '/donn\xc3\xa9s/', 1);");
    std::list<SessionInfo> sessions(1);
    ASSERT_EQ(SystemDB::getEnabledSession(sessions), 0);
    EXPECT_EQ(Text(sessions),
              "1|5|photos|5|10|3|/data/photos|0|0\n2|5|root|4|11|0||1|0\n3|5|x|4|12|0|/data/x|2|0\n"
              "5|6|empty|4|14|0||2|0\n7|5|mixed|4|15|0|/data/z|2|0\n"
              "8|7|donn\xc3\xa9s|31|9007199254740993|1|/donn\xc3\xa9s|1|0\n");
    ASSERT_EQ(SystemDB::getSessionListByConnectionID(sessions, 5), 0);
    EXPECT_EQ(
        Text(sessions),
        "1|5|photos|5|10|3|/data/photos|0|0\n2|5|root|4|11|0||1|0\n3|5|x|4|12|0|/data/x/|2|0\n"
        "4|5|y|0|13|0|/data/y|2|0\n6|5||0|0|0||0|0\n7|5|mixed|4|15|0|/data/z/\\|2|0\n");

    SessionInfo session = kSentinel;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(6, session), 0);
    EXPECT_EQ(Text(session), "6|5||0|0|0||0|5\n");  // `enabled` is no column
    ASSERT_EQ(SystemDB::getSessionInfoByLocalFolder("/data/x/", session), 0);
    EXPECT_EQ(Text(session), "3|5|x|4|12|0|/data/x|2|5\n");
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
    EXPECT_EQ(Numbers(status, error, connection_status, connection_error), "2 -3 3 -4 ");
    EXPECT_EQ(SystemDB::getMaxSessionId(), 8u);
    PERM_MODE given = PERM_EXEC_BIT, null = PERM_EXEC_BIT;
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(8, given), 0);
    ASSERT_EQ(SystemDB::getPermSyncModeBySession(6, null), 0);
    EXPECT_EQ(Numbers(given, null), Numbers(PERM_DOMAIN, PERM_ALL));

    // Not found: -1, outputs untouched (a missing connection row: DEBUG only).
    Log log;
    folder = "keep";
    EXPECT_EQ(SystemDB::getSyncFolder("DONN\xc3\x89S", folder), -1);  // only ASCII folds
    EXPECT_EQ(
        SystemDB::getSessionStatusAndErr(8, status, error, connection_status, connection_error),
        -1);
    EXPECT_EQ(SystemDB::getPermSyncModeBySession(42, null), -1);
    EXPECT_EQ(
        Numbers(status, error, connection_status, connection_error, null) + folder.c_str_utf8(),
        "2 -3 3 -4 0 keep");
    EXPECT_EQ(log.Text(),
              "[ERROR] system-db(N): cannnot get home share sync folder QQ"
              "[ERROR] system-db(N): cannnot get perm mode for session 42\n");
}

TEST_F(SessionsTest, ValidSessionsAreAllButTheDeletedOnesNeitherEnabledNorUsed) {
    Plant(
        "INSERT INTO session_table (id, conn_id, attribute) VALUES (1, 7, 8), (2, 7, 10), (3, 7, "
        "12), (4, 7, 0), (5, 8, 0), (6, 7, 29);");
    std::list<SessionInfo> sessions(1);
    ASSERT_EQ(SystemDB::getValidSessionListByConnectionID(sessions, 7), 0);
    EXPECT_EQ(Text(sessions),
              "2|7||10|0|0||0|0\n3|7||12|0|0||0|0\n4|7||0|0|0||0|0\n6|7||29|0|0||0|0\n");
}

// Whole components either way, ASCII case ignored, "%", "_" and "\" only
// themselves; disabled sessions and those the filter names are left out.
TEST_F(SessionsTest, FolderConflictsCompareWholeComponentsAndLiteralWildcards) {
    struct Case {
        const char* stored_folder;
        const char* candidate;
        bool conflict;
    };
    const Case cases[] = {
        {"/DATA/A/", "/data", true},        {"/data/a/", "/data/a/b/c", true},
        {"/data/a_b/", "/data/axb", false}, {"/data/axb/", "/data/a_b", false},
        {"/data/abc/", "/data/a%", false},  {"/data/a\\xyz/", "/data/a\\%", false},
        {"/data/ab/", "/data/a", false}};  // the last stays for the filters
    for (const Case& row : cases) {
        Plant("DELETE FROM session_table");
        Plant(
            std::string("INSERT INTO session_table (id, attribute, sync_folder) VALUES (1, 4, '") +
            row.stored_folder + "');");
        for (bool conflict : {false, true}) {  // whatever it held before
            EXPECT_EQ(SystemDB::isSyncFolderConflict(row.candidate, conflict, {}), 0);
            EXPECT_EQ(conflict, row.conflict) << row.stored_folder << " against " << row.candidate;
        }
    }
    bool conflict = false;
    ASSERT_EQ(SystemDB::isSyncFolderConflict("/data/ab", conflict, {2, 3}), 0);
    EXPECT_TRUE(conflict) << "session 1 (/data/ab/) left out by a filter not naming it";
    ASSERT_EQ(SystemDB::isSyncFolderConflict("/data/ab", conflict, {5, 1, 7}), 0);
    EXPECT_FALSE(conflict) << "session 1 not left out by a filter naming it";
    Plant("UPDATE session_table SET attribute = 27");
    ASSERT_EQ(SystemDB::isSyncFolderConflict("/data/ab", conflict, {}), 0);
    EXPECT_FALSE(conflict) << "a disabled session counted";
}

TEST_F(SessionsTest, RemovedViewsAndTheHomeSession) {
    Plant(
        "INSERT INTO session_table (id, conn_id, share_name, attribute, view_id) VALUES "
        "(1, 5, 'docs', 4, 10), (2, 5, 'DOCS', 4, 11), (3, 5, 'docs', 4, 12), (4, 6, 'docs', 4, "
        "13), (5, 5, 'o''k', 4, 1), (6, 5, 'O''K', 4, 2), (7, 1, 'HOME', 4, 0), (8, 2, 'home', "
        "4, 8), (9, 3, 'home', 27, 0), (10, 4, 'homes', 4, 0);");
    std::list<uint64_t> removed = {100, 1};
    for (const SessionInfo& kept : {SessionInfo{0, "Docs", 0, 10, 0, 0, "", 5, PERM_ALL},
                                    SessionInfo{0, "o'k", 0, 1, 0, 0, "", 5, PERM_ALL},
                                    SessionInfo{0, "docs", 0, 13, 0, 0, "", 6, PERM_ALL}})
        ASSERT_EQ(SystemDB::checkRemovedView(kept, removed), 0);
    EXPECT_EQ(removed, (std::list<uint64_t>{100, 1, 2, 3, 6}));

    std::string found;
    for (uint64_t conn : {1, 2, 3, 4, 5})
        found += std::to_string(SystemDB::checkHomeSessionFor2197(conn));
    ASSERT_EQ(SystemDB::updateHomeViewID(21, 1), 0);  // after which the home row no longer counts
    found += std::to_string(SystemDB::checkHomeSessionFor2197(1));
    EXPECT_EQ(found, "100000") << "whether connections 1 to 5, then 1 again, have an enabled home";
}

}  // namespace
