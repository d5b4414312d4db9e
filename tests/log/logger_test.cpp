// The logger is process-wide: each case starts from the start-up state.
#include "logger.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::ReadFile;

// Each line's timestamp becomes "T ", so that a missing or surplus stamp shows.
std::string Unstamped(const std::string& text) {
    return std::regex_replace(text, std::regex(std::string("(^|\n)") + testutil::kTimestampRe),
                              "$1T ");
}

// Logged while statics are built: the defaults (standard error, L_WARNING).
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
    void Reset() {  // and no log file
        if (FILE* fp = Logger::log_fp; fp != nullptr && fp != stdout && fp != stderr) fclose(fp);
        Logger::log_level.clear();
        Logger::log_type = Logger::STDOUT_LOGGER;
        Logger::log_fp = stderr;
        Logger::log_size = -1;
        Logger::rotate_cnt = 50;
        Logger::log_path.clear();
        unlink(log_.c_str());
    }
    testutil::TempDir dir_;
    const std::string log_ = dir_ / "app.log", levels_ = dir_ / "levels";
};

// A failed file channel keeps the previous stream. Per channel: where a line
// goes, whether stamped and counted (-1: no file opened), what Destroy does.
TEST_F(LoggerTest, Channels) {
    EXPECT_EQ("T early(7)\n", Unstamped(g_early));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 5));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "missing/app.log", "", 5));
    EXPECT_EQ(-1, Logger::Rotate());  // no file to rotate: nothing touched
    testutil::StderrCapture still;
    Logger::LogMsg(Logger::L_ERR, "c", "still here\n");  // stamped, not counted
    EXPECT_EQ("T still here\n", Unstamped(still.Stop()));
    EXPECT_EQ(-1, Logger::log_size);
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 3));
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "no/such.log", "", 9));
    Logger::LogMsg(Logger::L_ERR, "c", "into the first\n");
    EXPECT_EQ("T into the first\n", Unstamped(ReadFile(log_)));
    testutil::WriteFile(levels_, "c = 5\n");
    openlog("bv", LOG_PERROR, LOG_USER);  // syslog lines also go to standard error
    const std::tuple<int, const char*, const char*, const char*, int> cases[] = {
        {Logger::STDOUT_LOGGER, "T warn 1\nT after\n", "", "", -1},
        {Logger::STDERR_LOGGER, "", "T warn 1\nT after\n", "", -1},
        {Logger::SYSLOG_LOGGER, "", "bv: warn 1\nbv: after\n", "", -1},  // echoed, see openlog
        {Logger::FILE_LOGGER, "T after\n", "", "T warn 1\n", 23},
        {Logger::ANDROID_LOGGER, "", "warn 1\nafter\n", "", 0},  // opens the file, unused
        {99, "", "warn 1\nafter\n", "", 0},
        {-3, "", "warn 1\nafter\n", "", 0},
    };
    for (const auto& [type, out_text, err_text, file_text, size] : cases) {
        Reset();
        SCOPED_TRACE(type);
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "old.log", "", 2));
        FILE* old = Logger::log_fp;  // an earlier channel, never closed by Initialize
        ASSERT_EQ(0, Logger::Initialize(Logger::Type(type), log_, levels_, 7));
        testutil::FdCapture out(1);
        testutil::StderrCapture err;
        Logger::LogMsg(Logger::L_WARNING, "c", "warn %d\n", 1);
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(size, Logger::log_size);
        Logger::Destroy();  // ends file logging only, keeping the thresholds
        Logger::LogMsg(Logger::L_WARNING, "c", "after\n");
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(out_text, Unstamped(out.Stop()));
        EXPECT_EQ(err_text, Unstamped(err.Stop()));
        EXPECT_EQ(file_text, Unstamped(ReadFile(log_)));
        EXPECT_EQ(size >= 0, PathExists(log_));
        EXPECT_EQ(type == Logger::FILE_LOGGER ? -1 : size, Logger::log_size);
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
        va_list args;
        va_start(args, comp);
        LogMSG_c(level, const_cast<char*>(comp), "%s\n", args);  // which it only reads
        va_end(args);
    };
    const std::pair<const char*, int> limits[] = {
        {"file_op_debug", 7},     {"other", 4}, {"mute", -1}, {"text", 0}, {"kept", 6},
        {"default_component", 4}, {nullptr, 4}};
    for (const auto& t : limits)
        for (int level : {-5, 0, 3, 4, 5, 6, 7, 100}) {
            const std::string line = (t.first ? t.first : "-") + std::to_string(level);
            testutil::StderrCapture err;
            log_c(level, t.first, line.c_str());
            EXPECT_EQ(level <= t.second ? "T " + line + "\n" : "", Unstamped(err.Stop())) << line;
        }
}

// Crossing 1 MiB rotates after the line. When the file cannot be moved aside
// (a read-only folder; unprivileged, as root ignores that), logging goes on in it.
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

// The files _0.._3 one rotation leaves, by depth: "." empty, "-" none.
TEST_F(LoggerTest, RotationKeepsDepthMinusOneFiles) {
    const std::pair<int, std::string> cases[] = {
        {1, ".123"}, {2, ".-23"}, {3, ".0-3"}, {5, ".012"}};
    auto rotated = [this](int i) { return log_ + "_" + std::to_string(i); };
    for (const auto& c : cases) {
        Reset();
        for (int i = 0; i < 4; ++i) testutil::WriteFile(rotated(i), std::to_string(i));
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", c.first));
        EXPECT_EQ(0, Logger::Rotate());
        std::string got;
        for (int i = 0; i < 4; ++i)
            got += !PathExists(rotated(i))        ? "-"
                   : ReadFile(rotated(i)).empty() ? "."
                                                  : ReadFile(rotated(i));
        EXPECT_EQ(c.second, got) << c.first;
        EXPECT_TRUE(PathExists(log_));
    }
}

