#include "engine_fixture.h"

#include <cstring>

#include <dlfcn.h>

#include <ctime>
#include <filesystem>
#include <stdexcept>

namespace cryptlib::bench {
namespace {

Installation* instance = nullptr;

}  // namespace

Installation& Installation::Get() {
  if (instance == nullptr) instance = new Installation();
  return *instance;
}

void Installation::Shutdown() {
  if (instance != nullptr) instance->library_.Unload();
}

Installation::Installation() {
  // A link, not a copy: a direct dlopen of either path then reaches the same
  // loaded instance the engine binds.
  root_.MakeDir("EXE");
  std::filesystem::create_symlink(std::string(CRYPTLIB_BENCH_MODULE_DIR) + "/mplug2.so", ModulePath());
  if (!library_.Load(CRYPTLIB_LIBRARY_PATH)) throw std::runtime_error("cannot load engine: " + library_.error());
  module_ = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) throw std::runtime_error(std::string("cannot load module: ") + dlerror());
#define CRYPTLIB_BENCH_BIND(number, name, mandatory, result, params) \
  vendor_.name = reinterpret_cast<MPlug_##name##_Fn>(dlsym(module_, #name));
  MPLUG_FUNCTION_LIST(CRYPTLIB_BENCH_BIND)
#undef CRYPTLIB_BENCH_BIND
  scenario_ = MakeScenario(root_);
}

Installation::~Installation() {
  library_.Unload();
  if (module_ != nullptr) dlclose(module_);
}

void* Installation::Hook(const char* name) const {
  return dlsym(module_, name);
}

Engine::Engine(const std::string& lifetime) : handle_(Installation::Get().api().GetCryptObj()) {
  const Installation& installation = Installation::Get();
  const host::Exports& api = installation.api();
  if (handle_ == nullptr) throw std::runtime_error("GetCryptObj answered no engine");
  api.SetRootPath(handle_, installation.root().path().c_str());
  for (const auto& [number, value] : installation.scenario().params)
    if (api.SetCryptoParamValue(handle_, number, value.c_str()) != 0)
      throw std::runtime_error("parameter " + std::to_string(number) + " refused");
  api.SetCryptoParamValue(handle_, 22, lifetime.c_str());
}

Engine::~Engine() {
  Installation::Get().api().DoneEngine(handle_);
}

std::vector<std::string> Engine::Snapshot() const {
  const host::Exports& api = Installation::Get().api();
  const int32_t count = api.GetCryptoParamNumber(handle_);
  std::vector<char> value(static_cast<size_t>(api.GetMaxCryptoParamValueLength(handle_)) + 1, '\0');
  std::vector<std::string> snapshot;
  for (int32_t number = 1; number <= count; ++number) {
    std::fill(value.begin(), value.end(), '\0');
    api.GetCryptoParamValue(handle_, number, value.data());
    snapshot.emplace_back(value.data());
  }
  return snapshot;
}

std::string Engine::LastError() const {
  const host::Exports& api = Installation::Get().api();
  std::vector<char> text(static_cast<size_t>(api.GetMaxErrorStringLength(handle_)) + 1, '\0');
  api.GetLastErrorMessage(handle_, text.data());
  return text.data();
}

DirectContext::DirectContext(const VendorTable& vendor, std::vector<std::string> snapshot, bool fresh)
    : vendor_(vendor), snapshot_(std::move(snapshot)), fresh_(fresh) {
  Open();
}

DirectContext::~DirectContext() {
  if (context_ != 0) vendor_.DoneCrypto(context_);
}

MPlugContext DirectContext::Get() {
  if (fresh_ && WallMillisecond() != openedMillisecond_) Open();
  return context_;
}

void DirectContext::Open() {
  // The cache closes the expired context before it opens the new one.
  if (context_ != 0) vendor_.DoneCrypto(context_);
  context_ = vendor_.InitCrypto();
  const int32_t count = vendor_.GetCryptoParamNumber();
  for (int32_t i = 0; i < count; ++i) {
    const size_t position = static_cast<size_t>(i);
    vendor_.SetCryptoParamValue(context_, i, position < snapshot_.size() ? snapshot_[position].c_str() : "");
  }
  vendor_.KeysRenewal(context_);
  openedMillisecond_ = WallMillisecond();
}

