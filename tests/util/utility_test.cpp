// Passwords, Base64 (against the fuzz target's model), the critical section, scoped and
// temporary files, user names; the lock and the files at every failure point of their calls.
#include "utility.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../../fuzz/base64_fuzz.cpp"
#include "logger.h"
#include "test_support.h"

namespace {

using namespace testutil;

// SyncPassEnc or SyncPassDec of `in`, into a string that was not empty.
std::string Pass(void (*fn)(const std::string&, std::string&), const std::string& in) {
    std::string out = "stale";
    fn(in, out);
    return out;
}

// What the codec model cannot know: the cipher. Known answers from an independent one: printf
// '%s' "$PASSWORD" | openssl enc -bf-cfb -provider legacy -provider default -K
// 591e7c3a591e7c3a591e7c3a591e7c3a -iv 0000000000000000 -nosalt | base64 -w0 (OpenSSL 3.0.19;
// the key repeated gives the same key schedule).
TEST(PasswordTest, StoredFormsAgreeWithAnIndependentCipher) {
    struct Password {
        std::string clear;
        std::string stored;
    };
    const Password passwords[] = {
        {"a", "8A=="},
        {"correct horse battery staple", "8v2mTXPhJfUvUkdkw/lwjNXmvkFdZTLjX+53Zg=="},
        {"Gr\u00fc\u00dfe!", "1uAXg9UdNPQ="},
        {"", ""}};
    for (const Password& password : passwords) {
        EXPECT_EQ(password.stored, Pass(SyncPassEnc, password.clear)) << "encrypting";
        EXPECT_EQ(password.clear, Pass(SyncPassDec, password.stored)) << "decrypting";
    }
}

// The fuzz target's model of the codec (strict decoding at several rooms, both encoders, the
// password round trip) on inputs from a fixed seed: mostly Base64 text, some of it padded,
// some with one fault, every 100th longer than any fixed buffer of old.
TEST(Base64Model, GeneratedInputsAgreeWithTheRules) {
    static const std::string kFaults("=-_ .\n\x80\0", 8);
    testutil::TempDir dir;
    const std::string log = dir / "stderr";
    const int status = RunInChild([&] {
        if (!RedirectStderrTo(log)) return 3;
        std::mt19937 gen(1);
        for (int input = 0; input < 3000; ++input) {
            std::string text(input % 100 == 0 ? 10000 + gen() % 8 : gen() % 40, 'A');
            for (char& symbol : text)  // every 4th input any bytes, for the encoders
                symbol = input % 4 == 3 ? static_cast<char>(gen()) : CBase64Table(int(gen()));
            if (gen() % 3 == 0 && !text.empty()) text.back() = '=';
            if (gen() % 3 == 0 && text.size() > 1) text[text.size() - 2] = '=';
            if (gen() % 3 == 0 && !text.empty()) text[gen() % text.size()] = kFaults[gen() % 8];
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        return 0;
    });
    EXPECT_EQ(0, status) << ReadFile(log);
    // Beyond the model: no room at all, and the alphabet's index taken modulo 64.
    char out[4];
    size_t no_room = 0;
    EXPECT_FALSE(EncBase64Dec("TWFu", 4, out, &no_room)) << "decoded without room";
    EXPECT_EQ(0u, no_room) << "the room told changed";
    EXPECT_EQ('0', CBase64Table(64 + 52)) << "high bits of the value counted";
    EXPECT_EQ('/', CBase64Table(-1)) << "a negative value's low 6 bits not taken";
}

class UtilityTest : public ::testing::Test {
  protected:
    void SetUp() override { Logger::log_level[ustring("utility_debug")] = Logger::L_DEBUG; }
    void TearDown() override { Logger::log_level.erase(ustring("utility_debug")); }
    TempDir dir_;
    ustring folder_ = dir_.path();
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
    ForEachCallError(
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
                run.rc == 0 ? "[DEBUG] utility(N): creating " + kind + " '" + created + "'\n"
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
}

TEST_F(UtilityTest, ScopedFilesAtEveryFailurePoint) {
    CreateAndRemoveAtEveryFailurePoint<SFFile>(folder_.c_str(), "File");
    CreateAndRemoveAtEveryFailurePoint<TempFile>(folder_.c_str(), "TempFile");
}

// Its creating and removing are pinned at every failure point above.
TEST_F(UtilityTest, SFFileNamesAFileItNeverRemovesByItself) {
    auto kept = std::make_unique<SFFile>("");
    kept->setPrefix(folder_);
    EXPECT_EQ(0u, kept->getSize()) << "before creating";
    ASSERT_EQ(0, kept->create());
    ASSERT_EQ(0, kept->create()) << "the held file is reused";
    const std::string kept_path = kept->getPath().c_str();
    unlink(kept_path.c_str());
    EXPECT_EQ(0u, kept->getSize()) << "of a file another removed";
    WriteFile(kept_path, std::string(1234, 'x'));
    EXPECT_EQ(1234u, kept->getSize()) << "of a file another wrote";
    kept.reset();
    EXPECT_TRUE(PathExists(kept_path)) << "destruction leaves the file";
    EXPECT_EQ(1, CountEntries(dir_.path())) << "one file, made in the prefix set";
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
    EXPECT_TRUE(PathExists(permanent_path)) << "a permanent file removed";

    auto creator = std::make_unique<TempFile>(folder_);
    ASSERT_EQ(0, creator->create());
    const std::string shared = creator->getPath().c_str();
    TempFile copied(*creator), assigned(folder_), empty(folder_);
    assigned = copied;
    EXPECT_EQ(shared, assigned.getPath().c_str()) << "the path not assigned";
    EXPECT_EQ(-1, copied.create()) << "a sharer of a live file cannot create";
    creator.reset();
    EXPECT_TRUE(PathExists(shared)) << "two owners remain";
    assigned = empty;  // stops owning and holds nothing
    EXPECT_EQ("", std::string(assigned.getPath().c_str())) << "assigning an empty one kept a path";
    ASSERT_EQ(0, assigned.create());
    const std::string own = assigned.getPath().c_str();
    assigned = copied;  // the sole owner's file goes first
    EXPECT_FALSE(PathExists(own)) << "its own file kept";
    assigned.remove();  // for every owner; copied keeps the path but owns nothing
    EXPECT_FALSE(PathExists(shared)) << "remove() left the shared file";
    WriteFile(shared, "not ours");
    copied = assigned;  // already co-holders: the empty path is copied all the same
    EXPECT_EQ("", std::string(copied.getPath().c_str())) << "copying a co-holder kept the path";
    ASSERT_EQ(0, copied.create()) << "no live file is held any more";
    const std::string fresh = copied.getPath().c_str();
    assigned = empty;  // the former co-holder leaves: the new file is not its own
    EXPECT_TRUE(PathExists(fresh)) << "removed by a non-owner";
    copied = TempFile(empty);  // a copy of one holding nothing, which holds nothing either
    EXPECT_FALSE(PathExists(fresh)) << "its one owner removed it";
    EXPECT_EQ("not ours", ReadFile(shared)) << "a stranger's file touched";
    EXPECT_EQ(2, CountEntries(dir_.path())) << "other than the stranger and the permanent file";
}

TEST(NamesTest, UserNamesSplitAtTheirLastSeparator) {
    struct Split {
        std::string input;
        const char* delimiter;  // none: ParseUsrName, preferring "/" to "\"
        std::string before;
        std::string after;
    };
    const Split splits[] = {{"CORP\\alice", nullptr, "CORP", "alice"},
                            {"alice", nullptr, "", "alice"},
                            {"DOMAIN\\a/b", nullptr, "DOMAIN\\a", "b"},
                            {"a/b", "", "", "a/b"},
                            {"one:two:", ":", "one:two", ""}};
    for (const Split& split : splits) {
        std::string first = "stale";
        std::string second = split.delimiter ? "stale" : split.input;
        if (split.delimiter)
            ParsingByDelimiter(split.input, first, second, split.delimiter);
        else
            ParseUsrName(second, first);
        EXPECT_EQ(split.before, first) << split.input << ": the part before";
        EXPECT_EQ(split.after, second) << split.input << ": the part after";
    }
}

}  // namespace
