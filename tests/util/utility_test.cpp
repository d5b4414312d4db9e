// Passwords and Base64, the critical section, scoped and temporary files, user names.
#include "utility.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "logger.h"
#include "test_support.h"

namespace {

using namespace testutil;

std::string Encode(std::string bytes, bool one_line) {
    auto* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    const int n = static_cast<int>(bytes.size());
    std::unique_ptr<char[]> text(one_line ? SzBase64EncOneLine(p, n) : SzBase64EncBuffer(p, n));
    return text.get();
}

// SyncPassEnc or SyncPassDec of `in`, into a string that was not empty.
std::string Pass(void (*fn)(const std::string&, std::string&), const std::string& in) {
    std::string out = "stale";
    fn(in, out);
    return out;
}

// Known answers from an independent cipher: printf '%s' "$PASSWORD" | openssl enc -bf-cfb
// -provider legacy -provider default -K 591e7c3a591e7c3a591e7c3a591e7c3a -iv 0000000000000000
// -nosalt | base64 -w0 (OpenSSL 3.0.19; the key repeated gives the same key schedule).
TEST(PasswordTest, KnownAnswersAndRejectedTexts) {
    const std::pair<std::string, std::string> rows[] = {
        {"a", "8A=="},
        {"secret", "4ve3TXP2"},
        {"pa'ss word", "4fPzTGWiJrrhqA=="},
        {"correct horse battery staple", "8v2mTXPhJfUvUkdkw/lwjNXmvkFdZTLjX+53Zg=="},
        {"Gr\u00fc\u00dfe!", "1uAXg9UdNPQ="},
        {"", ""}};
    for (const auto& [clear, stored] : rows) {
        EXPECT_EQ(stored, Pass(SyncPassEnc, clear));
        EXPECT_EQ(clear, Pass(SyncPassDec, stored));
    }
    for (const char* bad : {"not base64!", "4ve3TXP", "4ve3TXP2\n"})
        EXPECT_EQ("", Pass(SyncPassDec, bad));
    const std::string stored = Pass(SyncPassEnc, std::string("ab\0cd", 5));
    EXPECT_EQ(8u, stored.size()) << "every byte is encrypted";
    EXPECT_EQ("ab", Pass(SyncPassDec, stored)) << "the clear text ends at its first NUL";
    const std::string longer(10000, 'x');  // beyond a fixed output buffer of old
    EXPECT_EQ(longer, Pass(SyncPassDec, Pass(SyncPassEnc, longer)));
}

TEST(Base64Test, Rules) {
    // Bytes, Base64, and the one-line form, which stops at a group starting with 0.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"f", "Zg==", "Zg=="},
        {"fo", "Zm8=", "Zm8="},
        {"foo", "Zm9v", "Zm9v"},
        {std::string("ab\0cd", 5), "YWIAY2Q=", "YWIAY2Q="},
        {std::string("abc\0", 4), "YWJjAA==", "YWJj"},
        {std::string("\0abc", 4), "AGFiYw==", ""},
        {"\xFF\xEF\xBE", "/+++", "/+++"}};
    for (const auto& [bytes, text, line] : rows)
        EXPECT_EQ(text + "|" + line, Encode(bytes, false) + "|" + Encode(bytes, true));
    EXPECT_EQ("0/", std::string({CBase64Table(64 + 52), CBase64Table(-1)})) << "low 6 bits count";
    std::string all;  // every byte, so every symbol
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    const std::string every = Encode(all, false);

    // Text, room, result, and what was written (its length is *outlen, which a full
    // output leaves at its entry value); faults include a later group's first two.
    const std::tuple<std::string, size_t, bool, std::string> decoded[] = {
        {"", 8, true, ""},           {"TWFu", 8, true, "Man"},       {"TWE=", 8, true, "Ma"},
        {"TQ==", 8, true, "M"},      {"TWFuTWE=", 5, true, "ManMa"}, {"T", 8, false, ""},
        {"TWE", 8, false, "Ma"},     {"TW=E", 8, false, "M"},        {"T===", 8, false, ""},
        {"====", 8, false, ""},      {"-_-_", 8, false, ""},         {"TW E", 8, false, "M"},
        {"TWF\x80", 8, false, "Ma"}, {"TWFu\n", 8, false, "Man"},    {"TWFu=", 8, false, "Man"},
        {"TQ==TWFu", 8, false, "M"}, {"TWFu.AAA", 8, false, "Man"},  {"TWFuA.AA", 8, false, "Man"},
        {"TWFu", 0, false, ""},      {"TWFu", 2, false, "Ma"},       {"TWFuTWFu", 3, false, "Man"},
        {every, 256, true, all}};
    for (const auto& [text, room, ok, bytes] : decoded) {
        SCOPED_TRACE(text);
        std::string out(room, '\xAA');
        size_t outlen = room;
        EXPECT_EQ(ok, EncBase64Dec(text.data(), text.size(), &out[0], &outlen));
        EXPECT_EQ(bytes, out.substr(0, bytes.size()));
        EXPECT_EQ(bytes.size(), outlen);
    }
}

