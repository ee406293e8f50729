// The report of a real certificate: what GetPublicKeyProperties (and its
// file and transfer forms, and GetReport) show for a certificate the bank
// issued from the engine's own request, against what libcrypto reads from
// the same file.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <ctime>
#include <sstream>

#include "files.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

// Parameter numbers of the subject fields the party's profile leaves empty.
enum : int32_t { kState = 12, kLocality = 13, kUnit = 15, kEmail = 17 };

// What libcrypto reads from a certificate file.
struct Certificate {
  explicit Certificate(const std::string& path) {
    std::string pem;
    host::ReadWholeFile(path, pem);
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    x509 = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
  }
  ~Certificate() { X509_free(x509); }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  // DD-MM-YY HH:MM:SS in UTC, the form of the report.
  static std::string Date(const ASN1_TIME* time) {
    std::tm parts{};
    ASN1_TIME_to_tm(time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%d-%m-%y %H:%M:%S", &parts);
    return text;
  }
  std::string NotBefore() const { return Date(X509_get0_notBefore(x509)); }
  std::string NotAfter() const { return Date(X509_get0_notAfter(x509)); }
  // The lines OpenSSL prints for the public key.
  std::vector<std::string> KeyLines() const {
    BIO* out = BIO_new(BIO_s_mem());
    EVP_PKEY_print_public(out, X509_get0_pubkey(x509), 0, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::istringstream text(std::string(data, static_cast<size_t>(size)));
    BIO_free(out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  X509* x509 = nullptr;
};

class ReportTest : public WorldTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    MakeWorld(AlgorithmsNamed(GetParam()));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bob"}));
    if (IsSkipped()) return;
    // Erin's request carries every subject field.
    AddParty("Erin");
    std::unique_ptr<EngineClient> erin = Engine("Erin");
    ASSERT_TRUE(erin->SetParam(kState, "Moscow Region").ok());
    ASSERT_TRUE(erin->SetParam(kLocality, "Moscow").ok());
    ASSERT_TRUE(erin->SetParam(kUnit, "Payments").ok());
    ASSERT_TRUE(erin->SetParam(kEmail, "erin@bank.example").ok());
    ASSERT_EQ(erin->GenerateKeys().code, kGeneratedAwaitingCertificate) << erin->LastError();
    ASSERT_NO_FATAL_FAILURE(Certify("Erin"));
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
  }
};

INSTANTIATE_TEST_SUITE_P(Keys, ReportTest, ::testing::Values("rsa", "ecdsa", "gost"),
                         [](const auto& info) { return std::string(info.param); });

TEST_P(ReportTest, PropertiesOfAnIssuedCertificate) {
  std::string report;
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  ASSERT_TRUE(bob->Properties("Erin", report).ok()) << bob->LastError();
  const Certificate certificate(party("Erin").Path("own.pem"));
  ASSERT_NE(certificate.x509, nullptr);

  EXPECT_EQ(host::ReportValue(report, "SN"), host::SerialPairs(party("Erin").serial));
  EXPECT_EQ(host::ReportValue(report, "ICN"), "Demo Bank CA");
  EXPECT_EQ(host::ReportValue(report, "IO"), "Demo Bank");
  EXPECT_EQ(host::ReportValue(report, "IC"), "RU");
  EXPECT_EQ(host::ReportValue(report, "NotBefore"), certificate.NotBefore());
  EXPECT_EQ(host::ReportValue(report, "NotAfter"), certificate.NotAfter());
  EXPECT_EQ(host::ReportValue(report, "CN"), "Erin");
  EXPECT_EQ(host::ReportValue(report, "C"), "RU");
  EXPECT_EQ(host::ReportValue(report, "S"), "Moscow Region");
  EXPECT_EQ(host::ReportValue(report, "L"), "Moscow");
  EXPECT_EQ(host::ReportValue(report, "O"), "Demo Bank");
  EXPECT_EQ(host::ReportValue(report, "OU"), "Payments");
  EXPECT_EQ(host::ReportValue(report, "E"), "erin@bank.example");
  EXPECT_EQ(host::ReportValue(report, "PKeyAlg"), OBJ_nid2ln(EVP_PKEY_get_base_id(X509_get0_pubkey(certificate.x509))));
  // The key as OpenSSL prints it: every line of the print after the
  // heading is in the report's key.
  const size_t key = report.find("PKey=");
  ASSERT_NE(key, std::string::npos);
  const std::vector<std::string> lines = certificate.KeyLines();
  ASSERT_GT(lines.size(), 2u);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string trimmed = lines[i].substr(lines[i].find_first_not_of(' '));
    EXPECT_NE(report.find(trimmed, key), std::string::npos) << trimmed;
  }
}

TEST_P(ReportTest, HolderFileAndTransferGiveTheSameReport) {
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  std::string byHolder, byReport, byFile, byTransfer;
  ASSERT_TRUE(bob->Properties("Erin", byHolder).ok());
  ASSERT_TRUE(bob->Report("Erin", byReport).ok());
  ASSERT_TRUE(bob->PropertiesOfFile(party("Erin").Path("own.pem"), byFile).ok()) << bob->LastError();
  ASSERT_TRUE(bob->PropertiesOfTransfer(world().transfers["Erin"], byTransfer).ok()) << bob->LastError();
  EXPECT_EQ(byReport, byHolder);
  EXPECT_EQ(byFile, byHolder);
  EXPECT_EQ(byTransfer, byHolder);
}

TEST_P(ReportTest, RequestReportShowsTheSubjectAsked) {
  std::string report;
  std::unique_ptr<EngineClient> bob = Engine("Bob");
  ASSERT_TRUE(bob->PropertiesOfFile(party("Erin").Path("request.pem"), report).ok()) << bob->LastError();
  EXPECT_EQ(host::ReportValue(report, "CN"), "Erin");
  EXPECT_EQ(host::ReportValue(report, "OU"), "Payments");
  EXPECT_EQ(host::ReportValue(report, "E"), "erin@bank.example");
  EXPECT_EQ(host::ReportValue(report, "SN"), "");
}

TEST_P(ReportTest, UnknownHolderHasNoReport) {
  std::string report;
  EXPECT_EQ(Engine("Bob")->Properties("Mallory", report).code, CE_CERT_NOT_FOUND);
  EXPECT_EQ(Engine("Bob")->Properties("../Erin", report).code, CE_BAD_UID);
}

}  // namespace
}  // namespace cryptlib::e2e
