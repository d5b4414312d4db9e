// Helpers shared by every module's tests, compiled once: temporary folders, output capture, log
// normalising, SQLite read-back, forked children and fault injection.
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

#include "sys_faults.h"

namespace testutil {

std::string ShellQuote(const std::string& s);

// A fresh folder under $TMPDIR (or /tmp), removed with its contents whatever
// permissions the test left.
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

// Redirects descriptor 1 or 2 into a file until Stop(); its stdio stream is
// flushed on both edges so nothing buffered is lost or misattributed.
class FdCapture {
  public:
    explicit FdCapture(int fd);
    ~FdCapture() { Stop(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string Stop();  // restores the descriptor; returns what was written

  private:
    int fd_, file_ = -1, saved_ = -1;
    std::string text_;
};

struct StderrCapture : FdCapture {
    StderrCapture() : FdCapture(2) {}
};

// Matches the logger's timestamp prefix "Mon DD HH:MM:SS ".
inline const char* kTimestampRe = "[A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9] ";
std::string RegexEscape(const std::string& text);  // a regular expression matching text
// Log lines without their timestamps, each source line of `module`
// ("file-op", ...) replaced by N, so expectations survive source edits.
std::string NormalizeLog(const std::string& captured, const std::string& module);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool PathExists(const std::string& path);

// Rows of a query on a separate connection, as text ("<NULL>" for NULL);
// throws on any SQLite error, so a test cannot pass by reading nothing.
using Rows = std::vector<std::vector<std::string>>;
Rows QueryRows(const std::string& db_path, const std::string& sql);
// On a separate read-write connection, creating the file if needed.
void ExecSql(const std::string& db_path, const std::string& sql);

// fn's exit status in a forked child (or 128 + signal). drop_privileges makes
// a root parent's child "nobody", so permission checks apply under root.
int RunInChild(const std::function<int()>& fn, bool drop_privileges = false);  // 126: fn threw

// What fn found wrong, told in a forked child (see RunInChild): "" when fn
// returned "", else its text, or how the child ended when it did not return.
std::string ChildReport(const std::function<std::string()>& fn, bool drop_privileges = false);

// A command's exit status and output, its input empty.
struct CommandResult {
    int status = -1;
    std::string out, err;
};
CommandResult RunCommand(const std::vector<std::string>& argv);

bool RedirectStderrTo(const std::string& path);  // from now on

// Another process holding "BEGIN EXCLUSIVE; `sql`" on `db` for `millis`; the
// constructor returns once it is held (locked()), the destructor waits.
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

int OpenDescriptors();                   // open in this process
bool LimitDescriptors(unsigned long n);  // the soft RLIMIT_NOFILE
// Makes top and a chain of `depth` folders named `name` below it, each holding `files`
// files; through descriptors, so it may exceed PATH_MAX.
void MakeChain(const std::string& top, int depth, const std::string& name = "d", int files = 0);
int CountEntries(const std::string& path);  // besides "." and "..", or -1
// The content of every file in `dir` (not below it), by name.
std::map<std::string, std::string> FilesIn(const std::string& dir);

// A system call of the table ("" for any) and the errors to fail it with.
struct CallErrors {
    std::string call;
    std::vector<int> errors;
};
// ForEachFailurePoint (sys_faults.h) for each call and each of its errors;
// returns the failure points tried in all. Inline, so that only the tests
// that use it need the library's system-call table.
inline size_t ForEachCallError(const std::vector<CallErrors>& table,
                               const std::function<void()>& prepare,
                               const std::function<int()>& operation,
                               const std::function<void(const FaultRun&)>& check) {
    SysFaults faults;
    size_t points = 0;
    for (const CallErrors& row : table)
        for (int error : row.errors)
            points += ForEachFailurePoint(faults, row.call, error, prepare, operation, check);
    return points;
}

}  // namespace testutil
