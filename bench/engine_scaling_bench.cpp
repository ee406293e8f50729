#include "engine_scaling_bench.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace cryptlib::bench {
namespace {

// The real module's work at 1 KiB is public-key cryptography; the fake's
// trivial transform needs more data to be more than the call overhead.
#if defined(CRYPTLIB_BENCH_MODULE_REFERENCE)
constexpr size_t kScalingSize = 1024;
#else
constexpr size_t kScalingSize = 64 * 1024;
#endif

void ScalingEncode(benchmark::State& state) {
  Engine engine("3600");
  EncryptThroughEngine(state, engine, kScalingSize, "");
  state.SetItemsProcessed(state.iterations());
}

void ScalingSign(benchmark::State& state) {
  Engine engine("3600");
  SignThroughEngine(state, engine, kScalingSize);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

void RegisterScaling() {
  // The fake's log grows with every call; a scaling run is short enough.
  benchmark::RegisterBenchmark("Scaling/EncodeData", ScalingEncode)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("Scaling/SignData", ScalingSign)->Threads(1)->Threads(2)->UseRealTime();
}

}  // namespace cryptlib::bench
