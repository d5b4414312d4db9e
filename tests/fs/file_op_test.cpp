// The file operations other than removal: what each does on a real file
// system, their log texts in one table, and what each promises when any one
// of its system calls fails, tried at every failure point through the seam.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "file-op.h"
#include "logger.h"
#include "sys-internal.h"
#include "sys_faults.h"
#include "test_support.h"
#include "tmp_name_gen.h"

namespace {

using namespace testutil;
using bv_internal::g_sys;
using bv_internal::kLibcSysCalls;

constexpr mode_t kDefaultMode = static_cast<mode_t>(-1);
constexpr mode_t kDirectory = S_IFDIR;
constexpr mode_t kRegular = S_IFREG;
// A record whose every field differs from what GetFileInfo writes.
const FILE_INFO kSentinel{"sentinel", "name", FT_HLINK, 12345, 777, true, 4242, 4242};
// Each call an operation makes is failed in turn with each of these.
const int kInjectedErrors[] = {EIO, ENOSPC, EMFILE, EINTR, ENOENT};

// A name of the generator's shape in folder: `length` characters of its alphabet.
bool IsGeneratedName(const std::string& text, const std::string& folder, size_t length) {
    const std::string generated = "[0-9a-zA-Z_-]{" + std::to_string(length) + "}";
    return std::regex_match(text, std::regex(RegexEscape(folder) + generated));
}

// The link status of path; all zero when there is none (st_nlink 0).
struct stat StatOf(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

// Content in which a lost or misplaced block shows.
std::string Pattern(size_t length) {
    std::string text(length, '\0');
    std::mt19937 generator(7);
    for (char& byte : text) byte = static_cast<char>(generator());
    return text;
}

// Every entry below dir by relative path: a file's content, "<dir>", or "-> "
// and a link's target.
std::map<std::string, std::string> TreeOf(const std::string& dir) {
    std::map<std::string, std::string> tree;
    if (!PathExists(dir)) return tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        std::string& described = tree[entry.path().lexically_relative(dir).string()];
        if (entry.is_symlink())
            described = "-> " + std::filesystem::read_symlink(entry.path()).string();
        else
            described = entry.is_directory() ? "<dir>" : ReadFile(entry.path().string());
    }
    return tree;
}

ssize_t NoInKernelCopy(int, off64_t*, int, off64_t*, size_t, unsigned int) {
    errno = EXDEV;
    return -1;
}

// A device that takes half of each write (the last byte alone).
ssize_t WriteHalf(int fd, const void* data, size_t size) {
    return kLibcSysCalls.write(fd, data, size / 2 + size % 2);
}

// Closing what is closed already may close another thread's descriptor.
int CloseOnce(int fd) {
    const int rc = kLibcSysCalls.close(fd);
    if (rc != 0 && errno == EBADF) ADD_FAILURE() << "descriptor " << fd << " is closed twice";
    return rc;
}

// What FaultTrial::result gives where the operation may recover or fail:
// the files tell which is right.
constexpr int kRecoversOrFails = INT_MIN;

// An operation tried with each call it makes failing in turn, with each
// injected error.
struct FaultTrial {
    std::string name;
    std::function<void()> prepare;
    std::function<int()> operation;
    // What it returns when the call fails: 0 where it recovers (a retry, a
    // fallback, a failed close of what it only read). On failure errno must be
    // the failing call's.
    std::function<int(const FaultRun& run)> result;
    // What the line logged on failure holds; none promised when null.
    std::function<std::string(const FaultRun& run)> line;
    // The files as the operation left them (done when it returned 0).
    std::function<void(const FaultRun& run)> files;
};

void TryAtEveryFailurePoint(const FaultTrial& trial) {
    std::string logged;
    auto operation = [&] {
        StderrCapture capture;
        const int rc = trial.operation();
        const int err = errno;
        logged = NormalizeLog(capture.Stop(), "file-op");
        errno = err;
        return rc;
    };
    auto check = [&](const FaultRun& run) {
        SCOPED_TRACE(trial.name + ", " + run.Describe());
        const int expected = run.fired ? trial.result(run) : 0;
        if (expected != kRecoversOrFails) {
            EXPECT_EQ(expected, run.rc) << "the result";
        }
        if (run.fired && run.rc != 0) {
            EXPECT_EQ(run.err, run.errno_after) << "errno is not the failing call's";
            const std::string line = trial.line ? trial.line(run) : "";
            EXPECT_NE(std::string::npos, logged.find(line)) << "no line holds " << line;
        }
        trial.files(run);
    };
    SysFaults faults;
    for (int err : kInjectedErrors)
        ForEachFailurePoint(faults, "", err, trial.prepare, operation, check);
}

class FileOpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_umask_ = umask(022);
        g_sys.close = CloseOnce;
    }
    void TearDown() override {
        g_sys = kLibcSysCalls;  // also what a test replaced for a file system this machine lacks
        umask(saved_umask_);
        FSInitialize(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
        Logger::log_level.erase(ustring("file_op_debug"));
    }
    std::string Path(const std::string& relative) const { return dir_ / relative; }
    mode_t ModeOf(const std::string& relative) const { return StatOf(Path(relative)).st_mode; }
    void Shell(const std::string& command) {
        const std::string line = "cd " + ShellQuote(dir_.path()) + " && " + command;
        ASSERT_EQ(0, std::system(line.c_str())) << command;
    }
    // Makes relative (and its parents) afresh and empty.
    void EmptyFolder(const std::string& relative) {
        std::filesystem::remove_all(Path(relative));
        std::filesystem::create_directories(Path(relative));
    }
    TempDir dir_;
    mode_t saved_umask_ = 0;
};

