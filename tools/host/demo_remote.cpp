// Demo steps of the remote key replacement: Alice's new keys are made by her
// engine in one call (remote type 1), the request travels to the bank as a
// transfer signed with her current key, the bank answers with a certificate
// transfer, and the finish puts the new keys in force. Then she keeps
// working with them.
#include <filesystem>

#include "bank_desk.h"
#include "demo_log.h"

namespace cryptlib::host {
namespace {

constexpr int32_t kOneCallProcedure = 1;

std::string RemoteDirectory(World& world) {
  return world.party("Alice").Path("remote");
}

}  // namespace

bool RemoteReplacementStep(World& world, StepLog& log) {
  std::filesystem::create_directories(RemoteDirectory(world));
  std::filesystem::create_directories(world.Path("Bank/desk"));
  std::string requestTransfer;
  {
    std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
    if (alice == nullptr) return false;
    alice->SetRemotePath(RemoteDirectory(world));
    const int32_t type = alice->RemoteType();
    if (!log.Check(type == kOneCallProcedure,
                   "GetRemoteGenType answers " + std::to_string(type) + " (one call makes keys and request)"))
      return false;
    int calls = 0;
    uint32_t step = 0;
    const Status status = alice->RemoteStart(false, "", requestTransfer, calls, step);
    if (!log.Call(*alice, status, "Alice starts the replacement from step 0") ||
        !log.Check(step == 1, std::to_string(calls) + " call(s), the step cell reached " + std::to_string(step)) ||
        !log.Check(!requestTransfer.empty(), "the exchange buffer holds the request transfer (" +
                                                 std::to_string(requestTransfer.size()) + " characters)"))
      return false;
  }
  std::unique_ptr<EngineClient> bank = OpenEngine(world, "Bank", log);
  if (bank == nullptr) return false;
  BankAnswer answer;
  if (!AnswerRequestTransfer(*bank, world.ca, requestTransfer, world.Path("Bank/desk"), 365, answer))
    return log.Fail("the bank cannot answer: " + answer.error);
  log.Note("the bank checked the request transfer and issued serial " + std::to_string(answer.serial));
  const long oldSerial = world.party("Alice").serial;
  world.party("Alice").serial = answer.serial;

  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  if (alice == nullptr) return false;
  alice->SetRemotePath(RemoteDirectory(world));
  uint32_t step = 2;
  std::string uid, report;
  return log.Call(*alice, alice->RemoteFinish(answer.transfer, step),
                  "Alice finishes with the bank's certificate transfer from step 2") &&
         log.Call(*alice, alice->CurrentUid(uid), "Alice asks who the current user is") &&
         log.Check(uid.rfind("Alice (", 0) == 0 && uid.back() == ')',
                   "the new certificate's UID is \"" + uid + "\": her name and the time of generation") &&
         log.Call(*alice, alice->Properties(world.party("Alice").uid = uid, report),
                  "Alice reads her new certificate") &&
         log.Check(ReportValue(report, "SN") == SerialPairs(answer.serial),
                   "her certificate is the new one (serial " + std::to_string(answer.serial) + ", was " +
                       std::to_string(oldSerial) + ")") &&
         KeysProtected(world.party("Alice"), log);
}

// Alice's new transfer reaches Bob; her new signature verifies, and what
// Bob encrypts for her new key she decrypts.
bool NewKeysStep(World& world, StepLog& log) {
  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  std::unique_ptr<EngineClient> bob = OpenEngine(world, "Bob", log);
  if (alice == nullptr || bob == nullptr) return false;
  std::string transfer, signature, signer, encrypted = world.payment, recipient;
  if (!log.Call(*alice, alice->OwnTransfer(transfer), "Alice exports her new transfer") ||
      !log.Call(*bob, bob->ImportTransfer(transfer), "Bob imports it") ||
      !log.Call(*alice, alice->Sign(world.payment, signature, ""), "Alice signs with her new key") ||
      !log.Call(*bob, bob->Verify(world.payment, signature, signer, false), "Bob verifies") ||
      !log.Check(signer == world.party("Alice").uid, "the signer is \"" + signer + "\"") ||
      !log.Call(*bob, bob->Encrypt(encrypted, world.party("Alice").uid), "Bob encrypts for Alice's new certificate"))
    return false;
  std::string report;
  if (!log.Call(*bob, bob->Properties(world.party("Alice").uid, report), "Bob reads Alice's new certificate") ||
      !log.Check(ReportValue(report, "SN") == SerialPairs(world.party("Alice").serial),
                 "Bob holds the new certificate"))
    return false;
  return log.Call(*alice, alice->Decrypt(encrypted, recipient), "Alice decrypts with her new key") &&
         log.Check(encrypted == world.payment && recipient == world.party("Alice").uid,
                   "she reads the payment order, decrypted for \"" + recipient + "\"");
}

}  // namespace cryptlib::host
