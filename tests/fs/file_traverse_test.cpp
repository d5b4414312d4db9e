// Traversal and directory reading.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "file-op.h"
#include "logger.h"
#include "test_support.h"

namespace {

using testutil::TempDir;

void MakeDir(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(0, mkdir(path.c_str(), mode)) << path << ": " << strerror(errno);
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// ---------------------------------------------------------------- TraverseDir

struct Visit {
    std::vector<std::string> paths;
    std::string stop_at;  // return 1 when this path is visited
};

int Record(const ustring& path, void* priv) {
    Visit* v = static_cast<Visit*>(priv);
    v->paths.emplace_back(path.c_str());
    return v->paths.back() == v->stop_at ? 1 : 0;
}

// The expected visit: pre-order, each directory in its own listing order.
void ReferenceWalk(const std::string& dir, std::vector<std::string>& out) {
    out.push_back(dir);
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(nullptr, d);
    while (struct dirent* de = readdir(d)) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
        std::string child = dir + "/" + de->d_name;
        if (de->d_type == DT_DIR)
            ReferenceWalk(child, out);
        else
            out.push_back(child);
    }
    closedir(d);
}

class TraverseDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = tmp_ / "t";
        MakeDir(top_);
        for (const char* d : {"/a", "/a/aa", "/b", "/c", "/c/cc", "/c/cc/ccc"}) MakeDir(top_ + d);
        for (const char* f : {"/f1", "/a/f2", "/a/aa/f3", "/c/cc/ccc/f4", "/c/f5"})
            testutil::WriteFile(top_ + f, "x");
        ASSERT_EQ(0, symlink((top_ + "/a").c_str(), (top_ + "/b/link-to-a").c_str()));
    }
    TempDir tmp_;
    std::string top_;
};

TEST_F(TraverseDirTest, PreOrderInListingOrder) {
    Visit v;
    EXPECT_EQ(0, TraverseDir(top_, Record, &v));
    std::vector<std::string> expected;
    ReferenceWalk(top_, expected);
    EXPECT_EQ(expected, v.paths);
    EXPECT_EQ(13u, v.paths.size());
    // The link is visited, not descended into.
    EXPECT_EQ(1, std::count(v.paths.begin(), v.paths.end(), top_ + "/b/link-to-a"));
    EXPECT_EQ(0, std::count_if(v.paths.begin(), v.paths.end(), [&](const std::string& p) {
                  return p.rfind(top_ + "/b/link-to-a/", 0) == 0;
              }));
}

TEST_F(TraverseDirTest, StopsEarly) {
    Visit top_only;
    top_only.stop_at = top_;
    EXPECT_EQ(-2, TraverseDir(top_, Record, &top_only));
    EXPECT_EQ(std::vector<std::string>{top_}, top_only.paths);

    std::vector<std::string> full;
    ReferenceWalk(top_, full);
    for (const std::string& stop : {top_ + "/a/aa/f3", top_ + "/c/cc", top_ + "/f1"}) {
        Visit v;
        v.stop_at = stop;
        EXPECT_EQ(-2, TraverseDir(top_, Record, &v)) << stop;
        auto at = std::find(full.begin(), full.end(), stop);
        ASSERT_NE(full.end(), at);
        EXPECT_EQ(std::vector<std::string>(full.begin(), at + 1), v.paths) << stop;
    }
}

TEST_F(TraverseDirTest, JoinsPathsAsWritten) {
    Visit v;
    EXPECT_EQ(0, TraverseDir(top_ + "/c/", Record, &v));
    std::vector<std::string> expected = {top_ + "/c/"};
    std::vector<std::string> rest;
    ReferenceWalk(top_ + "/c", rest);
    for (size_t i = 1; i < rest.size(); ++i)
        expected.push_back(top_ + "/c//" + rest[i].substr(top_.size() + 3));
    EXPECT_EQ(expected, v.paths);
    EXPECT_NE(v.paths.end(), std::find(v.paths.begin(), v.paths.end(), top_ + "/c//cc/ccc/f4"));
}

