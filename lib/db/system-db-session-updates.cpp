// Writes to session_table, and the two queries that serve them.
#include <sqlite3.h>

#include "db-internal.h"
#include "system-db.h"

int SystemDB::setSessionStatus(uint64_t session_id, int status) {
    return Store::Write(
        sqlite3_mprintf("update session_table SET status = %d WHERE id = %llu;", status,
                        U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setSessionStatus fail ret = %d %s\n", rc, err);
        });
}

int SystemDB::setSessionErr(uint64_t session_id, int err) {
    return Store::Write(
        sqlite3_mprintf("update session_table SET error = %d WHERE id = %llu;", err,
                        U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err_text) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): setSessionErr fail ret = %d %s\n", rc,
                      err_text);
        });
}

int SystemDB::addNewSessionInfo(SessionInfo& session_info) {
    ustring stored_folder = session_info.sync_folder + "/";
    return Store::Write(
        sqlite3_mprintf("insert or replace into session_table ( conn_id, share_name, attribute, "
                        "view_id, sync_folder, perm_mode, share_version)values (%llu, '%q', %d, "
                        "%llu, '%q', %d, %d);",
                        U64(session_info.conn_id), session_info.share_name.c_str_utf8(),
                        session_info.attribute, U64(session_info.view_id),
                        stored_folder.c_str_utf8(), static_cast<int>(session_info.perm_mode),
                        session_info.share_version),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): addNewSessionInfo fail ret = %d %s\n", rc,
                      err);
        },
        // Still under the lock, so the id is this insert's.
        [&] { session_info.session_id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db)); });
}

int SystemDB::updateSessionInfo(SessionInfo& session_info) {
    ustring stored_folder = session_info.sync_folder + "/";
    // One hold of the lock covers the update and the id query, so no other
    // thread's statement comes between them.
    Store::Lock lock;
    SqlText update(sqlite3_mprintf(
        "UPDATE session_table SET attribute = %d, sync_folder = '%q', perm_mode = %d , "
        "share_version = %d WHERE share_name = '%q' AND view_id = %llu AND conn_id = %llu;",
        session_info.attribute, stored_folder.c_str_utf8(),
        static_cast<int>(session_info.perm_mode), session_info.share_version,
        session_info.share_name.c_str_utf8(), U64(session_info.view_id),
        U64(session_info.conn_id)));
    if (!update) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    if (Store::Exec(lock, update.get(), [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): updateSessionInfo fail ret = %d %s\n", rc,
                      err);
        }) != 0)
        return -1;

    SqlText select(sqlite3_mprintf(
        "select id from session_table WHERE share_name = '%q' AND view_id = %llu AND conn_id = "
        "%llu;",
        session_info.share_name.c_str_utf8(), U64(session_info.view_id),
        U64(session_info.conn_id)));
    if (!select) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Query(
        lock, select.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): updateSessionInfo: sqlite3_prepare_v2: %s (%d)\n",
                      msg, rc);
        },
        [&](sqlite3_stmt* st) {
            session_info.session_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): update row id %llu\n",
                      U64(session_info.session_id));
            return Step::Stop;
        },
        [] {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): cannnot get id for last update session\n");
            return -1;
        },
        SYSDB_STEP_FAILED);
}

int SystemDB::setSessionAsUsed(uint64_t session_id) {
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute | %d) WHERE id = %llu;",
                        SA_USED, U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}

int SystemDB::checkRemovedView(const SessionInfo& session_info,
                               std::list<uint64_t>& removed_session_list) {
    Store::Lock lock;
    SqlText sql(sqlite3_mprintf(
        "select id from session_table WHERE share_name = '%q' AND conn_id = %llu AND view_id != "
        "%llu ;",
        session_info.share_name.c_str_utf8(), U64(session_info.conn_id),
        U64(session_info.view_id)));
    if (!sql) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n");
        return -1;
    }
    return Store::Query(
        lock, sql.get(),
        [](int rc, const char* msg) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): checkRemovedView: sqlite3_prepare_v2: %s (%d)\n", msg,
                      rc);
        },
        [&](sqlite3_stmt* st) {
            removed_session_list.push_back(static_cast<uint64_t>(sqlite3_column_int64(st, 0)));
            return Step::Next;
        },
        [] { return 0; }, SYSDB_STEP_FAILED);
}

