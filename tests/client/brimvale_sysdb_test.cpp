// brimvale-sysdb run on system databases written through the library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "system-db.h"
#include "test_support.h"
#include "utility.h"

namespace {

using namespace testutil;
using Json = nlohmann::json;
using Args = std::vector<std::string>;

const std::string kBin = BRIMVALE_SYSDB_BIN;
const std::string kUsage = "usage: brimvale-sysdb COMMAND [--json] [--] SYSTEM_DB\n";
const char* const kCommands[] = {"sessions", "connections", "settings", "check"};
const char kWd[] = "/.BrimvaleWorkingDirectory";

// Planted in the database; no output may show them, in clear or as stored.
const std::string kConnectionProxyPassword = "conn-proxy-pw-7141";
const std::string kSessionText = "session-text-5926";
const std::string kUserProxyPassword = "user-proxy-pw-3388";

std::string Stored(const std::string& password) {
    std::string stored;
    SyncPassEnc(password, stored);
    return stored;
}

class BrimvaleSysdbTest : public ::testing::Test {
  protected:
    TempDir tmp_;
    std::string db_ = tmp_ / "system.db";
    std::string shown_;  // everything the command printed

    void TearDown() override { SystemDB::destroy(); }

    // Whatever the command does, the file's bytes and modification time stay.
    CommandResult Run(const Args& args, const std::string& db, const Args& prefix = {}) {
        const std::string before = BytesAndTime(db);
        Args argv = prefix;
        argv.push_back(kBin);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(db);
        CommandResult result = RunCommand(argv);
        EXPECT_TRUE(BytesAndTime(db) == before) << args[0] << " changed " << db;
        shown_ += result.out + result.err;
        return result;
    }

    static std::string BytesAndTime(const std::string& path) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) return "(absent)";
        std::string time =
            std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        return S_ISREG(st.st_mode) ? time + ReadFile(path) : time;
    }

    std::string RunText(const std::string& command, int status, const std::string& db) {
        CommandResult result = Run({command}, db);
        EXPECT_EQ(result.status, status) << command << ": " << result.err;
        return result.out;
    }

    Json RunJson(const std::string& command, int status, const std::string& db) {
        CommandResult result = Run({command, "--json"}, db);
        EXPECT_EQ(result.status, status) << command << ": " << result.err;
        EXPECT_EQ(result.err, "") << command;
        Json document = Json::parse(result.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << command << " printed no JSON:\n" << result.out;
        EXPECT_EQ(document.value("database", ""), db) << "the database named";
        return document;
    }

    uint64_t AddConnection(const std::string& server_name) {
        ConnectionInfo connection;
        connection.server_name = server_name;
        EXPECT_EQ(SystemDB::setConnectionEntry(connection, ProxyInfo(), TunnelInfo()), 0)
            << "connection not stored";
        return connection.conn_id;
    }

    uint64_t AddSession(const std::string& share, const std::string& folder, int attribute,
                        uint64_t conn_id = 1) {
        SessionInfo session;
        session.share_name = share;
        session.sync_folder = folder;
        session.attribute = attribute;
        session.conn_id = conn_id;
        EXPECT_EQ(SystemDB::addNewSessionInfo(session), 0) << "session not stored";
        return session.session_id;
    }
};

