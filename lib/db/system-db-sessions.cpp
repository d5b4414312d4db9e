// Session records and the queries that read session_table.
#include <sqlite3.h>

#include <sstream>
#include <string>

#include "db-internal.h"
#include "system-db.h"

namespace {

// The per-connection lists and the single-folder lookups take the stored
// folder less its one trailing "/"; an empty value stays empty.
ustring WithoutLastByte(const ustring& stored) {
    return stored.empty() ? stored : stored.substr(0, stored.length() - 1);
}

// Escapes the LIKE wildcards and the escape character itself, so that a
// folder used as a pattern matches only itself (under ESCAPE '\').
std::string EscapeLike(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\\' || *p == '%' || *p == '_') out += '\\';
        out += *p;
    }
    return out;
}

// Shared by both per-connection lists: decodes the 8-column SELECT in line.
template <class PrepareFail>
int ReadSessionRows(const char* sql, std::list<SessionInfo>& sinfo_list,
                    PrepareFail&& prepare_fail) {
    return SystemDB::Store::Read(
        sql, prepare_fail,
        [&](sqlite3_stmt* st) {
            SessionInfo info;
            info.session_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            info.conn_id = static_cast<uint64_t>(sqlite3_column_int64(st, 1));
            info.share_name = ColumnText(st, 2);
            info.attribute = sqlite3_column_int(st, 3);
            info.view_id = static_cast<uint64_t>(sqlite3_column_int64(st, 4));
            info.sync_folder = WithoutLastByte(ColumnText(st, 5));
            info.perm_mode = static_cast<PERM_MODE>(sqlite3_column_int(st, 6));
            info.share_version = sqlite3_column_int(st, 7);
            sinfo_list.push_back(info);
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

}  // namespace

// ---- SessionInfo ----

bool SessionInfo::operator==(const SessionInfo& o) const {
    return session_id == o.session_id && share_name == o.share_name && attribute == o.attribute &&
           view_id == o.view_id && enabled == o.enabled && share_version == o.share_version &&
           sync_folder == o.sync_folder && conn_id == o.conn_id && perm_mode == o.perm_mode;
}

void SessionInfo::setUsed() {
    attribute |= SA_USED;
}
void SessionInfo::setUnused() {
    attribute &= ~SA_USED;
}
bool SessionInfo::isUsed() const {
    return (attribute & SA_USED) != 0;
}
void SessionInfo::setEnabled() {
    attribute |= SA_ENABLE;
}
void SessionInfo::setDisabled() {
    attribute &= ~SA_ENABLE;
}
bool SessionInfo::isEnabled() const {
    return (attribute & SA_ENABLE) != 0;
}
bool SessionInfo::isHome() const {
    return (attribute & SA_IS_HOME) != 0;
}
void SessionInfo::setShareSession() {
    attribute &= ~SA_IS_HOME;
}
void SessionInfo::setDeleted() {
    attribute |= SA_DELETED;
}
void SessionInfo::setNotDeleted() {
    attribute &= ~SA_DELETED;
}
bool SessionInfo::isDeleted() const {
    return (attribute & SA_DELETED) != 0;
}
void SessionInfo::setReadOnly() {
    attribute |= SA_READ_ONLY;
}
void SessionInfo::setReadWrite() {
    attribute &= ~SA_READ_ONLY;
}
bool SessionInfo::isReadOnly() const {
    return (attribute & SA_READ_ONLY) != 0;
}
void SessionInfo::setPermMode(PERM_MODE mode) {
    perm_mode = mode;
}

ustring SessionInfo::permModeToStr() const {
    switch (perm_mode) {
        case PERM_ALL:
            return ustring("PERM_ALL");
        case PERM_DOMAIN:
            return ustring("PERM_DOMAIN");
        case PERM_EXEC_BIT:
            return ustring("PERM_EXEC_BIT");
    }
    return ustring("PERM_UNKNOWN(" + std::to_string(static_cast<int>(perm_mode)) + ")");
}

// ---- queries ----

int SystemDB::GetSessionInfo(sqlite3_stmt* stmt, SessionInfo& info) {
    info.session_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
    info.conn_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    info.share_name = ColumnText(stmt, 2);
    info.attribute = sqlite3_column_int(stmt, 3);
    info.view_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 5));
    info.share_version = sqlite3_column_int(stmt, 8);
    info.sync_folder = ColumnText(stmt, 9);
    info.perm_mode = static_cast<PERM_MODE>(sqlite3_column_int(stmt, 10));
    info.sync_folder.rtrim("/\\");
    return 0;
}

