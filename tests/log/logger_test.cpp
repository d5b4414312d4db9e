// Logger: start-up defaults, thresholds, channels, size accounting,
// rotation, Destroy and concurrent writers. The logger is process-wide, so
// every case starts from the start-up state (see LoggerTest::ResetLogger).

#include "logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::ReadFile;
using testutil::WriteFile;

// What a line logged while this translation unit is being statically
// initialised saw. The logger's defaults must already be in place then.
struct EarlyLog {
    bool fp_is_stderr;
    Logger::Type type;
    int size;
    int rotate;
    bool path_empty;
    bool levels_empty;
    std::string text;

    EarlyLog()
        : fp_is_stderr(Logger::log_fp == stderr),
          type(Logger::log_type),
          size(Logger::log_size),
          rotate(Logger::rotate_cnt),
          path_empty(Logger::log_path.empty()),
          levels_empty(Logger::log_level.empty()) {
        testutil::StderrCapture capture;
        Logger::LogMsg(Logger::L_ERR, "file_op_debug", "[ERROR] early(%d): static init\n", 7);
        Logger::LogMsg(Logger::L_NOTICE, "file_op_debug", "[NOTICE] early(%d): dropped\n", 8);
        text = capture.Stop();
    }
};
EarlyLog g_early;

// Length of the "%b %d %H:%M:%S " prefix in the POSIX locale.
constexpr size_t kStampLen = 16;

