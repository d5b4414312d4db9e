// The hot system-database reads (and the session insert) on a store of
// 10,000 sessions over 100 connections, each beside a floor: the same query
// through a bare statement with bound parameters on a second connection to
// the same file, decoding the same columns into the same records.
//
//   BM_Op/...        the library call
//   BM_Op_Floor      statement prepared once, reset and re-bound per call
//   BM_Op_FloorPrep  statement prepared, bound and finalized per call (what
//                    any call that builds its statement text must pay)
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <list>
#include <string>

#include "system-db.h"
#include "utility.h"

namespace {

constexpr int kConnections = 100;
constexpr int kSessions = 10000;

// A session that is enabled (odd index) and its folder.
constexpr int kProbeSession = 4951;
const char* kProbePath = "/home/user/Sync/c52/s4951/docs/report.txt";
const char* kFreeFolder = "/home/user/Other";

std::string FolderOf(int i) {
    return "/home/user/Sync/c" + std::to_string(1 + i % kConnections) + "/s" + std::to_string(i) +
           "/";
}

void Check(int rc, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s failed: %d\n", what, rc);
        std::abort();
    }
}

// The store: a file in a private directory, filled once through a plain
// connection in one transaction, then opened by SystemDB; `floor` is the
// second connection the floors use.
struct Store {
    std::string dir;
    std::string path;
    sqlite3* floor = nullptr;

    Store() {
        char tmpl[] = "/tmp/bvbench.XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        path = dir + "/system.db";
        if (SystemDB::initialize(path.c_str()) != 0) std::abort();
        Check(sqlite3_open(path.c_str(), &floor), "open");
        sqlite3_busy_timeout(floor, 300000);
        Check(sqlite3_exec(floor, "BEGIN;", nullptr, nullptr, nullptr), "begin");
        for (int c = 1; c <= kConnections; ++c) {
            std::string pass;
            SyncPassEnc("proxy-pass-" + std::to_string(c), pass);
            char* sql = sqlite3_mprintf(
                "INSERT INTO connection_table (conn_mode, server_name, server_ip, server_port, "
                "username, orb_id, session, computer_name, use_ssl, use_proxy, proxy_ip, "
                "proxy_port, proxy_username, proxy_password, linked, package_version, major, "
                "minor) VALUES (1, 'nas%d', '10.0.0.%d', 5001, 'user%d', 'orb%d', 'sess%d', "
                "'desktop', 1, 1, 'proxy.lan', 3128, 'px', '%q', 1, %d, 7, 2);",
                c, c, c, c, c, pass.c_str(), 70000 + c);
            Check(sqlite3_exec(floor, sql, nullptr, nullptr, nullptr), "insert connection");
            sqlite3_free(sql);
        }
        for (int i = 0; i < kSessions; ++i) {
            char* sql = sqlite3_mprintf(
                "INSERT INTO session_table (conn_id, share_name, attribute, view_id, "
                "share_version, sync_folder, perm_mode) VALUES (%d, 'share%d', %d, %d, 1, '%q', "
                "2);",
                1 + i % kConnections, i, (i % 2) ? (SA_ENABLE | SA_USED) : SA_USED, i,
                FolderOf(i).c_str());
            Check(sqlite3_exec(floor, sql, nullptr, nullptr, nullptr), "insert session");
            sqlite3_free(sql);
        }
        Check(sqlite3_exec(floor, "COMMIT;", nullptr, nullptr, nullptr), "commit");
    }
    ~Store() {
        SystemDB::destroy();
        sqlite3_close(floor);
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }
};

Store& TheStore() {
    static Store store;
    return store;
}

// A floor statement: prepared once, or prepared per call.
class FloorStmt {
  public:
    FloorStmt(const char* sql, bool per_call) : sql_(sql), per_call_(per_call) {
        if (!per_call_) Prepare();
    }
    ~FloorStmt() { sqlite3_finalize(stmt_); }
    sqlite3_stmt* Begin() {
        if (per_call_)
            Prepare();
        else
            sqlite3_reset(stmt_);
        return stmt_;
    }
    void End() {
        if (per_call_) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
        }
    }

  private:
    void Prepare() { Check(sqlite3_prepare_v2(TheStore().floor, sql_, -1, &stmt_, nullptr), sql_); }
    const char* sql_;
    bool per_call_;
    sqlite3_stmt* stmt_ = nullptr;
};

ustring Text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? ustring(reinterpret_cast<const char*>(t)) : ustring();
}

