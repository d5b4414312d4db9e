// Connection records, writes, queries and the path lookup, checked against
// what the database file holds (read through a separate connection).
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
#include "utility.h"

void PrintTo(const ConnectionEntry& e, std::ostream* os) {
    *os << e.toString();
}
void PrintTo(const ConnectionInfo& c, std::ostream* os) {
    *os << c.toString().c_str();
}

namespace {

const ustring kComp("system_db_debug");
using testutil::QueryRows;
using testutil::QueryValue;

class ConnectionsTest : public SystemDBFixture {
  protected:
    std::string Value(const std::string& sql) { return QueryValue(db_, sql); }
    std::string Column(uint64_t id, const std::string& col) {
        return Value("SELECT " + col + " FROM connection_table WHERE id = " + std::to_string(id));
    }
    // The whole table, to show that a call changed nothing.
    testutil::Rows Table(const char* table = "connection_table") {
        return QueryRows(db_, std::string("SELECT * FROM ") + table + " ORDER BY rowid");
    }
};

// Every text member carries a single quote; numbers are all distinct.
ConnectionEntry Sample(const std::string& tag) {
    ConnectionEntry e;
    ConnectionInfo& c = e.connection_info;
    c.c_mode = CM_DDNS;
    c.server_name = ("nas'" + tag).c_str();
    c.server_ip = "10.0.0.'7";
    c.server_port = 5001;
    c.farlink_mode = "relay'mode";
    c.username = "O'Brien";
    c.password = "conn-secret";  // never stored
    c.orb_id = ("orb'" + tag).c_str();
    c.session = "sess'ion";
    c.protocol_version = 42;
    c.computer_name = "desk'top";
    c.use_ssl = true;
    c.ssl_allow_untrust = true;
    c.version_info.build_number = 70123;
    c.version_info.major = 7;
    c.version_info.minor = 2;
    // Not stored by setConnectionEntry:
    c.linked = 5;
    c.status = 6;
    c.error = -3;
    c.user_uid = 1000;
    c.user_gid = 1001;
    c.user_is_admin = false;
    ProxyInfo& p = e.proxy_info;
    p.use_proxy = true;
    p.use_sys_proxy = false;
    p.proxy_ip = "proxy'.lan";
    p.proxy_port = 3128;
    p.user_name = "px'user";
    p.password = "px'pass word";
    p.domain = "CORP'";
    p.host = "host'x";
    TunnelInfo& t = e.tunnel_info;
    t.use_tunnel = true;
    t.tunnel_ip = "tun'nel";
    t.tunnel_port = 443;
    return e;
}

// What a reader returns for a row written from `e` by setConnectionEntry.
ConnectionEntry AsRead(ConnectionEntry e, uint64_t id) {
    e.connection_info.conn_id = id;
    e.connection_info.password = "";
    e.connection_info.linked = 0;
    e.connection_info.status = 0;
    e.connection_info.error = 0;
    e.connection_info.user_uid = 0;
    e.connection_info.user_gid = 0;
    e.connection_info.user_is_admin = true;
    return e;
}

uint64_t Insert(ConnectionEntry& e) {
    EXPECT_EQ(SystemDB::setConnectionEntry(e.connection_info, e.proxy_info, e.tunnel_info), 0);
    return e.connection_info.conn_id;
}

// ---- records ----

TEST(ConnectionRecordsTest, ConstructionClearAndComparison) {
    ConnectionInfo c;
    EXPECT_TRUE(c.use_ssl);
    EXPECT_FALSE(c.user_is_admin);
    EXPECT_EQ(c.conn_id, 0u);
    EXPECT_EQ(c.version_info, VersionInfo());

    ConnectionEntry sample = Sample("x");
    sample.connection_info.clear();
    EXPECT_EQ(sample.connection_info.version_info.build_number, 70123);  // kept by clear()
    sample.connection_info.version_info = VersionInfo();
    EXPECT_EQ(sample.connection_info, ConnectionInfo());
    sample.proxy_info.clear();
    sample.tunnel_info.clear();
    EXPECT_EQ(sample, ConnectionEntry());

    // Every member takes part in the comparison.
    const ConnectionEntry base = Sample("x");
    std::list<void (*)(ConnectionEntry&)> changes = {
        [](ConnectionEntry& e) { e.connection_info.c_mode = 0; },
        [](ConnectionEntry& e) { e.connection_info.server_name = "y"; },
        [](ConnectionEntry& e) { e.connection_info.server_ip = "y"; },
        [](ConnectionEntry& e) { e.connection_info.server_port = 1; },
        [](ConnectionEntry& e) { e.connection_info.farlink_mode = "y"; },
        [](ConnectionEntry& e) { e.connection_info.username = "y"; },
        [](ConnectionEntry& e) { e.connection_info.password = "y"; },
        [](ConnectionEntry& e) { e.connection_info.orb_id = "y"; },
        [](ConnectionEntry& e) { e.connection_info.session = "y"; },
        [](ConnectionEntry& e) { e.connection_info.protocol_version = 1; },
        [](ConnectionEntry& e) { e.connection_info.conn_id = 9; },
        [](ConnectionEntry& e) { e.connection_info.computer_name = "y"; },
        [](ConnectionEntry& e) { e.connection_info.linked = 1; },
        [](ConnectionEntry& e) { e.connection_info.use_ssl = false; },
        [](ConnectionEntry& e) { e.connection_info.ssl_allow_untrust = false; },
        [](ConnectionEntry& e) { e.connection_info.version_info.major = 1; },
        [](ConnectionEntry& e) { e.connection_info.version_info.minor = 1; },
        [](ConnectionEntry& e) { e.connection_info.version_info.build_number = 1; },
        [](ConnectionEntry& e) { e.connection_info.status = 1; },
        [](ConnectionEntry& e) { e.connection_info.error = 1; },
        [](ConnectionEntry& e) { e.connection_info.user_uid = 1; },
        [](ConnectionEntry& e) { e.connection_info.user_gid = 1; },
        [](ConnectionEntry& e) { e.connection_info.user_is_admin = true; },
        [](ConnectionEntry& e) { e.proxy_info.use_proxy = false; },
        [](ConnectionEntry& e) { e.proxy_info.use_sys_proxy = true; },
        [](ConnectionEntry& e) { e.proxy_info.proxy_ip = "y"; },
        [](ConnectionEntry& e) { e.proxy_info.proxy_port = 1; },
        [](ConnectionEntry& e) { e.proxy_info.user_name = "y"; },
        [](ConnectionEntry& e) { e.proxy_info.password = "y"; },
        [](ConnectionEntry& e) { e.proxy_info.domain = "y"; },
        [](ConnectionEntry& e) { e.proxy_info.host = "y"; },
        [](ConnectionEntry& e) { e.tunnel_info.use_tunnel = false; },
        [](ConnectionEntry& e) { e.tunnel_info.tunnel_ip = "y"; },
        [](ConnectionEntry& e) { e.tunnel_info.tunnel_port = 1; },
    };
    int n = 0;
    for (auto change : changes) {
        ConnectionEntry e = base;
        change(e);
        EXPECT_NE(e, base) << "member change " << n;
        EXPECT_FALSE(e == base) << "member change " << n;
        ++n;
    }
}

TEST(ConnectionRecordsTest, ToStringNeverShowsAPassword) {
    ConnectionEntry e = Sample("x");
    e.connection_info.password = "conn-Secret-1";
    e.proxy_info.password = "proxy-Secret-2";
    std::string text = e.toString();
    EXPECT_EQ(text.find("Secret"), std::string::npos) << text;
    EXPECT_NE(text.find("password=********"), std::string::npos) << text;
    EXPECT_NE(text.find("nas'x"), std::string::npos) << text;
    EXPECT_NE(text.find("tun'nel"), std::string::npos) << text;
    EXPECT_EQ(std::string(e.connection_info.toString().c_str()).find("Secret"), std::string::npos);
    EXPECT_EQ(e.proxy_info.toString().find("Secret"), std::string::npos);
    EXPECT_NE(ProxyInfo().toString().find("password=(empty)"), std::string::npos);
}

// ---- writes ----

TEST_F(ConnectionsTest, InsertStoresEveryColumnAndTheDefaultsOfTheOthers) {
    ConnectionEntry e = Sample("a");
    e.connection_info.conn_id = 12345;  // overwritten by the new row id
    uint64_t id = Insert(e);
    ASSERT_NE(id, 12345u);

    testutil::Rows rows =
        QueryRows(db_, "SELECT * FROM connection_table WHERE id = " + std::to_string(id));
    ASSERT_EQ(rows.size(), 1u);
    std::vector<std::string> expected = {
        std::to_string(id),
        "2",
        "nas'a",
        "10.0.0.'7",
        "5001",
        "relay'mode",
        "O'Brien",
        "orb'a",
        "sess'ion",
        "42",
        "desk'top",
        "1",
        "1",
        "0",
        "proxy'.lan",
        "3128",
        "px'user",
        "<proxy_password>",
        "CORP'",
        "host'x",
        "1",
        "tun'nel",
        "443",
        "0",
        "0",
        "0",  // linked, status, error: column defaults
        "70123",
        "7",
        "2",
        "1",
        "0",
        "0",
        "1",  // user_uid, user_gid, user_is_admin: column defaults
    };
    std::string stored_pass = rows[0][17];
    expected[17] = stored_pass;
    EXPECT_EQ(rows[0], expected);

    // The proxy password is stored only obfuscated.
    EXPECT_NE(stored_pass, "px'pass word");
    EXPECT_EQ(stored_pass.find("pass"), std::string::npos);
    std::string back;
    SyncPassDec(stored_pass, back);
    EXPECT_EQ(back, "px'pass word");
    // The connection password has no column at all.
    EXPECT_EQ(Value("SELECT count(*) FROM connection_table WHERE "
                    "instr(server_name || username || session || proxy_password, 'conn-secret')"),
              "0");

    // Same orb_id again: a second row with its own id.
    ConnectionEntry again = Sample("a");
    uint64_t id2 = Insert(again);
    EXPECT_NE(id2, id);
    EXPECT_EQ(Value("SELECT count(*) FROM connection_table WHERE orb_id = 'orb''a'"), "2");

    // An empty proxy password is stored as the empty text.
    ConnectionEntry nopass = Sample("b");
    nopass.proxy_info.password = "";
    uint64_t id3 = Insert(nopass);
    EXPECT_EQ(Column(id3, "quote(proxy_password)"), "''");
}

TEST_F(ConnectionsTest, UpdateRewritesByOrbIdAndKeepsIdentityAndRunningState) {
    ConnectionEntry e = Sample("u");
    uint64_t id = Insert(e);
    ASSERT_EQ(SystemDB::setLinkByConnection(id, 1), 0);
    ASSERT_EQ(SystemDB::setConnectionStatus(id, 3), 0);
    ASSERT_EQ(SystemDB::updateUserInfo(id, 77, 88, false), 0);

    ConnectionEntry other = Sample("other");
    uint64_t other_id = Insert(other);
    testutil::Rows other_before =
        QueryRows(db_, "SELECT * FROM connection_table WHERE id = " + std::to_string(other_id));

    ConnectionEntry u = Sample("u");  // same orb_id
    ConnectionInfo& c = u.connection_info;
    c.conn_id = 0;
    c.c_mode = CM_VAPORNET;
    c.server_name = "renamed";
    c.server_ip = "192.168.1.'2";
    c.server_port = 6001;
    c.farlink_mode = "direct";
    c.username = "someone else";  // not rewritten
    c.session = "s2";
    c.protocol_version = 43;
    c.computer_name = "laptop";
    c.use_ssl = false;
    c.version_info.build_number = 80000;
    c.version_info.major = 8;
    c.version_info.minor = 1;
    c.ssl_allow_untrust = false;
    u.proxy_info.use_proxy = false;
    u.proxy_info.use_sys_proxy = true;
    u.proxy_info.proxy_ip = "p2";
    u.proxy_info.proxy_port = 8080;
    u.proxy_info.user_name = "u2";
    u.proxy_info.password = "new'pass";
    u.proxy_info.domain = "d2";
    u.proxy_info.host = "h2";
    u.tunnel_info.use_tunnel = false;
    u.tunnel_info.tunnel_ip = "t2";
    u.tunnel_info.tunnel_port = 22;
    ASSERT_EQ(SystemDB::updateConnectionEntry(c, u.proxy_info, u.tunnel_info), 0);
    EXPECT_EQ(c.conn_id, id);

    testutil::Rows rows =
        QueryRows(db_, "SELECT * FROM connection_table WHERE id = " + std::to_string(id));
    std::vector<std::string> expected = {
        std::to_string(id),
        "3",
        "renamed",
        "192.168.1.'2",
        "6001",
        "direct",
        "O'Brien",
        "orb'u",
        "s2",
        "43",
        "laptop",
        "0",
        "0",
        "1",
        "p2",
        "8080",
        "u2",
        "<pass>",
        "d2",
        "h2",
        "0",
        "t2",
        "22",
        "1",
        "3",
        "0",
        "80000",
        "8",
        "1",
        "0",
        "77",
        "88",
        "0",
    };
    expected[17] = rows[0][17];
    EXPECT_EQ(rows[0], expected);
    std::string back;
    SyncPassDec(rows[0][17], back);
    EXPECT_EQ(back, "new'pass");
    EXPECT_EQ(
        QueryRows(db_, "SELECT * FROM connection_table WHERE id = " + std::to_string(other_id)),
        other_before);

    // An orb_id no row carries: -1, the error entry, nothing changed.
    testutil::Rows before = Table();
    ConnectionInfo missing = c;
    missing.orb_id = "no such orb";
    missing.conn_id = 4242;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::updateConnectionEntry(missing, u.proxy_info, u.tunnel_info), -1);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[ERROR] system-db(N): cannnot get id for last update connection\n");
    EXPECT_EQ(missing.conn_id, 4242u);
    EXPECT_EQ(Table(), before);
}

