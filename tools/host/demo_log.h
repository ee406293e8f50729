// What one demo step did: its lines, and why it failed if it did.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "demo_world.h"
#include "engine_client.h"

namespace cryptlib::host {

class StepLog {
 public:
  void Note(const std::string& line) { lines_.push_back(line); }
  // Records the failure; answers false so that a step can return it.
  bool Fail(const std::string& reason);
  bool Check(bool condition, const std::string& what);
  // An operation that must succeed: noted with its code, or the failure
  // with the engine's texts.
  bool Call(const EngineClient& engine, const Status& status, const std::string& what);
  // An operation that must be refused: noted with the code and text it
  // was refused with; a success is the failure.
  bool Refused(const EngineClient& engine, const Status& status, const std::string& what);

  const std::vector<std::string>& lines() const { return lines_; }
  const std::string& failure() const { return failure_; }
  bool failed() const { return !failure_.empty(); }

 private:
  std::vector<std::string> lines_;
  std::string failure_;
};

// The value of "key=" in a certificate report (lines ended by CR LF).
std::string ReportValue(const std::string& report, const std::string& key);
// A serial number as the reports write it: lower-case hex pairs joined by
// ":" ("10:01" for 4097).
std::string SerialPairs(long serial);

// Checks that every key file of the party's container is under the
// passphrase (the reference module marks them "Passphrase: pin.opq") and
// notes how many there are.
bool KeysUnderPassphrase(const Party& party, StepLog& log);
// With --keys token: every key file of the party's container is a reference
// to a key on its token, none holds key material.
bool KeysOnToken(const Party& party, StepLog& log);
// Whichever of the two the party's keys are meant to be.
bool KeysProtected(const Party& party, StepLog& log);

// A new engine of the party; nullptr with the failure logged.
std::unique_ptr<EngineClient> OpenEngine(World& world, const std::string& party, StepLog& log);

// The steps, in the order the demo runs them.
bool InstallStep(World& world, StepLog& log);
bool BankAuthorityStep(World& world, StepLog& log);
bool GenerateStep(World& world, StepLog& log);
bool CertifyStep(World& world, StepLog& log);
bool LayoutStep(World& world, StepLog& log);
bool ExchangeStep(World& world, StepLog& log);
bool EncryptStep(World& world, StepLog& log);
bool DetachedSignatureStep(World& world, StepLog& log);
bool AttachedSignatureStep(World& world, StepLog& log);
bool RevocationStep(World& world, StepLog& log);
bool ReportStep(World& world, StepLog& log);
bool RemoteReplacementStep(World& world, StepLog& log);
bool NewKeysStep(World& world, StepLog& log);

}  // namespace cryptlib::host
