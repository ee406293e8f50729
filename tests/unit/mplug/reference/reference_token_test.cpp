// Keys on a PKCS#11 token (SoftHSM2 in a temporary directory) in the
// reference module: generation on the token (RSA and EC), envelopes and
// signatures with the token key, checked by the module and `openssl cms`,
// and the failures a user can act on: wrong PIN, PIN locked (a stand-in
// library answering CKR_PIN_LOCKED), token absent (also pulled out during
// use, and put back), key object missing, a container of both kinds; none of
// them changes a file. Skipped when SoftHSM2 is not installed.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/testing/reference_harness.h"
#include "reference/testing/softhsm.h"
#include "reference/token.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;
using namespace reftest;

constexpr int kPinSource = 8;
constexpr int kTokenUri = 10;
constexpr int kTokenLibrary = 18;
constexpr int kTokenGeneration = 21;
constexpr char kPinVariable[] = "TOKEN_TEST_PIN";

constexpr int32_t kTokenAbsent = 2042;
constexpr int32_t kWrongPin = 2043;
constexpr int32_t kPinLocked = 2044;
constexpr int32_t kKeyMissing = 2045;
constexpr int32_t kMixedContainer = 2046;

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path().string());
  }
  return files;
}

// One SoftHSM for the process (it reads its configuration once), with the
// tokens every test uses; made before the module first loads SoftHSM.
struct Tokens {
  TestDir directory;
  SoftHsm softhsm{directory.path()};
  bool ready = false;
  Tokens() {
    ready =
        SoftHsm::Available() && softhsm.InitToken("Alice") && softhsm.InitToken("Known") && softhsm.InitToken("Locked");
  }
};

Tokens& SharedTokens() {
  static Tokens* tokens = new Tokens();
  return *tokens;
}

class ReferenceTokenTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!SoftHsm::Available()) GTEST_SKIP() << "SoftHSM2 is not installed (Debian softhsm2): token tests skipped";
    ASSERT_TRUE(SharedTokens().ready) << "softhsm2-util --init-token failed";
    ::setenv(kPinVariable, SoftHsm::kPin, 1);
  }

  // The token parameters of a context.
  static Session& OnToken(Session& session, const std::string& library = SoftHsm::Library()) {
    return session.Set(kTokenLibrary, library).Set(kPinSource, std::string("env:") + kPinVariable);
  }

  // Generates an abonent's key on a token and has the bank certify it; the
  // module's code.
  int32_t EnrollOnToken(Abonent& abonent, const std::string& name, const std::string& token, const char* signature,
                        const std::string& library = SoftHsm::Library()) {
    abonent.name = name;
    abonent.keyDirectory = bank_.Path(name + "/keys");
    abonent.request = bank_.Path(name + "/request.pem");
    abonent.certificate = bank_.Path("certs/" + name + ".pem");
    Session generation;
    OnToken(generation, library)
        .Set(kKeyDir, abonent.keyDirectory)
        .Set(kRequestFile, abonent.request)
        .Set(kSignature, signature)
        .Set(kCountry, "RU")
        .Set(kOrganisation, "Bank")
        .Set(kCommonName, name)
        .Set(kTokenGeneration, "1")
        .Set(kTokenUri, SoftHsm::TokenUri(token));
    char text[260] = "";
    int32_t code = generation.module().GenerateNewSEK(generation.handle(), text);
    lastError_ = generation.LastError();
    if (code == 0 && !bank_.ca().Issue(abonent.request, abonent.certificate, ++serial_)) code = -1;
    return code;
  }

  // Seals a text for the abonent in Bob's context, opens it in the
  // abonent's; the code of the opening.
  int32_t RoundTrip(const Abonent& abonent, const char* signature, const std::string& library = SoftHsm::Library()) {
    Session sender;
    bank_.Configure(sender, bob_, "AES-256-CBC", signature);
    const std::string plain = "payment order 42";
    std::vector<char> data(plain.size() + static_cast<size_t>(sender.module().GetMaxEncodeAddition()));
    std::memcpy(data.data(), plain.data(), plain.size());
    int32_t length = static_cast<int32_t>(plain.size());
    EXPECT_EQ(sender.module().EncodeData(sender.handle(), data.data(), &length, abonent.subjectLine.c_str()), 0);
    Session receiver;
    bank_.Configure(receiver, abonent, "AES-256-CBC", signature);
    OnToken(receiver, library);
    char uid[1024] = "";
    int32_t code = receiver.module().DecodeData(receiver.handle(), data.data(), &length, uid);
    lastError_ = receiver.LastError();
    if (code == 0) {
      EXPECT_EQ(std::string(data.data(), static_cast<size_t>(length)), plain);
    }
    return code;
  }

  // A detached signature by the abonent (written to signature.der); the code.
  int32_t SignAs(const Abonent& abonent, const char* signature, const std::string& library = SoftHsm::Library()) {
    Session session;
    bank_.Configure(session, abonent, "AES-256-CBC", signature);
    OnToken(session, library);
    std::vector<char> out(static_cast<size_t>(session.module().GetMaxSignatureLength()));
    int32_t length = static_cast<int32_t>(out.size());
    int32_t code = session.module().SignData(session.handle(), Document().data(),
                                             static_cast<int32_t>(Document().size()), out.data(), &length, "");
    lastError_ = session.LastError();
    if (code == 0) WriteFile(dir_ / "signature.der", std::string(out.data(), static_cast<size_t>(length)));
    return code;
  }

  static const std::string& Document() {
    static const std::string document = "transfer 1000.00 to account 40817810099910004312";
    return document;
  }

  std::string OnlyKeyFile(const Abonent& abonent) {
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(abonent.keyDirectory + "/KEYS")) files.push_back(entry.path());
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::string() : files.front();
  }

  // A container of one reference, written by hand (a key already on a token).
  Abonent ReferenceHolder(const std::string& name, const std::string& uri) {
    Abonent holder = bob_;
    holder.name = name;
    holder.keyDirectory = bank_.Path(name + "/keys");
    fs::create_directories(holder.keyDirectory + "/KEYS");
    WriteFile(holder.keyDirectory + "/KEYS/0badc0de.key", uri + "\n");
    return holder;
  }

  TestDir dir_;
  Bank bank_{dir_ / "bank"};
  Abonent bob_;
  long serial_ = 0x500;
  std::string lastError_;
};