// True when `text` is exactly the timestamp prefix followed by `body`.
bool IsStamped(const std::string& text, const std::string& body) {
    if (text.size() != kStampLen + body.size()) return false;
    if (!std::regex_match(text.substr(0, kStampLen), std::regex(testutil::kTimestampRe)))
        return false;
    return text.compare(kStampLen, std::string::npos, body) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

off_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

void CallLogMSG_c(int level, const char* comp, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void CallLogMSG_c(int level, const char* comp, const char* fmt, ...) {
    std::vector<char> name;
    if (comp != nullptr) name.assign(comp, comp + strlen(comp) + 1);
    va_list args;
    va_start(args, fmt);
    LogMSG_c(level, comp != nullptr ? name.data() : nullptr, fmt, args);
    va_end(args);
}

void CallLogMsg2(Logger::Level level, const ustring& comp, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void CallLogMsg2(Logger::Level level, const ustring& comp, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    Logger::LogMsg2(level, comp, fmt, args);
    va_end(args);
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetLogger(); }
    void TearDown() override { ResetLogger(); }

    // Back to the start-up state through the public static members; a file
    // the previous case left open is closed first.
    static void ResetLogger() {
        FILE* fp = Logger::log_fp;
        if (fp != nullptr && fp != stdout && fp != stderr) fclose(fp);
        Logger::log_level.clear();
        Logger::log_type = Logger::STDOUT_LOGGER;
        Logger::log_fp = stderr;
        Logger::log_size = -1;
        Logger::rotate_cnt = 50;
        Logger::log_path.clear();
    }

    std::string LevelFile(const std::string& content) {
        std::string path = dir_ / "levels.conf";
        WriteFile(path, content);
        return path;
    }

    // Writes one line through the file channel whose total size (timestamp
    // included) is `bytes`.
    static void LogBytes(const char* comp, size_t bytes) {
        std::string body(bytes - kStampLen - 1, 'x');
        Logger::LogMsg(Logger::L_ERR, comp, "%s\n", body.c_str());
    }

    testutil::TempDir dir_;
};

TEST_F(LoggerTest, DefaultsAreInPlaceDuringStaticInitialisation) {
    EXPECT_TRUE(g_early.fp_is_stderr);
    EXPECT_EQ(g_early.type, Logger::STDOUT_LOGGER);
    EXPECT_EQ(g_early.size, -1);
    EXPECT_EQ(g_early.rotate, 50);
    EXPECT_TRUE(g_early.path_empty);
    EXPECT_TRUE(g_early.levels_empty);
    EXPECT_TRUE(IsStamped(g_early.text, "[ERROR] early(7): static init\n")) << g_early.text;
}

TEST_F(LoggerTest, DefaultsWriteWarningsAndWorseToStderrWithTimestamp) {
    testutil::StderrCapture err;
    testutil::StdoutCapture out;
    Logger::LogMsg(Logger::L_ERR, "file_op_debug",
                   "[ERROR] file-op(%d): FSOpenDir: Failed to open directory '%s'. %s\n", 42,
                   "/nope", "No such file or directory");
    Logger::LogMsg(Logger::L_INFO, "file_op_debug", "[INFO] file-op(%d): hidden\n", 43);
    Logger::LogMsg(Logger::L_WARNING, "anything", "[WARNING] x(%d): shown\n", 44);
    Logger::LogMsg(Logger::L_NOTICE, "anything", "notice\n");
    Logger::LogMsg(Logger::L_DEBUG, "default_component", "debug\n");
    std::string text = err.Stop();
    EXPECT_EQ(out.Stop(), "");
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_TRUE(IsStamped(lines[0],
                          "[ERROR] file-op(42): FSOpenDir: Failed to open directory '/nope'. "
                          "No such file or directory"))
        << lines[0];
    EXPECT_TRUE(IsStamped(lines[1], "[WARNING] x(44): shown")) << lines[1];
}

TEST_F(LoggerTest, DroppedLineEvaluatesNoArgument) {
    // Formatting this pointer with %s would crash; a dropped line must not
    // look at it. Run in a child so that a fault fails the case cleanly.
    int status = testutil::RunInChild([] {
        const char* poison = reinterpret_cast<const char*>(uintptr_t{16});
        Logger::LogMsg(Logger::L_DEBUG, "file_op_debug", "%s\n", poison);
        Logger::log_level["quiet"] = -1;
        Logger::LogMsg(Logger::L_EMERG, "quiet", "%s\n", poison);
        return 0;
    });
    EXPECT_EQ(status, 0);
}

TEST_F(LoggerTest, ThresholdsFromLevelFile) {
    std::string levels = LevelFile(
        "# per-component thresholds\n"
        "file_op_debug = 7\n"
        "mute = -1\n"
        "notice_only = 5\n"
        "text = verbose\n"
        "default_component = 7\n");
    ASSERT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", levels, 0), 0);
    EXPECT_EQ(Logger::log_level.size(), 5u);
    EXPECT_EQ(Logger::log_level[ustring("text")], 0);

    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_DEBUG, "file_op_debug", "a debug\n");  // 7 <= 7
    Logger::LogMsg(Logger::L_INFO, "system_db_debug", "b info\n");  // no entry: 4
    Logger::LogMsg(Logger::L_WARNING, "system_db_debug", "c warning\n");
    Logger::LogMsg(Logger::L_EMERG, "mute", "d emerg\n");           // 0 > -1
    Logger::LogMsg(Logger::L_NOTICE, "notice_only", "e notice\n");  // equal: written
    Logger::LogMsg(Logger::L_INFO, "notice_only", "f info\n");
    Logger::LogMsg(Logger::L_EMERG, "text", "g emerg\n");  // not a number: 0
    Logger::LogMsg(Logger::L_ALERT, "text", "h alert\n");
    Logger::LogMsg(Logger::L_DEBUG, "default_component", "i debug\n");  // its own key only
    Logger::LogMsg(Logger::L_NOTICE, "utility_debug", "j notice\n");
    std::vector<std::string> lines = Lines(err.Stop());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(IsStamped(lines[0], "a debug"));
    EXPECT_TRUE(IsStamped(lines[1], "c warning"));
    EXPECT_TRUE(IsStamped(lines[2], "e notice"));
    EXPECT_TRUE(IsStamped(lines[3], "g emerg"));
    EXPECT_TRUE(IsStamped(lines[4], "i debug"));
}

TEST_F(LoggerTest, InitializeKeepsEarlierThresholdsAndResetsDefaultComponent) {
    Logger::log_level["kept"] = 6;
    Logger::log_level["default_component"] = 1;
    Logger::log_level["file_op_debug"] = 2;
    std::string levels = LevelFile("file_op_debug = 7\n");
    ASSERT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", levels, 0), 0);
    EXPECT_EQ(Logger::log_level[ustring("kept")], 6);
    EXPECT_EQ(Logger::log_level[ustring("default_component")], 4);
    EXPECT_EQ(Logger::log_level[ustring("file_op_debug")], 7);
}

TEST_F(LoggerTest, BadLevelFilesLoadNothingAndNeverCrash) {
    // A syntax error anywhere: none of the file's thresholds apply.
    std::string levels = LevelFile("file_op_debug = 7\nthis is not an assignment\n");
    ASSERT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", levels, 0), 0);
    EXPECT_EQ(Logger::log_level.size(), 1u);
    EXPECT_EQ(Logger::log_level[ustring("default_component")], 4);

    // Binary garbage, a missing file, a directory.
    std::string garbage;
    for (int i = 0; i < 20000; ++i) garbage += static_cast<char>((i * 7919 + i / 3) & 0xff);
    WriteFile(dir_ / "garbage", garbage);
    EXPECT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", dir_ / "garbage", 0), 0);
    EXPECT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", dir_ / "missing", 0), 0);
    EXPECT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", dir_.path(), 0), 0);
    EXPECT_EQ(Logger::log_level.size(), 1u);

    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_DEBUG, "file_op_debug", "dropped\n");
    EXPECT_EQ(err.Stop(), "");
}

