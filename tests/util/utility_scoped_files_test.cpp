// SFFile and TempFile lifecycles: creation, reuse, removal, default
// prefixes, and the shared ownership of TempFile across copies.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "logger.h"
#include "test_support.h"
#include "utility.h"

namespace {

using testutil::PathExists;

int CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

std::string Line(const std::string& body) {
    return std::string(testutil::kTimestampRe) + body + "\n";
}

std::string Quote(const std::string& s) {
    return std::regex_replace(s, std::regex("[.]"), "\\.");
}

class ScopedFilesTest : public ::testing::Test {
  protected:
    void SetUp() override { Logger::log_level[ustring("utility_debug")] = Logger::L_DEBUG; }
    void TearDown() override {
        Logger::log_level.erase(ustring("utility_debug"));
        SFFile::initialize("/tmp");
        TempFile::initialize("/tmp");
    }
    std::string Path(const ustring& p) { return p.c_str(); }
    testutil::TempDir dir_;
};

// ---- SFFile ----

TEST_F(ScopedFilesTest, SFFileCreateReuseSizeRemove) {
    testutil::StderrCapture cap;
    std::string path;
    {
        SFFile f(dir_.path());
        EXPECT_TRUE(f.getPath().empty());
        EXPECT_EQ(0u, f.getSize());
        ASSERT_EQ(0, f.create());
        path = Path(f.getPath());
        EXPECT_TRUE(
            std::regex_match(path, std::regex("^" + Quote(dir_.path()) + "/[A-Za-z0-9]{6}$")));
        EXPECT_EQ(0, f.create()) << "a second create reuses the file";
        EXPECT_EQ(path, Path(f.getPath()));
        EXPECT_EQ(1, CountEntries(dir_.path()));

        testutil::WriteFile(path, std::string(1234, 'x'));
        EXPECT_EQ(1234u, f.getSize());

        SFFile copy(f);  // copies name the same file
        EXPECT_EQ(path, Path(copy.getPath()));
        SFFile assigned(ustring("/elsewhere"));
        assigned = f;
        EXPECT_EQ(path, Path(assigned.getPath()));
    }
    EXPECT_TRUE(PathExists(path)) << "destruction never removes an SFFile";

    SFFile g(dir_.path());
    g = SFFile(dir_.path());
    ASSERT_EQ(0, g.create());
    const std::string second = Path(g.getPath());
    g.remove();
    EXPECT_FALSE(PathExists(second));
    EXPECT_TRUE(g.getPath().empty());
    EXPECT_EQ(0u, g.getSize());
    std::string log = cap.Stop();
    const std::string expected =
        "^" + Line("\\[DEBUG\\] utility\\([0-9]+\\): creating File '" + Quote(path) + "'") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): use exist file") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): creating File '" + Quote(second) + "'") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): removing File '" + Quote(second) + "'") + "$";
    EXPECT_TRUE(std::regex_match(log, std::regex(expected))) << log;
}

TEST_F(ScopedFilesTest, SFFileFailureAndPrefixes) {
    SFFile f(dir_ / "missing");
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, f.create());
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(Line("\\[ERROR\\] utility\\([0-9]+\\): failed to create File \\.\\.\\.") + "$")))
        << log;
    EXPECT_TRUE(f.getPath().empty());

    testutil::StderrCapture quiet_f;
    f.setPrefix(dir_.path());
    ASSERT_EQ(0, f.create());
    EXPECT_EQ(0u, Path(f.getPath()).find(dir_.path() + "/"));

    {
        testutil::StderrCapture quiet;
        SFFile d("");
        ASSERT_EQ(0, d.create());
        EXPECT_EQ(0u, Path(d.getPath()).find("/tmp/")) << Path(d.getPath());
        d.remove();
    }
    EXPECT_EQ(0, SFFile::initialize(dir_ / "sub"));
    testutil::StderrCapture quiet;
    ASSERT_EQ(0, mkdir((dir_ / "sub").c_str(), 0755));
    SFFile e("");
    ASSERT_EQ(0, e.create());
    EXPECT_EQ(0u, Path(e.getPath()).find(dir_ / "sub/"));
}

