// Eight threads writing and reading sessions and connections on one store:
// every call succeeds and every id handed back names its own thread's row.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <thread>
#include <vector>

#include "db_fixture.h"

namespace {

constexpr int kThreads = 8, kRounds = 10;  // each write waits for the disk

// One thread's rounds; what goes wrong is noted for the main thread.
void Worker(int t, std::string& faults) {
    for (int r = 0; r < kRounds; ++r) {
        const std::string tag = std::to_string(t) + "-" + std::to_string(r);
        auto check = [&](bool ok, const char* what) {
            if (!ok) faults += tag + ": " + what + "\n";
        };
        ConnectionInfo c;
        c.orb_id = ("orb'" + tag).c_str();
        ProxyInfo p;
        p.password = "pw-" + tag;
        check(SystemDB::setConnectionEntry(c, p, TunnelInfo()) == 0, "insert connection");
        SessionInfo s;
        s.conn_id = c.conn_id;
        s.share_name = ("share'" + tag).c_str();
        s.attribute = SA_ENABLE;
        s.view_id = static_cast<uint64_t>(t * 100 + r);
        s.sync_folder = ("/sync/" + tag).c_str();
        check(SystemDB::addNewSessionInfo(s) == 0, "add session");
        const uint64_t conn = c.conn_id, session = s.session_id;
        c.conn_id = s.session_id = 0;
        s.share_version = r + 1;
        check(SystemDB::updateConnectionEntry(c, p, TunnelInfo()) == 0 && c.conn_id == conn,
              "update connection");
        check(SystemDB::updateSessionInfo(s) == 0 && s.session_id == session, "update session");
        check(SystemDB::setSessionStatus(session, t) == 0 &&
                  SystemDB::setConnectionStatus(conn, t) == 0,
              "status");
        ConnectionEntry e;
        SessionInfo back;
        PathInfo path;
        std::list<SessionInfo> sessions;
        check(SystemDB::getConnectionEntryByConnID(conn, e) == 0 &&
                  e.connection_info.orb_id == c.orb_id && e.proxy_info.password == p.password &&
                  SystemDB::getSessionInfoBySessionID(session, back) == 0 &&
                  back.share_name == s.share_name && back.share_version == r + 1 &&
                  SystemDB::getPathInfoByPath(("/sync/" + tag + "/f").c_str(), path) == 0 &&
                  path.view_id == s.view_id &&
                  path.connection_entry.connection_info.conn_id == conn &&
                  SystemDB::getEnabledSession(sessions) == 0 && sessions.size() > size_t(r),
              "read back");
    }
}

using StoreThreads = SystemDBFixture;

TEST_F(StoreThreads, InterleavedWritesAndReadsKeepTheirOwnRows) {
    std::vector<std::string> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(Worker, t, std::ref(faults[t]));
    for (auto& th : threads) th.join();
    for (const auto& f : faults) EXPECT_EQ(f, "");
    // kThreads * kRounds rows, each session joined to its own thread's connection.
    EXPECT_EQ(Dump("SELECT count(*), count(DISTINCT c.id), sum(s.status = c.status AND "
                   "substr(s.share_name, 7) = substr(c.orb_id, 5) AND s.share_version = "
                   "1 + substr(c.orb_id, instr(c.orb_id, '-') + 1)) FROM session_table AS s JOIN "
                   "connection_table AS c ON c.id = s.conn_id"),
              "80|80|80\n");
}

}  // namespace