TEST_F(LoggerTest, StreamChannelsSelectTheirStream) {
    ASSERT_EQ(Logger::Initialize(Logger::STDOUT_LOGGER, "", "", 9), 0);
    EXPECT_EQ(Logger::log_fp, stdout);
    EXPECT_EQ(Logger::rotate_cnt, 50);  // only the file channel stores it
    {
        testutil::StdoutCapture out;
        testutil::StderrCapture err;
        Logger::LogMsg(Logger::L_ERR, "c", "to stdout %d\n", 1);
        EXPECT_EQ(err.Stop(), "");
        EXPECT_TRUE(IsStamped(out.Stop(), "to stdout 1\n"));
    }
    ASSERT_EQ(Logger::Initialize(Logger::STDERR_LOGGER, "", "", 9), 0);
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_EQ(Logger::log_size, -1);
    EXPECT_TRUE(Logger::log_path.empty());
    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
    Logger::LogMsg(Logger::L_WARNING, "c", "to stderr\n");
    EXPECT_TRUE(IsStamped(err.Stop(), "to stderr\n"));
}

TEST_F(LoggerTest, SyslogChannelHasNoStreamAndStillWrites) {
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_ / "app.log", "", 5), 0);
    FILE* first = Logger::log_fp;
    ASSERT_EQ(Logger::Initialize(Logger::SYSLOG_LOGGER, "", LevelFile("noisy = 7\n"), 0), 0);
    EXPECT_EQ(Logger::log_type, Logger::SYSLOG_LOGGER);
    EXPECT_EQ(Logger::log_fp, nullptr);
    EXPECT_TRUE(Logger::log_path.empty());
    EXPECT_EQ(Logger::log_size, -1);
    testutil::StderrCapture err;
    testutil::StdoutCapture out;
    Logger::LogMsg(Logger::L_DEBUG, "noisy", "[DEBUG] test(%d): to syslog\n", 1);
    Logger::LogMsg(Logger::L_ERR, "other", "[ERROR] test(%d): to syslog\n", 2);
    EXPECT_EQ(err.Stop(), "");
    EXPECT_EQ(out.Stop(), "");
    // The earlier file stays open (Initialize never closes) but gets nothing.
    EXPECT_EQ(ReadFile(dir_ / "app.log"), "");
    fclose(first);
}

TEST_F(LoggerTest, AndroidAndUnknownTypesOpenTheFileButWriteToStderr) {
    std::string path = dir_ / "android.log";
    for (int type : {static_cast<int>(Logger::ANDROID_LOGGER), 99, -3}) {
        SCOPED_TRACE(type);
        ASSERT_EQ(Logger::Initialize(static_cast<Logger::Type>(type), path, "", 7), 0);
        EXPECT_NE(Logger::log_fp, nullptr);
        EXPECT_EQ(Logger::log_size, 0);
        EXPECT_EQ(Logger::rotate_cnt, 7);
        testutil::StderrCapture err;
        Logger::LogMsg(Logger::L_ERR, "c", "plain %s\n", "line");
        EXPECT_EQ(err.Stop(), "plain line\n");
        EXPECT_EQ(Logger::log_size, 0);
        FILE* fp = Logger::log_fp;
        Logger::Destroy();  // not FILE_LOGGER: no effect
        EXPECT_EQ(Logger::log_fp, fp);
        fclose(fp);
        Logger::log_fp = stderr;
    }
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(LoggerTest, FailedFileChannelKeepsPreviousStream) {
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, "", "", 5), -1);
    EXPECT_EQ(Logger::log_type, Logger::FILE_LOGGER);
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_EQ(Logger::rotate_cnt, 50);
    EXPECT_EQ(Logger::log_size, -1);

    // A directory that does not exist: same result, no crash.
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_ / "missing/dir/app.log", "", 5), -1);
    EXPECT_FALSE(PathExists(dir_ / "missing"));
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_TRUE(Logger::log_path.empty());

    // Lines go on to standard error with a timestamp and are not counted.
    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_ERR, "c", "still here\n");
    EXPECT_TRUE(IsStamped(err.Stop(), "still here\n"));
    EXPECT_EQ(Logger::log_size, -1);

    // A file set up earlier stays in use after a failed second set-up.
    std::string path = dir_ / "first.log";
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 3), 0);
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, dir_ / "no/such.log", "", 9), -1);
    EXPECT_EQ(std::string(Logger::log_path.c_str()), path);
    EXPECT_EQ(Logger::rotate_cnt, 3);
    Logger::LogMsg(Logger::L_ERR, "c", "into first\n");
    EXPECT_TRUE(IsStamped(ReadFile(path), "into first\n"));
}

