// Local key generation over the 2.x module (the fake's default flavour): the
// module's own generation on a binding made for the call, onto the key media,
// with the engine's parameters adjusted only in what the module is given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "common/test_os.h"
#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

// The values the module was given on context, by 0-based index, the last
// setting winning.
std::map<int, std::string> ContextParams(const std::string& context) {
  std::map<int, std::string> values;
  const std::regex line("^SetCryptoParamValue\\(" + context + ", (\\d+), \"(.*)\"\\) = .*$");
  for (const std::string& call : Hooks().Calls("SetCryptoParamValue")) {
    std::smatch match;
    if (std::regex_match(call, match, line)) values[std::stoi(match[1])] = match[2];
  }
  return values;
}

// The context of a logged call such as "GenerateNewSEK(7, buf) = 0".
std::string ContextOf(const std::string& call) {
  const size_t open = call.find('(');
  return call.substr(open + 1, call.find(',') - open - 1);
}

bool DirectoryEmpty(const std::string& path) {
  return std::filesystem::is_empty(path);
}

class LocalGeneration2x : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
#ifdef _WIN32
    GTEST_SKIP() << "the default key media A:\\ is a real drive on Windows; POSIX maps it for the test";
#endif
    // The default key media "A:\" is the test's directory.
    SetEnv("CRYPTLIB_DRIVE_A", media_.path());
    SetParam(3, keys_.path());
    SetParam(9, work_ / "request.pem");
    SetParam(14, "Bank");
    SetParam(16, "Carol");
    SetParam(21, "1");
  }
  void TearDown() override {
    UnsetEnv("CRYPTLIB_DRIVE_A");
    FakeEngineTest::TearDown();
  }

  TestDir keys_;
  TestDir media_;
  TestDir work_;
};

TEST_F(LocalGeneration2x, GeneratesOntoTheDefaultMediaAndReportsTheModulesZeroAsMinus100) {
  EXPECT_EQ(api().GenerateNewSEK(engine()), -100);

  const auto calls = Hooks().Calls("GenerateNewSEK");
  ASSERT_THAT(calls, SizeIs(1));
  EXPECT_THAT(calls[0], HasSubstr(", buf) = 0"));
  EXPECT_THAT(Hooks().Calls("GenerateNewSSK"), IsEmpty());
  EXPECT_THAT(Hooks().Calls("MakeRequestForPSE"), IsEmpty());

  // The key set is on the media; the active key directory is untouched.
  EXPECT_TRUE(media_.Exists("mk.db3"));
  EXPECT_TRUE(media_.Exists("KEYS"));
  EXPECT_TRUE(DirectoryEmpty(keys_.path()));
  EXPECT_THAT(work_.ReadFile("request.pem"), HasSubstr("Subject: /C=RU/O=Bank/CN=Carol\n"));
}

TEST_F(LocalGeneration2x, ModuleGetsTheSnapshotWithoutKeyDirectoryAndFlag) {
  ASSERT_EQ(api().GenerateNewSEK(engine()), -100);
  const auto calls = Hooks().Calls("GenerateNewSEK");
  ASSERT_THAT(calls, SizeIs(1));
  std::map<int, std::string> given = ContextParams(ContextOf(calls[0]));
  // Every other value is the engine's own.
  EXPECT_EQ(given[1], certs_.path());
  EXPECT_EQ(given[3], "RUS-GAMMAR");
  EXPECT_EQ(given[8], work_ / "request.pem");
  EXPECT_EQ(given[15], "Carol");
  EXPECT_EQ(given[2], "");
  EXPECT_EQ(given[20], "");
  EXPECT_EQ(given[22], "A:\\");
  EXPECT_THAT(given, SizeIs(26));
  // Only the module's copy is adjusted.
  EXPECT_EQ(ParamValue(3), keys_.path());
  EXPECT_EQ(ParamValue(21), "1");
  EXPECT_EQ(ParamValue(23), "");
}

TEST_F(LocalGeneration2x, GivenKeyMediaIsPassedAsSet) {
  TestDir other;
  SetParam(23, other.path());
  EXPECT_EQ(api().GenerateNewSEK(engine()), -100);
  const auto calls = Hooks().Calls("GenerateNewSEK");
  ASSERT_THAT(calls, SizeIs(1));
  EXPECT_EQ(ContextParams(ContextOf(calls[0]))[22], other.path());
  EXPECT_TRUE(other.Exists("mk.db3"));
  EXPECT_TRUE(DirectoryEmpty(media_.path()));
}

TEST_F(LocalGeneration2x, SigningKeyGenerationIsTheSameGeneration) {
  EXPECT_EQ(api().GenerateNewSSK(engine()), -100);
  EXPECT_THAT(Hooks().Calls("GenerateNewSEK"), SizeIs(1));
  EXPECT_THAT(Hooks().Calls("GenerateNewSSK"), IsEmpty());
  EXPECT_TRUE(media_.Exists("mk.db3"));
  EXPECT_TRUE(work_.Exists("request.pem"));
}

TEST_F(LocalGeneration2x, UnreachableDefaultMediaGivesTheModulesCode) {
  // Without a mapping of drive A the module cannot use "A:\" (its 1014).
  UnsetEnv("CRYPTLIB_DRIVE_A");
  EXPECT_EQ(api().GenerateNewSEK(engine()), 1014);
  EXPECT_FALSE(work_.Exists("request.pem"));
}

TEST_F(LocalGeneration2x, ModuleFailurePassesUnchanged) {
  Hooks().Script("GenerateNewSEK", 1234, 1);
  EXPECT_EQ(api().GenerateNewSEK(engine()), 1234);
  Hooks().Script("GenerateNewSEK", -5, 1);
  EXPECT_EQ(api().GenerateNewSSK(engine()), -5);
}

TEST_F(LocalGeneration2x, KeysAreNeverReportedAsDifferent) {
  EXPECT_EQ(api().IsDifferentKeys(engine()), 0);
  ASSERT_EQ(api().GenerateNewSEK(engine()), -100);
  EXPECT_EQ(api().IsDifferentKeys(engine()), 0);
  EXPECT_THAT(Hooks().Calls("IsDifferentKeys"), IsEmpty());
}

}  // namespace
}  // namespace cryptlib::test