class UtilityTest : public ::testing::Test {
  protected:
    void SetUp() override { Logger::log_level[ustring("utility_debug")] = Logger::L_DEBUG; }
    void TearDown() override {
        Logger::log_level.erase(ustring("utility_debug"));
        SFFile::initialize("/tmp");
        TempFile::initialize("/tmp");
    }
    std::string Log() { return NormalizeLog(cap_.Stop(), "utility"); }
    TempDir dir_;
    ustring in_ = dir_.path();
    StderrCapture cap_;
};
class CriticalSectionThreads : public UtilityTest {};

// Over a mutex (recursive, so that a second lock by a guard would outlive
// its end()) and over a descriptor, which excludes another open file.
TEST_F(CriticalSectionThreads, LockIsHeldOnceBetweenStartAndEnd) {
    pthread_mutex_t m = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    int fd1 = open(in_.c_str(), O_RDONLY), fd2 = open(in_.c_str(), O_RDONLY);  // flock a folder
    auto free = [&] {  // whether another thread and another open file could lock; 3: both
        bool mx = false;
        std::thread([&] { mx = !pthread_mutex_trylock(&m) && !pthread_mutex_unlock(&m); }).join();
        return mx + 2 * (flock(fd2, LOCK_EX | LOCK_NB) == 0 && flock(fd2, LOCK_UN) == 0);
    };
    {
        CriticalSection cs(&m), unused(&m), by_fd(fd1);
        EXPECT_EQ(3, free()) << "construction takes nothing";
        cs.start();
        cs.start();
        by_fd.start();
        EXPECT_EQ(0, free());
        cs.end();
        by_fd.end();
        EXPECT_EQ(3, free());
        pthread_mutex_lock(&m);  // held outside the guard: a stray unlock would free it
        cs.end();
        EXPECT_EQ(2, free());
        pthread_mutex_unlock(&m);
        cs.start();
        by_fd.start();
    }  // the destructors leave; the unused guard unlocks nothing
    EXPECT_EQ(3, free());
    const std::string in = "[DEBUG] utility(N): entering critical section\n",
                      out = "[DEBUG] utility(N): leaving critical section\n";
    EXPECT_EQ(in + in + out + out + in + in + out + out, Log());
    close(fd1);
    close(fd2);
}

TEST_F(UtilityTest, SFFileNamesAFileItNeverRemovesByItself) {
    auto f = std::make_unique<SFFile>(in_);
    EXPECT_EQ(0u, f->getSize());
    ASSERT_EQ(0, f->create());
    ASSERT_EQ(0, f->create()) << "the held file is reused";
    const std::string path = f->getPath().c_str();
    WriteFile(path, std::string(1234, 'x'));
    EXPECT_EQ(1234u, f->getSize());
    f.reset();
    EXPECT_TRUE(PathExists(path));
    SFFile g(dir_ / "missing");
    EXPECT_EQ(-1, g.create());
    g.setPrefix(in_);
    ASSERT_EQ(0, g.create());
    const std::string second = g.getPath().c_str();
    g.remove();
    EXPECT_TRUE(!PathExists(second) && g.getPath().empty() && g.getSize() == 0);
    const std::string d = "[DEBUG] utility(N): ", e = "[ERROR] ";
    EXPECT_EQ(d + "creating File '" + path + "'\n" + d + "use exist file\n" + e +
                  "file-op(N): mkstemp(" + in_.c_str() +
                  "/missing/XXXXXX): No such file or directory\n" + e +
                  "utility(N): failed to create File ...\n" + d + "creating File '" + second +
                  "'\n" + d + "removing File '" + second + "'\n",
              NormalizeLog(Log(), "file-op"));
}

