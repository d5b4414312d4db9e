// Helpers of the file-operation tests: a status without following links,
// content that shows a misplaced block, and trees made in one shell line.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace testutil {

// The link status of path; all zero when there is none (st_nlink 0).
struct stat StatOf(const std::string& path);

// n bytes of deterministic, non-repeating content.
std::string Pattern(size_t n);

// Runs `cmd` with /bin/sh in directory `dir`; returns its exit status.
int ShellIn(const std::string& dir, const std::string& cmd);

}  // namespace testutil
