// The fuzz target's byte model, run on programs drawn from a fixed seed, so
// that every test run checks it, not only the fuzzing runs.
#include <gtest/gtest.h>

#include <random>

#include "../../fuzz/ustring_fuzz.cpp"
#include "test_support.h"

namespace {

TEST(UstringModel, GeneratedProgramsAgreeWithTheByteModel) {
    // Half the bytes come from pieces of UTF-8, UTF-16 and NUL, so that
    // programs build valid text, not only noise.
    static const std::string kAlphabet("ab/ e\0\xC3\xA9\xCC\x81\xF0\x9F\x98\x80\xED\xD8\xDC\xFF",
                                       18);
    testutil::TempDir dir;
    const std::string log = dir / "stderr";
    int status = testutil::RunInChild([&] {
        if (!testutil::RedirectStderrTo(log)) return 3;  // conversion warnings are expected
        std::mt19937 gen(1);
        for (int i = 0; i < 3000; ++i) {
            std::vector<uint8_t> program(gen() % 1200);
            for (uint8_t& b : program)
                b = static_cast<uint8_t>(gen() % 2 ? gen() : kAlphabet[gen() % kAlphabet.size()]);
            LLVMFuzzerTestOneInput(program.data(), program.size());
        }
        return 0;
    });
    const std::string text = testutil::ReadFile(log);
    const size_t at = text.find("ustring model mismatch");
    EXPECT_EQ(0, status) << (at == std::string::npos ? "" : text.substr(at));
}

}  // namespace