TEST_F(ConnectionsTest, SingleColumnWritersAndMissingIds) {
    ConnectionEntry e = Sample("s");
    e.connection_info.use_ssl = false;
    uint64_t id = Insert(e);

    EXPECT_EQ(SystemDB::setConnectionStatus(id, 2), 0);
    EXPECT_EQ(SystemDB::setConnectionErr(id, -4), 0);
    EXPECT_EQ(SystemDB::setLinkByConnection(id, 1), 0);
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(id, true), 0);
    EXPECT_EQ(SystemDB::updateUserInfo(id, 4000000000u, 4000000001u, false), 0);
    VersionInfo v;
    v.build_number = 2147483648L;  // one above the signed 32-bit range
    v.major = 9;
    v.minor = 3;
    EXPECT_EQ(SystemDB::setPackageVersion(id, v), 0);

    EXPECT_EQ(QueryRows(db_,
                        "SELECT status, error, linked, use_ssl, user_uid, user_gid, "
                        "user_is_admin, package_version, major, minor FROM connection_table"),
              (testutil::Rows{
                  {"2", "-4", "1", "1", "4000000000", "4000000001", "0", "2147483648", "9", "3"}}));
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(id, false), 0);
    EXPECT_EQ(SystemDB::updateUserInfo(id, 5, 6, true), 0);
    EXPECT_EQ(QueryRows(db_,
                        "SELECT use_ssl, user_uid, user_gid, user_is_admin FROM "
                        "connection_table"),
              (testutil::Rows{{"0", "5", "6", "1"}}));

    // Ids that name no row: success, nothing changes.
    testutil::Rows before = Table();
    uint64_t none = id + 100;
    EXPECT_EQ(SystemDB::setConnectionStatus(none, 1), 0);
    EXPECT_EQ(SystemDB::setConnectionErr(none, 1), 0);
    EXPECT_EQ(SystemDB::setLinkByConnection(none, 0), 0);
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(none, false), 0);
    EXPECT_EQ(SystemDB::updateUserInfo(none, 1, 1, true), 0);
    EXPECT_EQ(SystemDB::setPackageVersion(none, VersionInfo()), 0);
    EXPECT_EQ(SystemDB::deleteConnection(none), 0);
    EXPECT_EQ(Table(), before);
}

