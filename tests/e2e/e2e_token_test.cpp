// Token holders through the engine: Bob's key is generated on a SoftHSM2
// token by the engine's local generation, Alice's is a known key imported
// into hers with softhsm2-util; they sign, verify (also with `openssl cms
// -verify`), encrypt and decrypt, Alice replaces her key remotely onto a new
// key on her token, and afterwards no file under the installation root or
// the world holds the known key's private parts. Skipped without SoftHSM2.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bank_desk.h"
#include "files.h"
#include "reference/errors.h"
#include "reference/testing/softhsm.h"
#include "reference/token.h"
#include "reference/tools/token_keys.h"
#include "support/commands.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

namespace fs = std::filesystem;
using reftest::SoftHsm;

constexpr int kTokenUri = 10;
constexpr int kTokenLibrary = 18;
constexpr int kTokenGeneration = 21;
constexpr char kPinSource[] = "env:E2E_TOKEN_PIN";

// The tokens of the process, outside the installation root and the worlds.
struct Tokens {
  test::TestDir directory;
  SoftHsm softhsm{directory.path()};
  bool ready = SoftHsm::Available() && softhsm.InitToken("Alice") && softhsm.InitToken("Bob");
};

Tokens& SharedTokens() {
  static Tokens* tokens = new Tokens();
  return *tokens;
}

// The private parts of a PEM key: its PKCS#8 DER and the RSA private exponent.
std::vector<std::string> PrivateParts(const std::string& pemFile) {
  std::vector<std::string> parts;
  FILE* file = std::fopen(pemFile.c_str(), "r");
  EVP_PKEY* key = file != nullptr ? PEM_read_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
  if (file != nullptr) std::fclose(file);
  if (key == nullptr) return parts;
  unsigned char* der = nullptr;
  PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
  int length = info != nullptr ? i2d_PKCS8_PRIV_KEY_INFO(info, &der) : 0;
  if (length > 0) parts.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO_free(info);
  BIGNUM* exponent = nullptr;
  if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &exponent) == 1) {
    std::string bytes(static_cast<size_t>(BN_num_bytes(exponent)), '\0');
    BN_bn2bin(exponent, reinterpret_cast<unsigned char*>(bytes.data()));
    parts.push_back(bytes);
  }
  BN_free(exponent);
  EVP_PKEY_free(key);
  return parts;
}

// Files below root that hold any of the parts.
std::vector<std::string> FilesHolding(const std::string& root, const std::vector<std::string>& parts) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    const std::string contents = Read(entry.path().string());
    for (const std::string& part : parts) {
      if (contents.find(part) != std::string::npos) found.push_back(entry.path().string());
    }
  }
  return found;
}

class TokenTest : public WorldTest {
 protected:
  void SetUp() override {
    if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 is not installed (Debian softhsm2): token tests skipped";
    ASSERT_TRUE(SharedTokens().ready) << "softhsm2-util --init-token failed";
    if (RunCommand("openssl version") != 0) GTEST_SKIP() << "no openssl command line";
    ::setenv("E2E_TOKEN_PIN", SoftHsm::kPin, 1);
    MakeWorld(AlgorithmsNamed("rsa"));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bank"}));
  }

  static void OnToken(Party& party, const std::string& tokenUri) {
    party.pinSource = kPinSource;
    party.moduleParameters = {{kTokenLibrary, SoftHsm::Library()}, {kTokenGeneration, "1"}};
    if (!tokenUri.empty()) party.moduleParameters.emplace_back(kTokenUri, tokenUri);
  }

  // Bob: the engine generates his key on his token.
  void EnrollBobOnToken() {
    OnToken(AddParty("Bob"), SoftHsm::TokenUri("Bob"));
    ASSERT_EQ(Generate("Bob"), kGeneratedAwaitingCertificate) << Engine("Bob")->LastError();
    ASSERT_NO_FATAL_FAILURE(Certify("Bob"));
    for (const auto& entry : fs::directory_iterator(party("Bob").Path("keys/KEYS"))) {
      EXPECT_TRUE(ref::IsTokenReference(Read(entry.path().string()))) << entry.path();
    }
  }

  // Alice: a known key imported into her token with softhsm2-util; her
  // generation takes it (parameter 10 names the key object) and writes the
  // reference, her later ones make new keys on the token of that reference.
  void EnrollAliceWithKnownKey() {
    Party& alice = AddParty("Alice");
    OnToken(alice, "pkcs11:token=Alice;id=%A1");
    known_ = SharedTokens().directory / "alice-known.pem";
    ASSERT_EQ(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + known_), 0);
    ASSERT_TRUE(SharedTokens().softhsm.Import(known_, "Alice", "a1", "alice"));
    ASSERT_EQ(Generate("Alice"), kGeneratedAwaitingCertificate) << Engine("Alice")->LastError();
    ASSERT_NO_FATAL_FAILURE(Certify("Alice"));
    OnToken(alice, "");
    for (const auto& entry : fs::directory_iterator(alice.Path("keys/KEYS"))) {
      oldReference_ = ref::ReferenceUri(Read(entry.path().string()));
    }
    EXPECT_NE(oldReference_.find(";id=%A1;object=alice;"), std::string::npos) << oldReference_;
  }

  static ref::TokenAccess Access() { return {SoftHsm::Library(), kPinSource, ""}; }

  std::string known_;
  std::string oldReference_;
};

