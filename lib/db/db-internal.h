// Conventions shared by the system-db sources, written once: the log macro,
// owners of what SQLite hands out, and the two statement shapes (a write run
// by sqlite3_exec, a read prepared, stepped and finalized).
//
// Private to lib/system-db*.cpp. Every helper that touches the connection
// takes a Store::Lock as proof that m_dbMutex is held, and refuses a closed
// store (null m_db) before any SQLite call. Callbacks passed to the helpers
// run while the lock is held and must not call another SystemDB operation.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "logger.h"
#include "system-db.h"
#include "ustring.h"

inline const ustring kSystemDBComponent("system_db_debug");

// Every entry passes the line of the logging statement as its first argument.
#define SYSDB_LOG(level, fmt, ...) \
    Logger::LogMsg(Logger::level, kSystemDBComponent, fmt, __LINE__, ##__VA_ARGS__)

// The shared step-failure entry, as a step_fail callback for Store::Query.
#define SYSDB_STEP_FAILED                                                              \
    [](int rc_, const char* msg_) {                                                    \
        SYSDB_LOG(L_ERR, "[ERROR] system-db(%d): sqlite3_step: [%d] %s\n", rc_, msg_); \
    }

// "%llu" wants unsigned long long; uint64_t is unsigned long on this ABI, and
// sqlite3_mprintf has no format checking to catch the difference.
inline unsigned long long U64(uint64_t v) {
    return v;
}

struct SqliteFree {
    void operator()(void* p) const { sqlite3_free(p); }
};
// Text from sqlite3_mprintf, or an error text from sqlite3_exec.
using SqlText = std::unique_ptr<char, SqliteFree>;

// Column text as a ustring; SQL NULL reads as empty.
inline ustring ColumnText(sqlite3_stmt* stmt, int col) {
    const unsigned char* t = sqlite3_column_text(stmt, col);
    return t ? ustring(reinterpret_cast<const char*>(t)) : ustring();
}

// Column text as a std::string (the texts of the proxy and tunnel records),
// keeping every byte SQLite holds; SQL NULL reads as empty.
inline std::string ColumnBytes(sqlite3_stmt* stmt, int col) {
    const unsigned char* t = sqlite3_column_text(stmt, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt, col)))
             : std::string();
}

// What a step callback of Store::Query asks for after a row.
enum class Step { Next, Stop };

struct SystemDB::Store {
    // What an operation on a closed store reports in place of SQLite's code
    // and message: SQLite's own code for a call on a connection not open.
    static constexpr int kClosedCode = SQLITE_MISUSE;
    static constexpr const char* kClosedMsg = "system database is not open";

    // Holds m_dbMutex for its lifetime.
    class Lock {
      public:
        Lock() : locked_(SystemDB::lock() == 0) {}
        ~Lock() {
            if (locked_) SystemDB::unlock();
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        bool locked_;
    };

    // A prepared statement, finalized on every path.
    class Statement {
      public:
        Statement() = default;
        ~Statement() { sqlite3_finalize(stmt_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        sqlite3_stmt* get() const { return stmt_; }
        sqlite3_stmt** out() { return &stmt_; }

      private:
        sqlite3_stmt* stmt_ = nullptr;
    };

    // Runs `sql` with sqlite3_exec. On failure calls exec_fail(code, text)
    // with SQLite's error text (its message for the connection when exec
    // gave none) and returns -1; 0 otherwise.
    template <class ExecFail>
    static int Exec(const Lock&, const char* sql, ExecFail&& exec_fail) {
        if (!m_db) {
            exec_fail(kClosedCode, kClosedMsg);
            return -1;
        }
        char* raw = nullptr;
        int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &raw);
        SqlText err(raw);
        if (rc != SQLITE_OK) {
            exec_fail(rc, err ? err.get() : sqlite3_errmsg(m_db));
            return -1;
        }
        return 0;
    }

    // The write shape: takes ownership of `formatted` (an sqlite3_mprintf
    // result); null calls format_fail() and gives -1. Otherwise locks, runs
    // it (exec_fail as for Exec) and, on success, calls then() under the
    // same lock, giving 0.
    template <class FormatFail, class ExecFail>
    static int Write(char* formatted, FormatFail&& format_fail, ExecFail&& exec_fail) {
        return Write(formatted, format_fail, exec_fail, [] {});
    }
    template <class FormatFail, class ExecFail, class Then>
    static int Write(char* formatted, FormatFail&& format_fail, ExecFail&& exec_fail, Then&& then) {
        SqlText sql(formatted);
        if (!sql) {
            format_fail();
            return -1;
        }
        Lock lock;
        if (Exec(lock, sql.get(), exec_fail) != 0) return -1;
        then();
        return 0;
    }

    // The read shape, under a held lock. Prepares `sql` (a null text counts
    // as a prepare failure for want of memory) and steps it: each row goes
    // to on_row(stmt), which returns Step::Next to go on or Step::Stop to
    // end with 0; the end of the rows gives on_done(). A failure calls
    // prepare_fail(code, message) or step_fail(code, message) and gives -1.
    // The statement is finalized on every path.
    template <class PrepareFail, class OnRow, class OnDone, class StepFail>
    static int Query(const Lock&, const char* sql, PrepareFail&& prepare_fail, OnRow&& on_row,
                     OnDone&& on_done, StepFail&& step_fail) {
        if (!m_db) {
            prepare_fail(kClosedCode, kClosedMsg);
            return -1;
        }
        if (!sql) {
            prepare_fail(SQLITE_NOMEM, sqlite3_errstr(SQLITE_NOMEM));
            return -1;
        }
        Statement stmt;
        int rc = sqlite3_prepare_v2(m_db, sql, -1, stmt.out(), nullptr);
        if (rc != SQLITE_OK) {
            prepare_fail(rc, sqlite3_errmsg(m_db));
            return -1;
        }
        for (;;) {
            rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_ROW) {
                if (on_row(stmt.get()) == Step::Stop) return 0;
            } else if (rc == SQLITE_DONE) {
                return on_done();
            } else {
                step_fail(rc, sqlite3_errmsg(m_db));
                return -1;
            }
        }
    }

    // Query under its own hold of the lock.
    template <class PrepareFail, class OnRow, class OnDone, class StepFail>
    static int Read(const char* sql, PrepareFail&& prepare_fail, OnRow&& on_row, OnDone&& on_done,
                    StepFail&& step_fail) {
        Lock lock;
        return Query(lock, sql, prepare_fail, on_row, on_done, step_fail);
    }
};