TEST_F(FileOpTest, InformationAndListingDescribeEachKindOfObject) {
    Shell(
        "mkdir r r/sub && printf 'twelve bytes' >r/file && mkfifo r/fifo && "
        "ln -s $PWD/r/sub r/link && ln -s gone r/dangling");
    std::map<std::string, DIR_ENTRY> plain;
    std::map<std::string, DIR_ENTRY> with_status;
    DIR_HANDLE handle;
    for (auto [flag, listing] : {std::pair{0, &plain}, {1 | 6, &with_status}}) {
        ASSERT_EQ(0, FSOpenDir(Path("r"), flag, handle));
        DIR_ENTRY entry;
        entry.size = 7;  // without a status asked for, both read as 0
        entry.mtime = 7;
        int rc;
        // errno left over from earlier calls is no failed read.
        for (errno = EIO; (rc = FSReadDir(handle, entry)) == 1; errno = EIO)
            (*listing)[entry.name.c_str()] = entry;
        EXPECT_EQ(0, rc);
        FSCloseDir(handle);
    }
    EXPECT_TRUE(handle.dp == nullptr && handle.path.empty() && handle.flag == 7);
    FSCloseDir(handle);  // harmless twice
    EXPECT_EQ(7u, plain.size());
    EXPECT_EQ(7u, with_status.size());
    struct Row {
        std::string name;
        FILE_TYPE type;
        bool reachable;  // whether access(), which follows links, reaches it
    };
    const Row rows[] = {{"file", FT_FILE, true},       {"sub", FT_DIR, true},
                        {"fifo", FT_FIFO, true},       {"link", FT_SLINK, true},
                        {"dangling", FT_SLINK, false}, {"missing", FT_FILE, false},
                        {"/dev/null", FT_DEV, true}};
    for (const Row& row : rows) {
        const std::string path = row.name[0] == '/' ? row.name : Path("r/" + row.name);
        const struct stat st = StatOf(path);
        const time_t now = time(nullptr);
        FILE_INFO info = kSentinel;
        ASSERT_EQ(0, FSStat(path, info, true)) << path;
        FILE_INFO want{path,      "name",   row.type, 0, uint64_t(st.st_size), st.st_nlink != 0,
                       st.st_uid, st.st_gid};
        want.mtime = want.isExist ? st.st_mtime : std::max<time_t>(now, info.mtime);
        EXPECT_TRUE(want == info && want.uid == info.uid && want.gid == info.gid)
            << path << ": type " << info.type << ", size " << info.size << ", mtime " << info.mtime;
        EXPECT_EQ(row.reachable, IsFileExist(path, false)) << path;
        if (!info.isExist || row.name[0] == '/') continue;
        const DIR_ENTRY& listed = plain[row.name];
        const DIR_ENTRY& listed_with_status = with_status[row.name];  // a link's size is its own
        EXPECT_EQ(std::make_tuple(row.type, 0ul, 0u),
                  std::make_tuple(listed.type, listed.size, listed.mtime))
            << row.name;
        EXPECT_EQ(std::make_tuple(row.type, info.size, info.mtime),
                  std::make_tuple(listed_with_status.type, listed_with_status.size,
                                  listed_with_status.mtime))
            << row.name;
    }
    FILE_INFO info = kSentinel;
    EXPECT_EQ(-1, FSStat("", info, false));
    EXPECT_TRUE(!(info != kSentinel) && info.uid == 4242u && info.gid == 4242u) << "unchanged";
}

