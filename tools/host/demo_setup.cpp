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

// With --keys token the abonents' keys live on SoftHSM2 tokens, one per
// abonent, in the demo's root ("softhsm"); their PIN comes from an
// environment variable the demo sets, as the passphrase does otherwise.
constexpr char kTokenPinVariable[] = "CRYPTLIB_DEMO_TOKEN_PIN";
constexpr char kDemoTokenPin[] = "246810";
constexpr int kTokenUriParameter = 10;
constexpr int kTokenLibraryParameter = 18;

std::string SoftHsmLibrary() {
  for (const char* path : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so"}) {
    if (fs::exists(path)) return path;
  }
  return {};
}

bool PutAbonentsOnTokens(World& world, StepLog& log) {
  const std::string library = SoftHsmLibrary();
  if (library.empty() || std::system("softhsm2-util --version >/dev/null 2>&1") != 0)
    return log.Fail("--keys token needs SoftHSM2 (Debian softhsm2): softhsm2-util and libsofthsm2.so");
  const std::string store = world.Path("softhsm");
  fs::create_directories(store + "/tokens");
  std::ofstream(store + "/softhsm2.conf") << "directories.tokendir = " << store << "/tokens\nlog.level = ERROR\n";
  setenv("SOFTHSM2_CONF", (store + "/softhsm2.conf").c_str(), 1);
  setenv(kTokenPinVariable, kDemoTokenPin, 1);
  for (const char* name : kAbonents) {
    const std::string command = std::string("softhsm2-util --init-token --free --label ") + name + " --pin " +
                                kDemoTokenPin + " --so-pin 13579135 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
      return log.Fail(std::string("softhsm2-util cannot make ") + name + "'s token");
    Party& party = world.party(name);
    party.pinSource = std::string("env:") + kTokenPinVariable;
    party.moduleParameters = {{kTokenLibraryParameter, library},
                              {kTokenUriParameter, std::string("pkcs11:token=") + name}};
  }
  log.Note("SoftHSM2 tokens Alice, Bob and Carol in " + store + " (SOFTHSM2_CONF), library " + library +
           " (parameter 18); the token PIN from PIN source env:" + kTokenPinVariable + " (parameter 8)");
  return true;
}

// Whether the file's first line is prefix (or, not whole, begins with it).
bool StartsWith(const fs::path& file, const std::string& prefix, bool wholeLine = true) {
  std::ifstream in(file);
  std::string line;
  return std::getline(in, line) && (wholeLine ? line == prefix : line.rfind(prefix, 0) == 0);
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

bool KeysOnToken(const Party& party, StepLog& log) {
  int total = 0, references = 0;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(party.Path("keys/KEYS"), error)) {
    if (entry.path().extension() != ".key") continue;
    ++total;
    if (StartsWith(entry.path(), "pkcs11:", false)) ++references;
  }
  return log.Check(total > 0 && references == total, party.name() + "'s " + std::to_string(total) + " key file(s): " +
                                                         std::to_string(references) + " reference(s) to token keys");
}

bool KeysProtected(const Party& party, StepLog& log) {
  return party.moduleParameters.empty() ? KeysUnderPassphrase(party, log) : KeysOnToken(party, log);
}

bool InstallStep(World& world, StepLog& log) {
  std::error_code error;
  fs::create_directories(world.Path("EXE"), error);
  fs::copy_file(world.modulePath, world.Path("EXE/mplug2.so"), fs::copy_options::overwrite_existing, error);
  if (error) return log.Fail("cannot install " + world.modulePath + ": " + error.message());
  log.Note("installation root " + world.root + ", vendor module in EXE/mplug2.so");
  for (const char* name : kParties) world.parties[name] = std::make_unique<Party>(world.root, name, world.algorithms);
  if (world.algorithms.name == "token") {
    if (!PutAbonentsOnTokens(world, log)) return false;
  } else {
    PutAbonentsUnderPassphrase(world, log);
  }
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
    if (!world.party(name).pinSource.empty() && !KeysProtected(world.party(name), log)) return false;
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
