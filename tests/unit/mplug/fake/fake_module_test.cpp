// The fake vendor module's own contract, checked on its v2 flavour loaded by
// its full path: the data operations the engine relies on, the dumps, key
// generation and the test hooks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "fake/fake_hooks.h"
#include "mplug.h"
#include "platform/platform.h"

namespace {

using cryptlib::platform::Os;
using cryptlib::test::TestDir;

constexpr const char* kAlice = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBob = "/C=RU/O=Bank/CN=Bob";

struct Module {
#define FAKE_TEST_FIELD(number, name, mandatory, result, params) MPlug_##name##_Fn name = nullptr;
  MPLUG_FUNCTION_LIST(FAKE_TEST_FIELD)
#undef FAKE_TEST_FIELD
  FakeLogRead_Fn LogRead = nullptr;
  FakeScriptResult_Fn ScriptResult = nullptr;
  FakeReset_Fn Reset = nullptr;
  FakeIssueCertificate_Fn IssueCertificate = nullptr;
  FakeOpenContextCount_Fn OpenContextCount = nullptr;
};

std::string CertificateText(const std::string& subject, const std::string& sn, const std::string& notAfter) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject +
         "\nIssuer: /C=RU/O=Bank/CN=Bank CA\nSerial: 0a:1b:2c\nNotBefore: 05.03.2004 12:34:56\nNotAfter: " + notAfter +
         "\nSN: " + sn + "\nPublicKey: c3a1b2\n-----END CERTIFICATE-----\n";
}

class FakeModuleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    handle_ = Os().LoadModule(
        std::string(CRYPTLIB_FAKE_DIR) + "/v2/" + cryptlib::platform::ModuleFileNameFor("mplug2.dll"), &error);
    ASSERT_NE(handle_, nullptr) << error;
#define FAKE_TEST_BIND(number, name, mandatory, result, params) \
  module_.name = reinterpret_cast<MPlug_##name##_Fn>(Os().FindSymbol(handle_, #name));
    MPLUG_FUNCTION_LIST(FAKE_TEST_BIND)
#undef FAKE_TEST_BIND
    module_.LogRead = reinterpret_cast<FakeLogRead_Fn>(Os().FindSymbol(handle_, "FakeLogRead"));
    module_.ScriptResult = reinterpret_cast<FakeScriptResult_Fn>(Os().FindSymbol(handle_, "FakeScriptResult"));
    module_.Reset = reinterpret_cast<FakeReset_Fn>(Os().FindSymbol(handle_, "FakeReset"));
    module_.IssueCertificate =
        reinterpret_cast<FakeIssueCertificate_Fn>(Os().FindSymbol(handle_, "FakeIssueCertificate"));
    module_.OpenContextCount =
        reinterpret_cast<FakeOpenContextCount_Fn>(Os().FindSymbol(handle_, "FakeOpenContextCount"));
  }

  void SetUp() override {
    ASSERT_NE(module_.Reset, nullptr);
    module_.Reset();
    dir_.WriteFile("certs/alice.pem", CertificateText(kAlice, "SNALICE", "31.12.2099 23:59:59"));
    dir_.WriteFile("certs/bob.pem", CertificateText(kBob, "SNBOB", "31.12.2099 23:59:59"));
  }

  void TearDown() override {
    for (MPlugContext context : contexts_) module_.DoneCrypto(context);
  }

  // A context whose own certificate is certs/<own> and that knows certs/.
  MPlugContext ContextFor(const std::string& own, const char* uidField = "") {
    MPlugContext context = module_.InitCrypto();
    contexts_.push_back(context);
    module_.SetCryptoParamValue(context, 0, (dir_ / ("certs/" + own)).c_str());
    module_.SetCryptoParamValue(context, 1, (dir_ / "certs").c_str());
    module_.SetCryptoParamValue(context, 19, uidField);
    return context;
  }

  std::string Log() {
    std::string log(static_cast<size_t>(module_.LogRead(nullptr, 0)), '\0');
    module_.LogRead(log.data(), static_cast<int32_t>(log.size()));
    log.pop_back();
    return log;
  }

  static bool IsModuleCode(int32_t code) {
    return code != 0 && !(code >= -6 && code <= -1) && !(code >= -128 && code <= -100);
  }

  static inline cryptlib::platform::ModuleHandle handle_ = nullptr;
  static inline Module module_;
  TestDir dir_;
  std::vector<MPlugContext> contexts_;
};

