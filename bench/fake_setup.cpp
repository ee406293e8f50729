// The fake module's scenario: text certificates for the current user and
// twenty other holders in one certificate directory.
#include <cstdio>

#include "engine_fixture.h"

namespace cryptlib::bench {
namespace {

constexpr int kRecipientCount = 20;

std::string Subject(const std::string& name) {
  return "/C=RU/O=Bank/CN=" + name;
}

std::string Certificate(const std::string& name) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + Subject(name) + "\n-----END CERTIFICATE-----\n";
}

}  // namespace

Scenario MakeScenario(const BenchDir& root) {
  Scenario scenario;
  scenario.certificateDirectory = root / "certs";
  root.WriteFile("certs/Alice.pem", Certificate("Alice"));
  for (int i = 1; i <= kRecipientCount; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "User%02d", i);
    root.WriteFile(std::string("certs/") + name + ".pem", Certificate(name));
    scenario.recipients.emplace_back(name);
    scenario.recipientSubjects.push_back(Subject(name));
  }
  scenario.params[1] = root / "certs/Alice.pem";
  scenario.params[2] = scenario.certificateDirectory;
  return scenario;
}

}  // namespace cryptlib::bench