TEST_F(ConnectionsTest, DeleteKeepsSessionsAndClearKeepsOnlyTheVersionRow) {
    ConnectionEntry a = Sample("a"), b = Sample("b");
    uint64_t ida = Insert(a), idb = Insert(b);
    Plant("INSERT INTO session_table (conn_id, share_name, attribute, sync_folder) VALUES (" +
          std::to_string(ida) + ", 'home', 4, '/x/');");
    Plant("INSERT INTO system_table VALUES ('language', 'de');");

    EXPECT_EQ(SystemDB::deleteConnection(ida), 0);
    EXPECT_EQ(QueryRows(db_, "SELECT id FROM connection_table"),
              (testutil::Rows{{std::to_string(idb)}}));
    EXPECT_EQ(Value("SELECT count(*) FROM session_table WHERE conn_id = " + std::to_string(ida)),
              "1");

    EXPECT_EQ(SystemDB::clearSystemDB(), 0);
    EXPECT_TRUE(Table("connection_table").empty());
    EXPECT_TRUE(Table("session_table").empty());
    EXPECT_EQ(Table("system_table"), (testutil::Rows{{"release_version", "13"}}));
}

TEST_F(ConnectionsTest, CheckLinkedReadsTheFlagOrZero) {
    int lnk = 7;
    EXPECT_EQ(SystemDB::checkLinked(lnk), 0);
    EXPECT_EQ(lnk, 0);
    Plant("INSERT INTO system_table VALUES ('linked', '1');");
    EXPECT_EQ(SystemDB::checkLinked(lnk), 0);
    EXPECT_EQ(lnk, 1);
    Plant("UPDATE system_table SET value = '3' WHERE key = 'linked';");
    EXPECT_EQ(SystemDB::checkLinked(lnk), 0);
    EXPECT_EQ(lnk, 3);
}