// ---- TempFile ----

TEST_F(ScopedFilesTest, TempFileCreateRemoveAndRecreate) {
    testutil::StderrCapture cap;
    std::string first, second;
    {
        TempFile t(dir_.path());
        ASSERT_EQ(0, t.create());
        first = Path(t.getPath());
        EXPECT_TRUE(PathExists(first));
        EXPECT_EQ(-1, t.create()) << "a held file is not replaced";
        EXPECT_EQ(first, Path(t.getPath()));
        t.remove();
        EXPECT_FALSE(PathExists(first));
        EXPECT_TRUE(t.getPath().empty());
        ASSERT_EQ(0, t.create());
        second = Path(t.getPath());
        EXPECT_NE(first, second);
    }
    EXPECT_FALSE(PathExists(second)) << "the sole owner removes its file";
    EXPECT_EQ(0, CountEntries(dir_.path()));
    std::string log = cap.Stop();
    const std::string expected =
        "^" + Line("\\[DEBUG\\] utility\\([0-9]+\\): creating TempFile '" + Quote(first) + "'") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): removing TempFile '" + Quote(first) + "'") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): creating TempFile '" + Quote(second) + "'") +
        Line("\\[DEBUG\\] utility\\([0-9]+\\): removing TempFile '" + Quote(second) + "'") + "$";
    EXPECT_TRUE(std::regex_match(log, std::regex(expected))) << log;
}

TEST_F(ScopedFilesTest, TempFileFailureAndDefaultPrefix) {
    testutil::StderrCapture quiet_t;  // covers the destructors' lines
    TempFile t(dir_ / "missing");
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, t.create());
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(Line("\\[ERROR\\] utility\\([0-9]+\\): failed to create TempFile \\.\\.\\.") +
                   "$")))
        << log;
    t.setPrefix(dir_.path());
    testutil::StderrCapture quiet;
    ASSERT_EQ(0, t.create());

    std::string in_tmp;
    {
        TempFile d("");
        ASSERT_EQ(0, d.create());
        in_tmp = Path(d.getPath());
        EXPECT_EQ(0u, in_tmp.find("/tmp/"));
    }
    EXPECT_FALSE(PathExists(in_tmp));
    TempFile::initialize(dir_.path());
    TempFile e("");
    ASSERT_EQ(0, e.create());
    EXPECT_EQ(0u, Path(e.getPath()).find(dir_.path() + "/"));
}

TEST_F(ScopedFilesTest, TempFileSharedAcrossAssignmentAndCopy) {
    testutil::StderrCapture quiet;
    std::string path;
    auto b = std::make_unique<TempFile>(dir_ / "unused");
    {
        TempFile a(dir_.path());
        ASSERT_EQ(0, a.create());
        path = Path(a.getPath());
        *b = a;
        EXPECT_EQ(path, Path(b->getPath()));
    }
    EXPECT_TRUE(PathExists(path)) << "the second owner still holds it";
    {
        TempFile c(*b);  // copy construction shares like assignment
        EXPECT_EQ(path, Path(c.getPath()));
        EXPECT_EQ(-1, c.create()) << "a sharer of a live file cannot create";
        b.reset();
        EXPECT_TRUE(PathExists(path));
    }
    EXPECT_FALSE(PathExists(path)) << "the last owner removes it";

    // Copying an object that holds no file shares nothing.
    TempFile empty(dir_.path());
    {
        TempFile copy(empty);
        ASSERT_EQ(0, copy.create());
        EXPECT_TRUE(empty.getPath().empty());
        EXPECT_EQ(0, empty.create());
        path = Path(copy.getPath());
    }
    EXPECT_FALSE(PathExists(path));
    EXPECT_TRUE(PathExists(Path(empty.getPath())));
}

