// Client-wide settings: the key/value rows of system_table.
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "db-internal.h"
#include "system-db.h"
#include "utility.h"

namespace {

enum SettingColumn { kKey, kValue };

bool KeyIs(const char* key, const char* name) {
    return std::strcmp(key, name) == 0;
}

}  // namespace

// ---- writes ----

int SystemDB::setComputername(const ustring& computer_name) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set computer name %s\n", computer_name.c_str());
    return Store::Write(
        SYSDB_OP("setComputername").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf("insert or replace into system_table values ('computer_name', '%q'); "
                        "update connection_table set computer_name = '%q'; ",
                        computer_name.c_str_utf8(), computer_name.c_str_utf8()));
}

int SystemDB::setGeneralOptions(const GeneralOptions& g) {
    int notification = g.enable_desktop_notification ? 1 : 0;
    int overlay = g.enable_iconoverlay ? 1 : 0;
    int startup = g.enable_startup ? 1 : 0;
    int bw_icon = g.use_bw_icon ? 1 : 0;
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): %d, %d, %d, %d, %d, '%s'\n", notification, overlay,
              startup, bw_icon, g.sync_mode, g.open_folder.c_str());
    return Store::Write(
        SYSDB_OP("setGeneralOptions").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf(
            "insert or replace into system_table values ('enable_desktop_notification', %d);"
            "insert or replace into system_table values ('enable_iconoverlay', %d);"
            "insert or replace into system_table values ('enable_startup', '%d');"
            "insert or replace into system_table values ('use_black_white_icon', %d);"
            "insert or replace into system_table values ('sync_mode', %d);"
            "insert or replace into system_table values ('open_folder', '%q');",
            notification, overlay, startup, bw_icon, g.sync_mode, g.open_folder.c_str_utf8()));
}

int SystemDB::setTargetClientVersion(long version) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setTargetClientVersion\n");
    return Store::Write(
        SYSDB_OP("setTargetClientVersion")
            .FormatFail("[ERROR] system-db(%d): INSERT sqlite3_mprintf failed.\n"),
        sqlite3_mprintf(
            "INSERT or REPLACE INTO system_table values ('target_client_version', %ld);", version));
}

int SystemDB::setLanguageOptions(const ustring& language) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setLanguageOptions\n");
    return Store::Write(
        SYSDB_OP("setLanguageOptions").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf("insert or replace into system_table values ('language', '%q');",
                        language.c_str_utf8()));
}

int SystemDB::setUserProxyInfo(const ProxyInfo& p) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setUserProxyInfo\n");
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): ip %s\n", p.proxy_ip.c_str());
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): proxy_port %d\n", p.proxy_port);
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): user_name %s\n", p.user_name.c_str());
    // Log files travel with bug reports; the password must not.
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): password %s\n",
              p.password.empty() ? "(empty)" : "********");

    std::string stored_pass;
    SyncPassEnc(p.password, stored_pass);
    // Its execution entry keeps the name this write had before.
    return Store::Write(
        SYSDB_OP("setProxyInfo").FormatFail(kInsertMprintfFailed),
        sqlite3_mprintf("insert or replace into system_table values ('user_use_proxy', %d);"
                        "insert or replace into system_table values ('user_use_sys_proxy', %d);"
                        "insert or replace into system_table values ('user_proxy_ip', '%q');"
                        "insert or replace into system_table values ('user_proxy_port', %d);"
                        "insert or replace into system_table values ('user_proxy_domain', '%q');"
                        "insert or replace into system_table values ('user_proxy_host', '%q');"
                        "insert or replace into system_table values ('user_proxy_user', '%q');"
                        "insert or replace into system_table values ('user_proxy_pass', '%q');",
                        p.use_proxy ? 1 : 0, p.use_sys_proxy ? 1 : 0, p.proxy_ip.c_str(),
                        p.proxy_port, p.domain.c_str(), p.host.c_str(), p.user_name.c_str(),
                        stored_pass.c_str()));
}

