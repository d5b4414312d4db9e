// Private to the library's sources: what every module shares for its log
// lines and its locks. Never installed.
//
// Thread-safety: MutexLock is used by one thread at a time, like the mutex
// it holds.
#pragma once

#include <pthread.h>

#include "logger.h"

// Logs `fmt` through component `comp` with the source line as the first
// format argument, as every line of the library carries it. Each module
// names its own component in a short macro built on this one.
#define BV_LOG(comp, level, fmt, ...) \
    Logger::LogMsg(Logger::level, comp, fmt, __LINE__, ##__VA_ARGS__)

namespace bv_internal {

// Holds a pthread mutex for its scope: the one lock guard of the library.
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
