// The configuration fuzz target's reference grammar, run on inputs built
// from a fixed seed, so that every test run checks it.
#include <gtest/gtest.h>

#include <random>

#include "../../fuzz/config_fuzz.cpp"
#include "test_support.h"

namespace {

TEST(ConfigModel, GeneratedFilesAgreeWithTheReferenceGrammar) {
    static const char* const kTokens[] = {"key",  "K-9_z", " ",        "\t",  "=",           " = ",
                                          "#",    "'",     "\"",       "\r",  "\n",          "\n",
                                          "\n",   "x y",   "1",        "-42", "99999999999", "true",
                                          "\x7f", "\x01",  "\xc3\xa9", "a.b", "[s]",         ""};
    testutil::TempDir dir;
    const std::string err = dir / "stderr";
    int status = testutil::RunInChild([&] {
        // The target rewrites two files per input: memory-backed when possible.
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
        return 0;
    });
    EXPECT_EQ(0, status) << testutil::ReadFile(err);
}

}  // namespace
