// Per-call cost of the exports against the same vendor calls made directly
// (same parameter values, same arguments), and the cost of resolving
// recipients. Names: Call/<operation>/<fresh|cached>/<bytes>/<engine|vendor>
// and Recipients/<n>/<engine|vendor|vendor+subjects>; compare.py pairs them.
// SizeQuery/<function>/vendor: one of the module's size queries by itself.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "engine_scaling_bench.h"

namespace cryptlib::bench {
namespace {

// The fake keeps a log of every call in memory; clearing it now and then
// keeps a long run's memory flat, at the same cost on both sides.
class LogTrimmer {
 public:
  LogTrimmer() : clear_(reinterpret_cast<void (*)()>(Installation::Get().Hook("FakeLogClear"))) {}
  void Tick() {
    if (clear_ != nullptr && (++calls_ & 1023) == 0) clear_();
  }

 private:
  void (*clear_)();
  uint32_t calls_ = 0;
};

using Call = std::function<int32_t(Buffers&)>;

// One operation through the engine and through the module directly.
struct Operation {
  const char* name;
  std::function<Call(CRYPT_HANDLE)> engine;
  std::function<Call(const VendorTable&, DirectContext&)> vendor;
};

std::vector<Operation> Operations() {
  const host::Exports& api = Installation::Get().api();
  return {
      {"EncodeData",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           int32_t length = Restore(b, b.plain);
           return api.EncodeData(h, b.work.data(), &length, "");
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           int32_t length = Restore(b, b.plain);
           return v.EncodeData(c.Get(), b.work.data(), &length, "");
         };
       }},
      {"DecodeData",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           int32_t length = Restore(b, b.input);
           return api.DecodeData(h, b.work.data(), &length, b.uid.data());
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           int32_t length = Restore(b, b.input);
           return v.DecodeData(c.Get(), b.work.data(), &length, b.uid.data());
         };
       }},
      {"SignData",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           int32_t length = static_cast<int32_t>(b.signature.size());
           return api.SignData(h, b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(), &length,
                               "");
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           int32_t length = static_cast<int32_t>(b.signature.size());
           return v.SignData(c.Get(), b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(), &length,
                             "");
         };
       }},
      {"VerifyData",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           return api.VerifyData(h, b.plain.data(), static_cast<int32_t>(b.plain.size()), b.signature.data(),
                                 b.signatureLength, b.uid.data());
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           int32_t length = static_cast<int32_t>(b.plain.size());
           return v.VerifyData(c.Get(), b.plain.data(), &length, b.signature.data(), b.signatureLength, b.uid.data());
         };
       }},
      {"AddSign",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           int32_t length = Restore(b, b.plain);
           return api.AddSign(h, b.work.data(), &length, "");
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           const int32_t length = Restore(b, b.plain);
           int32_t capacity = v.GetMaxSignatureLength() + length;
           return v.SignData(c.Get(), b.work.data(), length, nullptr, &capacity, "");
         };
       }},
      {"RemoveSign",
       [&api](CRYPT_HANDLE h) -> Call {
         return [&api, h](Buffers& b) {
           int32_t length = Restore(b, b.input);
           return api.RemoveSign(h, b.work.data(), &length, b.uid.data());
         };
       },
       [](const VendorTable& v, DirectContext& c) -> Call {
         return [&v, &c](Buffers& b) {
           int32_t length = Restore(b, b.input);
           return v.VerifyData(c.Get(), b.work.data(), &length, nullptr, length, b.uid.data());
         };
       }},
  };
}

void RunCalls(benchmark::State& state, Buffers& buffers, const Call& call, const std::function<std::string()>& why) {
  LogTrimmer trimmer;
  const int32_t first = call(buffers);
  if (first != 0) {
    state.SkipWithError(("answered " + std::to_string(first) + ": " + why()).c_str());
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(buffers));
    trimmer.Tick();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffers.plain.size()));
}

void RegisterCall(const Operation& operation, bool fresh, size_t size) {
  const std::string base =
      std::string("Call/") + operation.name + (fresh ? "/fresh/" : "/cached/") + std::to_string(size);
  const std::string lifetime = fresh ? "" : "3600";
  benchmark::RegisterBenchmark((base + "/engine").c_str(), [=](benchmark::State& state) {
    Engine engine(lifetime);
    Buffers buffers = PrepareBuffers(size, engine.Snapshot());
    PrepareInput(buffers, operation.name, engine.Snapshot());
    RunCalls(state, buffers, operation.engine(engine.handle()), [&] { return engine.LastError(); });
  });
  benchmark::RegisterBenchmark((base + "/vendor").c_str(), [=](benchmark::State& state) {
    Engine engine(lifetime);  // only for its parameter values
    const VendorTable& v = Installation::Get().vendor();
    Buffers buffers = PrepareBuffers(size, engine.Snapshot());
    PrepareInput(buffers, operation.name, engine.Snapshot());
    DirectContext context(v, engine.Snapshot(), fresh);
    RunCalls(state, buffers, operation.vendor(v, context), [] { return std::string("vendor call failed"); });
  });
}

