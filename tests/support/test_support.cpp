#include "test_support.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace testutil {

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/bvtest.XXXXXX";
    std::vector<char> buf(tmpl.c_str(), tmpl.c_str() + tmpl.size() + 1);  // with its NUL
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    const std::string q = ShellQuote(path_);
    const std::string cmd = "chmod -R u+rwx " + q + " 2>/dev/null; rm -rf " + q + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) return;  // nothing more to try
}

FdCapture::FdCapture(int fd) : fd_(fd) {
    std::fflush(fd_ == 1 ? stdout : stderr);
    file_ = open("/tmp", O_TMPFILE | O_RDWR, 0600);  // nameless, gone with its descriptor
    if (file_ < 0) throw std::runtime_error("no temporary file for a capture");
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

std::string FdCapture::Stop() {
    if (saved_ >= 0) {
        std::fflush(fd_ == 1 ? stdout : stderr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        lseek(file_, 0, SEEK_SET);
        char buf[4096];
        for (ssize_t n; (n = read(file_, buf, sizeof buf)) > 0;)
            text_.append(buf, static_cast<size_t>(n));
        close(file_);
        file_ = -1;
    }
    return text_;
}

std::string RegexEscape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

std::string NormalizeLog(const std::string& captured, const std::string& module) {
    std::string out =
        std::regex_replace(captured, std::regex(std::string("(^|\n)") + kTimestampRe), "$1");
    return std::regex_replace(out, std::regex(module + "\\([0-9]+\\)"), module + "(N)");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

// Runs sql on a connection of its own, opened with flags; rows, when not
// null, receives what it returns.
void RunSql(const std::string& db_path, const std::string& sql, int flags, Rows* rows) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(db_path.c_str(), &db, flags, nullptr);
    char* err = nullptr;
    auto add_row = [](void* rows, int columns, char** values, char**) {
        std::vector<std::string>& row = static_cast<Rows*>(rows)->emplace_back();
        for (int i = 0; i < columns; ++i) row.push_back(values[i] ? values[i] : "<NULL>");
        return 0;
    };
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db, (flags & SQLITE_OPEN_READONLY) ? 0 : 10000);
        rc = sqlite3_exec(db, sql.c_str(), rows ? +add_row : nullptr, rows, &err);
    }
    const std::string message = err ? err : db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("'" + sql + "' on " + db_path + ": " + message);
}

}  // namespace

Rows QueryRows(const std::string& db_path, const std::string& sql) {
    Rows rows;
    RunSql(db_path, sql, SQLITE_OPEN_READONLY, &rows);
    return rows;
}

void ExecSql(const std::string& db_path, const std::string& sql) {
    RunSql(db_path, sql, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
}

int RunInChild(const std::function<int()>& fn, bool drop_privileges) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (drop_privileges && geteuid() == 0) {
            struct passwd* pw = getpwnam("nobody");
            uid_t uid = pw ? pw->pw_uid : 65534;
            gid_t gid = pw ? pw->pw_gid : 65534;
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(125);
        }
        // An exception must not reach the test framework's handler: the
        // child would go on to run the rest of the suite.
        int rc = 126;
        try {
            rc = fn();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "the child threw: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "the child threw\n");
        }
        std::fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string ChildReport(const std::function<std::string()>& fn, bool drop_privileges) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return "no pipe to the child";
    const int status = RunInChild(
        [&] {
            close(pipe_fds[0]);
            const std::string report = fn();
            const bool told = write(pipe_fds[1], report.data(), report.size()) ==
                              static_cast<ssize_t>(report.size());
            return told ? 0 : 1;
        },
        drop_privileges);
    close(pipe_fds[1]);
    std::string report;
    char buf[4096];
    for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) report.append(buf, n);
    close(pipe_fds[0]);
    if (status != 0 && report.empty())
        report = "the child ended with status " + std::to_string(status) +
                 (status > 128 ? " (signal " + std::to_string(status - 128) + ")" : "");
    return report;
}

CommandResult RunCommand(const std::vector<std::string>& argv) {
    TempDir scratch;
    std::string cmd;
    for (const auto& a : argv) cmd += ShellQuote(a) + " ";
    cmd += "</dev/null >" + scratch / "out" + " 2>" + scratch / "err";
    int rc = std::system(cmd.c_str());
    return {(rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1, ReadFile(scratch / "out"),
            ReadFile(scratch / "err")};
}

bool RedirectStderrTo(const std::string& path) {
    std::fflush(stderr);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    bool ok = dup2(fd, 2) == 2;
    close(fd);
    return ok;
}

DatabaseLockHolder::DatabaseLockHolder(const std::string& db, int millis, const std::string& sql) {
    int p[2];
    if (pipe(p) != 0) return;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(p[0]);
        sqlite3* h = nullptr;
        char c = 'F';
        if (sqlite3_open(db.c_str(), &h) == SQLITE_OK &&
            sqlite3_exec(h, ("BEGIN EXCLUSIVE;" + sql).c_str(), nullptr, nullptr, nullptr) ==
                SQLITE_OK)
            c = 'L';
        ssize_t n = write(p[1], &c, 1);
        (void)n;
        usleep(static_cast<useconds_t>(millis) * 1000);
        sqlite3_exec(h, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(h);
        _exit(0);
    }
    close(p[1]);
    char c = 0;
    locked_ = pid_ > 0 && read(p[0], &c, 1) == 1 && c == 'L';
    close(p[0]);
}

DatabaseLockHolder::~DatabaseLockHolder() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

int CountEntries(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

int OpenDescriptors() {
    int n = CountEntries("/proc/self/fd");
    if (n >= 0) return n - 1;  // the listing's own not counted
    // No /proc (a confined child): try the first slots one by one.
    n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
    return n;
}

bool LimitDescriptors(unsigned long n) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return false;
    rl.rlim_cur = n;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

void MakeChain(const std::string& top, int depth, const std::string& name, int files) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int fd = mkdir(top.c_str(), 0755) == 0 ? open(top.c_str(), flags) : -1;
    for (int i = 0; i < depth && fd >= 0; ++i) {
        for (int f = 0; f < files; ++f)
            close(openat(fd, ("f" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT, 0644));
        const int next =
            mkdirat(fd, name.c_str(), 0755) == 0 ? openat(fd, name.c_str(), flags) : -1;
        close(fd);
        fd = next;
    }
    if (fd < 0 || close(fd) != 0) throw std::runtime_error("cannot make a chain below " + top);
}

std::map<std::string, std::string> FilesIn(const std::string& dir) {
    std::map<std::string, std::string> files;
    DIR* listing = opendir(dir.c_str());
    while (struct dirent* entry = listing ? readdir(listing) : nullptr)
        if (entry->d_type == DT_REG) files[entry->d_name] = ReadFile(dir + "/" + entry->d_name);
    if (listing) closedir(listing);
    return files;
}

}  // namespace testutil
