// Connections, updates that miss, the path lookup and the settings.
#include <gtest/gtest.h>

#include <list>
#include <ostream>
#include <string>
#include <tuple>

#include "db_fixture.h"

void PrintTo(const ConnectionEntry& entry, std::ostream* os) {
    *os << entry.toString();
}

namespace {

using dbtest::Log;
using dbtest::Numbers;

class ConnectionsTest : public SystemDBFixture {
  protected:
    void SetUp() override {
        SystemDBFixture::SetUp();
        PlantConnections();
    }
};

TEST_F(ConnectionsTest, ReadersDecodeEveryColumn) {
    EXPECT_EQ(a_.toString(),
              "ConnectionEntry{ConnectionInfo{conn_id=1, c_mode=2, server_name='nas'a', "
              "server_ip='ip'a', server_port=5001, farlink_mode='relay', username='O'Brien', "
              "password=(empty), orb_id='orb'a', session=********, protocol_version=42, "
              "computer_name='desk', linked=1, use_ssl=1, ssl_allow_untrust=0, "
              "version=7.2.5000000000, status=6, error=-3, user_uid=4000000000, user_gid=1001, "
              "user_is_admin=0}, ProxyInfo{use_proxy=0, use_sys_proxy=1, proxy_ip='px'a', "
              "proxy_port=3128, user_name='pu'a', password=********, domain='dom'a', "
              "host='host'a'}, TunnelInfo{use_tunnel=0, tunnel_ip='tun'a', tunnel_port=443}}");
    EXPECT_EQ(a_.proxy_info.password + b_.proxy_info.password, "pw'apw-b");
    ConnectionInfo by_orb = b_.connection_info;
    ASSERT_EQ(SystemDB::getConnectionInfoByORBID("orb'a", by_orb), 0);
    EXPECT_EQ(by_orb, a_.connection_info);
    std::list<ConnectionEntry> linked(3), all(3);
    ASSERT_EQ(SystemDB::getLinkedConnectionEntryList(linked), 0);
    ASSERT_EQ(SystemDB::getConnectionEntryList(all), 0);
    EXPECT_EQ(std::tie(linked, all), std::make_tuple(std::list{a_}, std::list{a_, b_}));

    Logger::log_level[dbtest::kComponent] = Logger::L_INFO;  // not found: -1, untouched, a note
    Log log;
    ConnectionEntry entry = b_;
    ConnectionInfo info = b_.connection_info;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(5, entry), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("ORB'A", info), -1);  // exact bytes
    EXPECT_EQ(std::tie(entry, info), std::tie(b_, b_.connection_info));
    EXPECT_EQ(log.Text(),
              "[INFO] system-db(N): connection 5 does not exit\n[INFO] system-db(N): "
              "orb_id ORB'A is not found\n");
}

// A new record asks for SSL, refuses untrusted certificates and grants no
// admin rights; clear() brings a filled one back to it, its version aside.
TEST_F(ConnectionsTest, ANewOrClearedRecordTrustsNothing) {
    const ConnectionInfo fresh;
    EXPECT_EQ(Numbers(fresh.use_ssl, fresh.ssl_allow_untrust, fresh.user_is_admin), "1 0 0 ");
    ConnectionInfo cleared = a_.connection_info;
    cleared.password = "a password the reader never fills";
    cleared.clear();
    cleared.version_info = VersionInfo();  // which clearing leaves alone
    EXPECT_EQ(cleared, fresh);
    TunnelInfo tunnel;
    tunnel.use_tunnel = true;
    tunnel.tunnel_ip = "tunnel";
    tunnel.tunnel_port = 22;
    tunnel.clear();
    EXPECT_TRUE(!tunnel.use_tunnel && tunnel.tunnel_ip.empty() && tunnel.tunnel_port == 0)
        << "a cleared tunnel still says " << tunnel.toString();
}

