// Config: grammar, paths, lookups, write(), and generated files against a model.
#include "config.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <tuple>

#include "../../fuzz/config_fuzz.cpp"  // also Pairs and PairsOf
#include "test_support.h"

namespace {

TEST(ConfigTest, GrammarAndPaths) {
    // text, result, pairs besides one read before, which a malformed line removes
    const std::tuple<const char*, int, Pairs> cases[] = {
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
    for (const auto& [text, rc, pairs] : cases) {
        testutil::WriteFile(dir / "c.conf", text);
        Config cfg;
        cfg["before"] = "1";
        EXPECT_EQ(rc, cfg.read(dir / "c.conf")) << text;
        Pairs want = pairs;
        if (rc == 0) want["before"] = "1";
        EXPECT_EQ(want, PairsOf(cfg)) << text;
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
    const char* texts[] = {"12abc", "  -3", "x1", "+7", "0x10", "99999999999", "-99999999999"};
    const int ints[] = {12, -3, 0, 7, 0, INT_MAX, INT_MIN};  // as a stream extracts them
    for (int i = 0; i < 7; ++i) EXPECT_EQ(ints[i], with("n", texts[i]).get_int("n")) << texts[i];
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
    Config cfg, back;
    char key = 'a';
    for (const char* v : {"two words", "it's", "say \"hi\"", "a'b\"c", "#x", "", "caf\xc3\xa9"})
        cfg[std::string(1, key++)] = v;
    cfg["long"] = std::string(8191 - 10, 'x');  // long = "..."\n fills the buffer
    ASSERT_EQ(0, cfg.write(path));
    EXPECT_EQ(0, back.read(path));
    EXPECT_EQ(PairsOf(cfg), PairsOf(back));
    EXPECT_EQ(-1, cfg.write(dir / "missing/out.conf"));
}

// The fuzz target on inputs built from a fixed seed, so that every run checks it.
TEST(ConfigModel, GeneratedFilesAgreeWithTheReferenceGrammar) {
    static const char* const kTokens[] = {"key",  "K-9_z", " ",        "\t",  "=",           " = ",
                                          "#",    "'",     "\"",       "\r",  "\n",          "\n",
                                          "\n",   "x y",   "1",        "-42", "99999999999", "true",
                                          "\x7f", "\x01",  "\xc3\xa9", "a.b", "[s]",         ""};
    testutil::TempDir dir;
    const std::string err = dir / "stderr";
    int status = testutil::RunInChild([&] {
        if (access("/dev/shm", W_OK) != 0) setenv("TMPDIR", dir.path().c_str(), 1);
        if (!testutil::RedirectStderrTo(err) || LLVMFuzzerInitialize(nullptr, nullptr) != 0)
            return 3;
        std::mt19937 gen(1);
        for (int i = 0; i < 2000; ++i) {
            std::string text;
            for (int n = gen() % 60; n > 0; --n) text += kTokens[gen() % 24];
            if (i % 50 == 0) text += std::string(8180 + gen() % 20, 'v') + "\n";  // piece edges
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        std::exit(0);  // runs the target's clean-up
    });
    EXPECT_EQ(0, status) << testutil::ReadFile(err);
}

}  // namespace
