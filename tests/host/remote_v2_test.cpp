// Remote key replacement over a 2.x module (the fake's default flavour): the
// one-call start, the bank's answer and the finish, and every way the
// procedure fails with the user keeping a working key set and certificate.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "host/support/remote_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;

class OneCallGeneration : public RemoteGenerationTest {
 protected:
  // The subject line of the request the start left in R.
  std::string RequestSubject() const { return RecordField(ReadWhole(remote_ / "Tmp_cert.pem"), "Subject"); }

  // A full start and the bank's answer to it.
  std::string StartAndGetAnswer(const char* keyName = "Alice") {
    uint32_t step = 0;
    EXPECT_EQ(Start(step, keyName), 0);
    EXPECT_EQ(step, 1u);
    return BankAnswer(ExchangeText());
  }
};

TEST_F(OneCallGeneration, OneCallMakesTheProtectedContainerAndTheRequestTransfer) {
  EXPECT_EQ(api().GetRemoteGenType(engine()), 1);
  uint32_t step = 0;
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);

  // The container travels with mk.db3 protected, the rest plain; the old
  // KEYS file was copied and the new one generated beside it.
  const auto files = FileNames(remote_.path());
  for (const char* name : {"mk.dat", "masks.db3", "kek.opq", "rand.opq", "Tmp_cert.pem"})
    EXPECT_THAT(files, Contains(name));
  EXPECT_THAT(files, Not(Contains("mk.db3")));
  EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string& f) { return f.rfind("KEYS/", 0) == 0; }),
            2);
  // The twin names the file it protects, then holds it encrypted for the user.
  const std::string twin = ReadWhole(remote_ / "mk.dat");
  EXPECT_THAT(twin.substr(0, twin.find('\0')), HasSubstr("mk.db3"));
  EXPECT_THAT(twin.substr(twin.find('\0') + 1), StartsWith("FAKE ENVELOPE"));
  // The exchange buffer is the request, signed by the user.
  char uid[64] = {};
  EXPECT_EQ(api().GetUIDByPublicKeyTransfer(engine(), ExchangeText().c_str(), uid), 0);
  EXPECT_EQ(RequestSubject(), "/C=RU/O=Bank/CN=Alice");
  // The module generated into R with the request file there.
  const auto generations = Hooks().Calls("GenerateNewSEK");
  ASSERT_EQ(generations.size(), 1u);
}

TEST_F(OneCallGeneration, KeyNameIsTheHostsOrTheUidWithOneDateSuffix) {
  const std::regex dated("/C=RU/O=Bank/CN=Alice \\(\\d\\d-\\d\\d-\\d{4} \\d\\d-\\d\\d-\\d\\d\\)");
  uint32_t step = 0;
  ASSERT_EQ(Start(step), 0);
  EXPECT_TRUE(std::regex_match(RequestSubject(), dated)) << RequestSubject();

  // A UID that already carries a suffix gets a new one instead of a second.
  const std::string suffixed = "/C=RU/O=Bank/CN=Alice (01-02-2003 04-05-06)";
  keys_.WriteFile("own.pem", FakeCertificate(suffixed));
  AddCertificate("Alice (01-02-2003 04-05-06).pem", suffixed);
  step = 0;
  ASSERT_EQ(Start(step), 0);
  EXPECT_TRUE(std::regex_match(RequestSubject(), dated)) << RequestSubject();

  step = 0;
  ASSERT_EQ(Start(step, "New key 1"), 0);
  EXPECT_EQ(RequestSubject(), "/C=RU/O=Bank/CN=New key 1");
}

TEST_F(OneCallGeneration, StepTenTakesTheSubjectFromTheParameters) {
  SetParam(11, "RU");
  SetParam(14, "Branch");
  SetParam(16, "ignored: the key name wins");
  uint32_t step = 10;
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);
  EXPECT_EQ(RequestSubject(), "/C=RU/O=Branch/CN=Alice");
}