TEST_F(TraverseDirTest, RefusesWhatIsNotADirectory) {
    Visit v;
    EXPECT_EQ(-1, TraverseDir(top_ + "/f1", Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_ + "/missing", Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_ + "/b/link-to-a", Record, &v));
    EXPECT_EQ(-1, TraverseDir(ustring(""), Record, &v));
    EXPECT_EQ(-1, TraverseDir(top_, nullptr, &v));
    EXPECT_TRUE(v.paths.empty());
}

TEST_F(TraverseDirTest, UnreadableSubdirectoryEndsTheWalk) {
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0755));
    ASSERT_EQ(0, chmod((top_ + "/c/cc").c_str(), 0311));
    int rc = testutil::RunInChild(
        [&] {
            Visit v;
            if (TraverseDir(top_, Record, &v) != -2) return 1;
            // The walk ends at the unreadable directory: it is not visited.
            if (std::find(v.paths.begin(), v.paths.end(), top_ + "/c/cc") != v.paths.end())
                return 2;
            if (std::find(v.paths.begin(), v.paths.end(), top_ + "/c/cc/ccc") != v.paths.end())
                return 3;
            return 0;
        },
        true);
    EXPECT_EQ(0, rc);
    // Unreadable top: nothing is visited.
    ASSERT_EQ(0, chmod(top_.c_str(), 0311));
    rc = testutil::RunInChild(
        [&] {
            Visit v;
            return TraverseDir(top_, Record, &v) == -2 && v.paths.empty() ? 0 : 1;
        },
        true);
    EXPECT_EQ(0, rc);
}

// ---------------------------------------------------------------- FSReadDir

class ReadDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = tmp_ / "r";
        MakeDir(dir_);
        testutil::WriteFile(dir_ + "/file", "seventeen bytes!!");
        MakeDir(dir_ + "/sub");
        ASSERT_EQ(0, symlink("file", (dir_ + "/link").c_str()));
        ASSERT_EQ(0, mkfifo((dir_ + "/fifo").c_str(), 0600));
        ASSERT_EQ(0, FSUTime(dir_ + "/file", 1500000000, 1600000000));
    }
    void TearDown() override { Logger::log_level.erase(ustring("file_op_debug")); }

    struct Read {
        std::map<std::string, DIR_ENTRY> entries;
        int last = 99;
    };
    static Read ReadAll(DIR_HANDLE& dh) {
        Read r;
        DIR_ENTRY e;
        while ((r.last = FSReadDir(dh, e)) == 1) r.entries[e.name.c_str()] = e;
        return r;
    }

    TempDir tmp_;
    std::string dir_;
};

TEST_F(ReadDirTest, WithoutStatusEntriesCarryOnlyNameAndType) {
    DIR_HANDLE dh;
    EXPECT_EQ(nullptr, dh.dp);
    ASSERT_EQ(0, FSOpenDir(dir_, 0, dh));
    EXPECT_NE(nullptr, dh.dp);
    EXPECT_STREQ(dir_.c_str(), dh.path.c_str());
    Read r = ReadAll(dh);
    EXPECT_EQ(0, r.last);
    std::map<std::string, FILE_TYPE> types;
    for (auto& kv : r.entries) {
        types[kv.first] = kv.second.type;
        EXPECT_EQ(0u, kv.second.mtime) << kv.first;
        EXPECT_EQ(0u, kv.second.size) << kv.first;
    }
    std::map<std::string, FILE_TYPE> expected = {{".", FT_DIR},      {"..", FT_DIR},
                                                 {"file", FT_FILE},  {"sub", FT_DIR},
                                                 {"link", FT_SLINK}, {"fifo", FT_FIFO}};
    EXPECT_EQ(expected, types);

    // At the end the entry is left as it was.
    DIR_ENTRY e;
    e.name = "untouched";
    EXPECT_EQ(0, FSReadDir(dh, e));
    EXPECT_STREQ("untouched", e.name.c_str());
    FSCloseDir(dh);
}

