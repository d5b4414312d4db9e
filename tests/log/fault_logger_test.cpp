// The file logger on a file system that fills up: while it writes, when the
// line that crosses the rotation limit finds no room, and when not even an
// empty file can be created for the reopened log. Nothing may crash, what was
// written stays whole (the log is never truncated), and logging carries on
// once there is room again. Each case runs in a forked child on a private
// tmpfs; without the privilege to mount one it is skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "logger.h"
#include "test_support.h"

namespace {

using Report = std::map<std::string, std::string>;

void LogLine(int i) {
    Logger::LogMsg(Logger::L_ERR, "c", "line %06d %s\n", i, std::string(110, '.').c_str());
}

// How many of the lines 0, 1, 2, ... the text starts with, each whole.
long Leading(const std::string& text) {
    std::istringstream in(text);
    long n = 0;
    char want[32];
    for (std::string line; std::getline(in, line) && !in.eof(); ++n) {
        snprintf(want, sizeof want, "line %06ld", n);
        if (line.size() != 16 + 122 || line.compare(16, 11, want) != 0) break;
    }
    return n;
}

// Runs fn in a child on a tmpfs of `opts` and returns its report.
Report OnTmpfs(const std::string& opts,
               const std::function<void(testutil::ChildReport&, const std::string&)>& fn) {
    testutil::TempDir dir;
    const std::string mnt = dir / "mnt", report = dir / "report";
    mkdir(mnt.c_str(), 0755);
    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        std::string why = testutil::MountPrivateTmpfs(mnt, opts);
        if (!why.empty()) {
            r.Put("skip", why);
            return 0;
        }
        Logger::Initialize(Logger::FILE_LOGGER, mnt + "/app.log", "", 3);
        fn(r, mnt);
        return 0;
    });
    Report got = testutil::ReadChildReport(report);
    if (rc != 0) got["exit"] = std::to_string(rc);
    return got;
}

TEST(FaultLoggerTest, FullFileSystemWhileWritingNeverTruncatesTheLog) {
    Report got = OnTmpfs("size=256k", [](testutil::ChildReport& r, const std::string& mnt) {
        for (int i = 0; i < 100; ++i) LogLine(i);
        r.Put("fill", testutil::FillFileSystem(mnt + "/filler"));
        const std::string before = testutil::ReadFile(mnt + "/app.log");
        for (int i = 100; i < 400; ++i) LogLine(i);  // no room: the file may only grow
        const std::string during = testutil::ReadFile(mnt + "/app.log");
        r.Put("during", during.compare(0, before.size(), before) == 0 && Leading(during) >= 100 &&
                            during.find("line 000399") == std::string::npos);
        unlink((mnt + "/filler").c_str());
        LogLine(400);  // room again: the same file goes on
        r.Put("after", Leading(testutil::ReadFile(mnt + "/app.log")) > 100 &&
                           !testutil::PathExists(mnt + "/app.log_0"));
        r.Put("resumed",
              testutil::ReadFile(mnt + "/app.log").find("line 000400") != std::string::npos);
    });
    if (got.count("skip")) GTEST_SKIP() << "no private tmpfs here: " << got["skip"];
    EXPECT_EQ(
        (Report{
            {"fill", std::to_string(ENOSPC)}, {"during", "1"}, {"after", "1"}, {"resumed", "1"}}),
        got);
}

// Just under the rotation limit the file system fills up (no room, or no
// free inode either); the lines that cross the limit rotate into it.
TEST(FaultLoggerTest, FullFileSystemDuringRotationKeepsTheRotatedFileWhole) {
    for (const char* opts : {"size=1536k", "size=4m,nr_inodes=3"}) {
        Report got = OnTmpfs(opts, [](testutil::ChildReport& r, const std::string& mnt) {
            const std::string log = mnt + "/app.log";
            int i = 0;
            while (Logger::log_size < Logger::kRotateSize - 400) LogLine(i++);
            const int written = i;
            testutil::FillFileSystem(mnt + "/filler");  // also takes the last inode
            for (int k = 0; k < 50; ++k) LogLine(i++);
            const std::string rotated = testutil::ReadFile(log + "_0");
            r.Put("rotated_whole", Leading(rotated) >= written);
            r.Put("current", testutil::PathExists(log) ? "kept"
                             : Logger::log_fp          ? "open"
                                                       : "dropped");
            unlink((mnt + "/filler").c_str());
            if (Logger::log_fp == nullptr) Logger::Initialize(Logger::FILE_LOGGER, log, "", 3);
            LogLine(777777);
            const std::string now = testutil::ReadFile(log);
            r.Put("resumed", Leading(now) == 0 && now.find("line 777777") != std::string::npos);
            r.Put("rotated_unchanged", testutil::ReadFile(log + "_0") == rotated);
        });
        if (got.count("skip")) GTEST_SKIP() << "no private tmpfs here: " << got["skip"];
        EXPECT_EQ((Report{{"rotated_whole", "1"},
                          {"current", opts[5] == '1' ? "kept" : "dropped"},
                          {"resumed", "1"},
                          {"rotated_unchanged", "1"}}),
                  got)
            << opts;
    }
}

}  // namespace