// ---- queries ----

TEST_F(ConnectionsTest, LookupsReturnWhatWasWritten) {
    ConnectionEntry e = Sample("q");
    uint64_t id = Insert(e);
    ConnectionEntry expected = AsRead(Sample("q"), id);

    ConnectionEntry got;
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(id, got), 0);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got.proxy_info.password, "px'pass word");
    EXPECT_TRUE(got.connection_info.password.empty());

    ConnectionInfo info;
    info.password = "caller's";
    ASSERT_EQ(SystemDB::getConnectionInfoById(id, info), 0);
    EXPECT_EQ(info, expected.connection_info);

    ConnectionInfo by_orb;
    ASSERT_EQ(SystemDB::getConnectionInfoByORBID("orb'q", by_orb), 0);
    EXPECT_EQ(by_orb, expected.connection_info);

    // orb_id is compared exactly (no NOCASE on that column)...
    ConnectionInfo untouched = Sample("keep").connection_info;
    ConnectionInfo probe = untouched;
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("ORB'Q", probe), -1);
    EXPECT_EQ(probe, untouched);
    // ...and so is a missing id: -1, output untouched.
    ConnectionEntry keep = Sample("keep");
    ConnectionEntry entry = keep;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(id + 1, entry), -1);
    EXPECT_EQ(entry, keep);
    EXPECT_EQ(SystemDB::getConnectionInfoById(id + 1, probe), -1);
    EXPECT_EQ(probe, untouched);
}

