// Passwords and Base64, the critical section, scoped and temporary files, user and host names;
// the lock, the files and the host name also at every failure point of their system calls.
#include "utility.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <optional>
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
    size_t room = 8;
    EXPECT_FALSE(EncBase64Dec(nullptr, 0, &all[0], &room)) << "no input is no valid Base64";
}

class UtilityTest : public ::testing::Test {
  protected:
    void SetUp() override { Logger::log_level[ustring("utility_debug")] = Logger::L_DEBUG; }
    void TearDown() override {
        Logger::log_level.erase(ustring("utility_debug"));
        SFFile::initialize("/tmp");
        TempFile::initialize("/tmp");
    }
    std::string Log() { return NormalizeLog(NormalizeLog(capture_.Stop(), "utility"), "file-op"); }
    TempDir dir_;
    ustring folder_ = dir_.path();
    StderrCapture capture_;
};
class CriticalSectionThreads : public UtilityTest {};

bool MutexFree(pthread_mutex_t* mutex) {  // to another thread
    bool free = false;
    std::thread([&] {
        free = pthread_mutex_trylock(mutex) == 0 && pthread_mutex_unlock(mutex) == 0;
    }).join();
    return free;
}

bool FlockFree(int other_fd) {  // to another open file
    return flock(other_fd, LOCK_EX | LOCK_NB) == 0 && flock(other_fd, LOCK_UN) == 0;
}

// Over a mutex, recursive, so that a second lock by a guard would outlive its
// end(). (Over a descriptor: the failure points of flock below.)
TEST_F(CriticalSectionThreads, LockIsHeldOnceBetweenStartAndEnd) {
    pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    {
        CriticalSection guard(&mutex);
        CriticalSection never_started(&mutex);
        EXPECT_TRUE(MutexFree(&mutex)) << "a guard takes nothing when made";
        guard.start();
        guard.start();
        EXPECT_FALSE(MutexFree(&mutex)) << "start() takes the lock";
        guard.end();
        EXPECT_TRUE(MutexFree(&mutex)) << "one end() leaves a section started twice";
        pthread_mutex_lock(&mutex);  // held outside the guard: a stray unlock would free it
        guard.end();
        EXPECT_FALSE(MutexFree(&mutex)) << "a second end() released a lock it did not hold";
        pthread_mutex_unlock(&mutex);
        guard.start();
    }  // the destructors leave; the guard never started unlocks nothing
    EXPECT_TRUE(MutexFree(&mutex)) << "the destructor leaves the section";
    const std::string enter = "[DEBUG] utility(N): entering critical section\n";
    const std::string leave = "[DEBUG] utility(N): leaving critical section\n";
    EXPECT_EQ(enter + leave + enter + leave, Log());
}

// A flock interrupted by a signal is tried again, so the section never runs
// unguarded for it; other failures go unexamined. The lock is free after
// end() unless its release failed.
TEST_F(UtilityTest, CriticalSectionAtEveryFailureOfFlock) {
    const int guarded_fd = open(folder_.c_str(), O_RDONLY);  // flock a folder
    const int other_fd = open(folder_.c_str(), O_RDONLY);
    bool held_inside = false;
    ForEachCallError(
        {{"flock", {EINTR, ENOLCK}}}, [] {},
        [&] {
            CriticalSection section(guarded_fd);
            section.start();
            held_inside = !FlockFree(other_fd);
            return 0;
        },
        [&](const FaultRun& run) {
            const bool lock_failed = run.fired && run.n == 1 && run.err != EINTR;
            EXPECT_EQ(!lock_failed, held_inside) << run.Describe() << ": whether the lock was held";
            const bool release_failed = run.fired && run.n == 2;
            EXPECT_EQ(!release_failed, FlockFree(other_fd))
                << run.Describe() << ": whether end() released the lock";
            flock(guarded_fd, LOCK_UN);
        });
    close(guarded_fd);
    close(other_fd);
}

