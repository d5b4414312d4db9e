// brimvale-sysdb's in-memory copy of a system database and its own readers.
#include "sysdb-store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db-snapshot.h"

namespace {

// Shared in-memory databases (the memdb VFS), reached by name from the
// command's own connection and from SystemDB's.
const char kCopyUri[] = "file:/brimvale-sysdb-copy?vfs=memdb";
const char kNewUri[] = "file:/brimvale-sysdb-new?vfs=memdb";

// What the library reads of each table; a table of that name without these
// columns belongs to some other program.
const char* const kClientTables[][2] = {
    {"connection_table",
     "id, conn_mode, server_name, server_ip, server_port, farlink_mode, username, orb_id, "
     "session, protocol_version, computer_name, use_ssl, use_proxy, use_system_proxy, proxy_ip, "
     "proxy_port, proxy_username, proxy_password, proxy_domain, proxy_host, use_tunnel, "
     "tunnel_ip, tunnel_port, linked, status, error, package_version, major, minor, "
     "ssl_allow_untrust, user_uid, user_gid, user_is_admin"},
    // In the order SystemDB::GetSessionInfo decodes.
    {"session_table",
     "id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, "
     "sync_folder, perm_mode"},
    {"system_table", "key, value"},
};
enum SessionColumn { kSessionStatus = 6, kSessionError = 7 };

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;
using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

Statement Prepare(sqlite3* db, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    return Statement(stmt, &sqlite3_finalize);
}

std::string ColumnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
}

Connection OpenMemory(const char* uri) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(uri, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI,
                    nullptr);
    return Connection(db, &sqlite3_close);
}

std::optional<std::string> ReleaseVersion(sqlite3* db) {
    std::vector<std::string> values;
    FirstColumns(db, "SELECT value FROM system_table WHERE key = 'release_version';", values);
    if (values.empty()) return std::nullopt;
    return values.front();
}

// The URI under which SQLite reads the file at `path` without locking it
// or making its WAL index.
std::string ImmutableUri(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
    std::string uri = "file:";
    for (const char* p = real ? real.get() : path.c_str(); *p; ++p) {
        if (*p != '%' && *p != '?' && *p != '#') {
            uri += *p;
            continue;
        }
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(*p));
        uri += escaped;
    }
    return uri + "?immutable=1";
}

}  // namespace

StoreView::~StoreView() {
    if (library_open_) SystemDB::destroy();
    sqlite3_close(copy_);
}

bool StoreView::Open(const std::string& path, bool quick_check, std::string& error) {
    const std::string quoted = "'" + path + "'";
    // Opened once only to say plainly why a file cannot be read (SQLite's
    // text would be "unable to open database file" for every reason).
    struct stat st;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
        error = "cannot read " + quoted + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    if (S_ISDIR(st.st_mode)) {
        error = quoted + " is a directory, not a system database";
        return false;
    }
    if (sqlite3_config(SQLITE_CONFIG_URI, 1) != SQLITE_OK) {
        error = "cannot enable URI file names for the in-memory copy";
        return false;
    }

    std::vector<std::string> report;
    SnapshotError failure;
    Connection copy(SnapshotDatabase(kCopyUri, LiteralDbPath(path), SQLITE_OPEN_READONLY,
                                     quick_check, report, failure),
                    &sqlite3_close);
    // A file in WAL mode cannot be read where its WAL index (-shm) is absent
    // and cannot be made, as in a directory the command may not write. No
    // connection has it open then (it would have made that index), so it is
    // read as immutable, without locks.
    const int primary = failure.rc & 0xFF;
    if (failure.step != SnapshotError::kMemory &&
        (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN)) {
        report.clear();
        copy.reset(SnapshotDatabase(kCopyUri, ImmutableUri(path),
                                    SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, quick_check, report,
                                    failure));
    }
    if (failure.step == SnapshotError::kMemory) {
        error = "cannot make the in-memory copy: out of memory";
        return false;
    }
    if (!copy) {
        error = quoted + " cannot be read as a system database: " + failure.message;
        return false;
    }
    // A row may hold several lines, headed by the name of the database.
    for (const std::string& row : report) {
        size_t start = 0;
        while (start <= row.size()) {
            size_t end = std::min(row.find('\n', start), row.size());
            std::string line = row.substr(start, end - start);
            if (line.compare(0, 16, "*** in database ") != 0) quick_check_.push_back(line);
            start = end + 1;
        }
    }

    bool any_table = false;
    for (const auto& [table, columns] : kClientTables) {
        std::vector<std::string> found;
        FirstColumns(
            copy.get(),
            std::string("SELECT name FROM sqlite_master WHERE type = 'table' AND name = '") +
                table + "';",
            found);
        if (found.empty()) {
            missing_tables_.push_back(table);
            continue;
        }
        any_table = true;
        if (!Prepare(copy.get(), std::string("SELECT ") + columns + " FROM " + table + ";")) {
            error = quoted + " is not a system database: " + sqlite3_errmsg(copy.get());
            return false;
        }
    }
    if (!any_table) {
        error = quoted +
                " is not a system database: it has none of the tables connection_table, "
                "session_table, system_table";
        return false;
    }
    release_version_ = ReleaseVersion(copy.get());

    // What the library writes into a new file, asked of the library itself.
    Connection fresh = OpenMemory(kNewUri);
    if (fresh && SystemDB::initialize(ustring(kNewUri)) == 0) {
        SystemDB::destroy();
        library_release_ = ReleaseVersion(fresh.get()).value_or("");
    }
    if (library_release_.empty() || SystemDB::initialize(ustring(kCopyUri)) != 0) {
        error = "cannot open the in-memory copy of " + quoted + " with the support library";
        return false;
    }
    library_open_ = true;
    copy_ = copy.release();
    return true;
}

bool StoreView::Sessions(std::vector<SessionRow>& rows, std::string& error) const {
    Statement stmt = Prepare(
        copy_, std::string("SELECT ") + kClientTables[1][1] + " FROM session_table ORDER BY id;");
    int rc = stmt ? SQLITE_ROW : SQLITE_ERROR;
    while (stmt && (rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        SessionRow row;
        SystemDB::GetSessionInfo(stmt.get(), row.info);
        row.status = sqlite3_column_int(stmt.get(), kSessionStatus);
        row.error = sqlite3_column_int(stmt.get(), kSessionError);
        rows.push_back(row);
    }
    if (rc == SQLITE_DONE) return true;
    error = std::string("cannot read the sessions: ") + sqlite3_errmsg(copy_);
    return false;
}

bool StoreView::SystemRows(std::vector<SystemRow>& rows, std::string& error) const {
    Statement stmt = Prepare(copy_, "SELECT key, value FROM system_table ORDER BY key;");
    int rc = stmt ? SQLITE_ROW : SQLITE_ERROR;
    while (stmt && (rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        SystemRow row{ColumnText(stmt.get(), 0), std::nullopt};
        if (sqlite3_column_type(stmt.get(), 1) != SQLITE_NULL)
            row.value = ColumnText(stmt.get(), 1);
        rows.push_back(row);
    }
    if (rc == SQLITE_DONE) return true;
    error = std::string("cannot read the settings: ") + sqlite3_errmsg(copy_);
    return false;
}
