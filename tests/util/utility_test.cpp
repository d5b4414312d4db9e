// Passwords and Base64, the critical section, scoped and temporary files, user names.
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

// Whether another thread could take the mutex and another open file the
// flock lock, in words.
std::string LocksFree(pthread_mutex_t* mutex, int other_fd) {
    bool mutex_free = false;
    std::thread([&] {
        mutex_free = pthread_mutex_trylock(mutex) == 0 && pthread_mutex_unlock(mutex) == 0;
    }).join();
    const bool flock_free =
        flock(other_fd, LOCK_EX | LOCK_NB) == 0 && flock(other_fd, LOCK_UN) == 0;
    return std::string(mutex_free ? "mutex free" : "mutex held") +
           (flock_free ? ", flock free" : ", flock held");
}

// Over a mutex (recursive, so that a second lock by a guard would outlive
// its end()) and over a descriptor, which excludes another open file.
TEST_F(CriticalSectionThreads, LockIsHeldOnceBetweenStartAndEnd) {
    pthread_mutex_t mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
    const int guarded_fd = open(folder_.c_str(), O_RDONLY);  // flock a folder
    const int other_fd = open(folder_.c_str(), O_RDONLY);
    {
        CriticalSection by_mutex(&mutex);
        CriticalSection never_started(&mutex);
        CriticalSection by_fd(guarded_fd);
        EXPECT_EQ("mutex free, flock free", LocksFree(&mutex, other_fd)) << "made, not started";
        by_mutex.start();
        by_mutex.start();
        by_fd.start();
        EXPECT_EQ("mutex held, flock held", LocksFree(&mutex, other_fd));
        by_mutex.end();
        by_fd.end();
        EXPECT_EQ("mutex free, flock free", LocksFree(&mutex, other_fd)) << "one end() each";
        pthread_mutex_lock(&mutex);  // held outside the guard: a stray unlock would free it
        by_mutex.end();
        EXPECT_EQ("mutex held, flock free", LocksFree(&mutex, other_fd)) << "a second end()";
        pthread_mutex_unlock(&mutex);
        by_mutex.start();
        by_fd.start();
    }  // the destructors leave; the guard never started unlocks nothing
    EXPECT_EQ("mutex free, flock free", LocksFree(&mutex, other_fd)) << "after destruction";
    const std::string enter = "[DEBUG] utility(N): entering critical section\n";
    const std::string leave = "[DEBUG] utility(N): leaving critical section\n";
    EXPECT_EQ(enter + enter + leave + leave + enter + enter + leave + leave, Log());
    close(guarded_fd);
    close(other_fd);
}

// A flock interrupted by a signal is tried again, so the section never runs
// unguarded for it; other failures go unexamined. Both lines are logged and
// the lock is released after end() unless the release itself failed.
TEST_F(UtilityTest, CriticalSectionAtEveryFailureOfFlock) {
    const int guarded_fd = open(folder_.c_str(), O_RDONLY);
    const int other_fd = open(folder_.c_str(), O_RDONLY);
    pthread_mutex_t unused = PTHREAD_MUTEX_INITIALIZER;
    std::string inside;
    const size_t points = ForEachCallError(
        {{"flock", {EINTR, ENOLCK}}}, [] {},
        [&] {
            CriticalSection section(guarded_fd);
            section.start();
            inside = LocksFree(&unused, other_fd);
            return 0;
        },
        [&](const FaultRun& run) {
            const bool taken = !run.fired || run.n == 2 || run.err == EINTR;
            EXPECT_EQ(taken ? "mutex free, flock held" : "mutex free, flock free", inside)
                << run.Describe();
            const bool released = !run.fired || run.n == 1;
            EXPECT_EQ(released ? "mutex free, flock free" : "mutex free, flock held",
                      LocksFree(&unused, other_fd))
                << run.Describe();
            flock(guarded_fd, LOCK_UN);
        });
    EXPECT_EQ(4u, points) << "each error at the lock and at the release";
    close(guarded_fd);
    close(other_fd);
    std::string every_run;  // two runs per failure point and error, a last one per error
    for (int run = 0; run < 6; ++run)
        every_run +=
            "[DEBUG] utility(N): entering critical section\n"
            "[DEBUG] utility(N): leaving critical section\n";
    EXPECT_EQ(every_run, Log());
}

