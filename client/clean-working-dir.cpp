// clean-working-dir: removes the hidden working directory inside the sync
// folder of every enabled session recorded in the client's system database.
// All the work is done by the support library on the main thread; with
// --progress a second thread only redraws a status line from the removal's
// running count.
#include <getopt.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db-snapshot.h"
#include "file-op.h"
#include "logger.h"
#include "system-db.h"
#include "ustring.h"
#include "utility.h"

#ifndef BRIMVALE_VERSION
#define BRIMVALE_VERSION "unknown"
#endif

namespace {

const char kWorkingDirName[] = ".BrimvaleWorkingDirectory";

// The dry run reads the sessions from an in-memory copy of the database, so
// that the schema set-up of SystemDB::initialize never touches the real file.
const char kSnapshotUri[] = "file:/clean-working-dir-snapshot?vfs=memdb";

const ustring kCmdComponent("clean_working_dir");
#define CWD_LOG(level, fmt, ...) \
    Logger::LogMsg(Logger::level, kCmdComponent, fmt, __LINE__, ##__VA_ARGS__)

const char kSynopsis[] =
    "usage: clean-working-dir [-n|--dry-run] [-v|--verbose] [--progress] [--] SYSTEM_DB\n"
    "       clean-working-dir -h|--help | --version\n";
const char kTryHelp[] = "Try 'clean-working-dir --help' for more information.\n";

const char kHelp[] =
    "\n"
    "Removes the working directory .BrimvaleWorkingDirectory, with everything\n"
    "below it, inside the sync folder of every enabled session recorded in the\n"
    "system database SYSTEM_DB. The database gets the client's tables when it\n"
    "lacks them, and nothing else.\n"
    "\n"
    "  -n, --dry-run   print each working directory that would be removed and\n"
    "                  exists, one per line; remove nothing, write nothing\n"
    "  -v, --verbose   after each enabled session, say what happened to its working\n"
    "                  directory (entries and space freed); with --dry-run, add\n"
    "                  the entries and size of each working directory listed\n"
    "      --progress  while removing, show the session, its folder and the\n"
    "                  entries removed so far on standard error, if a terminal\n"
    "  -h, --help      print this help and exit\n"
    "      --version   print the version and exit\n"
    "  --              end of options (for a database path starting with '-')\n"
    "\n"
    "Options may be given in any order before SYSTEM_DB; arguments after it are\n"
    "ignored. A missing SYSTEM_DB is reported on standard output. Once SYSTEM_DB\n"
    "is given the exit status is 0, whatever the removals returned; errors,\n"
    "such as a working directory that could not be removed completely or a\n"
    "session whose sync folder is not an absolute path (skipped), are logged on\n"
    "standard error. Without SYSTEM_DB, or with an unknown option, the status\n"
    "is 2.\n";

// The dry run words a failed copy by the step that failed.
void LogSnapshotError(const ustring& db_path, const SnapshotError& error) {
    switch (error.step) {
        case SnapshotError::kMemory:
            CWD_LOG(L_ERR,
                    "[ERROR] clean-working-dir(%d): Failed to open the in-memory copy. [%d] %s\n",
                    error.rc, error.message.c_str());
            break;
        case SnapshotError::kOpen:
            CWD_LOG(L_ERR,
                    "[ERROR] clean-working-dir(%d): Failed to open database at '%s' for reading. "
                    "[%d] %s\n",
                    db_path.c_str(), error.rc, error.message.c_str());
            break;
        default:
            CWD_LOG(L_ERR,
                    "[ERROR] clean-working-dir(%d): Failed to read database at '%s'. [%d] %s\n",
                    db_path.c_str(), error.rc, error.message.c_str());
            break;
    }
}

struct Options {
    bool dry_run = false;
    bool verbose = false;
    bool progress = false;
};

// Sizes as du -h writes them, so that the two can be compared: powers of
// 1024, rounded up, with one decimal below 10 units.
std::string HumanSize(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static const char kUnits[] = "KMGTPE";
    using Wide = unsigned __int128;
    int unit = 0;
    Wide scale = 1024;
    while (unit < 5 && bytes >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    char text[32];
    Wide tenths = (Wide(bytes) * 10 + scale - 1) / scale;
    if (tenths < 100) {
        std::snprintf(text, sizeof text, "%u.%u%c", unsigned(tenths / 10), unsigned(tenths % 10),
                      kUnits[unit]);
        return text;
    }
    Wide whole = (Wide(bytes) + scale - 1) / scale;
    if (whole >= 1024 && unit < 5) return std::string("1.0") + kUnits[unit + 1];
    std::snprintf(text, sizeof text, "%u%c", unsigned(whole), kUnits[unit]);
    return text;
}

std::string Entries(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

// One status line on standard error, redrawn by its own thread at most ten
// times a second from the removal's running count. The removal only bumps an
// atomic counter, so a slow terminal never holds it up. Whatever else goes to
// the terminal is written through Quiet, with the line cleared, so that the
// two never interleave.
class ProgressLine {
  public:
    ProgressLine(size_t total, const std::atomic<uint64_t>& entries)
        : total_(total), entries_(entries) {
        winsize ws{};
        if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0) columns_ = ws.ws_col;
        thread_ = std::thread([this] { Loop(); });
    }
    ~ProgressLine() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
        ClearLocked();
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Session n of total starts; shown at once unless a draw was just made.
    void Begin(size_t n, const ustring& folder) {
        std::lock_guard<std::mutex> lock(mu_);
        n_ = n;
        folder_ = folder.c_str();
        if (Clock::now() - last_ >= kInterval) DrawLocked();
    }

    template <class Fn>
    void Quiet(Fn fn) {
        std::lock_guard<std::mutex> lock(mu_);
        ClearLocked();
        fn();
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{100};

    void Loop() {
        std::unique_lock<std::mutex> lock(mu_);
        while (!cv_.wait_for(lock, kInterval, [this] { return stop_; })) {
            if (n_ > 0 && Clock::now() - last_ >= kInterval) DrawLocked();
        }
    }

    void DrawLocked() {
        std::string head = "[" + std::to_string(n_) + "/" + std::to_string(total_) + "] ";
        std::string tail =
            ": " + std::to_string(entries_.load(std::memory_order_relaxed)) + " entries removed";
        std::string folder = folder_;
        // A line wider than the terminal would wrap, and "\r" would then
        // redraw only its last row: the folder gives way from the left.
        size_t room = columns_ > 0 ? size_t(columns_) - 1 : SIZE_MAX;
        if (head.size() + folder.size() + tail.size() > room) {
            size_t keep =
                room > head.size() + tail.size() + 3 ? room - head.size() - tail.size() - 3 : 0;
            size_t from = folder.size() - keep;
            while (from < folder.size() && (folder[from] & 0xC0) == 0x80)
                ++from;  // whole characters
            folder = "..." + folder.substr(from);
        }
        Write("\r" + head + folder + tail + "\033[K");
        drawn_ = true;
        last_ = Clock::now();
    }

    void ClearLocked() {
        if (drawn_) Write("\r\033[K");
        drawn_ = false;
    }

    static void Write(const std::string& text) {
        if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
            // Nothing to be done about a terminal that went away.
        }
    }

    const size_t total_;
    const std::atomic<uint64_t>& entries_;
    int columns_ = 0;
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool drawn_ = false;
    size_t n_ = 0;
    std::string folder_;
    Clock::time_point last_{};
    std::thread thread_;
};

// A relative stored folder (a damaged or hand-edited database) would be
// resolved against whatever directory the command was started in. The empty
// folder stands for the root directory, as "/" does.
bool HasAbsoluteFolder(const SessionInfo& session) {
    const char* folder = session.sync_folder.c_str();
    return folder[0] == '\0' || folder[0] == '/';
}

void LogSkipped(const SessionInfo& session) {
    CWD_LOG(L_ERR,
            "[ERROR] clean-working-dir(%d): Session %llu skipped: its sync folder '%s' is not an "
            "absolute path\n",
            static_cast<unsigned long long>(session.session_id), session.sync_folder.c_str());
}

ustring WorkingDirOf(const SessionInfo& session) {
    return session.sync_folder + "/" + kWorkingDirName;
}

// Lists the working directory of every enabled session that exists now
// (as a link or otherwise: the real run would remove a dangling link too),
// with what it holds when verbose.
void DryRun(const ustring& db_path, const Options& options) {
    if (sqlite3_config(SQLITE_CONFIG_URI, 1) != SQLITE_OK) {
        CWD_LOG(L_ERR,
                "[ERROR] clean-working-dir(%d): Cannot enable URI file names for the dry run\n");
        return;
    }
    std::vector<std::string> no_check;
    SnapshotError error;
    sqlite3* snapshot = SnapshotDatabase(kSnapshotUri, LiteralDbPath(db_path.c_str()),
                                         SQLITE_OPEN_READONLY, false, no_check, error);
    if (!snapshot) {
        LogSnapshotError(db_path, error);
        return;
    }

    if (SystemDB::initialize(ustring(kSnapshotUri)) == 0) {
        std::list<SessionInfo> session_list;
        SystemDB::getEnabledSession(session_list);
        for (const SessionInfo& session : session_list) {
            if (!HasAbsoluteFolder(session)) {
                LogSkipped(session);
                continue;
            }
            ustring path = WorkingDirOf(session);
            FILE_INFO info;
            if (GetFileInfo(path, info) != 0 || !info.isExist) continue;
            if (!options.verbose) {
                std::cout << path.c_str() << '\n';
                continue;
            }
            FSRemoveSummary summary;
            summary.want_bytes = true;
            if (FSCount(path, &summary) != 0) {
                int err = errno;
                CWD_LOG(L_ERR,
                        "[ERROR] clean-working-dir(%d): Failed to count the entries of working "
                        "directory '%s' completely. %s\n",
                        path.c_str(), std::strerror(err));
            }
            std::cout << path.c_str() << ": " << Entries(summary.entries) << ", "
                      << HumanSize(summary.bytes) << '\n';
        }
        SystemDB::destroy();
    }
    sqlite3_close(snapshot);
    std::cout.flush();
}

// The -v line for a session that was not skipped.
std::string Outcome(const ustring& path, int rc, const std::string& why,
                    const FSRemoveSummary& summary) {
    std::string quoted = std::string("'") + path.c_str() + "'";
    std::string freed = HumanSize(summary.bytes) + " freed";
    if (rc != 0)
        return "not removed completely " + quoted + ": " + why + "; " + Entries(summary.entries) +
               " removed, " + freed;
    if (summary.entries == 0) return "nothing to remove at " + quoted;
    return "removed " + quoted + ": " + Entries(summary.entries) + ", " + freed;
}

void Clean(const ustring& db_path, const Options& options) {
    SystemDB::initialize(ustring(LiteralDbPath(db_path.c_str())));
    std::list<SessionInfo> session_list;
    SystemDB::getEnabledSession(session_list);

    // Sizes are taken only for the report; counting entries costs nothing
    // worth saving, and the summary names a mount point left in place.
    FSRemoveSummary summary;
    summary.want_bytes = options.verbose;
    std::unique_ptr<ProgressLine> progress;
    if (options.progress && isatty(STDERR_FILENO))
        progress.reset(new ProgressLine(session_list.size(), summary.entries));
    auto quiet = [&](auto fn) {
        if (progress)
            progress->Quiet(fn);
        else
            fn();
    };

    size_t n = 0;
    for (const SessionInfo& session : session_list) {
        ++n;
        if (!HasAbsoluteFolder(session)) {
            quiet([&] {
                LogSkipped(session);
                if (options.verbose)
                    std::cout << "skipped session " << session.session_id << ": sync folder '"
                              << session.sync_folder.c_str() << "' is not an absolute path"
                              << std::endl;
            });
            continue;
        }
        ustring path = WorkingDirOf(session);
        summary.entries = 0;
        summary.bytes = 0;
        summary.mount_point.clear();
        if (progress) progress->Begin(n, session.sync_folder);
        int rc = FSRemove(path, false, &summary);
        int err = errno;
        std::string why = std::strerror(err);
        if (!summary.mount_point.empty())
            why += std::string("; mount point '") + summary.mount_point.c_str() + "' left in place";
        if (rc == 0 && !options.verbose) continue;
        quiet([&] {
            if (rc != 0)
                CWD_LOG(L_ERR,
                        "[ERROR] clean-working-dir(%d): Failed to remove working directory '%s' "
                        "completely. %s\n",
                        path.c_str(), why.c_str());
            if (options.verbose) std::cout << Outcome(path, rc, why, summary) << std::endl;
        });
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    static const option kOptions[] = {
        {"dry-run", no_argument, nullptr, 'n'},  {"verbose", no_argument, nullptr, 'v'},
        {"progress", no_argument, nullptr, 'P'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},  {nullptr, 0, nullptr, 0},
    };
    Options options;
    int opt;
    // "+": options end at the database path, so that what follows it is
    // ignored rather than read as options.
    while ((opt = getopt_long(argc, argv, "+nvh", kOptions, nullptr)) != -1) {
        switch (opt) {
            case 'n':
                options.dry_run = true;
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'P':
                options.progress = true;
                break;
            case 'h':
                std::cout << kSynopsis << kHelp;
                return 0;
            case 'V':
                std::cout << "clean-working-dir " BRIMVALE_VERSION "\n";
                return 0;
            default:  // getopt_long has named the offending option
                std::cerr << kSynopsis << kTryHelp;
                return 2;
        }
    }
    if (optind >= argc) {
        std::cerr << kSynopsis << kTryHelp;
        return 2;
    }

    ustring db_path;
    CodePageToNativeStr(argv[optind], db_path);
    if (!IsFileExist(db_path, false)) {
        std::cout << "System DB '" << db_path.c_str() << "' not existed !!" << std::endl;
        return 0;
    }

    if (options.dry_run)
        DryRun(db_path, options);
    else
        Clean(db_path, options);
    return 0;
}
