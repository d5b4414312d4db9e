// The settings rows of system_table, checked against what the file holds.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <regex>
#include <string>

#include "db_fixture.h"
#include "logger.h"
#include "system-db.h"
#include "test_support.h"
#include "utility.h"

namespace {

const ustring kComp("system_db_debug");
using testutil::QueryRows;

class SettingsTest : public SystemDBFixture {
  protected:
    // The stored value and its SQL type, e.g. {"1", "text"}.
    std::vector<std::string> Stored(const std::string& key) {
        testutil::Rows rows = QueryRows(
            db_, "SELECT value, typeof(value) FROM system_table WHERE key = '" + key + "'");
        return rows.size() == 1
                   ? rows[0]
                   : std::vector<std::string>{"<" + std::to_string(rows.size()) + " rows>"};
    }
    testutil::Rows Table() { return QueryRows(db_, "SELECT * FROM system_table ORDER BY key"); }
};

ProxyInfo SampleProxy() {
    ProxyInfo p;
    p.use_proxy = true;
    p.use_sys_proxy = false;
    p.proxy_ip = "10.1.'2.3";
    p.proxy_port = 3128;
    p.user_name = "d'Artagnan";
    p.password = "Pa'ss w0rd!";
    p.domain = "CORP'";
    p.host = "gate'way";
    return p;
}

TEST(GeneralOptionsTest, DefaultsOfANewInstallation) {
    GeneralOptions g;
    EXPECT_TRUE(g.enable_desktop_notification);
    EXPECT_TRUE(g.enable_iconoverlay);
    EXPECT_TRUE(g.enable_startup);
    EXPECT_FALSE(g.use_bw_icon);
    EXPECT_EQ(g.sync_mode, 0);
    EXPECT_TRUE(g.open_folder.empty());
}

TEST_F(SettingsTest, GeneralOptionsRoundTripAsText) {
    GeneralOptions g;
    g.enable_desktop_notification = false;
    g.enable_iconoverlay = true;
    g.enable_startup = true;
    g.use_bw_icon = true;
    g.sync_mode = -7;
    g.open_folder = "/home/o'neil/Sync";
    ASSERT_EQ(SystemDB::setGeneralOptions(g), 0);

    // VARCHAR affinity: every value is stored as text, quoted or not.
    EXPECT_EQ(Stored("enable_desktop_notification"), (std::vector<std::string>{"0", "text"}));
    EXPECT_EQ(Stored("enable_iconoverlay"), (std::vector<std::string>{"1", "text"}));
    EXPECT_EQ(Stored("enable_startup"), (std::vector<std::string>{"1", "text"}));
    EXPECT_EQ(Stored("use_black_white_icon"), (std::vector<std::string>{"1", "text"}));
    EXPECT_EQ(Stored("sync_mode"), (std::vector<std::string>{"-7", "text"}));
    EXPECT_EQ(Stored("open_folder"), (std::vector<std::string>{"/home/o'neil/Sync", "text"}));

    GeneralOptions back;
    back.enable_desktop_notification = true;
    back.enable_iconoverlay = false;
    back.enable_startup = false;
    back.use_bw_icon = false;
    back.sync_mode = 99;
    back.open_folder = "other";
    ASSERT_EQ(SystemDB::getGeneralOptions(back), 0);
    EXPECT_FALSE(back.enable_desktop_notification);
    EXPECT_TRUE(back.enable_iconoverlay);
    EXPECT_TRUE(back.enable_startup);
    EXPECT_TRUE(back.use_bw_icon);
    EXPECT_EQ(back.sync_mode, -7);
    EXPECT_EQ(back.open_folder, ustring("/home/o'neil/Sync"));

    // A second write replaces the rows rather than adding to them.
    g.sync_mode = 2;
    ASSERT_EQ(SystemDB::setGeneralOptions(g), 0);
    EXPECT_EQ(Stored("sync_mode"), (std::vector<std::string>{"2", "text"}));
    EXPECT_EQ(Table().size(), 7u);  // six keys and release_version
}

TEST_F(SettingsTest, GeneralOptionsReaderLeavesAbsentKeysAndOnlyOneIsTrue) {
    GeneralOptions g;
    g.enable_iconoverlay = true;
    g.sync_mode = 5;
    g.open_folder = "keep";
    ASSERT_EQ(SystemDB::getGeneralOptions(g), 0);  // no general keys at all
    EXPECT_TRUE(g.enable_iconoverlay);
    EXPECT_EQ(g.sync_mode, 5);
    EXPECT_EQ(g.open_folder, ustring("keep"));

    Plant(
        "INSERT INTO system_table VALUES ('enable_iconoverlay', 2);"
        "INSERT INTO system_table VALUES (NULL, 'a row without a key');"
        "INSERT INTO system_table VALUES ('Sync_Mode', 8);");  // keys are case-sensitive
    ASSERT_EQ(SystemDB::getGeneralOptions(g), 0);
    EXPECT_FALSE(g.enable_iconoverlay);
    EXPECT_EQ(g.sync_mode, 5);
}

TEST_F(SettingsTest, TargetClientVersionIs64BitAndMissingIsAnError) {
    long v = 123;
    testutil::StderrCapture err;
    EXPECT_EQ(SystemDB::getTargetClientVersion(v), -1);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[ERROR] system-db(N): cannnot get getTargetClientVersion\n");
    EXPECT_EQ(v, 123);

    ASSERT_EQ(SystemDB::setTargetClientVersion(4294967296L + 17), 0);
    EXPECT_EQ(Stored("target_client_version"), (std::vector<std::string>{"4294967313", "text"}));
    ASSERT_EQ(SystemDB::getTargetClientVersion(v), 0);
    EXPECT_EQ(v, 4294967313L);
    ASSERT_EQ(SystemDB::setTargetClientVersion(-5), 0);
    ASSERT_EQ(SystemDB::getTargetClientVersion(v), 0);
    EXPECT_EQ(v, -5);
}

TEST_F(SettingsTest, ComputerNameAndLanguage) {
    Plant(
        "INSERT INTO connection_table (server_name, computer_name) VALUES ('a', 'old');"
        "INSERT INTO connection_table (server_name, computer_name) VALUES ('b', 'older');");
    ASSERT_EQ(SystemDB::setComputername("Bob's PC"), 0);
    EXPECT_EQ(Stored("computer_name"), (std::vector<std::string>{"Bob's PC", "text"}));
    EXPECT_EQ(QueryRows(db_, "SELECT computer_name FROM connection_table"),
              (testutil::Rows{{"Bob's PC"}, {"Bob's PC"}}));

    ASSERT_EQ(SystemDB::setLanguageOptions("fr_CA'"), 0);
    ASSERT_EQ(SystemDB::setLanguageOptions("de"), 0);
    EXPECT_EQ(Stored("language"), (std::vector<std::string>{"de", "text"}));
}

TEST_F(SettingsTest, UserProxyStoresThePasswordOnlyObfuscated) {
    ProxyInfo p = SampleProxy();
    ASSERT_EQ(SystemDB::setUserProxyInfo(p), 0);
    EXPECT_EQ(Stored("user_use_proxy")[0], "1");
    EXPECT_EQ(Stored("user_use_sys_proxy")[0], "0");
    EXPECT_EQ(Stored("user_proxy_ip")[0], "10.1.'2.3");
    EXPECT_EQ(Stored("user_proxy_port")[0], "3128");
    EXPECT_EQ(Stored("user_proxy_domain")[0], "CORP'");
    EXPECT_EQ(Stored("user_proxy_host")[0], "gate'way");
    EXPECT_EQ(Stored("user_proxy_user")[0], "d'Artagnan");
    std::string stored = Stored("user_proxy_pass")[0];
    std::string expected;
    SyncPassEnc("Pa'ss w0rd!", expected);
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(stored.find("w0rd"), std::string::npos);
    EXPECT_EQ(QueryRows(db_, "SELECT key FROM system_table WHERE instr(value, 'w0rd')").size(), 0u);

    ProxyInfo back;
    ASSERT_EQ(SystemDB::getUserProxyInfo(back), 0);
    EXPECT_EQ(back, p);

    // An empty password is stored as the empty text.
    p.password = "";
    ASSERT_EQ(SystemDB::setUserProxyInfo(p), 0);
    EXPECT_EQ(Stored("user_proxy_pass"), (std::vector<std::string>{"", "text"}));
    ASSERT_EQ(SystemDB::getUserProxyInfo(back), 0);
    EXPECT_EQ(back.password, "");
}

TEST_F(SettingsTest, UserProxyReaderOddities) {
    // No proxy keys: the caller's values stay.
    ProxyInfo keep = SampleProxy();
    ProxyInfo p = keep;
    ASSERT_EQ(SystemDB::getUserProxyInfo(p), 0);
    EXPECT_EQ(p, keep);

    Plant(
        "INSERT INTO system_table VALUES ('user_proxy_port', 70000);"
        "INSERT INTO system_table VALUES ('user_use_proxy', 2);"
        "INSERT INTO system_table VALUES ('user_proxy_pass', 'not base64');");
    ASSERT_EQ(SystemDB::getUserProxyInfo(p), 0);
    EXPECT_EQ(p.proxy_port, 70000 % 65536);
    EXPECT_FALSE(p.use_proxy);
    EXPECT_EQ(p.password, "");
    EXPECT_EQ(p.proxy_ip, keep.proxy_ip);

    // A row without a key resets everything read before it; later rows apply.
    Plant(
        "INSERT INTO system_table VALUES (NULL, 'x');"
        "INSERT INTO system_table VALUES ('user_proxy_host', 'after');");
    p = keep;
    testutil::StderrCapture err;
    ASSERT_EQ(SystemDB::getUserProxyInfo(p), 0);
    EXPECT_EQ(testutil::NormalizeLog(err.Stop(), "system-db"),
              "[ERROR] system-db(N): get proxy info failed, use default setting\n");
    ProxyInfo expected;
    expected.host = "after";
    EXPECT_EQ(p, expected);
}

TEST_F(SettingsTest, DebugLogOfUserProxyNeverShowsThePassword) {
    Logger::log_level[kComp] = Logger::L_DEBUG;
    ProxyInfo p = SampleProxy();
    testutil::StderrCapture err;
    ASSERT_EQ(SystemDB::setUserProxyInfo(p), 0);
    ProxyInfo back;
    ASSERT_EQ(SystemDB::getUserProxyInfo(back), 0);
    p.password = "";
    ASSERT_EQ(SystemDB::setUserProxyInfo(p), 0);
    std::string text = testutil::NormalizeLog(err.Stop(), "system-db");

    EXPECT_EQ(back.password, "Pa'ss w0rd!");
    EXPECT_EQ(text.find("w0rd"), std::string::npos) << text;
    EXPECT_EQ(text,
              "[DEBUG] system-db(N): set setUserProxyInfo\n"
              "[DEBUG] system-db(N): ip 10.1.'2.3\n"
              "[DEBUG] system-db(N): proxy_port 3128\n"
              "[DEBUG] system-db(N): user_name d'Artagnan\n"
              "[DEBUG] system-db(N): password ********\n"
              "[DEBUG] system-db(N): getUserProxyInfo\n"
              "[DEBUG] system-db(N): set setUserProxyInfo\n"
              "[DEBUG] system-db(N): ip 10.1.'2.3\n"
              "[DEBUG] system-db(N): proxy_port 3128\n"
              "[DEBUG] system-db(N): user_name d'Artagnan\n"
              "[DEBUG] system-db(N): password (empty)\n");
}

TEST_F(SettingsTest, DebugLogOfConnectionWritesNeverShowsThePassword) {
    Logger::log_level[kComp] = Logger::L_DEBUG;
    ConnectionInfo c;
    c.orb_id = "orb";
    c.password = "ConnSecret9";
    ProxyInfo p = SampleProxy();
    TunnelInfo t;
    testutil::StderrCapture err;
    ASSERT_EQ(SystemDB::setConnectionEntry(c, p, t), 0);
    ASSERT_EQ(SystemDB::updateConnectionEntry(c, p, t), 0);
    ConnectionEntry e;
    ASSERT_EQ(SystemDB::getConnectionEntryByConnID(c.conn_id, e), 0);
    std::list<ConnectionEntry> list;
    ASSERT_EQ(SystemDB::getConnectionEntryList(list), 0);
    std::string text = err.Stop();
    EXPECT_EQ(text.find("w0rd"), std::string::npos) << text;
    EXPECT_EQ(text.find("ConnSecret9"), std::string::npos) << text;
    EXPECT_NE(text.find("update conn id"), std::string::npos) << text;  // the trace was on
}

TEST_F(SettingsTest, LastUpdateQueryTime) {
    ustring t = "stale";
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(t), 0);  // no row: empty text
    EXPECT_TRUE(t.empty());

