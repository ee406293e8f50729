// The engine over the 2.x module (the fake's default flavour) as a host sees
// it: parameters, texts, encryption, signatures, and what reaches the module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kAlice = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBob = "/C=RU/O=Bank/CN=Bob";

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// ---------------------------------------------------------------- parameters

using Parameters = FakeEngineTest;

TEST_F(Parameters, FreshEngineHoldsTheDefaultsAndTheModuleCount) {
  EXPECT_EQ(ParamValue(4), "RUS-GAMMAR");
  EXPECT_EQ(ParamValue(5), "R3410-R3411");
  EXPECT_EQ(ParamValue(6), "1024");
  EXPECT_EQ(ParamValue(11), "RU");
  EXPECT_EQ(ParamValue(27), "");
  EXPECT_EQ(api().GetCryptoParamNumber(engine()), 26);
  EXPECT_EQ(api().GetMaxSignAddition(engine()), 1024 + 332);
  char name[64] = {};
  api().GetCryptoParamName(engine(), 1, name);
  EXPECT_STREQ(name, "Param1");
  api().GetCryptoParamName(engine(), 26, name);
  EXPECT_STREQ(name, "Param26");
}

TEST_F(Parameters, FileParametersExpandTheRootOthersAreKeptAsGiven) {
  SetParam(3, "%QamRoot%\\Keys");
  EXPECT_EQ(ParamValue(3), Upper(ProgramRoot().path() + "\\Keys"));
  SetParam(26, "%qamroot%crl");
  EXPECT_EQ(ParamValue(26), Upper(ProgramRoot().path() + "\\crl"));
  SetParam(16, "%QamRoot%\\Keys");
  EXPECT_EQ(ParamValue(16), "%QamRoot%\\Keys");
  // Parameter 24 names a directory only for the first module generation.
  SetParam(24, "%QamRoot%\\ca");
  EXPECT_EQ(ParamValue(24), "%QamRoot%\\ca");
}

TEST_F(Parameters, BadIndexesAndValuesLeaveTheValuesAlone) {
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 28, "x"), -1);
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 0, "x"), -101);
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 4, nullptr), -101);
  EXPECT_EQ(ParamValue(4), "RUS-GAMMAR");
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 27, "last"), 0);
  EXPECT_EQ(ParamValue(27), "last");
}

TEST_F(Parameters, ParamInfoSizeQueryAndTooSmallBuffer) {
  int32_t kind = 0, size = 0;
  EXPECT_EQ(api().GetParamInfo(engine(), 4, &kind, nullptr, &size), 0);
  EXPECT_EQ(kind, 7);
  EXPECT_EQ(size, 25);
  char text[64];
  std::memset(text, 'z', sizeof(text));
  size = 10;
  EXPECT_EQ(api().GetParamInfo(engine(), 4, &kind, text, &size), -101);
  EXPECT_EQ(size, 25);
  EXPECT_EQ(text[0], 'z');
  size = 25;
  EXPECT_EQ(api().GetParamInfo(engine(), 4, &kind, text, &size), 0);
  EXPECT_STREQ(text, "RUS-GAMMAR\r\nDES-EDE3-CBC");
  EXPECT_EQ(api().GetParamInfo(engine(), 4, nullptr, text, &size), -101);
}

TEST_F(Parameters, ParamInfoKindsMasksAndModuleCount) {
  struct Expected {
    int32_t index, kind;
    const char* text;
  };
  for (const Expected& e : {Expected{1, 10, "*.pem;*.cer"}, Expected{19, 4, "255"}, Expected{22, 1, "0..2147483640"},
                            Expected{24, 2, "255"}, Expected{26, 11, "*.pem;*.crl"}}) {
    int32_t kind = 0, size = 64;
    char text[64] = {};
    EXPECT_EQ(api().GetParamInfo(engine(), e.index, &kind, text, &size), 0) << e.index;
    EXPECT_EQ(kind, e.kind) << e.index;
    EXPECT_STREQ(text, e.text) << e.index;
  }
  int32_t kind = -5, size = 64;
  for (int32_t index : {0, 27}) EXPECT_EQ(api().GetParamInfo(engine(), index, &kind, nullptr, &size), -126);
  EXPECT_EQ(kind, -5);
  // Parameters the module does not count have no description.
  Hooks().Script("GetCryptoParamNumber", 20, -1);
  EXPECT_EQ(api().GetParamInfo(engine(), 20, &kind, nullptr, &size), 0);
  EXPECT_EQ(api().GetParamInfo(engine(), 21, &kind, nullptr, &size), -126);
}

