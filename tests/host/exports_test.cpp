// The exported surface as a host sees it: every export bound, the shield
// values for nil and released handles, and the exports that do their own work.
// The engines find the fake vendor module (default flavour) under the root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "host/support/engine_host.h"
#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::StartsWith;

TEST(Exports, AllSeventySixAreBound) {
  EXPECT_EQ(Library().boundCount(), 76);
}

TEST(Exports, ConstantsNeedNoEngine) {
  EXPECT_EQ(Api().GetMaxFilePathLength(nullptr), 255);
  EXPECT_EQ(Api().GetMaxFilePathLength(reinterpret_cast<CRYPT_HANDLE>(0x1234)), 255);
}

TEST(Exports, CheckCompatiblesAcceptsOnlyTheExactNames) {
  EXPECT_EQ(Api().CheckCompatibles("M-Pro v2.x"), 1);
  EXPECT_EQ(Api().CheckCompatibles("Ms Crypto API 2.0"), 1);
  EXPECT_EQ(Api().CheckCompatibles("m-pro v2.x"), 0);
  EXPECT_EQ(Api().CheckCompatibles("M-Pro v1.34 (GOST PSE)"), 0);
  EXPECT_EQ(Api().CheckCompatibles("M-Pro v2.x "), 0);
  EXPECT_EQ(Api().CheckCompatibles(""), 0);
  EXPECT_EQ(Api().CheckCompatibles(nullptr), 0);
}

// Every export class answers its shield value for a handle that is not a live
// engine: nil, a made-up address, and one already released.
class ShieldValues : public ::testing::TestWithParam<int> {
 protected:
  CRYPT_HANDLE Handle() {
    switch (GetParam()) {
      case 0:
        return nullptr;
      case 1:
        return reinterpret_cast<CRYPT_HANDLE>(&fake_);
      default: {
        CRYPT_HANDLE released = Api().GetCryptObj();
        Api().DoneEngine(released);
        return released;
      }
    }
  }
  long fake_[64] = {};
};

TEST_P(ShieldValues, SizeQueriesAnswerMinusOne) {
  const auto& api = Api();
  CRYPT_HANDLE h = Handle();
  EXPECT_EQ(api.GetMaxEncodeAddition(h), -1);
  EXPECT_EQ(api.GetMaxSignatureLength(h), -1);
  EXPECT_EQ(api.GetMaxUIDLength(h), -1);
  EXPECT_EQ(api.GetMaxCryptoParamNameLength(h), -1);
  EXPECT_EQ(api.GetMaxCryptoParamValueLength(h), -1);
  EXPECT_EQ(api.GetMaxErrorStringLength(h), -1);
  EXPECT_EQ(api.GetCryptoParamNumber(h), -1);
  EXPECT_EQ(api.GetMaxPasswordLength(h), -1);
  EXPECT_EQ(api.GetMaxSignAddition(h), -1);
  EXPECT_EQ(api.GetMaxPublicKeyTransferSize(h), -1);
  EXPECT_EQ(api.GetRemoteGenType(h), -1);
  EXPECT_EQ(api.GetMaxReportSize(h), -1);
  EXPECT_EQ(api.GetMaxPublicKeyPropertiesLength(h), -1);
  EXPECT_EQ(api.GetMaxAdditionEx(h, "A;B"), -1);
  EXPECT_EQ(api.IsDifferentKeys(h), -1);
}

TEST_P(ShieldValues, OperationsAnswerMinus102) {
  const auto& api = Api();
  CRYPT_HANDLE h = Handle();
  char buffer[64] = {};
  int32_t length = 4;
  uint32_t step = 0;
  EXPECT_EQ(api.SetCryptoParamValue(h, 1, "x"), -102);
  EXPECT_EQ(api.GetEncodeUIDBySignUID(h, "a", buffer), -102);
  EXPECT_EQ(api.EncodeData(h, buffer, &length, "a"), -102);
  EXPECT_EQ(api.DecodeData(h, buffer, &length, buffer), -102);
  EXPECT_EQ(api.SignData(h, buffer, 4, buffer, &length, nullptr), -102);
  EXPECT_EQ(api.VerifyData(h, buffer, 4, buffer, 4, buffer), -102);
  EXPECT_EQ(api.GetCurrentUserUID(h, buffer), -102);
  EXPECT_EQ(api.GenerateNewSSK(h), -102);
  EXPECT_EQ(api.GenerateNewSEK(h), -102);
  EXPECT_EQ(api.IncludePublicKey(h, "a.pem"), -102);
  EXPECT_EQ(api.SignFile(h, "a"), -102);
  EXPECT_EQ(api.TransSignatureFromFileToTM(h), -102);
  EXPECT_EQ(api.RemoteGenerateStart(h, 0), -102);
  EXPECT_EQ(api.AddSign(h, buffer, &length, nullptr), -102);
  EXPECT_EQ(api.GetPublicKeyTransfer(h, "a", buffer), -102);
  EXPECT_EQ(api.SaveSignedDataToFile(h, buffer, 4, nullptr, 0, "x"), -102);
  EXPECT_EQ(api.GetReport(h, "a", buffer), -102);
  EXPECT_EQ(api.UpdateCertificateCash(h, "a"), -102);
  EXPECT_EQ(api.RemoteGenerateStartEx(h, "k", buffer, &step), -102);
  EXPECT_EQ(api.RemoteGenerateFinishEx(h, "t", &step), -102);
  EXPECT_EQ(api.CreateDirStructure(h, "a", "b"), -102);
  EXPECT_EQ(api.IncludeCRL(h, "c"), -102);
  EXPECT_EQ(api.RegisterOIDInfo(h, "1.2", "x"), -102);
  EXPECT_EQ(api.GetParamInfo(h, 1, &length, buffer, &length), -102);
}

