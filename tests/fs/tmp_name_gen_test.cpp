// Temporary-name generator: the keystream variant, the alphabet encoding,
// name shape, uniqueness and concurrent draws.
#include "tmp_name_gen.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Reaches the private keystream of a private instance, so that the fixed
// point can be checked from a known permutation.
class TmpNameGenPeer {
  public:
    TmpNameGenPeer() { Identity(); }
    void Identity() {
        for (int i = 0; i < 256; ++i) gen_.m_s_box[i] = static_cast<unsigned char>(i);
    }
    void Randomize(unsigned char* out, int len) { gen_.rc4_randomize(gen_.m_s_box, out, len); }
    std::string Name() { return gen_.getTmpName().c_str(); }
    void Init(unsigned char* key) { gen_.rc4_init(gen_.m_s_box, key); }
    const unsigned char* SBox() const { return gen_.m_s_box; }

  private:
    TmpNameGen gen_;
};

namespace {

const std::regex kNameRe("^[0-9a-zA-Z_-]{8}$");

TEST(TmpNameGenKeystream, IdentityPermutationGivesKnownBytesAndName) {
    TmpNameGenPeer peer;
    unsigned char b[6] = {};
    peer.Randomize(b, 6);
    const unsigned char expected[6] = {2, 5, 7, 13, 13, 23};
    EXPECT_EQ(0, std::memcmp(b, expected, 6));

    peer.Identity();
    EXPECT_EQ("0wk73gQn", peer.Name());
}

TEST(TmpNameGenKeystream, EveryCallRestartsIndicesButKeepsPermutation) {
    // Two calls of 3 bytes differ from one call of 6: i restarts at 1.
    TmpNameGenPeer split;
    unsigned char a[6] = {};
    split.Randomize(a, 3);
    split.Randomize(a + 3, 3);
    const unsigned char whole[6] = {2, 5, 7, 13, 13, 23};
    EXPECT_EQ(0, std::memcmp(a, whole, 3));
    EXPECT_NE(0, std::memcmp(a + 3, whole + 3, 3));
    // The permutation carried over: the second call did not start from identity.
    unsigned char again[3] = {};
    split.Randomize(again, 3);
    EXPECT_NE(0, std::memcmp(again, a + 3, 3));

    unsigned char none[1] = {0xAA};
    split.Randomize(none, 0);
    split.Randomize(none, -1);
    EXPECT_EQ(0xAA, none[0]);
}

TEST(TmpNameGenKeystream, KeyScheduleUsesAllBytesAndStaysAPermutation) {
    unsigned char k1[256] = {};
    unsigned char k2[256] = {};
    std::memcpy(k1, "1700000000-123456", 17);
    std::memcpy(k2, "1700000000-123456", 17);
    k2[200] = 1;  // behind the text: still part of the schedule
    TmpNameGenPeer p1, p2;
    p1.Init(k1);
    p2.Init(k2);
    EXPECT_NE(0, std::memcmp(p1.SBox(), p2.SBox(), 256));
    std::set<int> values(p1.SBox(), p1.SBox() + 256);
    EXPECT_EQ(256u, values.size());

    unsigned char empty[256] = {};
    TmpNameGenPeer p3;
    p3.Init(empty);  // an empty key is replaced by rand() bytes
    std::set<int> v3(p3.SBox(), p3.SBox() + 256);
    EXPECT_EQ(256u, v3.size());
    bool filled = false;
    for (unsigned char c : empty) filled = filled || c != 0;
    EXPECT_TRUE(filled);
}

TEST(TmpNameGenNames, ShapeAndUniqueness) {
    TmpNameGen& gen = TmpNameGen::getInstance();
    EXPECT_EQ(&gen, &TmpNameGen::getInstance());
    std::set<std::string> seen;
    const int kDraws = 20000;
    for (int i = 0; i < kDraws; ++i) {
        std::string name = gen.getTmpName().c_str();
        ASSERT_TRUE(std::regex_match(name, kNameRe)) << name;
        seen.insert(name);
    }
    EXPECT_EQ(static_cast<size_t>(kDraws), seen.size());
}

TEST(TmpNameGenNames, PathJoinsPrefixAsGiven) {
    TmpNameGen& gen = TmpNameGen::getInstance();
    std::string p = gen.getTmpPath("/tmp").c_str();
    EXPECT_TRUE(std::regex_match(p, std::regex("^/tmp/[0-9a-zA-Z_-]{8}$"))) << p;
    std::string e = gen.getTmpPath("").c_str();
    EXPECT_TRUE(std::regex_match(e, std::regex("^/[0-9a-zA-Z_-]{8}$"))) << e;
    std::string d = gen.getTmpPath("/tmp/").c_str();
    EXPECT_TRUE(std::regex_match(d, std::regex("^/tmp//[0-9a-zA-Z_-]{8}$"))) << d;
}

TEST(TmpNameGenThreads, ConcurrentDrawsAreDistinct) {
    const int kThreads = 4, kPerThread = 5000;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &names] {
            for (int i = 0; i < kPerThread; ++i)
                names[t].push_back(TmpNameGen::getInstance().getTmpName().c_str());
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (auto& v : names) all.insert(v.begin(), v.end());
    EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), all.size());
}

}  // namespace
