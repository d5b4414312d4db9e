// Connections, the path lookup and the settings, against rows planted and read back.
#include <gtest/gtest.h>

#include <functional>
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
using dbtest::Stored;

// Two rows that differ in every column; a_ and b_ as the reader gives them.
class ConnectionsTest : public SystemDBFixture {
  protected:
    void SetUp() override {
        SystemDBFixture::SetUp();
        Plant(
            "INSERT INTO connection_table VALUES (1, 2, 'nas''a', 'ip''a', 5001, 'relay', "
            "'O''Brien', 'orb''a', 'sess', 42, 'desk', 1, 0, 1, 'px''a', 3128, 'pu''a', '" +
            Stored("pw'a") +
            "', 'dom''a', 'host''a', 0, 'tun''a', 443, 1, 6, -3, 5000000000, 7, 2, 0, "
            "4000000000, 1001, 0), (2, 3, 'nas-b', 'ip-b', 6001, 'direct', 'bob', 'orb-b', "
            "'sess-b', 43, 'lap', 0, 1, 0, 'px-b', 8080, 'pu-b', '" +
            Stored("pw-b") +
            "', 'dom-b', 'host-b', 1, 'tun-b', 22, 0, 1, -4, 80000, 8, 1, 1, 5, 6, 1);");
        a_.connection_info.password = "never stored, so never read";
        ASSERT_EQ(SystemDB::getConnectionEntryByConnID(1, a_), 0);
        ASSERT_EQ(SystemDB::getConnectionEntryByConnID(2, b_), 0);
    }
    ConnectionEntry a_, b_;
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
    ConnectionInfo by_id = b_.connection_info, by_orb = by_id;
    ASSERT_EQ(SystemDB::getConnectionInfoById(1, by_id), 0);
    ASSERT_EQ(SystemDB::getConnectionInfoByORBID("orb'a", by_orb), 0);
    EXPECT_EQ(std::tie(by_id, by_orb), std::tie(a_.connection_info, a_.connection_info));
    std::list<ConnectionEntry> linked(3), all(3);
    ASSERT_EQ(SystemDB::getLinkedConnectionEntryList(linked), 0);
    ASSERT_EQ(SystemDB::getConnectionEntryList(all), 0);
    EXPECT_EQ(std::tie(linked, all), std::make_tuple(std::list{a_}, std::list{a_, b_}));

