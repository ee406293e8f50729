// Whom a party trusts, end to end through the engine's exports with the
// reference module: a signature made by `openssl cms -sign` with a
// self-signed certificate in a correspondent's name, first contact through
// the bank's authority filed by CreateDirStructure, and a bank-issued
// certificate whose organisation holds "/CN=Bank".
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

constexpr int kCaDirParam = 25;
constexpr int kCrlDirParam = 26;
constexpr int kOrganisationParam = 14;
constexpr int32_t kUntrustedSigner = 2013;

class TrustTest : public WorldTest {
 protected:
  void SetUp() override {
    if (RunCommand("openssl version") != 0) GTEST_SKIP() << "no openssl command line";
    MakeWorld(AlgorithmsNamed("rsa"));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bank", "Alice", "Bob"}));
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
  }

  static int RunCommand(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }

  // Bob's engine with the CA directory as a layout names it.
  std::unique_ptr<EngineClient> BobWith(const std::string& layout) {
    std::unique_ptr<EngineClient> bob = Engine("Bob");
    if (layout == "none") {
      EXPECT_TRUE(bob->SetParam(kCaDirParam, dir_ / "no-authorities").ok());
      EXPECT_TRUE(bob->SetParam(kCrlDirParam, dir_ / "no-lists").ok());
    } else if (layout == "key directory") {
      // As CreateDirStructure laid it out: the key directory's CA.
      EXPECT_TRUE(bob->SetParam(kCaDirParam, "").ok());
      EXPECT_TRUE(bob->SetParam(kCrlDirParam, "").ok());
    }
    return bob;
  }

  std::string OpenSslSign(const std::string& document, const std::string& certificate, const std::string& key) {
    WriteTextFile(dir_ / "document.bin", document);
    EXPECT_EQ(RunCommand("openssl cms -sign -binary -md sha256 -outform DER -signer " + certificate + " -inkey " + key +
                         " -in " + (dir_ / "document.bin") + " -out " + (dir_ / "signature.der")),
              0);
    return ReadTextFile(dir_ / "signature.der");
  }

  static void WriteTextFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }
  static std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

TEST_F(TrustTest, SelfSignedCertificateInACorrespondentsNameIsRefused) {
  const std::string key = dir_ / "forged.key", certificate = dir_ / "forged.pem";
  ASSERT_EQ(RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/C=RU/O=Demo Bank/CN=Alice' "
                       "-keyout " +
                       key + " -out " + certificate),
            0);
  const std::string document = Document(700);
  const std::string forged = OpenSslSign(document, certificate, key);
  std::string genuine, signer;
  ASSERT_TRUE(Engine("Alice")->Sign(document, genuine, "").ok());
  for (const char* layout : {"parameter 25", "none", "key directory"}) {
    std::unique_ptr<EngineClient> bob = BobWith(layout);
    signer = "";
    EXPECT_EQ(bob->Verify(document, forged, signer, false).code, kUntrustedSigner) << layout;
    EXPECT_EQ(bob->Verify(document, forged, signer, true).code, kUntrustedSigner) << layout;
    EXPECT_EQ(signer, "") << layout;
    ASSERT_TRUE(bob->Verify(document, genuine, signer, false).ok()) << layout << ": " << bob->LastError();
    EXPECT_EQ(signer, "Alice");
  }
}

// Carol's first transfer reaches Bob, who has never filed her: accepted
// through the bank's authority (also where only CreateDirStructure filed it),
// refused where there is none.
TEST_F(TrustTest, FirstTransferIsAcceptedThroughTheBanksAuthorityOnly) {
  AddParty("Carol");
  ASSERT_EQ(Generate("Carol"), kGeneratedAwaitingCertificate);
  ASSERT_NO_FATAL_FAILURE(Certify("Carol"));
  std::string transfer;
  ASSERT_TRUE(Engine("Carol")->OwnTransfer(transfer).ok());
  const std::string filed = party("Bob").Path("certs/Carol.pem");

  EXPECT_FALSE(BobWith("none")->ImportTransfer(transfer).ok());
  EXPECT_FALSE(std::filesystem::exists(filed));
  std::unique_ptr<EngineClient> bob = BobWith("key directory");
  ASSERT_TRUE(bob->ImportTransfer(transfer).ok()) << bob->Explain(bob->ImportTransfer(transfer));
  EXPECT_TRUE(std::filesystem::exists(filed));
}

// The bank certified O = "Demo Bank/CN=Bank" with Mallory's own common name.
// The attacker must stay Mallory: not verify as the bank, not replace the
// bank's certificate in Alice's store, not read what Alice encrypts for the
// bank.
TEST_F(TrustTest, SlashInsideAnOrganisationDoesNotMakeItTheBank) {
  Party& mallory = AddParty("Mallory");
  {
    std::unique_ptr<EngineClient> engine = Engine("Mallory");
    ASSERT_TRUE(engine->SetParam(kOrganisationParam, "Demo Bank/CN=Bank").ok());
    ASSERT_EQ(engine->GenerateKeys().code, kGeneratedAwaitingCertificate) << engine->LastError();
  }
  // Issued with the bank's key by the openssl command line, as a careless
  // bank would.
  const std::string issued = mallory.Path("inbox/Mallory.pem");
  ASSERT_EQ(RunCommand("openssl x509 -req -in " + mallory.Path("request.pem") + " -CA " + world().ca.CertificatePath() +
                       " -CAkey " + (dir_ / "BankCA/ca.key") + " -set_serial 4242 -days 30 -out " + issued),
            0);
  ASSERT_TRUE(Engine("Mallory")->CreateDirs(issued, world().ca.CertificatePath()).ok());
  std::string uid;
  ASSERT_TRUE(Engine("Mallory")->CurrentUid(uid).ok());
  EXPECT_EQ(uid, "Mallory");

  const std::string banksCertificate = ReadTextFile(party("Alice").Path("certs/Bank.pem"));
  std::string transfer;
  ASSERT_TRUE(Engine("Mallory")->OwnTransfer(transfer).ok());
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  alice->ImportTransfer(transfer);
  EXPECT_EQ(ReadTextFile(party("Alice").Path("certs/Bank.pem")), banksCertificate);

  const std::string document = Document(300);
  std::string signature, signer;
  ASSERT_TRUE(Engine("Mallory")->Sign(document, signature, "").ok());
  alice = Engine("Alice");
  ASSERT_TRUE(alice->Verify(document, signature, signer, false).ok()) << alice->LastError();
  EXPECT_EQ(signer, "Mallory");

  std::string forBank = document, recipient;
  ASSERT_TRUE(alice->Encrypt(forBank, "Bank").ok()) << alice->LastError();
  std::string copy = forBank;
  EXPECT_EQ(Engine("Mallory")->Decrypt(copy, recipient).code, 2009);
  copy = forBank;
  ASSERT_TRUE(Engine("Bank")->Decrypt(copy, recipient).ok());
  EXPECT_EQ(copy, document);
}

}  // namespace
}  // namespace cryptlib::e2e
