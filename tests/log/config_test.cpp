// Config: what the generated inputs of config_model_test.cpp rarely reach,
// namely the documented grammar cases, unreadable paths, lines longer than
// the read buffer, typed lookups and what write() refuses.
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

TEST(ConfigTest, Grammar) {
    const std::pair<const char*, Pairs> cases[] = {
        {"\t key_1-x =\tvalue\n", {{"key_1-x", "value"}}},  // leading blanks
        {"  # note\n\nkey#remark\nlonely", {}},
        {"v = abc#def\nw = abc #def\nx = #x\n", {{"v", "abc#def"}, {"w", "abc"}, {"x", "#x"}}},
        {"= 5\n", {{"", "5"}}},
        {"q = 'a # b'\nr = \"it's\"  # c\ns=''\n", {{"q", "a # b"}, {"r", "it's"}, {"s", ""}}},
        {"a = 1\r\nb = 'x y'\r\n", {{"a", "1"}, {"b", "x y"}}},
        {"a = 1\nb = 2\na = 3\n", {{"a", "3"}, {"b", "2"}}},
    };
    const char* invalid[] = {"key\n",        "key value\n",   "[section]\n", "a.b = 1\n",
                             "key=\n",       "level = 7 8\n", "v = a\x7f\n", "v = \"a\tb\"\n",
                             "v = \"open\n", "v = 'x' 'y'\n", "v = \"x\"y\n"};
    testutil::TempDir dir;
    const std::string path = dir / "c.conf";
    for (const auto& c : cases) {
        testutil::WriteFile(path, c.first);
        Config cfg;
        EXPECT_EQ(0, cfg.read(path)) << c.first;
        EXPECT_EQ(c.second, PairsOf(cfg)) << c.first;
    }
    for (const char* line : invalid) {
        testutil::WriteFile(path, std::string("a = 1\n") + line + "b = 2\n");
        Config cfg;
        cfg["earlier"] = "1";
        EXPECT_EQ(-1, cfg.read(path)) << line;
        EXPECT_EQ(Pairs{}, PairsOf(cfg)) << line;  // emptied, earlier pairs too
    }
}

TEST(ConfigTest, PathsAndLongLines) {
    testutil::TempDir dir;
    Config cfg;
    cfg["kept"] = "yes";
    EXPECT_EQ(-1, cfg.read(""));
    EXPECT_EQ(-1, cfg.read(dir / "missing"));
    EXPECT_EQ(-1, cfg.read(dir.path()));  // a directory is no file
    EXPECT_EQ((Pairs{{"kept", "yes"}}), PairsOf(cfg));
    // Lines are read in pieces of 8191 bytes; the rest of a longer one is a
    // line of its own.
    const std::string fits = "k = " + std::string(8191 - 5, 'v') + "\n";
    for (const auto& c : {std::make_pair("k = " + std::string(9000, 'v') + "\n", -1),
                          {fits, 0},
                          {"a = 1" + std::string(8186, ' ') + "b = 2\n", 0}}) {
        testutil::WriteFile(dir / "long", c.first);
        EXPECT_EQ(c.second, cfg.read(dir / "long"));
    }
    EXPECT_EQ(8186u, cfg["k"].length());
    EXPECT_EQ("2", std::string(cfg["b"].c_str()));
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
