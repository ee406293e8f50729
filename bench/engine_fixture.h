// The host side of the engine benchmarks: the engine library loaded by its
// path like a host loads it, an installation root with the vendor module in
// <root>/EXE, engines with parameters, and the vendor module opened by the
// same path so that direct calls reach the very instance the engine bound.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench_dir.h"
#include "cryptlib.h"
#include "loader/cryptlib_loader.h"
#include "mplug.h"

namespace cryptlib::bench {

// The vendor module's 47 functions, looked up by the benchmark itself.
struct VendorTable {
#define CRYPTLIB_BENCH_FIELD(number, name, mandatory, result, params) MPlug_##name##_Fn name = nullptr;
  MPLUG_FUNCTION_LIST(CRYPTLIB_BENCH_FIELD)
#undef CRYPTLIB_BENCH_FIELD
};

// What a scenario sets up for its module: the engine parameters (1-based
// numbers) of the current user, and the recipients other than the user with
// the subject lines the module reads from their certificates.
struct Scenario {
  std::map<int32_t, std::string> params;
  std::vector<std::string> recipients;
  std::vector<std::string> recipientSubjects;
  std::string certificateDirectory;
};

// Made by the module's own setup (fake_setup.cpp, reference_setup.cpp) under
// root, after the module is installed.
Scenario MakeScenario(const BenchDir& root);

class Installation {
 public:
  // Installs the module of CRYPTLIB_BENCH_MODULE_DIR under a new root, loads
  // the engine library and the module, and makes the scenario.
  static Installation& Get();
  // Unloads the engine library while the module is still intact (it closes
  // its vendor contexts on unload).
  static void Shutdown();

  const host::Exports& api() const { return library_.api(); }
  const VendorTable& vendor() const { return vendor_; }
  const Scenario& scenario() const { return scenario_; }
  const BenchDir& root() const { return root_; }
  std::string ModulePath() const { return root_ / "EXE/mplug2.so"; }
  // A hook of the fake module (nullptr for other modules).
  void* Hook(const char* name) const;

 private:
  Installation();
  ~Installation();

  BenchDir root_;
  host::EngineLibrary library_;
  void* module_ = nullptr;
  VendorTable vendor_;
  Scenario scenario_;
};

// An engine rooted at the installation with the scenario's parameters.
class Engine {
 public:
  // lifetime: the value of parameter 22 ("" opens a fresh context per call).
  explicit Engine(const std::string& lifetime);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  CRYPT_HANDLE handle() const { return handle_; }
  // The values the engine hands the module: parameters 1 to the module's count.
  std::vector<std::string> Snapshot() const;
  std::string LastError() const;

 private:
  CRYPT_HANDLE handle_;
};

// A vendor context opened directly with the same calls the engine's context
// cache makes (InitCrypto, every parameter, KeysRenewal). A fresh one is
// reopened whenever the millisecond clock the cache reads has moved, as the
// cache does for a lifetime of 0; otherwise it stays open.
class DirectContext {
 public:
  DirectContext(const VendorTable& vendor, std::vector<std::string> snapshot, bool fresh);
  ~DirectContext();
  DirectContext(const DirectContext&) = delete;
  DirectContext& operator=(const DirectContext&) = delete;

  MPlugContext Get();

 private:
  void Open();

  const VendorTable& vendor_;
  std::vector<std::string> snapshot_;
  bool fresh_;
  MPlugContext context_ = 0;
  int64_t openedMillisecond_ = -1;
};

// Wall clock milliseconds, the resolution of the cache's clock.
int64_t WallMillisecond();

// Deterministic payload of size bytes.
std::vector<char> Payload(size_t size);

// The buffers of one operation: the input every call starts from, the
// in-place work buffer, a detached signature and the UID outputs.
struct Buffers {
  std::vector<char> plain;
  std::vector<char> input;  // the envelope or the data with its attached signature
  std::vector<char> work;
  std::vector<char> signature;
  int32_t signatureLength = 0;
  std::vector<char> uid;
};

// Copies from into the work buffer; its length.
int32_t Restore(Buffers& buffers, const std::vector<char>& from);
// Buffers for size bytes of data, with the envelope and the signatures made
// once by the module on a context of the engine's values.
Buffers PrepareBuffers(size_t size, const std::vector<std::string>& snapshot);
// The in-place input of the operation (an envelope for DecodeData, signed
// data for RemoveSign), made by the module.
void PrepareInput(Buffers& b, const std::string& operation, const std::vector<std::string>& snapshot);
// The first count items joined with ";", as a host names recipients.
std::string Join(const std::vector<std::string>& items, size_t count);
// The snapshot of the engine's temporary binding that reads a recipient's
// subject line: the certificate file as the engine names it and the UID field.
std::vector<std::string> SubjectSnapshot(size_t count, const std::string& uid);

// The benchmark loop of an engine encryption: each iteration encrypts a
// payload of size bytes in place for recipients through the exports. A
// failure ends the run with the code and the engine's last error.
void EncryptThroughEngine(benchmark::State& state, const Engine& engine, size_t size, const char* recipients);
// The same loop of SignData (detached, the current user) over size bytes.
void SignThroughEngine(benchmark::State& state, const Engine& engine, size_t size);

}  // namespace cryptlib::bench
