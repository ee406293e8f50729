// Certificate and request reports through the exports over the fake 2.x
// module: the module's records for certificates, the report parser for a
// request written by OpenSSL, the same report from a file and from a
// transfer, and the received certificate of a remote generation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string Fixture(const std::string& name) {
  std::ifstream file(std::string(CRYPTLIB_TEST_DATA_DIR) + "/dumps/" + name, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

constexpr const char* kRequestArmour = "-----BEGIN CERTIFICATE REQUEST-----\n";

class Reports : public StoreTest {
 protected:
  int32_t Size() const { return api().GetMaxPublicKeyPropertiesLength(engine()); }
  std::string ByFile(const std::string& path, int32_t expected = 0) const {
    std::vector<char> report(static_cast<size_t>(Size()), '\x7f');
    EXPECT_EQ(api().GetPublicKeyPropertiesByFile(engine(), path.c_str(), report.data()), expected) << path;
    return expected == 0 ? report.data() : std::string();
  }
};

TEST_F(Reports, CertificateReportComesFromTheModulesRecord) {
  EXPECT_EQ(Size(), 8192 + 256);
  std::vector<char> report(static_cast<size_t>(Size()), '\0');
  ASSERT_EQ(api().GetPublicKeyProperties(engine(), "Bob", report.data()), 0);
  const std::string text = report.data();
  EXPECT_THAT(text, HasSubstr("CN=Bob\r\n"));
  EXPECT_THAT(text, HasSubstr("PKey=\r\n"));
  EXPECT_THAT(Hooks().Calls("GetCertInfoEx"), Not(::testing::IsEmpty()));
  EXPECT_EQ(ByFile(Certs() + "/Bob.pem"), text) << "by UID and by file give the same list";
  EXPECT_EQ(api().GetPublicKeyProperties(engine(), "Bob", nullptr), -101);
}

TEST_F(Reports, RequestWrittenByOpenSslGoesThroughTheParser) {
  area_.WriteFile("alice_req.pem", kRequestArmour + Fixture("alice_req.txt"));
  const std::string report = ByFile(area_ / "alice_req.pem");
  EXPECT_THAT(report, HasSubstr("CN=Alice Smith\r\nC=RU\r\nS=Moscow Region\r\nL=Khimki\r\nO=Alice Trading\r\n"
                                "OU=Accounts\r\nE=alice@trading.example\r\n"));
  EXPECT_THAT(report, HasSubstr("PKeyAlg=rsaEncryption\r\nPKey=\r\n00:cc:b0:ce:cd:a8"));
  EXPECT_THAT(report, Not(HasSubstr("ICN=")));

  // The same request carried in a transfer gives the same list.
  const std::string transfer = TransferOfFile(area_ / "alice_req.pem");
  std::vector<char> byTransfer(static_cast<size_t>(Size()), '\0');
  ASSERT_EQ(api().GetPublicKeyPropertiesByTransfer(engine(), transfer.c_str(), byTransfer.data()), 0);
  EXPECT_EQ(std::string(byTransfer.data()), report);
  EXPECT_EQ(api().GetPublicKeyPropertiesByTransfer(engine(), "", byTransfer.data()), -101);
}

TEST_F(Reports, ARequestTooLongForTheReportBufferAndUnreadableFiles) {
  area_.WriteFile("long_req.pem", kRequestArmour + std::string(8193, 'x'));
  ByFile(area_ / "long_req.pem", -112);
  area_.WriteFile("huge.pem", std::string(8192 * 2 + 1, 'x'));
  ByFile(area_ / "huge.pem", -107);
  ByFile(area_ / "none.pem", -107);
}

TEST_F(Reports, WithoutUidTheReceivedCertificateOfARemoteGeneration) {
  std::vector<char> report(static_cast<size_t>(Size()), '\0');
  EXPECT_EQ(api().GetPublicKeyProperties(engine(), "", report.data()), -109);
  api().SetRemoteGeneratePath(engine(), (area_ / "remote").c_str());
  EXPECT_EQ(api().GetPublicKeyProperties(engine(), nullptr, report.data()), -109) << "not a directory";
  area_.MakeDir("remote");
  EXPECT_EQ(api().GetPublicKeyProperties(engine(), "", report.data()), -114);
  area_.WriteFile("remote/Tmp_cert.pem", FakeCertificate("/C=RU/CN=Erin"));
  ASSERT_EQ(api().GetPublicKeyProperties(engine(), "", report.data()), 0);
  EXPECT_THAT(std::string(report.data()), HasSubstr("CN=Erin\r\n"));
}

}  // namespace
}  // namespace cryptlib::test
