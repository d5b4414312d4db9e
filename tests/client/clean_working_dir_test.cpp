// clean-working-dir run on planted databases and sync folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

using namespace testutil;
using Args = std::vector<std::string>;

const char kWd[] = ".BrimvaleWorkingDirectory";
const std::string kBin = CLEAN_WORKING_DIR_BIN;
const std::string kUsage =
    "usage: clean-working-dir [-n|--dry-run] [-v|--verbose] [--progress] [--] SYSTEM_DB\n";

std::string Wd(const std::string& folder) {
    return folder + "/" + kWd;
}

// One timestamped error line of the command, as a regular expression.
std::string ErrLine(const std::string& text) {
    return std::string(kTimestampRe) + R"(\[ERROR\] clean-working-dir\([0-9]+\): )" +
           RegexEscape(text) + "\n";
}

// The size the command should report, read independently by du.
std::string Du(const Args& paths) {
    std::string cmd = "du -chs";
    for (const std::string& path : paths) cmd += " " + ShellQuote(path);
    std::string out = RunCommand({"sh", "-c", cmd + " | tail -n 1"}).out;
    return out.substr(0, out.find('\t'));
}

class CleanWorkingDirTest : public ::testing::Test {
  protected:
    TempDir tmp_;
    std::string db_ = tmp_ / "system.db";

    void MakeDb(const Args& sessions, const std::string& db = "") {
        Args argv = {MAKE_DEMO_DB_BIN, db.empty() ? db_ : db};
        argv.insert(argv.end(), sessions.begin(), sessions.end());
        CommandResult result = RunCommand(argv);
        ASSERT_EQ(result.status, 0) << result.err;
    }

    // A working directory of 8 entries (itself included) and a user file beside it.
    std::string MakeSyncFolder(const std::string& name) {
        std::string folder = tmp_ / name, wd = Wd(folder);
        EXPECT_EQ(RunCommand({"mkdir", "-p", wd + "/cache/a/b", wd + "/journal"}).status, 0) << wd;
        WriteFile(wd + "/cache/a/b/chunk.bin", std::string(4096, 'x'));
        WriteFile(wd + "/journal/0001.log", "pending\n");
        WriteFile(wd + "/state", "s");
        WriteFile(folder + "/user-file.txt", "keep me");
        return folder;
    }

    CommandResult Run(const Args& args, Args argv = {}) {
        argv.push_back(kBin);
        argv.insert(argv.end(), args.begin(), args.end());
        return RunCommand(argv);
    }

    // A run that ends with status 0, this output, and a log matching err_re.
    void Expect(const Args& args, const std::string& out, const std::string& err_re = "",
                const Args& prefix = {}) {
        CommandResult result = Run(args, prefix);
        const std::string what = ::testing::PrintToString(args);
        EXPECT_EQ(result.status, 0) << what;
        EXPECT_EQ(result.out, out) << what;
        EXPECT_TRUE(std::regex_match(result.err, std::regex(err_re))) << what << "\n" << result.err;
    }
};

TEST_F(CleanWorkingDirTest, OptionsUsageHelpVersionAndMissingDatabase) {
    for (const Args& args : {Args{}, Args{"-nv", "--progress"}, Args{"--bogus", db_}}) {
        CommandResult result = Run(args);
        EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
        EXPECT_NE(result.err.find(kUsage), std::string::npos) << ::testing::PrintToString(args);
        EXPECT_EQ(result.out, "") << ::testing::PrintToString(args);
    }
    const std::string help = RegexEscape(kUsage) + R"([\s\S]*--progress[\s\S]*)";
    const std::string version = "clean-working-dir [0-9]+\\.[0-9]+\\.[0-9]+\n";
    for (const Args& args : {Args{"-h", db_}, Args{"-v", "-n", "--help", db_}, Args{"--version"}}) {
        CommandResult result = Run(args);
        EXPECT_EQ(result.status, 0) << ::testing::PrintToString(args);
        const std::string& shown = args[0] == "--version" ? version : help;
        EXPECT_TRUE(std::regex_match(result.out, std::regex(shown))) << result.out;
        EXPECT_EQ(result.err, "") << ::testing::PrintToString(args);
    }
    const std::string absent = tmp_ / "absent.db";
    Expect({absent}, "System DB '" + absent + "' not existed !!\n");
    EXPECT_FALSE(PathExists(absent)) << "a missing database was made";
}