// A row changed in any one column reads back as a record that compares unequal.
TEST_F(ConnectionsTest, EveryColumnReachesTheRecordAndItsComparison) {
    Plant(
        "INSERT INTO session_table VALUES (1, 5, 'share', 5, 0, 10, 2, -3, 3, '/f/', 1);"
        "CREATE TABLE kept_connection_table AS SELECT * FROM connection_table WHERE id = 1;"
        "CREATE TABLE kept_session_table AS SELECT * FROM session_table;");
    SessionInfo original_session, session;
    ConnectionEntry entry;
    ASSERT_EQ(SystemDB::getSessionInfoBySessionID(1, original_session), 0);
    for (std::string table : {"connection_table", "session_table"}) {
        for (const auto& row : testutil::QueryRows(
                 db_, "SELECT name FROM pragma_table_info('" + table + "') WHERE name <> 'id'")) {
            const std::string& column = row[0];
            // Columns no session record holds.
            if (table == "session_table" &&
                (column == "ctime" || column == "status" || column == "error"))
                continue;
            Plant("UPDATE " + table + " SET " + column + " = CASE WHEN typeof(" + column +
                  ") = 'text' THEN " + column + " || 'x' ELSE " + column +
                  " = 0 END WHERE id = 1;");
            ASSERT_EQ(SystemDB::getConnectionEntryByConnID(1, entry), 0);
            ASSERT_EQ(SystemDB::getSessionInfoBySessionID(1, session), 0);
            EXPECT_FALSE(entry == a_ && session == original_session) << column << " not read";
            Plant("UPDATE " + table + " SET " + column + " = (SELECT " + column + " FROM kept_" +
                  table + ");");
        }
    }
}

// An update that matches no row fails with its entry, keeps the id it held
// and changes no row; the rows to miss differ in view, connection and share.
TEST_F(ConnectionsTest, AnUpdateThatMatchesNoRowFailsAndKeepsItsId) {
    Plant("INSERT INTO session_table (id, conn_id, share_name) VALUES (1, 1, 'home')");
    const dbtest::Contents unchanged = Read();
    for (SessionInfo miss : {SessionInfo{55, "home", 4, 14, 0, 0, "/x", 1, PERM_ALL},
                             SessionInfo{55, "home", 4, 0, 0, 0, "/x", 3, PERM_ALL},
                             SessionInfo{55, "hom", 4, 0, 0, 0, "/x", 1, PERM_ALL}}) {
        Log log;
        EXPECT_EQ(SystemDB::updateSessionInfo(miss), -1) << miss.share_name << miss.view_id;
        EXPECT_EQ(log.Text(), dbtest::kError + "cannnot get id for last update session\n");
        EXPECT_EQ(miss.session_id, 55u) << "a missed update changed the id";
    }
    ConnectionEntry moved = b_;
    moved.connection_info.orb_id = "no such orb";
    Log log;
    EXPECT_EQ(
        SystemDB::updateConnectionEntry(moved.connection_info, moved.proxy_info, moved.tunnel_info),
        -1);
    EXPECT_EQ(log.Text(), dbtest::kError + "cannnot get id for last update connection\n");
    EXPECT_EQ(moved.connection_info.conn_id, 2u) << "a missed update changed the id";
    EXPECT_EQ(dbtest::Changes(unchanged, Read()), "") << "a missed update changed rows";
}