TEST_F(FakeModuleTest, EncryptsForTwoRecipientsWithinTheAnnouncedGrowth) {
  MPlugContext alice = ContextFor("alice.pem");
  const std::string plain = "payment order 42";
  std::vector<char> buffer(plain.size() + static_cast<size_t>(module_.GetMaxEncodeAddition()));
  std::memcpy(buffer.data(), plain.data(), plain.size());
  int32_t length = static_cast<int32_t>(plain.size());
  std::string recipients = std::string(kAlice) + ";" + kBob;

  ASSERT_EQ(module_.EncodeData(alice, buffer.data(), &length, recipients.c_str()), 0);
  EXPECT_GT(length, static_cast<int32_t>(plain.size()));
  EXPECT_LE(length - static_cast<int32_t>(plain.size()), module_.GetMaxEncodeAddition());
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)).find(plain), std::string::npos);

  std::vector<char> copy(buffer);
  int32_t copyLength = length;
  char uid[256] = {};
  ASSERT_EQ(module_.DecodeData(ContextFor("bob.pem"), buffer.data(), &length, uid), 0);
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(length)), plain);
  EXPECT_STREQ(uid, kBob);
  ASSERT_EQ(module_.DecodeData(alice, copy.data(), &copyLength, uid), 0);
  EXPECT_EQ(std::string(copy.data(), static_cast<size_t>(copyLength)), plain);
}

TEST_F(FakeModuleTest, RefusesForeignOrDamagedEnvelopesAndUnknownRecipients) {
  dir_.WriteFile("carol.pem", CertificateText("/C=RU/O=Bank/CN=Carol", "SNCAROL", "31.12.2099 23:59:59"));
  MPlugContext alice = ContextFor("alice.pem");
  std::vector<char> buffer(4200, 'x');
  int32_t length = 10;
  ASSERT_EQ(module_.EncodeData(alice, buffer.data(), &length, kBob), 0);

  MPlugContext carol = module_.InitCrypto();
  contexts_.push_back(carol);
  module_.SetCryptoParamValue(carol, 0, (dir_ / "carol.pem").c_str());
  int32_t carolLength = length;
  std::vector<char> forCarol(buffer);
  int32_t code = module_.DecodeData(carol, forCarol.data(), &carolLength, nullptr);
  EXPECT_TRUE(IsModuleCode(code)) << code;
  char text[256] = {};
  module_.GetLastErrorMessage(carol, text);
  EXPECT_NE(std::string(text), "");

  buffer[static_cast<size_t>(length) - 1] ^= 1;
  EXPECT_TRUE(IsModuleCode(module_.DecodeData(ContextFor("bob.pem"), buffer.data(), &length, nullptr)));

  int32_t plainLength = 5;
  EXPECT_TRUE(IsModuleCode(module_.EncodeData(alice, buffer.data(), &plainLength, "/C=RU/CN=Nobody")));
  EXPECT_EQ(plainLength, 5);
}

TEST_F(FakeModuleTest, DetachedSignatureNamesTheSignerAndCatchesATamperedByte) {
  std::string data = "statement";
  std::vector<char> signature(static_cast<size_t>(module_.GetMaxSignatureLength()));
  int32_t signatureLength = static_cast<int32_t>(signature.size());
  ASSERT_EQ(module_.SignData(ContextFor("alice.pem"), data.data(), static_cast<int32_t>(data.size()), signature.data(),
                             &signatureLength, ""),
            0);

  int32_t length = static_cast<int32_t>(data.size());
  char uid[256] = {};
  ASSERT_EQ(module_.VerifyData(ContextFor("bob.pem"), data.data(), &length, signature.data(), signatureLength, uid), 0);
  EXPECT_STREQ(uid, kAlice);
  ASSERT_EQ(
      module_.VerifyData(ContextFor("bob.pem", "SN"), data.data(), &length, signature.data(), signatureLength, uid), 0);
  EXPECT_STREQ(uid, "SNALICE");

  data[3] ^= 0x20;
  std::strcpy(uid, "untouched");
  EXPECT_TRUE(IsModuleCode(
      module_.VerifyData(ContextFor("bob.pem"), data.data(), &length, signature.data(), signatureLength, uid)));
  EXPECT_STREQ(uid, "untouched");
}

