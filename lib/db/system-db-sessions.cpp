// The queries that read session_table.
#include <sqlite3.h>

#include <sstream>
#include <string>

#include "db-internal.h"
#include "system-db.h"

// The whole row as GetSessionInfo decodes it, and its positions.
#define SESSION_SELECT                                                                          \
    "SELECT id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, " \
    "sync_folder, perm_mode FROM session_table"

namespace {

enum SessionColumn {
    kSesId,
    kSesConnId,
    kSesShareName,
    kSesAttribute,
    kSesCtime,
    kSesViewId,
    kSesStatus,
    kSesError,
    kSesShareVersion,
    kSesSyncFolder,
    kSesPermMode,
};

// The positions of the shorter select of the per-connection lists.
enum ListColumn {
    kListId,
    kListConnId,
    kListShareName,
    kListAttribute,
    kListViewId,
    kListSyncFolder,
    kListPermMode,
    kListShareVersion,
};

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

// Both per-connection lists decode their shorter select in line.
SessionInfo ListRow(const Row& row) {
    SessionInfo info;
    info.session_id = row.Id(kListId);
    info.conn_id = row.Id(kListConnId);
    info.share_name = row.Text(kListShareName);
    info.attribute = row.Int(kListAttribute);
    info.view_id = row.Id(kListViewId);
    info.sync_folder = WithoutLastByte(row.Text(kListSyncFolder));
    info.perm_mode = static_cast<PERM_MODE>(row.Int(kListPermMode));
    info.share_version = row.Int(kListShareVersion);
    return info;
}

}  // namespace

int SystemDB::GetSessionInfo(sqlite3_stmt* stmt, SessionInfo& info) {
    const Row row(stmt);
    info.session_id = row.Id(kSesId);
    info.conn_id = row.Id(kSesConnId);
    info.share_name = row.Text(kSesShareName);
    info.attribute = row.Int(kSesAttribute);
    info.view_id = row.Id(kSesViewId);
    info.share_version = row.Int(kSesShareVersion);
    info.sync_folder = row.Text(kSesSyncFolder);
    info.perm_mode = static_cast<PERM_MODE>(row.Int(kSesPermMode));
    info.sync_folder.rtrim("/\\");
    return 0;
}

int SystemDB::getEnabledSession(std::list<SessionInfo>& sinfo_list) {
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getEnabledSession\n");
    return Store::ReadRows(SYSDB_OP("getEnabledSession"),
                           sqlite3_mprintf(SESSION_SELECT " WHERE (attribute & %d);", SA_ENABLE),
                           [&](const Row& row) {
                               SessionInfo info;
                               GetSessionInfo(row.stmt(), info);
                               sinfo_list.push_back(info);
                           });
}

int SystemDB::getSessionListByConnectionID(std::list<SessionInfo>& sinfo_list, uint64_t conn_id) {
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSessionListByConnectionID");
    return Store::ReadRows(
        SYSDB_OP("getSessionListByConnectionID"),
        sqlite3_mprintf("SELECT id, conn_id, share_name, attribute, view_id, sync_folder, "
                        "perm_mode, share_version FROM session_table WHERE conn_id = %llu;",
                        U64(conn_id)),
        [&](const Row& row) { sinfo_list.push_back(ListRow(row)); });
}

int SystemDB::getValidSessionListByConnectionID(std::list<SessionInfo>& sinfo_list,
                                                uint64_t conn_id) {
    sinfo_list.clear();
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getValidSessionListByConnectionID\n");
    return Store::ReadRows(
        SYSDB_OP("getValidSessionListByConnectionID"),
        sqlite3_mprintf(
            "SELECT id,conn_id,share_name,attribute,view_id,sync_folder,perm_mode,share_version "
            "FROM session_table WHERE conn_id = %llu AND ((attribute & %d) = 0 OR (attribute & "
            "%d) OR (attribute & %d));",
            U64(conn_id), SA_DELETED, SA_ENABLE, SA_USED),
        [&](const Row& row) { sinfo_list.push_back(ListRow(row)); });
}

int SystemDB::getSessionInfoBySessionID(uint64_t session_id, SessionInfo& session_info) {
    return Store::ReadRow(SYSDB_OP("getSessionInfoBySessionID"),
                          sqlite3_mprintf(SESSION_SELECT " WHERE id = %llu;", U64(session_id)),
                          [&](const Row& row) { GetSessionInfo(row.stmt(), session_info); });
}