TEST_F(ReadDirTest, WithStatusEntriesCarrySizeAndTime) {
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(dir_, 1 | 6, dh));
    EXPECT_EQ(7, dh.flag);
    Read r = ReadAll(dh);
    EXPECT_EQ(0, r.last);
    ASSERT_EQ(6u, r.entries.size());
    EXPECT_EQ(17u, r.entries["file"].size);
    EXPECT_EQ(1600000000u, r.entries["file"].mtime);
    EXPECT_EQ(4u, r.entries["link"].size);  // the link itself, not its target
    EXPECT_EQ(FT_SLINK, r.entries["link"].type);
    struct stat st;
    ASSERT_EQ(0, lstat((dir_ + "/sub").c_str(), &st));
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtime), r.entries["sub"].mtime);
    FSCloseDir(dh);
}

TEST_F(ReadDirTest, CloseClearsHandleAndIsHarmlessTwice) {
    DIR_HANDLE dh;
    ASSERT_EQ(0, FSOpenDir(dir_, 5, dh));
    FSCloseDir(dh);
    EXPECT_EQ(nullptr, dh.dp);
    EXPECT_TRUE(dh.path.empty());
    EXPECT_EQ(5, dh.flag);
    FSCloseDir(dh);
    EXPECT_EQ(nullptr, dh.dp);
    DIR_HANDLE fresh;
    FSCloseDir(fresh);
    EXPECT_EQ(nullptr, fresh.dp);
}

TEST_F(ReadDirTest, FailuresAreLoggedAndLeaveStateAlone) {
    std::string missing = dir_ + "/absent";
    DIR_HANDLE dh;
    dh.path = "before";
    dh.flag = 3;
    testutil::StderrCapture cap;
    EXPECT_EQ(-1, FSOpenDir(missing, 1, dh));
    DIR_ENTRY e;
    e.name = "kept";
    EXPECT_EQ(-1, FSReadDir(dh, e));  // not open
    std::string err = cap.Stop();
    EXPECT_STREQ("before", dh.path.c_str());
    EXPECT_EQ(3, dh.flag);
    EXPECT_EQ(nullptr, dh.dp);
    EXPECT_STREQ("kept", e.name.c_str());
    std::string ts = testutil::kTimestampRe;
    std::regex lines(
        "^" + ts + "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to open directory '" +
        missing + "'\\. No such file or directory\n" + ts +
        "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to read directory 'before'\\. "
        "Bad file descriptor\n$");
    EXPECT_TRUE(std::regex_match(err, lines)) << err;
}

TEST_F(ReadDirTest, EntryWhoseStatusFailsIsReported) {
    // Readable but not searchable: names can be listed, statuses not taken.
    ASSERT_EQ(0, chmod(tmp_.path().c_str(), 0755));
    ASSERT_EQ(0, chmod(dir_.c_str(), 0444));
    int rc = testutil::RunInChild(
        [&] {
            DIR_HANDLE dh;
            if (FSOpenDir(dir_, 1, dh) != 0) return 1;
            DIR_ENTRY e;
            e.name = "kept";
            testutil::StderrCapture cap;
            int r = FSReadDir(dh, e);
            std::string err = cap.Stop();
            FSCloseDir(dh);
            if (r != -1) return 2;
            if (std::string(e.name.c_str()) != "kept") return 3;
            std::regex line("^" + std::string(testutil::kTimestampRe) +
                            "\\[ERROR\\] file-op\\([0-9]+\\): FSOpenDir: Failed to get info for '" +
                            dir_ + "/[^']+'\n$");
            return std::regex_match(err, line) ? 0 : 4;
        },
        true);
    EXPECT_EQ(0, rc);
    // Without the status bit the same directory reads fine.
    rc = testutil::RunInChild(
        [&] {
            DIR_HANDLE dh;
            if (FSOpenDir(dir_, 0, dh) != 0) return 1;
            Read r = ReadAll(dh);
            FSCloseDir(dh);
            return r.last == 0 && r.entries.size() == 6 ? 0 : 2;
        },
        true);
    EXPECT_EQ(0, rc);
}

}  // namespace