int SystemDB::getEnabledSession(std::list<SessionInfo>& sinfo_list) {
    SqlText sql(sqlite3_mprintf(
        "SELECT id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, "
        "sync_folder, perm_mode FROM session_table WHERE (attribute & %d);",
        SA_ENABLE));
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getEnabledSession\n");
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getEnabledSession: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            SessionInfo info;
            GetSessionInfo(st, info);
            sinfo_list.push_back(info);
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getSessionListByConnectionID(std::list<SessionInfo>& sinfo_list, uint64_t conn_id) {
    SqlText sql(sqlite3_mprintf(
        "SELECT id, conn_id, share_name, attribute, view_id, sync_folder, perm_mode, share_version "
        "FROM session_table WHERE conn_id = %llu;",
        U64(conn_id)));
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSessionListByConnectionID");
    return ReadSessionRows(sql.get(), sinfo_list, [](int rc, const char* msg) {
        SYSDB_LOG(
            L_ERR,
            "[ERROR] system-db(%d): getSessionListByConnectionID: sqlite3_prepare_v2: %s (%d)\n",
            msg, rc);
    });
}

int SystemDB::getValidSessionListByConnectionID(std::list<SessionInfo>& sinfo_list,
                                                uint64_t conn_id) {
    SqlText sql(sqlite3_mprintf(
        "SELECT id,conn_id,share_name,attribute,view_id,sync_folder,perm_mode,share_version FROM "
        "session_table WHERE conn_id = %llu AND ((attribute & %d) = 0 OR (attribute & %d) OR "
        "(attribute & %d));",
        U64(conn_id), SA_DELETED, SA_ENABLE, SA_USED));
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getValidSessionListByConnectionID\n");
    return ReadSessionRows(sql.get(), sinfo_list, [](int rc, const char* msg) {
        SYSDB_LOG(L_ERR,
                  "[ERROR] system-db(%d): getValidSessionListByConnectionID: sqlite3_prepare_v2: "
                  "%s (%d)\n",
                  msg, rc);
    });
}

int SystemDB::getSessionInfoBySessionID(uint64_t session_id, SessionInfo& session_info) {
    SqlText sql(sqlite3_mprintf(
        "SELECT id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, "
        "sync_folder, perm_mode FROM session_table WHERE id = %llu;",
        U64(session_id)));
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getSessionInfoBySessionID: sqlite3_prepare_v2: %s (%d)\n",
                msg, rc);
        },
        [&](sqlite3_stmt* st) {
            GetSessionInfo(st, session_info);
            return Step::Stop;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getSessionInfoByLocalFolder(const ustring& local_folder, SessionInfo& session_info) {
    ustring key = local_folder + "/";
    SqlText sql(sqlite3_mprintf(
        "SELECT id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, "
        "sync_folder, perm_mode FROM session_table WHERE sync_folder = %Q;",
        key.c_str_utf8()));
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getSessionInfoByLocalFolder: sqlite3_prepare_v2: %s (%d)\n",
                msg, rc);
        },
        [&](sqlite3_stmt* st) {
            GetSessionInfo(st, session_info);
            return Step::Stop;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getSyncFolder(const ustring& share_name, ustring& sync_folder) {
    SqlText sql(sqlite3_mprintf("SELECT sync_folder FROM session_table WHERE share_name = '%q';",
                                share_name.c_str_utf8()));
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSyncFolder\n");
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): getSyncFolder: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            sync_folder = WithoutLastByte(ColumnText(st, 0));
            return Step::Stop;
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get home share sync folder QQ");
            return -1;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::getFolderInfoByRowID(uint64_t session_id, ustring& share_name, ustring& sync_folder) {
    SqlText sql(sqlite3_mprintf("SELECT share_name,sync_folder FROM session_table WHERE id = %llu;",
                                U64(session_id)));
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSystemInfo\n");
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getFolderInfoByRowID: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            if (sqlite3_column_type(st, 0) != SQLITE_NULL) share_name = ColumnText(st, 0);
            if (sqlite3_column_type(st, 1) != SQLITE_NULL)
                sync_folder = WithoutLastByte(ColumnText(st, 1));
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::getSessionStatusAndErr(uint64_t session_id, int& session_status, int& session_err,
                                     int& connection_status, int& connection_err) {
    SqlText sql(
        sqlite3_mprintf("SELECT st.status, st.error, ct.status, ct.error FROM session_table AS st, "
                        "connection_table AS ct WHERE st.id = %llu AND ct.id = st.conn_id;",
                        U64(session_id)));
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSessionStatusAndErr\n");
    return Store::Read(
        sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getSessionStatusAndErr: sqlite3_prepare_v2: %s (%d)\n", msg,
                rc);
        },
        [&](sqlite3_stmt* st) {
            session_status = sqlite3_column_int(st, 0);
            session_err = sqlite3_column_int(st, 1);
            connection_status = sqlite3_column_int(st, 2);
            connection_err = sqlite3_column_int(st, 3);
            return Step::Stop;
        },
        [&] {
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): cannnot get getSessionStatusAndErr %llu\n",
                      U64(session_id));
            return -1;
        },
        SYSDB_STEP_FAILED);
}

