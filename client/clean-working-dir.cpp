// clean-working-dir: removes the hidden working directory inside the sync
// folder of every enabled session recorded in the client's system database.
// Single-threaded; all the work is done by the support library.
#include <getopt.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <list>
#include <string>

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
    "usage: clean-working-dir [-n|--dry-run] [--] SYSTEM_DB\n"
    "       clean-working-dir -h|--help | --version\n";
const char kTryHelp[] = "Try 'clean-working-dir --help' for more information.\n";

const char kHelp[] =
    "\n"
    "Removes the working directory .BrimvaleWorkingDirectory, with everything\n"
    "below it, inside the sync folder of every enabled session recorded in the\n"
    "system database SYSTEM_DB. The database itself is not changed.\n"
    "\n"
    "  -n, --dry-run  print each working directory that would be removed and\n"
    "                 exists, one per line; remove nothing, write nothing\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "  --             end of options (for a database path starting with '-')\n"
    "\n"
    "Options may be given in any order before SYSTEM_DB; arguments after it are\n"
    "ignored. A missing SYSTEM_DB is reported on standard output. Once SYSTEM_DB\n"
    "is given the exit status is 0, whatever the removals returned; errors,\n"
    "such as a working directory that could not be removed completely or a\n"
    "session whose sync folder is not an absolute path (skipped), are logged on\n"
    "standard error. Without SYSTEM_DB, or with an unknown option, the status\n"
    "is 2.\n";

// sqlite3_open reads a name starting with "file:" as a URI when URI names are
// enabled (they are in the usual builds, and the dry run needs them), which
// would open a different file than the one tested for existence. A relative
// name gets "./" in front; the file is the same, the spelling is no URI.
ustring LiteralDbPath(const ustring& db_path) {
    if (std::strncmp(db_path.c_str(), "file:", 5) == 0) return ustring("./") + db_path;
    return db_path;
}

// Copies the database at db_path into the shared in-memory database named by
// kSnapshotUri, reading the source through a read-only connection. Returns
// the connection that keeps the copy alive (the caller closes it when done),
// or null after logging why the copy failed.
sqlite3* SnapshotDatabase(const ustring& db_path) {
    sqlite3* dst = nullptr;
    int rc = sqlite3_open_v2(kSnapshotUri, &dst,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK) {
        CWD_LOG(L_ERR,
                "[ERROR] clean-working-dir(%d): Failed to open the in-memory copy. [%d] %s\n", rc,
                dst ? sqlite3_errmsg(dst) : sqlite3_errstr(rc));
        sqlite3_close(dst);
        return nullptr;
    }

    sqlite3* src = nullptr;
    rc = sqlite3_open_v2(LiteralDbPath(db_path).c_str(), &src, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(src, 300000);
        // VACUUM INTO writes a fresh copy in rollback-journal form: a page
        // copy would keep a WAL mode that an in-memory database cannot open.
        char* err = nullptr;
        char* sql = sqlite3_mprintf("VACUUM INTO '%q';", kSnapshotUri);
        rc = sql ? sqlite3_exec(src, sql, nullptr, nullptr, &err) : SQLITE_NOMEM;
        if (rc != SQLITE_OK)
            CWD_LOG(L_ERR,
                    "[ERROR] clean-working-dir(%d): Failed to read database at '%s'. [%d] %s\n",
                    db_path.c_str(), rc, err ? err : sqlite3_errstr(rc));
        sqlite3_free(err);
        sqlite3_free(sql);
    } else {
        CWD_LOG(
            L_ERR,
            "[ERROR] clean-working-dir(%d): Failed to open database at '%s' for reading. [%d] %s\n",
            db_path.c_str(), rc, src ? sqlite3_errmsg(src) : sqlite3_errstr(rc));
    }
    sqlite3_close(src);
    if (rc != SQLITE_OK) {
        sqlite3_close(dst);
        return nullptr;
    }
    return dst;
}

// The working directory of a session, or false after logging why the
// session is skipped: a relative stored folder (a damaged or hand-edited
// database) would be resolved against whatever directory the command was
// started in. The empty folder stands for the root directory, as "/" does.
bool WorkingDirOf(const SessionInfo& session, ustring& path) {
    const char* folder = session.sync_folder.c_str();
    if (folder[0] != '\0' && folder[0] != '/') {
        CWD_LOG(L_ERR,
                "[ERROR] clean-working-dir(%d): Session %llu skipped: its sync folder '%s' is not "
                "an absolute path\n",
                static_cast<unsigned long long>(session.session_id), folder);
        return false;
    }
    path = session.sync_folder + "/" + kWorkingDirName;
    return true;
}

// Lists the working directory of every enabled session that exists now
// (as a link or otherwise: the real run would remove a dangling link too).
void DryRun(const ustring& db_path) {
    if (sqlite3_config(SQLITE_CONFIG_URI, 1) != SQLITE_OK) {
        CWD_LOG(L_ERR,
                "[ERROR] clean-working-dir(%d): Cannot enable URI file names for the dry run\n");
        return;
    }
    sqlite3* snapshot = SnapshotDatabase(db_path);
    if (!snapshot) return;

    if (SystemDB::initialize(ustring(kSnapshotUri)) == 0) {
        std::list<SessionInfo> session_list;
        SystemDB::getEnabledSession(session_list);
        for (const SessionInfo& session : session_list) {
            ustring path;
            if (!WorkingDirOf(session, path)) continue;
            FILE_INFO info;
            if (GetFileInfo(path, info) == 0 && info.isExist) std::cout << path.c_str() << '\n';
        }
        SystemDB::destroy();
    }
    sqlite3_close(snapshot);
    std::cout.flush();
}

void Clean(const ustring& db_path) {
    SystemDB::initialize(LiteralDbPath(db_path));
    std::list<SessionInfo> session_list;
    SystemDB::getEnabledSession(session_list);
    for (const SessionInfo& session : session_list) {
        ustring path;
        if (!WorkingDirOf(session, path)) continue;
        if (FSRemove(path, false) != 0) {
            int err = errno;
            CWD_LOG(L_ERR,
                    "[ERROR] clean-working-dir(%d): Failed to remove working directory '%s' "
                    "completely. %s\n",
                    path.c_str(), std::strerror(err));
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    static const option kOptions[] = {
        {"dry-run", no_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    bool dry_run = false;
    int opt;
    // "+": options end at the database path, so that what follows it is
    // ignored rather than read as options.
    while ((opt = getopt_long(argc, argv, "+nh", kOptions, nullptr)) != -1) {
        switch (opt) {
            case 'n':
                dry_run = true;
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

    if (dry_run)
        DryRun(db_path);
    else
        Clean(db_path);
    return 0;
}