TEST_F(FakeModuleTest, AttachedSignatureIsAppendedAndRemovedByVerification) {
  std::string data = "public key transfer";
  std::vector<char> buffer(data.size() + static_cast<size_t>(module_.GetMaxSignatureLength()));
  std::memcpy(buffer.data(), data.data(), data.size());
  int32_t capacity = static_cast<int32_t>(buffer.size());
  ASSERT_EQ(module_.SignData(ContextFor("alice.pem"), buffer.data(), static_cast<int32_t>(data.size()), nullptr,
                             &capacity, nullptr),
            0);
  ASSERT_GT(capacity, static_cast<int32_t>(data.size()));

  int32_t length = capacity;
  char uid[256] = {};
  ASSERT_EQ(module_.VerifyData(ContextFor("bob.pem"), buffer.data(), &length, nullptr, capacity, uid), 0);
  EXPECT_EQ(length, static_cast<int32_t>(data.size()));
  EXPECT_EQ(std::string(buffer.data(), data.size()), data);
  EXPECT_STREQ(uid, kAlice);
}

TEST_F(FakeModuleTest, ExpiredSignerFailsVerificationUnlessTimeIsIgnored) {
  dir_.WriteFile("certs/old.pem", CertificateText("/C=RU/CN=Old", "SNOLD", "01.01.2001 00:00:00"));
  std::string data = "old";
  char signature[1024];
  int32_t signatureLength = sizeof signature;
  ASSERT_EQ(module_.SignData(ContextFor("old.pem"), data.data(), 3, signature, &signatureLength, ""), 0);
  int32_t length = 3;
  char uid[256] = {};
  MPlugContext bob = ContextFor("bob.pem");
  EXPECT_TRUE(IsModuleCode(module_.VerifyData(bob, data.data(), &length, signature, signatureLength, uid)));
  EXPECT_EQ(module_.VerifyDataIgnoreTime(bob, data.data(), &length, signature, signatureLength, uid), 0);
  EXPECT_STREQ(uid, "/C=RU/CN=Old");
}

TEST_F(FakeModuleTest, CertificateDumpHasTheOpensslLayout) {
  std::string certificate = dir_.ReadFile("certs/alice.pem");
  std::vector<char> info(static_cast<size_t>(module_.GetMaxCertInfoLength()));
  ASSERT_EQ(module_.GetCertInfo(ContextFor("alice.pem"), certificate.data(), static_cast<int32_t>(certificate.size()),
                                info.data()),
            0);
  std::string dump = info.data();
  for (const char* expected :
       {"Certificate:\n    Data:\n        Version: 3 (0x2)\n", "        Serial Number:\n            0a:1b:2c\n",
        "        Issuer: C=RU, O=Bank, CN=Bank CA\n        Validity\n",
        "            Not Before: Mar  5 12:34:56 2004 GMT\n", "            Not After : Dec 31 23:59:59 2099 GMT\n",
        "        Subject: C=RU, O=Bank, CN=Alice\n        Subject Public Key Info:\n",
        "            Public Key Algorithm: rsaEncryption\n",
        "                Modulus:\n                    00:c3:a1:b2\n                Exponent: "}) {
    EXPECT_NE(dump.find(expected), std::string::npos) << expected << "\nin\n" << dump;
  }
}

TEST_F(FakeModuleTest, CertificateRecordIsFilledAndReleased) {
  std::string certificate = dir_.ReadFile("certs/alice.pem");
  MPlugContext context = ContextFor("alice.pem");
  MPlugCertInfo info{};
  ASSERT_EQ(module_.GetCertInfoEx(context, certificate.data(), static_cast<int32_t>(certificate.size()), &info), 0);
  EXPECT_STREQ(info.serialNumber, "0a:1b:2c");
  EXPECT_STREQ(info.validFrom, "05.03.2004 12:34:56");
  EXPECT_STREQ(info.issuer.commonName, "Bank CA");
  EXPECT_STREQ(info.subject.organisation, "Bank");
  EXPECT_STREQ(info.subject.email, "");
  EXPECT_EQ(std::string(info.publicKey).rfind("Public Key Algorithm: ", 0), 0u);
  module_.FreeCertInfo(context, &info);
  EXPECT_EQ(info.subject.commonName, nullptr);
  EXPECT_EQ(info.publicKey, nullptr);
}