// Each query whose one call fails: its result, errno kept, its output untouched.
TEST_F(FileOpTest, QueriesReportAFailingCallAsDocumented) {
    WriteFile(Path("file"), "content");
    FILE_INFO info;
    ustring path;
    struct Query {
        std::string call;
        std::function<int()> run;
        int if_missing;  // the result when the call says ENOENT
        int otherwise;   // and with any other error
        std::string line;
    };
    const Query queries[] = {
        {"lstat", [&] { return GetFileInfo(Path("file"), info); }, 0, -1, ""},
        {"lstat", [&] { return FSStat(Path("file"), info, false); }, 0, -2, ""},
        {"realpath", [&] { return FSGetRealPath(path); }, -1, -1, ""},
        {"statfs", [&] { return IsMSDOS(Path("file")) ? 1 : 0; }, 0, 0,
         "IsSupportLargeFile: Failed to get file system info '" + Path("file") + "'"},
        {"access", [&] { return IsFileExist(Path("file"), false) ? 1 : 0; }, 0, 0, ""},
        {"access", [&] { return isFileLocked(Path("file"), W_OK) ? 1 : 0; }, 0, 0, ""},
    };
    SysFaults faults;
    for (const Query& query : queries) {
        for (int err : kInjectedErrors) {
            SCOPED_TRACE(query.call + " failing with " + strerrorname_np(err));
            info = kSentinel;
            path = Path("file");
            faults.FailEvery(query.call, err);
            StderrCapture capture;
            const int result = query.run();
            const int errno_after = errno;
            EXPECT_EQ(err == ENOENT ? query.if_missing : query.otherwise, result);
            EXPECT_EQ(err, errno_after) << "errno is not the failing call's";
            EXPECT_NE(std::string::npos, capture.Stop().find(query.line));
            EXPECT_TRUE(!(info != kSentinel) || !info.isExist) << "a failure fills the record";
            EXPECT_EQ(Path("file"), path.c_str()) << "a failure changes the path";
        }
    }
    for (int refusal : {EACCES, EPERM}) {
        faults.FailEvery("access", refusal);
        EXPECT_TRUE(isFileLocked(Path("file"), W_OK)) << "only a refusal of rights is a lock";
    }
}

TEST_F(FileOpTest, LogTexts) {
    Shell("echo data >src && mkdir sub && ln -s $PWD/sub via");
    const std::string resolved = std::filesystem::canonical(Path("sub")).string();
    Logger::log_level[ustring("file_op_debug")] = Logger::L_DEBUG;
    ustring via(Path("via"));
    ustring absent(Path("absent"));
    DIR_HANDLE handle{"before", 3};
    DIR_ENTRY entry{"kept"};
    struct Row {
        std::function<int()> call;
        int result;
        std::string logged;  // a part of what is logged; nothing is when empty
    };
    const Row rows[] = {
        {[&] { return FSCopy(Path("src"), Path("src"), true); }, -1,
         "CopyFile: '" + Path("src") + "' and '" + Path("src") + "' are the same file"},
        {[&] { return FSMKDir(Path("src"), true); }, -1,
         "FSMKDir: Create a folder but local file system is not directory '" + Path("src")},
        {[&] { return IsMSDOS(dir_.path()) + IsMSDOS("/proc") + IsMSDOS("/dev"); }, 0, ""},
        {[&] { return FSGetRealPath(via); }, 0, "get full path [" + resolved + "]"},
        {[&] { return FSGetRealPath(absent); }, -1, "org path [" + Path("absent") + "]"},
        {[&] { return FSReadDir(handle, entry); }, -1,  // a handle that is not open
         "FSOpenDir: Failed to read directory 'before'"},
    };
    for (const Row& row : rows) {
        StderrCapture capture;
        EXPECT_EQ(row.result, row.call()) << row.logged;
        const std::string logged = capture.Stop();
        EXPECT_EQ(row.logged.empty(), logged.empty()) << "logged: " << logged;
        EXPECT_NE(std::string::npos, logged.find(row.logged)) << "no line holds " << row.logged;
    }
    EXPECT_EQ(resolved, via.c_str());
    EXPECT_TRUE(handle.path == ustring("before") && handle.flag == 3 && handle.dp == nullptr &&
                entry.name == ustring("kept"));
    EXPECT_EQ("data\n", ReadFile(Path("src"))) << "copying onto itself loses nothing";
}

