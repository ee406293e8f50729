// Demo steps of everyday work: encryption for two abonents, detached and
// attached signatures, a revoked abonent refused, certificate reports.
#include "demo_log.h"

namespace cryptlib::host {
namespace {

// Flips one byte in the middle: what a damaged or forged document looks like.
std::string Altered(std::string data) {
  data[data.size() / 2] ^= 0x01;
  return data;
}

bool DecryptAs(World& world, const std::string& name, const std::string& encrypted, StepLog& log) {
  std::unique_ptr<EngineClient> engine = OpenEngine(world, name, log);
  if (engine == nullptr) return false;
  std::string data = encrypted, recipient;
  return log.Call(*engine, engine->Decrypt(data, recipient), name + " decrypts") &&
         log.Check(data == world.payment && recipient == name,
                   name + " reads the payment order, decrypted for \"" + recipient + "\"");
}

}  // namespace

bool EncryptStep(World& world, StepLog& log) {
  world.payment = "Payment order 42: pay 1500.00 RUB from Alice to Bob. Reason: invoice 7.\n";
  for (int i = 0; i < 200; ++i) world.payment += "line " + std::to_string(i) + " of the attached register\n";
  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  if (alice == nullptr) return false;
  std::string encrypted = world.payment;
  if (!log.Call(*alice, alice->Encrypt(encrypted, "Bob;Bank"), "Alice encrypts the payment order for Bob and Bank") ||
      !log.Check(encrypted != world.payment, "the " + std::to_string(world.payment.size()) + " bytes became " +
                                                 std::to_string(encrypted.size()) + " bytes of enveloped data"))
    return false;
  if (!DecryptAs(world, "Bob", encrypted, log) || !DecryptAs(world, "Bank", encrypted, log)) return false;
  std::unique_ptr<EngineClient> carol = OpenEngine(world, "Carol", log);
  if (carol == nullptr) return false;
  std::string data = encrypted, recipient;
  return log.Refused(*carol, carol->Decrypt(data, recipient), "Carol, not a recipient, decrypts");
}

bool DetachedSignatureStep(World& world, StepLog& log) {
  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  std::unique_ptr<EngineClient> bob = OpenEngine(world, "Bob", log);
  if (alice == nullptr || bob == nullptr) return false;
  std::string signature, signer;
  return log.Call(*alice, alice->Sign(world.payment, signature, ""), "Alice signs the payment order") &&
         log.Check(!signature.empty(), std::to_string(signature.size()) + " bytes of detached signature") &&
         log.Call(*bob, bob->Verify(world.payment, signature, signer, false), "Bob verifies") &&
         log.Check(signer == "Alice", "the signer is \"" + signer + "\"") &&
         log.Refused(*bob, bob->Verify(Altered(world.payment), signature, signer, false),
                     "Bob verifies an altered order");
}

bool AttachedSignatureStep(World& world, StepLog& log) {
  std::unique_ptr<EngineClient> bob = OpenEngine(world, "Bob", log);
  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  if (alice == nullptr || bob == nullptr) return false;
  std::string signedData = world.payment, signer;
  if (!log.Call(*bob, bob->AddSign(signedData, ""), "Bob attaches his signature") ||
      !log.Check(signedData.size() > world.payment.size(), std::to_string(world.payment.size()) + " bytes became " +
                                                               std::to_string(signedData.size()) +
                                                               " bytes of signed data"))
    return false;
  std::string altered = Altered(signedData), content = signedData;
  return log.Call(*alice, alice->RemoveSign(content, signer), "Alice strips and checks the signature") &&
         log.Check(content == world.payment && signer == "Bob",
                   "the content is intact, signed by \"" + signer + "\"") &&
         log.Refused(*alice, alice->RemoveSign(altered, signer), "Alice strips a signature from altered data");
}

// Carol's certificate is revoked by the bank's list: her signature, good
// before, is refused once Alice files the list; Bob's is still good.
bool RevocationStep(World& world, StepLog& log) {
  std::unique_ptr<EngineClient> carol = OpenEngine(world, "Carol", log);
  std::unique_ptr<EngineClient> bob = OpenEngine(world, "Bob", log);
  if (carol == nullptr || bob == nullptr) return false;
  std::string carolSignature, bobSignature, signer;
  if (!log.Call(*carol, carol->Sign(world.payment, carolSignature, ""), "Carol signs") ||
      !log.Call(*bob, bob->Sign(world.payment, bobSignature, ""), "Bob signs"))
    return false;
  {
    std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
    if (alice == nullptr || !log.Call(*alice, alice->Verify(world.payment, carolSignature, signer, false),
                                      "Alice verifies Carol's signature before the revocation"))
      return false;
  }
  const std::string crl = world.party("Alice").Path("inbox/bank.crl");
  if (!world.ca.WriteCrl(crl, {world.party("Carol").serial})) return log.Fail(world.ca.error());
  log.Note("the bank revokes serial " + std::to_string(world.party("Carol").serial) + " (Carol)");
  std::unique_ptr<EngineClient> alice = OpenEngine(world, "Alice", log);
  if (alice == nullptr) return false;
  return log.Call(*alice, alice->IncludeCrl(crl), "Alice files the revocation list") &&
         log.Refused(*alice, alice->Verify(world.payment, carolSignature, signer, false),
                     "Alice verifies Carol's signature") &&
         log.Call(*alice, alice->Verify(world.payment, bobSignature, signer, false),
                  "Alice verifies Bob's signature after the revocation");
}

// The certificate properties a client shows: Bob's engine reports Alice's
// certificate, which must carry the serial the bank gave it.
bool ReportStep(World& world, StepLog& log) {
  std::unique_ptr<EngineClient> bob = OpenEngine(world, "Bob", log);
  if (bob == nullptr) return false;
  std::string report;
  if (!log.Call(*bob, bob->Properties("Alice", report), "Bob reads Alice's certificate properties")) return false;
  for (const char* key : {"SN", "ICN", "IO", "NotBefore", "NotAfter", "CN", "O", "C", "PKeyAlg"})
    log.Note(std::string("  ") + key + "=" + ReportValue(report, key));
  return log.Check(ReportValue(report, "SN") == SerialPairs(world.party("Alice").serial),
                   "the report's serial is the one the bank issued") &&
         log.Check(ReportValue(report, "CN") == "Alice" && ReportValue(report, "ICN") == "Demo Bank CA",
                   "subject Alice, issuer Demo Bank CA");
}

}  // namespace cryptlib::host