// The dry run lists (-v: counts) what the real run then removes; that runs unprivileged
// so that a working directory it cannot remove completely is reported, and the loop goes on.
TEST_F(CleanWorkingDirTest, DryRunListsWhatTheRunRemovesAndFailuresAreLogged) {
    std::string first = MakeSyncFolder("a"), off = MakeSyncFolder("off"), big = MakeSyncFolder("b");
    std::string none = tmp_ / "none", dangling = tmp_ / "dangling", stuck = tmp_ / "stuck";
    std::string sub = Wd(stuck) + "/locked/sub";
    ASSERT_EQ(RunCommand({"mkdir", "-p", none, dangling, sub}).status, 0);
    ASSERT_EQ(symlink((tmp_ / "nowhere").c_str(), Wd(dangling).c_str()), 0);
    Args files = {sub + "/1", sub + "/2"};
    for (const std::string& file : files) WriteFile(file, "f");
    WriteFile(Wd(big) + "/big", std::string(1300000, 'b'));
    MakeDb({"enabled=" + first, "disabled=" + off, "enabled=" + none, "enabled=" + dangling,
            "enabled=" + stuck, "enabled=" + big});
    const std::string before = ReadFile(db_);

    // In table order; a dangling link counts, as the real run removes it.
    struct Found {
        std::string wd;
        std::string entries;
    };
    const Found found[] = {{Wd(first), "8 entries"},
                           {Wd(dangling), "1 entry"},
                           {Wd(stuck), "5 entries"},
                           {Wd(big), "9 entries"}};
    std::string listed, counted;
    for (const Found& one : found) {
        listed += one.wd + "\n";
        counted += one.wd + ": " + one.entries + ", " + Du({one.wd}) + "\n";
    }
    const std::string reported =
        "removed '" + Wd(first) + "': 8 entries, " + Du({Wd(first)}) +
        " freed\nnothing to remove at '" + Wd(none) + "'\nremoved '" + Wd(dangling) +
        "': 1 entry, " + Du({Wd(dangling)}) + " freed\nnot removed completely '" + Wd(stuck) +
        "': Permission denied; 2 entries removed, " + Du(files) + " freed\nremoved '" + Wd(big) +
        "': 9 entries, " + Du({Wd(big)}) + " freed\n";
    Expect({"--dry-run", db_}, listed);
    Expect({"-nv", db_}, counted);

    // As root the command runs as nobody, which must own the tree.
    ASSERT_EQ(geteuid() ? 0 : RunCommand({"chown", "-R", "nobody:", tmp_.path()}).status, 0);
    ASSERT_EQ(chmod((Wd(stuck) + "/locked").c_str(), 0555), 0);
    const Args unprivileged =
        geteuid() ? Args{} : Args{"setpriv", "--reuid=nobody", "--regid=65534", "--clear-groups"};
    const std::string stuck_error = ErrLine("Failed to remove working directory '" + Wd(stuck) +
                                            "' completely. Permission denied");
    Expect({"--verbose", db_}, reported, stuck_error, unprivileged);
    Expect({db_, "--ignored"}, "", stuck_error, unprivileged);  // logged without -v as well
    Expect({"-n", db_}, Wd(stuck) + "\n");
    EXPECT_TRUE(PathExists(Wd(off))) << "a disabled session cleaned";
    EXPECT_EQ(ReadFile(first + "/user-file.txt"), "keep me") << "a file beside it removed";
    EXPECT_EQ(ReadFile(db_), before) << "the database changed";
}

