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
  const host::Exports& api = Installation::Get().api();
  const std::vector<char> plain = Payload(kScalingSize);
  std::vector<char> signature(static_cast<size_t>(api.GetMaxSignatureLength(engine.handle())));
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(signature.size());
    const int32_t result =
        api.SignData(engine.handle(), plain.data(), static_cast<int32_t>(plain.size()), signature.data(), &length, "");
    if (result != 0) {
      state.SkipWithError(("SignData answered " + std::to_string(result)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

void RegisterScaling() {
  // The fake's log grows with every call; a scaling run is short enough.
  benchmark::RegisterBenchmark("Scaling/EncodeData", ScalingEncode)->Threads(1)->Threads(2)->UseRealTime();
  benchmark::RegisterBenchmark("Scaling/SignData", ScalingSign)->Threads(1)->Threads(2)->UseRealTime();
}

}  // namespace cryptlib::bench