// --------------------------------------------------------------- error texts

using ErrorTexts = FakeEngineTest;

TEST_F(ErrorTexts, EngineBindingAndModuleTexts) {
  EXPECT_EQ(ErrorText(-101), "Null pointer or incorrect data size (buffer) passed to the function!");
  EXPECT_EQ(ErrorText(-102), "An exception in the function - ");
  EXPECT_EQ(ErrorText(-100), "Library not initialized ");
  EXPECT_EQ(ErrorText(-109), "Remote genarate path isn't set or set incorrect.");
  EXPECT_EQ(ErrorText(-128), "Unable to retrive all necessary functionns from mplug*.dll");
  EXPECT_EQ(ErrorText(-3), "Bad parameters passed");
  EXPECT_EQ(ErrorText(-6), "Unable to load private key for operation");
  EXPECT_EQ(ErrorText(1011), "Signature does not match the data");
  // No engine text: the module names them.
  EXPECT_EQ(ErrorText(-106), "Unknown error -106");
  EXPECT_EQ(ErrorText(-105), "Unknown error -105");
}

TEST_F(ErrorTexts, ATextLongerThanTheModulesMaximumIsNeverCut) {
  Hooks().Script("GetMaxErrorStringLength", 20, -1);
  char text[64];
  std::memset(text, 'z', sizeof(text));
  api().GetCryptoErrorString(engine(), -117, text);
  EXPECT_STREQ(text, "Low memory.");
  EXPECT_EQ(text[20], 'z');
  std::memset(text, 'z', sizeof(text));
  api().GetCryptoErrorString(engine(), -101, text);
  EXPECT_EQ(std::string(text, 20), std::string(20, '\0'));
  EXPECT_EQ(text[20], 'z');
  // The binding's own texts fill the bound exactly, without a terminator.
  std::memset(text, 'z', sizeof(text));
  api().GetCryptoErrorString(engine(), -3, text);
  EXPECT_EQ(std::string(text, 21), "Bad parameters passez");
}

TEST_F(ErrorTexts, AnExceptionInsideAnOperationIsRecordedAndReadable) {
  // A module counting more parameters than the engine holds cannot be given
  // a snapshot.
  Hooks().Script("GetCryptoParamNumber", 40, -1);
  char data[64] = "payload";
  int32_t length = 7;
  EXPECT_EQ(api().EncodeData(engine(), data, &length, nullptr), -102);
  EXPECT_EQ(length, 7);
  const std::string recorded = "TMProCryptoEngine.EncodeData: EListError: List index out of bounds (40)";
  EXPECT_EQ(ErrorText(-102), "An exception in the function - " + recorded);
  EXPECT_EQ(ErrorText(-100), "Library not initialized " + recorded);
  EXPECT_THAT(Hooks().Calls("EncodeData"), IsEmpty());
}

TEST_F(ErrorTexts, LastErrorMessageIsTheModulesForTheEnginesContext) {
  // The module keeps its last error per context: the context must live long
  // enough to be found again (an empty lifetime lasts one clock tick).
  SetParam(22, "3600");
  BecomeUser(engine(), "Alice.pem");
  AddCertificate("Alice.pem", kAlice);
  char data[64] = "not an envelope";
  int32_t length = 15;
  char uid[40];
  EXPECT_EQ(api().DecodeData(engine(), data, &length, uid), 1008);
  char message[256] = {};
  api().GetLastErrorMessage(engine(), message);
  EXPECT_THAT(message, StartsWith("Data is not encrypted or is damaged"));
}

// ---------------------------------------------------------------- encryption