uint64_t SystemDB::getMaxSessionId() {
    Store::Lock lock;
    SqlText sql(sqlite3_mprintf("SELECT MAX(id) from session_table;"));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): getMaxSessionId: sqlite3_mprintf failed.\n");
        return 0;
    }
    uint64_t max_id = 0;
    Store::Query(
        lock, sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): getMaxSessionId: sqlite3_prepare_v2: %s (%d)\n", msg,
                      rc);
        },
        [&](sqlite3_stmt* st) {
            // MAX over an empty table is one row holding NULL, which reads as 0.
            max_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getMaxSessionId: get max id = [%llu]\n",
                      U64(max_id));
            return Step::Stop;
        },
        [] {
            SYSDB_LOG(L_INFO,
                      "[INFO] system-db(%d): getMaxSessionId: Cannnot get max session id, empty "
                      "table maybe ?\n");
            return 0;
        },
        SYSDB_STEP_FAILED);
    return max_id;
}

int SystemDB::getPermSyncModeBySession(uint64_t session_id, PERM_MODE& mode) {
    Store::Lock lock;
    SqlText sql(
        sqlite3_mprintf("SELECT perm_mode from session_table WHERE id = %llu;", U64(session_id)));
    return Store::Query(
        lock, sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(
                L_ERR,
                "[ERROR] system-db(%d): getPermSyncModeBySession: sqlite3_prepare_v2: %s (%d)\n",
                msg, rc);
        },
        [&](sqlite3_stmt* st) {
            mode = static_cast<PERM_MODE>(sqlite3_column_int(st, 0));
            return Step::Stop;
        },
        [&] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get perm mode for session %llu\n",
                      U64(session_id));
            return -1;
        },
        SYSDB_STEP_FAILED);
}

std::string SystemDB::sessionFiltertoSQL(const std::list<uint64_t>& session_list) {
    std::ostringstream cond;
    cond << "(";
    for (uint64_t id : session_list) cond << "id <> " << id << " AND ";
    cond << "1)";
    return cond.str();
}

int SystemDB::isSyncFolderConflict(const ustring& syncfolder, bool& is_conflict,
                                   const std::list<uint64_t>& filter_list) {
    ustring candidate = syncfolder + "/";
    // Both folders serve as LIKE patterns; escaped, a "%" or "_" in a folder
    // name matches only itself, while ASCII letters still match in any case.
    std::string candidate_pattern = EscapeLike(candidate.c_str_utf8());
    Store::Lock lock;
    std::string filter = sessionFiltertoSQL(filter_list);
    SqlText sql(sqlite3_mprintf(
        "SELECT * FROM session_table WHERE (('%q' LIKE (replace(replace(replace(sync_folder, "
        "'\\', '\\\\'), '%%', '\\%%'), '_', '\\_') || '%%') ESCAPE '\\') OR  (sync_folder LIKE "
        "('%q' || '%%') ESCAPE '\\'))  AND (attribute & %d) AND %s;",
        candidate.c_str_utf8(), candidate_pattern.c_str(), SA_ENABLE, filter.c_str()));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Query(
        lock, sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): isSyncFolderConflict: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt*) {
            is_conflict = true;
            return Step::Stop;
        },
        [&] {
            is_conflict = false;
            return 0;
        },
        SYSDB_STEP_FAILED);
}