class TokenKinds : public ReferenceTokenTest, public testing::WithParamInterface<const char*> {};

INSTANTIATE_TEST_SUITE_P(Keys, TokenKinds, testing::Values("SHA256", "ECDSA-SHA256"),
                         [](const auto& info) { return std::string(info.param[0] == 'S' ? "rsa" : "ec"); });

TEST_P(TokenKinds, KeyMadeOnTheTokenDecryptsAndSignsAndNeverLeavesIt) {
  ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x100, GetParam()), 0);
  Abonent alice;
  ASSERT_EQ(EnrollOnToken(alice, "Alice", "Alice", GetParam()), 0) << lastError_;
  alice.subjectLine = "/C=RU/O=Bank/CN=Alice";

  // The container holds a reference, no key material.
  const std::string reference = ReadFile(OnlyKeyFile(alice));
  EXPECT_EQ(reference.rfind("pkcs11:token=Alice;serial=", 0), 0u) << reference;
  EXPECT_NE(reference.find(";type=private"), std::string::npos);
  EXPECT_EQ(reference.find("PRIVATE KEY"), std::string::npos);
  const ref::TokenKeyFacts facts =
      ref::DescribeTokenKey(ref::ReferenceUri(reference), {SoftHsm::Library(), std::string("env:") + kPinVariable, ""});
  EXPECT_TRUE(facts.sensitive);
  EXPECT_FALSE(facts.extractable);

  // RSA key transport or ECDH key agreement (CKA_DERIVE) on the token.
  EXPECT_EQ(RoundTrip(alice, GetParam()), 0) << lastError_;

  ASSERT_EQ(SignAs(alice, GetParam()), 0) << lastError_;
  Session verifier;
  bank_.Configure(verifier, bob_, "AES-256-CBC", GetParam());
  const std::string signature = ReadFile(dir_ / "signature.der");
  int32_t length = static_cast<int32_t>(Document().size());
  char signer[1024] = "";
  EXPECT_EQ(verifier.module().VerifyData(verifier.handle(), Document().data(), &length, signature.data(),
                                         static_cast<int32_t>(signature.size()), signer),
            0)
      << verifier.LastError();
  EXPECT_STREQ(signer, "/C=RU/O=Bank/CN=Alice");
  if (!HaveOpenSslTool()) return;
  WriteFile(dir_ / "document.txt", Document());
  EXPECT_EQ(RunCommand("openssl cms -verify -binary -inform DER -in " + (dir_ / "signature.der") + " -content " +
                       (dir_ / "document.txt") + " -CAfile " + bank_.Path("ca/ca.pem") + " -out /dev/null"),
            0);
}

