// The remote key replacement end to end with the reference module (remote
// type 1: one start call makes the new keys and the request transfer), the
// bank's answer made by the host tool's bank desk, and the work that follows
// with the new keys.
#include <filesystem>

#include "bank_desk.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

// Parameter number of the subject's organisation.
constexpr int32_t kOrganisation = 14;

class RemoteTest : public WorldTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    MakeWorld(AlgorithmsNamed(GetParam()));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bank", "Alice", "Bob"}));
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
    std::filesystem::create_directories(RemoteDir());
    std::filesystem::create_directories(dir_ / "desk");
  }

  std::string RemoteDir() { return party("Alice").Path("remote"); }

  std::unique_ptr<EngineClient> AliceWithRemoteDir() {
    std::unique_ptr<EngineClient> alice = Engine("Alice");
    alice->SetRemotePath(RemoteDir());
    return alice;
  }

  // Alice's start; the request transfer. organisation, when given, is her
  // subject parameter O for this start.
  std::string Start(bool fromParams = false, const std::string& keyName = "", const std::string& organisation = "") {
    std::unique_ptr<EngineClient> alice = AliceWithRemoteDir();
    EXPECT_EQ(alice->RemoteType(), 1);
    if (!organisation.empty()) {
      EXPECT_TRUE(alice->SetParam(kOrganisation, organisation).ok());
    }
    std::string transfer;
    int calls = 0;
    uint32_t step = 0;
    const Status status = alice->RemoteStart(fromParams, keyName, transfer, calls, step);
    EXPECT_TRUE(status.ok()) << alice->Explain(status);
    EXPECT_EQ(step, 1u);
    EXPECT_EQ(calls, 1);
    return transfer;
  }

  std::string RequestOrganisation(const std::string& requestTransfer) {
    std::string report;
    std::unique_ptr<EngineClient> bank = Engine("Bank");
    EXPECT_TRUE(bank->PropertiesOfTransfer(requestTransfer, report).ok()) << bank->LastError();
    return host::ReportValue(report, "O");
  }

  host::BankAnswer Answer(const std::string& requestTransfer) {
    host::BankAnswer answer;
    EXPECT_TRUE(host::AnswerRequestTransfer(*Engine("Bank"), world().ca, requestTransfer, dir_ / "desk", 365, answer))
        << answer.error;
    return answer;
  }

  std::string CurrentUid(const std::string& name) {
    std::string uid;
    EXPECT_TRUE(Engine(name)->CurrentUid(uid).ok());
    return uid;
  }
};

INSTANTIATE_TEST_SUITE_P(Keys, RemoteTest, ::testing::Values("rsa", "ecdsa", "gost"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(RemoteTest, ReplacedKeysSignAndDecrypt) {
  const host::BankAnswer answer = Answer(Start());
  uint32_t step = 2;
  std::unique_ptr<EngineClient> alice = AliceWithRemoteDir();
  const Status status = alice->RemoteFinish(answer.transfer, step);
  ASSERT_TRUE(status.ok()) << alice->Explain(status);

  // The new certificate's UID is the old one with the time of generation.
  const std::string uid = CurrentUid("Alice");
  EXPECT_EQ(uid.rfind("Alice (", 0), 0u) << uid;
  std::string report;
  ASSERT_TRUE(Engine("Alice")->Properties(uid, report).ok());
  EXPECT_EQ(host::ReportValue(report, "SN"), host::SerialPairs(answer.serial));

  std::string transfer, signature, signer;
  ASSERT_TRUE(Engine("Alice")->OwnTransfer(transfer).ok());
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  ASSERT_TRUE(bob->ImportTransfer(transfer).ok()) << bob->LastError();
  const std::string document = Document(3000);
  ASSERT_TRUE(Engine("Alice")->Sign(document, signature, "").ok());
  ASSERT_TRUE(bob->Verify(document, signature, signer, false).ok()) << bob->LastError();
  EXPECT_EQ(signer, uid);
  std::string encrypted = document, recipient;
  ASSERT_TRUE(bob->Encrypt(encrypted, uid).ok()) << bob->LastError();
  ASSERT_TRUE(Engine("Alice")->Decrypt(encrypted, recipient).ok());
  EXPECT_EQ(encrypted, document);
  EXPECT_EQ(recipient, uid);
}

TEST_P(RemoteTest, RequestTransferIsSignedAndMatchesOnlyItsCertificate) {
  const std::string request = Start();
  std::unique_ptr<EngineClient> bank = Engine("Bank");
  std::string uid, report;
  ASSERT_TRUE(bank->UidOfTransfer(request, uid).ok());
  ASSERT_TRUE(bank->PropertiesOfTransfer(request, report).ok()) << bank->LastError();
  EXPECT_EQ(host::ReportValue(report, "CN").rfind("Alice (", 0), 0u) << report;
  std::string damaged = request;
  damaged[300] = damaged[300] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(bank->PropertiesOfTransfer(damaged, report).ok());

  const host::BankAnswer answer = Answer(request);
  bool match = false;
  ASSERT_TRUE(bank->TransferMatch(answer.transfer, request, match).ok()) << bank->LastError();
  EXPECT_TRUE(match);
  ASSERT_TRUE(bank->TransferMatch(world().transfers["Bob"], request, match).ok());
  EXPECT_FALSE(match);
}

TEST_P(RemoteTest, SubjectComesFromTheCertificateOrFromTheParameters) {
  EXPECT_EQ(RequestOrganisation(Start(false, "", "Moved Org")), "Demo Bank");
  EXPECT_EQ(RequestOrganisation(Start(true, "", "Moved Org")), "Moved Org");
}

TEST_P(RemoteTest, HostKeyNameBecomesTheNewUid) {
  const host::BankAnswer answer = Answer(Start(false, "Alice-2"));
  uint32_t step = 2;
  std::unique_ptr<EngineClient> alice = AliceWithRemoteDir();
  ASSERT_TRUE(alice->RemoteFinish(answer.transfer, step).ok()) << alice->LastError();
  EXPECT_EQ(CurrentUid("Alice"), "Alice-2");
}

TEST_P(RemoteTest, FinishFromStepZeroOnlyAdvancesTheCell) {
  const host::BankAnswer answer = Answer(Start());
  std::unique_ptr<EngineClient> alice = AliceWithRemoteDir();
  uint32_t step = 0;
  EXPECT_EQ(test::Api().RemoteGenerateFinishEx(alice->handle(), answer.transfer.c_str(), &step), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_EQ(CurrentUid("Alice"), "Alice");
}

TEST_P(RemoteTest, CertificateForAnotherKeyIsRefusedAndTheOldKeysStay) {
  Start();
  // The bank answers with a certificate for Bob's key under Alice's request.
  long serial = 0;
  ASSERT_TRUE(world().ca.Issue(party("Bob").Path("request.pem"), dir_ / "wrong.pem", 365, serial));
  std::string wrong;
  ASSERT_TRUE(Engine("Bank")->TransferOfFile(dir_ / "wrong.pem", wrong).ok());
  std::unique_ptr<EngineClient> alice = AliceWithRemoteDir();
  uint32_t step = 2;
  EXPECT_FALSE(alice->RemoteFinish(wrong, step).ok());
  EXPECT_EQ(CurrentUid("Alice"), "Alice");
  std::string signature, signer;
  ASSERT_TRUE(Engine("Alice")->Sign(Document(100), signature, "").ok());
  EXPECT_TRUE(Engine("Bob")->Verify(Document(100), signature, signer, false).ok());
}

}  // namespace
}  // namespace cryptlib::e2e
