// The logger is process-wide: each case starts from the start-up state. Faults come from the
// system-call table (sys_faults.h), so that none needs root or a file system of its own.
#include "logger.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <regex>
#include <sstream>
#include <thread>

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

// A file channel without a path keeps the previous stream. Per channel: where a line goes,
// whether stamped and counted (-1: no file opened), what Destroy does.
TEST_F(LoggerTest, EachChannelWritesWhereItsTypeSays) {
    EXPECT_EQ("T early(7)\n", Unstamped(g_early)) << "the defaults";
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 5))
        << "a file channel without a path";
    EXPECT_EQ(-1, Logger::Rotate()) << "a rotation without a file";  // nothing touched
    testutil::StderrCapture still;
    Logger::LogMsg(Logger::L_ERR, "c", "still here\n");  // stamped, not counted
    EXPECT_EQ("T still here\n", Unstamped(still.Stop())) << "the stream kept";
    EXPECT_EQ(-1, Logger::log_size) << "a line counted without a file";
    testutil::WriteFile(levels_, "c = 5\n");
    openlog("bv", LOG_PERROR, LOG_USER);  // syslog lines also go to standard error
    struct Channel {
        Logger::Type type;
        const char* out;
        const char* err;
        const char* file;
        int log_size;
    };
    const Channel channels[] = {
        {Logger::STDOUT_LOGGER, "T warn 1\nT after\n", "", "", -1},
        {Logger::STDERR_LOGGER, "", "T warn 1\nT after\n", "", -1},
        {Logger::SYSLOG_LOGGER, "", "bv: warn 1\nbv: after\n", "", -1},  // echoed, see openlog
        {Logger::FILE_LOGGER, "T after\n", "", "T warn 1\n", 23},
        // Like any type outside the enumeration: opens the file, unused.
        {Logger::ANDROID_LOGGER, "", "warn 1\nafter\n", "", 0},
    };
    for (const Channel& channel : channels) {
        Reset();
        SCOPED_TRACE(channel.type);
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, dir_ / "old.log", "", 2));
        FILE* old = Logger::log_fp;  // an earlier channel, never closed by Initialize
        ASSERT_EQ(0, Logger::Initialize(channel.type, log_, levels_, 7));
        testutil::FdCapture out(1);
        testutil::StderrCapture err;
        Logger::LogMsg(Logger::L_WARNING, "c", "warn %d\n", 1);
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(channel.log_size, Logger::log_size) << "counted before Destroy";
        Logger::Destroy();  // ends file logging only, keeping the thresholds
        Logger::LogMsg(Logger::L_WARNING, "c", "after\n");
        Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
        EXPECT_EQ(channel.out, Unstamped(out.Stop())) << "on standard output";
        EXPECT_EQ(channel.err, Unstamped(err.Stop())) << "on standard error";
        EXPECT_EQ(channel.file, Unstamped(ReadFile(log_))) << "in the file";
        EXPECT_EQ(channel.log_size >= 0, PathExists(log_)) << "whether the file was opened";
        const int after_destroy = channel.type == Logger::FILE_LOGGER ? -1 : channel.log_size;
        EXPECT_EQ(after_destroy, Logger::log_size) << "counted after Destroy";
        Logger::Rotate();  // never reaches the earlier file
        EXPECT_FALSE(PathExists(dir_ / "old.log_0")) << "the earlier file was rotated";
        fclose(old);
    }
    closelog();
}

// Per component, through LogMSG_c, which passes any level on unchanged.
TEST_F(LoggerTest, ALineIsWrittenUpToItsComponentsThreshold) {
    Logger::log_level["kept"] = 6;               // set earlier: kept
    Logger::log_level["default_component"] = 1;  // always set anew
    testutil::WriteFile(levels_, "# t\nfile_op_debug = 7\nmute = -1\ntext = x\n");
    ASSERT_EQ(0, Logger::Initialize(Logger::STDERR_LOGGER, "", levels_, 0));
    auto log_c = [](int level, const char* component, ...) {
        va_list args;
        va_start(args, component);
        LogMSG_c(level, const_cast<char*>(component), "%s\n", args);  // which it only reads
        va_end(args);
    };
    struct Limit {
        const char* component;
        int threshold;
    };
    const Limit limits[] = {{"file_op_debug", 7}, {"other", 4}, {"mute", -1},
                            {"text", 0},          {"kept", 6},  {"default_component", 4},
                            {nullptr, 4}};
    for (const Limit& limit : limits)
        for (int level : {-5, 0, 3, 4, 5, 6, 7, 100}) {
            const std::string line =
                (limit.component ? limit.component : "-") + std::to_string(level);
            testutil::StderrCapture err;
            log_c(level, limit.component, line.c_str());
            const std::string written = level <= limit.threshold ? "T " + line + "\n" : "";
            EXPECT_EQ(written, Unstamped(err.Stop())) << line << ": against its threshold";
        }
}