// Of the linked connections whose status is not 2 and whose error is not
// excluded, ascending and 64-bit; a missing connection has no version.
TEST_F(ConnectionsTest, PackageVersionsAreFilteredSortedAndWhole) {
    Plant(
        "DELETE FROM connection_table; INSERT INTO connection_table (id, package_version, major, "
        "minor, linked, status, error) VALUES (1, 300, 1, 2, 1, 0, 0), (2, 100, 1, 2, 1, 1, -2), "
        "(3, 300, 1, 2, 1, 0, 0), (4, 50, 1, 2, 0, 0, 0), (5, 60, 1, 2, 1, 2, 0), (6, 70, 1, 2, "
        "1, 0, -1), (7, 80, 1, 2, 1, 0, -4), (8, 5000000000, 3, 4, 1, 0, 0);");
    std::list<long> versions = {1, 2, 3};
    ASSERT_EQ(SystemDB::getPackageVersionList({-1, -4}, versions), 0);
    EXPECT_EQ(versions, (std::list<long>{100, 300, 300, 5000000000L}));
    ASSERT_EQ(SystemDB::getPackageVersionList({}, versions), 0);
    EXPECT_EQ(versions, (std::list<long>{70, 80, 100, 300, 300, 5000000000L}));
    VersionInfo version;
    version.build_number = 5000000000L;
    Log log;
    EXPECT_EQ(SystemDB::getPackageVersion(9, version), -1);
    EXPECT_EQ(version.build_number, 5000000000L) << "a missing connection changed the version";
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get package_version for conn_id [9].\n");
}

// A folder maps the paths beneath it, ASCII letters folded and "_" only
// itself; disabled, empty, NULL or orphan folders map nothing. The record
// keeps the state members it held; its flags count only when 1.
TEST_F(ConnectionsTest, PathLookupMapsAPathToItsSessionAndConnection) {
    Plant(
        "INSERT INTO session_table (conn_id, attribute, view_id, sync_folder) VALUES "
        "(1, 7, 901, '/home/u/Sync/'), (1, 4, 1, '/DATA/a_b/'), (1, 3, 6, '/off/'), (1, 4, 7, ''), "
        "(1, 4, 8, NULL), (9, 4, 9, '/orphan/');");
    PathInfo found;
    found.view_id = 4444;
    found.relative_path = "/sentinel";
    found.connection_entry = b_;
    ASSERT_EQ(SystemDB::getPathInfoByPath("/home/u/Sync/docs/a.txt", found), 0);
    ConnectionEntry expected = a_;
    ConnectionInfo& info = expected.connection_info;
    const ConnectionInfo& kept = b_.connection_info;
    std::tie(info.linked, info.status, info.error, info.version_info, info.user_uid, info.user_gid,
             info.user_is_admin) = std::tie(kept.linked, kept.status, kept.error, kept.version_info,
                                            kept.user_uid, kept.user_gid, kept.user_is_admin);
    EXPECT_EQ(found.connection_entry, expected);
    EXPECT_EQ(found.relative_path, ustring("/docs/a.txt"));

    struct Case {
        const char* path;
        uint64_t view;  // 0: no session
        const char* relative_path;
    };
    for (const Case& row : {Case{"/home/u/Sync/", 901, "/"}, Case{"/data/A_B/f", 1, "/f"},
                            Case{"/home/u/Syncing/x", 0, ""}, Case{"/data/aXb/f", 0, ""},
                            Case{"/off/f", 0, ""}, Case{"/orphan/f", 0, ""}}) {
        PathInfo lookup = found;
        EXPECT_EQ(SystemDB::getPathInfoByPath(row.path, lookup), row.view ? 0 : -1) << row.path;
        EXPECT_EQ(lookup.view_id, row.view ? row.view : found.view_id) << row.path;
        EXPECT_EQ(lookup.relative_path, row.view ? ustring(row.relative_path) : found.relative_path)
            << row.path;
        EXPECT_EQ(lookup.connection_entry, found.connection_entry) << row.path;
    }

    Plant("UPDATE connection_table SET use_ssl = 2 WHERE id = 1;");
    ConnectionEntry whole_row;
    ASSERT_EQ(SystemDB::getPathInfoByPath("/home/u/Sync/", found), 0);
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(1, whole_row), 0);
    EXPECT_FALSE(found.connection_entry.connection_info.use_ssl) << "a lookup's flag of 2 counted";
    EXPECT_TRUE(whole_row.connection_info.use_ssl) << "a whole row's flag of 2 did not count";
}