TEST_F(BrimvaleSysdbTest, EveryRecordDecodedInBothFormsAndNoSecretShown) {
    const std::string home = tmp_ / "Home", odd = tmp_ / "caf\xC3\xA9";
    ASSERT_EQ(RunCommand({"mkdir", "-p", home + kWd}).status, 0);
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    SystemDB::destroy();
    // Rows as the client stores them. The second session has a share name that is not UTF-8
    // and holds a tab, a trailing "/" and unnamed status and error values. Of the general
    // options some are stored; the others show their defaults.
    const std::string connection =
        "INSERT INTO connection_table (server_name, server_ip, server_port, use_ssl, username, "
        "session, linked, status, error, major, minor, package_version, use_proxy, proxy_ip, "
        "proxy_port, proxy_username, proxy_password, proxy_domain, proxy_host, use_tunnel, "
        "tunnel_ip, tunnel_port) VALUES ('files.example', '192.0.2.7', 5001, 1, 'ana', '" +
        kSessionText + "', 1, 2, -3, 7, 2, 64001, 1, '198.51.100.2', 3128, 'pu', '" +
        Stored(kConnectionProxyPassword) + "', 'CORP', 'proxy.corp', 1, '203.0.113.9', 4443);";
    const std::string sessions_rows =
        "INSERT INTO session_table (share_name, sync_folder, attribute, perm_mode, status, error, "
        "conn_id) VALUES ('home', '" +
        home +
        "', 7, 2, 2, -3, 1), "
        "(CAST(X'626164FF096E616D65' AS TEXT), '" +
        odd + "/', 24, 1, 7, -42, 2);";
    const std::string settings =
        "INSERT INTO system_table VALUES ('enable_desktop_notification', 0), "
        "('use_black_white_icon', 1), ('sync_mode', 2), ('open_folder', '/srv/x'), "
        "('user_use_sys_proxy', 1), ('user_proxy_port', 8080), ('language', 'de'), "
        "('user_proxy_pass', '" +
        Stored(kUserProxyPassword) + "');";
    ExecSql(db_, connection + sessions_rows + settings);

    // Paths are added below; \ufffd is what JSON shows for the byte that is not UTF-8.
    Json sessions = Json::parse(R"([
        {"id": 1, "share_name": "home", "attribute": 7, "attributes": ["enabled", "used", "home"],
         "perm_mode": "PERM_EXEC_BIT", "status": 2, "status_name": "SESSION_STAT_SYNCING",
         "error": -3, "error_name": "SESSION_ERR_QUOTA", "conn_id": 1, "view_id": 0,
         "share_version": 0, "working_dir_exists": true},
        {"id": 2, "share_name": "bad\ufffd\tname", "attribute": 24,
         "attributes": ["deleted", "read-only"], "perm_mode": "PERM_DOMAIN", "status": 7,
         "status_name": null, "error": -42, "error_name": null, "conn_id": 2, "view_id": 0,
         "share_version": 0, "working_dir_exists": false}])");
    sessions[0]["sync_folder"] = home;
    sessions[0]["working_dir"] = home + kWd;
    sessions[1]["sync_folder"] = odd;
    sessions[1]["working_dir"] = odd + kWd;
    EXPECT_EQ(RunJson("sessions", 0, db_)["sessions"], sessions) << "sessions";

    EXPECT_EQ(RunJson("connections", 0, db_)["connections"], Json::parse(R"([
        {"id": 1, "server_name": "files.example", "server_address": "192.0.2.7",
         "server_port": 5001, "use_ssl": true, "username": "ana", "linked": 1, "status": 2,
         "error": -3, "package_version": {"major": 7, "minor": 2, "build": 64001},
         "proxy": {"use_proxy": true, "use_system_proxy": false, "address": "198.51.100.2",
                   "host": "proxy.corp", "port": 3128, "user": "pu", "domain": "CORP",
                   "password": "set"},
         "tunnel": {"use_tunnel": true, "address": "203.0.113.9", "port": 4443}}])"));

    EXPECT_EQ(RunJson("settings", 0, db_), Json::parse(R"({"database": ")" + db_ + R"(",
        "general": {"enable_desktop_notification": false, "enable_iconoverlay": true,
                    "enable_startup": true, "use_black_white_icon": true, "sync_mode": 2,
                    "open_folder": "/srv/x"},
        "user_proxy": {"use_proxy": false, "use_system_proxy": true, "address": "", "host": "",
                       "port": 8080, "user": "", "domain": "", "password": "set"},
        "release_version": "13", "other": {"language": "de"}})"));

    // Text: a record per line, tab-separated, stored bytes escaped, unnamed values as numbers.
    const std::string text_session =
        "\n2\tbad\\xff\\x09name\t" + odd + "\tdeleted,read-only\tPERM_DOMAIN\t7\t-42\t2\tabsent\n";
    EXPECT_NE(RunText("sessions", 0, db_).find(text_session), std::string::npos)
        << "the second session as text";
    EXPECT_NE(RunText("connections", 0, db_).find("\n1\tfiles.example\t"), std::string::npos)
        << "the connection as text";
    const std::string text_settings = RunText("settings", 0, db_);
    for (const std::string line :
         {"general.enable_desktop_notification\tno\n", "user_proxy.password\tset\n",
          "release_version\t13\n", "other.language\tde\n"})
        EXPECT_NE(text_settings.find(line), std::string::npos) << line << "in\n" << text_settings;

    for (const std::string& secret : {kConnectionProxyPassword, Stored(kConnectionProxyPassword),
                                      kSessionText, kUserProxyPassword, Stored(kUserProxyPassword)})
        EXPECT_EQ(shown_.find(secret), std::string::npos) << "printed: " << secret;
}

