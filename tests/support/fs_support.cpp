#include "fs_support.h"

#include <cstdlib>
#include <random>

#include "test_support.h"

namespace testutil {

struct stat StatOf(const std::string& path) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    return st;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    std::mt19937 gen(7);
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

int ShellIn(const std::string& dir, const std::string& cmd) {
    return std::system(("cd " + ShellQuote(dir) + " && " + cmd).c_str());
}

}  // namespace testutil