TEST_F(LoggerTest, FileChannelAppendsAndCountsOnlyNewOutput) {
    std::string path = dir_ / "app.log";
    WriteFile(path, "old content\n");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 5), 0);
    EXPECT_EQ(std::string(Logger::log_path.c_str()), path);
    EXPECT_EQ(Logger::log_size, 0);
    EXPECT_EQ(Logger::rotate_cnt, 5);
    Logger::LogMsg(Logger::L_ERR, "c", "[ERROR] c(%d): first\n", 10);
    Logger::LogMsg(Logger::L_INFO, "c", "dropped\n");
    std::string text = ReadFile(path);
    ASSERT_EQ(text.compare(0, 12, "old content\n"), 0);
    EXPECT_TRUE(IsStamped(text.substr(12), "[ERROR] c(10): first\n")) << text;
    EXPECT_EQ(Logger::log_size, static_cast<int>(kStampLen + 21));
}

TEST_F(LoggerTest, RotatesOnlyAfterExceedingOneMebibyte) {
    std::string path = dir_ / "app.log";
    WriteFile(path, std::string(100, 'p'));  // opened for appending: not counted
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 5), 0);
    for (int i = 0; i < 1024; ++i) LogBytes("c", 1024);
    EXPECT_EQ(Logger::log_size, 1048576);
    EXPECT_FALSE(PathExists(path + "_0"));
    EXPECT_EQ(FileSize(path), 100 + 1048576);

    LogBytes("c", 18);  // crosses the limit: written to the old file, then rotated
    EXPECT_EQ(Logger::log_size, 0);
    EXPECT_EQ(FileSize(path + "_0"), 100 + 1048576 + 18);
    EXPECT_EQ(FileSize(path), 0);
    EXPECT_FALSE(PathExists(path + "_1"));

    Logger::LogMsg(Logger::L_ERR, "c", "fresh\n");
    EXPECT_TRUE(IsStamped(ReadFile(path), "fresh\n"));
    EXPECT_EQ(Logger::log_size, static_cast<int>(kStampLen + 6));
}

TEST_F(LoggerTest, RotationKeepsRotateCntMinusOneFiles) {
    std::string path = dir_ / "app.log";
    WriteFile(path, "cur");
    WriteFile(path + "_0", "zero");
    WriteFile(path + "_1", "one");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 3), 0);
    EXPECT_EQ(Logger::Rotate(), 0);
    EXPECT_EQ(ReadFile(path + "_0"), "cur");
    EXPECT_EQ(ReadFile(path + "_1"), "zero");
    EXPECT_FALSE(PathExists(path + "_2"));
    EXPECT_EQ(ReadFile(path), "");
    ASSERT_NE(Logger::log_fp, nullptr);
    Logger::LogMsg(Logger::L_ERR, "c", "after\n");
    EXPECT_TRUE(IsStamped(ReadFile(path), "after\n"));

    // Depth 4 over several rotations: the newest is _0, three files at most.
    Logger::rotate_cnt = 4;
    for (int i = 0; i < 5; ++i) {
        Logger::LogMsg(Logger::L_ERR, "c", "gen %d\n", i);
        ASSERT_EQ(Logger::Rotate(), 0);
    }
    EXPECT_TRUE(IsStamped(ReadFile(path + "_0"), "gen 4\n"));
    EXPECT_TRUE(IsStamped(ReadFile(path + "_1"), "gen 3\n"));
    EXPECT_TRUE(IsStamped(ReadFile(path + "_2"), "gen 2\n"));
    EXPECT_FALSE(PathExists(path + "_3"));
    EXPECT_FALSE(PathExists(path + "_4"));
}