// Each setting is a key of its own, read into exactly its field; flags are
// true for 1 only, absent keys and NULL keys change nothing.
TEST_F(ConnectionsTest, SettingsAreReadFromTheirOwnKeys) {
    Plant(
        "INSERT INTO system_table VALUES ('enable_desktop_notification', '1'), "
        "('enable_iconoverlay', '0'), ('enable_startup', '0'), ('use_black_white_icon', '1'), "
        "('sync_mode', '-7'), ('open_folder', '/home/o''neil'), ('target_client_version', "
        "'4294967313'), ('last_query_time', '2026-12-06 ''noon''');");
    GeneralOptions read_back;  // each field the opposite of what is stored
    read_back.enable_desktop_notification = false;
    ASSERT_EQ(SystemDB::getGeneralOptions(read_back), 0);
    auto options = [](const GeneralOptions& read) {
        return Numbers(read.enable_desktop_notification, read.enable_iconoverlay,
                       read.enable_startup, read.use_bw_icon, read.sync_mode) +
               read.open_folder.c_str_utf8();
    };
    EXPECT_EQ(options(read_back), "1 0 0 1 -7 /home/o'neil");
    ustring query_time = "stale";
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(query_time), 0);
    EXPECT_EQ(query_time, ustring("2026-12-06 'noon'"));
    long version = 0;
    ASSERT_EQ(SystemDB::getTargetClientVersion(version), 0);
    EXPECT_EQ(version, 4294967313L);

    Plant(
        "UPDATE system_table SET value = 2 WHERE key = 'enable_desktop_notification';"
        "DELETE FROM system_table WHERE key IN ('enable_startup', 'open_folder', "
        "'target_client_version', 'last_query_time');"
        "INSERT INTO system_table VALUES (NULL, 'x'), ('Sync_Mode', 8);");
    read_back.enable_startup = true;
    read_back.open_folder = "mine";
    ASSERT_EQ(SystemDB::getGeneralOptions(read_back), 0);
    EXPECT_EQ(options(read_back), "0 0 1 1 -7 mine");
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(query_time), 0);
    EXPECT_EQ(query_time, ustring("")) << "no time yet";
    Log log;
    EXPECT_EQ(SystemDB::getTargetClientVersion(version), -1);
    EXPECT_EQ(version, 4294967313L) << "a missing version changed the output";
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get getTargetClientVersion\n");

    int none = 7, linked = 7;
    ASSERT_EQ(SystemDB::checkLinked(none), 0);  // no key: 0
    Plant("INSERT INTO system_table VALUES ('linked', '3');");
    ASSERT_EQ(SystemDB::checkLinked(linked), 0);
    EXPECT_EQ(Numbers(none, linked), "0 3 ");
}

// The user's own proxy is read back whole, its password decoded; a row
// without a key resets what was read before it.
TEST_F(ConnectionsTest, TheUserProxyIsReadFromItsKeys) {
    ASSERT_EQ(SystemDB::setUserProxyInfo(b_.proxy_info), 0);
    ProxyInfo proxy = a_.proxy_info;
    ASSERT_EQ(SystemDB::getUserProxyInfo(proxy), 0);
    EXPECT_EQ(proxy, b_.proxy_info);
    Plant(
        "DELETE FROM system_table WHERE key = 'user_proxy_host';"
        "INSERT INTO system_table VALUES (NULL, 'x'), ('user_proxy_host', 'after');");
    Log log;
    ASSERT_EQ(SystemDB::getUserProxyInfo(proxy), 0);
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): get proxy info failed, use default setting\n");
    EXPECT_EQ(proxy.toString(),
              "ProxyInfo{use_proxy=0, use_sys_proxy=0, proxy_ip='', proxy_port=0, "
              "user_name='', password=(empty), domain='', host='after'}");
}

}  // namespace
