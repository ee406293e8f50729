// Demo steps that set the world up: the installation, the bank's authority,
// keys and certificates for every party, their directories and the
// exchange of public key transfers.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "demo_log.h"
#include "files.h"

namespace cryptlib::host {
namespace {

namespace fs = std::filesystem;

// The engine's answer for a local generation that wrote keys and request.
constexpr int32_t kGeneratedAwaitingCertificate = -100;

const char* const kParties[] = {"Bank", "Alice", "Bob", "Carol"};
const char* const kAbonents[] = {"Alice", "Bob", "Carol"};

// The abonents' passphrase comes from an environment variable the demo sets
// for itself; the bank's own client keeps a container without a passphrase,
// as containers made before passphrases do.
constexpr char kPassphraseVariable[] = "CRYPTLIB_DEMO_PASSPHRASE";
constexpr char kDemoPassphrase[] = "correct horse battery staple";
constexpr char kPassphraseMarker[] = "Passphrase: pin.opq";

// A passphrase already in the environment is kept: a host that works in
// the demo's root afterwards opens the keys with it.
void PutAbonentsUnderPassphrase(World& world, StepLog& log) {
  const char* given = std::getenv(kPassphraseVariable);
  const bool set = given == nullptr || *given == '\0';
  if (set) setenv(kPassphraseVariable, kDemoPassphrase, 1);
  const std::string source = std::string("env:") + kPassphraseVariable;
  for (const char* name : kAbonents) world.party(name).pinSource = source;
  log.Note(std::string(set ? "the demo sets " : "the demo keeps the passphrase in ") + kPassphraseVariable +
           (set ? " itself" : "") + ": the abonents' keys are under a passphrase from PIN source " + source +
           " (parameter 8)");
}

bool StartsWith(const fs::path& file, const std::string& prefix) {
  std::ifstream in(file);
  std::string line;
  return std::getline(in, line) && line == prefix;
}

}  // namespace

bool KeysUnderPassphrase(const Party& party, StepLog& log) {
  int total = 0, underPassphrase = 0;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(party.Path("keys/KEYS"), error)) {
    if (entry.path().extension() != ".key") continue;
    ++total;
    if (StartsWith(entry.path(), kPassphraseMarker)) ++underPassphrase;
  }
  return log.Check(total > 0 && underPassphrase == total && fs::exists(party.Path("keys/pin.opq")),
                   party.name() + "'s " + std::to_string(total) + " key file(s): " + std::to_string(underPassphrase) +
                       " under the passphrase (pin.opq)");
}

bool InstallStep(World& world, StepLog& log) {
  std::error_code error;
  fs::create_directories(world.Path("EXE"), error);
  fs::copy_file(world.modulePath, world.Path("EXE/mplug2.so"), fs::copy_options::overwrite_existing, error);
  if (error) return log.Fail("cannot install " + world.modulePath + ": " + error.message());
  log.Note("installation root " + world.root + ", vendor module in EXE/mplug2.so");
  for (const char* name : kParties) world.parties[name] = std::make_unique<Party>(world.root, name, world.algorithms);
  PutAbonentsUnderPassphrase(world, log);
  std::unique_ptr<EngineClient> engine = OpenEngine(world, "Bank", log);
  if (engine == nullptr) return false;
  log.Note("algorithms: cipher " + engine->ParamValue(4) + ", signature " + engine->ParamValue(5));
  return log.Check(engine->ParamCount() == 27, "the engine bound the module: 27 parameters");
}

bool BankAuthorityStep(World& world, StepLog& log) {
  if (!world.ca.Create(world.Path("BankCA"), "Demo Bank", "Demo Bank CA")) return log.Fail(world.ca.error());
  log.Note("authority /C=RU/O=Demo Bank/CN=Demo Bank CA in " + world.Path("BankCA"));
  return true;
}

// GenerateNewSEK for every party: keys in the key directory, a request in
// parameter 9.
bool GenerateStep(World& world, StepLog& log) {
  for (const char* name : kParties) {
    std::unique_ptr<EngineClient> engine = OpenEngine(world, name, log);
    if (engine == nullptr) return false;
    const Status status = engine->GenerateKeys();
    if (status.code != kGeneratedAwaitingCertificate && !log.Call(*engine, status, name + std::string(" generates")))
      return false;
    std::string report;
    if (!log.Call(*engine, engine->PropertiesOfFile(world.party(name).Path("request.pem"), report),
                  std::string(name) + " generated keys and request.pem (GenerateNewSEK " + std::to_string(status.code) +
                      "), its report"))
      return false;
    if (!log.Check(report.find("CN=" + std::string(name)) != std::string::npos,
                   std::string("the request names CN=") + name))
      return false;
    if (!world.party(name).pinSource.empty() && !KeysUnderPassphrase(world.party(name), log)) return false;
  }
  return true;
}

bool CertifyStep(World& world, StepLog& log) {
  for (const char* name : kParties) {
    Party& party = world.party(name);
    if (!world.ca.Issue(party.Path("request.pem"), party.Path("inbox/" + std::string(name) + ".pem"), 365,
                        party.serial))
      return log.Fail(std::string(name) + ": " + world.ca.error());
    log.Note(std::string("the bank issued ") + name + "'s certificate, serial " + std::to_string(party.serial));
  }
  return true;
}

// CreateDirStructure: the own certificate filed, the bank's CA certificate
// in the key directory's CA.
bool LayoutStep(World& world, StepLog& log) {
  for (const char* name : kParties) {
    std::unique_ptr<EngineClient> engine = OpenEngine(world, name, log);
    if (engine == nullptr) return false;
    const std::string issued = world.party(name).Path("inbox/" + std::string(name) + ".pem");
    if (!log.Call(*engine, engine->CreateDirs(issued, world.ca.CertificatePath()),
                  std::string(name) + " lays out the directories"))
      return false;
    std::string uid;
    if (!log.Call(*engine, engine->CurrentUid(uid), std::string(name) + " asks who the current user is") ||
        !log.Check(uid == name, "the current user is \"" + uid + "\""))
      return false;
  }
  return true;
}

// Every party makes its own transfer; every other party files it.
bool ExchangeStep(World& world, StepLog& log) {
  for (const char* name : kParties) {
    std::unique_ptr<EngineClient> engine = OpenEngine(world, name, log);
    if (engine == nullptr) return false;
    std::string transfer, uid;
    if (!log.Call(*engine, engine->OwnTransfer(transfer), std::string(name) + " exports its public key transfer") ||
        !log.Call(*engine, engine->UidOfTransfer(transfer, uid), "its UID read back") ||
        !log.Check(uid == name, "the transfer carries \"" + uid + "\""))
      return false;
    world.transfers[name] = transfer;
    WriteWholeFile(world.party(name).Path(std::string(name) + ".transfer"), transfer);
  }
  for (const char* receiver : kParties) {
    std::unique_ptr<EngineClient> engine = OpenEngine(world, receiver, log);
    if (engine == nullptr) return false;
    for (const char* sender : kParties) {
      if (std::string(sender) == receiver) continue;
      if (!log.Call(*engine, engine->ImportTransfer(world.transfers[sender]),
                    std::string(receiver) + " imports " + sender + "'s transfer"))
        return false;
    }
  }
  return true;
}

}  // namespace cryptlib::host
