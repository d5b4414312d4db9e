// CriticalSection over a caller's mutex and over a caller's descriptor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "logger.h"
#include "test_support.h"
#include "utility.h"

namespace {

const std::string kEnter = "\\[DEBUG\\] utility\\([0-9]+\\): entering critical section\n";
const std::string kLeave = "\\[DEBUG\\] utility\\([0-9]+\\): leaving critical section\n";

std::string Lines(std::initializer_list<std::string> bodies) {
    std::string re = "^";
    for (const auto& b : bodies) re += std::string(testutil::kTimestampRe) + b;
    return re + "$";
}

// True when another thread can take the mutex right now (and gives it back).
bool FreeForOtherThread(pthread_mutex_t* m) {
    bool free = false;
    std::thread t([&] {
        if (pthread_mutex_trylock(m) == 0) {
            free = true;
            pthread_mutex_unlock(m);
        }
    });
    t.join();
    return free;
}

class CriticalSectionThreads : public ::testing::Test {
  protected:
    void SetUp() override { Logger::log_level[ustring("utility_debug")] = Logger::L_DEBUG; }
    void TearDown() override { Logger::log_level.erase(ustring("utility_debug")); }
};

TEST_F(CriticalSectionThreads, MutexIsHeldBetweenStartAndEnd) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    testutil::StderrCapture cap;
    {
        CriticalSection cs(&m);
        EXPECT_TRUE(FreeForOtherThread(&m)) << "construction takes nothing";
        cs.start();
        EXPECT_FALSE(FreeForOtherThread(&m));
        cs.end();
        EXPECT_TRUE(FreeForOtherThread(&m));
        cs.start();  // may be entered again
        EXPECT_FALSE(FreeForOtherThread(&m));
    }  // the destructor leaves
    EXPECT_TRUE(FreeForOtherThread(&m));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(log, std::regex(Lines({kEnter, kLeave, kEnter, kLeave})))) << log;
}

TEST_F(CriticalSectionThreads, RepeatedStartLocksOnceAndLateEndDoesNothing) {
    // A recursive mutex would count a second lock, which then outlives end().
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);

    testutil::StderrCapture cap;
    {
        CriticalSection cs(&m);
        cs.start();
        cs.start();
        cs.end();
        EXPECT_TRUE(FreeForOtherThread(&m));
        // Taken by this thread outside the guard: a stray unlock would free it.
        pthread_mutex_lock(&m);
        cs.end();
        EXPECT_FALSE(FreeForOtherThread(&m));
        pthread_mutex_unlock(&m);
    }
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(log, std::regex(Lines({kEnter, kLeave})))) << log;
    pthread_mutex_destroy(&m);
}

TEST_F(CriticalSectionThreads, UnusedGuardTouchesNothingAndLogsNothing) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    testutil::StderrCapture cap;
    pthread_mutex_lock(&m);  // held elsewhere: an unlock by the guard would show
    { CriticalSection cs(&m); }
    EXPECT_FALSE(FreeForOtherThread(&m));
    pthread_mutex_unlock(&m);
    { CriticalSection cs(-1); }
    EXPECT_EQ("", cap.Stop());
}

TEST_F(CriticalSectionThreads, DescriptorLockExcludesAnotherOpenFileDescription) {
    testutil::TempDir dir;
    const std::string path = dir / "lock";
    testutil::WriteFile(path, "");
    int fd1 = open(path.c_str(), O_RDWR);
    int fd2 = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd1, 0);
    ASSERT_GE(fd2, 0);

    testutil::StderrCapture cap;
    {
        CriticalSection cs(fd1);
        EXPECT_EQ(0, flock(fd2, LOCK_EX | LOCK_NB)) << "construction takes nothing";
        ASSERT_EQ(0, flock(fd2, LOCK_UN));
        cs.start();
        errno = 0;
        EXPECT_EQ(-1, flock(fd2, LOCK_EX | LOCK_NB));
        EXPECT_EQ(EWOULDBLOCK, errno);

        // A second guard on the other description blocks until the first leaves.
        std::atomic<bool> entered{false};
        std::thread waiter([&] {
            CriticalSection other(fd2);
            other.start();
            entered = true;
            other.end();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(entered.load());
        cs.end();
        waiter.join();
        EXPECT_TRUE(entered.load());
    }
    EXPECT_EQ(0, flock(fd2, LOCK_EX | LOCK_NB));
    std::string log = cap.Stop();
    EXPECT_TRUE(std::regex_match(log, std::regex(Lines({kEnter, kLeave, kEnter, kLeave})))) << log;
    close(fd1);
    close(fd2);
}

}  // namespace