// The classes' calls and their promises at every failure point: create
// reports -1 and its error line exactly when no file could be made (the
// object then holds none); a removal's failure is ignored, but the path is
// forgotten all the same; nothing else in the folder changes.
template <class Scoped>
size_t CreateAndRemoveAtEveryFailurePoint(const std::string& folder, const std::string& kind) {
    const std::vector<CallErrors> failures = {{"", {EIO, ENOSPC, EMFILE, EINTR, ENOENT}}};
    const std::string neighbour = folder + "/neighbour";
    std::optional<Scoped> file;
    std::optional<StderrCapture> capture;
    auto start = [&] {
        WriteFile(neighbour, "untouched");
        capture.emplace();
    };
    // The log's text, and whether the failing call was its own printing.
    auto log_of = [&](const FaultRun& run, std::string* text) {
        *text = NormalizeLog(capture->Stop(), "utility");
        capture.reset();
        return run.fired_call != "fwrite" && run.fired_call != "vfprintf" &&
               run.fired_call != "fflush";
    };
    auto contains = [](const std::string& text, const std::string& line) {
        return text.find(line) != std::string::npos;
    };
    size_t points = ForEachCallError(
        failures,
        [&] {
            file.emplace(folder);
            start();
        },
        [&] { return file->create(); },
        [&](const FaultRun& run) {
            const std::string path = file->getPath().c_str();
            std::string log;
            EXPECT_EQ(run.fired_call == "mkstemp" ? -1 : 0, run.rc) << run.Describe();
            EXPECT_EQ(run.rc == 0 ? 2 : 1, CountEntries(folder)) << run.Describe();
            EXPECT_EQ(run.rc == 0, !path.empty() && PathExists(path)) << run.Describe();
            const std::string line =
                run.rc == 0 ? "[DEBUG] utility(N): creating " + kind + " '" + path + "'\n"
                            : "[ERROR] utility(N): failed to create " + kind + " ...\n";
            file.reset();
            if (log_of(run, &log)) {
                EXPECT_TRUE(contains(log, line)) << run.Describe() << " logged\n" << log;
            }
            EXPECT_EQ("untouched", ReadFile(neighbour)) << run.Describe();
            unlink(path.c_str());
        });
    points += ForEachCallError(
        failures,
        [&] {
            start();
            file.emplace(folder);
            file->create();
        },
        [&] {
            file->remove();
            return 0;
        },
        [&](const FaultRun& run) {
            std::string log;
            EXPECT_EQ("", std::string(file->getPath().c_str())) << run.Describe();
            file.reset();
            EXPECT_TRUE(run.fired || CountEntries(folder) == 1)
                << run.Describe() << ": the file is still there";
            if (log_of(run, &log)) {
                EXPECT_TRUE(contains(log, "[DEBUG] utility(N): removing " + kind + " '"))
                    << run.Describe() << " logged\n"
                    << log;
            }
            EXPECT_EQ("untouched", ReadFile(neighbour)) << run.Describe();
            for (const auto& [name, text] : FilesIn(folder)) unlink((folder + "/" + name).c_str());
        });
    return points;
}

TEST_F(UtilityTest, ScopedFilesAtEveryFailurePoint) {
    capture_.Stop();
    const std::string folder = dir_ / "files";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    RecordProperty("sffile_failure_points",
                   static_cast<int>(CreateAndRemoveAtEveryFailurePoint<SFFile>(folder, "File")));
    RecordProperty(
        "tempfile_failure_points",
        static_cast<int>(CreateAndRemoveAtEveryFailurePoint<TempFile>(folder, "TempFile")));
}

TEST_F(UtilityTest, SFFileNamesAFileItNeverRemovesByItself) {
    auto kept = std::make_unique<SFFile>(folder_);
    EXPECT_EQ(0u, kept->getSize());
    ASSERT_EQ(0, kept->create());
    ASSERT_EQ(0, kept->create()) << "the held file is reused";
    const std::string kept_path = kept->getPath().c_str();
    WriteFile(kept_path, std::string(1234, 'x'));
    EXPECT_EQ(1234u, kept->getSize());
    kept.reset();
    EXPECT_TRUE(PathExists(kept_path)) << "destruction leaves the file";
    SFFile removed(dir_ / "missing");
    EXPECT_EQ(-1, removed.create());
    removed.setPrefix(folder_);
    ASSERT_EQ(0, removed.create());
    const std::string removed_path = removed.getPath().c_str();
    removed.remove();
    EXPECT_FALSE(PathExists(removed_path));
    EXPECT_EQ("", std::string(removed.getPath().c_str()));
    EXPECT_EQ(0u, removed.getSize());
    const std::string debug = "[DEBUG] utility(N): ";
    EXPECT_EQ(debug + "creating File '" + kept_path + "'\n" + debug + "use exist file\n" +
                  "[ERROR] file-op(N): mkstemp(" + folder_.c_str() +
                  "/missing/XXXXXX): No such file or directory\n" +
                  "[ERROR] utility(N): failed to create File ...\n" + debug + "creating File '" +
                  removed_path + "'\n" + debug + "removing File '" + removed_path + "'\n",
              Log());
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
    const std::string debug = "[DEBUG] utility(N): ";
    EXPECT_EQ(debug + "creating TempFile '" + removed_path + "'\n" + debug + "creating TempFile '" +
                  permanent_path + "'\n" + debug + "removing TempFile '" + removed_path + "'\n",
              Log());

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
    copied = empty;
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
