// The reference module against the openssl command line, both ways: what the
// module encrypts or signs, `openssl cms` decrypts or verifies, and the module
// decrypts and verifies what `openssl cms` produced. The abonent's key is
// made by `openssl genpkey` and handed to the module as a plain PEM key file
// (parameter 7). RSA, ECDSA and GOST keys (GOST through `-engine gost`).
// Skipped when the openssl binary (or, for GOST, its gost engine) is missing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/testing/reference_harness.h"

namespace {

using cryptlib::test::TestDir;
using namespace reftest;

struct KeyKind {
  const char* name;
  const char* engine;  // command-line option loading an engine, or ""
  const char* genpkeyOptions;
  const char* signatureParam;
  const char* cipherParam;
  const char* digest;                // for openssl cms -sign -md
  std::vector<const char*> ciphers;  // for openssl cms -encrypt
};

void PrintTo(const KeyKind& kind, std::ostream* out) {
  *out << kind.name;
}

class ReferenceInteropTest : public testing::TestWithParam<KeyKind> {
 protected:
  void SetUp() override {
    if (!HaveOpenSslTool()) GTEST_SKIP() << "no openssl command line";
    engine_ = GetParam().engine;
    if (!engine_.empty() && RunCommand("openssl engine " + engine_.substr(engine_.find(' ') + 1)) != 0) {
      GTEST_SKIP() << "openssl cannot load " << engine_;
    }
    bank_.ca().WriteCertificate(dir_ / "ca.pem");
    ASSERT_EQ(RunCommand(OpenSsl("genpkey") + GetParam().genpkeyOptions + " -out " + Key()), 0);
    ASSERT_EQ(
        RunCommand(OpenSsl("req") + "-new -key " + Key() + " -subj /C=RU/O=Bank/CN=Frank -out " + (dir_ / "frank.csr")),
        0);
    ASSERT_TRUE(bank_.ca().Issue(dir_ / "frank.csr", Certificate(), 0x4242));
    session_.Set(kOwnCertificate, Certificate())
        .Set(kPrivateKeyFile, Key())
        .Set(kCertificateDir, bank_.Path("certs"))
        .Set(kCaDir, bank_.Path("ca"))
        .Set(kSignature, GetParam().signatureParam)
        .Set(kCipher, GetParam().cipherParam);
    WriteFile(dir_ / "plain.bin", Plain());
  }

  std::string OpenSsl(const std::string& command) const { return "openssl " + command + " " + engine_ + " "; }
  std::string Key() const { return dir_ / "frank.key"; }
  std::string Certificate() const { return bank_.Path("certs/frank.pem"); }
  static std::string Plain() {
    std::string plain;
    for (int i = 0; i < 5000; ++i) plain += static_cast<char>(i * 7 % 256);  // every byte value, no text mode
    return plain;
  }

