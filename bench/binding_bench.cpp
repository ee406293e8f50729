// The binding at unit level, over the thread-safe fake module:
// - CacheLookup/<n>: finding the live context of a parameter set (key, read
//   hold, lookup, age check) with n sets cached; the 1-set case is the
//   baseline.
// - Binding/temporary: a temporary binding of an already-loaded variant, as
//   ReadSubjectFromCert makes one per recipient, against Binding/copy_table,
//   copying a resolved function table. The counter lookups counts symbol
//   lookups per binding (none expected).
#include <benchmark/benchmark.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "binding/binding_state.h"
#include "binding/context_cache.h"
#include "binding/mprodll.h"
#include "platform/platform.h"

namespace cryptlib::bench {
namespace {

// The host executable lives beside the module, so the library search finds
// it first; symbol lookups are counted.
class BenchHost : public platform::PlatformWrapper {
 public:
  BenchHost() : PlatformWrapper(platform::SystemPlatform()) {}
  std::string LoadedModulePath(const char* moduleName) override {
    if (moduleName == nullptr) return std::string(CRYPTLIB_BENCH_MODULE_DIR) + "/host";
    return PlatformWrapper::LoadedModulePath(moduleName);
  }
  void* FindSymbol(platform::ModuleHandle module, const char* name) override {
    ++lookups;
    return PlatformWrapper::FindSymbol(module, name);
  }
  std::atomic<int64_t> lookups{0};
};

BenchHost& Host() {
  static BenchHost* host = new BenchHost();
  return *host;
}

constexpr int32_t kVariant = 2;

TMProDLL& Binding2() {
  static TMProDLL* binding = [] {
    auto* made = new TMProDLL(kVariant);
    if (!made->Loaded() || !made->Bound()) throw std::runtime_error("the fake module did not bind");
    return made;
  }();
  return *binding;
}

// A parameter set of realistic values, told apart by its first value.
ParamSnapshot Snapshot(int index) {
  const int32_t count = Binding2().Functions().GetCryptoParamNumber();
  ParamSnapshot snapshot(static_cast<size_t>(count));
  snapshot[0] = "/home/bank/client/CERTS/USER" + std::to_string(index) + ".PEM";
  snapshot[1] = "/home/bank/client/CERTS";
  snapshot[2] = "/home/bank/client/KEYS/USER" + std::to_string(index);
  snapshot[3] = "RUS-GAMMAR";
  snapshot[4] = "R3410-R3411";
  snapshot[5] = "1024";
  snapshot[10] = "RU";
  snapshot[21] = "3600";
  return snapshot;
}

void FillCache(int count) {
  TMProDLL& binding = Binding2();
  binding.ClearContexts();
  BindingState& shared = Binding();
  WriteGuard hold(shared.cacheLock);
  for (int i = 0; i < count; ++i) {
    const ParamSnapshot snapshot = Snapshot(i);
    if (CreateContext(shared, binding, snapshot, ContextKey(snapshot, binding.Functions().GetCryptoParamNumber())) == 0)
      throw std::runtime_error("no context opened");
  }
}

void CacheLookup(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  FillCache(count);
  TMProDLL& binding = Binding2();
  BindingState& shared = Binding();
  const ParamSnapshot snapshot = Snapshot(count / 2);
  for (auto _ : state) {
    // What every cached call does before it reaches the module.
    const std::string key = ContextKey(snapshot, binding.Functions().GetCryptoParamNumber());
    ReadGuard hold(shared.cacheLock);
    benchmark::DoNotOptimize(FindContext(shared, ContextLifetime(snapshot), key));
  }
  state.counters["cached"] = static_cast<double>(CachedContextCount());
  binding.ClearContexts();
}

void TemporaryBinding(benchmark::State& state) {
  Binding2();
  const int64_t before = Host().lookups.load();
  for (auto _ : state) {
    TMProDLL reader(kVariant);
    benchmark::DoNotOptimize(reader.Functions().EncodeData);
  }
  state.counters["lookups"] =
      benchmark::Counter(static_cast<double>(Host().lookups.load() - before), benchmark::Counter::kAvgIterations);
}

void CopyTable(benchmark::State& state) {
  const MPlugFunctions& resolved = Binding2().Functions();
  for (auto _ : state) {
    MPlugFunctions copy = resolved;
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(CacheLookup)->Name("CacheLookup")->Arg(1)->Arg(100)->Arg(1000);
BENCHMARK(TemporaryBinding)->Name("Binding/temporary");
BENCHMARK(CopyTable)->Name("Binding/copy_table");

}  // namespace
}  // namespace cryptlib::bench

int main(int argc, char** argv) {
  cryptlib::platform::SetPlatformForTesting(&cryptlib::bench::Host());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  cryptlib::bench::Binding2().ClearContexts();
  return 0;
}
