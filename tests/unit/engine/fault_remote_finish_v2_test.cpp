// The finish of remote key replacement under every file-system failure, one
// at a time (a transient error), through the shared fault sweep: whatever
// fails, the user keeps a matching key set and own certificate (the old pair
// or the new one), a certificate in the certificate directory, and the
// protected new key in the remote generation directory, so that the same
// answer from the bank finishes the replacement on the next attempt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "engine/formats/transfer_record.h"
#include "engine/mpro_2x.h"
#include "unit/harness/binding_fake_harness.h"
#include "unit/harness/fault_platform.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

namespace fs = std::filesystem;
using test::TestDir;

constexpr const char* kUser = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBank = "/C=RU/O=Bank/CN=Bank CA";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string PublicKeyOf(const std::string& path) {
  std::istringstream lines(Read(path));
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("PublicKey: ", 0) == 0) return line.substr(11);
  return std::string();
}

std::string Certificate(const char* subject, const std::string& publicKey = "") {
  return std::string("-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: ") + subject +
         (publicKey.empty() ? "" : "\nPublicKey: " + publicKey) + "\n-----END CERTIFICATE-----\n";
}

void CopyDirectory(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  // copy makes the target directory; some libraries refuse an existing one.
  fs::copy(from, to, fs::copy_options::recursive);
}

class FinishSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(hooks_.WriteKeyContainer(work_ / "keys", kUser), 0);
    oldKey_ = PublicKeyOf(work_ / "keys/mk.db3");
    // The user's certificate is the one of the active keys.
    work_.WriteFile("keys/own.pem", Certificate(kUser, oldKey_));
    work_.MakeDir("certs");
    work_.WriteFile("certs/Alice.pem", Certificate(kUser, oldKey_));
    work_.MakeDir("remote");
    work_.MakeDir("bank");
    work_.WriteFile("bank/Bank CA.pem", Certificate(kBank));
    // The start, once: the protected new key and its request in R.
    TMPro2xCryptoEngine user;
    Configure(user);
    std::vector<char> exchange(kMaxPublicKeyTransferSize, '\0');
    uint32_t step = 0;
    ASSERT_EQ(user.RemoteGenerateStartEx("Alice", exchange.data(), &step), 0);
    answer_ = BankAnswer(exchange.data());
    ASSERT_FALSE(answer_.empty());
    for (const char* part : {"keys", "certs", "remote"}) CopyDirectory(work_ / part, pristine_ / part);
    platform::SetPlatformForTesting(&faults_);
  }
  void TearDown() override { platform::SetPlatformForTesting(&test::Host()); }

  void Configure(TMPro2xCryptoEngine& engine) const {
    ASSERT_EQ(engine.SetCryptoParamValue(1, (work_ / "keys/own.pem").c_str()), 0);
    ASSERT_EQ(engine.SetCryptoParamValue(2, (work_ / "certs").c_str()), 0);
    ASSERT_EQ(engine.SetCryptoParamValue(3, (work_ / "keys").c_str()), 0);
    engine.SetRemoteGeneratePath(work_ / "remote");
  }
  std::string BankAnswer(const char* request) {
    TMPro2xCryptoEngine bank;
    EXPECT_EQ(bank.SetCryptoParamValue(1, (work_ / "bank/Bank CA.pem").c_str()), 0);
    EXPECT_EQ(bank.SetCryptoParamValue(2, (work_ / "bank").c_str()), 0);
    EXPECT_EQ(bank.SavePublicKeyFromTransfer((work_ / "bank").c_str(), request), 0);
    EXPECT_EQ(hooks_.IssueCertificate(work_ / "bank/Tmp_cert.pem", kBank, work_ / "bank/issued.pem"), 0);
    std::vector<char> answer(kMaxPublicKeyTransferSize, '\0');
    EXPECT_EQ(bank.GetPublicKeyTransferByFile(answer.data(), (work_ / "bank/issued.pem").c_str()), 0);
    newKey_ = PublicKeyOf(work_ / "bank/issued.pem");
    return answer.data();
  }
  int32_t Finish() const {
    TMPro2xCryptoEngine user;
    Configure(user);
    uint32_t step = 2;
    return user.RemoteGenerateFinishEx(answer_.c_str(), &step);
  }

  // The active key set and own certificate are one pair, old or new; the
  // holder has a certificate on file.
  void ExpectWorkingPair() const {
    const std::string key = PublicKeyOf(work_ / "keys/mk.db3");
    EXPECT_TRUE(key == oldKey_ || key == newKey_) << "key set neither old nor new";
    EXPECT_EQ(PublicKeyOf(work_ / "keys/own.pem"), key);
    for (const char* part : {"keys/masks.db3", "keys/kek.opq"}) EXPECT_TRUE(fs::exists(work_ / part)) << part;
    const std::string filed = PublicKeyOf(work_ / "certs/Alice.pem");
    EXPECT_TRUE(filed == oldKey_ || filed == newKey_) << "no certificate on file";
  }

  test::FakeHooks hooks_;
  TestDir work_;
  TestDir pristine_;
  std::string answer_;
  std::string oldKey_;
  std::string newKey_;
  test::FaultPlatform faults_{test::Host()};
};

TEST_F(FinishSweep, EveryFailureLeavesAWorkingKeySetAndARetryFinishes) {
  test::FaultSweep sweep;
  sweep.name = "RemoteGenerateFinishEx";
  sweep.prepare = [&] {
    for (const char* part : {"keys", "certs", "remote"}) CopyDirectory(pristine_ / part, work_ / part);
  };
  sweep.run = [&] { return Finish(); };
  sweep.checkFailed = [&](int32_t code) {
    EXPECT_NE(code, 0);
    ExpectWorkingPair();
    // What the next attempt needs is still there.
    EXPECT_TRUE(fs::exists(work_ / "remote/mk.dat"));
  };
  sweep.checkSucceeded = [&] {
    ExpectWorkingPair();
    EXPECT_EQ(PublicKeyOf(work_ / "keys/mk.db3"), newKey_);
    EXPECT_EQ(PublicKeyOf(work_ / "certs/Alice.pem"), newKey_);
    // A set-aside certificate whose delete failed may stay; its name is no
    // certificate's, and the next finish replaces it.
  };
  EXPECT_GT(test::RunFaultSweeps(faults_, sweep, {test::FaultMode::kOnce}), 0);
}

}  // namespace
}  // namespace cryptlib
