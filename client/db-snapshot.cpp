// The in-memory copy of a system database that the commands read.
#include "db-snapshot.h"

#include <sqlite3.h>

#include <memory>

namespace {

// The library's busy timeout: the client may hold the file for a long sync step.
constexpr int kBusyTimeoutMs = 300000;

using Connection = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

// Fills `error` from the connection's last failure; false, for returning.
bool Failed(SnapshotError& error, SnapshotError::Step step, sqlite3* db, int rc) {
    error.step = step;
    error.rc = rc;
    error.message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return false;
}

bool CopyInto(const char* memory_uri, const std::string& name, int flags, bool quick_check,
              std::vector<std::string>& report, SnapshotError& error) {
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &opened, flags, nullptr);
    Connection file(opened, &sqlite3_close);
    if (rc != SQLITE_OK) return Failed(error, SnapshotError::kOpen, file.get(), rc);
    sqlite3_busy_timeout(file.get(), kBusyTimeoutMs);
    if (quick_check && !FirstColumns(file.get(), "PRAGMA quick_check;", report))
        return Failed(error, SnapshotError::kRead, file.get(), sqlite3_errcode(file.get()));
    // VACUUM INTO writes a fresh copy in rollback-journal form: a page copy
    // would keep a WAL mode that an in-memory database cannot open.
    std::unique_ptr<char, decltype(&sqlite3_free)> sql(
        sqlite3_mprintf("VACUUM INTO '%q';", memory_uri), &sqlite3_free);
    if (!sql) return Failed(error, SnapshotError::kRead, nullptr, SQLITE_NOMEM);
    const int copied = sqlite3_exec(file.get(), sql.get(), nullptr, nullptr, nullptr);
    if (copied != SQLITE_OK) return Failed(error, SnapshotError::kRead, file.get(), copied);
    return true;
}

}  // namespace

bool FirstColumns(sqlite3* db, const std::string& sql, std::vector<std::string>& out) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return false;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(stmt, 0);
        out.push_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
}

std::string LiteralDbPath(const std::string& path) {
    return path.compare(0, 5, "file:") == 0 ? "./" + path : path;
}

sqlite3* SnapshotDatabase(const char* memory_uri, const std::string& name, int flags,
                          bool quick_check, std::vector<std::string>& report,
                          SnapshotError& error) {
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(
        memory_uri, &opened, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    Connection memory(opened, &sqlite3_close);
    if (rc != SQLITE_OK) {
        Failed(error, SnapshotError::kMemory, memory.get(), rc);
        return nullptr;
    }
    if (!CopyInto(memory_uri, name, flags, quick_check, report, error)) return nullptr;
    return memory.release();
}
