// The reference module's scenario: a bank with its authority, the current
// user and twenty other holders enrolled through the module (RSA 2048,
// AES-256-CBC, SHA-256).
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "engine_fixture.h"
#include "reference/parse_cache.h"
#include "reference_harness.h"

namespace cryptlib::bench {
namespace {

constexpr int kRecipientCount = 20;

void Enroll(reftest::Bank& bank, reftest::Abonent& abonent, const std::string& name, long serial) {
  if (bank.Enroll(abonent, name, serial) != 0) throw std::runtime_error("cannot enroll " + name);
}

}  // namespace

Scenario MakeScenario(const BenchDir& root) {
  static reftest::Bank bank(root / "bank");
  Scenario scenario;
  reftest::Abonent alice;
  Enroll(bank, alice, "Alice", 1);
  for (int i = 1; i <= kRecipientCount; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "User%02d", i);
    reftest::Abonent abonent;
    Enroll(bank, abonent, name, 100 + i);
    scenario.recipients.emplace_back(name);
    scenario.recipientSubjects.push_back(abonent.subjectLine);
  }
  scenario.certificateDirectory = bank.Path("certs");
  scenario.params[reftest::kOwnCertificate] = alice.certificate;
  scenario.params[reftest::kCertificateDir] = scenario.certificateDirectory;
  scenario.params[reftest::kKeyDir] = alice.keyDirectory;
  scenario.params[reftest::kCipher] = "AES-256-CBC";
  scenario.params[reftest::kSignature] = "SHA256";
  scenario.params[reftest::kCaDir] = bank.Path("ca");
  scenario.params[reftest::kCrlDir] = bank.Path("crl");
  // The module keeps what it parsed from a file only once the file is older
  // than its settle time; a bank's files are written long before they are
  // used, so the cases start once the new ones are that old.
  std::this_thread::sleep_for(ref::kSettleTime + std::chrono::milliseconds(100));
  return scenario;
}

}  // namespace cryptlib::bench
