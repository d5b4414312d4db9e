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
#include <memory>
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

// A name of the generator's shape: `length` characters of its alphabet.
bool IsGeneratedName(const std::string& text, size_t length) {
    return std::regex_match(text, std::regex("[0-9a-zA-Z_-]{" + std::to_string(length) + "}"));
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
    namespace stdfs = std::filesystem;
    std::map<std::string, std::string> tree;
    if (!stdfs::exists(dir)) return tree;
    for (const auto& entry : stdfs::recursive_directory_iterator(dir)) {
        const std::string relative = entry.path().lexically_relative(dir).string();
        if (entry.is_symlink())
            tree[relative] = "-> " + stdfs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            tree[relative] = "<dir>";
        else
            tree[relative] = ReadFile(entry.path().string());
    }
    return tree;
}

// Restores the system-call table when the scope ends: a test replaces an
// entry to give the library a kind of file system this machine lacks.
class SysCallsRestored {
  public:
    SysCallsRestored() : saved_(g_sys) {}
    ~SysCallsRestored() { g_sys = saved_; }

  private:
    bv_internal::SysCalls saved_;
};

ssize_t NoInKernelCopy(int, off64_t*, int, off64_t*, size_t, unsigned int) {
    errno = EXDEV;
    return -1;
}

struct dirent* ListingWithoutTypes(DIR* dir) {
    struct dirent* entry = kLibcSysCalls.readdir(dir);
    if (entry != nullptr) entry->d_type = DT_UNKNOWN;
    return entry;
}

// Paths under this folder lie on "another file system": a rename into or out
// of it fails with EXDEV.
std::string g_other_file_system;

int RenameAcrossFileSystems(const char* from, const char* to) {
    auto inside = [](const char* path) {
        return std::string(path).rfind(g_other_file_system, 0) == 0;
    };
    if (inside(from) != inside(to)) {
        errno = EXDEV;
        return -1;
    }
    return kLibcSysCalls.rename(from, to);
}

std::vector<std::tuple<std::string, uid_t, gid_t>> g_owner_changes;

int RecordOwnerChange(const char* path, uid_t uid, gid_t gid) {
    g_owner_changes.emplace_back(path, uid, gid);
    return 0;
}

// An operation tried with each call it makes failing, at each of its uses,
// with each injected error; `calls` names every call it makes.
struct FaultTrial {
    std::string name;
    std::vector<std::string> calls;
    std::function<void()> prepare;
    std::function<int()> operation;
    std::function<void(const FaultRun& run, const std::string& logged)> check;
};

// Returns the number of runs in which a call failed; records it under the
// trial's name in the test's properties.
size_t TryAtEveryFailurePoint(const FaultTrial& trial) {
    SysFaults faults;
    trial.prepare();
    trial.operation();
    uint64_t listed = 0;
    for (const std::string& call : trial.calls) listed += faults.Count(call);
    EXPECT_EQ(faults.Count(), listed) << trial.name << " makes calls its trial does not name";
    std::string logged;
    auto logging_operation = [&] {
        StderrCapture capture;
        const int rc = trial.operation();
        const int err = errno;
        logged = NormalizeLog(capture.Stop(), "file-op");
        errno = err;
        return rc;
    };
    auto check = [&](const FaultRun& run) {
        SCOPED_TRACE(trial.name + ", " + run.Describe());
        trial.check(run, logged);
    };
    size_t points = 0;
    for (const std::string& call : trial.calls)
        for (int err : kInjectedErrors)
            points +=
                ForEachFailurePoint(faults, call, err, trial.prepare, logging_operation, check);
    EXPECT_GT(points, 0u) << trial.name;
    ::testing::Test::RecordProperty(trial.name, static_cast<int>(points));
    return points;
}

// The documented failure: its code, errno as the failing call set it and,
// when a line is promised, a line holding `line_part`.
void ExpectFailure(const FaultRun& run, int code, const std::string& logged,
                   const std::string& line_part, int other_errno = 0) {
    EXPECT_EQ(code, run.rc);
    EXPECT_TRUE(run.errno_after == run.err || run.errno_after == other_errno)
        << "errno " << strerrorname_np(run.errno_after) << " is not the failing call's";
    if (!line_part.empty()) {
        EXPECT_NE(std::string::npos, logged.find(line_part)) << "no line with " << line_part;
    }
}

class FileOpTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_umask_ = umask(022); }
    void TearDown() override {
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
class TmpNameGenThreads : public FileOpTest {};

// The status of one object, and a listing with or without statuses agreeing.
TEST_F(FileOpTest, InformationAndListingDescribeEachKindOfObject) {
    Shell(
        "mkdir r r/sub && printf 'twelve bytes' >r/file && mkfifo r/fifo && "
        "ln -s $PWD/r/sub r/link && ln -s gone r/dangling");
    ASSERT_EQ(0, FSUTime(Path("r/file"), 1000000000, 1200000000));
    EXPECT_EQ(1200000000, StatOf(Path("r/file")).st_mtime);
    EXPECT_EQ(-1, FSUTime(Path("missing"), 1, 2));
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
    const Row rows[] = {
        {"file", FT_FILE, true},       {"sub", FT_DIR, true},       {"fifo", FT_FIFO, true},
        {"link", FT_SLINK, true},      {".", FT_DIR, true},         {"..", FT_DIR, true},
        {"dangling", FT_SLINK, false}, {"missing", FT_FILE, false}, {"/dev/null", FT_DEV, true}};
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
    EXPECT_EQ(-1, GetFileInfo(Path("r/file/child"), info));
    EXPECT_EQ(-2, FSStat(Path("r/file/child"), info, false));
    EXPECT_EQ(-1, FSStat("", info, false));
    EXPECT_TRUE(!(info != kSentinel) && info.uid == 4242u && info.gid == 4242u) << "unchanged";
    // A canonical path near the system's limit is given whole.
    const std::string component(250, 'n');
    const int depth = static_cast<int>((PATH_MAX - 100 - Path("").size()) / (component.size() + 1));
    MakeChain(Path("long"), depth, component);
    std::unique_ptr<char, decltype(&free)> real_top(realpath(Path("long").c_str(), nullptr), &free);
    std::string deepest = real_top.get();
    for (int level = 0; level < depth; ++level) deepest += "/" + component;
    ASSERT_EQ(0, symlink(deepest.c_str(), Path("to-deepest").c_str()));
    ustring resolved(Path("to-deepest"));
    ASSERT_EQ(0, FSGetRealPath(resolved));
    EXPECT_EQ(deepest, resolved.c_str());
}

// Each query whose one call fails, with each injected error.
TEST_F(FileOpTest, StatusQueriesReportAFailingCallAsDocumented) {
    WriteFile(Path("file"), "content");
    FILE_INFO info;
    ustring path;
    struct Query {
        std::string name;
        std::string call;
        std::function<int()> run;
        std::function<int(int err)> result;  // by the injected error
        std::string line_part;               // of the line promised, if any
        std::function<bool()> output_untouched;
    };
    auto always = [](int result) { return [result](int) { return result; }; };
    auto info_untouched = [&] { return !(info != kSentinel) && info.uid == 4242u; };
    const Query queries[] = {
        {"GetFileInfo", "lstat", [&] { return GetFileInfo(Path("file"), info); },
         [](int err) { return err == ENOENT ? 0 : -1; }, "",
         [&] { return info_untouched() || !info.isExist; }},
        {"FSStat", "lstat", [&] { return FSStat(Path("file"), info, false); },
         [](int err) { return err == ENOENT ? 0 : -2; }, "",
         [&] { return info_untouched() || !info.isExist; }},
        {"FSGetRealPath", "realpath", [&] { return FSGetRealPath(path); }, always(-1), "",
         [&] { return path == ustring(Path("file")); }},
        {"IsMSDOS", "statfs", [&] { return IsMSDOS(Path("file")) ? 1 : 0; }, always(0),
         "IsSupportLargeFile: Failed to get file system info '" + Path("file") + "'",
         [] { return true; }},
        {"IsFileExist", "access", [&] { return IsFileExist(Path("file"), false) ? 1 : 0; },
         always(0), "", [] { return true; }},
        {"isFileLocked", "access", [&] { return isFileLocked(Path("file"), W_OK) ? 1 : 0; },
         always(0), "", [] { return true; }},
    };
    for (const Query& query : queries) {
        auto reset = [&] {
            info = kSentinel;
            path = Path("file");
        };
        TryAtEveryFailurePoint({query.name,
                                {query.call},
                                reset,
                                query.run,
                                [&](const FaultRun& run, const std::string& logged) {
                                    if (!run.fired) return;
                                    ExpectFailure(run, query.result(run.err), logged,
                                                  query.line_part);
                                    EXPECT_TRUE(query.output_untouched());
                                }});
    }
    // Only a refusal of rights is a lock.
    SysFaults faults;
    for (int refusal : {EACCES, EPERM}) {
        faults.FailEvery("access", refusal);
        EXPECT_TRUE(isFileLocked(Path("file"), W_OK)) << strerror(refusal);
    }
}

TEST_F(FileOpTest, LogTexts) {
    Shell("echo data >src && mkdir sub && ln -s $PWD/sub via");
    std::unique_ptr<char, decltype(&free)> real(realpath(Path("sub").c_str(), nullptr), &free);
    const std::string resolved = real.get();
    Logger::log_level[ustring("file_op_debug")] = Logger::L_DEBUG;
    ustring path("unchanged");
    ustring via(Path("via"));
    ustring absent(Path("absent"));
    DIR_HANDLE handle{"before", 3};
    DIR_ENTRY entry{"kept"};
    struct Row {
        std::function<int()> call;
        int result;
        std::string lines;  // "@" stands for the test's directory
    };
    Row rows[] = {
        {[&] { return FSCopy(Path("sub"), Path("out"), true); }, -1,
         "[ERROR] file-op(N): CopyFile: read: Is a directory (21)\n"},
        {[&] { return FSCopy(Path("src"), "/dev/full", true); }, -2,
         "[ERROR] file-op(N): CopyFile: write: No space left on device (28)\n"},
        {[&] { return FSCopy(Path("src"), Path("src"), true); }, -1,
         "[ERROR] file-op(N): CopyFile: '@/src' and '@/src' are the same file\n"},
        {[&] { return FSMKDir(Path("src"), true); }, -1,
         "[ERROR] file-op(N): FSMKDir: Create a folder but local file system is not directory "
         "'@/src' (1)\n"},
        {[&] { return FSMKDir(Path("src/sub"), true); }, -1,
         "[ERROR] file-op(N): FSMKDir: Failed to to file info '@/src/sub'\n"},
        {[&] { return FSMktemp(Path("missing"), path); }, -1,
         "[ERROR] file-op(N): mkstemp(@/missing/XXXXXX): No such file or directory\n"},
        {[&] { return IsMSDOS(Path("missing")) ? 1 : 0; }, 0,
         "[ERROR] file-op(N): IsSupportLargeFile: Failed to get file system info '@/missing'. No "
         "such file or directory\n"},
        {[&] { return IsMSDOS(dir_.path()) + IsMSDOS("/proc") + IsMSDOS("/dev"); }, 0, ""},
        {[&] { return FSGetRealPath(via); }, 0,
         "[DEBUG] file-op(N):  org path [@/via]\n[DEBUG] file-op(N):  get full path [" + resolved +
             "]\n"},
        {[&] { return FSGetRealPath(absent); }, -1, "[DEBUG] file-op(N):  org path [@/absent]\n"},
        {[&] { return FSOpenDir(absent, 1, handle); }, -1,
         "[ERROR] file-op(N): FSOpenDir: Failed to open directory '@/absent'. No such file or "
         "directory\n"},
        {[&] { return FSReadDir(handle, entry); }, -1,  // a handle that is not open
         "[ERROR] file-op(N): FSOpenDir: Failed to read directory 'before'. Bad file descriptor\n"},
    };
    for (Row& row : rows) {
        for (size_t at; (at = row.lines.find('@')) != std::string::npos;)
            row.lines.replace(at, 1, dir_.path());
        StderrCapture capture;
        EXPECT_EQ(row.result, row.call()) << row.lines;
        EXPECT_EQ(row.lines, NormalizeLog(capture.Stop(), "file-op"));
    }
    EXPECT_EQ(resolved, via.c_str());
    EXPECT_EQ(Path("absent"), absent.c_str()) << "unchanged on failure";
    EXPECT_STREQ("unchanged", path.c_str());
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
        {"f", false, kDefaultMode, 022, -1, EEXIST, 0, "f", kRegular | 0644},
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

// The owner goes through the seam, so no root is needed to see it asked for.
TEST_F(FileOpTest, NewDirectoriesAreGivenTheModuleOwner) {
    Shell("touch f && mkdir old");
    SysCallsRestored restored;
    g_sys.chown = RecordOwnerChange;
    g_owner_changes.clear();
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
    EXPECT_EQ(expected, g_owner_changes);
}

TEST_F(FileOpTest, DirectoryCreationFailsAsDocumentedAtEveryFailurePoint) {
    const ustring target(Path("work/file/b/c"));
    char* stop = nullptr;
    auto plant = [&] {
        EmptyFolder("work");
        WriteFile(Path("work/file"), "replaced by a folder");
        WriteFile(Path("work/bystander"), "kept");
    };
    const std::set<std::string> own = {"bystander", "file", "file/b", "file/b/c"};
    TryAtEveryFailurePoint({"FSMKDirP",
                            {"stat", "unlink", "mkdir"},
                            plant,
                            [&] { return FSMKDirP(target, &stop, true, 0750); },
                            [&](const FaultRun& run, const std::string& logged) {
                                EXPECT_EQ(mode_t(022), umask(022)) << "the mask is restored";
                                if (run.rc == 0) {
                                    EXPECT_EQ(kDirectory | 0750, StatOf(target.c_str()).st_mode);
                                } else {
                                    // A prefix said missing where a file is: mkdir says it exists.
                                    ExpectFailure(run, -1, logged, "", EEXIST);
                                    EXPECT_TRUE(*stop == '/' || *stop == '\0')
                                        << "stops within a component";
                                }
                                for (const auto& [name, content] : TreeOf(Path("work")))
                                    EXPECT_TRUE(own.count(name)) << name << " made";
                                EXPECT_EQ("kept", ReadFile(Path("work/bystander")));
                            }});
    TryAtEveryFailurePoint({"FSMKDir",
                            {"lstat", "mkdir", "chown"},
                            [&] { EmptyFolder("work"); },
                            [&] { return FSMKDir(Path("work/new"), false); },
                            [&](const FaultRun& run, const std::string& logged) {
                                const bool status = run.call == "lstat" && run.err != ENOENT;
                                if (!run.fired || run.call == "chown" ||
                                    (run.call == "lstat" && !status))
                                    EXPECT_TRUE(run.rc == 0 && S_ISDIR(ModeOf("work/new")));
                                else
                                    ExpectFailure(run, status ? -1 : -2, logged,
                                                  status ? "Failed to to file info" : "");
                            }});
}

TEST_F(FileOpTest, CopyIsWholeAndLosesNothing) {
    const std::string big = Pattern((9u << 20) + 12345);  // past the writeback stride
    WriteFile(Path("big"), big);
    ASSERT_EQ(0, FSCopy(Path("big"), Path("copy"), false));
    EXPECT_TRUE(ReadFile(Path("copy")) == big);
    ASSERT_EQ(0, FSCopy(Path("copy"), Path("moved"), true));
    EXPECT_FALSE(PathExists(Path("copy")));
    EXPECT_TRUE(ReadFile(Path("moved")) == big);
    EXPECT_EQ(kRegular | 0644, ModeOf("moved"));
    Shell("touch empty && mkfifo pipe");
    ASSERT_EQ(0, FSCopy(Path("empty"), Path("big"), false));
    EXPECT_EQ("", ReadFile(Path("big")));
    // A destination that is not a file (a pipe: no flush) goes through the buffer.
    std::string piped;
    std::thread reader([&] { piped = ReadFile(Path("pipe")); });
    EXPECT_EQ(0, FSCopy(Path("moved"), Path("pipe"), false));
    reader.join();
    EXPECT_TRUE(piped == big);
}

TEST_F(FileOpTest, CopyIsWholeOrFailsLeavingTheSourceAtEveryFailurePoint) {
    const std::string source = Pattern(3u << 19);  // two reads of the buffer
    const std::string old_content = "old destination\n";
    auto plant = [&] {
        WriteFile(Path("src"), source);
        WriteFile(Path("dst"), old_content);
    };
    auto check = [&](const FaultRun& run, const std::string& logged) {
        const bool retried =
            run.err == EINTR && (run.call == "open" || run.call == "read" || run.call == "write");
        const bool source_closed = run.call == "close" && run.n == 1;
        if (!run.fired || retried || source_closed || run.call == "copy_file_range") {
            EXPECT_EQ(0, run.rc);
            EXPECT_TRUE(ReadFile(Path("dst")) == source) << "the copy is incomplete";
            EXPECT_FALSE(PathExists(Path("src"))) << "the source is left";
            return;
        }
        const bool on_destination = run.call == "write" || run.call == "ftruncate" ||
                                    run.call == "fsync" ||
                                    ((run.call == "open" || run.call == "close") && run.n == 2);
        ExpectFailure(run, run.err == ENOSPC && on_destination ? -2 : -1, logged,
                      "CopyFile: " + run.call);
        const std::string left = ReadFile(Path("dst"));
        EXPECT_TRUE(ReadFile(Path("src")) == source) << "the source is not kept";
        EXPECT_TRUE(left == old_content || source.compare(0, left.size(), left) == 0)
            << "the destination holds neither its old content nor a part of the copy";
    };
    const std::vector<std::string> calls = {"open",  "fstat", "ftruncate", "copy_file_range",
                                            "read",  "write", "fsync",     "close",
                                            "unlink"};
    TryAtEveryFailurePoint(
        {"FSCopy", calls, plant, [&] { return FSCopy(Path("src"), Path("dst"), true); }, check});
    SysCallsRestored restored;
    g_sys.copy_file_range = NoInKernelCopy;
    TryAtEveryFailurePoint({"FSCopy without in-kernel copy", calls, plant,
                            [&] { return FSCopy(Path("src"), Path("dst"), true); }, check});
}

TEST_F(FileOpTest, RenameWithinAFileSystemIsAllOrNothing) {
    Shell("echo x >f && mkdir d1 d2 && touch d2/occupied");
    const std::tuple<std::string, std::string, int> failures[] = {
        {"", Path("g"), -1},
        {Path("f"), "", -1},
        {Path("missing"), Path("g"), -2},
        {Path("f/below"), Path("g"), -2},
        {Path("d1"), Path("d2"), -3},
        {Path("f"), Path(std::string(300, 'n')), -100}};
    for (const auto& [from, to, result] : failures)
        EXPECT_EQ(result, FSRename(from, to, false)) << from << " to " << to;
    ASSERT_EQ(0, FSRename(Path("f"), Path("d1/f"), true));
    ASSERT_EQ(0, FSRename(Path("d1"), Path("moved"), true));
    EXPECT_EQ("x\n", ReadFile(Path("moved/f")));
    EXPECT_FALSE(PathExists(Path("d1")));
    TryAtEveryFailurePoint({"FSRename",
                            {"lstat", "rename"},
                            [&] {
                                WriteFile(Path("moved/g"), "new");
                                WriteFile(Path("moved/f"), "old");
                            },
                            [&] { return FSRename(Path("moved/g"), Path("moved/f"), false); },
                            [&](const FaultRun& run, const std::string& logged) {
                                if (run.fired)
                                    ExpectFailure(run, run.call == "lstat" ? -2 : -3, logged, "");
                                EXPECT_EQ(run.rc == 0 ? "new" : "old", ReadFile(Path("moved/f")));
                                EXPECT_EQ(run.rc == 0 ? "" : "new", ReadFile(Path("moved/g")));
                            }});
}

// Across file systems the move goes by copying: a tree merged into an
// existing one, a link recreated over a file, as rename would replace it.
TEST_F(FileOpTest, RenameAcrossFileSystemsLosesAndTearsNothingAtEveryFailurePoint) {
    SysCallsRestored restored;
    g_other_file_system = Path("other");
    g_sys.rename = RenameAcrossFileSystems;
    const std::string big = Pattern(100000);
    auto plant = [&] {
        std::filesystem::remove_all(Path("tree"));
        std::filesystem::remove_all(Path("other"));
        EmptyFolder("tree/sub/empty");
        EmptyFolder("other/tree/sub");
        WriteFile(Path("tree/top"), "top\n");
        WriteFile(Path("tree/sub/big"), big);
        std::filesystem::create_symlink("../top", Path("tree/sub/up"));
        WriteFile(Path("other/tree/sub/old"), "o\n");
        WriteFile(Path("other/tree/sub/up"), "replaced\n");
    };
    plant();
    const auto source = TreeOf(Path("tree"));
    const auto destination_before = TreeOf(Path("other/tree"));
    std::map<std::string, std::string> moved = source;
    moved["sub/old"] = "o\n";
    auto move = [&] { return FSRename(Path("tree"), Path("other/tree"), false); };
    ASSERT_EQ(0, move());
    EXPECT_EQ(moved, TreeOf(Path("other/tree")));
    EXPECT_FALSE(PathExists(Path("tree")));
    auto check = [&](const FaultRun& run, const std::string& logged) {
        const auto left = TreeOf(Path("tree"));
        const auto arrived = TreeOf(Path("other/tree"));
        if (run.rc == 0) {
            EXPECT_NE("fsync", run.fired_call) << "a move not flushed is reported as done";
            EXPECT_EQ(moved, arrived);
            EXPECT_TRUE(left.empty());
            return;
        }
        ExpectFailure(run, run.call == "lstat" && run.n == 1 ? -2 : -3, logged, "");
        for (const auto& [name, content] : source) {
            const bool here = left.count(name) && left.at(name) == content;
            const bool there = arrived.count(name) && arrived.at(name) == content;
            EXPECT_TRUE(here || there || content == "<dir>") << name << " is lost";
        }
        for (const auto& [name, content] : arrived) {
            const bool old =
                destination_before.count(name) && destination_before.at(name) == content;
            const bool new_entry = moved.count(name) && moved.at(name) == content;
            EXPECT_TRUE(old || new_entry) << name << " is torn or stray";
        }
    };
    TryAtEveryFailurePoint({"FSRename across file systems",
                            {"lstat", "stat", "rename", "mkdir", "chown", "open", "fdopendir",
                             "readdir", "closedir", "close", "fstat", "copy_file_range", "read",
                             "fsync", "readlink", "symlink", "unlink", "unlinkat"},
                            plant,
                            move,
                            check});
    // A pipe cannot be recreated faithfully: it stays, and so does its folder.
    Shell("mkdir tree && mkfifo tree/pipe");
    EXPECT_EQ(-3, FSRename(Path("tree"), Path("other/t"), false));
    EXPECT_TRUE(S_ISFIFO(ModeOf("tree/pipe")));
    EXPECT_FALSE(PathExists(Path("other/t/pipe")));
}

// Temporary names drawn at once are distinct and use the whole alphabet at every position.
TEST_F(TmpNameGenThreads, TemporaryFilesAndConcurrentNames) {
    umask(077);
    ustring first_file, second_file, first_name, second_name;  // the second call must succeed too
    ASSERT_EQ(0, FSMktemp(dir_.path(), first_file));
    ASSERT_EQ(0, FSMktemp(dir_.path(), second_file));
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), first_name));
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), second_name));
    const std::string made = first_file.c_str();
    const std::string named = first_name.c_str();
    const std::string folder = Path("");
    EXPECT_TRUE(made.find(folder) == 0 && IsGeneratedName(made.substr(folder.size()), 6)) << made;
    EXPECT_TRUE(named.find(folder) == 0 && IsGeneratedName(named.substr(folder.size()), 8))
        << named;
    EXPECT_EQ(kRegular | 0644, StatOf(made).st_mode);
    EXPECT_FALSE(PathExists(named)) << "nothing is created";
    std::vector<std::string> names_per_thread[4];
    std::vector<std::thread> threads;
    for (auto& names : names_per_thread)
        threads.emplace_back([&names] {
            for (int i = 0; i < 5000; ++i)
                names.push_back(TmpNameGen::getInstance().getTmpName().c_str());
        });
    for (auto& thread : threads) thread.join();
    std::set<std::string> distinct;
    std::set<char> used_at[8];
    for (const auto& names : names_per_thread)
        for (const std::string& name : names) {
            ASSERT_TRUE(IsGeneratedName(name, 8)) << name;
            for (int position = 0; position < 8; ++position)
                used_at[position].insert(name[position]);
            distinct.insert(name);
        }
    EXPECT_EQ(20000u, distinct.size());
    for (const auto& used : used_at) EXPECT_EQ(64u, used.size());
}

