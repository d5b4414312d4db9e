// Config: the line grammar, reading files (merging, the map emptied on a
// malformed line, long lines), typed lookups and writing back.

#include "config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testutil::PathExists;
using testutil::WriteFile;
using Pairs = std::map<std::string, std::string>;

Pairs PairsOf(const Config& cfg) {
    Pairs out;
    for (const auto& kv : cfg)
        out[std::string(kv.first.c_str(), kv.first.length())] =
            std::string(kv.second.c_str(), kv.second.length());
    return out;
}

class ConfigTest : public ::testing::Test {
  protected:
    // Reads `content` as a file into `cfg` and returns read()'s result.
    int ReadText(const std::string& content, Config& cfg) {
        std::string path = dir_ / "test.conf";
        WriteFile(path, content);
        return cfg.read(path);
    }

    // Parses one line; "OK:key=value", "EMPTY" or "INVALID".
    static std::string ParseLine(const std::string& line) {
        std::string copy = line;
        std::vector<char> buf(copy.begin(), copy.end());
        buf.push_back('\0');
        Config cfg;
        ustring key("untouched");
        ustring value("untouched");
        switch (cfg.parse(buf.data(), static_cast<int>(buf.size()), key, value)) {
            case Config::OK:
                return std::string("OK:") + key.c_str() + "=" + value.c_str();
            case Config::EMPTY:
                EXPECT_STREQ(key.c_str(), "untouched");
                return "EMPTY";
            case Config::INVALID:
                EXPECT_STREQ(value.c_str(), "untouched");
                return "INVALID";
        }
        return "?";
    }

    testutil::TempDir dir_;
};

TEST_F(ConfigTest, ReadsAssignmentsBlankLinesAndComments) {
    Config cfg;
    EXPECT_EQ(ReadText("a = 1\n\n# note\nb='x y' # c\n", cfg), 0);
    EXPECT_EQ(PairsOf(cfg), (Pairs{{"a", "1"}, {"b", "x y"}}));
}

TEST_F(ConfigTest, LineGrammar) {
    // Blank, comment and key-only-then-comment lines hold nothing.
    EXPECT_EQ(ParseLine(""), "EMPTY");
    EXPECT_EQ(ParseLine("\n"), "EMPTY");
    EXPECT_EQ(ParseLine(" \t \r\n"), "EMPTY");
    EXPECT_EQ(ParseLine("   # note\n"), "EMPTY");
    EXPECT_EQ(ParseLine("key#remark\n"), "EMPTY");
    EXPECT_EQ(ParseLine("lonely"), "EMPTY");  // last line, no line feed

    // A key alone on its line, a missing or misplaced "=".
    EXPECT_EQ(ParseLine("key\n"), "INVALID");
    EXPECT_EQ(ParseLine("key value\n"), "INVALID");
    EXPECT_EQ(ParseLine("[section]\n"), "INVALID");
    EXPECT_EQ(ParseLine("a.b = 1\n"), "INVALID");
    EXPECT_EQ(ParseLine("key=\n"), "INVALID");
    EXPECT_EQ(ParseLine("key =   "), "INVALID");

    // Unquoted values end at a blank; "#" inside them is kept.
    EXPECT_EQ(ParseLine("\t key_1-x =\tvalue\n"), "OK:key_1-x=value");
    EXPECT_EQ(ParseLine("v = abc#def\n"), "OK:v=abc#def");
    EXPECT_EQ(ParseLine("v = abc #def\n"), "OK:v=abc");
    EXPECT_EQ(ParseLine("v = #x\n"), "OK:v=#x");
    EXPECT_EQ(ParseLine("level = 7 8\n"), "INVALID");
    EXPECT_EQ(ParseLine("v = caf\xc3\xa9\n"), "OK:v=caf\xc3\xa9");
    EXPECT_EQ(ParseLine("v = a\x7f\n"), "INVALID");
    EXPECT_EQ(ParseLine("v = \x01\n"), "INVALID");
    EXPECT_EQ(ParseLine("= 5\n"), "OK:=5");
    EXPECT_EQ(ParseLine("  =5"), "OK:=5");

    // Quoted values.
    EXPECT_EQ(ParseLine("key=\"\"\n"), "OK:key=");
    EXPECT_EQ(ParseLine("key=''"), "OK:key=");
    EXPECT_EQ(ParseLine("v = \"it's here\"  # c\n"), "OK:v=it's here");
    EXPECT_EQ(ParseLine("v = 'say \"hi\"'\n"), "OK:v=say \"hi\"");
    EXPECT_EQ(ParseLine("v = 'a # b'\n"), "OK:v=a # b");
    EXPECT_EQ(ParseLine("v = \"a\tb\"\n"), "INVALID");
    EXPECT_EQ(ParseLine("v = \"open\n"), "INVALID");
    EXPECT_EQ(ParseLine("v = \"open"), "INVALID");
    EXPECT_EQ(ParseLine("v = \"x\"y\n"), "INVALID");
    EXPECT_EQ(ParseLine("v = 'x' 'y'\n"), "INVALID");
}

