// Fault injection through the library's system-call table: make the Nth call
// (of one kind, or of any) fail with a chosen errno, and try an operation once
// at every failure point.
//
//   SysFaults faults;
//   size_t points = ForEachFailurePoint(faults, "", EIO, PlantFiles,
//       [&] { return FSCopy(src, dst, false); },
//       [&](const FaultRun& run) { EXPECT_EQ(run.fired ? -1 : 0, run.rc) << run.Describe(); });
#pragma once

#include <dirent.h>

#include <cstdint>
#include <functional>
#include <string>

namespace testutil {

// While alive, every call of the table goes through a wrapper that counts it
// and, when the plan says so, fails it (returning -1, 0 or null as the call
// does, with errno set) without making it. Restores the table on destruction.
// One at a time; the calls may come from any thread.
class SysFaults {
  public:
    SysFaults();
    ~SysFaults();
    SysFaults(const SysFaults&) = delete;
    SysFaults& operator=(const SysFaults&) = delete;

    // From now on every call named `call` fails with err.
    void FailEvery(const std::string& call, int err);
};

// A readdir for the table that gives no entry types, as some file systems do.
struct dirent* ListingWithoutTypes(DIR* dir);

// One attempt of ForEachFailurePoint: what was planned and what happened.
struct FaultRun {
    uint64_t n = 0;  // the nth call named `call` ("" for any) was to fail
    std::string call;
    int err = 0;             // with this errno
    bool fired = false;      // it did: the operation reached that call
    std::string fired_call;  // the name of the call that was failed
    uint64_t fired_nth = 0;  // which call of that name it was, counting from 1
    int rc = 0;              // what the operation returned
    int errno_after = 0;     // errno right after it returned
    // "call 3 (openat) failing with EIO", for failure messages.
    std::string Describe() const;
};

// Tries an operation at every failure point: for n = 1, 2, ... runs prepare
// (no call fails), then operation with the nth call failing, then check (no
// call fails), until an attempt finishes without reaching its nth call; that
// last, undisturbed attempt is checked too. Between operation and check it
// records a test failure when the operation left a descriptor open. Returns
// the number of failure points tried (the attempts in which a call failed).
size_t ForEachFailurePoint(SysFaults& faults, const std::string& call, int err,
                           const std::function<void()>& prepare,
                           const std::function<int()>& operation,
                           const std::function<void(const FaultRun&)>& check);

}  // namespace testutil