// A temporary file is handed out mode 0644 and flushed, or not at all.
TEST_F(FileOpTest, TemporaryFileIsCompleteOrAbsentAtEveryFailurePoint) {
    umask(077);
    ustring made;
    TryAtEveryFailurePoint({"FSMktemp",
                            {"mkstemp", "fchmod", "fsync", "close", "unlink"},
                            [&] {
                                EmptyFolder("tmp");
                                made = "unchanged";
                            },
                            [&] { return FSMktemp(Path("tmp"), made); },
                            [&](const FaultRun& run, const std::string& logged) {
                                if (!run.fired ||
                                    run.call == "close") {  // nothing written: nothing to lose
                                    EXPECT_EQ(0, run.rc);
                                    EXPECT_EQ(kRegular | 0644, StatOf(made.c_str()).st_mode);
                                    EXPECT_EQ(1u, TreeOf(Path("tmp")).size());
                                    return;
                                }
                                ExpectFailure(run, -1, logged, run.call + "(" + Path("tmp/"));
                                EXPECT_STREQ("unchanged", made.c_str());
                                EXPECT_TRUE(TreeOf(Path("tmp")).empty()) << "a file is left behind";
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
    // A file system that lists no types: the statuses tell the same.
    SysCallsRestored restored;
    g_sys.readdir = ListingWithoutTypes;
    Visit typeless;
    EXPECT_EQ(0, TraverseDir(top, Record, &typeless));
    EXPECT_EQ(full, typeless.paths);
}

// Stops at a failing call, having visited a prefix of the walk, each entry once.
TEST_F(FileOpTest, TraversalAndListingFailAsDocumentedAtEveryFailurePoint) {
    Shell("mkdir -p t/a t/b && touch t/a/f1 t/f2");
    const std::string top = Path("t");
    Visit visit;
    auto walk = [&] {
        visit.paths.clear();
        return TraverseDir(top, Record, &visit);
    };
    walk();
    const std::vector<std::string> full = visit.paths;
    auto check_walk = [&](const FaultRun& run, const std::string& logged) {
        EXPECT_EQ("", logged);
        if (!run.fired || run.call == "closedir") {
            EXPECT_EQ(0, run.rc);
            EXPECT_EQ(full, visit.paths);
            return;
        }
        // An entry whose status is gone has vanished since it was listed.
        const bool vanished = run.call == "lstat" && run.err == ENOENT && run.n > 1;
        if (vanished && run.rc == 0) {
            const std::set<std::string> distinct(visit.paths.begin(), visit.paths.end());
            EXPECT_EQ(distinct.size(), visit.paths.size()) << "an entry is visited twice";
            for (const std::string& path : visit.paths)
                EXPECT_TRUE(std::count(full.begin(), full.end(), path)) << path;
            return;
        }
        EXPECT_EQ(run.call == "lstat" && run.n == 1 ? -1 : -2, run.rc);
        EXPECT_TRUE(visit.paths.size() <= full.size() &&
                    std::equal(visit.paths.begin(), visit.paths.end(), full.begin()))
            << "visits go on after the failure";
    };
    TryAtEveryFailurePoint(
        {"TraverseDir", {"lstat", "opendir", "readdir", "closedir"}, [] {}, walk, check_walk});
    {
        SysCallsRestored restored;
        g_sys.readdir = ListingWithoutTypes;
        TryAtEveryFailurePoint({"TraverseDir without types",
                                {"lstat", "opendir", "readdir", "closedir"},
                                [] {},
                                walk,
                                check_walk});
    }
    std::set<std::string> names;
    auto read_all = [&] {
        names.clear();
        DIR_HANDLE handle;
        if (FSOpenDir(top, 1, handle) != 0) return -1;
        DIR_ENTRY entry;
        int rc;
        while ((rc = FSReadDir(handle, entry)) == 1) names.insert(entry.name.c_str());
        FSCloseDir(handle);
        return rc;
    };
    const std::set<std::string> all_names = {".", "..", "a", "b", "f2"};
    const std::map<std::string, std::string> lines = {{"opendir", "Failed to open directory"},
                                                      {"readdir", "Failed to read directory"},
                                                      {"lstat", "Failed to get info"}};
    TryAtEveryFailurePoint({"FSOpenDir, FSReadDir, FSCloseDir",
                            {"opendir", "readdir", "lstat", "closedir"},
                            [] {},
                            read_all,
                            [&](const FaultRun& run, const std::string& logged) {
                                // A name whose status is gone has vanished since it was listed.
                                if (!run.fired || run.call == "closedir" ||
                                    (run.call == "lstat" && run.err == ENOENT)) {
                                    EXPECT_EQ(0, run.rc);
                                    EXPECT_EQ(all_names, names);
                                    return;
                                }
                                ExpectFailure(run, -1, logged, "FSOpenDir: " + lines.at(run.call));
                                EXPECT_TRUE(std::includes(all_names.begin(), all_names.end(),
                                                          names.begin(), names.end()));
                            }});
}

}  // namespace