// Crossing 1 MiB rotates after the line; what the file held before opening
// is appended to but not counted.
TEST_F(LoggerTest, RotatesOnlyAfterExceedingOneMebibyte) {
    testutil::WriteFile(log_, std::string(100, 'p'));
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 3));
    for (int line = 0; line < 1024; ++line) LogBytes(1024);
    EXPECT_EQ(1048576, Logger::log_size) << "the bytes counted";
    EXPECT_FALSE(PathExists(log_ + "_0")) << "exactly 1 MiB is no reason to rotate";
    LogBytes(18);
    EXPECT_EQ(0, Logger::log_size) << "the count not reset by rotating";
    Logger::LogMsg(Logger::L_ERR, "c", "fresh\n");
    EXPECT_EQ(22, Logger::log_size) << "counted after rotating";
    EXPECT_EQ(100u + 1048576 + 18, ReadFile(log_ + "_0").size()) << "the rotated file's size";
    EXPECT_EQ("T fresh\n", Unstamped(ReadFile(log_))) << "the new file";
}

TEST_F(LoggerTest, RotationKeepsDepthMinusOneFiles) {
    struct Rotation {
        int depth;
        std::string files;  // _0.._3, each its text, "." empty or "-" none
    };
    const Rotation rotations[] = {{1, ".123"}, {2, ".-23"}, {3, ".0-3"}, {5, ".012"}};
    auto rotated = [this](int number) { return log_ + "_" + std::to_string(number); };
    for (const Rotation& rotation : rotations) {
        Reset();
        for (int number = 0; number < 4; ++number)
            testutil::WriteFile(rotated(number), std::to_string(number));
        ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", rotation.depth));
        EXPECT_EQ(0, Logger::Rotate()) << "depth " << rotation.depth;
        std::string got;
        for (int number = 0; number < 4; ++number)
            got += !PathExists(rotated(number))        ? "-"
                   : ReadFile(rotated(number)).empty() ? "."
                                                       : ReadFile(rotated(number));
        EXPECT_EQ(rotation.files, got) << "depth " << rotation.depth;
        EXPECT_TRUE(PathExists(log_)) << "depth " << rotation.depth << ": not reopened";
    }
}

using LoggerThreads = LoggerTest;

TEST_F(LoggerThreads, ConcurrentLinesNeverInterleave) {
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, "", 5));
    constexpr int kThreads = 8;
    constexpr int kLines = 600;  // about 1.3 MB: one rotation mid-run
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread)
        threads.emplace_back([thread, dots = std::string(240, '.')] {
            for (int line = 0; line < kLines; ++line)
                Logger::LogMsg(Logger::L_ERR, "c", "t%d %04d %s\n", thread, line, dots.c_str());
        });
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(PathExists(log_ + "_0") && !PathExists(log_ + "_1"));  // one rotation
    std::istringstream lines(Unstamped(ReadFile(log_ + "_0") + ReadFile(log_)));
    const std::regex shape("T t([0-7]) ([0-9]{4}) \\.{240}");
    std::vector<int> next(kThreads, 0);
    for (std::string line; std::getline(lines, line);) {
        std::smatch thread_and_number;
        ASSERT_TRUE(std::regex_match(line, thread_and_number, shape)) << line;
        EXPECT_EQ(next[std::stoi(thread_and_number[1])]++, std::stoi(thread_and_number[2]))
            << line << ": out of its thread's order";
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLines), next);  // and every line, across a rotation
}

using LoggerFaults = LoggerTest;