TEST_F(ScopedFilesTest, TempFilePermanentSurvivesItsLastOwner) {
    testutil::StderrCapture quiet;
    std::string path;
    {
        TempFile t(dir_.path());
        ASSERT_EQ(0, t.create());
        t.convert_permanent();
        path = Path(t.getPath());
    }
    EXPECT_TRUE(PathExists(path));

    // Assignment copies the flag from its source.
    std::string shared;
    {
        TempFile keep(dir_.path());
        ASSERT_EQ(0, keep.create());
        keep.convert_permanent();
        shared = Path(keep.getPath());
        TempFile other(dir_.path());
        other = keep;
    }
    EXPECT_TRUE(PathExists(shared));
}

TEST_F(ScopedFilesTest, TempFileAssignmentOverAHolder) {
    testutil::StderrCapture quiet;
    // An empty holder over a sole holder: the target's file goes, and the
    // target is left without a file (its next create works).
    TempFile target(dir_.path());
    ASSERT_EQ(0, target.create());
    const std::string old = Path(target.getPath());
    target.convert_permanent();  // removal happens whatever the flag says
    TempFile empty(dir_.path());
    target = empty;
    EXPECT_FALSE(PathExists(old));
    EXPECT_TRUE(target.getPath().empty());
    ASSERT_EQ(0, target.create());

    // A holder over a sole holder: the old file goes, the new one is shared.
    TempFile source(dir_.path());
    ASSERT_EQ(0, source.create());
    const std::string replaced = Path(target.getPath());
    target = source;
    EXPECT_FALSE(PathExists(replaced));
    EXPECT_EQ(Path(source.getPath()), Path(target.getPath()));

    // Self-assignment leaves everything as it was.
    const std::string mine = Path(source.getPath());
    source = source;
    EXPECT_EQ(mine, Path(source.getPath()));
    EXPECT_TRUE(PathExists(mine));
    target = source;  // already co-owners: nothing changes
    EXPECT_TRUE(PathExists(mine));
    EXPECT_EQ(-1, source.create());
}

TEST_F(ScopedFilesTest, TempFileEmptyOverACoOwnerLeavesTheFileToTheOthers) {
    testutil::StderrCapture quiet;
    std::string path;
    {
        TempFile a(dir_.path());
        ASSERT_EQ(0, a.create());
        path = Path(a.getPath());
        {
            TempFile b(a);
            b = TempFile(dir_.path());  // b stops owning
            EXPECT_TRUE(b.getPath().empty());
            EXPECT_TRUE(PathExists(path));
            ASSERT_EQ(0, b.create()) << "b holds nothing now";
        }
        EXPECT_TRUE(PathExists(path));
    }
    EXPECT_FALSE(PathExists(path)) << "a, now the only owner, removes the file";
    EXPECT_EQ(0, CountEntries(dir_.path()));
}

TEST_F(ScopedFilesTest, TempFileRemoveByASharer) {
    testutil::StderrCapture quiet;
    std::string path, fresh;
    {
        TempFile a(dir_.path());
        ASSERT_EQ(0, a.create());
        path = Path(a.getPath());
        {
            TempFile b(dir_.path());
            b = a;
            b.remove();
            EXPECT_FALSE(PathExists(path));
            EXPECT_EQ(path, Path(a.getPath())) << "other sharers keep their copy of the path";
            // Something new appears under the old name: nobody owns it.
            testutil::WriteFile(path, "not ours");
            ASSERT_EQ(0, a.create()) << "no live file is held any more";
            fresh = Path(a.getPath());
            EXPECT_NE(path, fresh);
        }
        EXPECT_TRUE(PathExists(fresh)) << "b no longer shares a's new file";
        EXPECT_TRUE(PathExists(path));
    }
    EXPECT_FALSE(PathExists(fresh));
    EXPECT_EQ("not ours", testutil::ReadFile(path));

    // The counter outlives the file until the last holder goes (checked for
    // use after free and leaks under the sanitizers).
    {
        auto first = std::make_unique<TempFile>(dir_.path());
        ASSERT_EQ(0, first->create());
        TempFile second(*first);
        TempFile third(dir_.path());
        third = second;
        first->remove();
        first.reset();
        TempFile fourth(third);
        EXPECT_FALSE(fourth.getPath().empty());
    }
}

}  // namespace