void RegisterRecipients(size_t count) {
  const Scenario& scenario = Installation::Get().scenario();
  const std::string base = "Recipients/" + std::to_string(count);
  const std::string uids = Join(scenario.recipients, count);
  const std::string subjects = Join(scenario.recipientSubjects, count);
  constexpr size_t kSize = 1024;
  benchmark::RegisterBenchmark((base + "/engine").c_str(), [=](benchmark::State& state) {
    Engine engine("3600");
    const host::Exports& api = Installation::Get().api();
    Buffers buffers = PrepareBuffers(kSize, engine.Snapshot());
    RunCalls(
        state, buffers,
        [&](Buffers& b) {
          int32_t length = Restore(b, b.plain);
          return api.EncodeData(engine.handle(), b.work.data(), &length, uids.c_str());
        },
        [&] { return engine.LastError(); });
  });
  // The bare vendor call with the recipients' subject lines, and the same
  // with the GetCurrentUID each subject line costs, on contexts opened as the
  // engine's temporary bindings open them.
  for (const bool withSubjects : {false, true}) {
    benchmark::RegisterBenchmark(
        (base + (withSubjects ? "/vendor+subjects" : "/vendor")).c_str(), [=](benchmark::State& state) {
          Engine engine("3600");
          const VendorTable& v = Installation::Get().vendor();
          Buffers buffers = PrepareBuffers(kSize, engine.Snapshot());
          DirectContext context(v, engine.Snapshot(), false);
          std::vector<std::unique_ptr<DirectContext>> readers;
          const size_t paramCount = static_cast<size_t>(v.GetCryptoParamNumber());
          if (withSubjects)
            for (size_t i = 0; i < count; ++i)
              readers.push_back(
                  std::make_unique<DirectContext>(v, SubjectSnapshot(paramCount, scenario.recipients[i]), true));
          RunCalls(
              state, buffers,
              [&](Buffers& b) {
                for (auto& reader : readers) {
                  const int32_t result = v.GetCurrentUID(reader->Get(), b.uid.data());
                  if (result != 0) return result;
                }
                int32_t length = Restore(b, b.plain);
                return v.EncodeData(context.Get(), b.work.data(), &length, subjects.c_str());
              },
              [] { return std::string("vendor call failed"); });
        });
  }
}

std::vector<size_t> Sizes() {
#if defined(CRYPTLIB_BENCH_MODULE_REFERENCE)
  return {1024, 64 * 1024, 1024 * 1024};
#else
  return {1024};
#endif
}

// What one of the size queries the engine makes on every call (the
// parameter count twice, and the UID or signature size where the operation
// needs one) costs in the module itself: the fake logs it like any call.
void RegisterSizeQueries() {
  benchmark::RegisterBenchmark("SizeQuery/GetCryptoParamNumber/vendor", [](benchmark::State& state) {
    const VendorTable& v = Installation::Get().vendor();
    LogTrimmer trimmer;
    for (auto _ : state) {
      benchmark::DoNotOptimize(v.GetCryptoParamNumber());
      trimmer.Tick();
    }
  });
  benchmark::RegisterBenchmark("SizeQuery/GetMaxUIDLength/vendor", [](benchmark::State& state) {
    const VendorTable& v = Installation::Get().vendor();
    LogTrimmer trimmer;
    for (auto _ : state) {
      benchmark::DoNotOptimize(v.GetMaxUIDLength());
      trimmer.Tick();
    }
  });
}

void RegisterAll() {
  for (const Operation& operation : Operations())
    for (const bool fresh : {false, true})
      for (const size_t size : Sizes()) RegisterCall(operation, fresh, size);
  for (const size_t count : {1, 5, 20}) RegisterRecipients(count);
  RegisterScaling();
  RegisterSizeQueries();
}

}  // namespace
}  // namespace cryptlib::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  cryptlib::bench::Installation::Get();
  cryptlib::bench::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  cryptlib::bench::Installation::Shutdown();
  return 0;
}