TEST_F(OneCallGeneration, FinishFromANewEngineExchangesKeysAndCertificate) {
  const std::string oldKey = PublicKeyOf(keys_ / "mk.db3");
  const std::string answer = StartAndGetAnswer();
  // The engine that started is gone; releasing it again later is harmless.
  api().DoneEngine(engine());

  CRYPT_HANDLE later = NewUserEngine();
  uint32_t step = 0;
  EXPECT_EQ(Finish(later, answer, step), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_EQ(Finish(later, answer, step), 0);
  EXPECT_EQ(step, 1u);

  const std::string newKey = PublicKeyOf(keys_ / "mk.db3");
  EXPECT_NE(newKey, oldKey);
  EXPECT_EQ(PublicKeyOf(keys_ / "own.pem"), newKey);
  EXPECT_EQ(PublicKeyOf(certs_ / "Alice.pem"), newKey);
  EXPECT_EQ(PublicKeyOf(keys_ / "mk.old"), oldKey);
  EXPECT_TRUE(fs::exists(keys_ / "own.old"));
  EXPECT_THAT(FileNames(remote_.path()), IsEmpty());
  EXPECT_THAT(FileNames(certs_.path()), Not(Contains("Alice.pem.keep")));
  // The user keeps working, now with the new certificate.
  EXPECT_EQ(SignAndVerify(later), "Alice");
  api().DoneEngine(later);
}

TEST_F(OneCallGeneration, MissingContainerFileAtTheFirstStepBecomesARepeatableStep) {
  fs::remove(keys_ / "masks.db3");
  uint32_t step = 0;
  EXPECT_EQ(Start(step), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_EQ(Start(step), -115);
  EXPECT_EQ(step, 2u);
  // Once the file is back the procedure runs from where it stands.
  keys_.WriteFile("masks.db3", "FAKE KEY FILE masks.db3\n");
  EXPECT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);
}

TEST_F(OneCallGeneration, ArgumentAndDirectoryFailures) {
  uint32_t step = 0;
  EXPECT_EQ(api().RemoteGenerateStartEx(engine(), "Alice", nullptr, &step), -117);
  EXPECT_EQ(api().RemoteGenerateFinishEx(engine(), nullptr, &step), -117);
  EXPECT_EQ(api().RemoteGenerateStartEx(engine(), "Alice", exchange_.data(), nullptr), -101);
  EXPECT_THAT(FileNames(remote_.path()), IsEmpty());

  api().SetRemoteGeneratePath(engine(), (remote_ / "missing").c_str());
  step = 0;
  EXPECT_EQ(Start(step, "Alice"), -109);
  EXPECT_EQ(Finish(engine(), "transfer", step), -109);
  api().SetRemoteGeneratePath(engine(), "");
  EXPECT_EQ(Start(step, "Alice"), -109);

  EXPECT_EQ(api().RemoteGenerateStart(engine(), 0), -1);
  EXPECT_EQ(api().RemoteGenerateFinish(engine(), 0), -1);
}

TEST_F(OneCallGeneration, FinishStepZeroOnlyAdvancesTheCell) {
  const std::string answer = StartAndGetAnswer();
  const auto before = FileNames(remote_.path());
  Hooks().Reset();
  uint32_t step = 0;
  EXPECT_EQ(Finish(engine(), answer, step), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_EQ(FileNames(remote_.path()), before);
  EXPECT_THAT(Hooks().Log(), IsEmpty());
}

TEST_F(OneCallGeneration, CertificateOfAnotherKeyIsRefusedAndTheFinishCanBeRepeated) {
  const std::string answer = StartAndGetAnswer();
  const std::string oldKey = PublicKeyOf(keys_ / "mk.db3");
  const std::string stranger = BankSends(
      "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: /C=RU/O=Bank/CN=Alice\n"
      "PublicKey: 0000000000000000000000000000000000000000000000000000000000000000\n-----END CERTIFICATE-----\n");
  uint32_t step = 2;
  EXPECT_EQ(Finish(engine(), stranger, step), -119);
  EXPECT_EQ(step, 1u);
  // The new plain master key is gone again; its protected twin waits.
  EXPECT_FALSE(fs::exists(remote_ / "mk.db3"));
  EXPECT_TRUE(fs::exists(remote_ / "mk.dat"));
  EXPECT_EQ(PublicKeyOf(keys_ / "mk.db3"), oldKey);
  EXPECT_EQ(SignAndVerify(engine()), "Alice");

  step = 2;
  EXPECT_EQ(Finish(engine(), answer, step), 0);
  EXPECT_NE(PublicKeyOf(keys_ / "mk.db3"), oldKey);
}

TEST_F(OneCallGeneration, CertificateWhoseUidLeavesTheDirectoryIsRefused) {
  StartAndGetAnswer();
  // The bank's certificate names a holder "../escaped": filing it would
  // write beside the certificate directory.
  const std::string request = ReadWhole(remote_ / "Tmp_cert.pem");
  std::string certificate = request;
  certificate.replace(certificate.find("CERTIFICATE REQUEST"), 19, "CERTIFICATE");
  certificate.replace(certificate.find("FAKE CERTIFICATE REQUEST"), 24, "FAKE CERTIFICATE");
  certificate.replace(certificate.find("CN=Alice"), 8, "CN=../escaped");
  uint32_t step = 2;
  EXPECT_EQ(Finish(engine(), BankSends(certificate), step), -110);
  EXPECT_FALSE(fs::exists(fs::path(certs_.path()).parent_path() / "escaped.pem"));
  EXPECT_EQ(SignAndVerify(engine()), "Alice");
}

TEST_F(OneCallGeneration, DamagedAnswerLeavesOnlyTheProtectedKey) {
  StartAndGetAnswer();
  uint32_t step = 2;
  EXPECT_NE(Finish(engine(), "not a transfer", step), 0);
  EXPECT_EQ(step, 1u);
  EXPECT_FALSE(fs::exists(remote_ / "mk.db3"));
  EXPECT_TRUE(fs::exists(remote_ / "mk.dat"));
}

TEST_F(OneCallGeneration, FailedExchangePutsTheOldCertificateBack) {
  const std::string answer = StartAndGetAnswer("Alice");
  const std::string oldCertificate = ReadWhole(certs_ / "Alice.pem");
  const std::string oldOwn = ReadWhole(keys_ / "own.pem");
  const std::string oldKey = PublicKeyOf(keys_ / "mk.db3");
  // The active set is incomplete: the exchange refuses it.
  const std::string kek = ReadWhole(keys_ / "kek.opq");
  fs::remove(keys_ / "kek.opq");

  uint32_t step = 2;
  EXPECT_EQ(Finish(engine(), answer, step), -116);
  EXPECT_EQ(step, 1u);
  EXPECT_EQ(ReadWhole(certs_ / "Alice.pem"), oldCertificate);
  EXPECT_THAT(FileNames(certs_.path()), Not(Contains("Alice.pem.keep")));
  EXPECT_EQ(ReadWhole(keys_ / "own.pem"), oldOwn);
  EXPECT_EQ(PublicKeyOf(keys_ / "mk.db3"), oldKey);
  EXPECT_EQ(SignAndVerify(engine()), "Alice");

  // With the set complete again, the same answer finishes the procedure.
  keys_.WriteFile("kek.opq", kek);
  step = 2;
  EXPECT_EQ(Finish(engine(), answer, step), 0);
  EXPECT_NE(PublicKeyOf(keys_ / "mk.db3"), oldKey);
}

TEST_F(OneCallGeneration, TypeFollowsTheModulesCheckAndStepwiseStepsAreNotTaken) {
  // Steps of the stepwise procedure mean nothing to the one-call start: any
  // cell runs the whole start.
  uint32_t step = 3;
  EXPECT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);
}

}  // namespace
}  // namespace cryptlib::test