// Creating and removing at every failure point: create reports -1 with its
// error line exactly when no complete file could be made; a removal's failure is
// ignored, but the path is forgotten all the same; no other file changes.
template <class Scoped>
void CreateAndRemoveAtEveryFailurePoint(const std::string& folder, const std::string& kind) {
    WriteFile(folder + "/neighbour", "untouched");
    std::optional<StderrCapture> capture;
    std::string created;
    const size_t points = ForEachCallError(
        {{"", {EIO, ENOSPC, EMFILE, EINTR, ENOENT}}}, [&] { capture.emplace(); },
        [&] {
            Scoped file(folder);
            const int rc = file.create();
            created = file.getPath().c_str();
            file.remove();
            EXPECT_EQ("", std::string(file.getPath().c_str())) << "the path is forgotten";
            return rc;
        },
        [&](const FaultRun& run) {
            const std::string log = NormalizeLog(capture->Stop(), "utility");
            capture.reset();
            // A temporary file is made, given its mode and flushed, or not made.
            const bool not_made = run.fired_call == "mkstemp" || run.fired_call == "fchmod" ||
                                  run.fired_call == "fsync";
            EXPECT_EQ(not_made ? -1 : 0, run.rc) << run.Describe();
            const std::string line =
                run.rc == 0 ? "[DEBUG] utility(N): creating " + kind + " '" + created + "'\n" +
                                  "[DEBUG] utility(N): removing " + kind + " '" + created + "'\n"
                            : "[ERROR] utility(N): failed to create " + kind + " ...\n";
            const bool own_print_failed = run.fired_call == "fwrite" ||
                                          run.fired_call == "vfprintf" ||
                                          run.fired_call == "fflush";
            EXPECT_TRUE(own_print_failed || log.find(line) != std::string::npos)
                << run.Describe() << " logged\n"
                << log;
            const auto files = FilesIn(folder);
            EXPECT_TRUE(run.fired || files.size() == 1) << "the file was not removed";
            EXPECT_EQ("untouched", files.at("neighbour")) << run.Describe();
            unlink(created.c_str());
        });
    ::testing::Test::RecordProperty(kind + "_failure_points", static_cast<int>(points));
}

TEST_F(UtilityTest, ScopedFilesAtEveryFailurePoint) {
    capture_.Stop();
    CreateAndRemoveAtEveryFailurePoint<SFFile>(folder_.c_str(), "File");
    CreateAndRemoveAtEveryFailurePoint<TempFile>(folder_.c_str(), "TempFile");
}

// Its creating and removing are pinned at every failure point above.
TEST_F(UtilityTest, SFFileNamesAFileItNeverRemovesByItself) {
    auto kept = std::make_unique<SFFile>("");
    kept->setPrefix(folder_);
    EXPECT_EQ(0u, kept->getSize());
    ASSERT_EQ(0, kept->create());
    ASSERT_EQ(0, kept->create()) << "the held file is reused";
    const std::string kept_path = kept->getPath().c_str();
    unlink(kept_path.c_str());
    EXPECT_EQ(0u, kept->getSize()) << "of a file another removed";
    WriteFile(kept_path, std::string(1234, 'x'));
    EXPECT_EQ(1234u, kept->getSize());
    kept.reset();
    EXPECT_TRUE(PathExists(kept_path)) << "destruction leaves the file";
    EXPECT_EQ(1, CountEntries(dir_.path())) << "one file, made in the prefix set";
    EXPECT_NE(std::string::npos, Log().find("[DEBUG] utility(N): use exist file\n"));
}