    Logger::log_level[dbtest::kComponent] = Logger::L_INFO;  // not found: -1, untouched, a note
    Log log;
    ConnectionEntry entry = b_;
    ConnectionInfo info = b_.connection_info;
    EXPECT_EQ(SystemDB::getConnectionEntryByConnID(5, entry), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoById(5, info), -1);
    EXPECT_EQ(SystemDB::getConnectionInfoByORBID("ORB'A", info), -1);  // exact bytes
    EXPECT_EQ(std::tie(entry, info), std::tie(b_, b_.connection_info));
    const std::string gone = "[INFO] system-db(N): connection 5 does not exit\n";
    EXPECT_EQ(log.Text(), gone + gone + "[INFO] system-db(N): orb_id ORB'A is not found\n");
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

// An insert stores every column it owns (the proxy password obfuscated),
// the others take their defaults; an update rewrites every row of the orb_id
// but its identity and state.
TEST_F(ConnectionsTest, InsertAndUpdateStoreEveryColumnTheyOwn) {
    const std::string rows = "SELECT * FROM connection_table WHERE id > 1";
    ConnectionEntry entry = b_;
    ASSERT_EQ(
        SystemDB::setConnectionEntry(entry.connection_info, entry.proxy_info, entry.tunnel_info),
        0);
    EXPECT_EQ(entry.connection_info.conn_id, 3u);
    const std::string b_values =
        "|nas-b|ip-b|6001|direct|bob|orb-b|sess-b|43|lap|0|1|0|px-b|8080|pu-b|" + Stored("pw-b") +
        "|dom-b|host-b|1|tun-b|22|";
    EXPECT_EQ(Dump(rows), "2|3" + b_values + "0|1|-4|80000|8|1|1|5|6|1\n3|3" + b_values +
                              "0|0|0|80000|8|1|1|0|0|1\n");

    entry = a_;
    entry.connection_info.orb_id = "orb-b";
    entry.connection_info.conn_id = 0;
    ASSERT_EQ(
        SystemDB::updateConnectionEntry(entry.connection_info, entry.proxy_info, entry.tunnel_info),
        0);
    EXPECT_EQ(entry.connection_info.conn_id, 2u);
    const std::string a_values =
        "|nas'a|ip'a|5001|relay|bob|orb-b|sess|42|desk|1|0|1|px'a|3128|pu'a|" + Stored("pw'a") +
        "|dom'a|host'a|0|tun'a|443|";
    const std::string after = "2|2" + a_values + "0|1|-4|5000000000|7|2|0|5|6|1\n3|2" + a_values +
                              "0|0|0|5000000000|7|2|0|0|0|1\n";
    EXPECT_EQ(Dump(rows), after);
    entry.connection_info.orb_id = "no such orb";
    entry.connection_info.conn_id = 42;
    Log log;
    EXPECT_EQ(
        SystemDB::updateConnectionEntry(entry.connection_info, entry.proxy_info, entry.tunnel_info),
        -1);
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get id for last update connection\n");
    EXPECT_EQ(entry.connection_info.conn_id, 42u);
    EXPECT_EQ(Dump(rows), after);
}

// Each single-column write changes its columns of its row only; deleting a
// connection keeps its sessions; clearing keeps the release version.
TEST_F(ConnectionsTest, SingleColumnWritesDeletionAndClearing) {
    VersionInfo version;
    version.build_number = 2147483648L;
    version.major = 9;
    version.minor = 3;
    const std::string columns =
        "SELECT id, status, error, linked, use_ssl, user_uid, user_gid, user_is_admin, "
        "package_version, major, minor FROM connection_table";
    const std::string row_2 = "2|1|-4|0|0|5|6|1|80000|8|1\n";
    EXPECT_EQ(SystemDB::setConnectionStatus(1, 2), 0);
    EXPECT_EQ(SystemDB::setConnectionErr(1, -8), 0);
    EXPECT_EQ(SystemDB::setLinkByConnection(1, 0), 0);
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(1, false), 0);
    EXPECT_EQ(SystemDB::updateUserInfo(1, 4000000002u, 7, true), 0);
    EXPECT_EQ(SystemDB::setPackageVersion(1, version), 0);
    EXPECT_EQ(Dump(columns), "1|2|-8|0|0|4000000002|7|1|2147483648|9|3\n" + row_2);
    EXPECT_EQ(SystemDB::setSSLEnableByConnID(1, true), 0);
    EXPECT_EQ(SystemDB::updateUserInfo(1, 1, 2, false), 0);
    EXPECT_EQ(Dump(columns), "1|2|-8|0|1|1|2|0|2147483648|9|3\n" + row_2);
    Plant("INSERT INTO session_table (conn_id) VALUES (1);");
    EXPECT_EQ(SystemDB::deleteConnection(1), 0);
    EXPECT_EQ(Dump(columns), row_2);
    EXPECT_EQ(Dump("SELECT count(*) FROM session_table"), "1\n") << "its sessions stay";

    int none = 7, linked = 7;
    ASSERT_EQ(SystemDB::checkLinked(none), 0);  // no key: 0
    Plant("INSERT INTO system_table VALUES ('linked', '3');");
    ASSERT_EQ(SystemDB::checkLinked(linked), 0);
    EXPECT_EQ(Numbers(none, linked), "0 3 ");
    ASSERT_EQ(SystemDB::clearSystemDB(), 0);
    EXPECT_EQ(Dump("SELECT (SELECT count(*) FROM connection_table) + (SELECT count(*) FROM "
                   "session_table), * FROM system_table"),
              "0|release_version|13\n");
}