TEST_F(LoggerTest, RotationDepthOneReplacesTheOnlyRotatedFile) {
    std::string path = dir_ / "app.log";
    WriteFile(path + "_0", "ancient");
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 1), 0);
    for (int i = 0; i < 2; ++i) {
        Logger::LogMsg(Logger::L_ERR, "c", "round %d\n", i);
        ASSERT_EQ(Logger::Rotate(), 0);
        EXPECT_TRUE(IsStamped(ReadFile(path + "_0"), "round " + std::to_string(i) + "\n"));
        EXPECT_FALSE(PathExists(path + "_1"));
        EXPECT_EQ(ReadFile(path), "");
    }
}

TEST_F(LoggerTest, RotatedNamesAreCutTo1023Bytes) {
    // A 1022-byte log path: "<path>_0" needs 1024 bytes and is cut to
    // "<path>_".
    std::string parent = dir_.path();
    while (parent.size() + 1 + 255 < 1022) {  // last name within NAME_MAX
        parent += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    }
    const std::string path = parent + "/" + std::string(1022 - parent.size() - 1, 'f');
    ASSERT_EQ(path.size(), 1022u);
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 1), 0);
    Logger::LogMsg(Logger::L_ERR, "c", "long\n");
    ASSERT_EQ(Logger::Rotate(), 0);
    EXPECT_TRUE(IsStamped(ReadFile(path + "_"), "long\n"));
    EXPECT_FALSE(PathExists(path + "_0"));
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(LoggerTest, FailedRenameKeepsLoggingIntoCurrentFile) {
    // The log directory is made read-only, so the current file cannot be
    // moved aside. Run unprivileged: root would ignore the permission.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0777), 0);
    const std::string logs = dir_ / "logs";
    const std::string path = logs + "/app.log";
    int status = testutil::RunInChild(
        [&]() -> int {
            if (mkdir(logs.c_str(), 0755) != 0) return 10;
            if (Logger::Initialize(Logger::FILE_LOGGER, path, "", 3) != 0) return 11;
            if (chmod(logs.c_str(), 0555) != 0) return 12;
            for (int i = 0; i < 1024; ++i) LogBytes("c", 1024);
            if (Logger::log_size != 1048576) return 13;
            LogBytes("c", 18);  // rotation tried here and fails
            if (Logger::log_fp == nullptr) return 14;
            if (Logger::log_size != 0) return 15;
            Logger::LogMsg(Logger::L_ERR, "c", "after failed rotation\n");
            if (Logger::Rotate() != -1) return 16;
            if (Logger::log_fp == nullptr) return 17;
            Logger::LogMsg(Logger::L_ERR, "c", "after direct rotation\n");
            return 0;
        },
        true);
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(PathExists(path + "_0"));
    std::string text = ReadFile(path);
    ASSERT_EQ(text.size(), 1048576u + 18 + 2 * kStampLen + 22 + 22);
    std::vector<std::string> lines = Lines(text);
    ASSERT_EQ(lines.size(), 1027u);
    EXPECT_TRUE(IsStamped(lines[1025], "after failed rotation"));
    EXPECT_TRUE(IsStamped(lines[1026], "after direct rotation"));
}

TEST_F(LoggerTest, FailedReopenDropsLinesUntilNextInitialize) {
    const std::string logs = dir_ / "gone";
    ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, logs + "/app.log", "", 3), 0);
    ASSERT_EQ(unlink((logs + "/app.log").c_str()), 0);
    ASSERT_EQ(rmdir(logs.c_str()), 0);

    EXPECT_EQ(Logger::Rotate(), -1);
    EXPECT_EQ(Logger::log_fp, nullptr);
    EXPECT_EQ(Logger::log_type, Logger::FILE_LOGGER);
    testutil::StderrCapture err;
    testutil::StdoutCapture out;
    Logger::LogMsg(Logger::L_EMERG, "c", "lost\n");
    EXPECT_EQ(err.Stop(), "");
    EXPECT_EQ(out.Stop(), "");

    std::string path = dir_ / "again.log";
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 3), 0);
    Logger::LogMsg(Logger::L_ERR, "c", "back\n");
    EXPECT_TRUE(IsStamped(ReadFile(path), "back\n"));
}

TEST_F(LoggerTest, RotateWithoutLogFileTouchesNothing) {
    // Standard error must survive, and no "_0" file may appear anywhere.
    EXPECT_EQ(Logger::Rotate(), -1);
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
    testutil::StderrCapture err;
    Logger::LogMsg(Logger::L_ERR, "c", "alive\n");
    EXPECT_TRUE(IsStamped(err.Stop(), "alive\n"));
}

