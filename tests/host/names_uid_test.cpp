// Real names reach the right holder: UIDs longer than the host's 40-byte
// buffer, national (UTF-8) and mixed-case names, as a host drives them through
// the exports over the fake 2.x module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::HasSubstr;

// 44 characters: a company name as banks register it.
const std::string kCompany = "Obshchestvo s ogranichennoy otvetstvennostyu";
// "Общество с ограниченной ответственностью": 40 Cyrillic letters, 78 bytes.
const std::string kCyrillic =
    "\xD0\x9E\xD0\xB1\xD1\x89\xD0\xB5\xD1\x81\xD1\x82\xD0\xB2\xD0\xBE \xD1\x81 "
    "\xD0\xBE\xD0\xB3\xD1\x80\xD0\xB0\xD0\xBD\xD0\xB8\xD1\x87\xD0\xB5\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB9 "
    "\xD0\xBE\xD1\x82\xD0\xB2\xD0\xB5\xD1\x82\xD1\x81\xD1\x82\xD0\xB2\xD0\xB5\xD0\xBD\xD0\xBD\xD0\xBE\xD1\x81\xD1"
    "\x82\xD1\x8C\xD1\x8E";

std::string Subject(const std::string& cn) {
  return "/C=RU/O=Bank/CN=" + cn;
}

class LongNames : public StoreTest {
 protected:
  // Files a certificate for cn and makes it the engine's own.
  void BecomeHolder(const std::string& cn) {
    area_.WriteFile("certs/" + cn + ".pem", FakeCertificate(Subject(cn)));
    SetParam(1, Certs() + "/" + cn + ".pem");
  }
  std::string CurrentUid() const {
    std::vector<char> uid(64, '\x7f');
    EXPECT_EQ(api().GetCurrentUserUID(engine(), uid.data()), 0);
    return uid.data();
  }
  int32_t Encode(const std::string& recipients) const {
    char data[4096] = "payload";
    int32_t length = 7;
    return api().EncodeData(engine(), data, &length, recipients.c_str());
  }
  int32_t Sign(const char* signer) const {
    std::vector<char> signature(4096);
    auto length = static_cast<int32_t>(signature.size());
    return api().SignData(engine(), "data", 4, signature.data(), &length, signer);
  }
};

TEST_F(LongNames, TheHostSeesTheCutUidWithoutASplitCharacter) {
  BecomeHolder(kCompany);
  EXPECT_EQ(CurrentUid(), kCompany.substr(0, 39));
  BecomeHolder(kCyrillic);
  // 39 bytes would end inside the 20th letter: the cut keeps 19 whole ones.
  EXPECT_EQ(CurrentUid(), kCyrillic.substr(0, 38));
}

TEST_F(LongNames, TheOwnCertificateUnderItsFullUidIsNeverRemoved) {
  BecomeHolder(kCompany);
  for (const std::string& spelling :
       {kCompany, kCompany.substr(0, 39), std::string("OBSHCHESTVO S OGRANICHENNOY OTVETSTVENNOSTYU")}) {
    EXPECT_EQ(api().RemoveCertificate(engine(), spelling.c_str()), -120) << spelling;
    EXPECT_TRUE(area_.Exists("certs/" + kCompany + ".pem")) << spelling;
  }
}

TEST_F(LongNames, TheOwnTransferAndSignatureUseTheFullUid) {
  BecomeHolder(kCyrillic);
  std::vector<char> transfer(16904, '\0');
  ASSERT_EQ(api().ExcludeSelfPublicKeyTransfer(engine(), transfer.data()), 0);
  std::vector<char> uid(64, '\0');
  ASSERT_EQ(api().GetUIDByPublicKeyTransfer(engine(), transfer.data(), uid.data()), 0);
  EXPECT_EQ(std::string(uid.data()), kCyrillic.substr(0, 38));
  // A correspondent files it under the full UID.
  area_.MakeDir("peer");
  SetParam(2, area_ / "peer");
  ASSERT_EQ(api().IncludePublicKeyTransfer(engine(), transfer.data()), 0);
  EXPECT_TRUE(area_.Exists("peer/" + kCyrillic + ".pem"));
  SetParam(2, Certs());
  // The signer named as the host was told.
  EXPECT_EQ(Sign(CurrentUid().c_str()), 0);
  EXPECT_EQ(Sign(kCyrillic.c_str()), 0);
}