TEST_F(UtilityTest, TempFileSharesItsFileAndTheLastOwnerRemovesIt) {
    std::string gone, kept;
    {
        TempFile t(in_), q(in_), p(in_);
        ASSERT_EQ(0, t.create() + p.create());
        p.convert_permanent();
        q = p;  // copies the flag with the file, and outlives p
        gone = t.getPath().c_str();
        kept = p.getPath().c_str();
    }
    EXPECT_FALSE(PathExists(gone)) << "the sole owner removes its file";
    EXPECT_TRUE(PathExists(kept));
    const std::string d = "[DEBUG] utility(N): ";
    EXPECT_EQ(d + "creating TempFile '" + gone + "'\n" + d + "creating TempFile '" + kept + "'\n" +
                  d + "removing TempFile '" + gone + "'\n",
              Log());
    ASSERT_EQ(0, unlink(kept.c_str()));
    auto a = std::make_unique<TempFile>(in_);
    ASSERT_EQ(0, a->create());
    const std::string path = a->getPath().c_str();
    TempFile b(*a), c(in_), empty(in_);
    c = b;
    EXPECT_EQ(path + path, std::string(b.getPath().c_str()) + c.getPath().c_str());
    EXPECT_EQ(-1, b.create()) << "a sharer of a live file cannot create";
    a.reset();
    b = c;      // already co-owners: nothing changes
    c = empty;  // c stops owning and holds nothing
    EXPECT_TRUE(c.getPath().empty() && PathExists(path));
    ASSERT_EQ(0, c.create());
    const std::string own = c.getPath().c_str();
    c = b;  // the sole owner's file goes first
    EXPECT_FALSE(PathExists(own));
    c.remove();  // for every owner; b keeps the path but owns nothing
    EXPECT_FALSE(PathExists(path));
    WriteFile(path, "not ours");
    ASSERT_EQ(0, b.create()) << "no live file is held any more";
    EXPECT_NE(path, b.getPath().c_str());
    { TempFile d(b), e(d); }
    EXPECT_TRUE(PathExists(b.getPath().c_str())) << "b still owns its new file";
    b = empty;
    EXPECT_EQ("not ours", ReadFile(path));
    EXPECT_EQ(1, CountEntries(dir_.path())) << "only the stranger is left";
    EXPECT_EQ(0, SFFile::initialize(in_) + TempFile::initialize(in_));
    SFFile s("");  // the default prefixes, now the test's directory
    TempFile t("");
    ASSERT_EQ(0, s.create() + t.create());
    EXPECT_EQ(3, CountEntries(dir_.path()));
}

// Out of descriptors (RLIMIT_NOFILE 32, then every free slot taken) in a
// child whose result names the first check that failed.
TEST_F(UtilityTest, TemporaryFilesFailCleanlyWithoutDescriptors) {
    const std::string err = dir_ / "err";
    auto child = [&] {
        if (!RedirectStderrTo(err) || !LimitDescriptors(32)) return 1;
        std::vector<int> taken = ExhaustDescriptors();
        TempFile t(in_);
        SFFile f(in_);
        if (t.create() != -1 || f.create() != -1) return 2;
        if (!t.getPath().empty() || !f.getPath().empty()) return 3;
        Release(taken, taken.size());
        return CountEntries(dir_.path()) == 1 ? 0 : 4;  // nothing left but err
    };
    ASSERT_EQ(0, RunInChild(child));
    const std::string mk =
        "[ERROR] file-op(N): mkstemp(" + dir_.path() + "/XXXXXX): Too many open files\n";
    EXPECT_EQ(mk + "[ERROR] utility(N): failed to create TempFile ...\n" + mk +
                  "[ERROR] utility(N): failed to create File ...\n",
              NormalizeLog(NormalizeLog(ReadFile(err), "utility"), "file-op"));
}

TEST(NamesTest, UserNamesSplitAtTheirLastSeparator) {
    // Input, delimiter (none: ParseUsrName, preferring "/" to "\"), the two parts.
    const std::tuple<std::string, const char*, std::string, std::string> rows[] = {
        {"CORP\\alice", nullptr, "CORP", "alice"},
        {"alice", nullptr, "", "alice"},
        {"\\alice", nullptr, "", "alice"},
        {"a/b/c", nullptr, "a/b", "c"},
        {"DOMAIN\\a/b", nullptr, "DOMAIN\\a", "b"},
        {"alice", "/", "", "alice"},
        {"a/b", "", "", "a/b"},
        {"one:two:", ":", "one:two", ""}};
    for (const auto& [input, deli, before, after] : rows) {
        std::string first = "stale", second = deli ? "stale" : input;
        deli ? ParsingByDelimiter(input, first, second, deli) : ParseUsrName(second, first);
        EXPECT_EQ(std::make_pair(before, after), std::make_pair(first, second)) << input;
    }
}

}  // namespace
