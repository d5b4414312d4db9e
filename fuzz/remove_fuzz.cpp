// Fuzzing of the removal walk. The input describes a tree (directories and
// chains of them, files, hard links, named pipes and symbolic links whose
// targets point outside the tree, up out of it, back at its root or
// nowhere), with arbitrary name bytes, built with the *at calls so that it
// may grow deeper than a path can name. TraverseDir must visit every object
// exactly once without leaving the tree, FSRemove must return 0 and leave
// nothing, and the files outside the tree that links point at must be
// untouched.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "file-op.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "removal check failed: %s\n", what);
    std::abort();
}
#define CHECK(cond)               \
    do {                          \
        if (!(cond)) Fail(#cond); \
    } while (0)

std::string g_base;     // private directory of this fuzzing process
std::string g_outside;  // holds the sentinel files
const char kSentinelText[] = "sentinel: must survive every removal\n";

class Input {
  public:
    Input(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool more() const { return i_ < n_; }
    uint8_t u8() { return i_ < n_ ? p_[i_++] : 0; }
    // A name of 1..255 bytes without '/' or NUL, and not "." or "..".
    std::string name() {
        uint8_t k = u8();
        size_t len = k == 255 ? 255 : 1 + k % 12;
        std::string s;
        for (size_t j = 0; j < len; ++j) {
            unsigned char c = u8();
            if (c == '/' || c == 0) c = static_cast<unsigned char>('a' + j % 26);
            s.push_back(static_cast<char>(c));
        }
        if (s == "." || s == "..") s += "x";
        return s;
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

std::string ReadAll(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    std::string s;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

void WriteAll(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

size_t CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    size_t n = 0;
    while (struct dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

void CheckOutsideIntact() {
    struct stat st;
    CHECK(ReadAll(g_outside + "/sentinel") == kSentinelText);
    CHECK(lstat((g_outside + "/sentinel").c_str(), &st) == 0);
    CHECK(st.st_nlink == 1);  // every hard link in the tree is gone
    CHECK(ReadAll(g_outside + "/dir/inner") == kSentinelText);
    CHECK(CountEntries(g_outside) == 2);
    CHECK(CountEntries(g_outside + "/dir") == 1);
}

struct Visit {
    std::string root;
    std::set<std::string> seen;
    bool escaped = false;
    bool twice = false;
};

int OnVisit(const ustring& path, void* priv) {
    Visit* v = static_cast<Visit*>(priv);
    std::string p(path.c_str(), path.length());
    if (p.compare(0, v->root.size(), v->root) != 0) v->escaped = true;
    if (!v->seen.insert(p).second) v->twice = true;
    return 0;
}

// Last-resort cleanup so that one failing input does not poison the next.
void Scrub(const std::string& path) {
    std::string cmd = "rm -rf '" + path + "' 2>/dev/null";
    int rc = std::system(cmd.c_str());
    (void)rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: truncating and rewriting files on a disk
    // file system costs a flush each time.
    struct stat st;
    std::string tmpl = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    tmpl += "/remove_fuzz.XXXXXX";
    if (!mkdtemp(&tmpl[0])) std::abort();
    g_base = tmpl;
    g_outside = g_base + "/outside";
    if (mkdir(g_outside.c_str(), 0755) != 0 || mkdir((g_outside + "/dir").c_str(), 0755) != 0)
        std::abort();
    WriteAll(g_outside + "/sentinel", kSentinelText);
    WriteAll(g_outside + "/dir/inner", kSentinelText);
    std::atexit([] { Scrub(g_base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const std::string tree = g_base + "/tree";
    if (mkdir(tree.c_str(), 0755) != 0) std::abort();

    // The stack of open directories we are building in, innermost last.
    std::vector<int> fds{open(tree.c_str(), O_RDONLY | O_DIRECTORY)};
    if (fds.back() < 0) std::abort();
    size_t path_len = tree.size();  // length of the innermost path
    std::vector<size_t> lens{path_len};
    size_t objects = 1;  // the root counts
    size_t longest = path_len;
    const size_t kMaxDepth = 120;

    auto made = [&](const std::string& name) {
        ++objects;
        longest = std::max(longest, lens.back() + 1 + name.size());
    };
    auto push_dir = [&](const std::string& name) {
        if (fds.size() >= kMaxDepth) return false;
        if (mkdirat(fds.back(), name.c_str(), 0755) != 0) return false;
        made(name);
        int fd = openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        if (fd < 0) std::abort();
        fds.push_back(fd);
        lens.push_back(lens.back() + 1 + name.size());
        return true;
    };

    for (int step = 0; step < 200 && in.more(); ++step) {
        int fd = fds.back();
        switch (in.u8() % 9) {
            case 0:
                push_dir(in.name());
                break;
            case 1:
                if (fds.size() > 1) {
                    close(fds.back());
                    fds.pop_back();
                    lens.pop_back();
                }
                break;
            case 2: {  // a regular file with some content
                std::string n = in.name();
                int f = openat(fd, n.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (f >= 0) {
                    size_t k = in.u8();
                    std::vector<char> junk(k * 37, 'j');
                    ssize_t w = write(f, junk.data(), junk.size());
                    (void)w;
                    close(f);
                    made(n);
                }
                break;
            }
            case 3: {  // a symbolic link pointing somewhere that must survive
                std::string n = in.name();
                std::string target;
                switch (in.u8() % 8) {
                    case 0:
                        target = g_outside + "/sentinel";
                        break;
                    case 1:
                        target = g_outside + "/dir";
                        break;
                    case 2:
                        target = g_outside;
                        break;
                    case 3:
                        target = "..";
                        break;
                    case 4:
                        target = ".";
                        break;
                    case 5:
                        target = tree;
                        break;
                    case 6:
                        target = "no/such/place";
                        break;
                    default: {
                        target.clear();
                        for (size_t i = 1; i < fds.size() + 1; ++i) target += "../";
                        target += "outside/dir";
                        break;
                    }
                }
                if (symlinkat(target.c_str(), fd, n.c_str()) == 0) made(n);
                break;
            }
            case 4: {  // a hard link to the outside sentinel
                std::string n = in.name();
                if (linkat(AT_FDCWD, (g_outside + "/sentinel").c_str(), fd, n.c_str(), 0) == 0)
                    made(n);
                break;
            }
            case 5: {  // a named pipe (never opened by the walk)
                std::string n = in.name();
                if (mkfifoat(fd, n.c_str(), 0600) == 0) made(n);
                break;
            }
            case 6: {  // a chain of directories, possibly deeper than a path
                std::string n = in.name();
                size_t k = 1 + in.u8() % 64;
                for (size_t i = 0; i < k; ++i)
                    if (!push_dir(n)) break;
                break;
            }
            case 7: {  // an empty directory left behind
                std::string n = in.name();
                if (mkdirat(fd, n.c_str(), 0700) == 0) made(n);
                break;
            }
            default: {  // back to the root
                while (fds.size() > 1) {
                    close(fds.back());
                    fds.pop_back();
                    lens.pop_back();
                }
                break;
            }
        }
    }
    for (int fd : fds) close(fd);

    // Every object is visited once, and nothing outside the tree, as long as
    // every path fits in a path name.
    if (longest < 4000) {
        Visit v;
        v.root = tree;
        int rc = TraverseDir(ustring(tree.c_str()), OnVisit, &v);
        if (rc != 0 || v.escaped || v.twice || v.seen.size() != objects) {
            std::fprintf(stderr, "TraverseDir rc %d, %zu visits for %zu objects%s%s\n", rc,
                         v.seen.size(), objects, v.escaped ? ", left the tree" : "",
                         v.twice ? ", visited twice" : "");
            Scrub(tree);
            Fail("traversal of the tree");
        }
    }

    int rc = FSRemove(ustring(tree.c_str()), (size & 1) != 0);
    struct stat st;
    bool gone = lstat(tree.c_str(), &st) != 0 && errno == ENOENT;
    if (rc != 0 || !gone) {
        std::fprintf(stderr, "FSRemove returned %d, tree %s\n", rc, gone ? "gone" : "still there");
        Scrub(tree);
        Fail("removal of the tree");
    }
    CheckOutsideIntact();

    // A link to the outside directory is removed as a link.
    if (size > 0 && data[0] == 'L') {
        const std::string link = g_base + "/link";
        if (symlink((g_outside + "/dir").c_str(), link.c_str()) != 0) std::abort();
        CHECK(FSRemove(ustring(link.c_str()), false) == 0);
        CHECK(lstat(link.c_str(), &st) != 0);
        CheckOutsideIntact();
    }
    return 0;
}
