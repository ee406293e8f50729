// The cost of the syncs on whole operations, through the exports over the
// fake 2.x module: a certificate inclusion (IncludePublicKey of a holder's
// new certificate) and the finish of a one-call remote key replacement
// (RemoteGenerateFinishEx: the key-set exchange with its journal), each with
// the syncs the engine makes, against the same operation with every sync
// answering at once. The switch is this program's own fsync, which the
// engine library and the module call instead of the C library's (the
// program exports it). Wall time: a sync waits for the disk, not the
// processor. Names: Sync/<inclusion|remote_finish>/<synced|unsynced>.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "fake/fake_hooks.h"

namespace {
std::atomic<bool> syncsOff{false};

int RealSync(const char* name, int fd) {
  using SyncFn = int (*)(int);
  const auto real = reinterpret_cast<SyncFn>(dlsym(RTLD_NEXT, name));
  return real == nullptr ? -1 : real(fd);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
  return syncsOff.load(std::memory_order_relaxed) ? 0 : RealSync("fsync", fd);
}
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
  return syncsOff.load(std::memory_order_relaxed) ? 0 : RealSync("fdatasync", fd);
}

namespace cryptlib::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUserSubject = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBankSubject = "/C=RU/O=Bank/CN=Bank CA";

std::string Certificate(const std::string& subject, const std::string& key) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject + "\nPublicKey: " + key +
         "\n-----END CERTIFICATE-----\n";
}

const host::Exports& Api() {
  return Installation::Get().api();
}
std::string Under(const std::string& relative) {
  return Installation::Get().root() / ("sync/" + relative);
}

template <class Fn>
Fn FakeHook(const char* name) {
  void* symbol = Installation::Get().Hook(name);
  if (symbol == nullptr) throw std::runtime_error(std::string("fake hook missing: ") + name);
  return reinterpret_cast<Fn>(symbol);
}

void SetParam(CRYPT_HANDLE h, int32_t number, const std::string& value) {
  if (Api().SetCryptoParamValue(h, number, value.c_str()) != 0)
    throw std::runtime_error("parameter " + std::to_string(number) + " refused");
}

// An engine of the user (own certificate, certificates, key directory,
// media, remote generation directory) or of the bank.
CRYPT_HANDLE UserEngine() {
  CRYPT_HANDLE h = Api().GetCryptObj();
  Api().SetRootPath(h, Installation::Get().root().path().c_str());
  SetParam(h, 1, Under("keys/own.pem"));
  SetParam(h, 2, Under("certs"));
  SetParam(h, 3, Under("keys"));
  SetParam(h, 23, Under("media"));
  Api().SetRemoteGeneratePath(h, Under("remote").c_str());
  return h;
}
CRYPT_HANDLE BankEngine() {
  CRYPT_HANDLE h = Api().GetCryptObj();
  Api().SetRootPath(h, Installation::Get().root().path().c_str());
  SetParam(h, 1, Under("bank/Bank CA.pem"));
  SetParam(h, 2, Under("bank"));
  return h;
}

void WriteText(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size())
    throw std::runtime_error("cannot write " + path);
  std::fclose(file);
}

// The user's key set and certificates, a started replacement in R and the
// bank's answer to it; the state before the finish is kept to restore.
class RemoteScene {
 public:
  static RemoteScene& Get() {
    static RemoteScene* scene = new RemoteScene();
    return *scene;
  }
  const std::string& answer() const { return answer_; }

  void Restore() const {
    for (const char* part : {"keys", "certs", "remote"}) {
      fs::remove_all(Under(part));
      fs::copy(Under(std::string("saved/") + part), Under(part), fs::copy_options::recursive);
    }
  }

 private:
  RemoteScene() {
    for (const char* part : {"keys", "certs", "remote", "media", "bank"}) fs::create_directories(Under(part));
    if (FakeHook<FakeWriteKeyContainer_Fn>("FakeWriteKeyContainer")(Under("keys").c_str(), kUserSubject) != 0)
      throw std::runtime_error("no key container");
    WriteText(Under("keys/own.pem"), Certificate(kUserSubject, ""));
    WriteText(Under("certs/Alice.pem"), Certificate(kUserSubject, ""));
    WriteText(Under("bank/Bank CA.pem"), Certificate(kBankSubject, ""));
    const std::string request = Start();
    answer_ = BankAnswer(request);
    fs::create_directories(Under("saved"));
    for (const char* part : {"keys", "certs", "remote"})
      fs::copy(Under(part), Under(std::string("saved/") + part), fs::copy_options::recursive);
  }

