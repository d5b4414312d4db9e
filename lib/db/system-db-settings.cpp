// Client-wide settings: the key/value rows of system_table.
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "db-internal.h"
#include "system-db.h"
#include "utility.h"

namespace {

bool KeyIs(const char* key, const char* name) {
    return std::strcmp(key, name) == 0;
}

}  // namespace

GeneralOptions::GeneralOptions()
    : enable_desktop_notification(true),
      enable_iconoverlay(true),
      enable_startup(true),
      use_bw_icon(false),
      sync_mode(0),
      open_folder() {}

// ---- writes ----

int SystemDB::setComputername(const ustring& computer_name) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set computer name %s\n", computer_name.c_str());
    return Store::Write(
        sqlite3_mprintf("insert or replace into system_table values ('computer_name', '%q'); "
                        "update connection_table set computer_name = '%q'; ",
                        computer_name.c_str_utf8(), computer_name.c_str_utf8()),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setComputername fail ret = %d %s\n", rc, msg);
        });
}

int SystemDB::setGeneralOptions(const GeneralOptions& g) {
    int notification = g.enable_desktop_notification ? 1 : 0;
    int overlay = g.enable_iconoverlay ? 1 : 0;
    int startup = g.enable_startup ? 1 : 0;
    int bw_icon = g.use_bw_icon ? 1 : 0;
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): %d, %d, %d, %d, %d, '%s'\n", notification, overlay,
              startup, bw_icon, g.sync_mode, g.open_folder.c_str());
    return Store::Write(
        sqlite3_mprintf(
            "insert or replace into system_table values ('enable_desktop_notification', %d);"
            "insert or replace into system_table values ('enable_iconoverlay', %d);"
            "insert or replace into system_table values ('enable_startup', '%d');"
            "insert or replace into system_table values ('use_black_white_icon', %d);"
            "insert or replace into system_table values ('sync_mode', %d);"
            "insert or replace into system_table values ('open_folder', '%q');",
            notification, overlay, startup, bw_icon, g.sync_mode, g.open_folder.c_str_utf8()),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setGeneralOptions fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::setTargetClientVersion(long version) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setTargetClientVersion\n");
    return Store::Write(
        sqlite3_mprintf(
            "INSERT or REPLACE INTO system_table values ('target_client_version', %ld);", version),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): INSERT sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setTargetClientVersion fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::setLanguageOptions(const ustring& language) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setLanguageOptions\n");
    return Store::Write(
        sqlite3_mprintf("insert or replace into system_table values ('language', '%q');",
                        language.c_str_utf8()),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setLanguageOptions fail ret = %d %s\n", rc,
                      msg);
        });
}

int SystemDB::setUserProxyInfo(const ProxyInfo& p) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): set setUserProxyInfo\n");
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): ip %s\n", p.proxy_ip.c_str());
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): proxy_port %d\n", p.proxy_port);
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): user_name %s\n", p.user_name.c_str());
    // Log files travel with bug reports; the password must not.
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): password %s\n",
              p.password.empty() ? "(empty)" : "********");

    Store::Lock lock;
    std::string stored_pass;
    SyncPassEnc(p.password, stored_pass);
    SqlText sql(sqlite3_mprintf(
        "insert or replace into system_table values ('user_use_proxy', %d);"
        "insert or replace into system_table values ('user_use_sys_proxy', %d);"
        "insert or replace into system_table values ('user_proxy_ip', '%q');"
        "insert or replace into system_table values ('user_proxy_port', %d);"
        "insert or replace into system_table values ('user_proxy_domain', '%q');"
        "insert or replace into system_table values ('user_proxy_host', '%q');"
        "insert or replace into system_table values ('user_proxy_user', '%q');"
        "insert or replace into system_table values ('user_proxy_pass', '%q');",
        p.use_proxy ? 1 : 0, p.use_sys_proxy ? 1 : 0, p.proxy_ip.c_str(), p.proxy_port,
        p.domain.c_str(), p.host.c_str(), p.user_name.c_str(), stored_pass.c_str()));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Exec(lock, sql.get(), [](int rc, const char* msg) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setProxyInfo fail ret = %d %s\n", rc, msg);
    });
}