TEST_F(BrimvaleSysdbTest, CheckReportsEachFindingAndNothingOnASoundStore) {
    const std::string plain_file = tmp_ / "plain.txt", outer = tmp_ / "outer", left = tmp_ / "left";
    WriteFile(plain_file, "not a folder");
    ASSERT_EQ(
        RunCommand({"mkdir", "-p", outer + "/inner", outer + kWd, left + kWd + "/cache"}).status,
        0);
    WriteFile(left + kWd + "/cache/chunk", std::string(5000, 'c'));
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    AddConnection("server");
    const int enabled = SA_ENABLE | SA_USED;
    AddSession("gone", tmp_ / "gone", enabled);
    AddSession("file", plain_file, enabled);
    AddSession("relative", "Sync", enabled);
    AddSession("outer", outer, enabled);
    AddSession("inner", outer + "/inner", enabled);
    AddSession("orphan", tmp_ / "orphan", SA_USED, 99);
    AddSession("left", left, SA_USED);
    AddSession("outer-again", outer, SA_USED);  // its working directory is the enabled one's
    SystemDB::destroy();
    ExecSql(db_, "UPDATE system_table SET value = '12' WHERE key = 'release_version';");
    ASSERT_EQ(chmod(db_.c_str(), 0644), 0);

    struct Finding {
        std::string kind;
        int session;  // 0: none
    };
    const Finding expected[] = {{"release-version", 0},  {"store-readable", 0},
                                {"folder-missing", 1},   {"folder-not-directory", 2},
                                {"folder-relative", 3},  {"connection-missing", 6},
                                {"working-dir-left", 7}, {"folders-overlap", 0}};
    Json findings = RunJson("check", 1, db_)["findings"];
    ASSERT_EQ(findings.size(), std::size(expected)) << findings.dump(1);
    for (size_t index = 0; index < findings.size(); ++index) {
        EXPECT_EQ(findings[index]["kind"], expected[index].kind) << "finding " << index;
        EXPECT_EQ(findings[index].value("session", 0), expected[index].session)
            << expected[index].kind;
    }
    EXPECT_EQ(findings[1]["mode"], "0644") << "the mode found";
    EXPECT_EQ(findings[7]["sessions"], Json({4, 5})) << "overlapping sessions";

    // An old, damaged file: only the session table, holding the root directory as a folder,
    // and three pages that nothing uses (counted in the header's big-endian page count at 28),
    // which quick_check reports as one row of three lines.
    ExecSql(db_,
            "DROP TABLE connection_table; DROP TABLE system_table; DELETE FROM session_table; "
            "INSERT INTO session_table (id, attribute, sync_folder) VALUES (9, 4, '/');");
    std::string bytes = ReadFile(db_);
    const uint32_t used = bytes.size() / 4096, pages = used + 3;
    for (int place = 0; place < 4; ++place)
        bytes[28 + place] = static_cast<char>(pages >> (24 - 8 * place));
    WriteFile(db_, bytes + std::string(3 * 4096, '\0'));
    ASSERT_EQ(chmod(db_.c_str(), 0600), 0);
    Json never_used = Json::array();
    for (uint32_t page = used + 1; page <= pages; ++page)
        never_used.push_back("Page " + std::to_string(page) + " is never used");
    const Json damaged = RunJson("check", 1, db_)["findings"];
    std::vector<std::string> kinds;
    for (const Json& finding : damaged) kinds.push_back(finding["kind"]);
    EXPECT_EQ(kinds,
              (std::vector<std::string>{"table-missing", "table-missing", "quick-check",
                                        "release-version", "folder-empty", "connection-missing"}))
        << "the findings in an old, damaged file:\n"
        << damaged.dump(1);
    EXPECT_EQ(damaged[2]["report"], never_used) << "the quick_check report";

    ASSERT_EQ(unlink(db_.c_str()), 0);
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    AddConnection("server");
    AddSession("outer", outer, enabled);
    AddSession("left", left, SA_USED | SA_ENABLE);
    SystemDB::destroy();
    ASSERT_EQ(chmod(db_.c_str(), 0600), 0);
    EXPECT_EQ(RunJson("check", 0, db_)["findings"], Json::array()) << "a sound store";
    EXPECT_EQ(RunText("check", 0, db_), "no findings\n") << "a sound store as text";
}