    ASSERT_EQ(SystemDB::setLastUpdateQueryTime(""), 0);
    EXPECT_EQ(Stored("last_query_time"), (std::vector<std::string>{"", "text"}));  // not NULL
    t = "stale";
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(t), 0);
    EXPECT_TRUE(t.empty());

    ASSERT_EQ(SystemDB::setLastUpdateQueryTime("2026-12-06 'noon'"), 0);
    ASSERT_EQ(SystemDB::getLastUpdateQueryTime(t), 0);
    EXPECT_EQ(t, ustring("2026-12-06 'noon'"));
}

TEST_F(SettingsTest, ClearRemovesSettingsButKeepsTheVersion) {
    ASSERT_EQ(SystemDB::setGeneralOptions(GeneralOptions()), 0);
    ASSERT_EQ(SystemDB::setUserProxyInfo(SampleProxy()), 0);
    ASSERT_EQ(SystemDB::setLastUpdateQueryTime("x"), 0);
    ASSERT_EQ(SystemDB::clearSystemDB(), 0);
    EXPECT_EQ(Table(), (testutil::Rows{{"release_version", "13"}}));
}

TEST_F(SettingsTest, FailuresReportExactErrorLines) {
    Plant("DROP TABLE system_table;");
    testutil::StderrCapture err;
    GeneralOptions g;
    long v = 1;
    ProxyInfo p = SampleProxy();
    ustring t = "keep";
    EXPECT_EQ(SystemDB::setComputername("pc"), -1);
    EXPECT_EQ(SystemDB::setGeneralOptions(g), -1);
    EXPECT_EQ(SystemDB::setTargetClientVersion(3), -1);
    EXPECT_EQ(SystemDB::setLanguageOptions("en"), -1);
    EXPECT_EQ(SystemDB::setUserProxyInfo(p), -1);
    EXPECT_EQ(SystemDB::setLastUpdateQueryTime("now"), -1);
    EXPECT_EQ(SystemDB::getGeneralOptions(g), -1);
    EXPECT_EQ(SystemDB::getTargetClientVersion(v), -1);
    EXPECT_EQ(SystemDB::getUserProxyInfo(p), -1);
    EXPECT_EQ(p, ProxyInfo());  // reset to the defaults
    EXPECT_EQ(SystemDB::getLastUpdateQueryTime(t), -1);
    EXPECT_EQ(t, ustring("keep"));
    const std::string nt = "no such table: system_table";
    EXPECT_EQ(
        testutil::NormalizeLog(err.Stop(), "system-db"),
        "[ERROR] system-db(N): setComputername fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setGeneralOptions fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setTargetClientVersion fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setLanguageOptions fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): setProxyInfo fail ret = 1 " + nt + "\n" +
            "[ERROR] system-db(N): sqlite3_exec failed: ret = 1 [" + nt + "]\n" +
            "[ERROR] system-db(N): getGeneralOptions: sqlite3_prepare_v2: " + nt + " (1)\n" +
            "[ERROR] system-db(N): getTargetClientVersion: sqlite3_prepare_v2: " + nt + " (1)\n" +
            "[ERROR] system-db(N): getUserProxyInfo: sqlite3_prepare_v2: " + nt + " (1)\n" +
            "[ERROR] system-db(N): getLastUpdateQueryTime: sqlite3_prepare_v2: " + nt + " (1)\n");
}

}  // namespace