class Encryption : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    AddCertificate("Alice.pem", kAlice);
    AddCertificate("Bob.cer", kBob);
    BecomeUser(engine(), "Alice.pem");
  }
  // The recipient list the module received in its single EncodeData call.
  std::string RecipientsSent() const {
    std::vector<std::string> calls = Hooks().Calls("EncodeData");
    if (calls.size() != 1) return "<" + std::to_string(calls.size()) + " calls>";
    const std::string& line = calls[0];
    size_t start = line.find('"');
    return line.substr(start + 1, line.rfind('"') - start - 1);
  }
};

TEST_F(Encryption, TwoAbonentsThenEachDecrypts) {
  std::vector<char> buffer(5 + 2 * 4096, '\0');
  std::memcpy(buffer.data(), "hello", 5);
  int32_t length = 5;
  ASSERT_EQ(api().EncodeData(engine(), buffer.data(), &length, "Alice;Bob"), 0);
  EXPECT_EQ(RecipientsSent(), std::string(kAlice) + ";" + kBob);
  EXPECT_GT(length, 5);
  const std::vector<char> sealed(buffer.begin(), buffer.begin() + length);

  char uid[40];
  int32_t plainLength = length;
  ASSERT_EQ(api().DecodeData(engine(), buffer.data(), &plainLength, uid), 0);
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(plainLength)), "hello");
  EXPECT_STREQ(uid, "Alice");

  CRYPT_HANDLE bob = api().GetCryptObj();
  SetParam(bob, 2, certs_.path());
  BecomeUser(bob, "Bob.cer");
  std::vector<char> copy = sealed;
  plainLength = length;
  EXPECT_EQ(api().DecodeData(bob, copy.data(), &plainLength, uid), 0);
  EXPECT_EQ(std::string(copy.data(), static_cast<size_t>(plainLength)), "hello");
  EXPECT_STREQ(uid, "Bob");
  api().DoneEngine(bob);
}

TEST_F(Encryption, SerialNumbersPassToTheModuleUnchangedEmptyEntriesIncluded) {
  SetParam(20, "SN");
  char data[64] = "data";
  int32_t length = 4;
  api().EncodeData(engine(), data, &length, "0A1B;;Bob");
  EXPECT_EQ(RecipientsSent(), "0A1B;;Bob");
  // No certificate was read to name a recipient.
  EXPECT_THAT(Hooks().Calls("GetCurrentUID"), IsEmpty());
}

TEST_F(Encryption, RefusalsNeverReachTheModule) {
  // Room for the envelope of the one call that reaches the module ("carl").
  char data[4096] = "data";
  int32_t length = 4;
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice;;Bob"), -110);
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice;Carol"), -113);
  // A file named after the UID must hold that holder's certificate, exactly.
  AddCertificate("Carol.pem", kBob);
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Carol"), -106);
  // Files are found without regard to letter case, and so is their holder:
  // "carl" is Carl (his file and certificate), not a mismatch.
  AddCertificate("carl.pem", "/C=RU/CN=Carl");
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "carl"), 0);
  Hooks().Reset();
  length = 4;
  EXPECT_EQ(api().EncodeData(engine(), nullptr, &length, "Alice"), -101);
  EXPECT_EQ(api().EncodeData(engine(), data, nullptr, "Alice"), -101);
  EXPECT_EQ(api().DecodeData(engine(), data, &length, nullptr), -101);
  EXPECT_EQ(length, 4);
  length = 0;
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice"), -101);
  EXPECT_THAT(Hooks().Calls("EncodeData"), IsEmpty());
  EXPECT_THAT(Hooks().Calls("DecodeData"), IsEmpty());
}

TEST_F(Encryption, WithoutAListTheDefaultRecipientsOrTheModulesChoice) {
  std::vector<char> buffer(4200, '\0');
  int32_t length = 4;
  ASSERT_EQ(api().EncodeData(engine(), buffer.data(), &length, nullptr), 0);
  EXPECT_EQ(RecipientsSent(), "");
  Hooks().Reset();
  SetParam(19, "  Bob \t");
  length = 4;
  ASSERT_EQ(api().EncodeData(engine(), buffer.data(), &length, ""), 0);
  EXPECT_EQ(RecipientsSent(), kBob);
}

// ---------------------------------------------------------------- signatures