TEST_F(BrimvaleSysdbTest, UnreadableFilesAndUsageErrorsGiveStatus2) {
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    AddSession("a", tmp_ / "a", SA_ENABLE);
    SystemDB::destroy();
    std::string damaged = ReadFile(db_);
    damaged.replace(4096, 300, std::string(300, '\xAB'));
    ExecSql(tmp_ / "alike.db", "CREATE TABLE session_table (id, folder);");
    WriteFile(tmp_ / "damaged.db", damaged);
    WriteFile(tmp_ / "empty.db", "");
    struct Unreadable {
        std::string file;
        std::string reason;  // on standard error after the quoted path
    };
    const Unreadable files[] = {
        {"absent.db", ": No such file or directory"},
        {"", " is a directory, not a system database"},
        {"damaged.db", " cannot be read as a system database: database disk image is malformed"},
        {"empty.db",
         " is not a system database: it has none of the tables connection_table, session_table, "
         "system_table"},
        {"alike.db", " is not a system database: no such column: conn_id"}};
    for (const Unreadable& file : files) {
        const std::string path = tmp_ / file.file;
        const std::string said =
            file.file == "absent.db" ? "cannot read '" + path + "'" : "'" + path + "'";
        for (const char* command : kCommands) {
            CommandResult result = Run({command, "--json"}, path);
            EXPECT_EQ(result.status, 2) << command << " " << file.file;
            EXPECT_EQ(result.err, "brimvale-sysdb: " + said + file.reason + "\n") << command;
            EXPECT_EQ(result.out, "") << command << " " << file.file;
        }
    }

    for (const Args& args : {Args{}, Args{"bogus", db_}, Args{"sessions"}, Args{"check", db_, db_},
                             Args{"settings", "--bogus", db_}}) {
        Args argv = {kBin};
        argv.insert(argv.end(), args.begin(), args.end());
        CommandResult result = RunCommand(argv);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(result.err.find(kUsage), std::string::npos) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, "") << ::testing::PrintToString(args);
    }
    for (const Args& args : {Args{kBin, "--help"}, Args{kBin, "check", db_, "-h"}}) {
        CommandResult result = RunCommand(args);
        EXPECT_EQ(result.out.find(kUsage), 0u) << result.out;
        EXPECT_EQ(result.status, 0) << ::testing::PrintToString(args);
    }
    EXPECT_TRUE(std::regex_match(RunCommand({kBin, "--version"}).out,
                                 std::regex("brimvale-sysdb [0-9]+\\.[0-9]+\\.[0-9]+\n")));
}

