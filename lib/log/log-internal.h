// Private to the library's sources: what every module shares for its log
// lines and its locks. Never installed.
//
// Thread-safety: MutexLock is used by one thread at a time, like the mutex
// it holds. Mutex and CondVar are shared by the threads they serve; state
// that a Mutex guards names it (GUARDED_BY), and clang's -Wthread-safety
// proves at compile time that it is touched only under that lock.
#pragma once

#include <pthread.h>

#include <cassert>

#include "logger.h"

// Logs `fmt` through component `comp` with the source line as the first
// format argument, as every line of the library carries it. Each module
// names its own component in a short macro built on this one.
#define BV_LOG(comp, level, fmt, ...) \
    Logger::LogMsg(Logger::level, comp, fmt, __LINE__, ##__VA_ARGS__)

// Clang's thread-safety analysis; other compilers ignore the annotations.
#if defined(__clang__)
#define BV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BV_THREAD_ANNOTATION(x)
#endif
#define CAPABILITY(name) BV_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY BV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(mu) BV_THREAD_ANNOTATION(guarded_by(mu))
#define REQUIRES(...) BV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) BV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) BV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace bv_internal {

// A mutex the analysis knows. Not recursive. pthread_mutex_lock on a default
// mutex fails only for misuse (EDEADLK, EINVAL), which the assertion catches.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    ~Mutex() { pthread_mutex_destroy(&mu_); }
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() {
        [[maybe_unused]] int rc = pthread_mutex_lock(&mu_);
        assert(rc == 0);
    }
    void Unlock() RELEASE() { pthread_mutex_unlock(&mu_); }

  private:
    friend class CondVar;
    pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
};

// A condition variable waited on under one Mutex.
class CondVar {
  public:
    CondVar() = default;
    ~CondVar() { pthread_cond_destroy(&cv_); }
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void Wait(Mutex* mu) REQUIRES(mu) { pthread_cond_wait(&cv_, &mu->mu_); }
    void SignalAll() { pthread_cond_broadcast(&cv_); }

  private:
    pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexGuard {
  public:
    explicit MutexGuard(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
    ~MutexGuard() RELEASE() { mu_->Unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

  private:
    Mutex* mu_;
};

// Holds a pthread mutex for its scope (the logger, the name generator and the
// store lock, whose mutexes callers may see).
// A mutex that could not be taken (pthread_mutex_lock failed) is not
// released; held() tells the caller.
class MutexLock {
  public:
    explicit MutexLock(pthread_mutex_t* mu) : mu_(pthread_mutex_lock(mu) == 0 ? mu : nullptr) {}
    ~MutexLock() {
        if (mu_ != nullptr) pthread_mutex_unlock(mu_);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    bool held() const { return mu_ != nullptr; }

  private:
    pthread_mutex_t* mu_;
};

}  // namespace bv_internal
