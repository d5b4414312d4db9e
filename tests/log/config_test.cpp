// Config: the documented grammar cases, unreadable paths, typed lookups and
// what write() refuses.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "test_support.h"

namespace {

using Pairs = std::map<std::string, std::string>;

Pairs PairsOf(const Config& cfg) {
    Pairs out;
    for (const auto& kv : cfg) out[kv.first.c_str()] = kv.second.c_str();
    return out;
}

// The grammar's documented cases; config_model_test.cpp checks the rest
// against an independent reading of it.
TEST(ConfigTest, GrammarAndPaths) {
    const struct {
        const char* text;
        int rc;
        Pairs pairs;  // besides a pair read before, which a malformed line removes
    } cases[] = {
        {"\t key_1-x =\tvalue\n", 0, {{"key_1-x", "value"}}},  // leading blanks
        {"  # note\n\nkey#remark\nlonely", 0, {}},
        {"v = abc#def\nw = abc #def\nx = #x\n", 0, {{"v", "abc#def"}, {"w", "abc"}, {"x", "#x"}}},
        {"q = 'a # b'\r\nr = \"it's\"  # c\ns=''\n", 0, {{"q", "a # b"}, {"r", "it's"}, {"s", ""}}},
        {"a = 1\nb = 2\na = 3\n", 0, {{"a", "3"}, {"b", "2"}}},
        {"a = 1\nkey\nb = 2\n", -1, {}},
        {"a = 1\nlevel = 7 8\n", -1, {}},
        {"a = 1\nv = \"a\tb\"\n", -1, {}},
    };
    testutil::TempDir dir;
    for (const auto& c : cases) {
        testutil::WriteFile(dir / "c.conf", c.text);
        Config cfg;
        cfg["before"] = "1";
        EXPECT_EQ(c.rc, cfg.read(dir / "c.conf")) << c.text;
        Pairs want = c.pairs;
        if (c.rc == 0) want["before"] = "1";
        EXPECT_EQ(want, PairsOf(cfg)) << c.text;
    }
    Config cfg;  // unreadable paths leave the map alone
    cfg["kept"] = "yes";
    EXPECT_EQ(-1, cfg.read(""));
    EXPECT_EQ(-1, cfg.read(dir / "missing"));
    EXPECT_EQ(-1, cfg.read(dir.path()));  // a directory is no file
    EXPECT_EQ((Pairs{{"kept", "yes"}}), PairsOf(cfg));
}

TEST(ConfigTest, TypedLookups) {
    Config cfg;
    auto with = [&cfg](const char* key, const char* value) -> Config& {
        cfg[key] = value;
        return cfg;
    };
    const std::pair<const char*, int> ints[] = {{"12abc", 12},
                                                {"  -3", -3},
                                                {"x1", 0},
                                                {"+7", 7},
                                                {"99999999999", 2147483647},
                                                {"-99999999999", -2147483647 - 1}};
    for (const auto& c : ints) EXPECT_EQ(c.second, with("n", c.first).get_int("n")) << c.first;
    for (const char* v : {"TRUE", "yes", "On", "1", "-2"}) EXPECT_TRUE(with("b", v).get_bool("b"));
    for (const char* v : {"false", "0", "maybe", ""}) EXPECT_FALSE(with("b", v).get_bool("b"));
    EXPECT_FALSE(cfg.get_bool("never"));  // not inserted
    EXPECT_EQ(0, cfg.get_int("absent"));  // inserted empty
    cfg.unset("n");
    EXPECT_EQ((Pairs{{"absent", ""}, {"b", ""}}), PairsOf(cfg));
}

TEST(ConfigTest, WriteRefusesWhatCannotBeReadBack) {
    testutil::TempDir dir;
    const std::string path = dir / "out.conf";
    const std::pair<const char*, std::string> refused[] = {
        {"a b", "1"},     {"a.b", "1"},     {"k", "tab\there"},
        {"k", "del\x7f"}, {"k", "a'b \"c"}, {"k", std::string(8200, 'x')}};
    for (const auto& c : refused) {
        Config cfg;
        cfg[c.first] = c.second;
        EXPECT_EQ(-1, cfg.write(path)) << c.first << "=" << c.second;
        EXPECT_FALSE(testutil::PathExists(path));
    }
    Config cfg;
    char key = 'a';
    for (const char* v : {"two words", "it's", "say \"hi\"", "a'b\"c", "#x", "", "caf\xc3\xa9"})
        cfg[std::string(1, key++)] = v;
    cfg["long"] = std::string(8191 - 10, 'x');  // long = "..."\n fills the buffer
    ASSERT_EQ(0, cfg.write(path));
    EXPECT_EQ(PairsOf(cfg), PairsOf(Config(path)));
    EXPECT_EQ(-1, cfg.write(dir / "missing/out.conf"));
}

}  // namespace
