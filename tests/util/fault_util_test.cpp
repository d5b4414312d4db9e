// Scoped and temporary files in a process that has run out of file
// descriptors: each fails with its error line and leaves nothing behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

#include "file-op.h"
#include "test_support.h"
#include "utility.h"

namespace {

using namespace testutil;

class FaultFileOpTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string report = dir / "report";
    std::string err = dir / "stderr";
};

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
    const std::string mk = ts + R"(\[ERROR\] file-op\([0-9]+\): mkstemp\()" +
                           testutil::RegexEscape(tmp) + R"(/XXXXXX\): Too many open files\n)";
    std::regex want("^" + mk + mk + ts +
                    R"(\[ERROR\] utility\([0-9]+\): failed to create TempFile \.\.\.\n)" + mk + ts +
                    R"(\[ERROR\] utility\([0-9]+\): failed to create File \.\.\.\n$)");
    std::string text = testutil::ReadFile(err);
    EXPECT_TRUE(std::regex_match(text, want)) << text;
}

}  // namespace
