// Mapping a local path to the enabled session (and its connection) whose
// sync folder contains it.
#include <sqlite3.h>

#include <string>

#include "db-internal.h"
#include "system-db.h"
#include "utility.h"

int SystemDB::getPathInfoByPath(const ustring& path, PathInfo& path_info) {
    // The session's two columns come first, then the connection's in the
    // order of the table (CTABLE_ positions counted from kConnection).
    enum { kViewId, kSyncFolder, kConnection };
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): Getting ConnectionEntry and view id by [%s].\n",
              path.c_str());
    // The stored folder is the LIKE pattern. Its wildcards and the escape
    // character are escaped, so "%" and "_" in a folder name match only
    // themselves while ASCII letters still match in any case. A session with
    // an empty folder would match every path (and leave no "/" to start the
    // relative path from), so it maps nothing.
    Store::Sql sql = sqlite3_mprintf(
        "SELECT s.view_id, s.sync_folder, c.* FROM connection_table AS c, session_table AS s  "
        "WHERE (c.id = s.conn_id) AND s.attribute & %d AND s.sync_folder <> '' AND ('%q' LIKE "
        "(replace(replace(replace(s.sync_folder, '\\', '\\\\'), '%%', '\\%%'), '_', '\\_') || "
        "'%%') ESCAPE '\\');",
        SA_ENABLE, path.c_str_utf8());
    // Its entries keep the name this lookup had before; a failed step reads
    // as a failed prepare.
    const Store::Op::Report fail =
        SYSDB_REPORT("[ERROR] system-db(%d): getConnectionEntryAndViewIdByPath: [%s]\n", msg);
    const Store::Op op = SYSDB_OP("getConnectionEntryAndViewIdByPath")
                             .FormatFail(
                                 "[ERROR] system-db(%d): getConnectionEntryAndViewIdByPath "
                                 "failed on sqlite3_mprintf")
                             .PrepareFail(fail)
                             .StepFail(fail);
    if (Store::FormatFailed(op, sql)) return -1;
    SYSDB_LOG(L_DEBUG, "[DEBUG] system-db(%d): Getting ConnectionEntry and view id. [%s]\n",
              sql.get());

    Store::Lock lock;
    return Store::Read(
        lock, op, sql,
        [&](const Row& row) {
            ustring folder = row.Text(kSyncFolder);
            // LIKE compares characters and folds only ASCII case, so a match
            // implies the path is at least as long as the folder; checked all
            // the same before cutting, as the offset comes from another text.
            if (folder.empty() || folder.length() - 1 > path.length()) return Step::Next;

            path_info.view_id = row.Id(kViewId);
            path_info.relative_path = path.substr(folder.length() - 1);
            // This query's flags count only as 1, unlike the whole-row decoder's;
            // the other members of the record keep what the caller passed.
            Store::DecodeConnection(
                Row(row.stmt(), kConnection), [](int v) { return v == 1; },
                path_info.connection_entry);
            return Step::Stop;
        },
        [] { return -1; });
}