TEST_F(FakeModuleTest, GeneratedKeysMatchTheIssuedCertificateOnly) {
  MPlugContext context = ContextFor("alice.pem");
  module_.SetCryptoParamValue(context, 10, "RU");
  module_.SetCryptoParamValue(context, 15, "Dave");
  std::string keys = dir_ / "keys";
  std::string request = dir_ / "req.pem";
  ASSERT_EQ(module_.MakeRequestForPSE(context, keys.c_str(), request.c_str()), 0);
  for (const char* file :
       {"keys/uz.db3", "keys/gk.db3", "keys/num", "keys/DB/CRYPT/ckd.key", "keys/DB/SIGN/sec_sgn.key", "keys/mk.db3",
        "keys/masks.db3", "keys/kek.opq", "keys/rand.opq"}) {
    EXPECT_TRUE(dir_.Exists(file)) << file;
  }
  EXPECT_NE(dir_.ReadFile("req.pem").find("-----BEGIN CERTIFICATE REQUEST-----"), std::string::npos);

  std::string certificate = dir_ / "dave.pem";
  ASSERT_EQ(module_.IssueCertificate(request.c_str(), "/CN=Bank CA", certificate.c_str()), 0);
  EXPECT_NE(module_.CertificateAndRequestMatch(context, certificate.c_str(), request.c_str()), 0);
  char keyFile[1024] = {};
  EXPECT_NE(module_.CertificateAndPSePrivateKeysMatch(context, certificate.c_str(), keys.c_str(), keyFile), 0);
  EXPECT_NE(std::string(keyFile).find("sec_sgn.key"), std::string::npos);

  ASSERT_EQ(module_.MakeRequestForPSE(context, keys.c_str(), (dir_ / "req2.pem").c_str()), 0);
  EXPECT_EQ(module_.CertificateAndPSePrivateKeysMatch(context, certificate.c_str(), keys.c_str(), keyFile), 0);
  EXPECT_EQ(module_.CertificateAndRequestMatch(context, certificate.c_str(), (dir_ / "req2.pem").c_str()), 0);
}

TEST_F(FakeModuleTest, ClosedContextsAndBadIndexesAreRefusedWithTexts) {
  EXPECT_EQ(module_.GetCryptoParamNumber(), 26);
  MPlugContext context = module_.InitCrypto();
  char text[256] = {};
  ASSERT_EQ(module_.GetCryptoParamName(context, 0, text), 0);
  EXPECT_STREQ(text, "Param1");
  int32_t badIndex = module_.SetCryptoParamValue(context, 26, "x");
  EXPECT_TRUE(IsModuleCode(badIndex));
  int32_t openBefore = module_.OpenContextCount();
  ASSERT_EQ(module_.DoneCrypto(context), 0);
  EXPECT_EQ(module_.OpenContextCount(), openBefore - 1);

  int32_t closed = module_.GetCurrentUID(context, text);
  EXPECT_TRUE(IsModuleCode(closed));
  EXPECT_NE(closed, badIndex);
  for (int32_t code : {closed, badIndex}) {
    text[0] = '\0';
    module_.GetCryptoErrorString(code, text);
    EXPECT_NE(std::string(text), "") << code;
  }
}

TEST_F(FakeModuleTest, FindsFilesWhoseNamesDifferInLetterCase) {
  MPlugContext context = module_.InitCrypto();
  contexts_.push_back(context);
  std::string upper = dir_ / "CERTS/ALICE.PEM";
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  module_.SetCryptoParamValue(context, 0, upper.c_str());
  char uid[256] = {};
  ASSERT_EQ(module_.GetCurrentUID(context, uid), 0);
  EXPECT_STREQ(uid, kAlice);
}

