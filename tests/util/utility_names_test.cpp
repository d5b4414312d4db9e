// Host name, user-name splitting and the native/code-page conversions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "utility.h"

namespace {

// Splits `qualified` into domain and user; the domain starts stale so that
// every case shows it is overwritten.
void ExpectSplit(const std::string& qualified, const std::string& domain, const std::string& user) {
    std::string u = qualified, d = "stale";
    ParseUsrName(u, d);
    EXPECT_EQ(d, domain) << "input '" << qualified << "'";
    EXPECT_EQ(u, user) << "input '" << qualified << "'";
}

TEST(ParseUsrNameTest, SplitsAtTheSeparator) {
    ExpectSplit("CORP\\alice", "CORP", "alice");
    ExpectSplit("CORP/alice", "CORP", "alice");
    ExpectSplit("alice", "", "alice");
    // An e-mail style name is not split.
    ExpectSplit("alice@corp.example", "", "alice@corp.example");
}

TEST(ParseUsrNameTest, SeparatorAtEitherEnd) {
    ExpectSplit("CORP\\", "CORP", "");
    ExpectSplit("\\alice", "", "alice");
    ExpectSplit("/", "", "");
    ExpectSplit("", "", "");
}

TEST(ParseUsrNameTest, LastSeparatorDecidesAndSlashWins) {
    ExpectSplit("a/b/c", "a/b", "c");
    ExpectSplit("A\\B\\carol", "A\\B", "carol");
    // A slash takes precedence over a later backslash.
    ExpectSplit("DOMAIN\\a/b", "DOMAIN\\a", "b");
    ExpectSplit("x/y\\z", "x", "y\\z");
    // Multi-byte names split on byte positions without damage.
    ExpectSplit("K\xC3\xB6ln\\J\xC3\xBCrgen", "K\xC3\xB6ln", "J\xC3\xBCrgen");
}

TEST(ParsingByDelimiterTest, MissingOrEmptyDelimiterKeepsTheInputWhole) {
    std::string before = "x", after = "y";
    ParsingByDelimiter("alice", before, after, "/");
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "alice");

    before = "x";
    after = "y";
    ParsingByDelimiter("a/b", before, after, "");
    EXPECT_EQ(before, "");
    EXPECT_EQ(after, "a/b");

    ParsingByDelimiter("one:two:", before, after, ":");
    EXPECT_EQ(before, "one:two");
    EXPECT_EQ(after, "");
}

TEST(HostNameTest, MatchesTheSystemAndIsTerminated) {
    std::string host = "stale";
    EXPECT_EQ(GetSysHostName(host), 0);
    char expected[512] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    EXPECT_EQ(host, expected);
    EXPECT_LT(host.size(), 512u);
    EXPECT_EQ(host.find('\0'), std::string::npos);
}

TEST(TextConversionTest, ToNativeCopiesBytesUpToTheFirstNul) {
    for (auto* fn : {&UTF8ToNativeStr, &CodePageToNativeStr}) {
        ustring out("previous");
        EXPECT_EQ(fn(std::string(), out), 0);
        EXPECT_TRUE(out.empty());
        EXPECT_STREQ(out.c_str(), "");

        const std::string path = "/data/\xE5\x86\x99\xE7\x9C\x9F/caf\xC3\xA9";
        EXPECT_EQ(fn(path, out), 0);
        EXPECT_EQ(out.length(), path.size());
        EXPECT_EQ(std::string(out.c_str()), path);

        // Not valid UTF-8: copied all the same, no check and no failure.
        EXPECT_EQ(fn(std::string("a\xFF\xC3"), out), 0);
        EXPECT_EQ(std::string(out.c_str()), "a\xFF\xC3");

        EXPECT_EQ(fn(std::string("ab\0cd", 5), out), 0);
        EXPECT_EQ(out.length(), 2u);
        EXPECT_STREQ(out.c_str(), "ab");
    }
}

TEST(TextConversionTest, FromNativeCopiesBytesUpToTheFirstNul) {
    for (auto* fn : {&NativeStrToUTF8, &NativeStrToCodePage}) {
        std::string out = "previous";
        EXPECT_EQ(fn(ustring(), out), 0);
        EXPECT_EQ(out, "");

        const char* text = "/home/j\xC3\xBCrgen/Sync \xF0\x9F\x93\x81";
        out = "previous";
        EXPECT_EQ(fn(ustring(text), out), 0);
        EXPECT_EQ(out, text);

        // A string holding NUL bytes gives only what precedes the first.
        ustring with_nul("ab");
        with_nul.append('\0', 1);
        with_nul.append('x', 1);
        ASSERT_EQ(with_nul.length(), 4u);
        out = "previous";
        EXPECT_EQ(fn(with_nul, out), 0);
        EXPECT_EQ(out, "ab");

        ustring only_nuls('\0');
        out = "previous";
        EXPECT_EQ(fn(only_nuls, out), 0);
        EXPECT_EQ(out, "");
    }
}

TEST(TextConversionTest, RoundTripKeepsTheBytes) {
    const std::string original = "Photos/\xC3\xA9t\xC3\xA9 2026/IMG_0001.JPG";
    ustring native;
    std::string back;
    CodePageToNativeStr(original, native);
    NativeStrToCodePage(native, back);
    EXPECT_EQ(back, original);
}

}  // namespace