TEST_F(TokenTest, TokenHoldersSignDecryptAndReplaceKeysRemotelyWithoutKeyMaterialOnDisk) {
  ASSERT_NO_FATAL_FAILURE(EnrollBobOnToken());
  ASSERT_NO_FATAL_FAILURE(EnrollAliceWithKnownKey());
  ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
  const std::string document = Document(3000);

  // Bob's token signature: the engine and openssl verify it.
  std::string signature, signer;
  ASSERT_TRUE(Engine("Bob")->Sign(document, signature, "").ok()) << Engine("Bob")->LastError();
  ASSERT_TRUE(Engine("Alice")->Verify(document, signature, signer, false).ok()) << Engine("Alice")->LastError();
  EXPECT_EQ(signer, "Bob");
  host::WriteWholeFile(dir_ / "bob.der", signature);
  host::WriteWholeFile(dir_ / "document.bin", document);
  EXPECT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + (dir_ / "bob.der") + " -content " +
                       (dir_ / "document.bin") + " -CAfile " + world().ca.CertificatePath() + " -out /dev/null"),
            0);

  // Each decrypts what the other encrypted for them.
  std::string data = document, recipient;
  ASSERT_TRUE(Engine("Alice")->Encrypt(data, "Bob").ok());
  ASSERT_TRUE(Engine("Bob")->Decrypt(data, recipient).ok()) << Engine("Bob")->LastError();
  EXPECT_EQ(data, document);
  ASSERT_TRUE(Engine("Bob")->Encrypt(data, "Alice").ok());
  ASSERT_TRUE(Engine("Alice")->Decrypt(data, recipient).ok()) << Engine("Alice")->LastError();
  EXPECT_EQ(data, document);

  // Alice's remote replacement: the new key is made on her token (the token
  // of her reference), the request signed with the old token key.
  fs::create_directories(party("Alice").Path("remote"));
  fs::create_directories(dir_ / "desk");
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  alice->SetRemotePath(party("Alice").Path("remote"));
  std::string request;
  int calls = 0;
  uint32_t step = 0;
  const Status started = alice->RemoteStart(false, "", request, calls, step);
  ASSERT_TRUE(started.ok()) << alice->Explain(started) << " / " << alice->LastError();
  host::BankAnswer answer;
  ASSERT_TRUE(host::AnswerRequestTransfer(*Engine("Bank"), world().ca, request, dir_ / "desk", 365, answer))
      << answer.error;
  step = 2;
  alice = Engine("Alice");
  alice->SetRemotePath(party("Alice").Path("remote"));
  ASSERT_TRUE(alice->RemoteFinish(answer.transfer, step).ok()) << alice->LastError();

  std::string uid;
  ASSERT_TRUE(Engine("Alice")->CurrentUid(uid).ok());
  EXPECT_EQ(uid.rfind("Alice (", 0), 0u) << uid;
  std::string transfer;
  ASSERT_TRUE(Engine("Alice")->OwnTransfer(transfer).ok());
  ASSERT_TRUE(Engine("Bob")->ImportTransfer(transfer).ok()) << Engine("Bob")->LastError();
  ASSERT_TRUE(Engine("Alice")->Sign(document, signature, "").ok()) << Engine("Alice")->LastError();
  ASSERT_TRUE(Engine("Bob")->Verify(document, signature, signer, false).ok()) << Engine("Bob")->LastError();
  EXPECT_EQ(signer, uid);
  data = document;
  ASSERT_TRUE(Engine("Bob")->Encrypt(data, uid).ok()) << Engine("Bob")->LastError();
  ASSERT_TRUE(Engine("Alice")->Decrypt(data, recipient).ok()) << Engine("Alice")->LastError();
  EXPECT_EQ(data, document);

  // The new key is a new object on her token, made sensitive and not
  // extractable; the old object is kept until the tool removes it.
  std::vector<std::string> references;
  for (const auto& entry : fs::directory_iterator(party("Alice").Path("keys/KEYS"))) {
    if (entry.path().extension() != ".key") continue;  // the exchange's ".old" backups
    const std::string text = Read(entry.path().string());
    ASSERT_TRUE(ref::IsTokenReference(text)) << entry.path() << ": " << text.substr(0, 40);
    references.push_back(ref::ReferenceUri(text));
  }
  ASSERT_EQ(references.size(), 2u);
  const std::string newReference = references[0] == oldReference_ ? references[1] : references[0];
  EXPECT_EQ(newReference.rfind("pkcs11:token=Alice;", 0), 0u) << newReference;
  const ref::TokenKeyFacts facts = ref::DescribeTokenKey(newReference, Access());
  EXPECT_TRUE(facts.sensitive);
  EXPECT_FALSE(facts.extractable);
  EXPECT_EQ(ref::DescribeTokenKey(oldReference_, Access()).label, "alice");

  // Only the explicit removal (keys token-remove) takes the old key away,
  // never the current one.
  const std::string keys = party("Alice").Path("keys");
  const std::string own = party("Alice").Path("own.pem");
  EXPECT_EQ(ref::RemoveTokenKey(keys, own, newReference, SoftHsm::Library(), kPinSource).code, 2002);
  ASSERT_TRUE(ref::RemoveTokenKey(keys, own, oldReference_, SoftHsm::Library(), kPinSource).ok());
  EXPECT_THROW(ref::DescribeTokenKey(oldReference_, Access()), ref::Failure);
  const ref::TokenKeyList left = ref::ListTokenKeys(keys, own, SoftHsm::Library(), kPinSource);
  ASSERT_EQ(left.keys.size(), 1u);
  EXPECT_TRUE(left.keys[0].current);
  EXPECT_EQ(left.keys[0].uri, newReference);
  ASSERT_TRUE(Engine("Alice")->Sign(document, signature, "").ok()) << Engine("Alice")->LastError();

  const std::vector<std::string> parts = PrivateParts(known_);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(FilesHolding(InstallationRoot().path(), parts), std::vector<std::string>());
  EXPECT_EQ(FilesHolding(dir_.path(), parts), std::vector<std::string>());
}

}  // namespace
}  // namespace cryptlib::e2e
