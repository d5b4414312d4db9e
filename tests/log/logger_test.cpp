// Logger: start-up defaults, the channels, thresholds, size accounting,
// rotation and concurrent writers. The logger is process-wide, so every case
// starts from the start-up state.
#include "logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::ReadFile;

// The text with each line's timestamp replaced by "T ", so that a missing
// or a surplus stamp shows.
std::string Unstamped(const std::string& text) {
    return std::regex_replace(text, std::regex(std::string("(^|\n)") + testutil::kTimestampRe),
                              "$1T ");
}

// Logged while this file's statics are built: the defaults (standard error,
// threshold L_WARNING) must already be in place.
const std::string g_early = [] {
    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_ERR, "c", "early(%d)\n", 7);
    Logger::LogMsg(Logger::L_NOTICE, "c", "dropped\n");
    return err.Stop();
}();

// One line of `bytes` bytes through a file channel, its stamp included.
void LogBytes(size_t bytes) {
    Logger::LogMsg(Logger::L_ERR, "c", "%s\n", std::string(bytes - 17, 'x').c_str());
}

class LoggerTest : public ::testing::Test {
  protected:
    LoggerTest() { Reset(); }
    ~LoggerTest() override { Reset(); }
    static void Reset() {  // back to the start-up state
        FILE* fp = Logger::log_fp;
        if (fp != nullptr && fp != stdout && fp != stderr) fclose(fp);
        Logger::log_level.clear();
        Logger::log_type = Logger::STDOUT_LOGGER;
        Logger::log_fp = stderr;
        Logger::log_size = -1;
        Logger::rotate_cnt = 50;
        Logger::log_path.clear();
    }
    testutil::TempDir dir_;
    const std::string log_ = dir_ / "app.log", levels_ = dir_ / "levels";
};

// Where a line goes per channel, whether it is stamped and counted, and what
// Destroy makes of the channel.
TEST_F(LoggerTest, Channels) {
    EXPECT_EQ("T early(7)\n", Unstamped(g_early));
    testutil::WriteFile(levels_, "c = 5\n");
    openlog("bv", LOG_PERROR, LOG_USER);  // syslog lines also go to standard error
    const struct {
        int type;
        const char *out, *err, *file;
        int size;  // -1: no file opened
    } cases[] = {
        {Logger::STDOUT_LOGGER, "T warn 1\nT after\n", "", "", -1},
        {Logger::STDERR_LOGGER, "", "T warn 1\nT after\n", "", -1},
        {Logger::SYSLOG_LOGGER, "", "bv: warn 1\nbv: after\n", "", -1},  // echoed, see openlog
        {Logger::FILE_LOGGER, "T after\n", "", "T warn 1\n", 23},
        {Logger::ANDROID_LOGGER, "", "warn 1\nafter\n", "", 0},  // opens the file, unused
        {99, "", "warn 1\nafter\n", "", 0},
        {-3, "", "warn 1\nafter\n", "", 0},
    };
    for (const auto& c : cases) {
        Reset();
        unlink(log_.c_str());
        SCOPED_TRACE(c.type);
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "old.log", "", 2));
        FILE* old = Logger::log_fp;  // an earlier channel, never closed by Initialize
        ASSERT_EQ(0, Logger::Initialize(Logger::Type(c.type), log_, levels_, 7));
        testutil::StdoutCapture out;
        testutil::StderrCapture err;
        Logger::LogMsg(Logger::L_WARNING, "c", "warn %d\n", 1);
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(c.size, Logger::log_size);
        Logger::Destroy();  // ends file logging only, keeping the thresholds
        Logger::LogMsg(Logger::L_WARNING, "c", "after\n");
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(c.out, Unstamped(out.Stop()));
        EXPECT_EQ(c.err, Unstamped(err.Stop()));
        EXPECT_EQ(c.file, Unstamped(ReadFile(log_)));
        EXPECT_EQ(c.size >= 0, PathExists(log_));
        EXPECT_EQ(c.type == Logger::FILE_LOGGER ? -1 : c.size, Logger::log_size);
        Logger::Rotate();  // never reaches the earlier file
        EXPECT_FALSE(PathExists(dir_ / "old.log_0"));
        fclose(old);
    }
    closelog();
}

// Per component, through LogMSG_c, which passes any level on unchanged.
TEST_F(LoggerTest, Thresholds) {
    Logger::log_level["kept"] = 6;               // set earlier: kept
    Logger::log_level["default_component"] = 1;  // always set anew
    testutil::WriteFile(levels_, "# t\nfile_op_debug = 7\nmute = -1\ntext = x\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", levels_, 0));
    auto log_c = [](int level, const char* comp, ...) {
        std::string name = comp ? comp : "";
        va_list args;
        va_start(args, comp);
        LogMSG_c(level, comp ? &name[0] : nullptr, "%s\n", args);
        va_end(args);
    };
    for (const auto& t : {std::make_pair("file_op_debug", 7),
                          {"other", 4},
                          {"mute", -1},
                          {"text", 0},
                          {"kept", 6},
                          {"default_component", 4},
                          {nullptr, 4}}) {
        for (int level : {-5, 0, 3, 4, 5, 6, 7, 100}) {
            const std::string line = (t.first ? t.first : "-") + std::to_string(level);
            testutil::StderrCapture err;
            log_c(level, t.first, line.c_str());
            EXPECT_EQ(level <= t.second ? "T " + line + "\n" : "", Unstamped(err.Stop())) << line;
        }
    }
}