  TestDir dir_;
  Bank bank_{dir_ / "bank"};
  Session session_;
  std::string engine_;
};

INSTANTIATE_TEST_SUITE_P(Keys, ReferenceInteropTest,
                         testing::Values(KeyKind{"Rsa",
                                                 "",
                                                 "-algorithm RSA -pkeyopt rsa_keygen_bits:2048",
                                                 "SHA256",
                                                 "AES-256-CBC",
                                                 "sha256",
                                                 {"-aes256", "-des3", "-aes-256-gcm"}},
                                         KeyKind{"Ecdsa",
                                                 "",
                                                 "-algorithm EC -pkeyopt ec_paramgen_curve:P-256",
                                                 "ECDSA-SHA256",
                                                 "DES-EDE3-CBC",
                                                 "sha256",
                                                 {"-aes256", "-des3", "-aes-256-gcm"}},
                                         KeyKind{"Gost",
                                                 "-engine gost",
                                                 "-algorithm gost2012_256 -pkeyopt paramset:A",
                                                 "R3410-R3411",
                                                 "RUS-GAMMAR",
                                                 "md_gost12_256",
                                                 {"-gost89"}}),
                         [](const testing::TestParamInfo<KeyKind>& info) { return std::string(info.param.name); });

TEST_P(ReferenceInteropTest, OpenSslDecryptsWhatTheModuleEncrypted) {
  std::string plain = Plain();
  std::vector<char> buffer(plain.size() + static_cast<size_t>(session_.module().GetMaxEncodeAddition()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  ASSERT_EQ(session_.module().EncodeData(session_.handle(), buffer.data(), &length, ""), 0) << session_.LastError();
  WriteFile(dir_ / "module.der", std::string(buffer.data(), static_cast<size_t>(length)));
  ASSERT_EQ(RunCommand(OpenSsl("cms") + "-decrypt -binary -inform DER -in " + (dir_ / "module.der") + " -recip " +
                       Certificate() + " -inkey " + Key() + " -out " + (dir_ / "opened.bin")),
            0);
  EXPECT_EQ(ReadFile(dir_ / "opened.bin"), plain);
}

// AES-256-GCM: the module's AuthEnvelopedData opens with openssl; a changed
// byte of the content makes openssl refuse it too.
TEST_P(ReferenceInteropTest, OpenSslDecryptsTheModulesAuthenticatedEnvelope) {
  if (!engine_.empty()) GTEST_SKIP() << "GOST keys transport gost89 keys only";
  session_.Set(kCipher, "AES-256-GCM");
  std::string plain = Plain();
  std::vector<char> buffer(plain.size() + static_cast<size_t>(session_.module().GetMaxEncodeAddition()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  ASSERT_EQ(session_.module().EncodeData(session_.handle(), buffer.data(), &length, ""), 0) << session_.LastError();
  std::string enveloped(buffer.data(), static_cast<size_t>(length));
  const std::string decrypt = OpenSsl("cms") + "-decrypt -binary -inform DER -recip " + Certificate() + " -inkey " +
                              Key() + " -out " + (dir_ / "opened.bin") + " -in ";
  WriteFile(dir_ / "module.der", enveloped);
  ASSERT_EQ(RunCommand(decrypt + (dir_ / "module.der")), 0);
  EXPECT_EQ(ReadFile(dir_ / "opened.bin"), plain);
  enveloped[enveloped.size() - 100] ^= 0x01;  // inside the encrypted content
  WriteFile(dir_ / "changed.der", enveloped);
  EXPECT_NE(RunCommand(decrypt + (dir_ / "changed.der")), 0);
}

TEST_P(ReferenceInteropTest, ModuleDecryptsWhatOpenSslEncrypted) {
  for (const char* cipher : GetParam().ciphers) {
    ASSERT_EQ(RunCommand(OpenSsl("cms") + "-encrypt -binary " + cipher + " -outform DER -in " + (dir_ / "plain.bin") +
                         " -out " + (dir_ / "openssl.der") + " " + Certificate()),
              0);
    std::string enveloped = ReadFile(dir_ / "openssl.der");
    std::vector<char> buffer(enveloped.begin(), enveloped.end());
    int32_t length = static_cast<int32_t>(buffer.size());
    char uid[1024] = "";
    ASSERT_EQ(session_.module().DecodeData(session_.handle(), buffer.data(), &length, uid), 0)
        << cipher << ": " << session_.LastError();
    EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)), Plain()) << cipher;
    EXPECT_STREQ(uid, "/C=RU/O=Bank/CN=Frank");
  }
}

TEST_P(ReferenceInteropTest, OpenSslVerifiesWhatTheModuleSigned) {
  std::string plain = Plain();
  std::vector<char> signature(static_cast<size_t>(session_.module().GetMaxSignatureLength()));
  int32_t signatureLength = static_cast<int32_t>(signature.size());
  ASSERT_EQ(session_.module().SignData(session_.handle(), plain.data(), static_cast<int32_t>(plain.size()),
                                       signature.data(), &signatureLength, ""),
            0)
      << session_.LastError();
  WriteFile(dir_ / "detached.der", std::string(signature.data(), static_cast<size_t>(signatureLength)));
  EXPECT_EQ(RunCommand(OpenSsl("cms") + "-verify -binary -inform DER -in " + (dir_ / "detached.der") + " -content " +
                       (dir_ / "plain.bin") + " -CAfile " + (dir_ / "ca.pem") + " -out /dev/null"),
            0);

  std::vector<char> buffer(plain.size() + static_cast<size_t>(session_.module().GetMaxSignatureLength()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t signedLength = static_cast<int32_t>(buffer.size());
  ASSERT_EQ(session_.module().SignData(session_.handle(), buffer.data(), static_cast<int32_t>(plain.size()), nullptr,
                                       &signedLength, ""),
            0);
  WriteFile(dir_ / "attached.der", std::string(buffer.data(), static_cast<size_t>(signedLength)));
  ASSERT_EQ(RunCommand(OpenSsl("cms") + "-verify -binary -inform DER -in " + (dir_ / "attached.der") + " -CAfile " +
                       (dir_ / "ca.pem") + " -out " + (dir_ / "content.bin")),
            0);
  EXPECT_EQ(ReadFile(dir_ / "content.bin"), plain);

  // A changed byte of the content makes openssl refuse it as well.
  std::string tampered = plain;
  tampered[100] ^= 1;
  WriteFile(dir_ / "tampered.bin", tampered);
  EXPECT_NE(RunCommand(OpenSsl("cms") + "-verify -binary -inform DER -in " + (dir_ / "detached.der") + " -content " +
                       (dir_ / "tampered.bin") + " -CAfile " + (dir_ / "ca.pem") + " -out /dev/null"),
            0);
}

TEST_P(ReferenceInteropTest, ModuleVerifiesWhatOpenSslSigned) {
  const std::string sign = OpenSsl("cms") + "-sign -binary -md " + GetParam().digest + " -outform DER -signer " +
                           Certificate() + " -inkey " + Key() + " -in " + (dir_ / "plain.bin");
  ASSERT_EQ(RunCommand(sign + " -out " + (dir_ / "detached.der")), 0);
  ASSERT_EQ(RunCommand(sign + " -nodetach -out " + (dir_ / "attached.der")), 0);
  std::string plain = Plain();

  std::string detached = ReadFile(dir_ / "detached.der");
  int32_t length = static_cast<int32_t>(plain.size());
  char uid[1024] = "";
  ASSERT_EQ(session_.module().VerifyData(session_.handle(), plain.data(), &length, detached.data(),
                                         static_cast<int32_t>(detached.size()), uid),
            0)
      << session_.LastError();
  EXPECT_STREQ(uid, "/C=RU/O=Bank/CN=Frank");

  std::string attached = ReadFile(dir_ / "attached.der");
  std::vector<char> buffer(attached.begin(), attached.end());
  length = static_cast<int32_t>(buffer.size());
  ASSERT_EQ(session_.module().VerifyData(session_.handle(), buffer.data(), &length, nullptr, length, uid), 0)
      << session_.LastError();
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)), plain);

  std::string tampered = plain;
  tampered[4000] ^= 0x80;
  length = static_cast<int32_t>(tampered.size());
  EXPECT_EQ(session_.module().VerifyData(session_.handle(), tampered.data(), &length, detached.data(),
                                         static_cast<int32_t>(detached.size()), uid),
            ref::kErrBadSignature);
}

// A key directory without a container beside the plain key file adds
// nothing and takes nothing away: the plain key signs.
TEST_P(ReferenceInteropTest, KeyDirectoryWithoutAContainerLeavesThePlainKey) {
  TestDir empty;
  session_.Set(kKeyDir, empty.path());
  const std::string data = "payment order";
  std::vector<char> signature(static_cast<size_t>(session_.module().GetMaxSignatureLength()));
  int32_t length = static_cast<int32_t>(signature.size());
  EXPECT_EQ(session_.module().SignData(session_.handle(), data.data(), static_cast<int32_t>(data.size()),
                                       signature.data(), &length, ""),
            0)
      << session_.LastError();
}

}  // namespace