TEST_F(LoggerTest, DestroyEndsFileLoggingOnly) {
    Logger::Destroy();  // STDOUT_LOGGER: no change
    EXPECT_EQ(Logger::log_type, Logger::STDOUT_LOGGER);
    EXPECT_EQ(Logger::log_fp, stderr);
    EXPECT_EQ(Logger::rotate_cnt, 50);

    std::string path = dir_ / "app.log";
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, LevelFile("c = 6\n"), 5), 0);
    Logger::LogMsg(Logger::L_INFO, "c", "in file\n");
    Logger::Destroy();
    EXPECT_EQ(Logger::log_type, Logger::STDERR_LOGGER);
    EXPECT_EQ(Logger::log_fp, stdout);
    EXPECT_EQ(Logger::log_size, -1);
    EXPECT_TRUE(Logger::log_path.empty());
    EXPECT_EQ(Logger::rotate_cnt, 32);
    EXPECT_EQ(Logger::log_level[ustring("c")], 6);

    testutil::StdoutCapture out;
    Logger::LogMsg(Logger::L_INFO, "c", "to stdout\n");
    EXPECT_TRUE(IsStamped(out.Stop(), "to stdout\n"));
    EXPECT_TRUE(IsStamped(ReadFile(path), "in file\n"));
}

TEST_F(LoggerTest, DestroyAfterFailedFileSetUpKeepsStderrOpen) {
    EXPECT_EQ(Logger::Initialize(Logger::FILE_LOGGER, "", "", 5), -1);
    Logger::Destroy();
    EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
    EXPECT_EQ(Logger::log_fp, stdout);
    testutil::StderrCapture err;
    fprintf(stderr, "stderr works\n");
    EXPECT_EQ(err.Stop(), "stderr works\n");
}

TEST_F(LoggerTest, VaListEntryPoints) {
    Logger::log_level["c6"] = 6;
    testutil::StderrCapture err;
    CallLogMsg2(Logger::L_INFO, "c6", "[INFO] v(%d): %s\n", 1, "LogMsg2");
    CallLogMsg2(Logger::L_DEBUG, "c6", "dropped %d\n", 2);
    CallLogMSG_c(6, "c6", "[INFO] c(%d): %s\n", 3, "LogMSG_c");
    CallLogMSG_c(7, "c6", "dropped %d\n", 4);
    CallLogMSG_c(100, "c6", "dropped %d\n", 5);   // out of range: passed unchanged
    CallLogMSG_c(-5, "c6", "negative %d\n", 6);   // more urgent than any level
    CallLogMSG_c(4, nullptr, "no name %d\n", 7);  // empty name: default threshold
    CallLogMSG_c(5, nullptr, "dropped %d\n", 8);
    std::vector<std::string> lines = Lines(err.Stop());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(IsStamped(lines[0], "[INFO] v(1): LogMsg2"));
    EXPECT_TRUE(IsStamped(lines[1], "[INFO] c(3): LogMSG_c"));
    EXPECT_TRUE(IsStamped(lines[2], "negative 6"));
    EXPECT_TRUE(IsStamped(lines[3], "no name 7"));
}

using LoggerThreads = LoggerTest;

TEST_F(LoggerThreads, ConcurrentLinesNeverInterleave) {
    std::string path = dir_ / "threads.log";
    ASSERT_EQ(Logger::Initialize(Logger::FILE_LOGGER, path, "", 5), 0);
    constexpr int kThreads = 8;
    constexpr int kLines = 600;  // about 1.3 MB: one rotation happens mid-run
    const std::string filler(240, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &filler] {
            for (int i = 0; i < kLines; ++i)
                Logger::LogMsg(Logger::L_ERR, "file_op_debug", "[ERROR] t%d line %04d %s end\n", t,
                               i, filler.c_str());
        });
    }
    for (auto& th : threads) th.join();

    ASSERT_TRUE(PathExists(path + "_0"));
    EXPECT_FALSE(PathExists(path + "_1"));
    std::vector<std::string> lines = Lines(ReadFile(path + "_0") + ReadFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex shape(std::string(testutil::kTimestampRe) +
                           "\\[ERROR\\] t([0-7]) line ([0-9]{4}) \\.{240} end");
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]) << "thread " << t;  // per-thread order kept
        next[t] = std::stoi(m[2]) + 1;
    }
}

}  // namespace
