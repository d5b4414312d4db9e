// The two statement shapes of the system database, written once: a write
// (format, exec, log the failure) and a read (format, prepare, step, decode,
// finalize), with the owners that make every release path automatic and the
// operation descriptor from which each operation's standard entries come.
//
// Private to the sources of lib/db. Every helper that touches the connection
// holds m_dbMutex: one that takes a Store::Lock runs under its caller's hold
// (so that two statements can share it), the others take their own. Their
// callbacks run under that lock and must not call another SystemDB operation
// (the mutex is not recursive).
//
//   int SystemDB::getPermSyncModeBySession(uint64_t session_id, PERM_MODE& mode) {
//       return Store::ReadRow(
//           SYSDB_OP("getPermSyncModeBySession"),
//           sqlite3_mprintf("SELECT perm_mode from session_table WHERE id = %llu;",
//                           U64(session_id)),
//           [&](const Row& row) { mode = static_cast<PERM_MODE>(row.Int(0)); },
//           [&] { /* not-found entry */ return -1; });
//   }
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "log-internal.h"
#include "system-db.h"
#include "ustring.h"

inline const ustring kSystemDBComponent("system_db_debug");

// Every entry passes the line of the logging statement as its first argument.
#define SYSDB_LOG(level, fmt, ...) BV_LOG(kSystemDBComponent, level, fmt, ##__VA_ARGS__)

// An L_ERR failure entry as an Op::Report: `fmt` with the line the operation
// was described at, then the arguments, which may name SQLite's result
// `code` and message `msg`.
#define SYSDB_REPORT(fmt, ...)                                                        \
    [](int line_, [[maybe_unused]] int code, [[maybe_unused]] const char* msg) {      \
        Logger::LogMsg(Logger::L_ERR, kSystemDBComponent, fmt, line_, ##__VA_ARGS__); \
    }

// The descriptor of operation `name`, holding the line where it is described
// and its standard entries: the prepare failure "<name>: sqlite3_prepare_v2:"
// and the execution failure "<name> fail ret =". Entries that differ are
// set with the Op modifiers.
#define SYSDB_OP(name)                                                                             \
    (::SystemDB::Store::Op{                                                                        \
        __LINE__,                                                                                  \
        SYSDB_REPORT("[ERROR] system-db(%d): " name ": sqlite3_prepare_v2: %s (%d)\n", msg, code), \
        SYSDB_REPORT("[ERROR] system-db(%d): " name " fail ret = %d %s\n", code, msg)})

// The formatting-failure entries. Each operation keeps the one it has always
// written (support engineers search logs for them), so they differ in small
// ways: the spacing, the full stop, a word for the statement's kind.
inline constexpr char kMprintfFailed[] = "[ERROR] system-db(%d): sqlite3_mprintf failed.\n";
inline constexpr char kMprintfFailedWide[] = "[ERROR] system-db(%d):  sqlite3_mprintf failed.\n";
inline constexpr char kMprintfFailedShort[] = "[ERROR] system-db(%d): sqlite3_mprintf failed\n";
inline constexpr char kInsertMprintfFailed[] =
    "[ERROR] system-db(%d): insert sqlite3_mprintf failed.\n";
inline constexpr char kInsertReplaceMprintfFailed[] =
    "[ERROR] system-db(%d): insert/replace sqlite3_mprintf failed.\n";
inline constexpr char kDeleteMprintfFailed[] =
    "[ERROR] system-db(%d): delete sqlite3_mprintf failed.\n";

// The step failure of almost every read.
inline void StepFailed(int line, int code, const char* msg) {
    Logger::LogMsg(Logger::L_ERR, kSystemDBComponent,
                   "[ERROR] system-db(%d): sqlite3_step: [%d] %s\n", line, code, msg);
}

// The execution failure of the attribute and permission writes, which name
// no operation.
inline void ExecFailed(int line, int code, const char* msg) {
    Logger::LogMsg(Logger::L_ERR, kSystemDBComponent,
                   "[ERROR] system-db(%d): sqlite3_exec failed: ret = %d [%s]\n", line, code, msg);
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

// The current row of a statement, read by column. `first` is where the
// columns counted by `col` start, for a table's columns selected after
// others.
class Row {
  public:
    explicit Row(sqlite3_stmt* stmt, int first = 0) : stmt_(stmt), first_(first) {}

    // For the decoders of the public interface, which take the statement.
    sqlite3_stmt* stmt() const { return stmt_; }

    int Int(int col) const { return sqlite3_column_int(stmt_, first_ + col); }
    int64_t Int64(int col) const { return sqlite3_column_int64(stmt_, first_ + col); }
    uint64_t Id(int col) const { return static_cast<uint64_t>(Int64(col)); }
    bool IsNull(int col) const { return sqlite3_column_type(stmt_, first_ + col) == SQLITE_NULL; }

    // Column text as a ustring; SQL NULL reads as empty.
    ustring Text(int col) const {
        const char* t = CText(col);
        return t ? ustring(t) : ustring();
    }

    // Column text as a std::string (the texts of the proxy and tunnel
    // records), keeping every byte SQLite holds; SQL NULL reads as empty.
    std::string Bytes(int col) const {
        const char* t = CText(col);
        return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(stmt_, first_ + col)))
                 : std::string();
    }

    // Column text as SQLite holds it; null for SQL NULL.
    const char* CText(int col) const {
        return reinterpret_cast<const char*>(sqlite3_column_text(stmt_, first_ + col));
    }

  private:
    sqlite3_stmt* stmt_;
    int first_;
};