class Signatures : public Encryption {
 protected:
  std::vector<char> signature_ = std::vector<char>(1024, '\0');
  int32_t signatureLength_ = 1024;
};

TEST_F(Signatures, SignVerifyAndTheSignersCommonName) {
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  EXPECT_THAT(Hooks().Calls("SignData"), ElementsAre(HasSubstr("buf, &1024, \"\") = 0")));
  EXPECT_THAT(Hooks().Calls("GetCurrentUID"), IsEmpty());
  char uid[40];
  ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), signatureLength_, uid), 0);
  EXPECT_STREQ(uid, "Alice");
  // A named signer is handed over as its subject line.
  int32_t length = 1024;
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &length, "Bob"), 0);
  EXPECT_THAT(Hooks().Calls("SignData").back(), HasSubstr(std::string("\"") + kBob + "\") = 0"));
  ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), length, uid), 0);
  EXPECT_STREQ(uid, "Bob");
}

TEST_F(Signatures, AParameterSetBetweenCallsReachesTheNextCall) {
  SetParam(22, "3600");
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  SetParam(6, "2048");
  signatureLength_ = 1024;
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  const std::vector<int32_t> opened = Hooks().Opened();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_THAT(Hooks().Calls("SetCryptoParamValue"),
              testing::Contains("SetCryptoParamValue(" + std::to_string(opened[1]) + ", 5, \"2048\") = 0"));
  EXPECT_EQ(Hooks().FirstArguments("SignData"), (std::vector<int32_t>{opened[0], opened[1]}));
  // The value set back selects the first context again, still live.
  SetParam(6, "1024");
  signatureLength_ = 1024;
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  EXPECT_EQ(Hooks().Opened().size(), 2u);
  EXPECT_EQ(Hooks().FirstArguments("SignData").back(), opened[0]);
}

TEST_F(Signatures, SerialNumberFieldGivesTheModulesStringUnchanged) {
  SetParam(20, "SN");
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  char uid[40] = {};
  ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), signatureLength_, uid), 0);
  EXPECT_GT(std::strlen(uid), 0u);
  EXPECT_EQ(std::string(uid).find('/'), std::string::npos) << uid;
  EXPECT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, uid), 0);
  EXPECT_THAT(Hooks().Calls("SignData").back(), HasSubstr(std::string("\"") + uid + "\") = 0"));
}

TEST_F(Signatures, AFailedVerificationLeavesTheUIDBufferAlone) {
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  char uid[40];
  std::memset(uid, 'z', sizeof(uid));
  EXPECT_EQ(api().VerifyData(engine(), "dada", 4, signature_.data(), signatureLength_, uid), 1011);
  EXPECT_EQ(uid[0], 'z');
  Hooks().Reset();
  EXPECT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), 0, uid), -101);
  EXPECT_EQ(api().VerifyData(engine(), "data", 4, nullptr, signatureLength_, uid), -101);
  EXPECT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), signatureLength_, nullptr), -101);
  EXPECT_EQ(api().SignData(engine(), "data", 4, nullptr, &signatureLength_, nullptr), -101);
  EXPECT_EQ(api().SignData(engine(), "data", 0, signature_.data(), &signatureLength_, nullptr), -101);
  EXPECT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, "Carol"), -113);
  EXPECT_THAT(Hooks().Calls("VerifyData"), IsEmpty());
  EXPECT_THAT(Hooks().Calls("SignData"), IsEmpty());
  EXPECT_EQ(uid[0], 'z');
}

TEST_F(Signatures, VerifyWithoutValidityUsesTheModulesOwnFunction) {
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  char uid[40] = {};
  ASSERT_EQ(api().VerifySignWOCheckValidity(engine(), "data", 4, signature_.data(), signatureLength_, uid), 0);
  EXPECT_STREQ(uid, "Alice");
  EXPECT_EQ(Hooks().Calls("VerifyDataIgnoreTime").size(), 1u);
  EXPECT_THAT(Hooks().Calls("VerifyData"), IsEmpty());
  EXPECT_EQ(api().VerifySignWOCheckValidity(engine(), "data", 4, signature_.data(), 0, uid), -101);
}