// Of the linked connections whose status is not 2 and whose error is not
// excluded, ascending and 64-bit; one connection's version by id.
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
    ASSERT_EQ(SystemDB::getPackageVersion(8, version), 0);
    EXPECT_EQ(Numbers(version.build_number, version.major, version.minor), "5000000000 3 4 ");
    Log log;
    EXPECT_EQ(SystemDB::getPackageVersion(9, version), -1);
    EXPECT_EQ(version.build_number, 5000000000L);
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get package_version for conn_id [9].\n");
}

// ASCII letters fold, "%", "_" and "\" match only themselves; disabled,
// empty, NULL or orphan folders map nothing. The record keeps the state
// members it held; its flags count only when 1, unlike the whole row's.
TEST_F(ConnectionsTest, PathLookupMapsAPathToItsSessionAndConnection) {
    Plant(
        "INSERT INTO session_table (conn_id, attribute, view_id, sync_folder) VALUES "
        "(1, 7, 901, '/home/u/Sync/'), (1, 4, 1, '/DATA/a_b/'), (1, 4, 2, '/data/50%/'), "
        "(1, 4, 3, '/data/back\\slash/'), (1, 4, 4, '/data/Caf\xC3\xA9/'), (1, 4, 5, "
        "'/it''s/'), (1, 3, 6, '/off/'), (1, 4, 7, ''), (1, 4, 8, NULL), (9, 4, 9, '/orphan/');");
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
    for (const Case& row :
         {Case{"/home/u/Sync/", 901, "/"}, Case{"/data/A_B/f", 1, "/f"},
          Case{"/data/50%/x", 2, "/x"}, Case{"/data/back\\slash/z", 3, "/z"},
          Case{"/data/CAF\xC3\xA9/m", 4, "/m"}, Case{"/it's/x'y", 5, "/x'y"},
          Case{"/home/u/Sync", 0, ""}, Case{"/home/u/Syncing/x", 0, ""}, Case{"/data/aXb/f", 0, ""},
          Case{"/data/50abc/x", 0, ""}, Case{"/data/backXslash/z", 0, ""}, Case{"/off/f", 0, ""},
          Case{"/any/path", 0, ""}, Case{"", 0, ""}, Case{"/orphan/f", 0, ""}}) {
        PathInfo lookup = found;
        EXPECT_EQ(SystemDB::getPathInfoByPath(row.path, lookup), row.view ? 0 : -1) << row.path;
        EXPECT_EQ(lookup.view_id, row.view ? row.view : found.view_id) << row.path;
        EXPECT_EQ(lookup.relative_path, row.view ? ustring(row.relative_path) : found.relative_path)
            << row.path;
        EXPECT_EQ(lookup.connection_entry, found.connection_entry) << row.path;
    }

    Plant(
        "UPDATE connection_table SET use_ssl = 2, ssl_allow_untrust = 3, use_proxy = -1, "
        "use_system_proxy = 2, use_tunnel = 5, user_is_admin = 2 WHERE id = 1;");
    ConnectionEntry whole_row;
    ASSERT_EQ(SystemDB::getPathInfoByPath("/it's/", found), 0);
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(1, whole_row), 0);
    auto flags = [](const ConnectionEntry& entry) {
        const ConnectionInfo& info = entry.connection_info;
        return Numbers(info.use_ssl, info.ssl_allow_untrust, entry.proxy_info.use_proxy,
                       entry.proxy_info.use_sys_proxy, entry.tunnel_info.use_tunnel);
    };
    EXPECT_EQ(flags(found.connection_entry), "0 0 0 0 0 ") << "the lookup's flags";
    EXPECT_EQ(flags(whole_row), "1 1 1 1 1 ") << "the whole row's flags";
    EXPECT_TRUE(whole_row.connection_info.user_is_admin);
}

