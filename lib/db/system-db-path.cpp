// Mapping a local path to the enabled session (and its connection) whose
// sync folder contains it.
#include <sqlite3.h>

#include <string>

#include "db-internal.h"
#include "system-db.h"
#include "utility.h"

namespace {

// This query's flags count only as 1, unlike the whole-row decoder's.
bool ColumnIsOne(sqlite3_stmt* stmt, int col) {
    return sqlite3_column_int(stmt, col) == 1;
}

}  // namespace

int SystemDB::getPathInfoByPath(const ustring& path, PathInfo& path_info) {
    // The stored folder is the LIKE pattern. Its wildcards and the escape
    // character are escaped, so "%" and "_" in a folder name match only
    // themselves while ASCII letters still match in any case. A session with
    // an empty folder would match every path (and leave no "/" to start the
    // relative path from), so it maps nothing.
    SqlText sql(sqlite3_mprintf(
        "SELECT s.view_id, s.sync_folder, c.* FROM connection_table AS c, session_table AS s  "
        "WHERE (c.id = s.conn_id) AND s.attribute & %d AND s.sync_folder <> '' AND ('%q' LIKE "
        "(replace(replace(replace(s.sync_folder, '\\', '\\\\'), '%%', '\\%%'), '_', '\\_') || "
        "'%%') ESCAPE '\\');",
        SA_ENABLE, path.c_str_utf8()));
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): Getting ConnectionEntry and view id by [%s].\n",
              path.c_str());
    if (!sql) {
        SYSDB_LOG(
            L_ERR,
            "[ERROR] system-db(%d): getConnectionEntryAndViewIdByPath failed on sqlite3_mprintf");
        return -1;
    }
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): Getting ConnectionEntry and view id. [%s]\n",
              sql.get());

    auto fail = [](int, const char* msg) {
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): getConnectionEntryAndViewIdByPath: [%s]\n", msg);
    };
    return Store::Read(
        sql.get(), fail,
        [&](sqlite3_stmt* st) {
            ustring folder = ColumnText(st, 1);
            // LIKE compares characters and folds only ASCII case, so a match
            // implies the path is at least as long as the folder; checked all
            // the same before cutting, as the offset comes from another text.
            if (folder.empty() || folder.length() - 1 > path.length()) return Step::Next;

            path_info.view_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            path_info.relative_path = path.substr(folder.length() - 1);
            ConnectionInfo& c = path_info.connection_entry.connection_info;
            ProxyInfo& p = path_info.connection_entry.proxy_info;
            TunnelInfo& t = path_info.connection_entry.tunnel_info;
            c.conn_id = static_cast<uint64_t>(sqlite3_column_int64(st, 2));
            c.c_mode = sqlite3_column_int(st, 3);
            c.server_name = ColumnText(st, 4);
            c.server_ip = ColumnText(st, 5);
            c.server_port = sqlite3_column_int(st, 6);
            c.farlink_mode = ColumnText(st, 7);
            c.username = ColumnText(st, 8);
            c.orb_id = ColumnText(st, 9);
            c.session = ColumnText(st, 10);
            c.protocol_version = sqlite3_column_int(st, 11);
            c.computer_name = ColumnText(st, 12);
            c.use_ssl = ColumnIsOne(st, 13);
            c.ssl_allow_untrust = ColumnIsOne(st, 31);
            p.use_proxy = ColumnIsOne(st, 14);
            p.use_sys_proxy = ColumnIsOne(st, 15);
            p.proxy_ip = ColumnBytes(st, 16);
            p.proxy_port = static_cast<uint16_t>(sqlite3_column_int(st, 17));
            p.user_name = ColumnBytes(st, 18);
            SyncPassDec(ColumnBytes(st, 19), p.password);
            p.domain = ColumnBytes(st, 20);
            p.host = ColumnBytes(st, 21);
            t.use_tunnel = ColumnIsOne(st, 22);
            t.tunnel_ip = ColumnBytes(st, 23);
            t.tunnel_port = static_cast<uint16_t>(sqlite3_column_int(st, 24));
            return Step::Stop;
        },
        [] { return -1; }, fail);
}
