// The counting and failing wrappers of SysFaults, and the failure-point loop.
#include "sys_faults.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "sys-internal.h"
#include "test_support.h"

namespace testutil {
namespace {

using bv_internal::SysCalls;

// The table's entries in declaration order; a wrapper knows its entry by index.
constexpr std::array<const char*, 40> kCallNames = {
    "open",       "openat",          "close",
    "fcntl",      "opendir",         "fdopendir",
    "readdir",    "closedir",        "stat",
    "lstat",      "fstat",           "fstatat",
    "statx",      "statfs",          "access",
    "realpath",   "readlink",        "unlink",
    "unlinkat",   "mkdir",           "rename",
    "symlink",    "fchmod",          "chown",
    "utime",      "mkstemp",         "read",
    "write",      "copy_file_range", "ftruncate",
    "fsync",      "flock",           "fopen",
    "fclose",     "fgets",           "fwrite",
    "fflush",     "vfprintf",        "sched_getaffinity",
    "gethostname"};
static_assert(sizeof(SysCalls) == kCallNames.size() * sizeof(void (*)()),
              "every entry of the table has a name here");

// The entries whose failure still releases the descriptor or stream.
constexpr int kClose = 2, kClosedir = 7, kFclose = 33;
static_assert(std::string_view(kCallNames[kClose]) == "close" &&
              std::string_view(kCallNames[kClosedir]) == "closedir" &&
              std::string_view(kCallNames[kFclose]) == "fclose");

int IndexOf(const std::string& call) {
    if (call.empty()) return -1;
    for (size_t i = 0; i < kCallNames.size(); ++i)
        if (call == kCallNames[i]) return static_cast<int>(i);
    ADD_FAILURE() << "no system call named " << call << " in the table";
    return -2;
}

// The plan of the live SysFaults; set while no operation runs, read by the
// wrappers from any thread.
struct Plan {
    int target = -1;       // index of the call that may fail; -1 any
    uint64_t fail_at = 0;  // the nth matching call fails; 0 none
    bool every = false;    // every matching call fails
    int err = 0;
    std::atomic<uint64_t> matching{0};
    std::array<std::atomic<uint64_t>, kCallNames.size()> counts{};
    std::atomic<int> fired{-1};  // index of the call failed
};

Plan g_plan;
SysCalls g_saved;
bool g_active = false;

// Whether this call, the wrapper of entry `index`, is to fail.
bool ShouldFail(int index) {
    g_plan.counts[index].fetch_add(1, std::memory_order_relaxed);
    if (g_plan.target >= 0 && g_plan.target != index) return false;
    uint64_t nth = g_plan.matching.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!g_plan.every && nth != g_plan.fail_at) return false;
    int none = -1;
    g_plan.fired.compare_exchange_strong(none, index);
    errno = g_plan.err;
    return true;
}

template <typename R>
R FailureResult() {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else if constexpr (std::is_unsigned_v<R>)
        return 0;
    else
        return -1;
}

template <typename F>
struct Wrapper;
template <typename R, typename... Args>
struct Wrapper<R (*)(Args...)> {
    using Fn = R (*)(Args...);
    template <Fn SysCalls::*Entry, int Index>
    static R Call(Args... args) {
        if (!ShouldFail(Index)) return (g_saved.*Entry)(args...);
        // A failed close still releases what it closes, on Linux as POSIX
        // allows it; so does this one.
        if constexpr (Index == kClose || Index == kClosedir || Index == kFclose) {
            const int err = errno;
            (g_saved.*Entry)(args...);
            errno = err;
        }
        return FailureResult<R>();
    }
};

template <auto Entry, int Index>
void Install(SysCalls& table) {
    using Fn = std::remove_reference_t<decltype(table.*Entry)>;
    table.*Entry = Wrapper<Fn>::template Call<Entry, Index>;
    static_assert(Index < static_cast<int>(kCallNames.size()));
}

void InstallAll(SysCalls& table) {
    Install<&SysCalls::open, 0>(table);
    Install<&SysCalls::openat, 1>(table);
    Install<&SysCalls::close, 2>(table);
    Install<&SysCalls::fcntl, 3>(table);
    Install<&SysCalls::opendir, 4>(table);
    Install<&SysCalls::fdopendir, 5>(table);
    Install<&SysCalls::readdir, 6>(table);
    Install<&SysCalls::closedir, 7>(table);
    Install<&SysCalls::stat, 8>(table);
    Install<&SysCalls::lstat, 9>(table);
    Install<&SysCalls::fstat, 10>(table);
    Install<&SysCalls::fstatat, 11>(table);
    Install<&SysCalls::statx, 12>(table);
    Install<&SysCalls::statfs, 13>(table);
    Install<&SysCalls::access, 14>(table);
    Install<&SysCalls::realpath, 15>(table);
    Install<&SysCalls::readlink, 16>(table);
    Install<&SysCalls::unlink, 17>(table);
    Install<&SysCalls::unlinkat, 18>(table);
    Install<&SysCalls::mkdir, 19>(table);
    Install<&SysCalls::rename, 20>(table);
    Install<&SysCalls::symlink, 21>(table);
    Install<&SysCalls::fchmod, 22>(table);
    Install<&SysCalls::chown, 23>(table);
    Install<&SysCalls::utime, 24>(table);
    Install<&SysCalls::mkstemp, 25>(table);
    Install<&SysCalls::read, 26>(table);
    Install<&SysCalls::write, 27>(table);
    Install<&SysCalls::copy_file_range, 28>(table);
    Install<&SysCalls::ftruncate, 29>(table);
    Install<&SysCalls::fsync, 30>(table);
    Install<&SysCalls::flock, 31>(table);
    Install<&SysCalls::fopen, 32>(table);
    Install<&SysCalls::fclose, 33>(table);
    Install<&SysCalls::fgets, 34>(table);
    Install<&SysCalls::fwrite, 35>(table);
    Install<&SysCalls::fflush, 36>(table);
    Install<&SysCalls::vfprintf, 37>(table);
    Install<&SysCalls::sched_getaffinity, 38>(table);
    Install<&SysCalls::gethostname, 39>(table);
}

}  // namespace