TEST_F(FakeModuleTest, LogsCallsAndAnswersScriptedResultsWithoutWork) {
  MPlugContext context = ContextFor("alice.pem");
  std::string expectedLine =
      "SetCryptoParamValue(" + std::to_string(context) + ", 1, \"" + (dir_ / "certs") + "\") = 0\n";
  EXPECT_NE(Log().find(expectedLine), std::string::npos) << Log();

  module_.ScriptResult("EncodeData", 4321, 1);
  char buffer[4200] = "abc";
  int32_t length = 3;
  EXPECT_EQ(module_.EncodeData(context, buffer, &length, kBob), 4321);
  EXPECT_EQ(length, 3);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(module_.EncodeData(context, buffer, &length, kBob), 0);
  EXPECT_GT(length, 3);

  std::string log = Log();
  EXPECT_NE(log.find("EncodeData(" + std::to_string(context) + ", buf, &3, \"" + kBob + "\") = 4321 [scripted]\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("EncodeData(" + std::to_string(context) + ", buf, &3, \"" + kBob + "\") = 0\n"), std::string::npos)
      << log;
}

// A size query's line is made once and kept; a script must still answer in
// its place, be logged as scripted, and give the kept line back afterwards.
TEST_F(FakeModuleTest, SizeQueriesLogTheirLineAndStillTakeScripts) {
  const std::string answer = std::to_string(module_.GetMaxUIDLength());
  module_.ScriptResult("GetMaxUIDLength", 7, 1);
  EXPECT_EQ(module_.GetMaxUIDLength(), 7);
  EXPECT_EQ(std::to_string(module_.GetMaxUIDLength()), answer);
  const std::string log = Log();
  const std::string line = "GetMaxUIDLength() = " + answer + "\n";
  const size_t first = log.find(line);
  const size_t scripted = log.find("GetMaxUIDLength() = 7 [scripted]\n", first);
  ASSERT_NE(first, std::string::npos) << log;
  ASSERT_NE(scripted, std::string::npos) << log;
  EXPECT_NE(log.find(line, scripted), std::string::npos) << log;
}

}  // namespace

namespace {

struct FlavourFacts {
  const char* name;
  int version;  // major*1000 + minor*100 + release*10 + build, -1 for none
  int32_t params;
  bool optional;
  bool rootPath;
};

TEST(FakeModuleFlavours, EachCarriesItsVersionParameterCountAndExports) {
  const FlavourFacts flavours[] = {
      {"v2", 2000, 26, true, true},          {"v1000", 1000, 26, true, true},    {"v1001", 1001, 26, true, true},
      {"v1100", 1100, 26, true, true},       {"noversion", -1, 26, true, true},  {"nooptional", 2000, 26, false, true},
      {"norootpath", 2000, 26, true, false}, {"params24", 2000, 24, true, true}, {"params23", 2000, 23, true, true},
      {"params22", 2000, 22, true, true},    {"params20", 2000, 20, true, true}};
  for (const FlavourFacts& flavour : flavours) {
    SCOPED_TRACE(flavour.name);
    std::string path =
        std::string(CRYPTLIB_FAKE_DIR) + "/" + flavour.name + "/" + cryptlib::platform::ModuleFileNameFor("mplug.dll");
    uint16_t version[4] = {};
    bool hasVersion = Os().ModuleFileVersion(path, version);
    EXPECT_EQ(hasVersion ? version[0] * 1000 + version[1] * 100 + version[2] * 10 + version[3] : -1, flavour.version);

    std::string error;
    cryptlib::platform::ModuleHandle module = Os().LoadModule(path, &error);
    ASSERT_NE(module, nullptr) << error;
    auto count = reinterpret_cast<MPlug_GetCryptoParamNumber_Fn>(Os().FindSymbol(module, "GetCryptoParamNumber"));
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count(), flavour.params);
    for (const char* name :
         {"LoadCertificate", "GetCertInfoEx", "FreeCertInfo", "GetReqInfo", "FreeReqInfo", "VerifyDataIgnoreTime"}) {
      EXPECT_EQ(Os().FindSymbol(module, name) != nullptr, flavour.optional) << name;
    }
    EXPECT_EQ(Os().FindSymbol(module, "SetRootPath") != nullptr, flavour.rootPath);
    EXPECT_NE(Os().FindSymbol(module, "EncodeData"), nullptr);
    Os().FreeModule(module);
  }
}

}  // namespace
