// Remote key replacement over a module that fails the 2.x check (the fake's
// 1.0.0.0 flavour): the stepwise start, one host call per step, with a key
// generation utility run on the key media between two of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/support/remote_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v1000";

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::SizeIs;

namespace fs = std::filesystem;

class StepwiseGeneration : public RemoteGenerationTest {
 protected:
  // The generation utility the host runs between steps 3 and 5.
  void RunUtility() { ASSERT_EQ(Hooks().WriteKeyContainer(media_.path(), "/CN=utility"), 0); }

  // Steps up to the marker call, from first (0 or 10); the step after each.
  void RunToMarker(uint32_t first, const char* keyName = "Alice") {
    uint32_t step = first;
    ASSERT_EQ(Start(step, keyName), 0);
    ASSERT_EQ(step, first + 2);
    ASSERT_EQ(Start(step, keyName), 0);
    ASSERT_EQ(step, first + 3);
    ASSERT_EQ(Start(step, keyName), 0);
    ASSERT_EQ(step, first + 5);
    RunUtility();
    ASSERT_EQ(Start(step, keyName), 0);
    ASSERT_EQ(step, first + 2);
    ASSERT_EQ(ExchangeText(), "LAST STEP");
    ASSERT_EQ(Start(step, keyName), 0);
    ASSERT_EQ(step, 1u);
  }
};

TEST_F(StepwiseGeneration, FullRunVisitsEveryStepAndFinishes) {
  EXPECT_EQ(api().GetRemoteGenType(engine()), 3);
  const std::string oldKey = PublicKeyOf(keys_ / "mk.db3");
  uint32_t step = 0;

  // 0: only the cell moves.
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_THAT(FileNames(remote_.path()), IsEmpty());
  EXPECT_THAT(Hooks().Log(), IsEmpty());

  // 2: R prepared, the current key tested with a signature of 5 bytes.
  remote_.WriteFile("stale.txt", "from an earlier attempt");
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 3u);
  EXPECT_THAT(FileNames(remote_.path()), ElementsAre("self.pem"));
  EXPECT_EQ(ReadWhole(remote_ / "self.pem"), ReadWhole(keys_ / "own.pem"));
  const auto signatures = Hooks().Calls("SignData");
  ASSERT_THAT(signatures, SizeIs(1));
  EXPECT_THAT(signatures[0], HasSubstr(", 5, "));

  // 3: the media's fingerprint: no key file yet.
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 5u);
  EXPECT_EQ(ReadWhole(remote_ / "backup.key"), "0");

  // 5, after the utility: the request for the new key and its files in R.
  RunUtility();
  Hooks().Reset();
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 2u);
  EXPECT_EQ(ExchangeText(), "LAST STEP");
  const auto requests = Hooks().Calls("MakeRequestForPSE");
  ASSERT_THAT(requests, SizeIs(1));
  EXPECT_THAT(requests[0], HasSubstr("Tmp_cert.pem"));
  for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "rand.opq", "Tmp_cert.pem"})
    EXPECT_THAT(FileNames(remote_.path()), Contains(name));
  EXPECT_EQ(RecordField(ReadWhole(remote_ / "Tmp_cert.pem"), "Subject"), "/C=RU/O=Bank/CN=Alice");

  // 2 with the marker: the container protected, the request transfer out.
  ASSERT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);
  EXPECT_THAT(FileNames(remote_.path()), Contains("mk.dat"));
  EXPECT_THAT(FileNames(remote_.path()), Not(Contains("mk.db3")));
  char uid[64] = {};
  EXPECT_EQ(api().GetUIDByPublicKeyTransfer(engine(), ExchangeText().c_str(), uid), 0);

  // The finish exchanges the keys for the ones made on the media.
  const std::string answer = BankAnswer(ExchangeText());
  step = 2;
  ASSERT_EQ(Finish(engine(), answer, step), 0);
  EXPECT_EQ(step, 1u);
  EXPECT_NE(PublicKeyOf(keys_ / "mk.db3"), oldKey);
  EXPECT_EQ(PublicKeyOf(keys_ / "mk.db3"), PublicKeyOf(keys_ / "own.pem"));
  EXPECT_EQ(SignAndVerify(engine()), "Alice");
}

