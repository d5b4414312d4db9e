// brimvale-sysdb: a read-only look into the sync client's system database
// for support engineers: its sessions, connections and settings decoded as
// the client reads them, and a check of what commonly keeps a folder from
// syncing. Secrets (proxy passwords, the connections' session texts) are
// never printed; a password shows only as "set" or "not set".
#include <getopt.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <list>

#include "file-op.h"
#include "logger.h"
#include "sysdb-commands.h"
#include "sysdb-text.h"

#ifndef BRIMVALE_VERSION
#define BRIMVALE_VERSION "unknown"
#endif

const char kWorkingDirName[] = ".BrimvaleWorkingDirectory";

namespace {

const char kSynopsis[] =
    "usage: brimvale-sysdb COMMAND [--json] [--] SYSTEM_DB\n"
    "       brimvale-sysdb -h|--help | --version\n";
const char kTryHelp[] = "Try 'brimvale-sysdb --help' for more information.\n";
const char kHelp[] =
    "\n"
    "Shows what the sync client's system database SYSTEM_DB holds, decoded as\n"
    "the client reads it. Reads an in-memory copy: the file is never changed.\n"
    "\n"
    "Commands:\n"
    "  sessions     every session: folder, attributes, status, error, connection\n"
    "  connections  every server connection with its proxy and tunnel\n"
    "  settings     the general options, the user's proxy and the other keys\n"
    "  check        what may keep a folder from syncing, one finding per line;\n"
    "               exit status 1 when something was found\n"
    "\n"
    "  --json       one JSON document instead of text\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n"
    "\n"
    "Passwords show only as \"set\" or \"not set\"; the exit status is 2 for a\n"
    "usage error or a file that cannot be read as a system database.\n";

// The attribute bits by name, in the order they are listed.
const std::pair<int, const char*> kAttributeNames[] = {
    {SA_ENABLE, "enabled"},      {SA_USED, "used"},    {SA_DELETED, "deleted"},
    {SA_READ_ONLY, "read-only"}, {SA_IS_HOME, "home"},
};

std::vector<std::string> AttributeNames(int attribute) {
    std::vector<std::string> names;
    for (const auto& [bit, name] : kAttributeNames)
        if (attribute & bit) names.push_back(name);
    return names;
}

std::string StatusName(int status) {
    using namespace SYS_STATUS;
    switch (status) {
        case SESSION_STAT_STOP:
            return "SESSION_STAT_STOP";
        case SESSION_STAT_UPTODATE:
            return "SESSION_STAT_UPTODATE";
        case SESSION_STAT_SYNCING:
            return "SESSION_STAT_SYNCING";
        case SESSION_STAT_PAUSE:
            return "SESSION_STAT_PAUSE";
        case SESSION_STAT_UNKNOWN:
            return "SESSION_STAT_UNKNOWN";
    }
    return "";
}

std::string ErrorName(int error) {
    using namespace SYS_STATUS;
    switch (error) {
        case SESSION_ERR_OK:
            return "SESSION_ERR_OK";
        case SESSION_ERR_VIEW:
            return "SESSION_ERR_VIEW";
        case SESSION_ERR_PERMISSION:
            return "SESSION_ERR_PERMISSION";
        case SESSION_ERR_QUOTA:
            return "SESSION_ERR_QUOTA";
        case SESSION_ERR_DISKFULL:
            return "SESSION_ERR_DISKFULL";
        case SESSION_ERR_LOCAL_DISKFULL:
            return "SESSION_ERR_LOCAL_DISKFULL";
        case SESSION_ERR_SYNCFOLDER_MISS:
            return "SESSION_ERR_SYNCFOLDER_MISS";
        case SESSION_ERR_READ_ONLY:
            return "SESSION_ERR_READ_ONLY";
        case SESSION_ERR_UNKNOWN:
            return "SESSION_ERR_UNKNOWN";
    }
    return "";
}

// A named value as text: its name, or the number when it has none.
std::string NameOr(const std::string& name, int value) {
    return name.empty() ? std::to_string(value) : name;
}

Json NameOrNull(const std::string& name) {
    return name.empty() ? Json() : Json(name);
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
    return text;
}

std::string SetOrNot(const std::string& password) {
    return password.empty() ? "not set" : "set";
}

}  // namespace

