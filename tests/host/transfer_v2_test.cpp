// Public key transfers as a host and its peers exchange them over the fake
// 2.x module: round trips, transfers damaged or forged on the way, records
// that lie about their length, and the scratch files of the match check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "common/test_os.h"
#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class Transfers : public StoreTest {
 protected:
  std::string TransferOf(const char* uid) const {
    std::vector<char> text(16904, '\0');
    EXPECT_EQ(api().GetPublicKeyTransfer(engine(), uid, text.data()), 0) << uid;
    return text.data();
  }
  std::string UidOf(const std::string& transfer, int32_t expected = 0) const {
    char uid[300] = {};
    EXPECT_EQ(api().GetUIDByPublicKeyTransfer(engine(), transfer.c_str(), uid), expected);
    return uid;
  }
  // Saves a transfer's file as <area>/out/Tmp_cert.pem.
  int32_t Save(const std::string& transfer) const {
    return api().SavePublicKeyFromTransfer(engine(), (area_ / "out").c_str(), transfer.c_str());
  }
  void SetUp() override {
    StoreTest::SetUp();
    area_.MakeDir("out");
  }
};

TEST_F(Transfers, RoundTripCarriesTheCertificateAndTheUid) {
  EXPECT_EQ(api().GetMaxPublicKeyTransferSize(engine()), 16904);
  const std::string transfer = TransferOf("Bob");
  EXPECT_EQ(transfer.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(UidOf(transfer), "Bob");
  ASSERT_EQ(Save(transfer), 0);
  EXPECT_EQ(area_.ReadFile("out/Tmp_cert.pem"), FakeCertificate(kBobSubject));

  char self[16904] = {};
  ASSERT_EQ(api().ExcludeSelfPublicKeyTransfer(engine(), self), 0);
  EXPECT_EQ(UidOf(self), "Alice");
}

TEST_F(Transfers, IncludeNamesTheFileAfterTheCertificateNotTheTransfer) {
  // Mallory's certificate sent under Bob's name in the record.
  const std::string mallory = FakeCertificate("/C=RU/CN=Mallory");
  const std::string forged = SignedText(Record("Bob", mallory, static_cast<int32_t>(mallory.size())));
  EXPECT_EQ(UidOf(forged), "Bob");
  ASSERT_EQ(api().IncludePublicKeyTransfer(engine(), forged.c_str()), 0);
  EXPECT_EQ(area_.ReadFile("certs/Mallory.pem"), mallory);
  EXPECT_EQ(area_.ReadFile("certs/Bob.pem"), FakeCertificate(kBobSubject));

  // The same certificate again: the earlier one becomes a backup, no
  // temporary file stays.
  ASSERT_EQ(api().IncludePublicKeyTransfer(engine(), forged.c_str()), 0);
  EXPECT_EQ(area_.ReadFile("certs/Mallory.001"), mallory);
  EXPECT_FALSE(area_.Exists("certs/crt00000.pem"));
  EXPECT_FALSE(area_.Exists("certs/crt00001.pem"));
}

TEST_F(Transfers, DamagedTextsAreRefusedAndWriteNothing) {
  const std::string transfer = TransferOf("Bob");
  const std::string truncated = transfer.substr(0, transfer.size() / 2 / 4 * 4);
  EXPECT_NE(Save(truncated), 0);
  EXPECT_EQ(Save(transfer + "="), -101) << "a length that is not a multiple of 4";
  EXPECT_NE(Save(transfer.substr(0, transfer.size() - 4) + "AAAA"), 0) << "re-padded: the signature trailer moved";
  std::string flipped = transfer;
  flipped[400] = flipped[400] == 'A' ? 'B' : 'A';
  EXPECT_EQ(Save(flipped), 1011) << "a changed record byte breaks the signature";
  EXPECT_EQ(Save(""), -101);
  EXPECT_EQ(Save("!!!!"), -101);
  EXPECT_FALSE(area_.Exists("out/Tmp_cert.pem"));
}

TEST_F(Transfers, RecordsThatLieAboutTheirLengthAreRefused) {
  const std::string data = FakeCertificate(kBobSubject);
  for (int32_t lie : {-1, 8193, 100000, INT32_MIN}) {
    SCOPED_TRACE(lie);
    EXPECT_EQ(Save(SignedText(Record("Bob", data, lie))), -112);
  }
  // Shorter than a record, and a large record whose length does not fit the
  // standard one.
  EXPECT_EQ(Save(SignedText(std::vector<uint8_t>(data.begin(), data.end()))), -112);
  EXPECT_EQ(Save(SignedText(Record("Bob", data, 8193, 13828, 512))), -112);
  EXPECT_FALSE(area_.Exists("out/Tmp_cert.pem"));

  // A well-formed large record is read with its own layout.
  const std::string longUid = std::string(300, 'U');
  const std::string large = SignedText(Record(longUid, data, static_cast<int32_t>(data.size()), 13828, 512));
  ASSERT_EQ(Save(large), 0);
  EXPECT_EQ(area_.ReadFile("out/Tmp_cert.pem"), data);
  // The UID comes back cut to the host's 40-byte UID buffer.
  EXPECT_EQ(UidOf(large), std::string(39, 'U'));
}

TEST_F(Transfers, ContentAboveTheRecordIsRefusedByTheBuilder) {
  area_.WriteFile("big.pem", FakeCertificate(kBobSubject) + std::string(8500, 'x'));
  std::vector<char> text(16904, '\0');
  EXPECT_EQ(api().GetPublicKeyTransferByFile(engine(), text.data(), (area_ / "big.pem").c_str()), -107);
  area_.WriteFile("big.pem", FakeCertificate(kBobSubject) + std::string(8200, 'x'));
  EXPECT_EQ(api().GetPublicKeyTransferByFile(engine(), text.data(), (area_ / "big.pem").c_str()), -101);
  area_.WriteFile("request.pem", "-----BEGIN CERTIFICATE REQUEST-----\nFAKE CERTIFICATE REQUEST\nSubject: /CN=D\n");
  ASSERT_EQ(api().GetPublicKeyTransferByFile(engine(), text.data(), (area_ / "request.pem").c_str()), 0);
  EXPECT_EQ(UidOf(text.data()), "Certificate Request");
}

// ------------------------------------------------------------ match check

class TransferMatch : public Transfers {
 protected:
  void SetUp() override {
    Transfers::SetUp();
    hadTmp_ = HasEnv(kTempVariable);
    previousTmp_ = GetEnv(kTempVariable);
    SetEnv(kTempVariable, temp_.path());
    area_.WriteFile("dave.pem", "FAKE CERTIFICATE\nSubject: /CN=Dave\nPublicKey: 0badc0de\n");
    area_.WriteFile("dave_req.pem",
                    "-----BEGIN CERTIFICATE REQUEST-----\nFAKE CERTIFICATE REQUEST\nSubject: /CN=Dave\n"
                    "PublicKey: 0badc0de\n-----END CERTIFICATE REQUEST-----\n");
    area_.WriteFile("other_req.pem",
                    "-----BEGIN CERTIFICATE REQUEST-----\nFAKE CERTIFICATE REQUEST\nSubject: /CN=Dave\n"
                    "PublicKey: 00ddba11\n-----END CERTIFICATE REQUEST-----\n");
  }
  void TearDown() override {
    if (hadTmp_)
      SetEnv(kTempVariable, previousTmp_);
    else
      UnsetEnv(kTempVariable);
    Transfers::TearDown();
  }
  int32_t Match(const std::string& request, int32_t& match) const {
    const std::string certificate = TransferOfFile(area_ / "dave.pem");
    const std::string requestText = TransferOfFile(area_ / request);
    match = 7;
    return api().CertAndRequestTransferMatch(engine(), certificate.c_str(), requestText.c_str(), &match);
  }
  std::vector<std::string> TempContents() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(temp_.path()))
      names.push_back(entry.path().filename().string());
    return names;
  }

  TestDir temp_;
  std::string previousTmp_;
  bool hadTmp_ = false;
};

