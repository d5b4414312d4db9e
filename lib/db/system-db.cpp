// The system database store: process-wide state, opening, closing and the schema.
#include "system-db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

// Names that SQLite opens as no file (in-memory and temporary stores) or
// reads as a URI, whose options say how its file is made, are left to it.
bool IsPlainFileName(const char* name) {
    return *name && std::strcmp(name, ":memory:") != 0 && std::strncmp(name, "file:", 5) != 0;
}

// The store holds proxy passwords and session texts, so a new one is made
// owner-only before SQLite first opens it: it never exists with a wider
// mode, and SQLite gives its journal and WAL files the database's mode. An
// existing file, or one that cannot be made, is left for SQLite to open or
// to report.
void CreateOwnerOnly(const char* name) {
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // The umask can only have narrowed 0600; this gives the owner back what
    // it took. Should it fail, the file is still no wider than 0600, and
    // SQLite reports it if the owner cannot write it.
    (void)fchmod(fd, 0600);
    close(fd);
}

// An existing store keeps its mode (the programs of an installation may
// share it through their group), but one that other users may read or write
// is worth one line.
void WarnIfOpenToOthers(const ustring& path) {
    struct stat st;
    if (!IsPlainFileName(path.c_str_utf8()) || stat(path.c_str_utf8(), &st) != 0) return;
    const bool readable = st.st_mode & (S_IRGRP | S_IROTH);
    const bool writable = st.st_mode & (S_IWGRP | S_IWOTH);
    if (!readable && !writable) return;
    SYSDB_LOG(L_WARNING,
              "[WARNING] system-db(%d): SystemDB: database at '%s' is %s by other users (mode "
              "%04o); it holds credentials\n",
              path.c_str(),
              readable && writable ? "readable and writable"
              : readable           ? "readable"
                                   : "writable",
              static_cast<unsigned>(st.st_mode & 07777));
}

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

    if (IsPlainFileName(system_db_path.c_str_utf8())) CreateOwnerOnly(system_db_path.c_str_utf8());
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

    WarnIfOpenToOthers(system_db_path);
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