// The copy of the database is made as by brimvale-sysdb, whose tests try it on locked, WAL and
// read-only files; here what the dry run makes of a file that is no database yet, or none.
TEST_F(CleanWorkingDirTest, DatabasesReadAsTheyAre) {
    WriteFile(db_, "");
    Expect({"-n", db_}, "");
    EXPECT_EQ(ReadFile(db_), "") << "the dry run wrote the schema into an empty file";

    const std::string text = "this is not a database\n" + std::string(200, 'z') + "\n";
    WriteFile(db_, text);
    Expect({"-n", db_}, "",
           ErrLine("Failed to read database at '" + db_ + "'. [26] file is not a database"));
    EXPECT_EQ(ReadFile(db_), text) << "the text file changed";

    // SQLite cannot open a path longer than 512 bytes at all.
    const std::string deep = tmp_ / std::string(250, 'd') + "/" + std::string(250, 'd');
    ASSERT_EQ(RunCommand({"mkdir", "-p", deep}).status, 0);
    WriteFile(deep + "/system.db", "");
    Expect({"-n", deep + "/system.db"}, "",
           ErrLine("Failed to open database at '" + deep +
                   "/system.db' for reading. [14] unable to open database file"));
}

// "file:" names are read as URIs by SQLite when URI names are enabled: the command must still
// open the file it tested for existence. A damaged database may hold a relative folder, which
// is never taken relative to the current one.
TEST_F(CleanWorkingDirTest, PathsAreTakenLiterally) {
    std::string literal = MakeSyncFolder("a"), decoy = MakeSyncFolder("b"),
                rel = MakeSyncFolder("Sync");
    const Args in_tmp = {"env", "-C", tmp_.path()};
    MakeDb({"enabled=" + literal}, tmp_ / "file:x.db");
    MakeDb({"enabled=" + decoy}, tmp_ / "x.db");
    Expect({"-n", "file:x.db"}, Wd(literal) + "\n", "", in_tmp);
    Expect({"file:x.db"}, "", "", in_tmp);
    EXPECT_FALSE(PathExists(Wd(literal))) << "the file named not read";
    EXPECT_TRUE(PathExists(Wd(decoy))) << "a URI read";

    MakeDb({"enabled=Sync", "enabled=" + decoy});
    const std::string err =
        ErrLine("Session 1 skipped: its sync folder 'Sync' is not an absolute path");
    Expect({"-n", db_}, Wd(decoy) + "\n", err, in_tmp);
    Expect({db_}, "", err, in_tmp);
    EXPECT_TRUE(PathExists(Wd(rel))) << "a relative folder cleaned";
    EXPECT_FALSE(PathExists(Wd(decoy))) << "not cleaned after a skip";
}

// Suite name ending in Threads: the thread sanitizer run covers the drawing thread.
using CleanWorkingDirThreads = CleanWorkingDirTest;
TEST_F(CleanWorkingDirThreads, ProgressOnATerminalOnly) {
    if (RunCommand({"script", "-qec", "true", "/dev/null"}).status != 0)
        GTEST_SKIP() << "script(1) cannot open a pseudo-terminal here (no /dev/pts?), and the "
                        "progress line is drawn on a terminal only";
    std::string first = MakeSyncFolder("a"), second = MakeSyncFolder("b");
    MakeDb({"enabled=" + first, "enabled=" + second});
    // script gives the command a pseudo-terminal and copies what it shows.
    auto on_tty = [&](const std::string& cmd) {
        return RunCommand({"script", "-qec", cmd + ShellQuote(db_), "/dev/null"});
    };
    // Drawn at once as a session starts; the folder gives way to fit 40 columns.
    CommandResult shown = on_tty("stty cols 40; " + kBin + " --progress ");
    const std::string drawn =
        "\r[1/2] ..." + first.substr(first.size() - 11) + ": 0 entries removed\x1b[K";
    EXPECT_EQ(shown.out.find(drawn), 0u) << shown.out;
    EXPECT_EQ(shown.out.rfind("\r\x1b[K"), shown.out.size() - 4)
        << "the line is not cleared at the end:\n"
        << shown.out;
    EXPECT_FALSE(PathExists(Wd(second))) << "not cleaned with --progress";
    first = MakeSyncFolder("a");
    shown = on_tty(kBin + " -v --progress ");
    EXPECT_NE(shown.out.find("\r\x1b[Kremoved '" + Wd(first) + "': 8 entries"), std::string::npos)
        << "the line is not cleared before a report line:\n"
        << shown.out;
    Expect({"--progress", db_}, "");  // no line drawn where no terminal shows it
    ExecSql(db_, "UPDATE session_table SET attribute = 0;");
    EXPECT_EQ(on_tty(kBin + " --progress ").out, "") << "no session, yet a line was cleared";
}

}  // namespace
