// The engine against the openssl command line, both ways, with the reference
// module: what the engine encrypts or signs, `openssl cms` decrypts or
// verifies, and the engine decrypts and verifies what `openssl cms` made.
// Frank's key is made by `openssl genpkey` (his engine reads it as a plain
// key file, parameter 7) and certified by the bank like anyone's; Alice's
// keys are the engine's own. RSA, ECDSA and GOST (`-engine gost`); skipped
// without the openssl binary or, for GOST, its engine.
#include <sys/wait.h>

#include <cstdlib>

#include "files.h"
#include "support/commands.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

struct Kind {
  const char* name;
  const char* engineOption;  // "-engine gost" or ""
  const char* genpkey;
  const char* digest;
  const char* cipher;
};

const Kind kKinds[] = {
    {"rsa", "", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048", "sha256", "-aes256"},
    {"ecdsa", "", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256", "sha256", "-aes256"},
    {"gost", "-engine gost", "-algorithm gost2012_256 -pkeyopt paramset:A", "md_gost12_256", "-gost89"},
};

class InteropTest : public WorldTest, public ::testing::WithParamInterface<Kind> {
 protected:
  void SetUp() override {
    if (RunCommand("openssl version") != 0) GTEST_SKIP() << "no openssl command line";
    if (*GetParam().engineOption != '\0' && RunCommand("openssl engine gost") != 0) GTEST_SKIP() << "no gost engine";
    MakeWorld(AlgorithmsNamed(GetParam().name));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Alice"}));
    if (IsSkipped()) return;
    Party& frank = AddParty("Frank");
    const std::string key = frank.Path("frank.key");
    ASSERT_EQ(RunCommand(OpenSsl("genpkey") + GetParam().genpkey + " -out " + key), 0);
    ASSERT_EQ(RunCommand(OpenSsl("req") + "-new -key " + key + " -subj /C=RU/O=Demo/CN=Frank -out " +
                         frank.Path("request.pem")),
              0);
    ASSERT_NO_FATAL_FAILURE(Certify("Frank"));
    frank.privateKeyFile = key;
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
    host::WriteWholeFile(dir_ / "plain.bin", Document());
  }

  std::string OpenSsl(const std::string& command) const {
    return "openssl " + command + " " + GetParam().engineOption + " ";
  }
  std::string FrankCertificate() { return party("Frank").Path("own.pem"); }
  std::string Ca() { return world().ca.CertificatePath(); }
};

INSTANTIATE_TEST_SUITE_P(Keys, InteropTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(InteropTest, OpenSslDecryptsWhatTheEngineEncrypted) {
  std::string encrypted = Document();
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  ASSERT_TRUE(alice->Encrypt(encrypted, "Frank;Alice").ok()) << alice->LastError();
  host::WriteWholeFile(dir_ / "engine.der", encrypted);
  ASSERT_EQ(
      RunCommand(OpenSsl("cms") + "-decrypt -binary -inform DER -in " + (dir_ / "engine.der") + " -recip " +
                 FrankCertificate() + " -inkey " + party("Frank").privateKeyFile + " -out " + (dir_ / "opened.bin")),
      0);
  EXPECT_EQ(Read(dir_ / "opened.bin"), Document());
}

TEST_P(InteropTest, EngineDecryptsWhatOpenSslEncrypted) {
  ASSERT_EQ(RunCommand(OpenSsl("cms") + "-encrypt -binary " + GetParam().cipher + " -outform DER -in " +
                       (dir_ / "plain.bin") + " -out " + (dir_ / "openssl.der") + " " + FrankCertificate()),
            0);
  std::string data = Read(dir_ / "openssl.der"), recipient;
  std::unique_ptr<EngineClient> frank = Engine("Frank");
  ASSERT_TRUE(frank->Decrypt(data, recipient).ok()) << frank->LastError();
  EXPECT_EQ(data, Document());
  EXPECT_EQ(recipient, "Frank");
  // Not for Alice.
  data = Read(dir_ / "openssl.der");
  EXPECT_EQ(Engine("Alice")->Decrypt(data, recipient).code, 2009);
}

TEST_P(InteropTest, OpenSslVerifiesWhatTheEngineSigned) {
  std::string signature;
  std::unique_ptr<EngineClient> frank = Engine("Frank");
  ASSERT_TRUE(frank->Sign(Document(), signature, "").ok()) << frank->LastError();
  host::WriteWholeFile(dir_ / "detached.der", signature);
  const std::string verify = OpenSsl("cms") + "-verify -binary -inform DER -CAfile " + Ca() + " -in ";
  EXPECT_EQ(RunCommand(verify + (dir_ / "detached.der") + " -content " + (dir_ / "plain.bin") + " -out /dev/null"), 0);
  std::string tampered = Document();
  tampered[10] ^= 1;
  host::WriteWholeFile(dir_ / "tampered.bin", tampered);
  EXPECT_NE(RunCommand(verify + (dir_ / "detached.der") + " -content " + (dir_ / "tampered.bin") + " -out /dev/null"),
            0);

  // Alice's own engine-made key, attached.
  std::string signedData = Document();
  ASSERT_TRUE(Engine("Alice")->AddSign(signedData, "").ok());
  host::WriteWholeFile(dir_ / "attached.der", signedData);
  ASSERT_EQ(RunCommand(verify + (dir_ / "attached.der") + " -out " + (dir_ / "content.bin")), 0);
  EXPECT_EQ(Read(dir_ / "content.bin"), Document());
}

TEST_P(InteropTest, EngineVerifiesWhatOpenSslSigned) {
  const std::string sign = OpenSsl("cms") + "-sign -binary -md " + GetParam().digest + " -outform DER -signer " +
                           FrankCertificate() + " -inkey " + party("Frank").privateKeyFile + " -in " +
                           (dir_ / "plain.bin");
  ASSERT_EQ(RunCommand(sign + " -out " + (dir_ / "detached.der")), 0);
  ASSERT_EQ(RunCommand(sign + " -nodetach -out " + (dir_ / "attached.der")), 0);
  std::unique_ptr<EngineClient> alice = Engine("Alice");
  std::string signer;
  ASSERT_TRUE(alice->Verify(Document(), Read(dir_ / "detached.der"), signer, false).ok()) << alice->LastError();
  EXPECT_EQ(signer, "Frank");
  std::string tampered = Document();
  tampered[4000] ^= 0x80;
  EXPECT_EQ(alice->Verify(tampered, Read(dir_ / "detached.der"), signer, false).code, 2011);
  std::string content = Read(dir_ / "attached.der");
  ASSERT_TRUE(alice->RemoveSign(content, signer).ok()) << alice->LastError();
  EXPECT_EQ(content, Document());
  EXPECT_EQ(signer, "Frank");
}

}  // namespace
}  // namespace cryptlib::e2e