int SystemDB::setLastUpdateQueryTime(const ustring& last_query_time) {
    // Fails without an entry when formatting fails.
    return Store::Write(
        SYSDB_OP("setLastUpdateQueryTime").ExecFail(ExecFailed),
        sqlite3_mprintf("INSERT OR REPLACE INTO system_table values('last_query_time', %Q);",
                        last_query_time.c_str_utf8()));
}

// ---- reads ----

int SystemDB::getGeneralOptions(GeneralOptions& g) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getGeneralOptions\n");
    return Store::ReadRows(SYSDB_OP("getGeneralOptions"), "SELECT * FROM system_table",
                           [&](const Row& row) {
                               const char* key = row.CText(kKey);
                               // The schema admits a NULL key; no setting lives under it.
                               if (!key) return;
                               if (KeyIs(key, "enable_desktop_notification"))
                                   g.enable_desktop_notification = row.Int(kValue) == 1;
                               else if (KeyIs(key, "enable_iconoverlay"))
                                   g.enable_iconoverlay = row.Int(kValue) == 1;
                               else if (KeyIs(key, "enable_startup"))
                                   g.enable_startup = row.Int(kValue) == 1;
                               else if (KeyIs(key, "use_black_white_icon"))
                                   g.use_bw_icon = row.Int(kValue) == 1;
                               else if (KeyIs(key, "sync_mode"))
                                   g.sync_mode = row.Int(kValue);
                               else if (KeyIs(key, "open_folder"))
                                   g.open_folder = row.Text(kValue);
                           });
}

int SystemDB::getTargetClientVersion(long& version) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getTargetClientVersion\n");
    return Store::ReadRow(
        SYSDB_OP("getTargetClientVersion"),
        "SELECT value FROM system_table WHERE key = 'target_client_version';",
        [&](const Row& row) { version = static_cast<long>(row.Int64(0)); },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get getTargetClientVersion\n");
            return -1;
        });
}

int SystemDB::getUserProxyInfo(ProxyInfo& p) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getUserProxyInfo\n");
    const Store::Op op = SYSDB_OP("getUserProxyInfo");
    Store::Lock lock;
    Store::Statement stmt;
    // Unlike a failed step, a failed prepare drops what the caller passed.
    if (!stmt.Prepare(lock, op, "SELECT * FROM system_table")) {
        p.clear();
        return -1;
    }
    return stmt.Run(
        op,
        [&](const Row& row) {
            const char* key = row.CText(kKey);
            if (!key) {
                SYSDB_LOG(L_ERR,
                          "[ERROR] system-db(%d): get proxy info failed, use default setting\n");
                p.clear();
            } else if (KeyIs(key, "user_use_proxy")) {
                p.use_proxy = row.Int(kValue) == 1;
            } else if (KeyIs(key, "user_use_sys_proxy")) {
                p.use_sys_proxy = row.Int(kValue) == 1;
            } else if (KeyIs(key, "user_proxy_ip")) {
                p.proxy_ip = row.Bytes(kValue);
            } else if (KeyIs(key, "user_proxy_port")) {
                p.proxy_port = static_cast<uint16_t>(row.Int(kValue));
            } else if (KeyIs(key, "user_proxy_domain")) {
                p.domain = row.Bytes(kValue);
            } else if (KeyIs(key, "user_proxy_host")) {
                p.host = row.Bytes(kValue);
            } else if (KeyIs(key, "user_proxy_user")) {
                p.user_name = row.Bytes(kValue);
            } else if (KeyIs(key, "user_proxy_pass")) {
                SyncPassDec(row.Bytes(kValue), p.password);
            }
            return Step::Next;
        },
        Store::Zero());
}

int SystemDB::getLastUpdateQueryTime(ustring& last_query_time) {
    return Store::ReadRow(
        SYSDB_OP("getLastUpdateQueryTime"),
        "SELECT value FROM system_table WHERE key = 'last_query_time'",
        [&](const Row& row) { last_query_time = row.Text(0); },
        [&] {
            last_query_time = "";
            return 0;
        });
}
