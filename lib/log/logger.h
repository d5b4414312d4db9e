// Process-wide diagnostic channel of the support library. Every module logs
// a line with a level, a component name and a printf-style format; a
// per-component threshold decides whether the line is written, and the line
// goes to a stream (with a timestamp), to syslog, or to a log file that is
// rotated by size. The logger works without any set-up: until Initialize is
// called, lines of level L_WARNING or more urgent go to standard error.
// Module lib/log/ (with config.h), above ustring; log-internal.h holds the
// BV_LOG macro every module builds its own on, and the library's one lock
// guard.
//
// Thread-safety: LogMsg, LogMsg2 and LogMSG_c may be called from any thread;
// one mutex (log_lock) serialises the threshold lookup, the write and any
// rotation, so lines never interleave. Initialize, Destroy and a direct call
// of Rotate take no lock: call them only while no other thread logs
// (start-up, shut-down, tests).
//
// Usage:
//   Logger::Initialize(Logger::FILE_LOGGER, "/var/log/app.log", "/etc/app/levels", 5);
//   Logger::LogMsg(Logger::L_ERR, "file_op_debug", "[ERROR] file-op(%d): %s\n", __LINE__,
//                  strerror(errno));
//   Logger::Destroy();
#pragma once

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <map>

#include "ustring.h"

class Logger {
  public:
    // Output channel. Any value outside 0..4 behaves as ANDROID_LOGGER.
    // STDOUT_LOGGER, STDERR_LOGGER and FILE_LOGGER all write to whatever
    // stream log_fp holds; only FILE_LOGGER counts bytes and rotates.
    enum Type : int {
        ANDROID_LOGGER = 0,  // message to standard error, no timestamp
        SYSLOG_LOGGER = 1,   // message to syslog at LOG_ERR, no timestamp
        STDOUT_LOGGER = 2,   // timestamp and message to log_fp
        STDERR_LOGGER = 3,   // timestamp and message to log_fp
        FILE_LOGGER = 4,     // as above, with size accounting and rotation
    };

    // Lower is more urgent. A line is written when its level is less than or
    // equal to its component's threshold. Fixed to int so that any threshold
    // or level read from a file or passed through LogMSG_c is representable.
    enum Level : int {
        L_EMERG = 0,
        L_ALERT = 1,
        L_CRIT = 2,
        L_ERR = 3,
        L_WARNING = 4,
        L_NOTICE = 5,
        L_INFO = 6,
        L_DEBUG = 7,
    };

    // Threshold of a component that has no entry in log_level.
    static constexpr int kDefaultThreshold = L_WARNING;
    // A file channel is rotated once more than this many bytes were written.
    static constexpr int kRotateSize = 1048576;

    Logger() = delete;

    // Stores 4 under "default_component", then every key of the level file
    // (key = value lines; empty level_path for none) with its value read as a
    // decimal integer; an unreadable file or one with a syntax error adds
    // nothing. Sets log_type to `type` in every case, then selects the
    // channel: syslog (no stream), standard output, standard error, or, for
    // FILE_LOGGER, ANDROID_LOGGER and any other value, the file log_path
    // opened for appending, with log_size 0 and the given rotate_cnt.
    // Returns 0, or -1 when the file cannot be opened (or log_path is empty);
    // the stream, log_path, log_size and rotate_cnt then stay as they were.
    // Never closes a stream opened by an earlier call.
    static int Initialize(Type type, const ustring& log_path, const ustring& level_path,
                          int rotate_cnt);

    // Writes one line if `level` passes the threshold of `comp`. Nothing in
    // `fmt` is evaluated for a dropped line. The caller supplies the whole
    // line, trailing newline included; stream channels prefix the timestamp
    // "%b %d %H:%M:%S " and flush after every line. Never reports an error;
    // log_size counts the bytes the stream took, a failed print none.
    static void LogMsg(Level level, const ustring& comp, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));

    // LogMsg with an argument list the caller has started (and ends).
    static void LogMsg2(Level level, const ustring& comp, const char* fmt, va_list args)
        __attribute__((format(printf, 3, 0)));

    // Renames log_path_0 .. log_path_(n-2) one number up, removes
    // log_path_(rotate_cnt-1), then moves the current file to log_path_0 and
    // reopens log_path for appending. Returns 0 on success, -1 on failure.
    // A rotated file that cannot be renamed (for another reason than being
    // missing) ends the renumbering there and nothing is removed, so no
    // rotated file is overwritten; the current file then stays in place.
    // When the current file is not moved aside it is reopened for appending so
    // that logging goes on in it; only a failed reopen leaves log_fp null
    // (every later line is then dropped until the next Initialize). With an
    // empty log_path there is no file to rotate: -1, nothing is touched.
    // Called by LogMsg under log_lock; a direct call takes no lock.
    static int Rotate();

    // Ends file logging: for FILE_LOGGER closes the file and switches to
    // STDERR_LOGGER on standard output (no accounting, empty log_path,
    // rotate_cnt 32). Does nothing for any other type. Thresholds stay.
    static void Destroy();

    // Process-wide state, public so that set-up code and tests can inspect
    // and reset it. Writers other than the operations above must hold
    // log_lock or be sure no other thread logs.
    static std::map<ustring, int> log_level;  // threshold per component name
    static Type log_type;                     // current channel
    static FILE* log_fp;                      // stream of types 2..4; null: none
    static int log_size;                      // bytes since the file was opened; -1: off
    static int rotate_cnt;                    // rotation depth
    static ustring log_path;                  // current log file, "" when none
    static pthread_mutex_t log_lock;          // serialises writers (not recursive)
};

// For callers holding only a C string: LogMsg2 with `comp` taken as UTF-8
// (null reads as the empty name) and `level` passed through unchanged.
void LogMSG_c(int level, char* comp, const char* fmt, va_list args)
    __attribute__((format(printf, 3, 0)));
