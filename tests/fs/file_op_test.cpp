// The file operations other than removal on real file systems, their log texts
// in one table, and their behaviour out of descriptors or rights.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
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
#include "test_support.h"
#include "tmp_name_gen.h"

namespace {

using namespace testutil;

constexpr mode_t kDefault = static_cast<mode_t>(-1), kDir = S_IFDIR, kReg = S_IFREG;
// A record whose every field differs from what GetFileInfo writes.
const FILE_INFO kSentinel{"sentinel", "name", FT_HLINK, 12345, 777, true, 4242, 4242};

// A name of the generator's shape: `n` characters of its alphabet.
bool IsName(const std::string& s, size_t n) {
    return std::regex_match(s, std::regex("[0-9a-zA-Z_-]{" + std::to_string(n) + "}"));
}

// The link status of path; all zero when there is none (st_nlink 0).
struct stat StatOf(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

// Content in which a lost or misplaced block shows.
std::string Pattern(size_t n) {
    std::string s(n, '\0');
    std::mt19937 gen(7);
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

class FileOpTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_umask_ = umask(022); }
    void TearDown() override {
        umask(saved_umask_);
        FSInitialize(static_cast<uid_t>(-1), static_cast<gid_t>(-1));
        Logger::log_level.erase(ustring("file_op_debug"));
    }
    std::string P(const std::string& rel) const { return dir_ / rel; }
    mode_t ModeOf(const std::string& rel) const { return StatOf(P(rel)).st_mode; }
    void Sh(const std::string& cmd) {
        ASSERT_EQ(0, std::system(("cd " + ShellQuote(dir_.path()) + " && " + cmd).c_str())) << cmd;
    }
    TempDir dir_;
    mode_t saved_umask_ = 0;
};
class TmpNameGenThreads : public FileOpTest {};

// The status of one object, and a listing with or without statuses agreeing.
TEST_F(FileOpTest, InformationAndListing) {
    Sh("mkdir r r/sub && printf 'twelve bytes' >r/file && mkfifo r/fifo && ln -s $PWD/r/sub r/link "
       "&& ln -s gone r/dangling");
    ASSERT_EQ(0, FSUTime(P("r/file"), 1000000000, 1200000000));
    EXPECT_EQ(1200000000, StatOf(P("r/file")).st_mtime);
    EXPECT_EQ(-1, FSUTime(P("missing"), 1, 2));
    std::map<std::string, DIR_ENTRY> plain, full;
    DIR_HANDLE dh;
    for (auto [flag, got] : {std::pair{0, &plain}, {1 | 6, &full}}) {
        ASSERT_EQ(0, FSOpenDir(P("r"), flag, dh));
        DIR_ENTRY e;
        e.size = e.mtime = 7;  // without a status asked for, both read as 0
        int rc;                // errno left over from earlier calls is no failed read
        for (errno = EIO; (rc = FSReadDir(dh, e)) == 1; errno = EIO) (*got)[e.name.c_str()] = e;
        EXPECT_EQ(0, rc);
        FSCloseDir(dh);
    }
    EXPECT_TRUE(!dh.dp && dh.path.empty() && dh.flag == 7);
    FSCloseDir(dh);  // harmless twice
    EXPECT_EQ(std::make_pair(7ul, 7ul), std::make_pair(plain.size(), full.size()));
    // Name, type, and whether access(), which follows links, reaches it.
    const std::tuple<std::string, FILE_TYPE, bool> cases[] = {
        {"file", FT_FILE, true},       {"sub", FT_DIR, true},       {"fifo", FT_FIFO, true},
        {"link", FT_SLINK, true},      {".", FT_DIR, true},         {"..", FT_DIR, true},
        {"dangling", FT_SLINK, false}, {"missing", FT_FILE, false}, {"/dev/null", FT_DEV, true}};
    for (const auto& [name, type, reachable] : cases) {
        const std::string path = name[0] == '/' ? name : P("r/" + name);
        const struct stat st = StatOf(path);
        const time_t now = time(nullptr);
        FILE_INFO info = kSentinel;
        ASSERT_EQ(0, FSStat(path, info, true)) << path;
        FILE_INFO want{path,      "name",   type, 0, uint64_t(st.st_size), st.st_nlink != 0,
                       st.st_uid, st.st_gid};
        want.mtime = want.isExist ? st.st_mtime : std::max<time_t>(now, info.mtime);
        EXPECT_TRUE(want == info && want.uid == info.uid && want.gid == info.gid)
            << path << ": " << info.type << " " << info.size << " " << info.mtime;
        EXPECT_EQ(reachable, IsFileExist(path, false)) << path;
        if (!info.isExist || name[0] == '/') continue;
        const DIR_ENTRY &p = plain[name], &f = full[name];  // the link's size is its own
        EXPECT_EQ(std::make_tuple(type, 0ul, 0u, type, info.size, info.mtime),
                  std::make_tuple(p.type, p.size, p.mtime, f.type, f.size, f.mtime))
            << name;
    }
    FILE_INFO info = kSentinel;
    EXPECT_EQ(-1, GetFileInfo(P("r/file/child"), info));
    EXPECT_EQ(-2, FSStat(P("r/file/child"), info, false));
    EXPECT_EQ(-1, FSStat("", info, false));
    EXPECT_TRUE(!(info != kSentinel) && info.uid == 4242u && info.gid == 4242u) << "unchanged";
}

TEST_F(FileOpTest, LogTexts) {
    Sh("echo data >src && mkdir sub && ln -s $PWD/sub via");
    std::unique_ptr<char, decltype(&free)> real(realpath(P("sub").c_str(), nullptr), &free);
    const std::string resolved = real.get();
    Logger::log_level[ustring("file_op_debug")] = Logger::L_DEBUG;
    ustring path("unchanged"), via(P("via")), absent(P("absent"));
    DIR_HANDLE dh{"before", 3};
    DIR_ENTRY e{"kept"};
    // The call, its result and its lines; "@" stands for the test's directory.
    std::tuple<std::function<int()>, int, std::string> rows[] = {
        {[&] { return FSCopy(P("sub"), P("out"), true); }, -1,
         "[ERROR] file-op(N): CopyFile: read: Is a directory (21)\n"},
        {[&] { return FSCopy(P("src"), "/dev/full", true); }, -2,
         "[ERROR] file-op(N): CopyFile: write: No space left on device (28)\n"},
        {[&] { return FSCopy(P("src"), P("src"), true); }, -1,
         "[ERROR] file-op(N): CopyFile: '@/src' and '@/src' are the same file\n"},
        {[&] { return FSMKDir(P("src"), true); }, -1,
         "[ERROR] file-op(N): FSMKDir: Create a folder but local file system is not directory "
         "'@/src' (1)\n"},
        {[&] { return FSMKDir(P("src/sub"), true); }, -1,
         "[ERROR] file-op(N): FSMKDir: Failed to to file info '@/src/sub'\n"},
        {[&] { return FSMktemp(P("missing"), path); }, -1,
         "[ERROR] file-op(N): mkstemp(@/missing/XXXXXX): No such file or directory\n"},
        {[&] { return IsMSDOS(P("missing")) ? 1 : 0; }, 0,
         "[ERROR] file-op(N): IsSupportLargeFile: Failed to get file system info '@/missing'. No "
         "such file or directory\n"},
        {[&] { return IsMSDOS(dir_.path()) + IsMSDOS("/proc") + IsMSDOS("/dev"); }, 0, ""},
        {[&] { return FSGetRealPath(via); }, 0,
         "[DEBUG] file-op(N):  org path [@/via]\n[DEBUG] file-op(N):  get full path [" + resolved +
             "]\n"},
        {[&] { return FSGetRealPath(absent); }, -1, "[DEBUG] file-op(N):  org path [@/absent]\n"},
        {[&] { return FSOpenDir(absent, 1, dh); }, -1,
         "[ERROR] file-op(N): FSOpenDir: Failed to open directory '@/absent'. No such file or "
         "directory\n"},
        {[&] { return FSReadDir(dh, e); }, -1,  // a handle that is not open
         "[ERROR] file-op(N): FSOpenDir: Failed to read directory 'before'. Bad file descriptor\n"},
    };
    for (auto& [call, rc, log] : rows) {
        for (size_t at; (at = log.find('@')) != std::string::npos;) log.replace(at, 1, dir_.path());
        StderrCapture cap;
        EXPECT_EQ(rc, call()) << log;
        EXPECT_EQ(log, NormalizeLog(cap.Stop(), "file-op"));
    }
    EXPECT_EQ(resolved, via.c_str());
    EXPECT_EQ(P("absent"), absent.c_str()) << "unchanged on failure";
    EXPECT_STREQ("unchanged", path.c_str());
    EXPECT_TRUE(dh.path == ustring("before") && dh.flag == 3 && !dh.dp &&
                e.name == ustring("kept"));
    EXPECT_EQ("data\n", ReadFile(P("src"))) << "copying onto itself loses nothing";
}

TEST_F(FileOpTest, MkDirP) {
    Sh("echo keep >f && mkdir -m 0700 e");
    // Path, force, mode, umask, result, errno, *endptr from the path's end, a mode found after.
    const std::tuple<const char*, bool, mode_t, mode_t, int, int, int, const char*, mode_t> rows[] =
        {
            {"a//b/./c/../d", false, kDefault, 022, 0, 0, 0, "a/b/d", kDir | 0755},
            {"s/t/", false, kDefault, 022, 0, 0, -1, "s/t", kDir | 0755},
            {"d", false, kDefault, 077, 0, 0, 0, "d", kDir | 0700},
            {"m/n", false, 0750, 077, 0, 0, 0, "m", kDir | 0750},
            {"e/x", false, 0777, 022, 0, 0, 0, "e", kDir | 0700},  // existing: mode kept
            {"f/c/d", false, 0700, 077, -1, ENOTDIR, -4, "f", kReg | 0644},
            {"f", false, kDefault, 022, -1, EEXIST, 0, "f", kReg | 0644},
            {"f/", false, kDefault, 022, -1, EEXIST, -1, "f", kReg | 0644},
            {"f/c", true, kDefault, 022, 0, 0, 0, "f/c", kDir | 0755},
        };
    for (const auto& [rel, force, mode, mask, rc, err, end, check, check_mode] : rows) {
        SCOPED_TRACE(rel);
        const ustring path(P(rel));
        char* stop = nullptr;
        umask(mask);
        errno = 0;
        EXPECT_EQ(rc, FSMKDirP(path, &stop, force, mode));
        EXPECT_EQ(mask, umask(022)) << "the mask is restored";
        EXPECT_EQ(err, rc == 0 ? 0 : errno);
        EXPECT_EQ(path.c_str() + path.length() + end, stop);
        EXPECT_EQ(check_mode, ModeOf(check));
    }
    char* stop = nullptr;
    EXPECT_EQ(-1, FSMKDirP("", &stop, false, kDefault));
    EXPECT_EQ(nullptr, stop) << "left as it was";
    EXPECT_EQ(-1, FSMKDir("", false));
    errno = 0;
    EXPECT_EQ(-2, FSMKDir(P("x/y"), false));
    EXPECT_EQ(ENOENT, errno);
    for (const char* rel : {"e", "x/y", "z"}) EXPECT_EQ(0, FSMKDir(P(rel), rel[0] == 'x')) << rel;
    EXPECT_EQ(std::make_tuple(kDir | 0700, kDir | 0755, kDir | 0755),
              std::make_tuple(ModeOf("e"), ModeOf("x/y"), ModeOf("z")));
}

TEST_F(FileOpTest, NewDirectoriesGetTheModuleOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
    Sh("touch f && mkdir old");
    FSChown(P("f"));  // the ids are unset at start-up: nothing changes
    FSInitialize(65534, static_cast<gid_t>(-1));
    ASSERT_EQ(0, FSMKDirP(P("old/new"), nullptr, false, kDefault));
    FSInitialize(static_cast<uid_t>(-1), 65533);
    ASSERT_EQ(0, FSMKDir(P("g/h"), true));
    FSChown(P("old"));
    std::vector<std::pair<uid_t, gid_t>> ids;
    for (const char* rel : {"f", "old/new", "old", "g", "g/h"})
        ids.emplace_back(StatOf(P(rel)).st_uid, StatOf(P(rel)).st_gid);
    EXPECT_EQ(decltype(ids)(
                  {{0, 0}, {65534, getegid()}, {0, 65533}, {geteuid(), 65533}, {geteuid(), 65533}}),
              ids);
}

TEST_F(FileOpTest, CopyIsWholeAndLosesNothing) {
    const std::string big = Pattern((9u << 20) + 12345);  // past the writeback stride
    WriteFile(P("big"), big);
    ASSERT_EQ(0, FSCopy(P("big"), P("copy"), false));
    EXPECT_TRUE(ReadFile(P("copy")) == big);
    ASSERT_EQ(0, FSCopy(P("copy"), P("moved"), true));
    EXPECT_TRUE(!PathExists(P("copy")) && ReadFile(P("moved")) == big);
    EXPECT_EQ(kReg | 0644, ModeOf("moved"));
    Sh("touch empty && mkfifo pipe");
    ASSERT_EQ(0, FSCopy(P("empty"), P("big"), false));
    EXPECT_EQ("", ReadFile(P("big")));
    // A destination that is not a file (a pipe: no flush) goes through the buffer.
    std::string piped;
    std::thread reader([&] { piped = ReadFile(P("pipe")); });
    EXPECT_EQ(0, FSCopy(P("moved"), P("pipe"), false));
    reader.join();
    EXPECT_TRUE(piped == big);
}

TEST_F(FileOpTest, RenameWithinOrAcrossFileSystems) {
    Sh("echo x >f && mkdir d1 d2 && touch d2/occupied");
    const std::tuple<std::string, std::string, int> failures[] = {
        {"", P("g"), -1},           {P("f"), "", -1},
        {P("missing"), P("g"), -2}, {P("f/below"), P("g"), -2},
        {P("d1"), P("d2"), -3},     {P("f"), P(std::string(300, 'n')), -100}};
    for (const auto& [from, to, rc] : failures) EXPECT_EQ(rc, FSRename(from, to, false)) << from;
    ASSERT_EQ(0, FSRename(P("f"), P("d1/f"), true));
    ASSERT_EQ(0, FSRename(P("d1"), P("moved"), true));
    EXPECT_TRUE(ReadFile(P("moved/f")) == "x\n" && !PathExists(P("d1")));
    // Across file systems (/dev/shm where it is one) the move goes by copying.
    char other[] = "/dev/shm/bvtest.XXXXXX";
    if (mkdtemp(other) == nullptr) GTEST_SKIP() << "/dev/shm is not writable here";
    std::unique_ptr<char, void (*)(char*)> cleanup(other, [](char* d) { FSRemove(d, false); });
    if (StatOf(dir_.path()).st_dev == StatOf(other).st_dev) GTEST_SKIP() << "same device";
    const std::string src = P("tree"), dst = std::string(other) + "/tree", big = Pattern(3u << 20);
    Sh("mkdir -p tree/sub/empty && echo top >tree/top && ln -s ../top tree/sub/up");
    WriteFile(src + "/sub/big", big);
    // Merged into an existing directory; the link replaces a file, as rename does.
    Sh("mkdir -p " + dst + "/sub && echo o >" + dst + "/sub/old && touch " + dst + "/sub/up");
    ASSERT_EQ(0, FSRename(src, dst, false));
    EXPECT_TRUE(!PathExists(src) && ReadFile(dst + "/sub/big") == big);
    EXPECT_EQ("o\ntop\n", ReadFile(dst + "/sub/old") + ReadFile(dst + "/sub/up"));
    EXPECT_EQ(std::make_pair(kDir | 0755, mode_t(S_IFLNK | 0777)),
              std::make_pair(StatOf(dst + "/sub/empty").st_mode, StatOf(dst + "/sub/up").st_mode));
    // A pipe cannot be recreated faithfully: it stays, and so does its folder.
    Sh("mkdir tree && mkfifo tree/pipe");
    EXPECT_EQ(-3, FSRename(src, std::string(other) + "/t", false));
    EXPECT_TRUE(S_ISFIFO(ModeOf("tree/pipe")) && !PathExists(std::string(other) + "/t/pipe"));
}

// Temporary names drawn at once are distinct and use the whole alphabet at every position.
TEST_F(TmpNameGenThreads, TemporaryFilesAndConcurrentNames) {
    umask(077);
    ustring a, b, c, d;  // two of each: the second call must succeed too
    ASSERT_EQ(0, FSMktemp(dir_.path(), a) + FSMktemp(dir_.path(), b));
    ASSERT_EQ(0, FSCreateTempPath(dir_.path(), c) + FSCreateTempPath(dir_.path(), d));
    const std::string made = a.c_str(), named = c.c_str(), in = P("");
    EXPECT_TRUE(made.find(in) == 0 && IsName(made.substr(in.size()), 6)) << made;
    EXPECT_TRUE(named.find(in) == 0 && IsName(named.substr(in.size()), 8)) << named;
    EXPECT_EQ(kReg | 0644, StatOf(made).st_mode);
    EXPECT_FALSE(PathExists(named)) << "nothing is created";
    std::vector<std::string> names[4];
    std::vector<std::thread> threads;
    for (auto& v : names)
        threads.emplace_back([&v] {
            for (int i = 0; i < 5000; ++i)
                v.push_back(TmpNameGen::getInstance().getTmpName().c_str());
        });
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    std::set<char> used[8];
    for (const auto& v : names)
        for (const std::string& n : v) {
            ASSERT_TRUE(IsName(n, 8)) << n;
            for (int i = 0; i < 8; ++i) used[i].insert(n[i]);
            all.insert(n);
        }
    EXPECT_EQ(20000u, all.size());
    for (const auto& u : used) EXPECT_EQ(64u, u.size());
}

// Out of descriptors: RLIMIT_NOFILE 32, then every free slot taken.
TEST_F(FileOpTest, WalksAndCopiesFailCleanlyWithoutDescriptors) {
    const std::string root = P("tree"), src = P("src"), dst = P("dst");
    Sh("echo payload >src");
    MakeChain(root, 64);  // deeper than the descriptors allow
    auto count = [](const ustring&, void* n) -> int { return ++*static_cast<int*>(n) < 0; };
    // The child's result names the first check that failed.
    auto child = [&] {
        if (!RedirectStderrTo(P("err")) || !LimitDescriptors(32)) return 1;
        int before = OpenDescriptors(), visits = 0;
        if (TraverseDir(root, count, &visits) != -2 || visits < 16 || visits > 64) return 2;
        if (OpenDescriptors() != before) return 3;
        std::vector<int> taken = ExhaustDescriptors();
        if (FSCopy(src, dst, false) != -1) return 4;
        Release(taken, 1);  // the source opens, the destination cannot
        if (FSCopy(src, dst, true) != -1) return 5;
        if (OpenDescriptors() != before + static_cast<int>(taken.size())) return 6;
        Release(taken, taken.size());
        LimitDescriptors(1024);  // with room again the same calls succeed
        visits = 0;
        if (TraverseDir(root, count, &visits) != 0 || visits != 65) return 7;
        return FSCopy(src, dst, false) == 0 ? 0 : 8;
    };
    EXPECT_EQ(0, RunInChild(child));
    EXPECT_EQ("payload\n", ReadFile(dst));
    const std::string opening = "[ERROR] file-op(N): CopyFile: open(",
                      emfile = "): Too many open files (24)\n";
    EXPECT_EQ(opening + src + emfile + opening + dst + emfile,
              NormalizeLog(ReadFile(P("err")), "file-op"));
}

// Root passes every permission check, hence the unprivileged child.
TEST_F(FileOpTest, WithoutPermission) {
    Sh("chmod 755 . && mkdir -m 555 ro && touch f && chmod 444 f && mkdir r && touch r/x && "
       "chmod 444 r");
    const ustring path(P("ro/x/y"));
    // Readable but not searchable: names can be listed, statuses not taken.
    const std::regex line("\\[ERROR\\] file-op\\(N\\): FSOpenDir: Failed to get info for '" +
                          RegexEscape(P("r")) + "/[^']+'\n");
    auto child = [&] {
        char* end = nullptr;
        umask(022);
        errno = 0;
        if (FSMKDirP(path, &end, false, 0700) != -1 || errno != EACCES) return 1;
        if (end != path.c_str() + P("ro/x").size()) return 2;
        if (umask(022) != 022) return 3;  // restored on failure as well
        if (!isFileLocked(P("f"), W_OK) || isFileLocked(P("f"), R_OK)) return 4;
        if (isFileLocked(P("missing"), W_OK)) return 5;  // ENOENT is no lock
        DIR_HANDLE dh;
        DIR_ENTRY e;
        e.name = "kept";
        if (FSOpenDir(P("r"), 1, dh) != 0) return 6;
        StderrCapture cap;
        if (FSReadDir(dh, e) != -1 || e.name != ustring("kept")) return 7;
        return std::regex_match(NormalizeLog(cap.Stop(), "file-op"), line) ? 0 : 8;
    };
    EXPECT_EQ(0, RunInChild(child, true));
    EXPECT_FALSE(PathExists(P("ro/x")));
}

struct Visit {
    std::vector<std::string> paths;
    std::string stop_at;  // where the callback asks to stop
};

int Record(const ustring& path, void* priv) {
    auto* v = static_cast<Visit*>(priv);
    v->paths.emplace_back(path.c_str());
    return v->paths.back() == v->stop_at ? 1 : 0;
}

TEST_F(FileOpTest, TraverseDir) {
    Sh("chmod 755 . && mkdir -p t/a/aa t/b t/c/cc/ccc && touch t/f1 t/a/f2 t/a/aa/f3 "
       "t/c/cc/ccc/f4 t/c/f5 && ln -s $PWD/t/a t/b/link-to-a");
    const std::string top = P("t");
    // Every entry once, links not followed, each directory before what it holds.
    Visit all;
    ASSERT_EQ(0, TraverseDir(top, Record, &all));
    const std::vector<std::string> full = all.paths;
    std::set<std::string> seen;
    for (const std::string& p : full)
        EXPECT_TRUE(seen.insert(p).second && (p == top || seen.count(p.substr(0, p.rfind('/')))));
    ASSERT_EQ(13u, seen.size());
    for (const std::string& stop :
         {std::string(), top, top + "/a/aa/f3", top + "/c/cc", top + "/f1"}) {
        Visit v{{}, stop};
        EXPECT_EQ(stop.empty() ? 0 : -2, TraverseDir(top, Record, &v)) << stop;
        const auto at = std::find(full.begin(), full.end(), stop);
        EXPECT_EQ(std::vector<std::string>(full.begin(), at == full.end() ? at : at + 1), v.paths);
    }
    Visit v;
    for (const std::string& bad :
         {top + "/f1", top + "/missing", top + "/b/link-to-a", std::string()})
        EXPECT_EQ(-1, TraverseDir(bad, Record, &v)) << bad;
    EXPECT_EQ(-1, TraverseDir(top, nullptr, &v));
    EXPECT_TRUE(v.paths.empty());
    // An unreadable directory ends the walk unvisited.
    for (const std::string& dir : {top + "/c/cc", top}) {
        ASSERT_EQ(0, chmod(dir.c_str(), 0311));
        const std::vector<std::string> before(full.begin(),
                                              std::find(full.begin(), full.end(), dir));
        auto walk = [&] {
            Visit v;
            return TraverseDir(top, Record, &v) == -2 && v.paths == before ? 0 : 1;
        };
        EXPECT_EQ(0, RunInChild(walk, true)) << dir;
    }
}

}  // namespace
