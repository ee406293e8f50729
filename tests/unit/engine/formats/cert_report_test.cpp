#include "engine/formats/cert_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cryptlib {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

std::string Fixture(const std::string& name) {
  std::ifstream file(std::string(CRYPTLIB_TEST_DATA_DIR) + "/dumps/" + name, std::ios::binary);
  EXPECT_TRUE(file.good()) << name;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// The report up to its key lines, which the key tests look at on their own.
std::string PropertiesBeforeKey(const std::string& report) {
  return report.substr(0, report.find("PKey=\r\n"));
}

std::string KeyValue(const std::string& report) {
  const std::string label = "PKey=\r\n";
  const size_t at = report.find(label);
  return at == std::string::npos ? std::string("<no PKey line>") : report.substr(at + label.size());
}

// A dump with only the parts a test needs: LF line ends, eight-space labels.
std::string DumpWith(const std::string& issuer, const std::string& subject, const std::string& key) {
  return "Certificate:\n    Data:\n        Serial Number:\n            01:02\n" + issuer +
         "            Not Before: Jan 15 12:00:00 2024 GMT\n            Not After : Foo  1 00:00:00 2030 GMT\n" +
         subject + "        Subject Public Key Info:\n            Public Key Algorithm: GOST R 34.10-2012\n" + key;
}

const char kAliceProperties[] =
    "SN=5c:14:e2:d3:9c:b6:3d:dc:a9:74:a1:dd:0c:eb:40:07:54:da:a0:24\r\n"
    "ICN=Test Bank CA\r\nIC=RU\r\nIS=Moscow\r\nIL=Moscow\r\nIO=Test Bank\r\nIOU=Certification Center\r\n"
    "IE=ca@testbank.example\r\n"
    "NotBefore=08-12-26 05:41:16\r\nNotAfter=07-12-28 05:41:16\r\n"
    "CN=Alice Smith\r\nC=RU\r\nS=Moscow Region\r\nL=Khimki\r\nO=Alice Trading\r\nOU=Accounts\r\n"
    "E=alice@trading.example\r\n"
    "PKeyAlg=rsaEncryption\r\n";

TEST(ReportFromDump, CertificateDumpOfTheCommandLineTool) {
  const std::string report = ReportFromDump(Fixture("alice_cert.txt"));
  EXPECT_EQ(PropertiesBeforeKey(report), kAliceProperties);
  // The modulus lines without their indentation, up to the exponent.
  const std::string key = KeyValue(report);
  EXPECT_THAT(key, StartsWith("00:cc:b0:ce:cd:a8:8d:65:52:d8:c0:e5:ac:21:b3:\r\n2e:6b:0e:11:48:40:4c:62:fe:07:2a"));
  EXPECT_THAT(key, EndsWith("26:7e:ea:90:ff:5a:18:1e:03:c9:46:82:d2:ac:6f:\r\n3a:a7\r\n\r\n"));
  // 257 modulus bytes: 17 lines of 15 ("xx:" each, CR LF), "3a:a7", CR LF, CR LF.
  EXPECT_EQ(key.size(), 17u * (45 + 2) + 5 + 2 + 2);
}

TEST(ReportFromDump, LineEndsDoNotChangeTheReport) {
  const std::string crlf = Fixture("alice_cert_crlf.txt");
  ASSERT_THAT(crlf, HasSubstr("\r\n"));
  EXPECT_EQ(ReportFromDump(crlf), ReportFromDump(Fixture("alice_cert.txt")));
}

TEST(ReportFromDump, IssuerOnSeveralLinesGivesTheSameIssuerKeys) {
  EXPECT_EQ(ReportFromDump(Fixture("alice_cert_issuer_lines.txt")), ReportFromDump(Fixture("alice_cert.txt")));
}

TEST(ReportFromDump, ShortSerialStandsOnTheLabelLine) {
  const std::string report = ReportFromDump(Fixture("ca_cert.txt"));
  EXPECT_THAT(report, StartsWith("SN=4660 (0x1234)\r\nICN=Test Bank CA\r\n"));
  EXPECT_THAT(report, HasSubstr("\r\nNotAfter=03-12-46 05:41:10\r\nCN=Test Bank CA\r\nC=RU\r\nS=Moscow\r\n"));
}

TEST(ReportFromDump, RequestHasNoSerialIssuerOrDates) {
  const std::string report = ReportFromDump(Fixture("alice_req.txt"));
  EXPECT_EQ(PropertiesBeforeKey(report),
            "CN=Alice Smith\r\nC=RU\r\nS=Moscow Region\r\nL=Khimki\r\nO=Alice Trading\r\nOU=Accounts\r\n"
            "E=alice@trading.example\r\nPKeyAlg=rsaEncryption\r\n");
  EXPECT_EQ(KeyValue(report), KeyValue(ReportFromDump(Fixture("alice_cert.txt"))));
}

TEST(ReportFromDump, DumpOfTheFakeModule) {
  EXPECT_EQ(ReportFromDump(Fixture("fake_cert.txt")),
            "SN=0a:1b:2c\r\nICN=Bank CA\r\nIC=RU\r\nIO=Bank\r\n"
            "NotBefore=05-03-04 12:34:56\r\nNotAfter=31-12-99 23:59:59\r\n"
            "CN=Alice\r\nC=RU\r\nS=Moscow\r\nO=Bank\r\nE=alice@bank.example\r\n"
            "PKeyAlg=rsaEncryption\r\nPKey=\r\n00:c3:a1:b2:d4:e5:f6:07:18:29:3a:4b:5c:6d:7e:\r\n8f:90\r\n\r\n");
  EXPECT_THAT(
      ReportFromDump(Fixture("fake_req.txt")),
      StartsWith("CN=Alice\r\nC=RU\r\nS=Moscow\r\nO=Bank\r\nE=alice@bank.example\r\nPKeyAlg=rsaEncryption\r\n"));
}

TEST(ReportFromDump, StateFromSThenSpThenSt) {
  const auto stateOf = [](const std::string& subject) {
    const std::string report = ReportFromDump(DumpWith("", "        Subject: " + subject + "\n", ""));
    const size_t at = report.find("\r\nS=");
    return at == std::string::npos ? std::string("<none>") : report.substr(at + 4, report.find('\r', at + 2) - at - 4);
  };
  EXPECT_EQ(stateOf("C=RU, ST=Tver, CN=A"), "Tver");
  EXPECT_EQ(stateOf("C=RU, ST=Tver, SP=Kaluga, CN=A"), "Kaluga");
  EXPECT_EQ(stateOf("C=RU, SP=Kaluga, S=Tula, CN=A"), "Tula");
  EXPECT_EQ(stateOf("C=RU, CN=A"), "<none>");
}

TEST(ReportFromDump, MissingBlocksLeaveTheirKeysOutButKeepTheKey) {
  const std::string report = ReportFromDump(DumpWith("", "", "            Public Key:\n                04:41\n"));
  // Dates as DD-MM-YY: 15 January 2024, and an unknown month ("Foo") as 01.
  EXPECT_EQ(report,
            "SN=01:02\r\nNotBefore=15-01-24 12:00:00\r\nNotAfter=01-01-30 00:00:00\r\n"
            "PKeyAlg=GOST R 34.10-2012\r\nPKey=\r\n04:41\r\n\r\n");
  EXPECT_EQ(ReportFromDump(""), "PKey=\r\n\r\n");
}

TEST(ReportFromDump, GostKeyEndsAtTheExtensionsOrTheAttributes) {
  const std::string key = "            R3410 Public Key:\n                04:40:aa:bb:\n                cc:dd\n";
  const std::string issuer = "        Issuer: CN=CA\n        Validity\n";
  const std::string subject = "        Subject: CN=Alice\n";
  const std::string certificate =
      DumpWith(issuer, subject, key + "        X509v3 extensions:\n            X509v3 Key Usage:\n");
  EXPECT_EQ(KeyValue(ReportFromDump(certificate)), "04:40:aa:bb:\r\ncc:dd\r\n\r\n");
  const std::string request = DumpWith("", subject, key + "        Attributes:\n            (none)\n");
  EXPECT_EQ(KeyValue(ReportFromDump(request)), "04:40:aa:bb:\r\ncc:dd\r\n\r\n");
}

TEST(ReportFromDump, OtherKeysRunFromTheLineAfterTheLabelToTheEnd) {
  const std::string dump = DumpWith("", "", "            Public Key:\n                0a:0b\n    Signature\n");
  EXPECT_EQ(KeyValue(ReportFromDump(dump)), "0a:0b\r\n    Signature\r\n\r\n");
  // Without any key label the text after the first line counts as the key.
  EXPECT_EQ(KeyValue(ReportFromDump("Certificate:\nkey bytes\n")), "key bytes\r\n\r\n");
  EXPECT_EQ(KeyValue(ReportFromDump("short")), "\r\n");
}

TEST(GetReportByBuffer, RewritesTheDumpInPlace) {
  const std::string dump = Fixture("fake_cert.txt");
  std::vector<char> buffer(dump.begin(), dump.end());
  buffer.resize(4096, '\0');
  ASSERT_EQ(GetReportByBuffer(buffer.data(), 4096, buffer.data(), 4096), 0);
  EXPECT_EQ(std::string(buffer.data()), ReportFromDump(dump));
}

TEST(GetReportByBuffer, NeverWritesPastTheHostsBuffer) {
  const std::string dump = Fixture("alice_cert.txt");
  const std::string full = ReportFromDump(dump);
  constexpr int32_t kSize = 100;
  std::vector<char> report(kSize + 16, '#');
  ASSERT_EQ(GetReportByBuffer(dump.c_str(), static_cast<int32_t>(dump.size() + 1), report.data(), kSize), 0);
  EXPECT_EQ(std::string(report.data()), full.substr(0, kSize - 1));
  EXPECT_EQ(std::string(report.begin() + kSize, report.end()), std::string(16, '#'));
}

TEST(GetReportByBuffer, ReadsTheDumpOnlyWithinItsCapacity) {
  // No zero inside the capacity, which ends before the subject: the bytes
  // after it (the rest of the dump) are never looked at.
  const std::string dump = Fixture("fake_cert.txt");
  const auto capacity = static_cast<int32_t>(dump.find("        Subject: "));
  std::vector<char> report(4096);
  ASSERT_EQ(GetReportByBuffer(dump.c_str(), capacity, report.data(), 4096), 0);
  EXPECT_THAT(std::string(report.data()), HasSubstr("NotAfter=31-12-99 23:59:59\r\n"));
  EXPECT_THAT(std::string(report.data()), Not(HasSubstr("CN=Alice")));
}

TEST(GetReportByBuffer, RefusesNullBuffersAndEmptySizes) {
  char report[16] = "untouched";
  EXPECT_EQ(GetReportByBuffer(nullptr, 10, report, 16), -101);
  EXPECT_EQ(GetReportByBuffer("x", 2, nullptr, 16), -101);
  EXPECT_EQ(GetReportByBuffer("x", 2, report, 0), -101);
  EXPECT_EQ(GetReportByBuffer("x", 0, report, 16), -101);
  EXPECT_STREQ(report, "untouched");
  EXPECT_FALSE(CopyReport("abc", report, 0));
  ASSERT_TRUE(CopyReport("abc", report, 1));
  EXPECT_STREQ(report, "");
}

}  // namespace
}  // namespace cryptlib