// Another process holds the file locked: the command waits, then reads its changes. A
// read-only file in a read-only directory is read without a trace.
TEST_F(BrimvaleSysdbTest, WaitsForALockAndReadsAReadOnlyFile) {
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    AddSession("a", tmp_ / "a", SA_ENABLE);
    SystemDB::destroy();
    {
        // The holder's own commit changes the file: the bytes are compared below, after it.
        DatabaseLockHolder holder(db_, 1500, "UPDATE session_table SET status = 3;");
        ASSERT_TRUE(holder.locked());
        CommandResult result = RunCommand({kBin, "sessions", "--json", db_});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(Json::parse(result.out)["sessions"][0]["status_name"], "SESSION_STAT_PAUSE")
            << "the holder's commit not read";
    }
    // In WAL mode, the harder case: its index file cannot be made beside it. The name looks
    // like a URI and holds URI syntax: read as one, it would name the decoy "sys".
    ExecSql(db_, "PRAGMA journal_mode=WAL;");
    const std::string name = "file:sys?tem%41#.db";
    ASSERT_EQ(rename(db_.c_str(), (tmp_ / name).c_str()), 0);
    ASSERT_EQ(SystemDB::initialize(ustring(tmp_ / "sys")), 0);
    AddSession("decoy", tmp_ / "decoy", SA_ENABLE);
    SystemDB::destroy();
    const std::string before = ReadFile(tmp_ / name);
    ASSERT_EQ(chmod(tmp_.path().c_str(), 0555), 0);
    ASSERT_EQ(chmod((tmp_ / name).c_str(), 0444), 0);
    Args prefix = {"env", "-C", tmp_.path()};
    if (geteuid() == 0)
        prefix.insert(prefix.begin(),
                      {"setpriv", "--reuid=nobody", "--regid=65534", "--clear-groups"});
    CommandResult result = Run({"sessions"}, name, prefix);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n1\ta\t"), std::string::npos) << result.out;
    EXPECT_TRUE(ReadFile(tmp_ / name) == before) << "the file changed";
    EXPECT_EQ(CountEntries(tmp_.path()), 2) << "a file was made beside the database";
}

TEST_F(BrimvaleSysdbTest, TextEscapesWhatIsNotPrintableUtf8) {
    struct ShareName {
        std::string stored;
        std::string shown;
    };
    const ShareName names[] = {
        {"\xC2\xA9 \xDF\xBF", "\xC2\xA9 \xDF\xBF"},
        {"\xC1\xBF \xC2", "\\xc1\\xbf \\xc2"},  // overlong; cut short
        {"\xE0\xA0\x80 \xE0\x9F\xBF", "\xE0\xA0\x80 \\xe0\\x9f\\xbf"},
        {"\xED\x9F\xBF \xED\xA0\x80", "\xED\x9F\xBF \\xed\\xa0\\x80"},  // a surrogate
        {"\xF0\x90\x80\x80 \xF0\x8F\xBF\xBF", "\xF0\x90\x80\x80 \\xf0\\x8f\\xbf\\xbf"},
        {"\xF4\x8F\xBF\xBF \xF4\x90\x80\x80", "\xF4\x8F\xBF\xBF \\xf4\\x90\\x80\\x80"},
        {"\xF5\x80 \xE2\x82(", "\\xf5\\x80 \\xe2\\x82("},
        {"\x7F\x01\\ ~", "\\x7f\\x01\\x5c ~"}};
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    for (const ShareName& name : names) AddSession(name.stored, "/x", 0);
    SystemDB::destroy();
    const std::string text = RunText("sessions", 0, db_);
    for (const ShareName& name : names)
        EXPECT_NE(text.find("\t" + name.shown + "\t/x\t"), std::string::npos)
            << name.shown << " is not how the share shows in\n"
            << text;
}

TEST_F(BrimvaleSysdbTest, AlignedColumnsOnATerminal) {
    if (RunCommand({"script", "-qec", "true", "/dev/null"}).status != 0)
        GTEST_SKIP() << "script(1) cannot open a pseudo-terminal here (no /dev/pts?)";
    ASSERT_EQ(SystemDB::initialize(ustring(db_)), 0);
    AddSession("", "\xC3\xA9t\xC3\xA9", SA_USED);  // shown "-"; three columns wide
    SystemDB::destroy();
    EXPECT_EQ(
        RunCommand({"script", "-qec", kBin + " sessions " + ShellQuote(db_), "/dev/null"}).out,
        "ID  SHARE  SYNC_FOLDER  ATTRIBUTES  PERM_MODE      STATUS             ERROR        "
        "   CONN_ID  WORKING_DIR\r\n"
        "1   -      \xC3\xA9t\xC3\xA9          used        PERM_EXEC_BIT  SESSION_STAT_STOP  "
        "SESSION_ERR_OK  1        absent\r\n")
        << "the columns as a terminal shows them";
}

}  // namespace