TEST_P(ShieldValues, ProceduresTouchNothing) {
  const auto& api = Api();
  CRYPT_HANDLE h = Handle();
  char buffer[16];
  std::memset(buffer, 'z', sizeof(buffer));
  api.GetCryptoParamName(h, 1, buffer);
  api.GetCryptoParamValue(h, 1, buffer);
  api.GetCryptoErrorString(h, -101, buffer);
  api.GetLastErrorMessage(h, buffer);
  api.SetPasswordRequestFunc(h, nullptr);
  api.SetRootPath(h, "/nowhere");
  api.SetTMRequestFunc(h, nullptr);
  api.ClearCash(h);
  api.SetRemoteGeneratePath(h, "/nowhere");
  api.DoneEngine(h);
  EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(sizeof(buffer), 'z'));
}

INSTANTIATE_TEST_SUITE_P(NilForeignAndReleasedHandles, ShieldValues, ::testing::Values(0, 1, 2));

class EngineExports : public EngineTest {};

TEST_F(EngineExports, EnginesAreIndependentHandles) {
  CRYPT_HANDLE other = api().GetCryptObj();
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, engine());
  api().DoneEngine(other);
  // The first engine still answers after the second is gone.
  EXPECT_EQ(api().GetMaxUIDLength(engine()), api().GetMaxUIDLength(engine()));
  EXPECT_GT(api().GetMaxUIDLength(engine()), 0);
}

TEST_F(EngineExports, UnsupportedOperationsAnswerMinusOne) {
  char buffer[64] = {};
  int32_t length = 0;
  EXPECT_EQ(api().SignFile(engine(), "a"), -1);
  EXPECT_EQ(api().VerifyFile(engine(), "a", buffer), -1);
  EXPECT_EQ(api().RemoveSignaturesFromFile(engine(), "a"), -1);
  EXPECT_EQ(api().ConvertTransferToSignedRequest(engine(), "t"), -1);
  EXPECT_EQ(api().HashData(engine(), buffer, 4, buffer, &length, "x"), -1);
  EXPECT_EQ(api().ShowCertificate(engine(), "a"), -1);
  EXPECT_EQ(api().GetPureSign(engine(), buffer, 4, buffer, &length, "a"), -1);
  EXPECT_EQ(api().GetUIDByCertIdent(engine(), "a", buffer), -1);
  EXPECT_EQ(api().InstallCertsInMyStore(engine(), "a"), -1);
  EXPECT_EQ(api().RegisterOIDInfo(engine(), "1.2.3", "info"), -1);
  EXPECT_EQ(api().RegisterOIDInfo(engine(), nullptr, nullptr), -1);
}

TEST_F(EngineExports, KeyTransfersToTokensDoNothing) {
  EXPECT_EQ(api().TransSignatureFromFileToTM(engine()), 0);
  EXPECT_EQ(api().TransPrivateKeyFromFileToTM(engine()), 0);
}

TEST_F(EngineExports, IsDifferentKeysIsFalse) {
  EXPECT_EQ(api().IsDifferentKeys(engine()), 0);
}

TEST_F(EngineExports, UpdateCertificateCashTurnsUnsupportedIntoSuccess) {
  EXPECT_EQ(api().UpdateCertificateCash(engine(), nullptr), -101);
  // Alice's file goes to the open context (one that lives for a day), whose
  // module answers -1: the export clears every context instead.
  TestDir certs;
  certs.WriteFile("Alice.pem", FakeCertificate("/CN=Alice"));
  ASSERT_EQ(api().SetCryptoParamValue(engine(), 2, certs.path().c_str()), 0);
  ASSERT_EQ(api().SetCryptoParamValue(engine(), 22, "1"), 0);
  Hooks().Reset();
  Hooks().Script("GetCertificateByUID", 1005, 1);
  Hooks().Script("LoadCertificate", -1, 1);
  EXPECT_EQ(api().UpdateCertificateCash(engine(), "Alice"), 0);
  EXPECT_EQ(Hooks().Calls("LoadCertificate").size(), 1u);
  EXPECT_FALSE(Hooks().Calls("DoneCrypto").empty());
  Hooks().Reset();
}