TEST_F(ConfigTest, ParseCutsKeyAndValueInTheBuffer) {
    char buf[] = "  name = value # trailing\n";
    Config cfg;
    ustring key;
    ustring value;
    ASSERT_EQ(cfg.parse(buf, sizeof buf, key, value), Config::OK);
    EXPECT_STREQ(buf + 2, "name");
    EXPECT_STREQ(buf + 9, "value");
    EXPECT_STREQ(key.c_str(), "name");
    EXPECT_STREQ(value.c_str(), "value");

    // No terminator inside the buffer: the buffer's end ends the text and
    // nothing past it is read or written (AddressSanitizer watches).
    char* raw = new char[5]{'k', '=', 'a', 'b', 'c'};
    ASSERT_EQ(cfg.parse(raw, 5, key, value), Config::OK);
    EXPECT_STREQ(key.c_str(), "k");
    EXPECT_STREQ(value.c_str(), "abc");
    delete[] raw;
}

TEST_F(ConfigTest, CharacterClassBoundaries) {
    for (unsigned char c : {'A', 'Z', 'a', 'z', '0', '9', '-', '_'})
        EXPECT_TRUE(Config::is_key_char(c));
    for (unsigned char c : {'@', '[', '`', '{', '/', ':', '.', ' ', '=', '\xc3'})
        EXPECT_FALSE(Config::is_key_char(c)) << int(c);
    for (unsigned char c : {9, 10, 11, 12, 13, 32}) EXPECT_TRUE(Config::is_space(c));
    for (unsigned char c : {0, 8, 14, 31, 33, 0xa0}) EXPECT_FALSE(Config::is_space(c)) << int(c);
    for (unsigned char c : {32, 35, 126, 128, 255}) EXPECT_TRUE(Config::is_value_char(c));
    for (unsigned char c : {0, 9, 10, 31, 127}) EXPECT_FALSE(Config::is_value_char(c)) << int(c);
}

TEST_F(ConfigTest, InvalidLineEmptiesTheWholeMap) {
    Config cfg;
    ASSERT_EQ(ReadText("earlier = 1\n", cfg), 0);
    EXPECT_EQ(ReadText("a = 1\nlevel = 7 8\nb = 2\n", cfg), -1);
    EXPECT_EQ(PairsOf(cfg), Pairs{});

    ASSERT_EQ(ReadText("earlier = 1\n", cfg), 0);
    EXPECT_EQ(ReadText("a = 1\nkey\n", cfg), -1);  // key alone is invalid
    EXPECT_EQ(PairsOf(cfg), Pairs{});
}

TEST_F(ConfigTest, ReadMergesAndLaterLinesWin) {
    Config cfg;
    ASSERT_EQ(ReadText("a = 1\nb = 2\na = 3\n", cfg), 0);
    ASSERT_EQ(ReadText("b = 20\nc = 30\nonly_key", cfg), 0);
    EXPECT_EQ(PairsOf(cfg), (Pairs{{"a", "3"}, {"b", "20"}, {"c", "30"}}));
}