  static std::string Start() {
    CRYPT_HANDLE user = UserEngine();
    std::vector<char> exchange(1 << 16, '\0');
    uint32_t step = 0;
    const int32_t result = Api().RemoteGenerateStartEx(user, "Alice", exchange.data(), &step);
    Api().DoneEngine(user);
    if (result != 0 || step != 1) throw std::runtime_error("the remote start failed: " + std::to_string(result));
    return exchange.data();
  }

  static std::string BankAnswer(const std::string& request) {
    CRYPT_HANDLE bank = BankEngine();
    const std::string bankDirectory = Under("bank");
    std::vector<char> transfer(static_cast<size_t>(Api().GetMaxPublicKeyTransferSize(bank)), '\0');
    const bool answered =
        Api().SavePublicKeyFromTransfer(bank, bankDirectory.c_str(), request.c_str()) == 0 &&
        FakeHook<FakeIssueCertificate_Fn>("FakeIssueCertificate")(Under("bank/Tmp_cert.pem").c_str(), kBankSubject,
                                                                  Under("bank/issued.pem").c_str()) == 0 &&
        Api().GetPublicKeyTransferByFile(bank, transfer.data(), Under("bank/issued.pem").c_str()) == 0;
    Api().DoneEngine(bank);
    if (!answered) throw std::runtime_error("the bank did not answer");
    return transfer.data();
  }

  std::string answer_;
};

void RemoteFinish(benchmark::State& state, bool synced) {
  RemoteScene& scene = RemoteScene::Get();
  for (auto _ : state) {
    state.PauseTiming();
    scene.Restore();
    // The finish as a host runs it long after the start: a new engine.
    CRYPT_HANDLE user = UserEngine();
    syncsOff = !synced;
    state.ResumeTiming();
    uint32_t step = 2;
    const int32_t result = Api().RemoteGenerateFinishEx(user, scene.answer().c_str(), &step);
    state.PauseTiming();
    syncsOff = false;
    Api().DoneEngine(user);
    state.ResumeTiming();
    if (result != 0) {
      state.SkipWithError(("RemoteGenerateFinishEx answered " + std::to_string(result)).c_str());
      break;
    }
  }
}

// A holder's new certificate filed over the present one, which becomes the
// backup; the backup is removed between iterations so that every inclusion
// finds the same directory.
void Inclusion(benchmark::State& state, bool synced) {
  const std::string directory = Under("store");
  fs::create_directories(directory);
  WriteText(directory + "/Alice.pem", Certificate(kUserSubject, "a11ce1"));
  WriteText(directory + "/Bob.pem", Certificate("/C=RU/O=Bank/CN=Bob", "b0b001"));
  CRYPT_HANDLE user = Api().GetCryptObj();
  Api().SetRootPath(user, Installation::Get().root().path().c_str());
  SetParam(user, 1, directory + "/Alice.pem");
  SetParam(user, 2, directory);
  const std::string source = Under("in/bob.pem");
  for (auto _ : state) {
    state.PauseTiming();
    for (const auto& entry : fs::directory_iterator(directory))
      if (entry.path().extension() == ".001") fs::remove(entry.path());
    WriteText(source, Certificate("/C=RU/O=Bank/CN=Bob", "b0b002"));
    syncsOff = !synced;
    state.ResumeTiming();
    const int32_t result = Api().IncludePublicKey(user, source.c_str());
    state.PauseTiming();
    syncsOff = false;
    state.ResumeTiming();
    if (result != 0) {
      state.SkipWithError(("IncludePublicKey answered " + std::to_string(result)).c_str());
      break;
    }
  }
  Api().DoneEngine(user);
}

BENCHMARK_CAPTURE(Inclusion, synced, true)->Name("Sync/inclusion/synced")->UseRealTime();
BENCHMARK_CAPTURE(Inclusion, unsynced, false)->Name("Sync/inclusion/unsynced")->UseRealTime();
BENCHMARK_CAPTURE(RemoteFinish, synced, true)->Name("Sync/remote_finish/synced")->UseRealTime();
BENCHMARK_CAPTURE(RemoteFinish, unsynced, false)->Name("Sync/remote_finish/unsynced")->UseRealTime();

}  // namespace
}  // namespace cryptlib::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  cryptlib::bench::Installation::Get();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  cryptlib::bench::Installation::Shutdown();
  return 0;
}
