// Writes to session_table, and the two queries that serve them.
#include <sqlite3.h>

#include "db-internal.h"
#include "system-db.h"

int SystemDB::setSessionStatus(uint64_t session_id, int status) {
    return Store::Write(SYSDB_OP("setSessionStatus").FormatFail(kMprintfFailedWide),
                        sqlite3_mprintf("update session_table SET status = %d WHERE id = %llu;",
                                        status, U64(session_id)));
}

int SystemDB::setSessionErr(uint64_t session_id, int err) {
    return Store::Write(SYSDB_OP("setSessionErr").FormatFail(kMprintfFailedWide),
                        sqlite3_mprintf("update session_table SET error = %d WHERE id = %llu;", err,
                                        U64(session_id)));
}

int SystemDB::addNewSessionInfo(SessionInfo& session_info) {
    ustring stored_folder = session_info.sync_folder + "/";
    return Store::Insert(
        SYSDB_OP("addNewSessionInfo").FormatFail(kInsertReplaceMprintfFailed),
        sqlite3_mprintf("insert or replace into session_table ( conn_id, share_name, attribute, "
                        "view_id, sync_folder, perm_mode, share_version)values (%llu, '%q', %d, "
                        "%llu, '%q', %d, %d);",
                        U64(session_info.conn_id), session_info.share_name.c_str_utf8(),
                        session_info.attribute, U64(session_info.view_id),
                        stored_folder.c_str_utf8(), static_cast<int>(session_info.perm_mode),
                        session_info.share_version),
        session_info.session_id);
}

int SystemDB::updateSessionInfo(SessionInfo& session_info) {
    ustring stored_folder = session_info.sync_folder + "/";
    const Store::Op op = SYSDB_OP("updateSessionInfo").FormatFail(kInsertReplaceMprintfFailed);
    // One hold of the lock covers the update and the id query, so no other
    // thread's statement comes between them.
    Store::Lock lock;
    int rc = Store::Exec(
        lock, op,
        sqlite3_mprintf(
            "UPDATE session_table SET attribute = %d, sync_folder = '%q', perm_mode = %d , "
            "share_version = %d WHERE share_name = '%q' AND view_id = %llu AND conn_id = %llu;",
            session_info.attribute, stored_folder.c_str_utf8(),
            static_cast<int>(session_info.perm_mode), session_info.share_version,
            session_info.share_name.c_str_utf8(), U64(session_info.view_id),
            U64(session_info.conn_id)));
    if (rc != 0) return -1;
    return Store::ReadRow(
        lock, op,
        sqlite3_mprintf("select id from session_table WHERE share_name = '%q' AND view_id = %llu "
                        "AND conn_id = %llu;",
                        session_info.share_name.c_str_utf8(), U64(session_info.view_id),
                        U64(session_info.conn_id)),
        [&](const Row& row) {
            session_info.session_id = row.Id(0);
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): update row id %llu\n",
                      U64(session_info.session_id));
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get id for last update session\n");
            return -1;
        });
}

int SystemDB::setSessionAsUsed(uint64_t session_id) {
    return Store::Write(
        SYSDB_OP("setSessionAsUsed").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute | %d) WHERE id = %llu;",
                        SA_USED, U64(session_id)));
}

int SystemDB::checkRemovedView(const SessionInfo& session_info,
                               std::list<uint64_t>& removed_session_list) {
    return Store::ReadRows(
        SYSDB_OP("checkRemovedView").FormatFail(kInsertReplaceMprintfFailed),
        sqlite3_mprintf("select id from session_table WHERE share_name = '%q' AND conn_id = %llu "
                        "AND view_id != %llu ;",
                        session_info.share_name.c_str_utf8(), U64(session_info.conn_id),
                        U64(session_info.view_id)),
        [&](const Row& row) { removed_session_list.push_back(row.Id(0)); });
}

