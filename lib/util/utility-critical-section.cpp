// CriticalSection: a logged scope guard over a caller's mutex or flock.
#include <sys/file.h>

#include <cerrno>

#include "sys-internal.h"
#include "util-internal.h"
#include "utility.h"

using bv_internal::g_sys;

CriticalSection::CriticalSection(pthread_mutex_t* cs_lock)
    : lock_mutex(cs_lock), lock_fd(-1), in_lock(false) {}

CriticalSection::CriticalSection(int fd) : lock_mutex(nullptr), lock_fd(fd), in_lock(false) {}

CriticalSection::~CriticalSection() {
    end();
}

void CriticalSection::start() {
    if (in_lock) return;
    if (lock_mutex != nullptr)
        lock(lock_mutex);
    else
        lock(lock_fd);
    in_lock = true;
    // Written inside the section so that it is ordered with the guarded work.
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): entering critical section\n");
}

void CriticalSection::end() {
    if (!in_lock) return;
    UTILITY_LOG(L_DEBUG, "[DEBUG] utility(%d): leaving critical section\n");
    if (lock_mutex != nullptr)
        unlock(lock_mutex);
    else
        unlock(lock_fd);
    in_lock = false;
}

int CriticalSection::lock(int fd) {
    // A signal ends the wait without the lock; the section must not run
    // unguarded for that.
    int rc;
    do rc = g_sys.flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    return rc;
}

int CriticalSection::lock(pthread_mutex_t* mutex) {
    return pthread_mutex_lock(mutex);
}

int CriticalSection::unlock(int fd) {
    return g_sys.flock(fd, LOCK_UN);
}

int CriticalSection::unlock(pthread_mutex_t* mutex) {
    return pthread_mutex_unlock(mutex);
}
