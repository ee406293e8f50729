// Shared by the binding tests that run against one flavour of the fake vendor
// module (binding_fake_<flavour>_test.cpp, one process per flavour): the
// platform seen by the binding, the fake's test hooks, and log queries.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/binding_state.h"
#include "binding/context_cache.h"
#include "binding/mprodll.h"
#include "common/fake_hook_client.h"
#include "fake/fake_hooks.h"
#include "platform/platform.h"

#ifndef CRYPTLIB_FAKE_DIR
#error "CRYPTLIB_FAKE_DIR names the directory of the fake module flavours (tests/CMakeLists.txt)"
#endif

namespace cryptlib::test {

constexpr double kOneSecond = 1.0 / 86400.0;

// The flavour a test program runs against, defined by the program.
extern const char* const kFakeFlavour;

inline std::string FakeModuleDir() {
  return std::string(CRYPTLIB_FAKE_DIR) + "/" + kFakeFlavour;
}

// The host executable lives beside the fake modules, so the library search
// finds them first; the clock is the test's; module loads and symbol lookups
// are counted.
class FakeHost : public platform::PlatformWrapper {
 public:
  FakeHost() : PlatformWrapper(platform::SystemPlatform()) {}

  std::string LoadedModulePath(const char* moduleName) override {
    if (moduleName == nullptr) return hostPath;
    if (std::string(moduleName) == "CryptLib.dll" && !enginePath.empty()) return enginePath;
    return PlatformWrapper::LoadedModulePath(moduleName);
  }
  platform::ModuleHandle LoadModule(const std::string& name, std::string* error) override {
    ++loads;
    return PlatformWrapper::LoadModule(name, error);
  }
  void* FindSymbol(platform::ModuleHandle module, const char* name) override {
    ++lookups;
    return PlatformWrapper::FindSymbol(module, name);
  }
  double LocalDateTime() override { return now.load(); }

  void Advance(double seconds) { now = now.load() + seconds * kOneSecond; }

  std::string hostPath = FakeModuleDir() + "/host";
  std::string enginePath;  // empty: the real answer
  std::atomic<double> now{40000.5};
  std::atomic<int> loads{0};
  std::atomic<int> lookups{0};
};

inline FakeHost& Host() {
  static FakeHost host;
  return host;
}

// Installs the host for the whole test program.
class FakeHostEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { platform::SetPlatformForTesting(&Host()); }
  void TearDown() override { platform::SetPlatformForTesting(nullptr); }
};

inline const ::testing::Environment* const kFakeHostEnvironment =
    ::testing::AddGlobalTestEnvironment(new FakeHostEnvironment);

// The test hooks of one of the three module files (each is its own library
// with its own log).
class FakeHooks : public FakeHookClient {
 public:
  // fileName is the engine's name for the module ("mplug.dll").
  explicit FakeHooks(const char* fileName = "mplug2.dll")
      : FakeHookClient(platform::SystemPlatform().LoadModule(
            FakeModuleDir() + "/" + platform::ModuleFileNameFor(fileName), nullptr)) {}
  ~FakeHooks() { platform::SystemPlatform().FreeModule(module_); }
  FakeHooks(const FakeHooks&) = delete;
  FakeHooks& operator=(const FakeHooks&) = delete;
};

// A snapshot of count values with value 22 (the context lifetime) and the
// last value given.
inline ParamSnapshot Snapshot(int32_t count, const std::string& lifetime = "", const std::string& last = "") {
  ParamSnapshot snapshot(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) snapshot[static_cast<size_t>(i)] = "v" + std::to_string(i + 1);
  if (count >= 22) snapshot[21] = lifetime;
  if (count > 0) snapshot.back() = last;
  return snapshot;
}

// Several threads call wrappers on a handful of snapshots while another
// clears the cache. Every call must find its context open: a context closed
// under a running call would answer the module's unknown-context error.
inline void RunCallsWhileClearing(TMProDLL& binding, const FakeHooks& hooks) {
  constexpr int kThreads = 4;
  constexpr int kCallsPerThread = 200;
  constexpr int32_t kUnknownContext = 1001;
  const int32_t count = binding.Functions().GetCryptoParamNumber();
  std::atomic<int> unknownContext{0};
  std::atomic<int> noContext{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char uid[512];
      for (int i = 0; i < kCallsPerThread; ++i) {
        const ParamSnapshot snapshot = Snapshot(count, "3600", std::to_string(i));
        ParamSnapshot other = snapshot;
        other[0] = "thread" + std::to_string((t + i) % 3);
        for (const ParamSnapshot* s : {&snapshot, static_cast<const ParamSnapshot*>(&other)}) {
          const int32_t result = binding.GetCurrentUID(*s, uid);
          if (result == kUnknownContext) ++unknownContext;
          if (result == kBindingNoContext) ++noContext;
        }
      }
    });
  }
  std::thread clearer([&] {
    while (!done) binding.ClearContexts();
  });
  for (std::thread& thread : threads) thread.join();
  done = true;
  clearer.join();
  EXPECT_EQ(unknownContext, 0);
  EXPECT_EQ(noContext, 0);
  // Every context the cache does not hold any more was closed.
  EXPECT_EQ(static_cast<size_t>(hooks.OpenContexts()), CachedContextCount());
}

}  // namespace cryptlib::test