// Token "Known" is logged in to by no other test, so SoftHSM still asks for
// the PIN here: a wrong one first, then the right one.
TEST_F(ReferenceTokenTest, WrongPinIsRefusedAndNotKeptThenTheRightOneWorks) {
  ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x100), 0);
  const std::string known = SharedTokens().directory / "known.pem";
  ASSERT_EQ(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + known), 0);
  ASSERT_TRUE(SharedTokens().softhsm.Import(known, "Known", "4b4e", "known"));
  Abonent carol = ReferenceHolder("Carol", "pkcs11:token=Known;id=%4B%4E;type=private");
  carol.subjectLine = "/C=RU/O=Bank/CN=Carol";
  carol.certificate = bank_.Path("certs/Carol.pem");
  ASSERT_EQ(RunCommand("openssl req -new -key " + known + " -subj /C=RU/O=Bank/CN=Carol -out " + (dir_ / "carol.csr")),
            0);
  ASSERT_TRUE(bank_.ca().Issue(dir_ / "carol.csr", carol.certificate, 0x300));
  const auto before = Snapshot(bank_.Path(""));

  ::setenv(kPinVariable, "9999", 1);
  EXPECT_EQ(RoundTrip(carol, "SHA256"), kWrongPin) << lastError_;
  EXPECT_NE(lastError_.find("Wrong PIN for the token"), std::string::npos) << lastError_;
  EXPECT_EQ(SignAs(carol, "SHA256"), kWrongPin);
  EXPECT_EQ(Snapshot(bank_.Path("")), before);

  ::setenv(kPinVariable, SoftHsm::kPin, 1);
  EXPECT_EQ(RoundTrip(carol, "SHA256"), 0) << lastError_;
  EXPECT_EQ(SignAs(carol, "SHA256"), 0) << lastError_;
}

TEST_F(ReferenceTokenTest, LockedPinAbsentTokenAndMissingObjectHaveTheirOwnCodesAndChangeNothing) {
  ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x100), 0);
  const auto before = Snapshot(bank_.Path(""));

  // SoftHSM never locks a PIN: the stand-in answers C_Login with CKR_PIN_LOCKED.
  ::setenv("STAND_IN_REAL_LIBRARY", SoftHsm::Library().c_str(), 1);
  ::setenv("STAND_IN_MODE", "pin-locked", 1);
  Abonent locked;
  EXPECT_EQ(EnrollOnToken(locked, "Lena", "Locked", "SHA256", CRYPTLIB_STAND_IN_LIBRARY), kPinLocked) << lastError_;
  ::unsetenv("STAND_IN_MODE");
  EXPECT_NE(lastError_.find("The token PIN is locked"), std::string::npos) << lastError_;

  Abonent absent;
  EXPECT_EQ(EnrollOnToken(absent, "Abel", "Nowhere", "SHA256"), kTokenAbsent) << lastError_;
  EXPECT_NE(lastError_.find("The token is not present"), std::string::npos) << lastError_;
  EXPECT_EQ(Snapshot(bank_.Path("")), before);  // no key directory, no request

  // Bob's certificate with a reference standing in for his key: the codes of
  // a decryption and a signature.
  Abonent pulled = ReferenceHolder("Pulled", "pkcs11:token=Nowhere;id=%01;type=private");
  Abonent gone = ReferenceHolder("Gone", "pkcs11:token=Alice;id=%FF%FF%FF;type=private");
  const auto withReferences = Snapshot(bank_.Path(""));
  EXPECT_EQ(RoundTrip(pulled, "SHA256"), kTokenAbsent) << lastError_;
  EXPECT_EQ(SignAs(gone, "SHA256"), kKeyMissing) << lastError_;
  EXPECT_NE(lastError_.find("The key object is not on the token"), std::string::npos) << lastError_;
  EXPECT_EQ(RoundTrip(gone, "SHA256"), kKeyMissing);
  EXPECT_EQ(Snapshot(bank_.Path("")), withReferences);
}

