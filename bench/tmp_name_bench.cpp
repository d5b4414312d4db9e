// Names per second from the temporary-name generator, alone and with
// several threads contending for its lock.
#include <benchmark/benchmark.h>

#include "tmp_name_gen.h"

namespace {

void BM_GetTmpName(benchmark::State& state) {
    TmpNameGen& gen = TmpNameGen::getInstance();
    for (auto _ : state) {
        ustring name = gen.getTmpName();
        benchmark::DoNotOptimize(name.c_str());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_GetTmpName);
BENCHMARK(BM_GetTmpName)->Threads(2)->UseRealTime();

void BM_GetTmpPath(benchmark::State& state) {
    TmpNameGen& gen = TmpNameGen::getInstance();
    const ustring prefix("/var/tmp/brimvale");
    for (auto _ : state) {
        ustring path = gen.getTmpPath(prefix);
        benchmark::DoNotOptimize(path.c_str());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_GetTmpPath);

}  // namespace

BENCHMARK_MAIN();