// A failing device or a full disk never costs an earlier line, the next line
// goes out whole, and log_size counts exactly the bytes the stream took. A
// failed print costs its own line its stamp or its message.
TEST_F(LoggerFaults, AFailedWriteLosesNoOtherLine) {
    testutil::ForEachCallError(
        {{"", {EIO, ENOSPC, EMFILE, EINTR, ENOENT}}},
        [&] {
            Reset();
            Logger::Initialize(Logger::FILE_LOGGER, log_, "", 3);
            Logger::LogMsg(Logger::L_ERR, "c", "earlier\n");
        },
        [] {
            Logger::LogMsg(Logger::L_ERR, "c", "failing %d\n", 1);
            return 0;
        },
        [&](const testutil::FaultRun& run) {
            fflush(Logger::log_fp);  // what a failed flush left in the buffer
            EXPECT_EQ(static_cast<int>(ReadFile(log_).size()), Logger::log_size)
                << run.Describe() << ": the count is not the bytes written";
            Logger::LogMsg(Logger::L_ERR, "c", "next\n");
            const std::string text = ReadFile(log_);
            EXPECT_EQ("T earlier\n", Unstamped(text.substr(0, 24))) << run.Describe();
            EXPECT_TRUE(std::regex_search(
                text, std::regex(std::string(testutil::kTimestampRe) + "next\n$")))
                << run.Describe() << ": the next line is not whole in\n"
                << text;
            if (run.fired_call != "fwrite" && run.fired_call != "vfprintf") {
                EXPECT_EQ("T earlier\nT failing 1\nT next\n", Unstamped(text)) << run.Describe();
            }
        });
}

// Depth 3 keeps the current lines and the newest rotated file at every
// failure point; -1 exactly when the current file was not moved aside or not
// reopened, and logging goes on unless the reopening failed.
TEST_F(LoggerFaults, AFailedRotationKeepsTheFilesItShouldKeep) {
    // Only a missing rotated file (ENOENT from a rename) is told apart: a
    // gap in the numbering. It goes only to the reopening.
    const std::vector<testutil::CallErrors> failures = {{"", {EIO}}, {"fopen", {ENOENT}}};
    const std::map<std::string, std::string> rotated_once = {
        {"app.log", ""}, {"app.log_0", "current\n"}, {"app.log_1", "newest\n"}};
    bool reopened = false;
    testutil::ForEachCallError(
        failures,
        [&] {
            for (const auto& [name, text] : testutil::FilesIn(dir_.path()))
                unlink((dir_ / name).c_str());
            testutil::WriteFile(log_ + "_0", "newest\n");
            testutil::WriteFile(log_ + "_1", "oldest\n");
            Reset();
            testutil::WriteFile(log_, "current\n");
            // A file channel on standard error, which the rotation never
            // closes: the descriptors it opens and closes are its own.
            Logger::log_type = Logger::FILE_LOGGER;
            Logger::log_path = log_;
            Logger::rotate_cnt = 3;
        },
        [&] {
            const int rc = Logger::Rotate();
            reopened = Logger::log_fp != nullptr;
            Logger::Destroy();
            return rc;
        },
        [&](const testutil::FaultRun& run) {
            const bool moved_and_reopened = run.fired_call != "rename" && run.fired_call != "fopen";
            EXPECT_EQ(moved_and_reopened ? 0 : -1, run.rc) << run.Describe();
            EXPECT_EQ(run.fired_call != "fopen", reopened) << run.Describe();
            std::string everything;
            for (const auto& [name, text] : testutil::FilesIn(dir_.path())) everything += text;
            for (const char* kept : {"current\n", "newest\n"})
                EXPECT_NE(std::string::npos, everything.find(kept))
                    << run.Describe() << ": lost " << kept;
            if (run.rc == 0 && run.fired_call != "unlink") {
                EXPECT_EQ(rotated_once, testutil::FilesIn(dir_.path())) << run.Describe();
            }
        });
}

// The file channel opens as a whole or not at all: -1 keeps the previous
// stream, path, count and depth; a level file that fails to be read is no
// failure.
TEST_F(LoggerFaults, AFailedInitializeKeepsThePreviousChannel) {
    const std::string opened = log_ + " counted from 0, depth 9, own stream";
    const std::string kept = " counted from -1, depth 50, standard error";
    std::string channel;
    testutil::ForEachCallError(
        {{"", {EIO, ENOSPC, EMFILE, EINTR, ENOENT}}},
        [&] {
            Reset();
            testutil::WriteFile(levels_, "first = 7\nsecond = 6\n");
        },
        [&] {
            const int rc = Logger::Initialize(Logger::FILE_LOGGER, log_, levels_, 9);
            channel = std::string(Logger::log_path.c_str()) + " counted from " +
                      std::to_string(Logger::log_size) + ", depth " +
                      std::to_string(Logger::rotate_cnt) +
                      (Logger::log_fp == stderr ? ", standard error" : ", own stream");
            Logger::Destroy();  // closes the file it opened
            return rc;
        },
        [&](const testutil::FaultRun& run) {
            EXPECT_TRUE(run.rc == 0 || run.fired_call == "fopen") << run.Describe();
            EXPECT_EQ(run.rc == 0 ? opened : kept, channel) << run.Describe();
        });
}

}  // namespace
