// The store itself: its release, open/close cycle, file modes, eight threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "db_fixture.h"

namespace {

using dbtest::Log;
using StoreTest = SystemDBFixture;

// A new file starts at this release; an older one keeps its version, its
// tables and their rows, and gains the table it lacks.
TEST_F(StoreTest, ANewFileStartsAtThisReleaseAnOlderOneKeepsItsOwn) {
    EXPECT_EQ(Dump("SELECT * FROM system_table"), "release_version|13\n");
    SystemDB::destroy();
    db_ = dir_ / "old.db";
    Plant(
        "CREATE TABLE session_table (id INTEGER primary key, share_name TEXT, attribute INTEGER, "
        "view_id INTEGER);"
        "CREATE TABLE system_table (key VARCHAR PRIMARY KEY ON CONFLICT IGNORE, value);"
        "INSERT INTO system_table VALUES ('release_version', 12);"
        "INSERT INTO session_table VALUES (4, 'old', 4, 2);");
    ASSERT_EQ(Open(db_), 0);
    EXPECT_EQ(Dump("SELECT (SELECT group_concat(key || '=' || value) FROM system_table), (SELECT "
                   "count(*) FROM connection_table), * FROM session_table"),
              "release_version=12|0|4|old|4|2\n");
}

// Closing a store releases every descriptor; a second open keeps the first
// store.
TEST_F(StoreTest, ClosingReleasesTheFileAndASecondOpenKeepsTheFirstStore) {
    SystemDB::destroy();
    const int closed = testutil::OpenDescriptors();
    const std::string other = dir_ / "other.db";
    ASSERT_EQ(Open(other), 0);
    SystemDB::destroy();
    EXPECT_EQ(testutil::OpenDescriptors(), closed) << "a descriptor outlived the store";
    ASSERT_EQ(unlink(other.c_str()), 0);
    Verbose();
    Log log;
    SystemDB::destroy();
    ASSERT_EQ(Open(db_), 0);
    EXPECT_EQ(Open(other), 0);
    SessionInfo session;
    ASSERT_EQ(SystemDB::addNewSessionInfo(session), 0) << "the first store was closed";
    SystemDB::destroy();
    const std::string info = "[INFO] system-db(N): SystemDB has been ";
    EXPECT_EQ(log.Text(), info + "deinitialzed (no-op)\n" + info + "initialized with location '" +
                              db_ + "'\n" + info + "initialized (no-op)\n" + info +
                              "deinitialzed\n");
    EXPECT_FALSE(testutil::PathExists(other)) << "the second open made a store";
}

std::string Octal(mode_t mode) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return octal;
}

std::string ModeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? Octal(st.st_mode) : "missing";
}

// The store holds credentials: a new file is its owner's alone whatever the
// umask (the last takes the owner's bits too); SQLite gives its journals the
// file's mode.
TEST_F(StoreTest, ANewStoreIsOwnerOnlyWhateverTheUmask) {
    for (mode_t mask : {022, 000, 0277}) {
        SystemDB::destroy();
        db_ = dir_ / ("umask" + Octal(mask) + ".db");
        const mode_t saved_mask = umask(mask);
        EXPECT_EQ(Open(db_), 0);
        umask(saved_mask);
        EXPECT_EQ(ModeOf(db_), "0600") << "under umask " << Octal(mask);
    }
}

// An existing store may be shared through its group; it keeps its mode, and
// a mode that lets other users in is reported.
TEST_F(StoreTest, AnExistingStoreKeepsItsModeAndIsReportedWhenOthersMayUseIt) {
    struct ModeWarning {
        mode_t mode;
        std::string complaint;  // "": none
    };
    const ModeWarning cases[] = {{0600, ""},
                                 {0644, "readable by other users (mode 0644)"},
                                 {0620, "writable by other users (mode 0620)"},
                                 {0666, "readable and writable by other users (mode 0666)"}};
    for (const auto& [mode, complaint] : cases) {
        SystemDB::destroy();
        ASSERT_EQ(chmod(db_.c_str(), mode), 0);
        Log log;
        ASSERT_EQ(Open(db_), 0);
        const std::string warning = "[WARNING] system-db(N): SystemDB: database at '" + db_ +
                                    "' is " + complaint + "; it holds credentials\n";
        EXPECT_EQ(log.Text(), complaint.empty() ? "" : warning) << "mode " << Octal(mode);
        EXPECT_EQ(ModeOf(db_), Octal(mode));
    }
}

// ":memory:" and "" open stores that are no file, and a "file:" name is a URI:
// all are left to SQLite, so nothing is made under the name itself and a
// URI's file gets the mode SQLite gives it, unreported. In a child working in
// a folder of its own, where a file made under such a name would appear.
TEST_F(StoreTest, NamesThatAreNoPlainFileAreLeftToSQLite) {
    SystemDB::destroy();
    const std::string folder = dir_ / "work";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string wrong = testutil::ChildReport([&] {
        if (chdir(folder.c_str()) != 0) return std::string("cannot enter the folder\n");
        umask(022);
        std::string found;
        for (std::string name : {":memory:", "", "file:uri.db", "file:uri.db"}) {
            Log log;
            if (Open(name) != 0 || SystemDB::setLanguageOptions("en") != 0)
                found += "the store '" + name + "' cannot be used\n";
            SystemDB::destroy();
            const std::string entries = log.Text();
            if (!entries.empty()) found += "'" + name + "' logged: " + entries;
        }
        std::string modes;
        for (const auto& file : testutil::FilesIn(folder)) modes += ModeOf(file.first) + " ";
        if (modes != "0644 ") found += "files made, by mode: " + modes + "(want one, 0644)\n";
        return found;
    });
    EXPECT_EQ(wrong, "");
}

// Eight threads add and update sessions on one store: every call succeeds
// and every id handed back names its own thread's row; faults are noted for
// the main thread.
constexpr int kThreads = 8, kRounds = 10;  // each write waits for the disk

void Worker(int thread, std::string& faults) {
    for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(thread) + "-" + std::to_string(round);
        SessionInfo session;
        session.share_name = tag.c_str();
        session.view_id = thread * 100 + round;
        if (SystemDB::addNewSessionInfo(session) != 0)
            faults += tag + ": the session was not inserted\n";
        const uint64_t session_id = session.session_id;
        session.session_id = 0;  // to be found again by the update
        session.share_version = round + 1;
        if (SystemDB::updateSessionInfo(session) != 0 || session.session_id != session_id)
            faults += tag + ": the update found another session\n";
    }
}

using StoreThreads = SystemDBFixture;

TEST_F(StoreThreads, InterleavedWritesAndReadsKeepTheirOwnRows) {
    std::vector<std::string> faults(kThreads);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back(Worker, thread, std::ref(faults[thread]));
    for (std::thread& running : threads) running.join();
    for (const std::string& noted : faults) EXPECT_EQ(noted, "");
    EXPECT_EQ(Dump("SELECT count(*), count(DISTINCT view_id), sum(share_version = 1 + "
                   "substr(share_name, instr(share_name, '-') + 1)) FROM session_table"),
              "80|80|80\n");
}

}  // namespace