SysFaults::SysFaults() {
    if (g_active) {
        ADD_FAILURE() << "two SysFaults alive at once";
        return;
    }
    g_active = true;
    g_saved = bv_internal::g_sys;
    Clear();
    InstallAll(bv_internal::g_sys);
}

SysFaults::~SysFaults() {
    bv_internal::g_sys = g_saved;
    g_active = false;
}

void SysFaults::FailNth(uint64_t n, int err, const std::string& call) {
    g_plan.target = IndexOf(call);
    g_plan.fail_at = n;
    g_plan.every = false;
    g_plan.err = err;
    g_plan.matching = 0;
    for (auto& count : g_plan.counts) count = 0;
    g_plan.fired = -1;
}

void SysFaults::FailEvery(const std::string& call, int err) {
    FailNth(0, err, call);
    g_plan.every = true;
}

uint64_t SysFaults::Count(const std::string& call) const {
    int index = IndexOf(call);
    if (index >= 0) return g_plan.counts[index];
    uint64_t total = 0;
    for (auto& count : g_plan.counts) total += count;
    return total;
}

bool SysFaults::Fired() const {
    return g_plan.fired >= 0;
}

std::string SysFaults::FiredCall() const {
    int index = g_plan.fired;
    return index >= 0 ? kCallNames[index] : "";
}

struct dirent* ListingWithoutTypes(DIR* dir) {
    struct dirent* entry = bv_internal::kLibcSysCalls.readdir(dir);
    if (entry != nullptr) entry->d_type = DT_UNKNOWN;
    return entry;
}

std::string FaultRun::Describe() const {
    std::string text = "call " + std::to_string(n) + (call.empty() ? "" : " of " + call);
    if (fired) text += " (" + fired_call + ")";
    text += std::string(" failing with ") + (strerrorname_np(err) ? strerrorname_np(err) : "?");
    return fired ? text : "the run that reached no " + text;
}

size_t ForEachFailurePoint(SysFaults& faults, const std::string& call, int err,
                           const std::function<void()>& prepare,
                           const std::function<int()>& operation,
                           const std::function<void(const FaultRun&)>& check) {
    // Far more calls than any operation under test makes: a loop that never
    // ends means the operation retries its failing call for ever.
    constexpr uint64_t kMostPoints = 200000;
    for (uint64_t n = 1; n <= kMostPoints; ++n) {
        faults.Clear();
        if (prepare) prepare();
        const int open_before = OpenDescriptors();
        faults.FailNth(n, err, call);
        FaultRun run;
        run.n = n;
        run.call = call;
        run.err = err;
        run.rc = operation();
        run.errno_after = errno;
        run.fired = faults.Fired();
        run.fired_call = faults.FiredCall();
        faults.Clear();
        EXPECT_EQ(open_before, OpenDescriptors()) << run.Describe() << " left a descriptor open";
        check(run);
        if (!run.fired) return n - 1;
    }
    ADD_FAILURE() << "the operation still reached its call " << kMostPoints << "; it never ends";
    return kMostPoints;
}

}  // namespace testutil