using LoggerThreads = LoggerTest;

TEST_F(LoggerThreads, ConcurrentLinesNeverInterleave) {
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 5));
    constexpr int kThreads = 8, kLines = 600;  // about 1.3 MB: one rotation mid-run
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, dots = std::string(240, '.')] {
            for (int i = 0; i < kLines; ++i)
                Logger::LogMsg(Logger::L_ERR, "c", "t%d %04d %s\n", t, i, dots.c_str());
        });
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

// A full file system: no crash, the log is never truncated, logging resumes.
void LogLine(int i) {
    Logger::LogMsg(Logger::L_ERR, "c", "line %06d %s\n", i, std::string(110, '.').c_str());
}

// How many of the lines 0, 1, 2, ... the text starts with, each whole.
long Leading(const std::string& text) {
    std::istringstream in(text);
    long n = 0;
    for (std::string line; std::getline(in, line) && !in.eof() && line.size() == 16 + 122; ++n)
        if (line.compare(16, 11, "line " + std::to_string(1000000 + n).substr(1)) != 0) break;
    return n;
}

// A child's assertions never reach its parent: it writes "key=value" lines to a report opened
// before the fault (writing then needs no new descriptor or disk space).
struct Report {
    int fd;
    void Put(const std::string& key, long value) { Put(key, std::to_string(value)); }
    void Put(const std::string& key, const std::string& value) {
        const std::string line = key + "=" + value + "\n";
        if (write(fd, line.data(), line.size()) < 0) return;  // nowhere to tell
    }
};

// Runs fn in a child logging to a private tmpfs (or skips); expects its report.
void ExpectOnTmpfs(const std::string& opts, const std::string& want,
                   const std::function<void(Report&, const std::string&)>& fn) {
    testutil::TempDir dir;
    const std::string mnt = dir / "mnt", report = dir / "report";
    mkdir(mnt.c_str(), 0755);
    int rc = testutil::RunInChild([&] {
        Report r{open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)};
        std::string why = testutil::MountPrivateTmpfs(mnt, opts);
        if (!why.empty()) r.Put("skip", why);
        if (why.empty() && Logger::Initialize(Logger::FILE_LOGGER, mnt + "/app.log", "", 3) == 0)
            fn(r, mnt);
        return 0;
    });
    const std::string got = ReadFile(report);
    if (got.rfind("skip=", 0) == 0) GTEST_SKIP() << "no private tmpfs here: " << got;
    EXPECT_EQ(0, rc) << opts;
    EXPECT_EQ(want, got) << opts;
}

TEST(FaultLoggerTest, FullFileSystemNeverTruncatesTheLog) {
    const std::string want = "fill=" + std::to_string(ENOSPC) + "\nduring=1\nafter=1\n";
    ExpectOnTmpfs("size=256k", want, [](Report& r, const std::string& mnt) {
        for (int i = 0; i < 100; ++i) LogLine(i);
        r.Put("fill", testutil::FillFileSystem(mnt + "/filler"));
        const std::string before = ReadFile(mnt + "/app.log");
        for (int i = 100; i < 400; ++i) LogLine(i);  // no room: the file may only grow
        const std::string during = ReadFile(mnt + "/app.log");
        r.Put("during", during.compare(0, before.size(), before) == 0 && Leading(during) >= 100 &&
                            during.find("line 000399") == std::string::npos);
        unlink((mnt + "/filler").c_str());
        LogLine(400);  // room again: the same file goes on
        const std::string after = ReadFile(mnt + "/app.log");
        r.Put("after", Leading(after) > 100 && after.find("line 000400") != std::string::npos &&
                           !PathExists(mnt + "/app.log_0"));
    });
    // Just under the rotation limit the file system fills up (no room, or no
    // free inode either); the lines that cross the limit rotate into it.
    for (auto [opts, current] :
         {std::pair{"size=1536k", "kept"}, {"size=4m,nr_inodes=3", "dropped"}}) {
        const std::string want =
            "whole=1\ncurrent=" + std::string(current) + "\nresumed=1\nsame=1\n";
        ExpectOnTmpfs(opts, want, [](Report& r, const std::string& mnt) {
            const std::string log = mnt + "/app.log";
            int i = 0;
            while (Logger::log_size < Logger::kRotateSize - 400) LogLine(i++);
            const int written = i;
            testutil::FillFileSystem(mnt + "/filler");  // also takes the last inode
            for (int k = 0; k < 50; ++k) LogLine(i++);
            const std::string rotated = ReadFile(log + "_0");
            r.Put("whole", Leading(rotated) >= written);
            r.Put("current", PathExists(log) ? "kept" : Logger::log_fp ? "open" : "dropped");
            unlink((mnt + "/filler").c_str());
            if (Logger::log_fp == nullptr) Logger::Initialize(Logger::FILE_LOGGER, log, "", 3);
            LogLine(777777);
            const std::string now = ReadFile(log);
            r.Put("resumed", Leading(now) == 0 && now.find("line 777777") != std::string::npos);
            r.Put("same", ReadFile(log + "_0") == rotated);  // the rotated file
        });
    }
}

}  // namespace