TEST_F(LoggerTest, FailedFileChannelKeepsThePreviousStream) {
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 5));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "missing/app.log", "", 5));
    EXPECT_EQ(-1, Logger::Rotate());  // no file to rotate: nothing touched
    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_ERR, "c", "still here\n");  // stamped, not counted
    EXPECT_EQ("T still here\n", Unstamped(err.Stop()));
    EXPECT_EQ(-1, Logger::log_size);
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 3));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "no/such.log", "", 9));
    Logger::LogMsg(Logger::L_ERR, "c", "into the first\n");
    EXPECT_EQ("T into the first\n", Unstamped(ReadFile(log_)));
}

// Crossing 1 MiB rotates after the line. When the file cannot be moved aside
// (a read-only folder; unprivileged, since root ignores that), logging goes
// on in it.
TEST_F(LoggerTest, RotatesOnlyAfterExceedingOneMebibyte) {
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));
    for (bool read_only : {false, true}) {
        const std::string logs = dir_ / (read_only ? "ro" : "rw"), path = logs + "/app.log";
        auto run = [&] {
            if (mkdir(logs.c_str(), 0755) != 0) return 10;
            testutil::WriteFile(path, std::string(100, 'p'));  // appended to, not counted
            if (Logger::Initialize(Logger::FILE_LOGGER, path, "", 3) != 0) return 11;
            if (read_only && chmod(logs.c_str(), 0555) != 0) return 12;
            for (int i = 0; i < 1024; ++i) LogBytes(1024);
            if (Logger::log_size != 1048576 || PathExists(path + "_0")) return 13;
            LogBytes(18);
            if (Logger::log_size != 0) return 14;
            if (read_only && Logger::Rotate() != -1) return 15;
            Logger::LogMsg(Logger::L_ERR, "c", "fresh\n");
            return Logger::log_size == 22 ? 0 : 16;
        };
        EXPECT_EQ(0, testutil::RunInChild(run, true)) << read_only;
        const std::string text = ReadFile(path);
        EXPECT_EQ(read_only ? 0u : 100u + 1048576 + 18, ReadFile(path + "_0").size());
        EXPECT_EQ(read_only ? 100u + 1048576 + 18 + 22 : 22u, text.size());
        EXPECT_EQ("T fresh\n", Unstamped(text.substr(text.size() - 22)));
    }
}

// Which numbered files one rotation leaves, by depth ("-": none).
TEST_F(LoggerTest, RotationKeepsDepthMinusOneFiles) {
    const std::pair<int, std::vector<std::string>> cases[] = {
        {1, {"", "one", "two", "three"}},
        {2, {"", "-", "two", "three"}},
        {3, {"", "zero", "-", "three"}},
        {5, {"", "zero", "one", "two"}},
    };
    for (const auto& c : cases) {
        Reset();
        const char* before[] = {"zero", "one", "two", "three"};
        for (int i = 0; i < 4; ++i) testutil::WriteFile(log_ + "_" + std::to_string(i), before[i]);
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", c.first));
        EXPECT_EQ(0, Logger::Rotate());
        for (int i = 0; i < 4; ++i) {
            const std::string name = log_ + "_" + std::to_string(i);
            EXPECT_EQ(c.second[i], PathExists(name) ? ReadFile(name) : "-") << c.first << i;
        }
        EXPECT_TRUE(PathExists(log_));
        unlink((log_ + "_4").c_str());
    }
}

using LoggerThreads = LoggerTest;

TEST_F(LoggerThreads, ConcurrentLinesNeverInterleave) {
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 5));
    constexpr int kThreads = 8, kLines = 600;  // about 1.3 MB: one rotation mid-run
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                Logger::LogMsg(Logger::L_ERR, "c", "t%d %04d %s\n", t, i,
                               std::string(240, '.').c_str());
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_TRUE(PathExists(log_ + "_0") && !PathExists(log_ + "_1"));  // one rotation
    std::istringstream lines(Unstamped(ReadFile(log_ + "_0") + ReadFile(log_)));
    const std::regex shape("T t([0-7]) ([0-9]{4}) \\.{240}");
    std::vector<int> next(kThreads, 0);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_EQ(next[std::stoi(m[1])]++, std::stoi(m[2])) << line;  // each thread in order
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLines), next);  // and every line, across a rotation
}

}  // namespace
