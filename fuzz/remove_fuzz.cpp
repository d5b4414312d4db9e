// Fuzzing of the removal walk. The input describes a tree (directories and
// chains of them, files, hard links, named pipes and symbolic links whose
// targets point outside the tree, up out of it, back at its root or
// nowhere), with arbitrary name bytes, built with the *at calls so that it
// may grow deeper than a path can name. TraverseDir must visit every object
// exactly once without leaving the tree; FSCount must count every object and
// FSRemove remove every one, both tallying the same entries and bytes, and
// leave nothing; the files outside the tree that links point at must be
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
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "file-op.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "removal check failed: %s\n", what);
    std::abort();
}
void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

std::string g_base;     // private directory of this fuzzing process
std::string g_outside;  // holds the sentinel files
const char kSentinelText[] = "sentinel: must survive every removal\n";

struct Input {
    const uint8_t* p_;
    size_t n_, i_;
    bool more() const { return i_ < n_; }
    uint8_t u8() { return i_ < n_ ? p_[i_++] : 0; }
    // A name of 1..255 bytes without '/' or NUL, and not "." or "..".
    std::string name() {
        uint8_t k = u8();
        size_t len = k == 255 ? 255 : 1 + k % 12;
        std::string s;
        for (size_t j = 0; j < len; ++j) {
            unsigned char c = u8();
            s.push_back(c == '/' || c == 0 ? static_cast<char>('a' + j % 26)
                                           : static_cast<char>(c));
        }
        return s == "." || s == ".." ? s + "x" : s;
    }
};

std::string ReadAll(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

size_t CountEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    size_t n = 0;
    while (d != nullptr && readdir(d) != nullptr) ++n;
    if (d != nullptr) closedir(d);
    return n < 2 ? 0 : n - 2;
}

void CheckOutsideIntact() {
    struct stat st;
    Check(ReadAll(g_outside + "/sentinel") == kSentinelText &&
              ReadAll(g_outside + "/dir/inner") == kSentinelText,
          "the files outside keep their content");
    Check(lstat((g_outside + "/sentinel").c_str(), &st) == 0 && st.st_nlink == 1,
          "every hard link in the tree is gone");
    Check(CountEntries(g_outside) == 2 && CountEntries(g_outside + "/dir") == 1,
          "the directories outside keep their entries");
}

struct Visit {
    std::string root;
    std::set<std::string> seen;
    bool bad = false;
};

int OnVisit(const ustring& path, void* priv) {
    Visit* v = static_cast<Visit*>(priv);
    std::string p(path.c_str(), path.length());
    v->bad |= p.compare(0, v->root.size(), v->root) != 0 || !v->seen.insert(p).second;
    return 0;
}