// What a row callback of Store::Read asks for after a row.
enum class Step { Next, Stop };

struct SystemDB::Store {
    // What an operation on a closed store reports in place of SQLite's code
    // and message: SQLite's own code for a call on a connection not open.
    static constexpr int kClosedCode = SQLITE_MISUSE;
    static constexpr const char* kClosedMsg = "system database is not open";

    // An operation: the line its entries carry and how it reports each kind
    // of failure. Made by SYSDB_OP.
    struct Op {
        using Report = void (*)(int line, int code, const char* msg);

        int line;
        Report prepare_fail;
        Report exec_fail;
        Report step_fail = StepFailed;
        // Null: a write fails without an entry, a read meets the null text as
        // a prepare failure for want of memory.
        const char* format_fail = nullptr;

        // Copies with one entry replaced, for an operation whose entry differs.
        Op FormatFail(const char* text) const { return With(&Op::format_fail, text); }
        Op PrepareFail(Report r) const { return With(&Op::prepare_fail, r); }
        Op ExecFail(Report r) const { return With(&Op::exec_fail, r); }
        Op StepFail(Report r) const { return With(&Op::step_fail, r); }

      private:
        template <class T>
        Op With(T Op::*entry, T value) const {
            Op op = *this;
            op.*entry = value;
            return op;
        }
    };

    // Holds m_dbMutex for its lifetime.
    class Lock : public bv_internal::MutexLock {
      public:
        Lock() : MutexLock(&m_dbMutex) {}
    };

    // A statement's text: a sqlite3_mprintf result, owned and freed (null
    // when formatting failed), or a string literal, borrowed.
    class Sql {
      public:
        Sql(char* formatted) : owned_(formatted), text_(formatted) {}
        template <size_t N>
        Sql(const char (&literal)[N]) : text_(literal) {}

        const char* get() const { return text_; }

      private:
        SqlText owned_;
        const char* text_;
    };

    // A failed sqlite3_mprintf: true, with the operation's entry if it has
    // one.
    static bool FormatFailed(const Op& op, const Sql& sql) {
        if (sql.get()) return false;
        if (op.format_fail)
            Logger::LogMsg(Logger::L_ERR, kSystemDBComponent, op.format_fail, op.line);
        return true;
    }

    // The one refusal of a closed store, before any SQLite call: true, after
    // reporting kClosedCode and kClosedMsg through `fail`.
    template <class Fail>
    static bool Closed(Fail&& fail) {
        if (m_db) return false;
        fail(kClosedCode, kClosedMsg);
        return true;
    }

    // ---- the write shape ----

    // Runs `sql` with sqlite3_exec: 0, or -1 after the formatting entry or
    // exec_fail(code, text) with SQLite's error text (its message for the
    // connection when exec gave none).
    template <class ExecFail>
    static int Exec(const Lock&, const Op& op, const Sql& sql, ExecFail&& exec_fail) {
        if (FormatFailed(op, sql) || Closed(exec_fail)) return -1;
        char* raw = nullptr;
        int rc = sqlite3_exec(m_db, sql.get(), nullptr, nullptr, &raw);
        SqlText err(raw);
        if (rc == SQLITE_OK) return 0;
        exec_fail(rc, err ? err.get() : sqlite3_errmsg(m_db));
        return -1;
    }
    static int Exec(const Lock& lock, const Op& op, const Sql& sql) {
        return Exec(lock, op, sql,
                    [&op](int code, const char* msg) { op.exec_fail(op.line, code, msg); });
    }