TEST_F(FileOpTest, MkDirPCreatesEveryMissingComponentWithTheModeAsked) {
    Shell("echo keep >f && mkdir -m 0700 e");
    struct Row {
        const char* path;
        bool force;
        mode_t mode;
        mode_t umask_during;
        int result;
        int error;
        int stop_from_end;  // where *endptr points, from the path's end
        const char* checked;
        mode_t mode_after;
    };
    const Row rows[] = {
        {"a//b/./c/../d", false, kDefaultMode, 022, 0, 0, 0, "a/b/d", kDirectory | 0755},
        {"s/t/", false, kDefaultMode, 022, 0, 0, -1, "s/t", kDirectory | 0755},
        {"d", false, kDefaultMode, 077, 0, 0, 0, "d", kDirectory | 0700},
        {"m/n", false, 0750, 077, 0, 0, 0, "m", kDirectory | 0750},
        {"e/x", false, 0777, 022, 0, 0, 0, "e", kDirectory | 0700},  // existing: mode kept
        {"f/c/d", false, 0700, 077, -1, ENOTDIR, -4, "f", kRegular | 0644},
        {"f/", false, kDefaultMode, 022, -1, EEXIST, -1, "f", kRegular | 0644},
        {"f/c", true, kDefaultMode, 022, 0, 0, 0, "f/c", kDirectory | 0755},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const ustring path(Path(row.path));
        char* stop = nullptr;
        umask(row.umask_during);
        errno = 0;
        EXPECT_EQ(row.result, FSMKDirP(path, &stop, row.force, row.mode));
        EXPECT_EQ(row.umask_during, umask(022)) << "the mask is restored";
        EXPECT_EQ(row.error, row.result == 0 ? 0 : errno);
        EXPECT_EQ(path.c_str() + path.length() + row.stop_from_end, stop);
        EXPECT_EQ(row.mode_after, ModeOf(row.checked));
    }
    char* stop = nullptr;
    EXPECT_EQ(-1, FSMKDirP("", &stop, false, kDefaultMode));
    EXPECT_EQ(nullptr, stop) << "left as it was";
    EXPECT_EQ(-1, FSMKDir("", false));
    errno = 0;
    EXPECT_EQ(-2, FSMKDir(Path("x/y"), false));
    EXPECT_EQ(ENOENT, errno);
    for (const char* relative : {"e", "x/y", "z"})
        EXPECT_EQ(0, FSMKDir(Path(relative), relative[0] == 'x')) << relative;
    EXPECT_EQ(kDirectory | 0700, ModeOf("e"));
    EXPECT_EQ(kDirectory | 0755, ModeOf("x/y"));
    EXPECT_EQ(kDirectory | 0755, ModeOf("z"));
}

// The owner goes through the seam: no root is needed to see it asked for.
TEST_F(FileOpTest, NewDirectoriesAreGivenTheModuleOwner) {
    Shell("touch f && mkdir old");
    static std::vector<std::tuple<std::string, uid_t, gid_t>> owner_changes;
    g_sys.chown = [](const char* path, uid_t uid, gid_t gid) {
        owner_changes.emplace_back(path, uid, gid);
        return 0;
    };
    const uid_t unset_uid = static_cast<uid_t>(-1);
    const gid_t unset_gid = static_cast<gid_t>(-1);
    FSChown(Path("f"));  // the ids are unset at start-up: nothing changes
    FSInitialize(65534, unset_gid);
    ASSERT_EQ(0, FSMKDirP(Path("old/new"), nullptr, false, kDefaultMode));
    FSInitialize(unset_uid, 65533);
    ASSERT_EQ(0, FSMKDir(Path("g/h"), true));
    FSChown(Path("old"));
    const std::vector<std::tuple<std::string, uid_t, gid_t>> expected = {
        {Path("f"), unset_uid, unset_gid}, {Path("old/new"), 65534, getegid()},
        {Path("g"), geteuid(), 65533},     {Path("g/h"), geteuid(), 65533},
        {Path("g/h"), unset_uid, 65533},  // FSMKDir's own FSChown
        {Path("old"), unset_uid, 65533}};
    EXPECT_EQ(expected, owner_changes) << "the owners asked for";
}

