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
#include "test_util.h"
#include "utility.h"

namespace {

using testutil::TempDir;

// Descriptors open in this process (the listing's own one not counted).
int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;
}

bool LimitDescriptors(rlim_t n) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    rl.rlim_cur = n;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

// Takes every free descriptor slot; returns what it took.
std::vector<int> ExhaustDescriptors() {
    std::vector<int> taken;
    for (;;) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0) break;
        taken.push_back(fd);
    }
    return taken;
}

void Release(std::vector<int>& taken, size_t n) {
    while (n-- > 0 && !taken.empty()) {
        close(taken.back());
        taken.pop_back();
    }
}

// A chain of `depth` nested directories named d below root; returns the
// innermost path.
std::string MakeChain(const std::string& root, int depth) {
    std::string p = root;
    for (int i = 0; i < depth; ++i) {
        p += "/d";
        if (mkdir(p.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + p);
    }
    return p;
}

int CountEntries(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

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
    std::regex want("^" + ts + line + testutil::RegexEscape(src) + emfile + ts + line + testutil::RegexEscape(dst) + emfile + "$");
    std::string text = testutil::ReadFile(err);
    EXPECT_TRUE(std::regex_match(text, want)) << text;
}

TEST_F(FaultFileOpTest, TemporaryFilesFailWithTheirErrorLinesWhenNoDescriptorIsLeft) {
    const std::string tmp = dir / "tmp";
    ASSERT_EQ(0, mkdir(tmp.c_str(), 0755));

    int rc = testutil::RunInChild([&] {
        testutil::ChildReport r(report);
        if (!r.ok() || !testutil::RedirectStderrTo(err) || !LimitDescriptors(32)) return 3;
        std::vector<int> taken = ExhaustDescriptors();
        ustring path("unchanged");
        r.Put("rc_mktemp", FSMktemp(ustring(tmp.c_str()), path));
        r.Put("path", path.c_str());
        {
            TempFile t{ustring(tmp.c_str())};
            r.Put("rc_tempfile", t.create());
            r.Put("tempfile_path", t.getPath().c_str());
        }
        {
            SFFile f{ustring(tmp.c_str())};
            r.Put("rc_sffile", f.create());
        }
        // With descriptors again both work, and nothing was left behind by
        // the failures.
        Release(taken, taken.size());
        r.Put("entries_before", CountEntries(tmp));
        TempFile t{ustring(tmp.c_str())};
        r.Put("rc_again", t.create());
        return 0;
    });
    ASSERT_EQ(0, rc);
    auto got = testutil::ReadChildReport(report);
    EXPECT_EQ("-1", got["rc_mktemp"]);
    EXPECT_EQ("unchanged", got["path"]);
    EXPECT_EQ("-1", got["rc_tempfile"]);
    EXPECT_EQ("", got["tempfile_path"]);
    EXPECT_EQ("-1", got["rc_sffile"]);
    EXPECT_EQ("0", got["entries_before"]);
    EXPECT_EQ("0", got["rc_again"]);

    const std::string ts = testutil::kTimestampRe;
    const std::string mk = ts + R"(\[ERROR\] file-op\([0-9]+\): mkstemp\()" + testutil::RegexEscape(tmp) +
                           R"(/XXXXXX\): Too many open files\n)";
    std::regex want("^" + mk + mk + ts + R"(\[ERROR\] utility\([0-9]+\): failed to create TempFile \.\.\.\n)" +
                    mk + ts + R"(\[ERROR\] utility\([0-9]+\): failed to create File \.\.\.\n$)");
    std::string text = testutil::ReadFile(err);
    EXPECT_TRUE(std::regex_match(text, want)) << text;
}

}  // namespace
