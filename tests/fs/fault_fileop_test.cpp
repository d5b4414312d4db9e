// File operations in a process that has run out of file descriptors
// (RLIMIT_NOFILE 32, then every free slot taken). Each case runs in a forked
// child, which sends its standard error to a file and its findings to a
// report of key=value lines opened before the descriptors ran out; the
// parent checks both.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "file-op.h"
#include "test_support.h"

namespace {

using testutil::CountEntries;
using testutil::ExhaustDescriptors;
using testutil::LimitDescriptors;
using testutil::MakeChain;
using testutil::OpenDescriptors;
using testutil::Release;
using testutil::TempDir;

int CountVisit(const ustring&, void* priv) {
    ++*static_cast<int*>(priv);
    return 0;
}

class FaultFileOpTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string report = dir / "report";
    std::string err = dir / "stderr";
};

TEST_F(FaultFileOpTest, TraverseDirOfADeepTreeFailsCleanlyWithoutLeaking) {
    const std::string root = dir / "tree";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    MakeChain(root, 64);  // deeper than the descriptors allowed

    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        if (!r.ok() || !LimitDescriptors(32)) return 3;
        int before = OpenDescriptors();
        int visits = 0;
        r.Put("rc", TraverseDir(ustring(root.c_str()), CountVisit, &visits));
        r.Put("visits", visits);
        r.Put("leaked", OpenDescriptors() - before);
        // With room again the same walk completes.
        LimitDescriptors(1024);
        visits = 0;
        r.Put("rc_after", TraverseDir(ustring(root.c_str()), CountVisit, &visits));
        r.Put("visits_after", visits);
        return 0;
    });
    ASSERT_EQ(0, rc);
    auto got = testutil::ReadChildReport(report);
    EXPECT_EQ("-2", got["rc"]);
    // It went as deep as the descriptors allowed, then stopped.
    EXPECT_GT(std::stoi(got["visits"]), 16);
    EXPECT_LT(std::stoi(got["visits"]), 65);
    EXPECT_EQ("0", got["leaked"]);
    EXPECT_EQ("0", got["rc_after"]);
    EXPECT_EQ("65", got["visits_after"]);
}

TEST_F(FaultFileOpTest, RemovalDepthIsNotBoundedByTheDescriptorLimit) {
    const std::string root = dir / "tree";
    ASSERT_EQ(0, mkdir(root.c_str(), 0755));
    std::string leaf = MakeChain(root, 200);
    testutil::WriteFile(leaf + "/file", "x");

    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        if (!r.ok() || !LimitDescriptors(32)) return 3;
        int before = OpenDescriptors();
        r.Put("rc", FSRemove(ustring(root.c_str()), false));
        r.Put("leaked", OpenDescriptors() - before);
        return 0;
    });
    ASSERT_EQ(0, rc);
    auto got = testutil::ReadChildReport(report);
    EXPECT_EQ("0", got["rc"]);
    EXPECT_EQ("0", got["leaked"]);
    EXPECT_FALSE(testutil::PathExists(root));
}

TEST_F(FaultFileOpTest, CopyFailsWithItsErrorLineWhenNoDescriptorIsLeft) {
    const std::string src = dir / "src";
    const std::string dst = dir / "dst";
    testutil::WriteFile(src, "payload");

    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        if (!r.ok() || !testutil::RedirectStderrTo(err) || !LimitDescriptors(32)) return 3;
        std::vector<int> taken = ExhaustDescriptors();
        r.Put("taken", static_cast<long>(taken.size()));
        // Nothing free: the source cannot be opened.
        r.Put("rc_src", FSCopy(ustring(src.c_str()), ustring(dst.c_str()), false));
        r.Put("dst_exists", testutil::PathExists(dst) ? 1 : 0);
        // One free: the source opens, the destination cannot, and the source
        // is closed again.
        Release(taken, 1);
        int before = OpenDescriptors();
        r.Put("rc_dst", FSCopy(ustring(src.c_str()), ustring(dst.c_str()), true));
        r.Put("leaked", OpenDescriptors() - before);
        r.Put("src_kept", testutil::PathExists(src) ? 1 : 0);
        // Room again: the copy goes through.
        Release(taken, 4);
        r.Put("rc_ok", FSCopy(ustring(src.c_str()), ustring(dst.c_str()), false));
        Release(taken, taken.size());
        return 0;
    });
    ASSERT_EQ(0, rc);
    auto got = testutil::ReadChildReport(report);
    EXPECT_GT(std::stoi(got["taken"]), 20);
    EXPECT_EQ("-1", got["rc_src"]);
    EXPECT_EQ("0", got["dst_exists"]);
    EXPECT_EQ("-1", got["rc_dst"]);
    EXPECT_EQ("0", got["leaked"]);
    EXPECT_EQ("1", got["src_kept"]);
    EXPECT_EQ("0", got["rc_ok"]);
    EXPECT_EQ("payload", testutil::ReadFile(dst));

    const std::string ts = testutil::kTimestampRe;
    const std::string line = R"(\[ERROR\] file-op\([0-9]+\): CopyFile: open\()";
    const std::string emfile = R"(\): Too many open files \(24\)\n)";
    std::regex want("^" + ts + line + testutil::RegexEscape(src) + emfile + ts + line +
                    testutil::RegexEscape(dst) + emfile + "$");
    std::string text = testutil::ReadFile(err);
    EXPECT_TRUE(std::regex_match(text, want)) << text;
}

}  // namespace