TEST_F(ConnectionsTest, NotFoundNotesAreInfoLines) {
    ConnectionEntry entry;
    ConnectionInfo info;
    VersionInfo v;
    testutil::StderrCapture quiet;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(5, entry), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("x", info), -1);
    // Below the default threshold the info notes stay silent; the error does not.
    EXPECT_EQ(SystemDB::getPackageVersion(5, v), -1);
    EXPECT_EQ(testutil::NormalizeLog(quiet.Stop(), "system-db"),
              "[ERROR] system-db(N): cannnot get package_version for conn_id [5].\n");

    Logger::log_level[kComp] = Logger::L_INFO;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(5, entry), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("it's", info), -1);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[INFO] system-db(N): connection 5 does not exit\n"
              "[INFO] system-db(N): orb_id it's is not found\n");
}

TEST_F(ConnectionsTest, ReadersDecodeStoredOddities) {
    ConnectionEntry e = Sample("o");
    uint64_t id = Insert(e);
    // Values no writer produces but the schema admits.
    Plant(
        "UPDATE connection_table SET use_ssl = 2, proxy_port = 70000, tunnel_port = 65537, "
        "server_name = NULL, proxy_ip = NULL, proxy_password = 'not base64!', user_uid = -1 "
        "WHERE id = " +
        std::to_string(id));
    ConnectionEntry got;
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(id, got), 0);
    EXPECT_TRUE(got.connection_info.use_ssl);
    EXPECT_EQ(got.proxy_info.proxy_port, 70000 % 65536);
    EXPECT_EQ(got.tunnel_info.tunnel_port, 1);
    EXPECT_TRUE(got.connection_info.server_name.empty());
    EXPECT_TRUE(got.proxy_info.proxy_ip.empty());
    EXPECT_TRUE(got.proxy_info.password.empty());
    EXPECT_EQ(got.connection_info.user_uid, 4294967295u);
}

TEST_F(ConnectionsTest, ListsReplaceTheirContent) {
    std::list<ConnectionEntry> list(3, Sample("stale"));
    EXPECT_EQ(SystemDB::getLinkedConnectionEntryList(list), 0);
    EXPECT_TRUE(list.empty());
    list.assign(2, Sample("stale"));
    EXPECT_EQ(SystemDB::getConnectionEntryList(list), 0);
    EXPECT_TRUE(list.empty());

    ConnectionEntry a = Sample("a"), b = Sample("b"), c = Sample("c");
    uint64_t ida = Insert(a), idb = Insert(b), idc = Insert(c);
    EXPECT_EQ(SystemDB::setLinkByConnection(ida, 1), 0);
    EXPECT_EQ(SystemDB::setLinkByConnection(idb, 2), 0);  // only 1 counts as linked
    EXPECT_EQ(SystemDB::setLinkByConnection(idc, 1), 0);

    list.assign(1, Sample("stale"));
    ASSERT_EQ(SystemDB::getLinkedConnectionEntryList(list), 0);
    ConnectionEntry xa = AsRead(Sample("a"), ida), xc = AsRead(Sample("c"), idc);
    xa.connection_info.linked = 1;
    xc.connection_info.linked = 1;
    EXPECT_EQ(list, (std::list<ConnectionEntry>{xa, xc}));

    ASSERT_EQ(SystemDB::getConnectionEntryList(list), 0);
    ConnectionEntry xb = AsRead(Sample("b"), idb);
    xb.connection_info.linked = 2;
    EXPECT_EQ(list, (std::list<ConnectionEntry>{xa, xb, xc}));
}