int SystemDB::getSessionInfoByLocalFolder(const ustring& local_folder, SessionInfo& session_info) {
    ustring key = local_folder + "/";
    return Store::ReadRow(
        SYSDB_OP("getSessionInfoByLocalFolder"),
        sqlite3_mprintf(SESSION_SELECT " WHERE sync_folder = %Q;", key.c_str_utf8()),
        [&](const Row& row) { GetSessionInfo(row.stmt(), session_info); });
}

int SystemDB::getSyncFolder(const ustring& share_name, ustring& sync_folder) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSyncFolder\n");
    return Store::ReadRow(
        SYSDB_OP("getSyncFolder"),
        sqlite3_mprintf("SELECT sync_folder FROM session_table WHERE share_name = '%q';",
                        share_name.c_str_utf8()),
        [&](const Row& row) { sync_folder = WithoutLastByte(row.Text(0)); },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get home share sync folder QQ");
            return -1;
        });
}

int SystemDB::getFolderInfoByRowID(uint64_t session_id, ustring& share_name, ustring& sync_folder) {
    enum { kShareName, kSyncFolder };
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSystemInfo\n");
    return Store::ReadRows(
        SYSDB_OP("getFolderInfoByRowID"),
        sqlite3_mprintf("SELECT share_name,sync_folder FROM session_table WHERE id = %llu;",
                        U64(session_id)),
        [&](const Row& row) {
            if (!row.IsNull(kShareName)) share_name = row.Text(kShareName);
            if (!row.IsNull(kSyncFolder)) sync_folder = WithoutLastByte(row.Text(kSyncFolder));
        });
}

int SystemDB::getSessionStatusAndErr(uint64_t session_id, int& session_status, int& session_err,
                                     int& connection_status, int& connection_err) {
    enum { kSessionStatus, kSessionError, kConnectionStatus, kConnectionError };
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getSessionStatusAndErr\n");
    return Store::ReadRow(
        SYSDB_OP("getSessionStatusAndErr"),
        sqlite3_mprintf("SELECT st.status, st.error, ct.status, ct.error FROM session_table AS st, "
                        "connection_table AS ct WHERE st.id = %llu AND ct.id = st.conn_id;",
                        U64(session_id)),
        [&](const Row& row) {
            session_status = row.Int(kSessionStatus);
            session_err = row.Int(kSessionError);
            connection_status = row.Int(kConnectionStatus);
            connection_err = row.Int(kConnectionError);
        },
        [&] {
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): cannnot get getSessionStatusAndErr %llu\n",
                      U64(session_id));
            return -1;
        });
}

uint64_t SystemDB::getMaxSessionId() {
    uint64_t max_id = 0;
    Store::ReadRow(
        SYSDB_OP("getMaxSessionId")
            .FormatFail("[ERROR] system-db(%d): getMaxSessionId: sqlite3_mprintf failed.\n"),
        sqlite3_mprintf("SELECT MAX(id) from session_table;"),
        [&](const Row& row) {
            // MAX over an empty table is one row holding NULL, which reads as 0.
            max_id = row.Id(0);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): getMaxSessionId: get max id = [%llu]\n",
                      U64(max_id));
        },
        [] {
            SYSDB_LOG(L_INFO,
                      "[INFO] system-db(%d): getMaxSessionId: Cannnot get max session id, empty "
                      "table maybe ?\n");
            return 0;
        });
    return max_id;
}

int SystemDB::getPermSyncModeBySession(uint64_t session_id, PERM_MODE& mode) {
    return Store::ReadRow(
        SYSDB_OP("getPermSyncModeBySession"),
        sqlite3_mprintf("SELECT perm_mode from session_table WHERE id = %llu;", U64(session_id)),
        [&](const Row& row) { mode = static_cast<PERM_MODE>(row.Int(0)); },
        [&] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get perm mode for session %llu\n",
                      U64(session_id));
            return -1;
        });
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
    std::string filter = sessionFiltertoSQL(filter_list);
    return Store::ReadRow(
        SYSDB_OP("isSyncFolderConflict").FormatFail(kMprintfFailed),
        sqlite3_mprintf(
            "SELECT * FROM session_table WHERE (('%q' LIKE (replace(replace(replace(sync_folder, "
            "'\\', '\\\\'), '%%', '\\%%'), '_', '\\_') || '%%') ESCAPE '\\') OR  (sync_folder "
            "LIKE ('%q' || '%%') ESCAPE '\\'))  AND (attribute & %d) AND %s;",
            candidate.c_str_utf8(), candidate_pattern.c_str(), SA_ENABLE, filter.c_str()),
        [&](const Row&) { is_conflict = true; },
        [&] {
            is_conflict = false;
            return 0;
        });
}
