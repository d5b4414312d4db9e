// The counting and failing wrappers of SysFaults, and the failure-point loop.
#include "sys_faults.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <type_traits>
#include <vector>

#include "sys-internal.h"
#include "test_support.h"

namespace testutil {
namespace {

using bv_internal::SysCalls;

constexpr size_t kEntries = sizeof(SysCalls) / sizeof(void (*)());

// The plan of the live SysFaults; set while no operation runs, read by the
// wrappers from any thread.
struct Plan {
    int target = -1;       // index of the call that may fail; -1 any
    uint64_t fail_at = 0;  // the nth matching call fails; 0 none
    bool every = false;    // every matching call fails
    int err = 0;
    std::atomic<uint64_t> matching{0};
    std::array<std::atomic<uint64_t>, kEntries> counts{};  // calls of each entry
    std::atomic<int> fired{-1};                            // index of the call failed
    std::atomic<uint64_t> fired_nth{0};
};

Plan g_plan;
SysCalls g_saved;
bool g_active = false;
std::vector<std::string> g_names;  // of the entries, by the index their wrappers count under

// A new plan, the counts reset: the nth matching call fails (every one when
// `every`), none when n is 0.
void NewPlan(uint64_t n, int err, int target, bool every) {
    g_plan.target = target;
    g_plan.fail_at = n;
    g_plan.every = every;
    g_plan.err = err;
    g_plan.matching = 0;
    for (auto& count : g_plan.counts) count = 0;
    g_plan.fired = -1;
    g_plan.fired_nth = 0;
}

int IndexOf(const std::string& call) {
    if (call.empty()) return -1;
    for (size_t i = 0; i < g_names.size(); ++i)
        if (call == g_names[i]) return static_cast<int>(i);
    ADD_FAILURE() << "no system call named " << call << " in the table";
    return -2;
}

// Whether this call, of the entry at `index`, is to fail.
bool ShouldFail(int index) {
    const uint64_t nth_of_name = g_plan.counts[index].fetch_add(1, std::memory_order_relaxed) + 1;
    if (g_plan.target >= 0 && g_plan.target != index) return false;
    uint64_t nth = g_plan.matching.fetch_add(1, std::memory_order_relaxed) + 1;
    if (!g_plan.every && nth != g_plan.fail_at) return false;
    int none = -1;
    if (g_plan.fired.compare_exchange_strong(none, index)) g_plan.fired_nth = nth_of_name;
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

// The index an entry's wrapper counts under, set when it is installed.
template <auto Entry>
int g_index_of = -1;

template <typename F>
struct Wrapper;
template <typename R, typename... Args>
struct Wrapper<R (*)(Args...)> {
    template <R (*SysCalls::*Entry)(Args...)>
    static R Call(Args... args) {
        const int index = g_index_of<Entry>;
        if (!ShouldFail(index)) return (g_saved.*Entry)(args...);
        // A failed close still releases what it closes, on Linux as POSIX
        // allows it; so does this one.
        const std::string& name = g_names[index];
        if (name == "close" || name == "closedir" || name == "fclose") {
            const int err = errno;
            (g_saved.*Entry)(args...);
            errno = err;
        }
        return FailureResult<R>();
    }
};

template <auto Entry>
void Install(SysCalls& table, const char* name) {
    g_index_of<Entry> = static_cast<int>(g_names.size());
    g_names.push_back(name);
    using Fn = std::remove_reference_t<decltype(table.*Entry)>;
    table.*Entry = Wrapper<Fn>::template Call<Entry>;
}

void InstallAll(SysCalls& table) {
    g_names.clear();
    Install<&SysCalls::open>(table, "open");
    Install<&SysCalls::openat>(table, "openat");
    Install<&SysCalls::close>(table, "close");
    Install<&SysCalls::fcntl>(table, "fcntl");
    Install<&SysCalls::opendir>(table, "opendir");
    Install<&SysCalls::fdopendir>(table, "fdopendir");
    Install<&SysCalls::readdir>(table, "readdir");
    Install<&SysCalls::closedir>(table, "closedir");
    Install<&SysCalls::stat>(table, "stat");
    Install<&SysCalls::lstat>(table, "lstat");
    Install<&SysCalls::fstat>(table, "fstat");
    Install<&SysCalls::fstatat>(table, "fstatat");
    Install<&SysCalls::statx>(table, "statx");
    Install<&SysCalls::statfs>(table, "statfs");
    Install<&SysCalls::access>(table, "access");
    Install<&SysCalls::realpath>(table, "realpath");
    Install<&SysCalls::readlink>(table, "readlink");
    Install<&SysCalls::unlink>(table, "unlink");
    Install<&SysCalls::unlinkat>(table, "unlinkat");
    Install<&SysCalls::mkdir>(table, "mkdir");
    Install<&SysCalls::rename>(table, "rename");
    Install<&SysCalls::symlink>(table, "symlink");
    Install<&SysCalls::fchmod>(table, "fchmod");
    Install<&SysCalls::chown>(table, "chown");
    Install<&SysCalls::utime>(table, "utime");
    Install<&SysCalls::mkstemp>(table, "mkstemp");
    Install<&SysCalls::read>(table, "read");
    Install<&SysCalls::write>(table, "write");
    Install<&SysCalls::copy_file_range>(table, "copy_file_range");
    Install<&SysCalls::ftruncate>(table, "ftruncate");
    Install<&SysCalls::fsync>(table, "fsync");
    Install<&SysCalls::flock>(table, "flock");
    Install<&SysCalls::fopen>(table, "fopen");
    Install<&SysCalls::fclose>(table, "fclose");
    Install<&SysCalls::fgets>(table, "fgets");
    Install<&SysCalls::fwrite>(table, "fwrite");
    Install<&SysCalls::fflush>(table, "fflush");
    Install<&SysCalls::vfprintf>(table, "vfprintf");
    Install<&SysCalls::sched_getaffinity>(table, "sched_getaffinity");
    Install<&SysCalls::gethostname>(table, "gethostname");
    if (g_names.size() != kEntries) ADD_FAILURE() << "an entry of the table is not wrapped";
}

}  // namespace

SysFaults::SysFaults() {
    if (g_active) {
        ADD_FAILURE() << "two SysFaults alive at once";
        return;
    }
    g_active = true;
    g_saved = bv_internal::g_sys;
    InstallAll(bv_internal::g_sys);
    NewPlan(0, 0, -1, false);
}

SysFaults::~SysFaults() {
    bv_internal::g_sys = g_saved;
    g_active = false;
}

void SysFaults::FailEvery(const std::string& call, int err) {
    NewPlan(0, err, IndexOf(call), true);
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

size_t ForEachFailurePoint(SysFaults&, const std::string& call, int err,
                           const std::function<void()>& prepare,
                           const std::function<int()>& operation,
                           const std::function<void(const FaultRun&)>& check) {
    // Far more calls than any operation under test makes: a loop that never
    // ends means the operation retries its failing call for ever.
    constexpr uint64_t kMostPoints = 200000;
    for (uint64_t n = 1; n <= kMostPoints; ++n) {
        NewPlan(0, 0, -1, false);
        if (prepare) prepare();
        const int open_before = OpenDescriptors();
        NewPlan(n, err, IndexOf(call), false);
        FaultRun run;
        run.n = n;
        run.call = call;
        run.err = err;
        run.rc = operation();
        run.errno_after = errno;
        run.fired = g_plan.fired >= 0;
        run.fired_call = run.fired ? g_names[g_plan.fired] : "";
        run.fired_nth = g_plan.fired_nth;
        NewPlan(0, 0, -1, false);
        EXPECT_EQ(open_before, OpenDescriptors()) << run.Describe() << " left a descriptor open";
        check(run);
        if (!run.fired) return n - 1;
    }
    ADD_FAILURE() << "the operation still reached its call " << kMostPoints << "; it never ends";
    return kMostPoints;
}

}  // namespace testutil
