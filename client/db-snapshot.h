// The copy of a system database file into a shared in-memory database, for
// the commands that read a database without ever writing to its file: the
// library's SystemDB::initialize adds what is missing of the schema, and it
// may do so to the copy only. Each command words its own messages from the
// step that failed.
#pragma once

#include <string>
#include <vector>

struct sqlite3;

// sqlite3_open reads a name starting with "file:" as a URI once URI names
// are enabled (the copy needs them), which would open another file than the
// one meant; "./" in front keeps such a name a plain path to the same file.
std::string LiteralDbPath(const std::string& path);

// Appends the first column of every row of `sql` to `out`; false when the
// statement fails.
bool FirstColumns(sqlite3* db, const std::string& sql, std::vector<std::string>& out);

// Why a copy was not made: the step that failed, SQLite's result code and
// its message.
struct SnapshotError {
    enum Step { kNone, kMemory, kOpen, kRead };
    Step step = kNone;
    int rc = 0;
    std::string message;
};

// Opens the shared in-memory database `memory_uri` (URI names must be
// enabled, SQLITE_CONFIG_URI) and copies into it the database `name`, opened
// with `flags` (SQLITE_OPEN_READONLY, with SQLITE_OPEN_URI when `name` is a
// URI), waiting for a lock another process holds as long as the library
// does. With `quick_check`, runs PRAGMA quick_check on the file first and
// appends its rows to `report`. Returns the connection that keeps the copy
// alive (the caller closes it), or null with `error` set; the copy is then
// gone, and the file was never written either way.
sqlite3* SnapshotDatabase(const char* memory_uri, const std::string& name, int flags,
                          bool quick_check, std::vector<std::string>& report, SnapshotError& error);