TEST_F(Signatures, AttachedSignatureRoundTrip) {
  std::vector<char> buffer(6 + 1024 + 332, '\0');
  std::memcpy(buffer.data(), "letter", 6);
  int32_t length = 6;
  ASSERT_EQ(api().AddSign(engine(), buffer.data(), &length, nullptr), 0);
  EXPECT_THAT(Hooks().Calls("SignData"), ElementsAre(HasSubstr("buf, 6, null, &1030, \"\") = 0")));
  EXPECT_GT(length, 6);
  char uid[40];
  ASSERT_EQ(api().RemoveSign(engine(), buffer.data(), &length, uid), 0);
  EXPECT_EQ(length, 6);
  EXPECT_EQ(std::string(buffer.data(), 6), "letter");
  EXPECT_STREQ(uid, "Alice");
}

TEST_F(Signatures, AttachedSignatureArgumentsAndRefusals) {
  char buffer[64] = "letter";
  int32_t length = 6;
  char uid[40];
  EXPECT_EQ(api().RemoveSign(engine(), buffer, &length, nullptr), -101);
  EXPECT_EQ(api().AddSign(engine(), nullptr, &length, nullptr), -101);
  EXPECT_THAT(Hooks().Log(), IsEmpty());
  // A refusal still reports the capacity the module was given.
  Hooks().Script("SignData", 1010, 1);
  EXPECT_EQ(api().AddSign(engine(), buffer, &length, nullptr), 1010);
  EXPECT_EQ(length, 1024 + 6);
  length = 6;
  EXPECT_EQ(api().RemoveSign(engine(), buffer, &length, uid), 1012);
}

// A holder whose common name does not fit the host's 40-byte UID buffer.
TEST_F(Signatures, LongUIDsAreCutToTheHostsBuffer) {
  const std::string longName(60, 'L');
  AddCertificate("Long.pem", "/C=RU/CN=" + longName);
  BecomeUser(engine(), "Long.pem");
  const std::string expected(39, 'L');
  struct Guarded {
    char uid[40];
    char after[24];
  } out;
  auto reset = [&] { std::memset(&out, 'z', sizeof(out)); };
  auto check = [&](const char* what) {
    EXPECT_EQ(std::string(out.uid), expected) << what;
    EXPECT_EQ(std::string(out.after, sizeof(out.after)), std::string(sizeof(out.after), 'z')) << what;
  };
  reset();
  ASSERT_EQ(api().GetCurrentUserUID(engine(), out.uid), 0);
  check("GetCurrentUserUID");
  ASSERT_EQ(api().SignData(engine(), "data", 4, signature_.data(), &signatureLength_, nullptr), 0);
  reset();
  ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature_.data(), signatureLength_, out.uid), 0);
  check("VerifyData");
  std::vector<char> buffer(4 + 1024 + 332, '\0');
  int32_t length = 4;
  ASSERT_EQ(api().AddSign(engine(), buffer.data(), &length, nullptr), 0);
  reset();
  ASSERT_EQ(api().RemoveSign(engine(), buffer.data(), &length, out.uid), 0);
  check("RemoveSign");
  // An encoding UID is only ever handed back whole.
  reset();
  EXPECT_EQ(api().GetEncodeUIDBySignUID(engine(), longName.c_str(), out.uid), -103);
  EXPECT_EQ(out.uid[0], 'z');
  EXPECT_EQ(api().GetEncodeUIDBySignUID(engine(), expected.c_str(), out.uid), 0);
  check("GetEncodeUIDBySignUID");
}

TEST_F(Signatures, CurrentUserWithoutTheFieldInTheSubject) {
  AddCertificate("Nameless.pem", "/C=RU/O=Bank");
  BecomeUser(engine(), "Nameless.pem");
  char uid[40];
  std::memset(uid, 'z', sizeof(uid));
  ASSERT_EQ(api().GetCurrentUserUID(engine(), uid), 0);
  EXPECT_STREQ(uid, "");
  SetParam(20, "O");
  ASSERT_EQ(api().GetCurrentUserUID(engine(), uid), 0);
  EXPECT_STREQ(uid, "Bank");
  EXPECT_EQ(api().GetCurrentUserUID(engine(), nullptr), -101);
}

}  // namespace
}  // namespace cryptlib::test