// Last-resort cleanup so that one failing input does not poison the next.
void Scrub(const std::string& path) {
    int rc = std::system(("rm -rf '" + path + "' 2>/dev/null").c_str());
    (void)rc;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Memory-backed when possible: rewriting files on a disk costs flushes.
    struct stat st;
    std::string tmpl = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    tmpl += "/remove_fuzz.XXXXXX";
    if (!mkdtemp(&tmpl[0])) std::abort();
    g_base = tmpl;
    g_outside = g_base + "/outside";
    if (mkdir(g_outside.c_str(), 0755) != 0 || mkdir((g_outside + "/dir").c_str(), 0755) != 0)
        std::abort();
    std::ofstream(g_outside + "/sentinel") << kSentinelText;
    std::ofstream(g_outside + "/dir/inner") << kSentinelText;
    std::atexit([] { Scrub(g_base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size, 0};
    const std::string tree = g_base + "/tree";
    if (mkdir(tree.c_str(), 0755) != 0) std::abort();
    // The open directories we are building in (innermost last), their paths' lengths.
    std::vector<int> fds{open(tree.c_str(), O_RDONLY | O_DIRECTORY)};
    std::vector<size_t> lens{tree.size()};
    uint64_t objects = 1;  // the root counts
    size_t longest = tree.size();
    auto made = [&](bool ok, const std::string& name) {
        if (!ok) return false;
        ++objects;
        longest = std::max(longest, lens.back() + 1 + name.size());
        return true;
    };
    auto push_dir = [&](const std::string& name) {
        if (fds.size() >= 120 || !made(mkdirat(fds.back(), name.c_str(), 0755) == 0, name))
            return false;
        fds.push_back(openat(fds.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
        lens.push_back(lens.back() + 1 + name.size());
        return true;
    };
    auto pop_dir = [&] {
        close(fds.back());
        fds.pop_back();
        lens.pop_back();
    };
    const std::string up_targets[] = {
        g_outside + "/sentinel", g_outside + "/dir", g_outside, "..", ".", tree, "no/such/place"};
    for (int step = 0; step < 200 && in.more(); ++step) {
        int fd = fds.back();
        uint8_t op = in.u8() % 9;
        std::string n = in.name();
        if (op == 0) {
            push_dir(n);
        } else if (op == 1) {
            if (fds.size() > 1) pop_dir();
        } else if (op == 2) {  // a regular file with some content
            int f = openat(fd, n.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (made(f >= 0, n)) {
                std::string junk(in.u8() * 37, 'j');
                if (write(f, junk.data(), junk.size()) < 0) std::abort();
                close(f);
            }
        } else if (op == 3) {  // a symbolic link pointing somewhere that must survive
            uint8_t k = in.u8() % 8;
            std::string target = k < 7 ? up_targets[k] : "";
            for (size_t i = 0; k == 7 && i < fds.size(); ++i) target += "../";
            if (k == 7) target += "outside/dir";
            made(symlinkat(target.c_str(), fd, n.c_str()) == 0, n);
        } else if (op == 4) {  // a hard link to the outside sentinel
            made(linkat(AT_FDCWD, (g_outside + "/sentinel").c_str(), fd, n.c_str(), 0) == 0, n);
        } else if (op == 5) {  // a named pipe (never opened by the walk)
            made(mkfifoat(fd, n.c_str(), 0600) == 0, n);
        } else if (op == 6) {  // a chain of directories, possibly deeper than a path
            for (size_t i = 0, k = 1 + in.u8() % 64; i < k && push_dir(n); ++i) {
            }
        } else if (op == 7) {  // an empty directory left behind
            made(mkdirat(fd, n.c_str(), 0700) == 0, n);
        } else {
            while (fds.size() > 1) pop_dir();
        }
    }
    while (!fds.empty()) pop_dir();

    // Every object is visited once, and nothing outside the tree, as long as
    // every path fits in a path name.
    if (longest < 4000) {
        Visit v;
        v.root = tree;
        int rc = TraverseDir(ustring(tree.c_str()), OnVisit, &v);
        if (rc != 0 || v.bad || v.seen.size() != objects) {
            Scrub(tree);
            Fail("traversal: each object once, nothing outside");
        }
    }

    FSRemoveSummary counted, removed;
    counted.want_bytes = removed.want_bytes = (size & 2) != 0;
    int count_rc = FSCount(ustring(tree.c_str()), &counted);
    int rc = FSRemove(ustring(tree.c_str()), (size & 1) != 0, &removed);
    struct stat st;
    bool gone = lstat(tree.c_str(), &st) != 0 && errno == ENOENT;
    if (count_rc != 0 || rc != 0 || !gone || counted.entries != objects ||
        removed.entries != objects || counted.bytes != removed.bytes) {
        Scrub(tree);
        Fail("count and removal: every object, the same tally, nothing left");
    }
    CheckOutsideIntact();

    // A link to the outside directory is removed as a link.
    const std::string link = g_base + "/link";
    if (symlink((g_outside + "/dir").c_str(), link.c_str()) != 0) std::abort();
    Check(FSRemove(ustring(link.c_str()), false) == 0 && lstat(link.c_str(), &st) != 0,
          "a link to a directory is removed as a link");
    CheckOutsideIntact();
    return 0;
}
