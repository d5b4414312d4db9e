// Small helpers shared by the unit tests of every module: a private
// temporary directory, capture of standard output and standard error,
// normalised log text, direct access to SQLite files, running a piece of a
// test in a forked (optionally unprivileged) child, and the means of fault
// injection (a private tmpfs, a full file system, a database locked by
// another process). Compiled once into the test support library.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testutil {

std::string ShellQuote(const std::string& s);

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes out of scope, whatever permissions the test left.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

// Redirects a file descriptor (1 or 2) into a temporary file until Stop().
// The matching stdio stream is flushed on both edges so that nothing buffered
// is lost or misattributed.
class FdCapture {
  public:
    explicit FdCapture(int fd);
    ~FdCapture() { Stop(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Restores the descriptor and returns everything written meanwhile.
    std::string Stop();

  private:
    int fd_;
    int file_ = -1;
    int saved_ = -1;
    std::string text_;
};

struct StderrCapture : FdCapture {
    StderrCapture() : FdCapture(2) {}
};
struct StdoutCapture : FdCapture {
    StdoutCapture() : FdCapture(1) {}
};

// Matches the logger's timestamp prefix "Mon DD HH:MM:SS ".
inline const char* kTimestampRe = "[A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] ";

// The text as a regular expression matching itself.
std::string RegexEscape(const std::string& text);

// Captured log lines with the timestamp prefix dropped and every source line
// of `module` ("system-db", "file-op", ...) replaced by N, so that
// expectations survive edits of the sources.
std::string NormalizeLog(const std::string& captured, const std::string& module);

std::string ReadFile(const std::string& path);

void WriteFile(const std::string& path, const std::string& content);

bool PathExists(const std::string& path);

// Rows of a query run on a separate connection, each value as text; NULL
// reads as "<NULL>". Throws on any SQLite error so a test cannot pass by
// reading nothing.
using Rows = std::vector<std::vector<std::string>>;
Rows QueryRows(const std::string& db_path, const std::string& sql);

// The single value of a one-row, one-column query.
std::string QueryValue(const std::string& db_path, const std::string& sql);

// Runs SQL on a separate read-write connection (creating the file if needed).
void ExecSql(const std::string& db_path, const std::string& sql);

// Runs fn in a forked child and returns its exit status (or 128 + signal).
// With drop_privileges, a root parent's child first becomes "nobody", so that
// permission checks apply even when the suite runs as root.
int RunInChild(const std::function<int()>& fn, bool drop_privileges = false);

// Runs a shell command and returns its exit status; output goes to the files
// given (or is discarded).
struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};
CommandResult RunCommand(const std::vector<std::string>& argv);

}  // namespace testutil

// ---- fault injection in forked children ----
// A child cannot use gtest assertions that its parent sees, so it writes its
// findings as key=value lines to a report opened before the fault (so that
// writing needs no new descriptor or disk space), and the parent checks them.
namespace testutil {

class ChildReport {
  public:
    explicit ChildReport(const std::string& path)
        : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)) {}
    ~ChildReport() {
        if (fd_ >= 0) close(fd_);
    }
    ChildReport(const ChildReport&) = delete;
    ChildReport& operator=(const ChildReport&) = delete;
    bool ok() const { return fd_ >= 0; }
    void Put(const std::string& key, long value) { Put(key, std::to_string(value)); }
    void Put(const std::string& key, const std::string& value) {
        std::string line = key + "=" + value + "\n";
        ssize_t n = write(fd_, line.data(), line.size());
        (void)n;
    }

  private:
    int fd_;
};

std::map<std::string, std::string> ReadChildReport(const std::string& path);

// Sends this process's standard error to `path` from now on.
bool RedirectStderrTo(const std::string& path);

// Mounts a tmpfs with `opts` (e.g. "size=512k") on `dir` inside a mount
// namespace private to the calling process, so the mount goes with it: call
// it in a RunInChild child only. Returns "" on success, else the reason
// (for a skip message).
std::string MountPrivateTmpfs(const std::string& dir, const std::string& opts);

// Writes into a new file at `path` until its file system refuses even one
// byte; returns the errno that stopped it (ENOSPC when it filled up).
int FillFileSystem(const std::string& path);

// Another process that opens the SQLite database at `db`, takes an exclusive
// lock ("BEGIN EXCLUSIVE", then `sql` inside the transaction) and commits
// after `millis`. The constructor returns once the lock is held (locked()),
// the destructor waits for the process to end.
class DatabaseLockHolder {
  public:
    DatabaseLockHolder(const std::string& db, int millis, const std::string& sql = "");
    ~DatabaseLockHolder();
    DatabaseLockHolder(const DatabaseLockHolder&) = delete;
    DatabaseLockHolder& operator=(const DatabaseLockHolder&) = delete;
    bool locked() const { return locked_; }

  private:
    pid_t pid_ = -1;
    bool locked_ = false;
};

// ---- descriptors and trees ----

// Descriptors open in this process.
int OpenDescriptors();
// Lowers the soft RLIMIT_NOFILE to n.
bool LimitDescriptors(unsigned long n);
// Takes every free descriptor slot; returns what it took.
std::vector<int> ExhaustDescriptors();
// Closes the last n descriptors of taken.
void Release(std::vector<int>& taken, size_t n);
// A chain of `depth` nested directories named d below root; returns the
// innermost path.
std::string MakeChain(const std::string& root, int depth);
// Entries of a directory other than "." and "..", or -1.
int CountEntries(const std::string& path);

}  // namespace testutil
