// The file logger on a file system that fills up: while it writes, when a
// line that crosses the rotation limit finds no room, and when not even an
// empty file can be created for the reopened log. Nothing may crash, what was
// written before must stay whole (the log is never truncated), and logging
// must carry on once there is room again.
//
// Each case mounts a small tmpfs in a private mount namespace of a forked
// child and reports its findings to the parent; without the privilege to
// mount, the case is skipped with the reason.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "logger.h"
#include "test_support.h"

namespace {

using testutil::TempDir;

const int kSkip = 77;
const ustring kComp("fault_logger");

// One line of about 130 bytes with its number, so that the order and the
// completeness of what reached the file can be read back.
void LogLine(int i) {
    Logger::LogMsg(
        Logger::L_ERR, kComp, "[ERROR] fault(%d): line %06d %s\n", __LINE__, i,
        "................................................................................");
}

long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Number of the first consecutive lines 0, 1, 2, ... that the text starts
// with, each whole and in order.
int LeadingLines(const std::string& text) {
    int n = 0;
    size_t at = 0;
    for (;;) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) return n;
        char want[32];
        std::snprintf(want, sizeof want, " line %06d ", n);
        std::string line = text.substr(at, nl - at);
        if (line.find(want) == std::string::npos || line.size() < 120) return n;
        ++n;
        at = nl + 1;
    }
}

bool Contains(const std::string& text, int i) {
    char want[32];
    std::snprintf(want, sizeof want, " line %06d ", i);
    return text.find(want) != std::string::npos;
}

class FaultLoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, mkdir(mnt.c_str(), 0755)); }

    // Runs fn in a child with a tmpfs of `opts` on mnt and reads its report
    // into `got`; marks the test skipped when mounting is not permitted (the
    // caller then returns).
    void RunOnTmpfs(const std::string& opts, const std::function<int(testutil::ChildReport&)>& fn) {
        int rc = testutil::RunInChild([&] {
            testutil::ChildReport r(report);
            if (!r.ok()) return 3;
            std::string why = testutil::MountPrivateTmpfs(mnt, opts);
            if (!why.empty()) {
                r.Put("skip", why);
                return kSkip;
            }
            return fn(r);
        });
        got = testutil::ReadChildReport(report);
        if (rc == kSkip) GTEST_SKIP() << "no private tmpfs here: " << got["skip"];
        ASSERT_EQ(0, rc);
    }

    TempDir dir;
    std::string mnt = dir / "mnt";
    std::string log = mnt + "/app.log";
    std::string report = dir / "report";
    std::map<std::string, std::string> got;
};

TEST_F(FaultLoggerTest, FullFileSystemWhileWritingNeverTruncatesTheLog) {
    RunOnTmpfs("size=256k", [&](testutil::ChildReport& r) {
        if (Logger::Initialize(Logger::FILE_LOGGER, ustring(log.c_str()), ustring(), 5) != 0)
            return 4;
        for (int i = 0; i < 100; ++i) LogLine(i);
        std::string before = testutil::ReadFile(log);
        r.Put("fill", testutil::FillFileSystem(mnt + "/filler"));

        // Lines into a full file system: the file may only grow.
        long size = FileSize(log);
        int shrank = 0;
        for (int i = 100; i < 400; ++i) {
            LogLine(i);
            long now = FileSize(log);
            if (now < size) ++shrank;
            size = now;
        }
        std::string during = testutil::ReadFile(log);
        r.Put("shrank", shrank);
        r.Put("kept_before", during.compare(0, before.size(), before) == 0 ? 1 : 0);
        r.Put("leading_before", LeadingLines(before));
        r.Put("leading_during", LeadingLines(during));
        r.Put("logged_400", Contains(during, 399) ? 1 : 0);

        // Room again: logging carries on in the same file.
        unlink((mnt + "/filler").c_str());
        for (int i = 400; i < 410; ++i) LogLine(i);
        std::string after = testutil::ReadFile(log);
        r.Put("kept_after", after.compare(0, before.size(), before) == 0 ? 1 : 0);
        r.Put("logged_409", Contains(after, 409) ? 1 : 0);
        r.Put("rotated", testutil::PathExists(log + "_0") ? 1 : 0);
        Logger::Destroy();
        return 0;
    });
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(std::to_string(ENOSPC), got["fill"]);
    EXPECT_EQ("0", got["shrank"]);
    EXPECT_EQ("1", got["kept_before"]);
    EXPECT_EQ("100", got["leading_before"]);
    EXPECT_LE(100, std::stoi(got["leading_during"]));
    EXPECT_EQ("0", got["logged_400"]);  // there was no room for the last ones
    EXPECT_EQ("1", got["kept_after"]);
    EXPECT_EQ("1", got["logged_409"]);
    EXPECT_EQ("0", got["rotated"]);
}