TEST_F(UtilityTest, TempFileSharesItsFileAndTheLastOwnerRemovesIt) {
    std::string removed_path, permanent_path;
    {
        TempFile sole_owner(folder_), permanent(folder_), heir(folder_);
        ASSERT_EQ(0, sole_owner.create());
        ASSERT_EQ(0, permanent.create());
        permanent.convert_permanent();
        heir = permanent;  // copies the flag with the file, and outlives it
        removed_path = sole_owner.getPath().c_str();
        permanent_path = permanent.getPath().c_str();
    }
    EXPECT_FALSE(PathExists(removed_path)) << "the sole owner removes its file";
    EXPECT_TRUE(PathExists(permanent_path));

    auto creator = std::make_unique<TempFile>(folder_);
    ASSERT_EQ(0, creator->create());
    const std::string shared = creator->getPath().c_str();
    TempFile copied(*creator), assigned(folder_), empty(folder_);
    assigned = copied;
    EXPECT_EQ(shared, assigned.getPath().c_str());
    EXPECT_EQ(-1, copied.create()) << "a sharer of a live file cannot create";
    creator.reset();
    EXPECT_TRUE(PathExists(shared)) << "two owners remain";
    assigned = empty;  // stops owning and holds nothing
    EXPECT_EQ("", std::string(assigned.getPath().c_str()));
    ASSERT_EQ(0, assigned.create());
    const std::string own = assigned.getPath().c_str();
    assigned = copied;  // the sole owner's file goes first
    EXPECT_FALSE(PathExists(own));
    assigned.remove();  // for every owner; copied keeps the path but owns nothing
    EXPECT_FALSE(PathExists(shared));
    WriteFile(shared, "not ours");
    copied = assigned;  // already co-holders: the empty path is copied all the same
    EXPECT_EQ("", std::string(copied.getPath().c_str()));
    ASSERT_EQ(0, copied.create()) << "no live file is held any more";
    const std::string fresh = copied.getPath().c_str();
    assigned = empty;  // the former co-holder leaves: the new file is not its own
    EXPECT_TRUE(PathExists(fresh));
    copied = TempFile(empty);  // a copy of one holding nothing, which holds nothing either
    EXPECT_FALSE(PathExists(fresh)) << "its one owner removed it";
    EXPECT_EQ("not ours", ReadFile(shared));
    EXPECT_EQ(0, SFFile::initialize(folder_));
    EXPECT_EQ(0, TempFile::initialize(folder_));
    SFFile default_sffile("");  // the default prefixes, now the test's folder
    TempFile default_tempfile("");
    ASSERT_EQ(0, default_sffile.create());
    ASSERT_EQ(0, default_tempfile.create());
    EXPECT_EQ(4, CountEntries(dir_.path())) << "the stranger, the permanent file and two new";
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
        std::string first = "stale";
        std::string second = deli ? "stale" : input;
        if (deli)
            ParsingByDelimiter(input, first, second, deli);
        else
            ParseUsrName(second, first);
        EXPECT_EQ(std::make_pair(before, after), std::make_pair(first, second)) << input;
    }
}

// On this platform the conversions copy the bytes, up to the first NUL.
TEST(NamesTest, TextConversionsCopyTheBytesUpToTheFirstNul) {
    for (const std::string& text :
         {std::string("caf\xC3\xA9"), std::string("ab\0cd", 5), std::string()}) {
        ustring native("stale");
        std::string utf8 = "stale", code_page = "stale";
        EXPECT_EQ(0, UTF8ToNativeStr(text, native));
        EXPECT_EQ(0, NativeStrToUTF8(native, utf8));
        EXPECT_EQ(0, CodePageToNativeStr(text, native));
        EXPECT_EQ(0, NativeStrToCodePage(native, code_page));
        EXPECT_EQ(text.c_str(), utf8) << "there and back as UTF-8";
        EXPECT_EQ(text.c_str(), code_page) << "there and back in the code page";
    }
}

// A host name that cannot be read is empty; the result is 0 either way.
TEST(NamesTest, HostNameIsEmptyWhenItCannotBeRead) {
    char expected[512] = {};
    ASSERT_EQ(0, gethostname(expected, sizeof expected - 1));
    std::string host = "stale";
    ForEachCallError(
        {{"gethostname", {EINVAL, ENAMETOOLONG}}}, [] {}, [&] { return GetSysHostName(host); },
        [&](const FaultRun& run) {
            EXPECT_EQ(0, run.rc);
            EXPECT_EQ(run.fired ? "" : expected, host) << run.Describe();
        });
}

}  // namespace