TEST_F(EngineExports, ReportSizeAndPropertiesExportsAgree) {
  char a[32] = {}, b[32] = {};
  EXPECT_EQ(api().GetMaxReportSize(engine()), api().GetMaxPublicKeyPropertiesLength(engine()));
  EXPECT_EQ(api().GetReport(engine(), "x", a), api().GetPublicKeyProperties(engine(), "x", b));
}

TEST_F(EngineExports, MaxAdditionCountsListEntries) {
  int32_t one = api().GetMaxEncodeAddition(engine());
  ASSERT_GT(one, 0);
  EXPECT_EQ(api().GetMaxAdditionEx(engine(), nullptr), one);
  EXPECT_EQ(api().GetMaxAdditionEx(engine(), ""), one);
  // Entries are what the separators cut, empty ones and a trailing one included.
  const struct {
    const char* list;
    int32_t entries;
  } lists[] = {{"A", 1}, {"A;B;C", 3}, {"A;;B", 3}, {"A;", 2}, {";", 2}, {";;;", 4}};
  for (const auto& row : lists) EXPECT_EQ(api().GetMaxAdditionEx(engine(), row.list), row.entries * one) << row.list;
}

TEST_F(EngineExports, MaxAdditionNeverOverflowsIntoANegativeSize) {
  std::string huge(20'000'000, ';');
  EXPECT_EQ(api().GetMaxAdditionEx(engine(), huge.c_str()), INT32_MAX);
}

TEST_F(EngineExports, DataOperationsReachTheEngine) {
  char data[16] = "payload";
  int32_t length = 7;
  // No certificate directory is set: the abonent is unknown.
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice"), -113);
  EXPECT_EQ(length, 7);
  // Nothing raised: the last error text stays empty.
  EXPECT_EQ(ErrorText(-102), "An exception in the function - ");
}

TEST_F(EngineExports, ErrorTextsAreTheEnginesAndTheModules) {
  EXPECT_EQ(ErrorText(-107), "I/O error during key, CRL or certificate file(s) operation.");
  EXPECT_EQ(ErrorText(12345), "Unknown error 12345");
  char text[256];
  std::memset(text, 'x', sizeof(text));
  api().GetLastErrorMessage(engine(), text);
  EXPECT_EQ(text[0], '\0');
  api().GetLastErrorMessage(engine(), nullptr);  // writes nothing
}

TEST_F(EngineExports, CertAndRequestMatchRefusesTextsThatAreNoTransfers) {
  int32_t match = 5;
  EXPECT_EQ(api().CertAndRequestTransferMatch(engine(), "a", "b", &match), -101);
  EXPECT_EQ(match, 5);
  EXPECT_EQ(api().CertAndRequestTransferMatch(engine(), "a", "b", nullptr), -101);
}

class SaveSignedData : public EngineTest {
 protected:
  TestDir dir_;
};

TEST_F(SaveSignedData, WritesDataThenSignature) {
  std::string path = dir_ / "signed.bin";
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, "SIG", 3, path.c_str()), 0);
  EXPECT_EQ(dir_.ReadFile("signed.bin"), "DATASIG");
}

TEST_F(SaveSignedData, WithoutSignatureWritesOnlyTheData) {
  std::string path = dir_ / "plain.bin";
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, "SIG", 0, path.c_str()), 0);
  EXPECT_EQ(dir_.ReadFile("plain.bin"), "DATA");
  // A missing signature buffer never writes unset bytes behind the data.
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, nullptr, 9, path.c_str()), 0);
  EXPECT_EQ(dir_.ReadFile("plain.bin"), "DATA");
}

TEST_F(SaveSignedData, ReplacesAnExistingFile) {
  dir_.WriteFile("out.bin", "a much longer previous content");
  std::string path = dir_ / "out.bin";
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "NEW", 3, nullptr, 0, path.c_str()), 0);
  EXPECT_EQ(dir_.ReadFile("out.bin"), "NEW");
}

TEST_F(SaveSignedData, NothingToWriteIsABadCallNotASuccess) {
  std::string path = dir_ / "none.bin";
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, nullptr, 0, nullptr), -101);
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), nullptr, 4, nullptr, 0, path.c_str()), -101);
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 0, nullptr, 0, path.c_str()), -101);
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, "S", -1, path.c_str()), -101);
  EXPECT_FALSE(dir_.Exists("none.bin"));
}

TEST_F(SaveSignedData, UnwritableTargetAnswersMinus106) {
  std::string path = dir_ / "missing-dir/x.bin";
  EXPECT_EQ(api().SaveSignedDataToFile(engine(), "DATA", 4, nullptr, 0, path.c_str()), -106);
}

}  // namespace
}  // namespace cryptlib::test
