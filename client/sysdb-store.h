// brimvale-sysdb's read-only view of a system database: an in-memory copy
// of the file, opened through the support library, plus the few things the
// library has no reader for (every session with its status and error, the
// raw system_table rows, the release version, the schema, quick_check).
//
// The file itself is only ever opened read-only, once, to copy it: its
// bytes and times stay as they were, a lock another process holds is waited
// for (the library's busy timeout), and a read-only file in a read-only
// directory is read like any other. One view per process: it holds
// SystemDB, which is process-wide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "system-db.h"

struct sqlite3;

// A session_table row as the library decodes it, with the two columns its
// record lacks.
struct SessionRow {
    SessionInfo info;
    int status = 0;  // a SYS_STATUS::SessionStatus
    int error = 0;   // a SYS_STATUS::SessionError
};

// One system_table row; NULL values stay absent.
struct SystemRow {
    std::string key;
    std::optional<std::string> value;
};

class StoreView {
  public:
    StoreView() = default;
    ~StoreView();
    StoreView(const StoreView&) = delete;
    StoreView& operator=(const StoreView&) = delete;

    // Copies the database at `path` into memory and opens the copy with
    // SystemDB (which adds what is missing of the schema to the copy only).
    // With `quick_check`, runs PRAGMA quick_check on the file first. Returns
    // false, with one sentence in `error` that names the path, when the file
    // is missing, unreadable, not an SQLite database, or holds none of the
    // client's tables or a table the client cannot read.
    bool Open(const std::string& path, bool quick_check, std::string& error);

    // Every session in id order; false with `error` set if they cannot be read.
    bool Sessions(std::vector<SessionRow>& rows, std::string& error) const;
    // Every system_table row in key order.
    bool SystemRows(std::vector<SystemRow>& rows, std::string& error) const;

    // The client's tables that the file lacks (the copy has them, empty).
    const std::vector<std::string>& missing_tables() const { return missing_tables_; }
    // The file's release_version value; absent when it has none.
    const std::optional<std::string>& release_version() const { return release_version_; }
    // The release_version that the library writes into a new database.
    const std::string& library_release_version() const { return library_release_; }
    // The result rows of PRAGMA quick_check, "ok" for a sound file (empty
    // without the quick_check of Open).
    const std::vector<std::string>& quick_check() const { return quick_check_; }

  private:
    sqlite3* copy_ = nullptr;  // keeps the in-memory copy alive
    bool library_open_ = false;
    std::vector<std::string> missing_tables_;
    std::optional<std::string> release_version_;
    std::string library_release_;
    std::vector<std::string> quick_check_;
};
