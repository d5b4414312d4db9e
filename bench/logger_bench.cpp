// Cost of a log line: one below its threshold (dropped), one written to a
// file channel, and as peers the same line written with fprintf + fflush to
// a plain FILE, with and without the timestamp the logger adds.
//
// Files live in a fresh directory under /tmp, removed at exit. The logger's
// file is rotated in-band every 1 MiB (depth 3), which its figure includes;
// the peer files are truncated at the same interval outside the timing.

#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logger.h"

namespace {

std::string g_dir;
// Taken once: the arguments are evaluated by the caller whether or not the
// line is written, and strerror alone would dominate a dropped line.
const char* g_reason = strerror(ENOENT);
const ustring kComponent("file_op_debug");
constexpr const char* kFormat =
    "[ERROR] file-op(%d): FSOpenDir: Failed to open directory '%s'. %s\n";
constexpr const char* kPath = "/home/user/Sync/projects/report-2026";
// Lines of this shape are about 100 bytes: 1 MiB holds roughly 10000.
constexpr int kLinesPerMiB = 10000;

// Argument: number of components with a threshold entry (0: the start-up
// state; 8: a level file naming the dropped line's component among others).
void BM_DroppedLine(benchmark::State& state) {
    Logger::log_type = Logger::STDERR_LOGGER;
    Logger::log_fp = stderr;
    Logger::log_level.clear();
    if (state.range(0) > 0) Logger::log_level[kComponent] = Logger::L_WARNING;
    for (int i = 1; i < state.range(0); ++i)
        Logger::log_level[ustring(("component_" + std::to_string(i)).c_str())] = Logger::L_INFO;
    for (auto _ : state)
        Logger::LogMsg(Logger::L_DEBUG, kComponent, kFormat, __LINE__, kPath, g_reason);
    Logger::log_level.clear();
}
BENCHMARK(BM_DroppedLine)->Arg(0)->Arg(8);

// Floor of a dropped line: the uncontended lock and unlock it must take.
void BM_LockUnlockFloor(benchmark::State& state) {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mu);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mu);
    }
}
BENCHMARK(BM_LockUnlockFloor);

// The same, with the component given as a literal: a ustring is built for
// every call before the threshold can be looked up.
void BM_DroppedLineLiteralComponent(benchmark::State& state) {
    Logger::log_type = Logger::STDERR_LOGGER;
    Logger::log_fp = stderr;
    for (auto _ : state)
        Logger::LogMsg(Logger::L_DEBUG, "file_op_debug", kFormat, __LINE__, kPath, g_reason);
}
BENCHMARK(BM_DroppedLineLiteralComponent);

void BM_WrittenLineFileChannel(benchmark::State& state) {
    const std::string path = g_dir + "/logger.log";
    if (Logger::Initialize(Logger::FILE_LOGGER, path, "", 3) != 0) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    for (auto _ : state)
        Logger::LogMsg(Logger::L_ERR, kComponent, kFormat, __LINE__, kPath, g_reason);
    Logger::Destroy();
}
BENCHMARK(BM_WrittenLineFileChannel);

void PeerLoop(benchmark::State& state, const char* name, bool stamped) {
    const std::string path = g_dir + "/" + name;
    FILE* fp = fopen(path.c_str(), "a");
    if (fp == nullptr) {
        state.SkipWithError("cannot open the peer file");
        return;
    }
    int lines = 0;
    for (auto _ : state) {
        if (stamped) {
            char stamp[512];
            time_t now = time(nullptr);
            struct tm tm_now;
            localtime_r(&now, &tm_now);
            strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tm_now);
            fprintf(fp, "%s", stamp);
        }
        fprintf(fp, kFormat, __LINE__, kPath, g_reason);
        fflush(fp);
        if (++lines == kLinesPerMiB) {
            state.PauseTiming();
            if (ftruncate(fileno(fp), 0) != 0) state.SkipWithError("ftruncate failed");
            lines = 0;
            state.ResumeTiming();
        }
    }
    fclose(fp);
}

void BM_PeerFprintfFflush(benchmark::State& state) {
    PeerLoop(state, "peer.log", false);
}
BENCHMARK(BM_PeerFprintfFflush);

void BM_PeerStampedFprintfFflush(benchmark::State& state) {
    PeerLoop(state, "peer-stamped.log", true);
}
BENCHMARK(BM_PeerStampedFprintfFflush);

}  // namespace

int main(int argc, char** argv) {
    char tmpl[] = "/tmp/bvbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : {"logger.log", "logger.log_0", "logger.log_1", "logger.log_2",
                             "peer.log", "peer-stamped.log"})
        unlink((g_dir + "/" + name).c_str());
    rmdir(g_dir.c_str());
    return 0;
}