TEST_F(ConnectionsTest, PackageVersionsAreFilteredSortedAnd64Bit) {
    struct Row {
        long build;
        int linked, status, error;
    };
    const Row rows[] = {
        {300, 1, 0, 0},         {100, 1, 1, -2}, {300, 1, 0, 0},  // a duplicate stays
        {50, 0, 0, 0},                                            // not linked
        {60, 1, 2, 0},                                            // status 2
        {70, 1, 0, -1},         {80, 1, 0, -4},                   // excluded errors
        {5000000000L, 1, 0, 0},                                   // beyond 32 bits
    };
    uint64_t big_id = 0;
    for (const Row& r : rows) {
        ConnectionEntry e = Sample(std::to_string(r.build));
        uint64_t id = Insert(e);
        VersionInfo v;
        v.build_number = r.build;
        v.major = 1;
        v.minor = 2;
        ASSERT_EQ(SystemDB::setPackageVersion(id, v), 0);
        ASSERT_EQ(SystemDB::setLinkByConnection(id, r.linked), 0);
        ASSERT_EQ(SystemDB::setConnectionStatus(id, r.status), 0);
        ASSERT_EQ(SystemDB::setConnectionErr(id, r.error), 0);
        if (r.build == 5000000000L) big_id = id;
    }
    std::list<long> out = {1, 2, 3};
    ASSERT_EQ(SystemDB::getPackageVersionList({-1, -4}, out), 0);
    EXPECT_EQ(out, (std::list<long>{100, 300, 300, 5000000000L}));
    ASSERT_EQ(SystemDB::getPackageVersionList({}, out), 0);
    EXPECT_EQ(out, (std::list<long>{70, 80, 100, 300, 300, 5000000000L}));

    VersionInfo v;
    ASSERT_EQ(SystemDB::getPackageVersion(big_id, v), 0);
    EXPECT_EQ(v.build_number, 5000000000L);
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 2);
    ConnectionEntry e;
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(big_id, e), 0);
    EXPECT_EQ(e.connection_info.version_info.build_number, 5000000000L);

    VersionInfo keep;
    keep.build_number = 11;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getPackageVersion(big_id + 100, keep), -1);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[ERROR] system-db(N): cannnot get package_version for conn_id [" +
                  std::to_string(big_id + 100) + "].\n");
    EXPECT_EQ(keep.build_number, 11);
}

// ---- failures: exact error entries ----

TEST_F(ConnectionsTest, FailuresReportExactErrorLines) {
    ConnectionEntry e = Sample("f");
    uint64_t id = Insert(e);
    Plant("DROP TABLE connection_table;");

    testutil::StderrCapture err;
    ConnectionInfo& c = e.connection_info;
    c.conn_id = 77;
    EXPECT_EQ(SystemDB::setConnectionEntry(c, e.proxy_info, e.tunnel_info), -1);
    EXPECT_EQ(c.conn_id, 77u);
    EXPECT_EQ(SystemDB::updateConnectionEntry(c, e.proxy_info, e.tunnel_info), -1);
    EXPECT_EQ(SystemDB::setConnectionStatus(id, 1), -1);
    EXPECT_EQ(SystemDB::setConnectionErr(id, 1), -1);
    EXPECT_EQ(SystemDB::setLinkByConnection(id, 1), -1);
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(id, true), -1);
    EXPECT_EQ(SystemDB::updateUserInfo(id, 1, 2, true), -1);
    EXPECT_EQ(SystemDB::setPackageVersion(id, VersionInfo()), -1);
    EXPECT_EQ(SystemDB::deleteConnection(id), -1);
    EXPECT_EQ(SystemDB::clearSystemDB(), -1);
    ConnectionEntry entry;
    ConnectionInfo info;
    std::list<ConnectionEntry> list(1);
    std::list<long> versions = {9};
    VersionInfo v;
    PathInfo path_info;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(id, entry), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("orb'f", info), -1);
    EXPECT_EQ(SystemDB::getLinkedConnectionEntryList(list), -1);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(SystemDB::getConnectionEntryList(list), -1);
    EXPECT_EQ(SystemDB::getPackageVersionList({}, versions), -1);
    EXPECT_EQ(versions, std::list<long>{9});
    EXPECT_EQ(SystemDB::getPackageVersion(id, v), -1);
    EXPECT_EQ(SystemDB::getPathInfoByPath("/x/y", path_info), -1);
    const std::string nt = "no such table: connection_table";
    EXPECT_EQ(
        testutil::NormalizeLog(err.Stop(), "system-db"),
        "[ERROR] system-db(N): setConnectionEntry fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): updateConnectionEntry fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setConnectionStatus fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setConnectionErr fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setLinkByConnection fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): sqlite3_exec failed: ret = 1 [" + nt + "]\n" +
            "[ERROR] system-db(N): update user info of #" + std::to_string(id) + " failed (1)\n" +
            "[ERROR] system-db(N): setPackageVersion fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): deleteConnection fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): clearSystemDB fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): getConnectionEntryByConnID: sqlite3_prepare_v2: " + nt +
            " (1)\n" + "[ERROR] system-db(N): getConnectionInfoByORBID: sqlite3_prepare_v2: " + nt +
            " (1)\n" +
            "[ERROR] system-db(N): getLinkedConnectionEntryList: sqlite3_prepare_v2: " + nt +
            " (1)\n" + "[ERROR] system-db(N): getConnectionEntryList: sqlite3_prepare_v2: " + nt +
            " (1)\n" + "[ERROR] system-db(N): getPackageVersionList: sqlite3_prepare_v2: " + nt +
            " (1)\n" + "[ERROR] system-db(N): getPackageVersion: sqlite3_prepare_v2: " + nt +
            " (1)\n" + "[ERROR] system-db(N): getConnectionEntryAndViewIdByPath: [" + nt + "]\n");
}