TEST_F(ConfigTest, UnreadablePathsLeaveTheMapAlone) {
    Config cfg;
    cfg["kept"] = "yes";
    EXPECT_EQ(cfg.read(""), -1);
    EXPECT_EQ(cfg.read(dir_ / "missing.conf"), -1);
    EXPECT_EQ(cfg.read(dir_.path()), -1);  // a directory is not a readable file
    EXPECT_EQ(PairsOf(cfg), (Pairs{{"kept", "yes"}}));

    // A file without read permission; checked unprivileged, since root
    // would read it anyway.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    std::string locked = dir_ / "locked.conf";
    WriteFile(locked, "a = 1\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    int status = testutil::RunInChild(
        [&] {
            Config inner;
            inner["kept"] = "yes";
            if (inner.read(locked) != -1) return 11;
            return PairsOf(inner) == Pairs{{"kept", "yes"}} ? 0 : 12;
        },
        true);
    EXPECT_EQ(status, 0);
}

TEST_F(ConfigTest, CarriageReturnLineEndsReadLikeLineFeeds) {
    Config crlf;
    Config lf;
    ASSERT_EQ(ReadText("a = 1\r\n\r\n# c\r\nb = 'x y'\r\nc = \"q\" # t\r\n", crlf), 0);
    ASSERT_EQ(ReadText("a = 1\n\n# c\nb = 'x y'\nc = \"q\" # t\n", lf), 0);
    EXPECT_EQ(PairsOf(crlf), PairsOf(lf));
    EXPECT_EQ(PairsOf(lf), (Pairs{{"a", "1"}, {"b", "x y"}, {"c", "q"}}));
}

TEST_F(ConfigTest, LongLinesAreReadInPiecesOf8191Bytes) {
    Config cfg;
    // The remainder of an over-long value becomes a line of its own: invalid.
    EXPECT_EQ(ReadText("k = " + std::string(9000, 'x') + "\n", cfg), -1);
    EXPECT_EQ(ReadText("# " + std::string(9000, 'x') + "\n", cfg), -1);

    // Exactly 8191 bytes with the line feed: one line.
    std::string fits = "k = " + std::string(8191 - 5, 'v') + "\n";
    ASSERT_EQ(fits.size(), 8191u);
    EXPECT_EQ(ReadText(fits, cfg), 0);
    EXPECT_EQ(cfg["k"].length(), 8186u);

    // A piece boundary that happens to fall where a valid line begins.
    Config split;
    std::string first = "a = 1" + std::string(8191 - 5, ' ');
    EXPECT_EQ(ReadText(first + "b = 2\n", split), 0);
    EXPECT_EQ(PairsOf(split), (Pairs{{"a", "1"}, {"b", "2"}}));
}

TEST_F(ConfigTest, GarbageNeverCrashes) {
    std::string garbage;
    for (int i = 0; i < 40000; ++i) garbage += static_cast<char>((i * 2654435761u) >> 13);
    Config cfg;
    EXPECT_EQ(ReadText(garbage, cfg), -1);
    EXPECT_EQ(PairsOf(cfg), Pairs{});
    EXPECT_EQ(ReadText(std::string("a = 1\0 junk\nb = 2\n", 18), cfg), 0);  // NUL ends a line
    EXPECT_EQ(PairsOf(cfg), (Pairs{{"a", "1"}, {"b", "2"}}));
}