TEST_F(TransferMatch, AnswersMatchAndLeavesNoScratchDirectory) {
  int32_t match = 0;
  ASSERT_EQ(Match("dave_req.pem", match), 0);
  EXPECT_EQ(match, -1);
  ASSERT_EQ(Match("other_req.pem", match), 0);
  EXPECT_EQ(match, 0);
  EXPECT_THAT(TempContents(), IsEmpty());
  const std::vector<std::string> calls = Hooks().Calls("CertificateAndRequestMatch");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_THAT(calls[0], HasSubstr(temp_.path() + kNativeSeparator + "0"));
}

TEST_F(TransferMatch, ANumberTakenBySomeoneElseIsSkippedAndLeftAlone) {
  temp_.MakeDir("0");
  temp_.WriteFile("0/cer.pem", "planted");
  int32_t match = 0;
  ASSERT_EQ(Match("dave_req.pem", match), 0);
  EXPECT_EQ(match, -1);
  EXPECT_EQ(temp_.ReadFile("0/cer.pem"), "planted");
  EXPECT_THAT(Hooks().Calls("CertificateAndRequestMatch").at(0), HasSubstr(temp_.path() + kNativeSeparator + "1"));
  EXPECT_EQ(TempContents(), std::vector<std::string>{"0"});
}

TEST_F(TransferMatch, AnUnusableTempDirectoryIsAScratchError) {
  SetEnv(kTempVariable, temp_ / "missing");
  int32_t match = 0;
  EXPECT_EQ(Match("dave_req.pem", match), -122);
  EXPECT_EQ(match, 7);
  EXPECT_THAT(TempContents(), IsEmpty());
  EXPECT_THAT(Hooks().Calls("CertificateAndRequestMatch"), IsEmpty());
  EXPECT_EQ(api().CertAndRequestTransferMatch(engine(), "x", "y", nullptr), -101);
}

}  // namespace
}  // namespace cryptlib::test