TEST_F(FileOpTest, DirectoryCreationFailsAsDocumentedAtEveryFailurePoint) {
    const ustring target(Path("work/file/b/c"));  // "file" is a file, replaced
    char* stop = nullptr;
    const std::set<std::string> own = {"bystander", "file", "file/b", "file/b/c"};
    auto plant = [&] {
        EmptyFolder("work");
        WriteFile(Path("work/file"), "replaced by a folder");
        WriteFile(Path("work/bystander"), "kept");
    };
    auto files = [&](const FaultRun& run) {
        EXPECT_EQ(mode_t(022), umask(022)) << "the mask is not restored";
        if (run.rc == 0) {
            EXPECT_EQ(kDirectory | 0750, StatOf(target.c_str()).st_mode);
        } else {
            EXPECT_TRUE(*stop == '/' || *stop == '\0') << "stops within a name";
        }
        for (const auto& [name, content] : TreeOf(Path("work")))
            EXPECT_TRUE(own.count(name)) << name << " is made";
        EXPECT_EQ("kept", ReadFile(Path("work/bystander")));
    };
    // A status that says "missing" wrongly costs a failed mkdir and a second look.
    auto result = [](const FaultRun& run) {
        return run.fired_call == "stat" && run.err == ENOENT ? 0 : -1;
    };
    TryAtEveryFailurePoint({"FSMKDirP", plant, [&] { return FSMKDirP(target, &stop, true, 0750); },
                            result, nullptr, files});
    TryAtEveryFailurePoint(
        {"FSMKDir", [&] { EmptyFolder("work"); }, [&] { return FSMKDir(Path("work/new"), false); },
         [](const FaultRun& run) {
             if (run.fired_call == "chown" || (run.fired_call == "lstat" && run.err == ENOENT))
                 return 0;
             return run.fired_call == "lstat" ? -1 : -2;
         },
         [](const FaultRun& run) {
             return run.fired_call == "lstat" ? "Failed to to file info" : "";
         },
         [&](const FaultRun& run) { EXPECT_EQ(run.rc == 0, S_ISDIR(ModeOf("work/new"))); }});
}

TEST_F(FileOpTest, CopyReplacesTheDestinationWhateverItIs) {
    const std::string big = Pattern((9u << 20) + 12345);  // past the writeback stride
    WriteFile(Path("big"), big);
    ASSERT_EQ(0, FSCopy(Path("big"), Path("copy"), false));
    EXPECT_TRUE(ReadFile(Path("copy")) == big);
    Shell("touch empty && mkfifo pipe");
    ASSERT_EQ(0, FSCopy(Path("empty"), Path("big"), false));
    EXPECT_EQ("", ReadFile(Path("big")));
    // A destination that is not a file (a pipe: no flush) goes through the buffer.
    std::string piped;
    std::thread reader([&] { piped = ReadFile(Path("pipe")); });
    EXPECT_EQ(0, FSCopy(Path("copy"), Path("pipe"), false));
    reader.join();
    EXPECT_TRUE(piped == big);
    g_sys.copy_file_range = NoInKernelCopy;
    g_sys.write = WriteHalf;
    WriteFile(Path("small"), Pattern(100000));
    ASSERT_EQ(0, FSCopy(Path("small"), Path("copy"), false));
    EXPECT_TRUE(ReadFile(Path("copy")) == Pattern(100000)) << "a short write loses or repeats";
}