TEST_F(ConfigTest, LookupsInsertAndConvert) {
    Config cfg;
    ASSERT_EQ(ReadText("n = 12abc\nneg = '  -3'\nword = x1\nplus = +7\nbig = 99999999999\n"
                       "small = -99999999999\nt1 = TRUE\nt2 = yes\nt3 = On\nt4 = 2\n"
                       "f1 = false\nf2 = 0\nf3 = maybe\n",
                       cfg),
              0);
    EXPECT_EQ(cfg.get_int("n"), 12);
    EXPECT_EQ(cfg.get_int("neg"), -3);
    EXPECT_EQ(cfg.get_int("word"), 0);
    EXPECT_EQ(cfg.get_int("plus"), 7);
    EXPECT_EQ(cfg.get_int("big"), 2147483647);
    EXPECT_EQ(cfg.get_int("small"), -2147483647 - 1);

    EXPECT_EQ(cfg.get_int("absent"), 0);  // inserted empty, as operator[] does
    ASSERT_EQ(PairsOf(cfg).count("absent"), 1u);
    EXPECT_EQ(PairsOf(cfg)["absent"], "");
    EXPECT_STREQ(cfg["fresh"].c_str(), "");
    EXPECT_EQ(PairsOf(cfg).count("fresh"), 1u);

    for (const char* k : {"t1", "t2", "t3", "t4"}) EXPECT_TRUE(cfg.get_bool(k)) << k;
    for (const char* k : {"f1", "f2", "f3", "absent"}) EXPECT_FALSE(cfg.get_bool(k)) << k;
    EXPECT_FALSE(cfg.get_bool("never"));
    EXPECT_EQ(PairsOf(cfg).count("never"), 0u);

    cfg.unset("n");
    cfg.unset("not-there");
    EXPECT_EQ(PairsOf(cfg).count("n"), 0u);

    Config copy(cfg);
    copy["word"] = "changed";
    EXPECT_STREQ(cfg["word"].c_str(), "x1");
}

TEST_F(ConfigTest, WrittenFileReadsBackToTheSamePairs) {
    Config cfg;
    cfg[""] = "empty key";
    cfg["plain"] = "value";
    cfg["blank"] = "two words";
    cfg["single"] = "it's";
    cfg["double"] = "say \"hi\" now";
    cfg["both"] = "a'b\"c";
    cfg["hash"] = "#not-a-comment";
    cfg["empty"] = "";
    cfg["utf8"] = "caf\xc3\xa9 cr\xc3\xa8me";
    std::string path = dir_ / "out.conf";
    ASSERT_EQ(cfg.write(path), 0);

    Config back(path);
    EXPECT_EQ(PairsOf(back), PairsOf(cfg));
    Config again;
    EXPECT_EQ(again.read(path), 0);
    EXPECT_EQ(PairsOf(again), PairsOf(cfg));

    // Rewriting replaces the file rather than appending to it.
    Config small;
    small["only"] = "1";
    ASSERT_EQ(small.write(path), 0);
    EXPECT_EQ(PairsOf(Config(path)), (Pairs{{"only", "1"}}));
}

TEST_F(ConfigTest, WriteRefusesWhatCannotBeReadBack) {
    const std::string path = dir_ / "out.conf";
    auto refused = [&](const char* key, const std::string& value) {
        Config cfg;
        cfg["fine"] = "1";
        cfg[ustring(key)] = ustring(value);
        return cfg.write(path) == -1 && !PathExists(path);
    };
    EXPECT_TRUE(refused("a b", "1"));
    EXPECT_TRUE(refused("a.b", "1"));
    EXPECT_TRUE(refused("k", "tab\there"));
    EXPECT_TRUE(refused("k", "del\x7f"));
    EXPECT_TRUE(refused("k", "a'b \"c"));
    EXPECT_TRUE(refused("k", std::string(8200, 'x')));

    // The longest value that still fits one read buffer is accepted.
    Config longest;
    longest["k"] = ustring(std::string(8191 - 7, 'x'));  // k = "..."\n
    ASSERT_EQ(longest.write(path), 0);
    EXPECT_EQ(PairsOf(Config(path)), PairsOf(longest));

    Config cfg;
    cfg["a"] = "1";
    EXPECT_EQ(cfg.write(""), -1);
    EXPECT_EQ(cfg.write(dir_ / "missing/out.conf"), -1);
}

}  // namespace
