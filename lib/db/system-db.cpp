// The system database store: process-wide state, opening, closing and the schema.
#include "system-db.h"

#include <sqlite3.h>

#include "db-internal.h"

sqlite3* SystemDB::m_db = nullptr;
pthread_mutex_t SystemDB::m_dbMutex = PTHREAD_MUTEX_INITIALIZER;
std::string SystemDB::m_system_db_path;

namespace {

// Five minutes: another process may hold the file for a long sync step.
constexpr int kBusyTimeoutMs = 300000;

// Creates whatever is missing, in one transaction, so that a failure leaves
// no half-made schema behind. Existing tables and the version row are kept
// as an earlier release wrote them.
const char kSchemaScript[] =
    "BEGIN;"
    "CREATE TABLE IF NOT EXISTS connection_table ("
    "id INTEGER primary key autoincrement, "
    "conn_mode INTEGER DEFAULT 0, "
    "server_name TEXT DEFAULT '', "
    "server_ip TEXT DEFAULT '', "
    "server_port INTEGER DEFAULT 0, "
    "farlink_mode TEXT DEFAULT '', "
    "username TEXT COLLATE NOCASE DEFAULT '', "
    "orb_id TEXT DEFAULT '', "
    "session TEXT NOT NULL DEFAULT '', "
    "protocol_version INTEGER DEFAULT 0, "
    "computer_name TEXT DEFAULT '', "
    "use_ssl INTEGER DEFAULT 0, "
    "use_proxy INTEGER DEFAULT 0, "
    "use_system_proxy INTEGER DEFAULT 0, "
    "proxy_ip TEXT DEFAULT '', "
    "proxy_port INTEGER DEFAULT 0, "
    "proxy_username TEXT DEFAULT '', "
    "proxy_password TEXT DEFAULT '', "
    "proxy_domain TEXT DEFAULT '', "
    "proxy_host TEXT DEFAULT '', "
    "use_tunnel INTEGER DEFAULT 0, "
    "tunnel_ip TEXT DEFAULT '', "
    "tunnel_port INTEGER DEFAULT 0, "
    "linked INTEGER DEFAULT 0, "
    "status INTEGER DEFAULT 0, "
    "error INTEGER DEFAULT 0, "
    "package_version INTEGER DEFAULT 0, "
    "major INTEGER DEFAULT 0, "
    "minor INTEGER DEFAULT 0, "
    "ssl_allow_untrust INTEGER DEFAULT 0, "
    "user_uid INTEGER DEFAULT 0, "
    "user_gid INTEGER DEFAULT 0, "
    "user_is_admin INTEGER DEFAULT 1"
    ");"
    "CREATE TABLE IF NOT EXISTS session_table ("
    "id INTEGER primary key autoincrement, "
    "conn_id INTEGER DEFAULT 0, "
    "share_name TEXT COLLATE NOCASE DEFAULT '', "
    "attribute INTEGER DEFAULT 0, "
    "ctime DATATIME DEFAULT (strftime('%s','now')), "
    "view_id INTEGER DEFAULT 0, "
    "status INTEGER DEFAULT 0, "
    "error INTEGER DEFAULT 0, "
    "share_version INTEGER DEFAULT 0, "
    "sync_folder TEXT DEFAULT '', "
    "perm_mode INTEGER DEFAULT 0"
    ");"
    "CREATE TABLE IF NOT EXISTS system_table ("
    "key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, "
    "value VARCHAR NOT NULL"
    ");"
    "CREATE INDEX IF NOT EXISTS session_table_name_idx on session_table(share_name);"
    "CREATE INDEX IF NOT EXISTS session_table_view_idx on session_table(view_id);"
    "CREATE INDEX IF NOT EXISTS session_table_attr_idx on session_table(attribute);"
    "INSERT or IGNORE into system_table values ('release_version', 13);"
    "COMMIT;";

}  // namespace

SystemDB::SystemDB() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): SystemDB constructed\n");
}

SystemDB::~SystemDB() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): SystemDB deconstructed\n");
}

int SystemDB::lock() {
    return pthread_mutex_lock(&m_dbMutex);
}

int SystemDB::unlock() {
    return pthread_mutex_unlock(&m_dbMutex);
}

int SystemDB::initialize(const ustring& system_db_path) {
    if (m_db) {
        SYSDB_LOG(L_INFO, "[INFO] system-db(%d): SystemDB has been initialized (no-op)\n");
        return 0;
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open(system_db_path.c_str_utf8(), &db);
    if (rc != SQLITE_OK) {
        // Without memory for a handle SQLite leaves db null; its message
        // for a null handle is then the out-of-memory text.
        SYSDB_LOG(L_ERR,
                  "[ERROR] system-db(%d): SystemDB: Failed to open database at '%s'. [%d] %s\n",
                  system_db_path.c_str(), rc, sqlite3_errmsg(db));
        sqlite3_close(db);
        return -1;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    char* raw_err = nullptr;
    rc = sqlite3_exec(db, kSchemaScript, nullptr, nullptr, &raw_err);
    SqlText err(raw_err);
    if (rc != SQLITE_OK) {
        SYSDB_LOG(
            L_ERR,
            "[ERROR] system-db(%d): SystemDB: Failed to initialize database at '%s'. [%d] %s\n",
            system_db_path.c_str(), rc, sqlite3_errmsg(db));
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): initialize fail %s\n", err ? err.get() : "");
        // Closing rolls back the unfinished script transaction.
        sqlite3_close(db);
        return -1;
    }

    m_db = db;
    m_system_db_path = system_db_path.c_str_utf8();
    SYSDB_LOG(L_INFO, "[INFO] system-db(%d): SystemDB has been initialized with location '%s'\n",
              system_db_path.c_str());
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    return 0;
}

void SystemDB::destroy() {
    if (!m_db) {
        SYSDB_LOG(L_INFO, "[INFO] system-db(%d): SystemDB has been deinitialzed (no-op)\n");
        return;
    }
    sqlite3_close(m_db);
    m_db = nullptr;
    m_system_db_path.clear();
    SYSDB_LOG(L_INFO, "[INFO] system-db(%d): SystemDB has been deinitialzed\n");
}
