// FSCopy against the system's cp on the same file system.
//
// First a head-to-head on one large file (256 MiB by default): FSCopy and
// cp run alternately on identical input, several rounds, and the medians and
// their ratio are printed. FSCopy flushes its copy to the device before it
// reports success and cp does not, so a second ratio compares against cp
// followed by an fsync of its copy. Then Google Benchmark timings of FSCopy
// for a few sizes.
//
// Usage: file_copy_bench [--dir=DIR] [--mib=N] [--rounds=N] [benchmark flags]
// DIR defaults to $BENCH_DIR, else /var/tmp (a disk, not a tmpfs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file-op.h"

extern char** environ;

namespace {

std::string g_dir;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool MakeFile(const std::string& path, size_t bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    std::vector<char> block(1 << 20);
    uint64_t x = 88172645463325252ull;
    size_t left = bytes;
    while (left > 0) {
        for (size_t i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&block[i], &x, 8);
        }
        size_t n = std::min(left, block.size());
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            close(fd);
            return false;
        }
        left -= n;
    }
    fsync(fd);
    return close(fd) == 0;
}

// Runs cp src dst; returns its exit status, -1 when it could not run.
int RunCp(const std::string& src, const std::string& dst) {
    std::string s = src, d = dst;
    char cp[] = "cp";
    char* argv[] = {cp, s.data(), d.data(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool FsyncPath(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    return close(fd) == 0 && ok;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool SameContent(const std::string& a, const std::string& b) {
    std::string cmd = "cmp -s '" + a + "' '" + b + "'";
    return std::system(cmd.c_str()) == 0;
}

int HeadToHead(size_t mib, int rounds) {
    const std::string src = g_dir + "/bv-copy-src";
    const std::string d_fs = g_dir + "/bv-copy-fscopy";
    const std::string d_cp = g_dir + "/bv-copy-cp";
    std::printf("Preparing a %zu MiB file in %s ...\n", mib, g_dir.c_str());
    if (!MakeFile(src, mib << 20)) {
        std::fprintf(stderr, "cannot write %s\n", src.c_str());
        return 1;
    }
    std::vector<double> t_fs, t_cp, t_cp_sync;
    for (int r = 0; r < rounds; ++r) {
        // Fresh destinations each time, so neither side pays for truncation.
        unlink(d_fs.c_str());
        unlink(d_cp.c_str());
        sync();
        // Alternate which goes first, so that neither always runs on a
        // quieter disk.
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == (r % 2 == 0)) {
                double t0 = Now();
                if (FSCopy(src, d_fs, false) != 0) {
                    std::fprintf(stderr, "FSCopy failed\n");
                    return 1;
                }
                t_fs.push_back(Now() - t0);
            } else {
                double t0 = Now();
                if (RunCp(src, d_cp) != 0) {
                    std::fprintf(stderr, "cp failed\n");
                    return 1;
                }
                double t1 = Now();
                if (!FsyncPath(d_cp)) {
                    std::fprintf(stderr, "fsync of cp's copy failed\n");
                    return 1;
                }
                double t2 = Now();
                t_cp.push_back(t1 - t0);
                t_cp_sync.push_back(t2 - t0);
            }
        }
    }
    bool same = SameContent(src, d_fs) && SameContent(src, d_cp);
    double m_fs = Median(t_fs), m_cp = Median(t_cp), m_cps = Median(t_cp_sync);
    std::printf("rounds: %d, file: %zu MiB, copies identical: %s\n", rounds, mib,
                same ? "yes" : "NO");
    std::printf("median FSCopy (with fsync): %.3f s\n", m_fs);
    std::printf("median cp:                  %.3f s\n", m_cp);
    std::printf("median cp + fsync:          %.3f s\n", m_cps);
    std::printf("ratio FSCopy / cp:          %.3f\n", m_fs / m_cp);
    std::printf("ratio FSCopy / (cp+fsync):  %.3f\n", m_fs / m_cps);
    unlink(src.c_str());
    unlink(d_fs.c_str());
    unlink(d_cp.c_str());
    return same ? 0 : 1;
}

void BM_FSCopy(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0));
    const std::string src = g_dir + "/bv-bm-src";
    const std::string dst = g_dir + "/bv-bm-dst";
    if (!MakeFile(src, bytes)) {
        state.SkipWithError("cannot write the source");
        return;
    }
    for (auto _ : state) {
        if (FSCopy(src, dst, false) != 0) {
            state.SkipWithError("FSCopy failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    unlink(src.c_str());
    unlink(dst.c_str());
}
BENCHMARK(BM_FSCopy)->Arg(4 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("BENCH_DIR");
    g_dir = env && *env ? env : "/var/tmp";
    size_t mib = 256;
    int rounds = 7;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--dir=", 0) == 0)
            g_dir = a.substr(6);
        else if (a.rfind("--mib=", 0) == 0)
            mib = std::strtoul(a.c_str() + 6, nullptr, 10);
        else if (a.rfind("--rounds=", 0) == 0)
            rounds = std::max(1, std::atoi(a.c_str() + 9));
        else
            rest.push_back(argv[i]);
    }
    int rc = HeadToHead(mib, rounds);
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return rc;
}