int SystemDB::resetSession(uint64_t session_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): resetSession. id:[%llu]\n", U64(session_id));
    return Store::Write(
        sqlite3_mprintf(
            "UPDATE session_table SET attribute = attribute & (%d), status = 0, error = "
            "0, sync_folder = '/', perm_mode = 2 WHERE id = %llu;",
            SA_IS_HOME | SA_READ_ONLY, U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): reset sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): resetSession fail ret = %d %s\n", rc, err);
        });
}

int SystemDB::deleteSession(uint64_t session_id) {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): deleteSession. id:[%llu]\n", U64(session_id));
    return Store::Write(
        sqlite3_mprintf("delete from session_table WHERE id = %llu;", U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): delete sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): deleteSession fail ret = %d %s\n", rc, err);
        });
}

int SystemDB::disableAllSession() {
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): disableAllSession \n");
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET  attribute = attribute & ~(%d),  status = 0,  "
                        "error = 0 ; ",
                        SA_ENABLE),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): disableAllSession fail ret = %d %s\n", rc,
                      err);
        });
}

int SystemDB::checkHomeSessionFor2197(uint64_t conn_id) {
    SqlText sql(sqlite3_mprintf(
        "SELECT attribute FROM session_table WHERE conn_id = %llu AND share_name = 'home' AND "
        "view_id = 0;",
        U64(conn_id)));
    int result = 0;
    int rc = Store::Read(
        sql.get(),
        [](int, const char* msg) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): checkHomeSessionExist: [%s]\n", msg);
        },
        [&](sqlite3_stmt* st) {
            result = (sqlite3_column_int(st, 0) & SA_ENABLE) ? 1 : 0;
            return Step::Stop;
        },
        [] { return 0; },
        [](int step_rc, const char*) {
            SYSDB_LOG(L_ERR,
                      "[ERROR] system-db(%d): checkHomeSessionExists: sqlite3_step failed[%d]\n",
                      step_rc);
        });
    if (rc != 0) return -1;
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): checkHomeSessionExist: There is %s home session",
              result == 1 ? "a" : "no");
    return result;
}

int SystemDB::updateHomeViewID(uint64_t view_id, uint64_t conn_id) {
    return Store::Write(
        sqlite3_mprintf("update session_table SET view_id = %llu WHERE conn_id = %llu AND "
                        "share_name = 'home';",
                        U64(view_id), U64(conn_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): updateHomeViewID fail ret = %d %s\n", rc, err);
        });
}

void SystemDB::resetSessionPermission() {
    Store::Write(
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d));", SA_READ_ONLY),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}

int SystemDB::setReadOnlyBySession(uint64_t session_id) {
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute | %d) WHERE id = %llu;",
                        SA_READ_ONLY, U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}

int SystemDB::setReadWriteBySession(uint64_t session_id) {
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d)) WHERE id = %llu;",
                        SA_READ_ONLY, U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}

int SystemDB::setDisableBySession(uint64_t session_id) {
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET attribute = (attribute & ~(%d)), error = %d, "
                        "status = %d WHERE id = %llu;",
                        SA_ENABLE, 0, 0, U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}

int SystemDB::setPermSyncModeBySession(uint64_t session_id, PERM_MODE mode) {
    return Store::Write(
        sqlite3_mprintf("UPDATE session_table SET perm_mode = %d WHERE id = %llu;",
                        static_cast<int>(mode), U64(session_id)),
        [] { SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_mprintf failed\n"); },
        [](int rc, const char* err) {
            SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", rc,
                      err);
        });
}
