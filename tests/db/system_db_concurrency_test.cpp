// Several threads writing and reading sessions and connections on one store.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"
#include "system-db.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 10;  // each write waits for the disk; 80 rounds interleave well enough

struct Made {
    uint64_t conn_id;
    uint64_t session_id;
    std::string orb_id;
    std::string share;
};

// One thread's rounds. Every call must succeed and every id handed back must
// name the row this thread just wrote; anything else is counted as a failure
// with a note, so that the main thread reports it.
void Worker(int t, std::vector<Made>& made, std::vector<std::string>& faults) {
    auto fault = [&](const std::string& what, int r) {
        faults.push_back("thread " + std::to_string(t) + " round " + std::to_string(r) + ": " +
                         what);
    };
    for (int r = 0; r < kRounds; ++r) {
        std::string tag = std::to_string(t) + "-" + std::to_string(r);
        ConnectionInfo c;
        c.orb_id = ("orb'" + tag).c_str();
        c.server_name = ("server " + tag).c_str();
        ProxyInfo p;
        p.password = "pw-" + tag;
        TunnelInfo tun;
        if (SystemDB::setConnectionEntry(c, p, tun) != 0) fault("setConnectionEntry", r);

        SessionInfo s;
        s.conn_id = c.conn_id;
        s.share_name = ("share'" + tag).c_str();
        s.attribute = SA_ENABLE;
        s.view_id = static_cast<uint64_t>(t * 1000 + r);
        s.sync_folder = ("/sync/" + tag).c_str();
        if (SystemDB::addNewSessionInfo(s) != 0) fault("addNewSessionInfo", r);
        made.push_back({c.conn_id, s.session_id, "orb'" + tag, "share'" + tag});

        ConnectionEntry e;
        if (SystemDB::getConnectionEntryByConnID(c.conn_id, e) != 0)
            fault("getConnectionEntryByConnID", r);
        if (std::string(e.connection_info.orb_id.c_str()) != "orb'" + tag)
            fault("wrong connection row", r);
        if (e.proxy_info.password != "pw-" + tag) fault("wrong proxy password", r);

        SessionInfo back;
        if (SystemDB::getSessionInfoBySessionID(s.session_id, back) != 0)
            fault("getSessionInfoBySessionID", r);
        if (std::string(back.share_name.c_str()) != "share'" + tag || back.conn_id != c.conn_id)
            fault("wrong session row", r);

        if (SystemDB::setConnectionStatus(c.conn_id, r) != 0) fault("setConnectionStatus", r);
        if (SystemDB::setSessionStatus(s.session_id, 1) != 0) fault("setSessionStatus", r);

        uint64_t written = c.conn_id;
        c.conn_id = 0;
        c.server_name = ("renamed " + tag).c_str();
        if (SystemDB::updateConnectionEntry(c, p, tun) != 0) fault("updateConnectionEntry", r);
        if (c.conn_id != written) fault("updateConnectionEntry gave another id", r);

        PathInfo path;
        if (SystemDB::getPathInfoByPath(("/sync/" + tag + "/f").c_str(), path) != 0)
            fault("getPathInfoByPath", r);
        if (path.view_id != s.view_id || path.connection_entry.connection_info.conn_id != written)
            fault("getPathInfoByPath found another session", r);

        if (r % 3 == 0) {
            std::list<SessionInfo> sessions;
            if (SystemDB::getEnabledSession(sessions) != 0) fault("getEnabledSession", r);
            std::list<ConnectionEntry> conns;
            if (SystemDB::getConnectionEntryList(conns) != 0) fault("getConnectionEntryList", r);
            if (conns.size() < static_cast<size_t>(r + 1)) fault("connection list too short", r);
        }
    }
}

TEST(SystemDBThreads, InterleavedWritesAndReadsKeepTheirOwnRows) {
    SystemDB::destroy();
    testutil::TempDir dir;
    std::string db = dir / "system.db";
    ASSERT_EQ(SystemDB::initialize(db.c_str()), 0);

    std::vector<std::vector<Made>> made(kThreads);
    std::vector<std::vector<std::string>> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(Worker, t, std::ref(made[t]), std::ref(faults[t]));
    for (auto& th : threads) th.join();
    SystemDB::destroy();

    for (const auto& list : faults)
        for (const auto& f : list) ADD_FAILURE() << f;

    std::set<uint64_t> conn_ids, session_ids;
    for (const auto& list : made) {
        ASSERT_EQ(list.size(), static_cast<size_t>(kRounds));
        for (const Made& m : list) {
            EXPECT_TRUE(conn_ids.insert(m.conn_id).second) << "connection id handed out twice";
            EXPECT_TRUE(session_ids.insert(m.session_id).second) << "session id handed out twice";
        }
    }
    // Every id names the row its thread wrote, as the file holds it.
    testutil::Rows conns = testutil::QueryRows(db, "SELECT id, orb_id FROM connection_table");
    testutil::Rows sessions =
        testutil::QueryRows(db, "SELECT id, share_name, conn_id FROM session_table");
    ASSERT_EQ(conns.size(), static_cast<size_t>(kThreads * kRounds));
    ASSERT_EQ(sessions.size(), static_cast<size_t>(kThreads * kRounds));
    std::map<std::string, std::string> orb_of, share_of, conn_of;
    for (const auto& row : conns) orb_of[row[0]] = row[1];
    for (const auto& row : sessions) {
        share_of[row[0]] = row[1];
        conn_of[row[0]] = row[2];
    }
    for (const auto& list : made) {
        for (const Made& m : list) {
            EXPECT_EQ(orb_of[std::to_string(m.conn_id)], m.orb_id);
            EXPECT_EQ(share_of[std::to_string(m.session_id)], m.share);
            EXPECT_EQ(conn_of[std::to_string(m.session_id)], std::to_string(m.conn_id));
        }
    }
}

}  // namespace