// Reads and writes are retried when interrupted; the in-kernel copy falls
// back to the buffer; the destination's failures count, the source's close
// does not; a source is removed only once its copy is flushed.
TEST_F(FileOpTest, CopyIsWholeOrFailsLeavingTheSourceAtEveryFailurePoint) {
    const std::string source = Pattern(3u << 19);  // two reads of the buffer
    const std::string old_content = "old destination\n";
    auto result = [](const FaultRun& run) {
        const std::set<std::string> retried = {"open", "read", "write"};
        if ((run.err == EINTR && retried.count(run.fired_call)) ||
            run.fired_call == "copy_file_range")
            return 0;
        if (run.fired_call == "close" && run.fired_nth == 1) return 0;
        const std::set<std::string> on_destination = {"ftruncate", "write", "fsync"};
        const bool second =
            run.fired_nth == 2 && (run.fired_call == "open" || run.fired_call == "close");
        return run.err == ENOSPC && (on_destination.count(run.fired_call) || second) ? -2 : -1;
    };
    auto files = [&](const FaultRun& run) {
        const std::string copied = ReadFile(Path("dst"));
        if (run.rc == 0) {
            EXPECT_TRUE(copied == source) << "the copy is incomplete";
            EXPECT_FALSE(PathExists(Path("src"))) << "the source is left";
            return;
        }
        EXPECT_TRUE(ReadFile(Path("src")) == source) << "the source is not kept";
        EXPECT_TRUE(copied == old_content || source.compare(0, copied.size(), copied) == 0)
            << "the destination holds neither its old content nor a part of the copy";
    };
    FaultTrial trial{"FSCopy",
                     [&] {
                         WriteFile(Path("src"), source);
                         WriteFile(Path("dst"), old_content);
                     },
                     [&] { return FSCopy(Path("src"), Path("dst"), true); },
                     result,
                     [](const FaultRun& run) { return "CopyFile: " + run.fired_call; },
                     files};
    TryAtEveryFailurePoint(trial);
    g_sys.copy_file_range = NoInKernelCopy;
    trial.name = "FSCopy without in-kernel copy";
    TryAtEveryFailurePoint(trial);
}

TEST_F(FileOpTest, RenameWithinAFileSystemIsAllOrNothing) {
    WriteFile(Path("f"), "x");
    struct Row {
        std::string from;
        std::string to;
        int result;
    };
    const Row failures[] = {
        {"", Path("g"), -1}, {Path("f"), "", -1}, {Path("f"), Path(std::string(300, 'n')), -100}};
    for (const Row& row : failures)
        EXPECT_EQ(row.result, FSRename(row.from, row.to, false)) << row.from << " to " << row.to;
    TryAtEveryFailurePoint({"FSRename",
                            [&] {
                                WriteFile(Path("new"), "new");
                                WriteFile(Path("f"), "old");
                            },
                            [&] { return FSRename(Path("new"), Path("f"), false); },
                            [](const FaultRun& run) { return run.fired_call == "lstat" ? -2 : -3; },
                            nullptr,
                            [&](const FaultRun& run) {
                                EXPECT_EQ(run.rc == 0 ? "new" : "old", ReadFile(Path("f")));
                                EXPECT_EQ(run.rc == 0 ? "" : "new", ReadFile(Path("new")));
                            }});
}

// Across file systems the move goes by copying: a tree merged into an
// existing one, a link recreated over a file as rename would replace it.
// A failure leaves each entry at one place or the other, whole.
TEST_F(FileOpTest, RenameAcrossFileSystemsLosesAndTearsNothingAtEveryFailurePoint) {
    // A rename into or out of "other" fails as between two file systems.
    static std::string other;
    other = Path("other");
    g_sys.rename = [](const char* from, const char* to) {
        const bool from_other = std::string(from).rfind(other, 0) == 0;
        const bool to_other = std::string(to).rfind(other, 0) == 0;
        if (from_other == to_other) return kLibcSysCalls.rename(from, to);
        errno = EXDEV;
        return -1;
    };
    auto plant = [&] {
        std::filesystem::remove_all(Path("tree"));
        std::filesystem::remove_all(Path("other"));
        EmptyFolder("tree/sub/empty");
        EmptyFolder("other/tree/sub");
        WriteFile(Path("tree/top"), "top\n");
        WriteFile(Path("tree/sub/big"), Pattern(20000));
        std::filesystem::create_symlink("../top", Path("tree/sub/up"));
        WriteFile(Path("other/tree/sub/old"), "o\n");
        WriteFile(Path("other/tree/sub/up"), "replaced\n");
    };
    plant();
    const auto source = TreeOf(Path("tree"));
    const auto destination_before = TreeOf(Path("other/tree"));
    auto moved = source;
    moved["sub/old"] = "o\n";
    auto files = [&](const FaultRun& run) {
        const auto left = TreeOf(Path("tree"));
        const auto arrived = TreeOf(Path("other/tree"));
        EXPECT_TRUE(run.rc == 0 || run.rc == -2 || run.rc == -3) << run.rc << " is undocumented";
        if (run.rc == 0) {
            EXPECT_EQ(moved, arrived);
            EXPECT_TRUE(left.empty());
            return;
        }
        auto holds = [](const std::map<std::string, std::string>& tree, const std::string& name,
                        const std::string& content) {
            return tree.count(name) && tree.at(name) == content;
        };
        for (const auto& [name, content] : source)
            EXPECT_TRUE(content == "<dir>" || holds(left, name, content) ||
                        holds(arrived, name, content))
                << name << " is lost";
        for (const auto& [name, content] : arrived)
            EXPECT_TRUE(holds(destination_before, name, content) || holds(moved, name, content))
                << name << " is torn or stray";
    };
    // Where a failing call is recovered from, the files say so.
    auto result = [](const FaultRun& run) {
        if (run.fired_call == "lstat" && run.fired_nth == 1) return -2;
        return run.fired_call == "fsync" ? -3 : kRecoversOrFails;
    };
    TryAtEveryFailurePoint({"FSRename across file systems", plant,
                            [&] { return FSRename(Path("tree"), Path("other/tree"), false); },
                            result, nullptr, files});
    // A pipe cannot be recreated faithfully: it stays, and so does its folder.
    Shell("mkdir tree && mkfifo tree/pipe");
    EXPECT_EQ(-3, FSRename(Path("tree"), Path("other/t"), false));
    EXPECT_TRUE(S_ISFIFO(ModeOf("tree/pipe")));
    EXPECT_FALSE(PathExists(Path("other/t/pipe")));
}