TEST_F(ConnectionsTest, ClearStopsAtTheFailingDeletion) {
    ConnectionEntry e = Sample("c");
    Insert(e);
    Plant("INSERT INTO system_table VALUES ('language', 'fr');");
    Plant("DROP TABLE session_table;");
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::clearSystemDB(), -1);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[ERROR] system-db(N): clearSystemDB fail ret = 1 no such table: session_table\n");
    EXPECT_TRUE(Table("connection_table").empty());              // ran before the failure
    EXPECT_EQ(Value("SELECT count(*) FROM system_table"), "2");  // never reached
}

TEST_F(ConnectionsTest, ClosedStoreFailsWithoutTouchingSQLite) {
    SystemDB::destroy();
    testutil::StderrCapture err;
    int lnk = 5;
    EXPECT_EQ(SystemDB::checkLinked(lnk), -1);
    EXPECT_EQ(lnk, 5);
    EXPECT_EQ(SystemDB::setConnectionStatus(1, 1), -1);
    std::string text = testutil::NormalizeLog(err.Stop(), "system-db");
    EXPECT_EQ(text,
              "[ERROR] system-db(N): checkLinked: sqlite3_prepare_v2: system database is not "
              "open (21)\n"
              "[ERROR] system-db(N): setConnectionStatus fail ret = 21 system database is not "
              "open\n");
}

// ---- path lookup ----

class PathLookupTest : public ConnectionsTest {
  protected:
    void SetUp() override {
        ConnectionsTest::SetUp();
        if (HasFatalFailure()) return;
        ConnectionEntry e = Sample("p");
        conn_id_ = Insert(e);
    }
    void AddSession(const std::string& folder, int attribute, uint64_t view_id,
                    uint64_t conn_id = 0) {
        Plant(
            "INSERT INTO session_table (conn_id, share_name, attribute, view_id, sync_folder) "
            "VALUES (" +
            std::to_string(conn_id ? conn_id : conn_id_) + ", 'share', " +
            std::to_string(attribute) + ", " + std::to_string(view_id) + ", " +
            (folder == "NULL" ? folder : "'" + folder + "'") + ");");
    }
    // A PathInfo whose members no lookup would produce.
    static PathInfo Sentinel() {
        PathInfo p;
        p.view_id = 4444;
        p.relative_path = "/sentinel";
        p.connection_entry = Sample("sentinel");
        return p;
    }
    // -1 and path_info exactly as passed.
    void ExpectNoMatch(const char* path) {
        PathInfo p = Sentinel();
        EXPECT_EQ(SystemDB::getPathInfoByPath(path, p), -1) << path;
        EXPECT_EQ(p.view_id, 4444u) << path;
        EXPECT_EQ(p.relative_path, ustring("/sentinel")) << path;
        EXPECT_EQ(p.connection_entry, Sample("sentinel")) << path;
    }
    ustring Relative(const char* path, uint64_t* view = nullptr) {
        PathInfo p = Sentinel();
        int rc = SystemDB::getPathInfoByPath(path, p);
        EXPECT_EQ(rc, 0) << path;
        if (view) *view = p.view_id;
        return rc == 0 ? p.relative_path : ustring("<no match>");
    }

    uint64_t conn_id_ = 0;
};

TEST_F(PathLookupTest, FillsViewConnectionAndRelativePath) {
    AddSession("/home/u/Sync/", SA_ENABLE | SA_USED, 901);
    ASSERT_EQ(SystemDB::setLinkByConnection(conn_id_, 1), 0);

    PathInfo p = Sentinel();
    ASSERT_EQ(SystemDB::getPathInfoByPath("/home/u/Sync/docs/a.txt", p), 0);
    EXPECT_EQ(p.view_id, 901u);
    EXPECT_EQ(p.relative_path, ustring("/docs/a.txt"));

    // The connection's identity, server, proxy and tunnel come from the row;
    // its running state, version and user members keep the caller's values.
    ConnectionEntry expected = AsRead(Sample("p"), conn_id_);
    const ConnectionInfo& sentinel = Sample("sentinel").connection_info;
    expected.connection_info.linked = sentinel.linked;
    expected.connection_info.status = sentinel.status;
    expected.connection_info.error = sentinel.error;
    expected.connection_info.version_info = sentinel.version_info;
    expected.connection_info.user_uid = sentinel.user_uid;
    expected.connection_info.user_gid = sentinel.user_gid;
    expected.connection_info.user_is_admin = sentinel.user_is_admin;
    expected.connection_info.password = sentinel.password;
    EXPECT_EQ(p.connection_entry, expected);

    EXPECT_EQ(Relative("/home/u/Sync/"), ustring("/"));
    ExpectNoMatch("/home/u/Sync");
    ExpectNoMatch("/home/u/Syncing/x");
    ExpectNoMatch("/elsewhere/x");
}