    // Exec under its own hold of the lock.
    static int Write(const Op& op, const Sql& sql) {
        Lock lock;
        return Exec(lock, op, sql);
    }

    // Write of an insert that stores the new row's id in `id`, taken under
    // the same lock so that it is this insert's. `id` is untouched on failure.
    static int Insert(const Op& op, const Sql& sql, uint64_t& id) {
        Lock lock;
        if (Exec(lock, op, sql) != 0) return -1;
        id = static_cast<uint64_t>(sqlite3_last_insert_rowid(m_db));
        return 0;
    }

    // ---- the read shape ----

    // Fills the identity, server, proxy (password decoded) and tunnel
    // members of `entry` from the connection_table columns of `row`; `flag`
    // reads an INTEGER column as a bool.
    static void DecodeConnection(const Row& row, bool (*flag)(int), ConnectionEntry& entry);

    // A prepared statement, finalized on every path.
    class Statement {
      public:
        Statement() = default;
        ~Statement() { sqlite3_finalize(stmt_); }
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;

        // Prepares `sql`; false after the operation's formatting or prepare
        // entry. A null text without a formatting entry counts as a prepare
        // failure for want of memory.
        bool Prepare(const Lock&, const Op& op, const Sql& sql) {
            if (op.format_fail && FormatFailed(op, sql)) return false;
            auto fail = [&op](int code, const char* msg) { op.prepare_fail(op.line, code, msg); };
            if (Closed(fail)) return false;
            if (!sql.get()) {
                fail(SQLITE_NOMEM, sqlite3_errstr(SQLITE_NOMEM));
                return false;
            }
            int rc = sqlite3_prepare_v2(m_db, sql.get(), -1, &stmt_, nullptr);
            if (rc == SQLITE_OK) return true;
            fail(rc, sqlite3_errmsg(m_db));
            return false;
        }

        // Steps the prepared statement: each row goes to on_row(row), which
        // returns Step::Next to go on or Step::Stop to end with 0; the end of
        // the rows gives on_done(); a failure the step entry and -1.
        template <class OnRow, class OnDone>
        int Run(const Op& op, OnRow&& on_row, OnDone&& on_done) {
            for (;;) {
                int rc = sqlite3_step(stmt_);
                if (rc == SQLITE_ROW) {
                    if (on_row(Row(stmt_)) == Step::Stop) return 0;
                } else if (rc == SQLITE_DONE) {
                    return on_done();
                } else {
                    op.step_fail(op.line, rc, sqlite3_errmsg(m_db));
                    return -1;
                }
            }
        }

      private:
        sqlite3_stmt* stmt_ = nullptr;
    };

    struct Zero {
        int operator()() const { return 0; }
    };

    // Prepare and Run under a held lock.
    template <class OnRow, class OnDone>
    static int Read(const Lock& lock, const Op& op, const Sql& sql, OnRow&& on_row,
                    OnDone&& on_done) {
        Statement stmt;
        if (!stmt.Prepare(lock, op, sql)) return -1;
        return stmt.Run(op, on_row, on_done);
    }

    // The first row to on_row(row); none gives on_none() (0 by default).
    template <class OnRow, class OnNone = Zero>
    static int ReadRow(const Lock& lock, const Op& op, const Sql& sql, OnRow&& on_row,
                       OnNone&& on_none = OnNone()) {
        return Read(
            lock, op, sql,
            [&](const Row& row) {
                on_row(row);
                return Step::Stop;
            },
            on_none);
    }
    template <class OnRow, class OnNone = Zero>
    static int ReadRow(const Op& op, const Sql& sql, OnRow&& on_row, OnNone&& on_none = OnNone()) {
        Lock lock;
        return ReadRow(lock, op, sql, on_row, on_none);
    }

    // Every row to on_row(row); the end gives on_done() (0 by default). On
    // a step failure what on_row did for the earlier rows stands.
    template <class OnRow, class OnDone = Zero>
    static int ReadRows(const Op& op, const Sql& sql, OnRow&& on_row, OnDone&& on_done = OnDone()) {
        Lock lock;
        return Read(
            lock, op, sql,
            [&](const Row& row) {
                on_row(row);
                return Step::Next;
            },
            on_done);
    }
};