// A temporary path is named, not made; a temporary file is handed out mode
// 0644 and flushed, or not at all.
TEST_F(FileOpTest, TemporaryFileIsCompleteOrAbsentAtEveryFailurePoint) {
    ustring named;
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), named));
    EXPECT_TRUE(IsGeneratedName(named.c_str(), Path(""), 8)) << named.c_str();
    EXPECT_FALSE(PathExists(named.c_str())) << "nothing is created";
    umask(077);
    ustring made;
    TryAtEveryFailurePoint(
        {"FSMktemp",
         [&] {
             EmptyFolder("tmp");
             made = "unchanged";
         },
         [&] { return FSMktemp(Path("tmp"), made); },
         [](const FaultRun& run) { return run.fired_call == "close" ? 0 : -1; },  // nothing written
         [&](const FaultRun& run) { return run.fired_call + "(" + Path("tmp/"); },
         [&](const FaultRun& run) {
             EXPECT_EQ(run.rc == 0 ? 1u : 0u, TreeOf(Path("tmp")).size());
             if (run.rc == 0) {
                 EXPECT_EQ(kRegular | 0644, StatOf(made.c_str()).st_mode);
                 EXPECT_TRUE(IsGeneratedName(made.c_str(), Path("tmp/"), 6)) << made.c_str();
             } else {
                 EXPECT_STREQ("unchanged", made.c_str());
             }
         }});
}

struct Visit {
    std::vector<std::string> paths;
    std::string stop_at;  // where the callback asks to stop
};

int Record(const ustring& path, void* visit_state) {
    auto* visit = static_cast<Visit*>(visit_state);
    visit->paths.emplace_back(path.c_str());
    return visit->paths.back() == visit->stop_at ? 1 : 0;
}

// Pre-order, each entry once, links not followed.
TEST_F(FileOpTest, TraverseDirVisitsEachEntryOnceParentsFirst) {
    Shell(
        "mkdir -p t/a/aa t/b t/c/cc/ccc && touch t/f1 t/a/f2 t/a/aa/f3 t/c/cc/ccc/f4 t/c/f5 "
        "&& ln -s $PWD/t/a t/b/link-to-a");
    const std::string top = Path("t");
    Visit all;
    ASSERT_EQ(0, TraverseDir(top, Record, &all));
    const std::vector<std::string> full = all.paths;
    std::set<std::string> seen;
    for (const std::string& path : full)
        EXPECT_TRUE(seen.insert(path).second &&
                    (path == top || seen.count(path.substr(0, path.rfind('/')))))
            << path << " twice or before its folder";
    ASSERT_EQ(13u, seen.size());
    for (const std::string& stop :
         {std::string(), top, top + "/a/aa/f3", top + "/c/cc", top + "/f1"}) {
        Visit visit{{}, stop};
        EXPECT_EQ(stop.empty() ? 0 : -2, TraverseDir(top, Record, &visit)) << stop;
        const auto at = std::find(full.begin(), full.end(), stop);
        EXPECT_EQ(std::vector<std::string>(full.begin(), at == full.end() ? at : at + 1),
                  visit.paths);
    }
    Visit none;
    for (const std::string& bad :
         {top + "/f1", top + "/missing", top + "/b/link-to-a", std::string()})
        EXPECT_EQ(-1, TraverseDir(bad, Record, &none)) << bad;
    EXPECT_EQ(-1, TraverseDir(top, nullptr, &none));
    EXPECT_TRUE(none.paths.empty());
}

