// The demo's flows end to end, through the engine's exports with the
// reference module, for RSA, ECDSA and GOST keys: keys and certificates,
// directories, transfers, encryption for two recipients, detached and
// attached signatures, a revoked signer, the remote key replacement.
#include <filesystem>

#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

std::string Altered(std::string data, size_t at) {
  data[at] ^= 0x01;
  return data;
}

class FlowTest : public WorldTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    MakeWorld(AlgorithmsNamed(GetParam()));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bank", "Alice", "Bob", "Carol"}));
    if (IsSkipped()) return;
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
  }
};

INSTANTIATE_TEST_SUITE_P(Keys, FlowTest, ::testing::Values("rsa", "ecdsa", "gost"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(FlowTest, EnrolmentFilesOwnAndAuthorityCertificates) {
  for (const char* name : {"Alice", "Bob"}) {
    std::unique_ptr<EngineClient> engine = Engine(name);
    std::string uid;
    ASSERT_TRUE(engine->CurrentUid(uid).ok());
    EXPECT_EQ(uid, name);
    EXPECT_TRUE(std::filesystem::exists(party(name).Path("own.pem")));
    EXPECT_TRUE(std::filesystem::exists(party(name).Path("certs/" + std::string(name) + ".pem")));
    EXPECT_TRUE(std::filesystem::exists(party(name).Path("keys/CA/ca1.pem")));
  }
  // Every party filed the other three under their UIDs.
  for (const char* holder : {"Bank", "Bob", "Carol"})
    EXPECT_TRUE(std::filesystem::exists(party("Alice").Path("certs/" + std::string(holder) + ".pem"))) << holder;
}

TEST_P(FlowTest, TransferCarriesItsHolderAndRefusesDamage) {
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  std::string uid;
  ASSERT_TRUE(bob->UidOfTransfer(world().transfers["Alice"], uid).ok());
  EXPECT_EQ(uid, "Alice");
  // A character changed inside the signed record: the signature no longer holds.
  std::string damaged = world().transfers["Alice"];
  damaged[400] = damaged[400] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(bob->ImportTransfer(damaged).ok());
  // Cut short: not a whole Base64 text or not a whole signature.
  EXPECT_FALSE(bob->ImportTransfer(world().transfers["Alice"].substr(0, 1000)).ok());
}

TEST_P(FlowTest, EncryptionForTwoRecipients) {
  const std::string document = Document();
  std::string encrypted = document;
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  ASSERT_TRUE(alice->Encrypt(encrypted, "Bob;Bank").ok()) << alice->LastError();
  EXPECT_EQ(encrypted.find(document.substr(0, 64)), std::string::npos);
  for (const char* reader : {"Bob", "Bank"}) {
    std::string data = encrypted, recipient;
    std::unique_ptr<EngineClient> engine = Engine(reader);
    ASSERT_TRUE(engine->Decrypt(data, recipient).ok()) << reader << ": " << engine->LastError();
    EXPECT_EQ(data, document) << reader;
    EXPECT_EQ(recipient, reader);
  }
  std::string data = encrypted, recipient;
  EXPECT_EQ(Engine("Carol")->Decrypt(data, recipient).code, 2009);
  EXPECT_EQ(data, encrypted);
  // The sender is not a recipient of what she encrypted for others.
  EXPECT_EQ(alice->Decrypt(data, recipient).code, 2009);
}

TEST_P(FlowTest, EncryptionRefusesAnUnknownRecipientAndDamagedData) {
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  std::string data = Document(100);
  EXPECT_EQ(alice->Encrypt(data, "Bob;Mallory").code, CE_CERT_NOT_FOUND);
  EXPECT_EQ(data, Document(100));
  ASSERT_TRUE(alice->Encrypt(data, "Bob").ok());
  // Enveloped data carries no integrity check of its own (gost89 in CFB mode
  // decrypts anything): a changed byte of the cipher text is either refused
  // or gives other plain text, never the original.
  std::string damaged = Altered(data, data.size() - 20), recipient;
  const int32_t code = Engine("Bob")->Decrypt(damaged, recipient).code;
  EXPECT_TRUE(code != 0 || damaged != Document(100)) << code;
  std::string truncated = data.substr(0, data.size() / 2);
  EXPECT_NE(Engine("Bob")->Decrypt(truncated, recipient).code, 0);
}

TEST_P(FlowTest, DetachedSignature) {
  const std::string document = Document();
  std::string signature, signer;
  ASSERT_TRUE(Engine("Alice")->Sign(document, signature, "").ok());
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  ASSERT_TRUE(bob->Verify(document, signature, signer, false).ok()) << bob->LastError();
  EXPECT_EQ(signer, "Alice");
  EXPECT_EQ(bob->Verify(Altered(document, 4000), signature, signer, false).code, 2011);
  EXPECT_NE(bob->Verify(document, Altered(signature, signature.size() - 10), signer, false).code, 0);
  EXPECT_EQ(bob->Verify(document, document.substr(0, 300), signer, false).code, 2012);
}

TEST_P(FlowTest, AttachedSignatureAddedAndStripped) {
  const std::string document = Document();
  std::string signedData = document, signer;
  ASSERT_TRUE(Engine("Bob")->AddSign(signedData, "").ok());
  ASSERT_GT(signedData.size(), document.size());
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  std::string content = signedData;
  ASSERT_TRUE(alice->RemoveSign(content, signer).ok()) << alice->LastError();
  EXPECT_EQ(content, document);
  EXPECT_EQ(signer, "Bob");
  // The content inside the signed data altered.
  const size_t inside = signedData.find(document.substr(2000, 32));
  ASSERT_NE(inside, std::string::npos);
  std::string altered = Altered(signedData, inside);
  EXPECT_EQ(alice->RemoveSign(altered, signer).code, 2011);
  std::string plain = document;
  EXPECT_EQ(alice->RemoveSign(plain, signer).code, 2012);
}

TEST_P(FlowTest, RevokedSignerIsRefusedUntilANewerListDropsHim) {
  const std::string document = Document(1000);
  std::string carolSignature, bobSignature, signer;
  ASSERT_TRUE(Engine("Carol")->Sign(document, carolSignature, "").ok());
  ASSERT_TRUE(Engine("Bob")->Sign(document, bobSignature, "").ok());
  ASSERT_TRUE(Engine("Alice")->Verify(document, carolSignature, signer, false).ok());

  ASSERT_TRUE(world().ca.WriteCrl(dir_ / "revoked.crl", {party("Carol").serial}));
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  ASSERT_TRUE(alice->IncludeCrl(dir_ / "revoked.crl").ok()) << alice->LastError();
  alice = Engine("Alice");
  EXPECT_EQ(alice->Verify(document, carolSignature, signer, false).code, 2014);
  EXPECT_TRUE(alice->Verify(document, bobSignature, signer, false).ok());
  // The bank's next list no longer names her: it replaces the older one.
  ASSERT_TRUE(world().ca.WriteCrl(dir_ / "next.crl", {}));
  ASSERT_TRUE(alice->IncludeCrl(dir_ / "next.crl").ok());
  alice = Engine("Alice");
  EXPECT_TRUE(alice->Verify(document, carolSignature, signer, false).ok()) << alice->LastError();
}

// A second authority of the bank reaches Alice as a transfer signed by the
// bank's client: signatures of its abonents are refused before, trusted after.
TEST_P(FlowTest, AuthorityFromATransferIsTrusted) {
  host::BankCa second;
  ASSERT_TRUE(second.Create(dir_ / "SecondCA", "Demo Bank", "Demo Bank CA 2")) << second.error();
  Party& dave = AddParty("Dave");
  ASSERT_EQ(Generate("Dave"), kGeneratedAwaitingCertificate);
  ASSERT_TRUE(second.Issue(dave.Path("request.pem"), dave.Path("inbox/Dave.pem"), 365, dave.serial));
  ASSERT_TRUE(Engine("Dave")->CreateDirs(dave.Path("inbox/Dave.pem"), second.CertificatePath()).ok());
  const std::string document = Document(500);
  std::string signature, signer;
  ASSERT_TRUE(Engine("Dave")->Sign(document, signature, "").ok());
  EXPECT_EQ(Engine("Alice")->Verify(document, signature, signer, false).code, 2013);

  std::string transfer;
  ASSERT_TRUE(Engine("Bank")->TransferOfFile(second.CertificatePath(), transfer).ok());
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  ASSERT_TRUE(alice->IncludeCaTransfer(transfer).ok()) << alice->LastError();
  EXPECT_TRUE(std::filesystem::exists(party("Alice").Path("keys/CA/ca.pem")));
  alice = Engine("Alice");
  ASSERT_TRUE(alice->Verify(document, signature, signer, false).ok()) << alice->LastError();
  EXPECT_EQ(signer, "Dave");
}

TEST_P(FlowTest, RemovedCertificateNoLongerReceives) {
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  ASSERT_TRUE(alice->RemoveCertificate("Carol").ok());
  std::string data = Document(100);
  EXPECT_EQ(alice->Encrypt(data, "Carol").code, CE_CERT_NOT_FOUND);
  EXPECT_EQ(alice->RemoveCertificate("Alice").code, CE_REMOVE_SELF);
}

}  // namespace
}  // namespace cryptlib::e2e