void PrintJson(Json document) {
    // Stored texts need not be UTF-8; each invalid byte becomes U+FFFD.
    std::cout << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

int Fail(const std::string& message) {
    std::cerr << "brimvale-sysdb: " << EscapeText(message) << '\n';
    return 2;
}

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

std::string WorkingDirOf(const SessionInfo& session) {
    return std::string(session.sync_folder.c_str()) + "/" + kWorkingDirName;
}

bool WorkingDirExists(const SessionInfo& session) {
    // A relative folder would be looked up in whatever directory the command runs in.
    const char* folder = session.sync_folder.c_str();
    if (folder[0] != '\0' && folder[0] != '/') return false;
    FILE_INFO info;
    return GetFileInfo(ustring(WorkingDirOf(session)), info) == 0 && info.isExist;
}

int ShowSessions(const StoreView& view, const Output& output) {
    std::vector<SessionRow> rows;
    std::string error;
    if (!view.Sessions(rows, error)) return Fail(error);

    Json list = Json::array();
    Table table({"ID", "SHARE", "SYNC_FOLDER", "ATTRIBUTES", "PERM_MODE", "STATUS", "ERROR",
                 "CONN_ID", "WORKING_DIR"});
    for (const SessionRow& row : rows) {
        const SessionInfo& s = row.info;
        bool wd_exists = WorkingDirExists(s);
        list.push_back({{"id", s.session_id},
                        {"share_name", s.share_name.c_str()},
                        {"sync_folder", s.sync_folder.c_str()},
                        {"attribute", s.attribute},
                        {"attributes", AttributeNames(s.attribute)},
                        {"perm_mode", s.permModeToStr().c_str()},
                        {"status", row.status},
                        {"status_name", NameOrNull(StatusName(row.status))},
                        {"error", row.error},
                        {"error_name", NameOrNull(ErrorName(row.error))},
                        {"conn_id", s.conn_id},
                        {"view_id", s.view_id},
                        {"share_version", s.share_version},
                        {"working_dir", WorkingDirOf(s)},
                        {"working_dir_exists", wd_exists}});
        table.Add({std::to_string(s.session_id), s.share_name.c_str(), s.sync_folder.c_str(),
                   Joined(AttributeNames(s.attribute)), s.permModeToStr().c_str(),
                   NameOr(StatusName(row.status), row.status),
                   NameOr(ErrorName(row.error), row.error), std::to_string(s.conn_id),
                   wd_exists ? "present" : "absent"});
    }
    if (output.json)
        PrintJson({{"database", output.db_path}, {"sessions", list}});
    else
        table.Print(std::cout, output.aligned);
    return 0;
}

int ShowConnections(const StoreView&, const Output& output) {
    std::list<ConnectionEntry> entries;
    if (SystemDB::getConnectionEntryList(entries) != 0)
        return Fail("cannot read the connections of '" + output.db_path + "'");

    Json list = Json::array();
    Table table({"ID",           "SERVER",         "ADDRESS",    "PORT",           "SSL",
                 "USER",         "LINKED",         "STATUS",     "ERROR",          "VERSION",
                 "PROXY",        "PROXY_ADDRESS",  "PROXY_HOST", "PROXY_PORT",     "PROXY_USER",
                 "PROXY_DOMAIN", "PROXY_PASSWORD", "TUNNEL",     "TUNNEL_ADDRESS", "TUNNEL_PORT"});
    for (const ConnectionEntry& entry : entries) {
        const ConnectionInfo& c = entry.connection_info;
        const ProxyInfo& p = entry.proxy_info;
        const TunnelInfo& t = entry.tunnel_info;
        const VersionInfo& v = c.version_info;
        std::string proxy = p.use_sys_proxy ? "system" : YesNo(p.use_proxy);
        list.push_back(
            {{"id", c.conn_id},
             {"server_name", c.server_name.c_str()},
             {"server_address", c.server_ip.c_str()},
             {"server_port", c.server_port},
             {"use_ssl", c.use_ssl},
             {"username", c.username.c_str()},
             {"linked", c.linked},
             {"status", c.status},
             {"error", c.error},
             {"package_version",
              {{"major", v.major}, {"minor", v.minor}, {"build", v.build_number}}},
             {"proxy",
              {{"use_proxy", p.use_proxy},
               {"use_system_proxy", p.use_sys_proxy},
               {"address", p.proxy_ip},
               {"host", p.host},
               {"port", p.proxy_port},
               {"user", p.user_name},
               {"domain", p.domain},
               {"password", SetOrNot(p.password)}}},
             {"tunnel",
              {{"use_tunnel", t.use_tunnel}, {"address", t.tunnel_ip}, {"port", t.tunnel_port}}}});
        table.Add({std::to_string(c.conn_id),
                   c.server_name.c_str(),
                   c.server_ip.c_str(),
                   std::to_string(c.server_port),
                   YesNo(c.use_ssl),
                   c.username.c_str(),
                   std::to_string(c.linked),
                   std::to_string(c.status),
                   std::to_string(c.error),
                   std::to_string(v.major) + "." + std::to_string(v.minor) + "-" +
                       std::to_string(v.build_number),
                   proxy,
                   p.proxy_ip,
                   p.host,
                   std::to_string(p.proxy_port),
                   p.user_name,
                   p.domain,
                   SetOrNot(p.password),
                   YesNo(t.use_tunnel),
                   t.tunnel_ip,
                   std::to_string(t.tunnel_port)});
    }
    if (output.json)
        PrintJson({{"database", output.db_path}, {"connections", list}});
    else
        table.Print(std::cout, output.aligned);
    return 0;
}

namespace {

// Keys shown by their own part of the settings, never among the others.
bool IsDecodedKey(const std::string& key) {
    static const char* const kDecoded[] = {"enable_desktop_notification",
                                           "enable_iconoverlay",
                                           "enable_startup",
                                           "use_black_white_icon",
                                           "sync_mode",
                                           "open_folder",
                                           "release_version"};
    for (const char* name : kDecoded)
        if (key == name) return true;
    return key.compare(0, 11, "user_proxy_") == 0 || key == "user_use_proxy" ||
           key == "user_use_sys_proxy";
}

}  // namespace

int ShowSettings(const StoreView& view, const Output& output) {
    GeneralOptions general;
    ProxyInfo proxy;
    std::vector<SystemRow> rows;
    std::string error;
    if (SystemDB::getGeneralOptions(general) != 0 || SystemDB::getUserProxyInfo(proxy) != 0)
        return Fail("cannot read the settings of '" + output.db_path + "'");
    if (!view.SystemRows(rows, error)) return Fail(error);

    Json general_json = {{"enable_desktop_notification", general.enable_desktop_notification},
                         {"enable_iconoverlay", general.enable_iconoverlay},
                         {"enable_startup", general.enable_startup},
                         {"use_black_white_icon", general.use_bw_icon},
                         {"sync_mode", general.sync_mode},
                         {"open_folder", general.open_folder.c_str()}};
    Json proxy_json = {{"use_proxy", proxy.use_proxy}, {"use_system_proxy", proxy.use_sys_proxy},
                       {"address", proxy.proxy_ip},    {"host", proxy.host},
                       {"port", proxy.proxy_port},     {"user", proxy.user_name},
                       {"domain", proxy.domain},       {"password", SetOrNot(proxy.password)}};
    Json other = Json::object();
    for (const SystemRow& row : rows)
        if (!IsDecodedKey(row.key)) other[row.key] = row.value ? Json(*row.value) : Json();
    const std::optional<std::string>& release = view.release_version();

    if (output.json) {
        PrintJson({{"database", output.db_path},
                   {"general", general_json},
                   {"user_proxy", proxy_json},
                   {"release_version", release ? Json(*release) : Json()},
                   {"other", other}});
        return 0;
    }
    Table table({"SETTING", "VALUE"});
    auto add_part = [&](const std::string& part, const Json& values) {
        for (const auto& [key, value] : values.items()) {
            std::string text = value.is_boolean()  ? YesNo(value.get<bool>())
                               : value.is_string() ? value.get<std::string>()
                               : value.is_null()   ? ""
                                                   : value.dump();
            table.Add({part + key, text});
        }
    };
    add_part("general.", general_json);
    add_part("user_proxy.", proxy_json);
    table.Add({"release_version", release.value_or("")});
    add_part("other.", other);
    table.Print(std::cout, output.aligned);
    return 0;
}

int main(int argc, char* argv[]) {
    static const option kOptions[] = {
        {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    typedef int (*Command)(const StoreView&, const Output&);
    static const std::pair<const char*, Command> kCommands[] = {
        {"sessions", ShowSessions},
        {"connections", ShowConnections},
        {"settings", ShowSettings},
        {"check", RunCheck},
    };
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::cout << kSynopsis << kHelp;
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "brimvale-sysdb " BRIMVALE_VERSION "\n";
        return 0;
    }
    Command command = nullptr;
    for (const auto& [name, fn] : kCommands)
        if (argc >= 2 && std::strcmp(argv[1], name) == 0) command = fn;
    if (!command) {
        if (argc >= 2) std::cerr << "brimvale-sysdb: unknown command '" << argv[1] << "'\n";
        std::cerr << kSynopsis << kTryHelp;
        return 2;
    }

    Output output;
    int opt;
    // getopt_long starts after argv[0]: argv + 1 makes the command that name.
    while ((opt = getopt_long(argc - 1, argv + 1, "h", kOptions, nullptr)) != -1) {
        switch (opt) {
            case 'j':
                output.json = true;
                break;
            case 'h':
                std::cout << kSynopsis << kHelp;
                return 0;
            case 'V':
                std::cout << "brimvale-sysdb " BRIMVALE_VERSION "\n";
                return 0;
            default:  // getopt_long has named the offending option
                std::cerr << kSynopsis << kTryHelp;
                return 2;
        }
    }
    if (optind + 1 != argc - 1) {
        std::cerr << "brimvale-sysdb: "
                  << (optind + 1 < argc ? "one SYSTEM_DB only" : "no SYSTEM_DB") << "\n"
                  << kSynopsis << kTryHelp;
        return 2;
    }
    output.db_path = argv[optind + 1];
    output.aligned = isatty(STDOUT_FILENO);

    // The command prints its own one-line reason; the library's log lines
    // would only repeat it.
    Logger::log_level[ustring("system_db_debug")] = -1;
    StoreView view;
    std::string error;
    if (!view.Open(output.db_path, command == RunCheck, error)) return Fail(error);
    return command(view, output);
}