// A walk stops at the failing call, having visited a prefix of what it
// visits undisturbed; a listing reports the call it stopped at.
TEST_F(FileOpTest, TraversalAndListingFailAsDocumentedAtEveryFailurePoint) {
    Shell("mkdir -p t/a t/b && touch t/a/f1 t/f2");
    Visit visit;
    auto walk = [&] {
        visit.paths.clear();
        return TraverseDir(Path("t"), Record, &visit);
    };
    walk();
    const std::vector<std::string> full = visit.paths;
    FaultTrial trial{
        "TraverseDir",
        [] {},
        walk,
        [](const FaultRun& run) {
            if (run.fired_call == "closedir") return 0;
            return run.fired_call == "lstat" && run.fired_nth == 1 ? -1 : -2;
        },
        nullptr,
        [&](const FaultRun& run) {
            const bool prefix = visit.paths.size() <= full.size() &&
                                std::equal(visit.paths.begin(), visit.paths.end(), full.begin());
            EXPECT_TRUE(run.rc == 0 ? visit.paths == full : prefix) << "visits go astray";
        }};
    TryAtEveryFailurePoint(trial);
    g_sys.readdir = ListingWithoutTypes;
    trial.name = "TraverseDir without types";
    TryAtEveryFailurePoint(trial);
    g_sys.readdir = kLibcSysCalls.readdir;
    std::set<std::string> names;
    const std::set<std::string> all_names = {".", "..", "a", "b", "f2"};
    const std::map<std::string, std::string> lines = {{"opendir", "Failed to open directory"},
                                                      {"readdir", "Failed to read directory"},
                                                      {"lstat", "Failed to get info"}};
    TryAtEveryFailurePoint(
        {"FSOpenDir, FSReadDir, FSCloseDir", [] {},
         [&] {
             names.clear();
             DIR_HANDLE handle;
             if (FSOpenDir(Path("t"), 1, handle) != 0) return -1;
             DIR_ENTRY entry;
             int rc;
             while ((rc = FSReadDir(handle, entry)) == 1) names.insert(entry.name.c_str());
             FSCloseDir(handle);
             return rc;
         },
         // A name whose status is gone has vanished since it was listed.
         [](const FaultRun& run) {
             return run.fired_call == "closedir" || (run.fired_call == "lstat" && run.err == ENOENT)
                        ? 0
                        : -1;
         },
         [&](const FaultRun& run) { return "FSOpenDir: " + lines.at(run.fired_call); },
         [&](const FaultRun& run) {
             EXPECT_TRUE(run.rc == 0 ? names == all_names
                                     : std::includes(all_names.begin(), all_names.end(),
                                                     names.begin(), names.end()));
         }});
}

// Names drawn at once by several threads are distinct and use the whole
// alphabet at every position.
TEST(TmpNameGenThreads, ConcurrentNamesAreDistinct) {
    std::vector<std::string> names_per_thread[4];
    std::vector<std::thread> threads;
    for (auto& names : names_per_thread)
        threads.emplace_back([&names] {
            for (int draw = 0; draw < 5000; ++draw)
                names.push_back(TmpNameGen::getInstance().getTmpName().c_str());
        });
    for (auto& thread : threads) thread.join();
    std::set<std::string> distinct;
    std::set<char> used_at[8];
    for (const auto& names : names_per_thread)
        for (const std::string& name : names) {
            ASSERT_TRUE(IsGeneratedName(name, "", 8)) << name;
            for (int position = 0; position < 8; ++position)
                used_at[position].insert(name[position]);
            distinct.insert(name);
        }
    EXPECT_EQ(20000u, distinct.size());
    for (const auto& used : used_at) EXPECT_EQ(64u, used.size());
}

}  // namespace