TEST_F(PathLookupTest, AsciiCaseIsIgnoredButWildcardsMatchOnlyThemselves) {
    AddSession("/data/a_b/", SA_ENABLE, 1);
    AddSession("/data/50%/", SA_ENABLE, 2);
    AddSession("/data/back\\slash/", SA_ENABLE, 3);
    AddSession("/data/Caf\xC3\xA9/", SA_ENABLE, 4);

    uint64_t view = 0;
    EXPECT_EQ(Relative("/DATA/A_B/f", &view), ustring("/f"));  // cut from the path itself
    EXPECT_EQ(view, 1u);
    ExpectNoMatch("/data/aXb/f");
    EXPECT_EQ(Relative("/data/50%/x", &view), ustring("/x"));
    EXPECT_EQ(view, 2u);
    ExpectNoMatch("/data/50abc/x");
    ExpectNoMatch("/data/5/x");
    EXPECT_EQ(Relative("/data/back\\slash/z", &view), ustring("/z"));
    EXPECT_EQ(view, 3u);
    ExpectNoMatch("/data/backXslash/z");
    EXPECT_EQ(Relative("/data/CAF\xC3\xA9/m", &view), ustring("/m"));
    EXPECT_EQ(view, 4u);
}

TEST_F(PathLookupTest, OnlyEnabledSessionsWithAFolderMap) {
    AddSession("/off/", SA_USED | SA_IS_HOME, 1);
    ExpectNoMatch("/off/file");

    // An empty or NULL folder would match every path; it maps nothing.
    AddSession("", SA_ENABLE, 2);
    AddSession("NULL", SA_ENABLE, 3);
    ExpectNoMatch("/any/path");
    ExpectNoMatch("");

    // A real folder is still found beside them.
    AddSession("/real/", SA_ENABLE, 4);
    uint64_t view = 0;
    EXPECT_EQ(Relative("/real/f", &view), ustring("/f"));
    EXPECT_EQ(view, 4u);

    // A session whose connection row is gone maps nothing either.
    AddSession("/orphan/", SA_ENABLE, 5, conn_id_ + 99);
    ExpectNoMatch("/orphan/f");
}

TEST_F(PathLookupTest, FlagsCountOnlyAsOneAndQuotesAreSafe) {
    AddSession("/it''s/", SA_ENABLE, 7);  // SQL quoting: the folder is /it's/
    Plant(
        "UPDATE connection_table SET use_ssl = 2, ssl_allow_untrust = 1, use_proxy = 3, "
        "proxy_port = 70000;");
    PathInfo p = Sentinel();
    ASSERT_EQ(SystemDB::getPathInfoByPath("/it's/x'y", p), 0);
    EXPECT_EQ(p.relative_path, ustring("/x'y"));
    EXPECT_FALSE(p.connection_entry.connection_info.use_ssl);
    EXPECT_TRUE(p.connection_entry.connection_info.ssl_allow_untrust);
    EXPECT_FALSE(p.connection_entry.proxy_info.use_proxy);
    EXPECT_EQ(p.connection_entry.proxy_info.proxy_port, 4464);

    ConnectionEntry whole;
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(conn_id_, whole), 0);
    EXPECT_TRUE(whole.connection_info.use_ssl);  // any non-zero value there
    EXPECT_TRUE(whole.proxy_info.use_proxy);
}

TEST_F(PathLookupTest, DebugTraceNamesPathAndStatement) {
    AddSession("/t/", SA_ENABLE, 1);
    Logger::log_level[kComp] = Logger::L_DEBUG;
    testutil::StderrCapture err;
    PathInfo p;
    ASSERT_EQ(SystemDB::getPathInfoByPath("/t/f", p), 0);
    std::string text = testutil::NormalizeLog(err.Stop(), "system-db");
    EXPECT_EQ(text.find("[DEBUG] system-db(N): Getting ConnectionEntry and view id by [/t/f].\n"),
              0u)
        << text;
    EXPECT_NE(text.find("[DEBUG] system-db(N): Getting ConnectionEntry and view id. [SELECT "
                        "s.view_id, s.sync_folder, c.* FROM connection_table AS c"),
              std::string::npos)
        << text;
    // The stored proxy password is decoded, never logged.
    EXPECT_EQ(text.find("px'pass"), std::string::npos);
}

}  // namespace