// The token pulled out between login and use: the signature or decryption
// fails as "absent", not as a general failure; pulled out and put back, the
// key is found again and the operation completes.
TEST_F(ReferenceTokenTest, TokenPulledOutDuringUseIsAbsentAndFoundAgainWhenBack) {
  ::setenv("STAND_IN_REAL_LIBRARY", SoftHsm::Library().c_str(), 1);
  ::unsetenv("STAND_IN_MODE");
  ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x100), 0);
  Abonent ida;
  ASSERT_EQ(EnrollOnToken(ida, "Ida", "Alice", "SHA256", CRYPTLIB_STAND_IN_LIBRARY), 0) << lastError_;
  ida.subjectLine = "/C=RU/O=Bank/CN=Ida";

  ::setenv("STAND_IN_MODE", "removed", 1);
  EXPECT_EQ(SignAs(ida, "SHA256", CRYPTLIB_STAND_IN_LIBRARY), kTokenAbsent) << lastError_;
  EXPECT_EQ(RoundTrip(ida, "SHA256", CRYPTLIB_STAND_IN_LIBRARY), kTokenAbsent) << lastError_;
  ::setenv("STAND_IN_MODE", "removed-once", 1);
  EXPECT_EQ(SignAs(ida, "SHA256", CRYPTLIB_STAND_IN_LIBRARY), 0) << lastError_;
  EXPECT_EQ(std::getenv("STAND_IN_MODE"), nullptr);  // the stand-in did answer "removed" once
  ::setenv("STAND_IN_MODE", "removed-once", 1);
  EXPECT_EQ(RoundTrip(ida, "SHA256", CRYPTLIB_STAND_IN_LIBRARY), 0) << lastError_;
  ::unsetenv("STAND_IN_MODE");
}

TEST_F(ReferenceTokenTest, ContainerOfKeyFilesAndReferencesIsRefused) {
  ASSERT_EQ(bank_.Enroll(bob_, "Bob", 0x100), 0);
  // A token generation into Bob's container of key files: refused before the
  // token is touched.
  Abonent again;
  EXPECT_EQ(EnrollOnToken(again, "Bob", "Alice", "SHA256"), kMixedContainer) << lastError_;
  EXPECT_EQ(fs::directory_iterator(bob_.keyDirectory + "/KEYS")->path().extension(), ".key");

  // A reference put beside his key files: his key is refused, not used anyway.
  WriteFile(bob_.keyDirectory + "/KEYS/0badc0de.key", "pkcs11:token=Alice;id=%01;type=private\n");
  EXPECT_EQ(SignAs(bob_, "SHA256"), kMixedContainer);
  EXPECT_NE(lastError_.find("both token references and key files"), std::string::npos) << lastError_;

  // The passphrase utility leaves a container of references alone.
  Abonent tokenHolder = ReferenceHolder("Tess", "pkcs11:token=Alice;id=%01;type=private");
  const auto before = Snapshot(tokenHolder.keyDirectory);
  ::setenv("TOKEN_TEST_PASSPHRASE", "a passphrase", 1);
  EXPECT_EQ(RunCommand(std::string(CRYPTLIB_REFERENCE_DIR) + "/cryptlib-ref-passwd " + tokenHolder.keyDirectory +
                       " - env:TOKEN_TEST_PASSPHRASE"),
            1);
  EXPECT_EQ(Snapshot(tokenHolder.keyDirectory), before);
}

}  // namespace
