// Logger: threshold lookup, the four channels, size accounting and rotation.

#include "logger.h"

#include <syslog.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "config.h"
#include "log-internal.h"
#include "sys-internal.h"

using bv_internal::g_sys;

// The map and the path are built before any unprioritised static object of
// any translation unit, and the stream default is set at the same time, so a
// line logged from another module's static initialisation already sees the
// start-up defaults (standard error, threshold L_WARNING).
std::map<ustring, int> Logger::log_level __attribute__((init_priority(101)));
ustring Logger::log_path __attribute__((init_priority(101)));
Logger::Type Logger::log_type = Logger::STDOUT_LOGGER;
FILE* Logger::log_fp = nullptr;
int Logger::log_size = -1;
int Logger::rotate_cnt = 50;
pthread_mutex_t Logger::log_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// stderr is not a constant expression, hence a constructor rather than an
// initialiser; see the note above log_level.
struct DefaultStream {
    DefaultStream() { Logger::log_fp = stderr; }
};
DefaultStream g_default_stream __attribute__((init_priority(101)));

// log_fp is read without the lock by the early-out of LogMsg2 while a
// rotation in another thread may replace it; atomic access keeps that read
// well-defined without changing the member's type.
FILE* LoadStream() {
    return __atomic_load_n(&Logger::log_fp, __ATOMIC_RELAXED);
}
void StoreStream(FILE* fp) {
    __atomic_store_n(&Logger::log_fp, fp, __ATOMIC_RELAXED);
}

// The process's own standard streams are never closed by the logger: a file
// channel that failed to open keeps whatever stream it had before.
void CloseOwned(FILE* fp) {
    if (fp != nullptr && fp != stdout && fp != stderr) g_sys.fclose(fp);
}

// Rotated file number i: "<path>_<i>", cut to 1023 bytes like every name
// the rotation builds.
void RotatedName(char (&buf)[1024], const char* base, long long i) {
    snprintf(buf, sizeof buf, "%s_%lld", base, i);
}

}  // namespace

int Logger::Initialize(Type type, const ustring& path, const ustring& level_path, int rotate) {
    log_level[ustring("default_component")] = kDefaultThreshold;
    if (!level_path.empty()) {
        Config levels;
        levels.read(level_path);  // unreadable or malformed: simply no entries
        for (auto& kv : levels) log_level[kv.first] = levels.get_int(kv.first);
    }

    log_type = type;
    switch (type) {
        case SYSLOG_LOGGER:
            StoreStream(nullptr);
            log_path.clear();
            log_size = -1;
            return 0;
        case STDOUT_LOGGER:
            StoreStream(stdout);
            log_path.clear();
            log_size = -1;
            return 0;
        case STDERR_LOGGER:
            StoreStream(stderr);
            log_path.clear();
            log_size = -1;
            return 0;
        default:
            break;
    }
    if (path.empty()) return -1;
    FILE* fp = g_sys.fopen(path.c_str(), "a");
    if (fp == nullptr) return -1;
    StoreStream(fp);
    log_size = 0;
    log_path = path;
    rotate_cnt = rotate;
    return 0;
}

void Logger::LogMsg(Level level, const ustring& comp, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    LogMsg2(level, comp, fmt, args);
    va_end(args);
}

void Logger::LogMsg2(Level level, const ustring& comp, const char* fmt, va_list args) {
    if (log_type != SYSLOG_LOGGER && LoadStream() == nullptr) return;
    if (fmt == nullptr) return;

    // held() is not consulted: a default mutex fails only on misuse, and a
    // line written unserialised is worth more than a line lost.
    bv_internal::MutexLock lock(&log_lock);
    auto it = log_level.find(comp);
    const int threshold = it == log_level.end() ? kDefaultThreshold : it->second;
    if (static_cast<int>(level) > threshold) return;

    long long size = 0;
    switch (log_type) {
        case SYSLOG_LOGGER:
            vsyslog(LOG_ERR, fmt, args);
            break;
        case STDOUT_LOGGER:
        case STDERR_LOGGER:
        case FILE_LOGGER: {
            if (log_fp == nullptr) break;
            char stamp[512];
            stamp[0] = '\0';
            time_t now = time(nullptr);
            struct tm tm_now;
            if (localtime_r(&now, &tm_now) != nullptr)
                strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tm_now);
            const int head = static_cast<int>(g_sys.fwrite(stamp, 1, strlen(stamp), log_fp));
            const int body = g_sys.vfprintf(log_fp, fmt, args);
            g_sys.fflush(log_fp);
            // Counts what reached the stream: a failed message (-1) must not
            // take a byte off the stamp that was written before it.
            size = static_cast<long long>(head) + (body > 0 ? body : 0);
            break;
        }
        default:  // ANDROID_LOGGER and anything outside the enumeration
            g_sys.vfprintf(stderr, fmt, args);
            break;
    }

    if (log_type == FILE_LOGGER && size >= 0 && log_size >= 0) {
        const long long total = log_size + size;
        log_size = total > INT_MAX ? INT_MAX : static_cast<int>(total);
        if (log_size > kRotateSize) {
            Rotate();
            log_size = 0;
        }
    }
}

int Logger::Rotate() {
    if (log_path.empty()) return -1;
    const char* base = log_path.c_str();
    char from[1024];
    char to[1024];

    // Oldest first, so that no rename overwrites a file still to be moved.
    // Gaps in the numbering are normal; a file that could not be moved for
    // any other reason is still in the way of the next one, so renumbering
    // stops there and the current file stays, rather than overwrite it.
    const long long n = rotate_cnt;
    bool renumbered = true;
    for (long long i = n - 2; i >= 0 && renumbered; --i) {
        RotatedName(from, base, i);
        RotatedName(to, base, i + 1);
        renumbered = g_sys.rename(from, to) == 0 || errno == ENOENT;
    }
    if (renumbered) {
        RotatedName(to, base, static_cast<long long>(rotate_cnt) - 1);
        g_sys.unlink(to);
    }

    // The stream is not published as null in between: LogMsg2's unlocked
    // early-out would take that for a closed channel and drop the lines of
    // other threads that are about to wait for this lock.
    CloseOwned(log_fp);

    RotatedName(to, base, 0);
    const int result = renumbered && g_sys.rename(base, to) == 0 ? 0 : -1;
    // Even when the current file could not be moved aside, reopen it: losing
    // every later line is worse than a file that grows past its limit.
    FILE* fp = g_sys.fopen(base, "a");
    StoreStream(fp);
    if (fp == nullptr) return -1;
    return result;
}

void Logger::Destroy() {
    if (log_type != FILE_LOGGER) return;
    CloseOwned(log_fp);
    log_type = STDERR_LOGGER;
    StoreStream(stdout);
    log_size = -1;
    log_path.clear();
    rotate_cnt = 32;
}

void LogMSG_c(int level, char* comp, const char* fmt, va_list args) {
    Logger::LogMsg2(static_cast<Logger::Level>(level), ustring(comp != nullptr ? comp : ""), fmt,
                    args);
}
