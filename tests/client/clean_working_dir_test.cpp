// clean-working-dir, run from outside on planted databases and sync folders:
// its output, exit status, what it removes and what it must leave alone.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::RunCommand;
using testutil::TempDir;

const char kWd[] = ".BrimvaleWorkingDirectory";

std::string EscapeRegex(const std::string& s) {
    static const std::string kSpecial = R"(\^$.|?*+()[]{})";
    std::string out;
    for (char c : s) {
        if (kSpecial.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

class CleanWorkingDirTest : public ::testing::Test {
  protected:
    TempDir tmp_;
    std::string db_ = tmp_ / "system.db";

    // Writes the database through the library's own helper program.
    void MakeDb(const std::vector<std::string>& sessions, const std::string& db = "") {
        std::vector<std::string> argv = {MAKE_DEMO_DB_BIN, db.empty() ? db_ : db};
        argv.insert(argv.end(), sessions.begin(), sessions.end());
        testutil::CommandResult r = RunCommand(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // A sync folder holding a working directory with a small nested tree and
    // a user file beside it.
    std::string MakeSyncFolder(const std::string& name) {
        std::string folder = tmp_ / name;
        std::string wd = folder + "/" + kWd;
        EXPECT_EQ(RunCommand({"mkdir", "-p", wd + "/cache/a/b", wd + "/journal"}).status, 0);
        testutil::WriteFile(wd + "/cache/a/b/chunk.bin", std::string(4096, 'x'));
        testutil::WriteFile(wd + "/journal/0001.log", "pending\n");
        testutil::WriteFile(wd + "/state", "s");
        testutil::WriteFile(folder + "/user-file.txt", "keep me");
        return folder;
    }

    testutil::CommandResult Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {CLEAN_WORKING_DIR_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand(argv);
    }
};

TEST_F(CleanWorkingDirTest, MissingDatabaseIsReportedAndNotCreated) {
    for (const std::string name : {"absent.db", "syst\xC3\xA8me \xE6\x95\xB0\xE6\x8D\xAE.db"}) {
        std::string path = tmp_ / name;
        testutil::CommandResult r = Run({path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "System DB '" + path + "' not existed !!\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(PathExists(path));

        r = Run({"--dry-run", path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "System DB '" + path + "' not existed !!\n");
        EXPECT_FALSE(PathExists(path));
    }
}

TEST_F(CleanWorkingDirTest, CleansEnabledSessionsOnly) {
    std::string on1 = MakeSyncFolder("Photos");
    std::string off = MakeSyncFolder("Music");
    std::string on2 = MakeSyncFolder("caf\xC3\xA9 docs");
    MakeDb({"enabled=" + on1, "disabled=" + off, "enabled=" + on2});

    testutil::CommandResult r = Run({db_, "ignored", "arguments"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(PathExists(on1 + "/" + kWd));
    EXPECT_FALSE(PathExists(on2 + "/" + kWd));
    EXPECT_TRUE(PathExists(on1 + "/user-file.txt"));
    EXPECT_TRUE(PathExists(on2 + "/user-file.txt"));
    EXPECT_TRUE(PathExists(off + "/" + kWd + "/cache/a/b/chunk.bin"));

    // A second run finds nothing left to do and still succeeds quietly.
    r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(PathExists(off + "/" + kWd));
}

TEST_F(CleanWorkingDirTest, NoEnabledSessionRemovesNothing) {
    std::string off = MakeSyncFolder("off");
    MakeDb({"disabled=" + off});
    testutil::ExecSql(db_, "INSERT INTO session_table (sync_folder, attribute) VALUES ('" + off +
                               "/', 27);");  // every bit except SA_ENABLE
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(PathExists(off + "/" + kWd + "/state"));
}

TEST_F(CleanWorkingDirTest, TrailingSeparatorsInStoredFolders) {
    std::string a = MakeSyncFolder("a");
    std::string b = MakeSyncFolder("b");
    std::string c = MakeSyncFolder("c");
    std::string d = MakeSyncFolder("d");
    MakeDb({});
    testutil::ExecSql(db_,
                      "INSERT INTO session_table (share_name, attribute, sync_folder) VALUES "
                      "('a', 4, '" +
                          a + "//'), ('b', 4, '" + b + "\\'), ('c', 4, '" + c +
                          "/\\//'), ('d', 4, '" + d + "');");
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    for (const std::string& f : {a, b, c, d}) {
        EXPECT_FALSE(PathExists(f + "/" + kWd)) << f;
        EXPECT_TRUE(PathExists(f + "/user-file.txt")) << f;
    }
}

TEST_F(CleanWorkingDirTest, WorkingDirectoryThatIsALinkLosesOnlyTheLink) {
    std::string folder = tmp_ / "linked";
    std::string target = tmp_ / "target";
    ASSERT_EQ(RunCommand({"mkdir", "-p", folder, target + "/sub"}).status, 0);
    testutil::WriteFile(target + "/sub/precious.txt", "precious");
    ASSERT_EQ(symlink(target.c_str(), (folder + "/" + kWd).c_str()), 0);

    // A link inside a working directory goes too; its target stays.
    std::string other = MakeSyncFolder("other");
    std::string outside = tmp_ / "outside.txt";
    testutil::WriteFile(outside, "outside");
    ASSERT_EQ(symlink(outside.c_str(), (other + "/" + kWd + "/cache/link").c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), (other + "/" + kWd + "/dirlink").c_str()), 0);

    MakeDb({"enabled=" + folder, "enabled=" + other});
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(PathExists(folder + "/" + kWd));
    EXPECT_FALSE(PathExists(other + "/" + kWd));
    EXPECT_EQ(testutil::ReadFile(target + "/sub/precious.txt"), "precious");
    EXPECT_EQ(testutil::ReadFile(outside), "outside");
}

TEST_F(CleanWorkingDirTest, WorkingDirectoryDeeperThanPathMax) {
    std::string folder = MakeSyncFolder("deep");
    // 600 levels of 15-byte names: about 9,600 bytes of path, built relative
    // to descriptors since no single path may name the bottom.
    int fd = open((folder + "/" + kWd).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(mkdirat(fd, "level-directory", 0755), 0);
        int child = openat(fd, "level-directory", O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(child, 0);
        fd = child;
        if (i % 100 == 0) {
            int f = openat(fd, "file with spaces\nand newline", O_WRONLY | O_CREAT, 0644);
            ASSERT_GE(f, 0);
            close(f);
        }
    }
    close(fd);
    MakeDb({"enabled=" + folder});
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(PathExists(folder + "/" + kWd));
    EXPECT_TRUE(PathExists(folder + "/user-file.txt"));
}

TEST_F(CleanWorkingDirTest, SyncFolderReachedThroughALinkIsCleaned) {
    std::string real = MakeSyncFolder("real");
    std::string via = tmp_ / "via";
    ASSERT_EQ(symlink(real.c_str(), via.c_str()), 0);
    MakeDb({"enabled=" + via});
    EXPECT_EQ(Run({db_}).status, 0);
    EXPECT_FALSE(PathExists(real + "/" + kWd));
    EXPECT_TRUE(PathExists(real + "/user-file.txt"));
    EXPECT_TRUE(PathExists(via));
}

TEST_F(CleanWorkingDirTest, TwoSessionsWithOneFolder) {
    std::string shared = MakeSyncFolder("shared");
    std::string later = MakeSyncFolder("later");
    MakeDb({"enabled=" + shared, "enabled=" + shared, "enabled=" + later});
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_FALSE(PathExists(shared + "/" + kWd));
    EXPECT_FALSE(PathExists(later + "/" + kWd));
}

TEST_F(CleanWorkingDirTest, TextFileAsDatabase) {
    std::string folder = MakeSyncFolder("kept");
    const std::string text = "this is not a database\nbut a text file that is long enough\n" +
                             std::string(200, 'z') + "\n";
    testutil::WriteFile(db_, text);
    // Aim a would-be session at the folder: nothing may be read, so nothing goes.
    testutil::CommandResult r = Run({db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    std::string ts = testutil::kTimestampRe;
    std::string p = EscapeRegex(db_);
    std::regex expected(
        ts + R"(\[ERROR\] system-db\([0-9]+\): SystemDB: Failed to initialize database at ')" + p +
        R"('\. \[26\] file is not a database\n)" + ts +
        R"(\[ERROR\] system-db\([0-9]+\): initialize fail file is not a database\n)" + ts +
        R"(\[ERROR\] system-db\([0-9]+\): getEnabledSession: sqlite3_prepare_v2: .* \([0-9]+\)\n)");
    EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
    EXPECT_EQ(testutil::ReadFile(db_), text);
    EXPECT_TRUE(PathExists(folder + "/" + kWd + "/state"));

    r = Run({"-n", db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    std::regex dry(ts + R"(\[ERROR\] clean-working-dir\([0-9]+\): Failed to read database at ')" +
                   p + R"('\. \[26\] file is not a database\n)");
    EXPECT_TRUE(std::regex_match(r.err, dry)) << r.err;
    EXPECT_EQ(testutil::ReadFile(db_), text);
}

TEST_F(CleanWorkingDirTest, DatabaseFileUnchangedByteForByte) {
    std::string a = MakeSyncFolder("a");
    std::string b = MakeSyncFolder("b");
    MakeDb({"enabled=" + a, "disabled=" + b});
    const std::string before = testutil::ReadFile(db_);
    ASSERT_FALSE(before.empty());

    EXPECT_EQ(Run({"--dry-run", db_}).status, 0);
    EXPECT_EQ(testutil::ReadFile(db_), before);
    EXPECT_EQ(Run({db_}).status, 0);
    EXPECT_EQ(testutil::ReadFile(db_), before);
    EXPECT_FALSE(PathExists(a + "/" + kWd));
    EXPECT_FALSE(PathExists(db_ + "-journal"));
    EXPECT_FALSE(PathExists(db_ + "-wal"));
}

TEST_F(CleanWorkingDirTest, UsageHelpAndVersion) {
    testutil::CommandResult r = Run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("usage: clean-working-dir [-n|--dry-run] [--] SYSTEM_DB\n"),
              std::string::npos)
        << r.err;

    // An option that needs the database path but lacks it is a usage error too.
    for (const std::string opt : {"-n", "--dry-run", "--"}) {
        r = Run({opt});
        EXPECT_EQ(r.status, 2) << opt;
        EXPECT_EQ(r.out, "") << opt;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << opt;
    }

    for (const std::string opt : {"-h", "--help"}) {
        r = Run({opt, db_});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("usage: clean-working-dir [-n|--dry-run] [--] SYSTEM_DB\n", 0), 0u)
            << r.out;
        EXPECT_NE(r.out.find("--dry-run"), std::string::npos);
        EXPECT_NE(r.out.find("--version"), std::string::npos);
        EXPECT_FALSE(PathExists(db_));
    }

    r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::regex_match(r.out, std::regex("clean-working-dir [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << r.out;
}

TEST_F(CleanWorkingDirTest, DryRunListsExistingWorkingDirectoriesAndTouchesNothing) {
    std::string a = MakeSyncFolder("a");
    std::string off = MakeSyncFolder("off");
    std::string gone = tmp_ / "no-working-dir";
    ASSERT_EQ(RunCommand({"mkdir", "-p", gone}).status, 0);
    std::string dangling = tmp_ / "dangling";
    ASSERT_EQ(RunCommand({"mkdir", "-p", dangling}).status, 0);
    ASSERT_EQ(symlink((tmp_ / "nowhere").c_str(), (dangling + "/" + kWd).c_str()), 0);
    std::string b = MakeSyncFolder("b");
    MakeDb({"enabled=" + a, "disabled=" + off, "enabled=" + gone, "enabled=" + dangling,
            "enabled=" + b});
    const std::string before = testutil::ReadFile(db_);

    testutil::CommandResult r = Run({"--dry-run", db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Rows come back in table order; a dangling link counts, as the real run
    // would remove it.
    EXPECT_EQ(r.out, a + "/" + kWd + "\n" + dangling + "/" + kWd + "\n" + b + "/" + kWd + "\n");
    EXPECT_TRUE(PathExists(a + "/" + kWd + "/cache/a/b/chunk.bin"));
    EXPECT_TRUE(PathExists(b + "/" + kWd + "/state"));
    EXPECT_TRUE(PathExists(dangling + "/" + kWd));
    EXPECT_EQ(testutil::ReadFile(db_), before);

    EXPECT_EQ(Run({"-n", "--", db_}).out, r.out);

    // The real run then removes exactly what was listed.
    EXPECT_EQ(Run({db_}).status, 0);
    EXPECT_FALSE(PathExists(a + "/" + kWd));
    EXPECT_FALSE(PathExists(dangling + "/" + kWd));
    EXPECT_FALSE(PathExists(b + "/" + kWd));
    EXPECT_TRUE(PathExists(off + "/" + kWd));
    EXPECT_EQ(Run({"-n", db_}).out, "");
}

TEST_F(CleanWorkingDirTest, DryRunDoesNotCreateMissingTables) {
    std::string a = MakeSyncFolder("a");
    // A database with only the session table, as an old or partial file
    // might be; the real run would add the missing tables.
    testutil::ExecSql(
        db_,
        "CREATE TABLE session_table (id INTEGER primary key autoincrement, conn_id INTEGER "
        "DEFAULT 0, share_name TEXT COLLATE NOCASE DEFAULT '', attribute INTEGER DEFAULT 0, "
        "ctime DATATIME DEFAULT (strftime('%s','now')), view_id INTEGER DEFAULT 0, status "
        "INTEGER DEFAULT 0, error INTEGER DEFAULT 0, share_version INTEGER DEFAULT 0, "
        "sync_folder TEXT DEFAULT '', perm_mode INTEGER DEFAULT 0);"
        "INSERT INTO session_table (attribute, sync_folder) VALUES (4, '" +
            a + "/');");
    const std::string before = testutil::ReadFile(db_);

    testutil::CommandResult r = Run({"--dry-run", db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, a + "/" + kWd + "\n");
    EXPECT_EQ(testutil::ReadFile(db_), before);
    EXPECT_EQ(testutil::QueryValue(db_, "SELECT group_concat(name) FROM sqlite_master"),
              "session_table,sqlite_sequence");

    // An empty file is no database yet: the dry run reads nothing and leaves
    // it empty, where the real run would create the schema in it.
    std::string empty = tmp_ / "empty.db";
    testutil::WriteFile(empty, "");
    r = Run({"-n", empty});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testutil::ReadFile(empty), "");
}

// The client may keep its database in WAL mode, with recent sessions still in
// the log file while it runs: the dry run must see them and change nothing.
TEST_F(CleanWorkingDirTest, DryRunReadsADatabaseInWalMode) {
    std::string a = MakeSyncFolder("a");
    std::string b = MakeSyncFolder("b");
    MakeDb({"enabled=" + a});
    ASSERT_EQ(testutil::QueryValue(db_, "SELECT count(*) FROM session_table"), "1");

    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &writer), SQLITE_OK);
    std::string sql =
        "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
        "INSERT INTO session_table (attribute, sync_folder) VALUES (4, '" +
        b + "/');";
    ASSERT_EQ(sqlite3_exec(writer, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    const std::string main_file = testutil::ReadFile(db_);

    testutil::CommandResult r = Run({"--dry-run", db_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, a + "/" + kWd + "\n" + b + "/" + kWd + "\n");
    EXPECT_EQ(testutil::ReadFile(db_), main_file);
    EXPECT_TRUE(PathExists(b + "/" + kWd + "/state"));
    sqlite3_close(writer);

    // With the writer gone (log checkpointed and removed) it still reads.
    r = Run({"-n", db_});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, a + "/" + kWd + "\n" + b + "/" + kWd + "\n");
}

TEST_F(CleanWorkingDirTest, PathsThatLookLikeOptionsOrUris) {
    std::string a = MakeSyncFolder("a");
    std::string b = MakeSyncFolder("b");
    // "file:" names are read as URIs by SQLite when URI names are enabled;
    // the command must still open the file it tested for existence.
    MakeDb({"enabled=" + a}, tmp_ / "file:x.db");
    MakeDb({"enabled=" + b}, tmp_ / "x.db");
    std::string cd =
        "cd " + testutil::ShellQuote(tmp_.path()) + " && exec " + CLEAN_WORKING_DIR_BIN;

    testutil::CommandResult r = RunCommand({"sh", "-c", cd + " -n file:x.db"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, a + "/" + kWd + "\n");
    r = RunCommand({"sh", "-c", cd + " file:x.db"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(PathExists(a + "/" + kWd));
    EXPECT_TRUE(PathExists(b + "/" + kWd));

    // "--" lets a database path start with a dash.
    ASSERT_EQ(rename((tmp_ / "x.db").c_str(), (tmp_ / "-h").c_str()), 0);
    r = RunCommand({"sh", "-c", cd + " -- -h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(PathExists(b + "/" + kWd));
}

// A working directory that cannot be removed completely does not stop the
// sessions after it. Runs unprivileged, since root may remove anything.
TEST_F(CleanWorkingDirTest, FailedRemovalDoesNotStopTheLoop) {
    std::string stuck = MakeSyncFolder("stuck");
    std::string next = MakeSyncFolder("next");
    MakeDb({"enabled=" + stuck, "enabled=" + next});
    std::string locked = stuck + "/" + kWd + "/journal";
    if (geteuid() == 0) {
        struct passwd* pw = getpwnam("nobody");
        std::string owner =
            std::to_string(pw ? pw->pw_uid : 65534) + ":" + std::to_string(pw ? pw->pw_gid : 65534);
        ASSERT_EQ(RunCommand({"chown", "-R", owner, tmp_.path()}).status, 0);
    }
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);

    std::string bin = CLEAN_WORKING_DIR_BIN;
    std::string db = db_;
    int status = testutil::RunInChild(
        [&]() {
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execl(bin.c_str(), bin.c_str(), db.c_str(), static_cast<char*>(nullptr));
            return 127;
        },
        true);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(PathExists(locked + "/0001.log"));
    EXPECT_FALSE(PathExists(next + "/" + kWd));
    EXPECT_TRUE(PathExists(next + "/user-file.txt"));
}

}  // namespace