// Each setting is a key of its own, read back into exactly its field; flags
// are true for 1 only, absent or NULL keys change nothing.
TEST_F(ConnectionsTest, SettingsAreStoredAsKeysAndReadBack) {
    GeneralOptions written;
    written.enable_iconoverlay = false;
    written.enable_startup = false;
    written.use_bw_icon = true;
    written.sync_mode = -7;
    written.open_folder = "/home/o'neil";
    ASSERT_EQ(SystemDB::setGeneralOptions(written), 0);
    ASSERT_EQ(SystemDB::setComputername("Bob's PC"), 0);
    ASSERT_EQ(SystemDB::setLanguageOptions("de"), 0);
    ASSERT_EQ(SystemDB::setTargetClientVersion(4294967313L), 0);
    EXPECT_EQ(Dump("SELECT group_concat(key || '=' || value || ':' || typeof(value), ' ') FROM "
                   "(SELECT * FROM system_table ORDER BY key)"),
              "computer_name=Bob's PC:text enable_desktop_notification=1:text "
              "enable_iconoverlay=0:text enable_startup=0:text language=de:text "
              "open_folder=/home/o'neil:text release_version=13:text sync_mode=-7:text "
              "target_client_version=4294967313:text use_black_white_icon=1:text\n");
    EXPECT_EQ(Dump("SELECT DISTINCT computer_name FROM connection_table"), "Bob's PC\n");
    GeneralOptions read_back;  // each field the opposite of what was written
    read_back.enable_desktop_notification = false;
    ASSERT_EQ(SystemDB::getGeneralOptions(read_back), 0);
    auto options = [](const GeneralOptions& read) {
        return Numbers(read.enable_desktop_notification, read.enable_iconoverlay,
                       read.enable_startup, read.use_bw_icon, read.sync_mode) +
               read.open_folder.c_str_utf8();
    };
    EXPECT_EQ(options(read_back), "1 0 0 1 -7 /home/o'neil");
    Plant(
        "UPDATE system_table SET value = 2 WHERE key = 'enable_desktop_notification';"
        "DELETE FROM system_table WHERE key IN ('enable_startup', 'open_folder');"
        "INSERT INTO system_table VALUES (NULL, 'x'), ('Sync_Mode', 8);");
    read_back.enable_startup = true;
    read_back.open_folder = "mine";
    ASSERT_EQ(SystemDB::getGeneralOptions(read_back), 0);
    EXPECT_EQ(options(read_back), "0 0 1 1 -7 mine");

    long version = 0;
    ASSERT_EQ(SystemDB::getTargetClientVersion(version), 0);
    EXPECT_EQ(version, 4294967313L);
    Plant("DELETE FROM system_table WHERE key = 'target_client_version'");
    Log log;
    EXPECT_EQ(SystemDB::getTargetClientVersion(version), -1);
    EXPECT_EQ(version, 4294967313L);  // untouched
    EXPECT_EQ(log.Text(), "[ERROR] system-db(N): cannnot get getTargetClientVersion\n");
    ustring query_time = "stale";
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(query_time), 0);
    EXPECT_EQ(query_time, ustring(""));  // no time yet
    ASSERT_EQ(SystemDB::setLastUpdateQueryTime("2026-12-06 'noon'"), 0);
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(query_time), 0);
    EXPECT_EQ(query_time, ustring("2026-12-06 'noon'"));
}

// The user's own proxy: stored obfuscated, read back whole; a row without a
// key resets what was read before it.
TEST_F(ConnectionsTest, TheUserProxyIsStoredObfuscatedAndReadBack) {
    ASSERT_EQ(SystemDB::setUserProxyInfo(b_.proxy_info), 0);
    EXPECT_EQ(Dump("SELECT group_concat(value, '|') FROM system_table WHERE key LIKE 'user_%'"),
              "1|0|px-b|8080|dom-b|host-b|pu-b|" + Stored("pw-b") + "\n");
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