TEST_F(FaultLoggerTest, FullFileSystemDuringRotationKeepsTheRotatedFileWhole) {
    RunOnTmpfs("size=1536k", [&](testutil::ChildReport& r) {
        if (Logger::Initialize(Logger::FILE_LOGGER, ustring(log.c_str()), ustring(), 3) != 0)
            return 4;
        // Just under the rotation limit.
        int i = 0;
        while (FileSize(log) < Logger::kRotateSize - 400) LogLine(i++);
        const int written = i;
        std::string before = testutil::ReadFile(log);
        r.Put("fill", testutil::FillFileSystem(mnt + "/filler"));

        // The lines that cross the limit rotate into a full file system.
        for (int k = 0; k < 50; ++k) LogLine(i++);
        std::string rotated = testutil::ReadFile(log + "_0");
        r.Put("rotated_exists", testutil::PathExists(log + "_0") ? 1 : 0);
        r.Put("rotated_keeps_all", rotated.compare(0, before.size(), before) == 0 ? 1 : 0);
        r.Put("rotated_leading", LeadingLines(rotated));
        r.Put("written", written);
        r.Put("current_exists", testutil::PathExists(log) ? 1 : 0);

        // Room again: new lines go to the fresh current file.
        unlink((mnt + "/filler").c_str());
        int first_after = i;
        for (int k = 0; k < 10; ++k) LogLine(i++);
        std::string current = testutil::ReadFile(log);
        r.Put("current_has_new", Contains(current, first_after + 9) ? 1 : 0);
        r.Put("current_has_old", Contains(current, 0) ? 1 : 0);
        r.Put("rotated_unchanged", testutil::ReadFile(log + "_0") == rotated ? 1 : 0);
        Logger::Destroy();
        return 0;
    });
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(std::to_string(ENOSPC), got["fill"]);
    EXPECT_EQ("1", got["rotated_exists"]);
    EXPECT_EQ("1", got["rotated_keeps_all"]);
    // Whole from the first line, up to the line that crossed the limit.
    EXPECT_LE(std::stoi(got["written"]), std::stoi(got["rotated_leading"]));
    EXPECT_EQ("1", got["current_exists"]);
    EXPECT_EQ("1", got["current_has_new"]);
    EXPECT_EQ("0", got["current_has_old"]);
    EXPECT_EQ("1", got["rotated_unchanged"]);
}

TEST_F(FaultLoggerTest, RotationThatCannotCreateTheNewFileDropsLinesWithoutHarm) {
    // Room for the directory, the log and the filler only: after the log is
    // moved aside, no new file can be made in its place.
    RunOnTmpfs("size=4m,nr_inodes=3", [&](testutil::ChildReport& r) {
        if (Logger::Initialize(Logger::FILE_LOGGER, ustring(log.c_str()), ustring(), 3) != 0)
            return 4;
        int i = 0;
        while (FileSize(log) < Logger::kRotateSize - 400) LogLine(i++);
        const int written = i;
        std::string before = testutil::ReadFile(log);
        // Take the last inode.
        FILE* filler = std::fopen((mnt + "/filler").c_str(), "w");
        r.Put("filler", filler != nullptr ? 1 : 0);
        if (filler) std::fclose(filler);

        for (int k = 0; k < 50; ++k) LogLine(i++);  // rotates, cannot reopen
        r.Put("rotated_keeps_all",
              testutil::ReadFile(log + "_0").compare(0, before.size(), before) == 0 ? 1 : 0);
        r.Put("rotated_leading", LeadingLines(testutil::ReadFile(log + "_0")));
        r.Put("written", written);
        r.Put("current_exists", testutil::PathExists(log) ? 1 : 0);
        r.Put("stream_dropped", Logger::log_fp == nullptr ? 1 : 0);

        // A new set-up, once a file can be made again, resumes logging.
        unlink((mnt + "/filler").c_str());
        r.Put("reinit",
              Logger::Initialize(Logger::FILE_LOGGER, ustring(log.c_str()), ustring(), 3));
        LogLine(777777);
        r.Put("resumed", Contains(testutil::ReadFile(log), 777777) ? 1 : 0);
        Logger::Destroy();
        return 0;
    });
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ("1", got["filler"]);
    EXPECT_EQ("1", got["rotated_keeps_all"]);
    // Whole from the first line, up to the line that crossed the limit.
    EXPECT_LE(std::stoi(got["written"]), std::stoi(got["rotated_leading"]));
    EXPECT_EQ("0", got["current_exists"]);
    EXPECT_EQ("1", got["stream_dropped"]);
    EXPECT_EQ("0", got["reinit"]);
    EXPECT_EQ("1", got["resumed"]);
}

}  // namespace