int64_t WallMillisecond() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<char> Payload(size_t size) {
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('A' + (i * 7) % 26);
  return data;
}

int32_t Restore(Buffers& buffers, const std::vector<char>& from) {
  std::memcpy(buffers.work.data(), from.data(), from.size());
  return static_cast<int32_t>(from.size());
}

Buffers PrepareBuffers(size_t size, const std::vector<std::string>& snapshot) {
  const VendorTable& v = Installation::Get().vendor();
  DirectContext context(v, snapshot, false);
  Buffers b;
  b.plain = Payload(size);
  const size_t room = static_cast<size_t>(v.GetMaxEncodeAddition() + v.GetMaxSignatureLength()) + 1024;
  b.work.assign(size + room, '\0');
  b.uid.assign(static_cast<size_t>(v.GetMaxUIDLength()) + 64, '\0');
  b.signature.assign(static_cast<size_t>(v.GetMaxSignatureLength()), '\0');
  b.signatureLength = static_cast<int32_t>(b.signature.size());
  if (v.SignData(context.Get(), b.plain.data(), static_cast<int32_t>(size), b.signature.data(), &b.signatureLength,
                 "") != 0)
    throw std::runtime_error("cannot sign the payload");
  return b;
}

void PrepareInput(Buffers& b, const std::string& operation, const std::vector<std::string>& snapshot) {
  const VendorTable& v = Installation::Get().vendor();
  DirectContext context(v, snapshot, false);
  int32_t length = Restore(b, b.plain);
  int32_t result = 0;
  if (operation == "DecodeData") {
    result = v.EncodeData(context.Get(), b.work.data(), &length, "");
  } else if (operation == "RemoveSign") {
    int32_t capacity = v.GetMaxSignatureLength() + length;
    result = v.SignData(context.Get(), b.work.data(), length, nullptr, &capacity, "");
    length = capacity;
  } else {
    return;
  }
  if (result != 0) throw std::runtime_error("cannot prepare the input of " + operation);
  b.input.assign(b.work.begin(), b.work.begin() + length);
}

std::string Join(const std::vector<std::string>& items, size_t count) {
  std::string joined;
  for (size_t i = 0; i < count; ++i) joined += (i > 0 ? ";" : "") + items[i];
  return joined;
}

std::vector<std::string> SubjectSnapshot(size_t count, const std::string& uid) {
  std::vector<std::string> snapshot(count);
  snapshot[0] = Installation::Get().scenario().certificateDirectory + "\\" + uid + ".pem";
  snapshot[19] = "CN";
  return snapshot;
}

void EncryptThroughEngine(benchmark::State& state, const Engine& engine, size_t size, const char* recipients) {
  const host::Exports& api = Installation::Get().api();
  const std::vector<char> plain = Payload(size);
  std::vector<char> work(size + static_cast<size_t>(api.GetMaxEncodeAddition(engine.handle())));
  for (auto _ : state) {
    std::memcpy(work.data(), plain.data(), plain.size());
    int32_t length = static_cast<int32_t>(plain.size());
    const int32_t result = api.EncodeData(engine.handle(), work.data(), &length, recipients);
    if (result != 0) {
      state.SkipWithError(("EncodeData answered " + std::to_string(result) + ": " + engine.LastError()).c_str());
      break;
    }
  }
}

void SignThroughEngine(benchmark::State& state, const Engine& engine, size_t size) {
  const host::Exports& api = Installation::Get().api();
  const std::vector<char> plain = Payload(size);
  std::vector<char> signature(static_cast<size_t>(api.GetMaxSignatureLength(engine.handle())));
  for (auto _ : state) {
    int32_t length = static_cast<int32_t>(signature.size());
    const int32_t result =
        api.SignData(engine.handle(), plain.data(), static_cast<int32_t>(plain.size()), signature.data(), &length, "");
    if (result != 0) {
      state.SkipWithError(("SignData answered " + std::to_string(result) + ": " + engine.LastError()).c_str());
      break;
    }
  }
}

}  // namespace cryptlib::bench
