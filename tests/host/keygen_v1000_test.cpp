// Local key generation over a module that fails the 2.x check (the fake's
// 1.0.0.0 flavour is not thread-safe): the engine makes the keys with a PSE
// certificate request on a private context.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v1000";

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// The context InitCrypto opened last, from its log line "InitCrypto() = 7".
std::string LastOpenedContext() {
  const auto calls = Hooks().Calls("InitCrypto");
  if (calls.empty()) return "none";
  return calls.back().substr(calls.back().rfind(' ') + 1);
}

// The log lines naming context as the first argument, in order.
std::vector<std::string> CallsOn(const std::string& context) {
  std::vector<std::string> lines;
  std::istringstream log(Hooks().Log());
  for (std::string line; std::getline(log, line);)
    if (line.find("(" + context + ",") != std::string::npos || line.find("(" + context + ")") != std::string::npos)
      lines.push_back(line);
  return lines;
}

class PSEGeneration : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    // Values the request must not carry: the own certificate and the flag.
    SetParam(1, certs_ / "own.pem");
    SetParam(21, "1");
    SetParam(3, keys_.path());
    SetParam(9, work_ / "request.pem");
    SetParam(12, "Region");
    SetParam(13, "Town");
    SetParam(14, "Bank");
    SetParam(16, "Dave");
    SetParam(17, "dave@bank.example");
    SetParam(24, "Cashier");
  }

  TestDir keys_;
  TestDir work_;
};

TEST_F(PSEGeneration, RequestCarriesKeyDirectoryAndSubjectInTheModulesOrder) {
  EXPECT_EQ(api().GenerateNewSEK(engine()), 0);

  const std::string context = LastOpenedContext();
  const std::string keys = keys_.path();
  const std::string request = work_ / "request.pem";
  EXPECT_THAT(CallsOn(context),
              ElementsAre("SetCryptoParamValue(" + context + ", 2, \"" + keys + "\") = 0",
                          "SetCryptoParamValue(" + context + ", 15, \"Dave\") = 0",
                          "SetCryptoParamValue(" + context + ", 10, \"RU\") = 0",
                          "SetCryptoParamValue(" + context + ", 11, \"Region\") = 0",
                          "SetCryptoParamValue(" + context + ", 12, \"Town\") = 0",
                          "SetCryptoParamValue(" + context + ", 13, \"Bank\") = 0",
                          "SetCryptoParamValue(" + context + ", 14, \"\") = 0",
                          "SetCryptoParamValue(" + context + ", 16, \"dave@bank.example\") = 0",
                          "SetCryptoParamValue(" + context + ", 23, \"Cashier\") = 0",
                          "SetCryptoParamValue(" + context + ", 20, \"\") = 0",
                          "MakeRequestForPSE(" + context + ", \"" + keys + "\", \"" + request + "\") = 0",
                          "DoneCrypto(" + context + ") = 0"));
  EXPECT_THAT(Hooks().Calls("GenerateNewSEK"), IsEmpty());
  EXPECT_THAT(Hooks().Calls("GenerateNewSSK"), IsEmpty());
}

TEST_F(PSEGeneration, KeySetAndRequestAreWritten) {
  ASSERT_EQ(api().GenerateNewSEK(engine()), 0);
  EXPECT_TRUE(keys_.Exists("uz.db3"));
  EXPECT_TRUE(keys_.Exists("DB/SIGN/sec_sgn.key"));
  EXPECT_THAT(work_.ReadFile("request.pem"),
              HasSubstr("Subject: /C=RU/ST=Region/L=Town/O=Bank/CN=Dave/E=dave@bank.example/T=Cashier\n"));
  // The engine's own values are as the host set them.
  EXPECT_EQ(ParamValue(21), "1");
  EXPECT_EQ(ParamValue(1), certs_ / "own.pem");
}

TEST_F(PSEGeneration, SigningKeyGenerationIsTheSameRequest) {
  EXPECT_EQ(api().GenerateNewSSK(engine()), 0);
  EXPECT_THAT(Hooks().Calls("MakeRequestForPSE"), SizeIs(1));
  EXPECT_THAT(Hooks().Calls("GenerateNewSSK"), IsEmpty());
  EXPECT_TRUE(keys_.Exists("uz.db3"));
  EXPECT_TRUE(work_.Exists("request.pem"));
}

TEST_F(PSEGeneration, RequestFileUnderTheRootIsExpanded) {
  SetParam(9, "%QamRoot%\\request.pem");
  ASSERT_EQ(api().GenerateNewSEK(engine()), 0);
  const auto calls = Hooks().Calls("MakeRequestForPSE");
  ASSERT_THAT(calls, SizeIs(1));
  EXPECT_THAT(calls[0], HasSubstr(", \"" + Upper(ProgramRoot().path() + "\\request.pem") + "\") = 0"));
  EXPECT_TRUE(std::filesystem::exists(ProgramRoot() / "REQUEST.PEM"));
  std::filesystem::remove(ProgramRoot() / "REQUEST.PEM");
}

TEST_F(PSEGeneration, ModuleFailureComesBackUnchangedAndTheContextIsClosed) {
  // No request file: the module's own 1015.
  SetParam(9, "");
  EXPECT_EQ(api().GenerateNewSEK(engine()), 1015);
  const std::string context = LastOpenedContext();
  EXPECT_THAT(Hooks().Calls("DoneCrypto"), ElementsAre("DoneCrypto(" + context + ") = 0"));
  EXPECT_FALSE(keys_.Exists("uz.db3"));

  Hooks().Script("MakeRequestForPSE", 77, 1);
  EXPECT_EQ(api().GenerateNewSSK(engine()), 77);
}

}  // namespace
}  // namespace cryptlib::test