int SystemDB::setLastUpdateQueryTime(const ustring& last_query_time) {
    return Store::Write(
        sqlite3_mprintf("INSERT OR REPLACE INTO system_table values('last_query_time', %Q);",
                        last_query_time.c_str_utf8()),
        [] {},
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      msg);
        });
}

// ---- reads ----

int SystemDB::getGeneralOptions(GeneralOptions& g) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getGeneralOptions\n");
    return Store::Read(
        "SELECT * FROM system_table",
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getGeneralOptions: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            const unsigned char* raw = sqlite3_column_text(st, 0);
            // The schema admits a NULL key; no setting lives under it.
            if (!raw) return Step::Next;
            const char* key = reinterpret_cast<const char*>(raw);
            if (KeyIs(key, "enable_desktop_notification"))
                g.enable_desktop_notification = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "enable_iconoverlay"))
                g.enable_iconoverlay = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "enable_startup"))
                g.enable_startup = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "use_black_white_icon"))
                g.use_bw_icon = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "sync_mode"))
                g.sync_mode = sqlite3_column_int(st, 1);
            else if (KeyIs(key, "open_folder"))
                g.open_folder = ColumnText(st, 1);
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getTargetClientVersion(long& version) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getTargetClientVersion\n");
    return Store::Read(
        "SELECT value FROM system_table WHERE key = 'target_client_version';",
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getTargetClientVersion: sqlite3_prepare_v2: %s (%d)\n", msg,
                rc);
        },
        [&](sqlite3_stmt* st) {
            version = static_cast<long>(sqlite3_column_int64(st, 0));
            return Step::Stop;
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get getTargetClientVersion\n");
            return -1;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::getUserProxyInfo(ProxyInfo& p) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getUserProxyInfo\n");
    return Store::Read(
        "SELECT * FROM system_table",
        [&](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getUserProxyInfo: sqlite3_prepare_v2: %s (%d)\n", msg,
                      rc);
            p.clear();
        },
        [&](sqlite3_stmt* st) {
            const unsigned char* raw = sqlite3_column_text(st, 0);
            if (!raw) {
                SYSDB_LOG(L_ERR,
                          "[ERROR] system-db(%d): get proxy info failed, use default setting\n");
                p.clear();
                return Step::Next;
            }
            const char* key = reinterpret_cast<const char*>(raw);
            if (KeyIs(key, "user_use_proxy"))
                p.use_proxy = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "user_use_sys_proxy"))
                p.use_sys_proxy = sqlite3_column_int(st, 1) == 1;
            else if (KeyIs(key, "user_proxy_ip"))
                p.proxy_ip = ColumnBytes(st, 1);
            else if (KeyIs(key, "user_proxy_port"))
                p.proxy_port = static_cast<uint16_t>(sqlite3_column_int(st, 1));
            else if (KeyIs(key, "user_proxy_domain"))
                p.domain = ColumnBytes(st, 1);
            else if (KeyIs(key, "user_proxy_host"))
                p.host = ColumnBytes(st, 1);
            else if (KeyIs(key, "user_proxy_user"))
                p.user_name = ColumnBytes(st, 1);
            else if (KeyIs(key, "user_proxy_pass"))
                SyncPassDec(ColumnBytes(st, 1), p.password);
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getLastUpdateQueryTime(ustring& last_query_time) {
    return Store::Read(
        "SELECT value FROM system_table WHERE key = 'last_query_time'",
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getLastUpdateQueryTime: sqlite3_prepare_v2: %s (%d)\n", msg,
                rc);
        },
        [&](sqlite3_stmt* st) {
            last_query_time = ColumnText(st, 0);
            return Step::Stop;
        },
        [&] {
            last_query_time = "";
            return 0;
        },
        SYSDB_STEP_FAILED);
}
