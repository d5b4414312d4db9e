// Config: paths, lookups, write(), every failure point of read() and write(), and generated
// files against the reference grammar.
#include "config.h"

#include <gtest/gtest.h>

#include <random>

#include "../../fuzz/config_fuzz.cpp"  // also Pairs and PairsOf
#include "test_support.h"

namespace {

// The grammar itself is the model's (ConfigModel below); here what it does
// not reach: paths that name no readable file leave the map alone.
TEST(ConfigTest, AnEmptyPathOrAFolderLeavesTheMapAlone) {
    testutil::TempDir dir;
    Config cfg;
    cfg["kept"] = "yes";
    EXPECT_EQ(-1, cfg.read("")) << "an empty path read";
    EXPECT_EQ(-1, cfg.read(dir.path()));  // which fopen opens, and its first read fails
    EXPECT_EQ((Pairs{{"kept", "yes"}}), PairsOf(cfg)) << "the map changed";
}

// Numbers read as a stream extracts them, which ConfigModel checks on every
// generated value; a flag is a word in any case or a number other than 0.
TEST(ConfigTest, FlagsAreWordsOrNonZeroNumbersAndOnlyNumbersInsertAbsentKeys) {
    Config cfg;
    for (const char* text : {"TRUE", "yes", "On", "1", "-2"}) {
        cfg["flag"] = text;
        EXPECT_TRUE(cfg.get_bool("flag")) << text << " reads as false";
    }
    for (const char* text : {"false", "0", "maybe", ""}) {
        cfg["flag"] = text;
        EXPECT_FALSE(cfg.get_bool("flag")) << text << " reads as true";
    }
    EXPECT_FALSE(cfg.get_bool("never")) << "an absent flag";    // not inserted
    EXPECT_EQ(0, cfg.get_int("absent")) << "an absent number";  // inserted empty
    cfg["gone"] = "1";
    cfg.unset("gone");
    EXPECT_EQ((Pairs{{"absent", ""}, {"flag", ""}}), PairsOf(cfg)) << "the keys inserted";
}

TEST(ConfigTest, WriteRefusesWhatCannotBeReadBack) {
    testutil::TempDir dir;
    const std::string path = dir / "out.conf";
    struct Pair {
        const char* key;
        std::string value;
    };
    const Pair refused[] = {{"a b", "1"},     {"a.b", "1"},     {"k", "tab\there"},
                            {"k", "del\x7f"}, {"k", "a'b \"c"}, {"k", std::string(8200, 'x')}};
    for (const Pair& pair : refused) {
        Config cfg;
        cfg[pair.key] = pair.value;
        EXPECT_EQ(-1, cfg.write(path)) << pair.key << "=" << pair.value;
        EXPECT_FALSE(testutil::PathExists(path)) << "a refused write left a file";
    }
    const Pair carried[] = {{"a", "two words"}, {"b", "it's"}, {"c", "say \"hi\""}, {"d", "a'b\"c"},
                            {"e", "#x"},        {"f", ""},     {"g", "caf\xc3\xa9"}};
    Config cfg;
    for (const Pair& pair : carried) cfg[pair.key] = pair.value;
    cfg["long"] = std::string(8191 - 10, 'x');  // long = "..."\n fills the buffer
    ASSERT_EQ(0, cfg.write(path));
    Config back;
    EXPECT_EQ(0, back.read(path)) << "not read back";
    EXPECT_EQ(PairsOf(cfg), PairsOf(back)) << "what was written reads back otherwise";
}

// A read error before the first line gives -1 and the map as it was; after
// it, the lines read so far are merged and the result is 0, as at the end of
// the file.
TEST(ConfigFaults, AFailedReadMergesTheLinesReadBeforeIt) {
    testutil::TempDir dir;
    const std::string path = dir / "app.conf";
    testutil::WriteFile(path, "a = 1\nb = 2\nc = 3\n");
    const std::vector<Pairs> merged = {{{"kept", "yes"}},
                                       {{"kept", "yes"}, {"a", "1"}},
                                       {{"kept", "yes"}, {"a", "1"}, {"b", "2"}},
                                       {{"kept", "yes"}, {"a", "1"}, {"b", "2"}, {"c", "3"}}};
    Config cfg;
    testutil::ForEachCallError(
        {{"", {EIO, EMFILE, EINTR, ENOENT}}},
        [&] {
            cfg = Config();
            cfg["kept"] = "yes";
        },
        [&] { return cfg.read(path); },
        [&](const testutil::FaultRun& run) {
            const bool opened = run.fired_call != "fopen" && run.fired_call != "fstat";
            EXPECT_EQ(opened ? 0 : -1, run.rc) << run.Describe();
            const Pairs got = PairsOf(cfg);
            const Pairs& want = !opened                     ? merged.front()
                                : run.fired_call == "fgets" ? merged[got.size() - 1]
                                                            : merged.back();
            EXPECT_EQ(want, got) << run.Describe();
        });
}

// Whatever call fails, the file (here reached through a symbolic link) holds
// its old text or all of the new one, with its permissions, and nothing is
// left beside it; -1 in the first case. An interrupted write is tried again.
TEST(ConfigFaults, AFailedWriteLeavesTheOldFileWhole) {
    testutil::TempDir dir;
    const std::string path = dir / "app.conf", link = dir / "link.conf";
    ASSERT_EQ(0, symlink("app.conf", link.c_str()));
    Config cfg;
    cfg["level"] = "7";
    cfg["name"] = "two words";
    const std::map<std::string, std::string> old_file = {{"app.conf", "level = 3\n"}};
    const std::map<std::string, std::string> new_file = {
        {"app.conf", "level = \"7\"\nname = \"two words\"\n"}};
    // ENOENT from the look-ups would say the file is not there: a new file.
    testutil::ForEachCallError(
        {{"", {EIO, ENOSPC, EMFILE, EINTR}}, {"open", {ENOENT}}, {"rename", {ENOENT}}},
        [&] {
            testutil::WriteFile(path, "level = 3\n");
            chmod(path.c_str(), 0640);
        },
        [&] { return cfg.write(link); },
        [&](const testutil::FaultRun& run) {
            const bool retried = run.fired_call == "write" && run.err == EINTR;
            EXPECT_EQ(run.fired && !retried ? -1 : 0, run.rc) << run.Describe();
            EXPECT_EQ(run.rc == 0 ? new_file : old_file, testutil::FilesIn(dir.path()))
                << run.Describe();
            struct stat st;
            EXPECT_EQ(0, lstat(path.c_str(), &st)) << run.Describe();
            EXPECT_EQ(0640u, st.st_mode & 07777) << run.Describe();
            EXPECT_EQ(0, lstat(link.c_str(), &st)) << run.Describe();
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << run.Describe() << " replaced the link";
        });
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
        for (int input = 0; input < 2000; ++input) {
            std::string text;
            for (int tokens = gen() % 60; tokens > 0; --tokens) text += kTokens[gen() % 24];
            if (input % 50 == 0) text += std::string(8180 + gen() % 20, 'v') + "\n";  // piece edges
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        std::exit(0);  // runs the target's clean-up
    });
    EXPECT_EQ(0, status) << testutil::ReadFile(err);
}

}  // namespace
