// demo: a bank and its abonents in a fresh installation root, every flow a
// client runs, each step printed with what it did and its result. Exits
// non-zero when a step fails; the steps after a failure are skipped (they
// build on it) and listed as such.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "commands.h"
#include "demo_log.h"
#include "install_paths.h"
#include "session.h"

namespace cryptlib::host {
namespace {

namespace fs = std::filesystem;

struct DemoStep {
  const char* name;
  const char* what;
  bool (*run)(World& world, StepLog& log);
};

const DemoStep kSteps[] = {
    {"install", "a fresh installation root with the reference module", InstallStep},
    {"bank-ca", "the bank's certificate authority", BankAuthorityStep},
    {"generate", "keys and requests for the bank and three abonents", GenerateStep},
    {"certify", "the bank issues their certificates", CertifyStep},
    {"layout", "directories, own and CA certificates (CreateDirStructure)", LayoutStep},
    {"exchange", "public key transfers exchanged", ExchangeStep},
    {"encrypt", "encryption for two recipients", EncryptStep},
    {"sign", "detached signature", DetachedSignatureStep},
    {"attach", "attached signature added and stripped", AttachedSignatureStep},
    {"revoke", "a revoked abonent's signature refused", RevocationStep},
    {"report", "certificate properties", ReportStep},
    {"remote", "remote key replacement (one call, remote type 1)", RemoteReplacementStep},
    {"new-keys", "working with the replaced keys", NewKeysStep},
};

// --module, else the reference module of this build or installation.
std::string ModulePath(const Options& options) {
  return options.Get("module", ReferenceModulePath());
}

std::string NewRoot(const Options& options) {
  if (options.Has("root")) {
    fs::create_directories(options.Get("root"));
    return fs::absolute(options.Get("root")).string();
  }
  std::string pattern = (fs::temp_directory_path() / "cryptlib-demo-XXXXXX").string();
  return mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

void PrintStep(size_t number, const DemoStep& step, const StepLog& log) {
  std::printf("[%zu] %s: %s\n", number, step.name, step.what);
  for (const std::string& line : log.lines()) std::printf("    %s\n", line.c_str());
  if (log.failed())
    std::printf("    FAILED: %s\n", log.failure().c_str());
  else
    std::printf("    ok\n");
  std::fflush(stdout);
}

std::string StepJson(const DemoStep& step, const StepLog* log) {
  std::string lines = "[";
  if (log != nullptr)
    for (size_t i = 0; i < log->lines().size(); ++i) lines += (i > 0 ? ", " : "") + JsonString(log->lines()[i]);
  const std::string result = log == nullptr ? "skipped" : log->failed() ? "failed" : "ok";
  return "{\"name\": " + JsonString(step.name) + ", \"result\": \"" + result + "\", \"lines\": " + lines + "]" +
         (log != nullptr && log->failed() ? ", \"failure\": " + JsonString(log->failure()) : "") + "}";
}

// Runs the steps in order; the number of the first that failed, or 0. The
// steps after a failure build on it and are only listed.
int RunSteps(World& world, Output& out) {
  int failed = 0;
  std::string steps = "[";
  size_t number = 0;
  for (const DemoStep& step : kSteps) {
    ++number;
    StepLog log;
    const bool skipped = failed != 0;
    if (!skipped && (!step.run(world, log) || log.failed())) failed = static_cast<int>(number);
    if (skipped && !out.json()) std::printf("[%zu] %s: skipped (step %d failed)\n", number, step.name, failed);
    if (!skipped && !out.json()) PrintStep(number, step, log);
    steps += (number > 1 ? ", " : "") + StepJson(step, skipped ? nullptr : &log);
  }
  if (out.json()) out.AddRaw("steps", steps + "]", "");
  return failed;
}

int RunDemo(const Options& options, Output& out) {
  Algorithms algorithms;
  if (!AlgorithmsByName(options.Get("keys", "rsa"), algorithms))
    return Session::Fail(out, "--keys is rsa, ecdsa, gost or token", kExitUsage);
  EngineLibrary library;
  const std::string name = options.Get("library", EngineLibrary::DefaultFileName());
  if (!library.Load(name)) return Session::Fail(out, "cannot load " + name + ": " + library.error(), kExitNoEngine);
  const std::string root = NewRoot(options);
  if (root.empty()) return Session::Fail(out, "cannot make a temporary root", kExitFailed);
  int failed = 0;
  {
    // The parties' engines are released before the library is unloaded.
    World world(library.api(), root, algorithms);
    world.modulePath = ModulePath(options);
    failed = RunSteps(world, out);
  }
  if (!options.Has("keep") && !options.Has("root")) fs::remove_all(root);
  if (out.json()) {
    out.Add("root", root);
    out.AddBool("passed", failed == 0);
  } else if (failed == 0) {
    std::printf("demo passed: every step ok\n");
  } else {
    std::printf("demo FAILED at step %d\n", failed);
  }
  return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

std::vector<Command> DemoCommands() {
  return {{"demo",
           {},
           {{"--keys", "rsa|ecdsa|gost|token",
             "the kind of keys (default rsa; token: RSA keys of the abonents on SoftHSM2 tokens)"},
            {"--module", "FILE", "the vendor module (default: the reference module of this installation)"},
            {"--keep", "", "keep the temporary root"}},
           "a bank and abonents through every flow in a fresh installation root (--root DIR: there)",
           RunDemo}};
}

}  // namespace cryptlib::host