int SystemDB::resetSession(uint64_t session_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): resetSession. id:[%llu]\n", U64(session_id));
    return Store::Write(
        SYSDB_OP("resetSession")
            .FormatFail("[ERROR] system-db(%d): reset sqlite3_mprintf failed.\n"),
        sqlite3_mprintf("UPDATE session_table SET attribute = attribute & (%d), status = 0, error "
                        "= 0, sync_folder = '/', perm_mode = 2 WHERE id = %llu;",
                        SA_IS_HOME | SA_READ_ONLY, U64(session_id)));
}

int SystemDB::deleteSession(uint64_t session_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): deleteSession. id:[%llu]\n", U64(session_id));
    return Store::Write(
        SYSDB_OP("deleteSession").FormatFail(kDeleteMprintfFailed),
        sqlite3_mprintf("delete from session_table WHERE id = %llu;", U64(session_id)));
}

int SystemDB::disableAllSession() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): disableAllSession \n");
    return Store::Write(SYSDB_OP("disableAllSession").FormatFail(kInsertMprintfFailed),
                        sqlite3_mprintf("UPDATE session_table SET  attribute = attribute & ~(%d),  "
                                        "status = 0,  error = 0 ; ",
                                        SA_ENABLE));
}

int SystemDB::checkHomeSessionFor2197(uint64_t conn_id) {
    // Its entries keep the name this check had before.
    const Store::Op op =
        SYSDB_OP("checkHomeSessionExist")
            .PrepareFail(SYSDB_REPORT("[ERROR] system-db(%d): checkHomeSessionExist: [%s]\n", msg))
            .StepFail(SYSDB_REPORT(
                "[ERROR] system-db(%d): checkHomeSessionExists: sqlite3_step failed[%d]\n", code));
    int result = 0;
    int rc = Store::ReadRow(op,
                            sqlite3_mprintf("SELECT attribute FROM session_table WHERE conn_id = "
                                            "%llu AND share_name = 'home' AND view_id = 0;",
                                            U64(conn_id)),
                            [&](const Row& row) { result = (row.Int(0) & SA_ENABLE) ? 1 : 0; });
    if (rc != 0) return -1;
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): checkHomeSessionExist: There is %s home session",
              result == 1 ? "a" : "no");
    return result;
}

int SystemDB::updateHomeViewID(uint64_t view_id, uint64_t conn_id) {
    return Store::Write(SYSDB_OP("updateHomeViewID").FormatFail(kMprintfFailedWide),
                        sqlite3_mprintf("update session_table SET view_id = %llu WHERE conn_id = "
                                        "%llu AND share_name = 'home';",
                                        U64(view_id), U64(conn_id)));
}

// The attribute and permission writes name no operation in their entries.

void SystemDB::resetSessionPermission() {
    Store::Write(
        SYSDB_OP("resetSessionPermission").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d));", SA_READ_ONLY));
}

int SystemDB::setReadOnlyBySession(uint64_t session_id) {
    return Store::Write(
        SYSDB_OP("setReadOnlyBySession").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute | %d) WHERE id = %llu;",
                        SA_READ_ONLY, U64(session_id)));
}

int SystemDB::setReadWriteBySession(uint64_t session_id) {
    return Store::Write(
        SYSDB_OP("setReadWriteBySession").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d)) WHERE id = %llu;",
                        SA_READ_ONLY, U64(session_id)));
}

int SystemDB::setDisableBySession(uint64_t session_id) {
    return Store::Write(
        SYSDB_OP("setDisableBySession").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d)), error = %d, "
                        "status = %d WHERE id = %llu;",
                        SA_ENABLE, 0, 0, U64(session_id)));
}

int SystemDB::setPermSyncModeBySession(uint64_t session_id, PERM_MODE mode) {
    return Store::Write(
        SYSDB_OP("setPermSyncModeBySession").FormatFail(kMprintfFailedShort).ExecFail(ExecFailed),
        sqlite3_mprintf("UPDATE session_table SET perm_mode = %d WHERE id = %llu;",
                        static_cast<int>(mode), U64(session_id)));
}