TEST_F(LongNames, ACutUidReachesItsOnlyHolderAndNoShorterOne) {
  area_.WriteFile("certs/" + kCompany + ".pem", FakeCertificate(Subject(kCompany)));
  Hooks().Reset();
  EXPECT_EQ(Encode(kCompany.substr(0, 39)), 0);
  EXPECT_THAT(Hooks().Log(), HasSubstr("CN=" + kCompany + "\")"));
  // A prefix that is not the host's cut never matches a longer holder.
  EXPECT_EQ(Encode(kCompany.substr(0, 38)), -113);
  EXPECT_EQ(Encode("Obshchestvo"), -113);
  // An exactly filed holder wins over the abbreviation.
  const std::string cut = kCompany.substr(0, 39);
  area_.WriteFile("certs/" + cut + ".pem", FakeCertificate(Subject(cut)));
  Hooks().Reset();
  EXPECT_EQ(Encode(cut), 0);
  EXPECT_THAT(Hooks().Log(), HasSubstr("CN=" + cut + "\")"));
}

TEST_F(LongNames, ACutUidOfSeveralHoldersIsRefusedAndTouchesNothing) {
  const std::string alpha = kCompany + " Alpha", beta = kCompany + " Beta";
  area_.WriteFile("certs/" + alpha + ".pem", FakeCertificate(Subject(alpha)));
  area_.WriteFile("certs/" + beta + ".pem", FakeCertificate(Subject(beta)));
  const auto before = AreaContents();
  const std::string cut = alpha.substr(0, 39);
  Hooks().Reset();
  EXPECT_EQ(Encode(cut), -110);
  EXPECT_EQ(Sign(cut.c_str()), -110);
  EXPECT_EQ(api().RemoveCertificate(engine(), cut.c_str()), -110);
  std::vector<char> transfer(16904, '\0');
  EXPECT_EQ(api().GetPublicKeyTransfer(engine(), cut.c_str(), transfer.data()), -110);
  EXPECT_EQ(AreaContents(), before);
  EXPECT_TRUE(Hooks().Calls("EncodeData").empty());
  EXPECT_EQ(ErrorText(-110), "UID error. Bad UID setting or incorrect UID passed to the function.");
  // Their full UIDs still reach each.
  EXPECT_EQ(Encode(alpha + ";" + beta), 0);
}

TEST_F(LongNames, ACutUidIsRemovedFromTheStoreAsItsHolder) {
  const std::string peer = kCompany + " Peer";
  area_.WriteFile("certs/" + peer + ".pem", FakeCertificate(Subject(peer)));
  EXPECT_EQ(api().RemoveCertificate(engine(), peer.substr(0, 39).c_str()), 0);
  EXPECT_FALSE(area_.Exists("certs/" + peer + ".pem"));
}

// ------------------------------------------------------------ letter case

using LetterCase = StoreTest;

TEST_F(LetterCase, TheOwnCertificateUnderAnotherCaseIsNotRemoved) {
  for (const char* spelling : {"ALICE", "alice", "aLiCe"}) {
    EXPECT_EQ(api().RemoveCertificate(engine(), spelling), -120) << spelling;
    EXPECT_TRUE(area_.Exists("certs/Alice.pem")) << spelling;
  }
}

TEST_F(LetterCase, AHolderIsFoundUnderAnyCase) {
  char data[256] = "payload";
  int32_t length = 7;
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "BOB"), 0);
  std::vector<char> signature(4096);
  auto signatureLength = static_cast<int32_t>(signature.size());
  EXPECT_EQ(api().SignData(engine(), "data", 4, signature.data(), &signatureLength, "alice"), 0);
  std::vector<char> transfer(16904, '\0');
  ASSERT_EQ(api().GetPublicKeyTransfer(engine(), "bob", transfer.data()), 0);
  std::vector<char> uid(40, '\0');
  ASSERT_EQ(api().GetUIDByPublicKeyTransfer(engine(), transfer.data(), uid.data()), 0);
  EXPECT_STREQ(uid.data(), "Bob") << "the holder's own spelling travels";
}

}  // namespace
}  // namespace cryptlib::test