std::string Bytes(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

// The decoding the library does for a full session row.
void DecodeSession(sqlite3_stmt* st, SessionInfo& s) {
    s.session_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
    s.conn_id = static_cast<uint64_t>(sqlite3_column_int64(st, 1));
    s.share_name = Text(st, 2);
    s.attribute = sqlite3_column_int(st, 3);
    s.view_id = static_cast<uint64_t>(sqlite3_column_int64(st, 5));
    s.share_version = sqlite3_column_int(st, 8);
    s.sync_folder = Text(st, 9);
    s.perm_mode = static_cast<PERM_MODE>(sqlite3_column_int(st, 10));
    s.sync_folder.rtrim("/\\");
}

// The decoding the library does for a whole connection row from column `base`.
void DecodeConnection(sqlite3_stmt* st, int base, ConnectionEntry& e) {
    ConnectionInfo& c = e.connection_info;
    c.conn_id = static_cast<uint64_t>(sqlite3_column_int64(st, base + 0));
    c.c_mode = sqlite3_column_int(st, base + 1);
    c.server_name = Text(st, base + 2);
    c.server_ip = Text(st, base + 3);
    c.server_port = sqlite3_column_int(st, base + 4);
    c.farlink_mode = Text(st, base + 5);
    c.username = Text(st, base + 6);
    c.orb_id = Text(st, base + 7);
    c.session = Text(st, base + 8);
    c.protocol_version = sqlite3_column_int(st, base + 9);
    c.computer_name = Text(st, base + 10);
    c.use_ssl = sqlite3_column_int(st, base + 11) != 0;
    e.proxy_info.use_proxy = sqlite3_column_int(st, base + 12) != 0;
    e.proxy_info.use_sys_proxy = sqlite3_column_int(st, base + 13) != 0;
    e.proxy_info.proxy_ip = Bytes(st, base + 14);
    e.proxy_info.proxy_port = static_cast<uint16_t>(sqlite3_column_int(st, base + 15));
    e.proxy_info.user_name = Bytes(st, base + 16);
    SyncPassDec(Bytes(st, base + 17), e.proxy_info.password);
    e.proxy_info.domain = Bytes(st, base + 18);
    e.proxy_info.host = Bytes(st, base + 19);
    e.tunnel_info.use_tunnel = sqlite3_column_int(st, base + 20) != 0;
    e.tunnel_info.tunnel_ip = Bytes(st, base + 21);
    e.tunnel_info.tunnel_port = static_cast<uint16_t>(sqlite3_column_int(st, base + 22));
    c.linked = sqlite3_column_int(st, base + 23);
    c.status = sqlite3_column_int(st, base + 24);
    c.error = sqlite3_column_int(st, base + 25);
    c.version_info.build_number = static_cast<long>(sqlite3_column_int64(st, base + 26));
    c.version_info.major = sqlite3_column_int(st, base + 27);
    c.version_info.minor = sqlite3_column_int(st, base + 28);
    c.ssl_allow_untrust = sqlite3_column_int(st, base + 29) != 0;
    c.user_uid = static_cast<uint32_t>(sqlite3_column_int(st, base + 30));
    c.user_gid = static_cast<uint32_t>(sqlite3_column_int(st, base + 31));
    c.user_is_admin = sqlite3_column_int(st, base + 32) != 0;
    c.password = "";
}

const char kSessionColumns[] =
    "SELECT id, conn_id, share_name, attribute, ctime, view_id, status, error, share_version, "
    "sync_folder, perm_mode FROM session_table ";

// ---- getEnabledSession ----

void BM_GetEnabledSession(benchmark::State& state) {
    TheStore();
    std::list<SessionInfo> list;
    for (auto _ : state) {
        if (SystemDB::getEnabledSession(list) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(list.size());
    }
    state.counters["rows"] = static_cast<double>(list.size());
}

void FloorEnabledSession(benchmark::State& state, bool per_call) {
    TheStore();
    static const std::string sql = std::string(kSessionColumns) + "WHERE (attribute & ?);";
    FloorStmt f(sql.c_str(), per_call);
    std::list<SessionInfo> list;
    for (auto _ : state) {
        list.clear();
        sqlite3_stmt* st = f.Begin();
        sqlite3_bind_int(st, 1, SA_ENABLE);
        while (sqlite3_step(st) == SQLITE_ROW) {
            SessionInfo s;
            DecodeSession(st, s);
            list.push_back(s);
        }
        f.End();
        benchmark::DoNotOptimize(list.size());
    }
    state.counters["rows"] = static_cast<double>(list.size());
}
void BM_GetEnabledSession_Floor(benchmark::State& s) {
    FloorEnabledSession(s, false);
}
void BM_GetEnabledSession_FloorPrep(benchmark::State& s) {
    FloorEnabledSession(s, true);
}

// ---- getSessionInfoBySessionID ----

void BM_GetSessionInfoBySessionID(benchmark::State& state) {
    TheStore();
    SessionInfo info;
    for (auto _ : state) {
        if (SystemDB::getSessionInfoBySessionID(kProbeSession, info) != 0)
            state.SkipWithError("failed");
        benchmark::DoNotOptimize(info.view_id);
    }
}

void FloorSessionById(benchmark::State& state, bool per_call) {
    TheStore();
    static const std::string sql = std::string(kSessionColumns) + "WHERE id = ?;";
    FloorStmt f(sql.c_str(), per_call);
    SessionInfo info;
    for (auto _ : state) {
        sqlite3_stmt* st = f.Begin();
        sqlite3_bind_int64(st, 1, kProbeSession);
        if (sqlite3_step(st) == SQLITE_ROW) DecodeSession(st, info);
        f.End();
        benchmark::DoNotOptimize(info.view_id);
    }
}
void BM_GetSessionInfoBySessionID_Floor(benchmark::State& s) {
    FloorSessionById(s, false);
}
void BM_GetSessionInfoBySessionID_FloorPrep(benchmark::State& s) {
    FloorSessionById(s, true);
}

// ---- getPathInfoByPath ----

void BM_GetPathInfoByPath(benchmark::State& state) {
    TheStore();
    PathInfo info;
    for (auto _ : state) {
        if (SystemDB::getPathInfoByPath(kProbePath, info) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(info.view_id);
    }
}

void FloorPathInfo(benchmark::State& state, bool per_call) {
    TheStore();
    static const char sql[] =
        "SELECT s.view_id, s.sync_folder, c.* FROM connection_table AS c, session_table AS s  "
        "WHERE (c.id = s.conn_id) AND s.attribute & ? AND s.sync_folder <> '' AND (? LIKE "
        "(replace(replace(replace(s.sync_folder, '\\', '\\\\'), '%', '\\%'), '_', '\\_') || "
        "'%') ESCAPE '\\');";
    FloorStmt f(sql, per_call);
    PathInfo info;
    ustring path(kProbePath);
    for (auto _ : state) {
        sqlite3_stmt* st = f.Begin();
        sqlite3_bind_int(st, 1, SA_ENABLE);
        sqlite3_bind_text(st, 2, kProbePath, -1, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW) {
            info.view_id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
            ustring folder = Text(st, 1);
            info.relative_path = path.substr(folder.length() - 1);
            DecodeConnection(st, 2, info.connection_entry);
        }
        f.End();
        benchmark::DoNotOptimize(info.view_id);
    }
}
void BM_GetPathInfoByPath_Floor(benchmark::State& s) {
    FloorPathInfo(s, false);
}
void BM_GetPathInfoByPath_FloorPrep(benchmark::State& s) {
    FloorPathInfo(s, true);
}

// ---- isSyncFolderConflict ----

void BM_IsSyncFolderConflict(benchmark::State& state) {
    TheStore();
    std::list<uint64_t> filter;
    bool conflict = true;
    for (auto _ : state) {
        if (SystemDB::isSyncFolderConflict(kFreeFolder, conflict, filter) != 0)
            state.SkipWithError("failed");
        benchmark::DoNotOptimize(conflict);
    }
    if (conflict) state.SkipWithError("unexpected conflict");
}

void FloorConflict(benchmark::State& state, bool per_call) {
    TheStore();
    // The library's statement, its two texts and the attribute bound.
    static const char sql[] =
        "SELECT * FROM session_table WHERE ((? LIKE (replace(replace(replace(sync_folder, '\\', "
        "'\\\\'), '%', '\\%'), '_', '\\_') || '%') ESCAPE '\\') OR  (sync_folder LIKE (? || '%') "
        "ESCAPE '\\'))  AND (attribute & ?) AND (1);";
    FloorStmt f(sql, per_call);
    std::string candidate = std::string(kFreeFolder) + "/";
    bool conflict = true;
    for (auto _ : state) {
        sqlite3_stmt* st = f.Begin();
        sqlite3_bind_text(st, 1, candidate.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, candidate.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 3, SA_ENABLE);
        conflict = sqlite3_step(st) == SQLITE_ROW;
        f.End();
        benchmark::DoNotOptimize(conflict);
    }
}
void BM_IsSyncFolderConflict_Floor(benchmark::State& s) {
    FloorConflict(s, false);
}
void BM_IsSyncFolderConflict_FloorPrep(benchmark::State& s) {
    FloorConflict(s, true);
}

// ---- getConnectionEntryList ----

void BM_GetConnectionEntryList(benchmark::State& state) {
    TheStore();
    std::list<ConnectionEntry> list;
    for (auto _ : state) {
        if (SystemDB::getConnectionEntryList(list) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(list.size());
    }
    state.counters["rows"] = static_cast<double>(list.size());
}

void FloorConnectionList(benchmark::State& state, bool per_call) {
    TheStore();
    static const char sql[] =
        "SELECT id, conn_mode, server_name, server_ip, server_port, farlink_mode, username, "
        "orb_id, session, protocol_version, computer_name, use_ssl, use_proxy, use_system_proxy, "
        "proxy_ip, proxy_port, proxy_username, proxy_password, proxy_domain, proxy_host, "
        "use_tunnel, tunnel_ip, tunnel_port, linked, status, error, package_version, major, "
        "minor, ssl_allow_untrust, user_uid, user_gid, user_is_admin FROM connection_table ;";
    FloorStmt f(sql, per_call);
    std::list<ConnectionEntry> list;
    for (auto _ : state) {
        list.clear();
        sqlite3_stmt* st = f.Begin();
        while (sqlite3_step(st) == SQLITE_ROW) {
            list.emplace_back();
            DecodeConnection(st, 0, list.back());
        }
        f.End();
        benchmark::DoNotOptimize(list.size());
    }
    state.counters["rows"] = static_cast<double>(list.size());
}
void BM_GetConnectionEntryList_Floor(benchmark::State& s) {
    FloorConnectionList(s, false);
}
void BM_GetConnectionEntryList_FloorPrep(benchmark::State& s) {
    FloorConnectionList(s, true);
}

// ---- addNewSessionInfo (each insert commits, so the disk sets the pace) ----

void BM_AddNewSessionInfo(benchmark::State& state) {
    TheStore();
    SessionInfo s;
    s.conn_id = 7;
    s.share_name = "bench";
    s.attribute = SA_USED;
    s.sync_folder = "/home/user/Bench/lib";
    for (auto _ : state) {
        if (SystemDB::addNewSessionInfo(s) != 0) state.SkipWithError("failed");
        benchmark::DoNotOptimize(s.session_id);
    }
}

void FloorAddSession(benchmark::State& state, bool per_call) {
    TheStore();
    static const char sql[] =
        "insert or replace into session_table ( conn_id, share_name, attribute, view_id, "
        "sync_folder, perm_mode, share_version)values (?, ?, ?, ?, ?, ?, ?);";
    FloorStmt f(sql, per_call);
    uint64_t id = 0;
    for (auto _ : state) {
        sqlite3_stmt* st = f.Begin();
        sqlite3_bind_int64(st, 1, 7);
        sqlite3_bind_text(st, 2, "bench", -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 3, SA_USED);
        sqlite3_bind_int64(st, 4, 0);
        sqlite3_bind_text(st, 5, "/home/user/Bench/floor/", -1, SQLITE_STATIC);
        sqlite3_bind_int(st, 6, PERM_EXEC_BIT);
        sqlite3_bind_int(st, 7, 0);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("insert failed");
        id = static_cast<uint64_t>(sqlite3_last_insert_rowid(TheStore().floor));
        f.End();
        benchmark::DoNotOptimize(id);
    }
}
void BM_AddNewSessionInfo_Floor(benchmark::State& s) {
    FloorAddSession(s, false);
}
void BM_AddNewSessionInfo_FloorPrep(benchmark::State& s) {
    FloorAddSession(s, true);
}

}  // namespace

BENCHMARK(BM_GetEnabledSession)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetEnabledSession_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetEnabledSession_FloorPrep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetSessionInfoBySessionID)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetSessionInfoBySessionID_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetSessionInfoBySessionID_FloorPrep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPathInfoByPath)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPathInfoByPath_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetPathInfoByPath_FloorPrep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsSyncFolderConflict)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsSyncFolderConflict_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsSyncFolderConflict_FloorPrep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetConnectionEntryList)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetConnectionEntryList_Floor)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetConnectionEntryList_FloorPrep)->Unit(benchmark::kMicrosecond);
// Inserts last: they grow the table the reads above scan.
BENCHMARK(BM_AddNewSessionInfo)->Unit(benchmark::kMicrosecond)->Iterations(150);
BENCHMARK(BM_AddNewSessionInfo_Floor)->Unit(benchmark::kMicrosecond)->Iterations(150);
BENCHMARK(BM_AddNewSessionInfo_FloorPrep)->Unit(benchmark::kMicrosecond)->Iterations(150);

BENCHMARK_MAIN();