TEST_F(StepwiseGeneration, TenBasedRunTakesTheSubjectFromTheParameters) {
  SetParam(14, "Branch");
  SetParam(17, "alice@bank.example");
  RunToMarker(10);
  // The request went out; its subject came from the parameters.
  EXPECT_THAT(FileNames(remote_.path()), Contains("Tmp_cert.pem"));
  EXPECT_EQ(RecordField(ReadWhole(remote_ / "Tmp_cert.pem"), "Subject"),
            "/C=RU/O=Branch/CN=Alice/E=alice@bank.example");
}

TEST_F(StepwiseGeneration, WithoutTheUtilityTheFingerprintIsUnchanged) {
  uint32_t step = 0;
  ASSERT_EQ(Start(step), 0);
  ASSERT_EQ(Start(step), 0);
  ASSERT_EQ(Start(step), 0);
  ASSERT_EQ(step, 5u);
  EXPECT_EQ(Start(step), -118);
  EXPECT_EQ(step, 2u);
  EXPECT_THAT(Hooks().Calls("MakeRequestForPSE"), IsEmpty());
}

TEST_F(StepwiseGeneration, MissingOwnCertificateEndsTheFirstStep) {
  fs::remove(keys_ / "own.pem");
  uint32_t step = 2;
  EXPECT_EQ(Start(step), -113);
  EXPECT_EQ(step, 1u);
}

TEST_F(StepwiseGeneration, MissingRequestAtTheLastStep) {
  uint32_t step = 0;
  for (int call = 0; call < 3; ++call) ASSERT_EQ(Start(step, "Alice"), 0);
  RunUtility();
  ASSERT_EQ(Start(step, "Alice"), 0);
  fs::remove(remote_ / "Tmp_cert.pem");
  EXPECT_EQ(Start(step, "Alice"), -114);
  EXPECT_EQ(step, 1u);
}

TEST_F(StepwiseGeneration, StepsOutsideTheTableChangeNothing) {
  for (uint32_t value : {1u, 4u, 6u, 11u, 99u}) {
    uint32_t step = value;
    EXPECT_EQ(Start(step), 0);
    EXPECT_EQ(step, value);
  }
  EXPECT_THAT(Hooks().Log(), IsEmpty());
  EXPECT_THAT(FileNames(remote_.path()), IsEmpty());
}

TEST_F(StepwiseGeneration, ArgumentAndDirectoryFailures) {
  // Step 5 names the key from "self.pem" before it needs the buffer.
  remote_.WriteFile("self.pem", ReadWhole(keys_ / "own.pem"));
  uint32_t step = 5;
  EXPECT_EQ(api().RemoteGenerateStartEx(engine(), "Alice", nullptr, &step), -117);
  api().SetRemoteGeneratePath(engine(), (remote_ / "missing").c_str());
  step = 2;
  EXPECT_EQ(Start(step), -109);
  EXPECT_EQ(step, 1u);
  step = 3;
  EXPECT_EQ(Start(step), -109);
}

// The marker call protects the key files of R and deletes the plain ones:
// without R it would do so relative to the current directory, which may be
// the key directory itself.
TEST_F(StepwiseGeneration, MarkerCallWithoutARemoteDirectoryTouchesNoKeyFile) {
  uint32_t step = 0;
  for (int call = 0; call < 4; ++call) {
    if (step == 5) RunUtility();
    ASSERT_EQ(Start(step, "Alice"), 0);
  }
  ASSERT_EQ(ExchangeText(), "LAST STEP");
  const auto keysBefore = FileNames(keys_.path());
  const std::string masterKey = ReadWhole(keys_ / "mk.db3");
  const fs::path previous = fs::current_path();
  fs::current_path(keys_.path());
  for (const std::string& directory : {std::string(), remote_ / "missing"}) {
    SCOPED_TRACE("remote directory '" + directory + "'");
    api().SetRemoteGeneratePath(engine(), directory.c_str());
    Hooks().Reset();
    uint32_t marker = 2;
    EXPECT_EQ(Start(marker, "Alice"), -109);
    EXPECT_EQ(FileNames(keys_.path()), keysBefore);
    EXPECT_EQ(ReadWhole(keys_ / "mk.db3"), masterKey);
    EXPECT_THAT(Hooks().Calls("EncodeData"), IsEmpty());
  }
  fs::current_path(previous);
  // With R back the same marker call completes.
  api().SetRemoteGeneratePath(engine(), remote_.path().c_str());
  step = 2;
  EXPECT_EQ(Start(step, "Alice"), 0);
  EXPECT_EQ(step, 1u);
}

}  // namespace
}  // namespace cryptlib::test
