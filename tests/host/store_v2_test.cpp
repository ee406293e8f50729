// The certificate store as a host drives it over the fake 2.x module: the
// directory tree, certificates with their numbered backups, CA certificates,
// revocation lists, removal, and UIDs that try to leave the directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

std::string Crl(const std::string& issuer, const std::string& tag) {
  return "FAKE CRL\nIssuer: " + issuer + "\nTag: " + tag + "\n";
}

// ---------------------------------------------------------- directory tree

using DirStructure = StoreTest;

TEST_F(DirStructure, LaysOutTheTreeCopiesTheOwnCertificateAndNumbersTheCaFiles) {
  area_.MakeDir("in");
  area_.MakeDir("own");
  area_.WriteFile("in/own.pem", FakeCertificate("/C=RU/CN=Carol"));
  area_.WriteFile("in/ca_a.pem", FakeCertificate("/CN=CA A"));
  area_.WriteFile("in/ca_b.pem", FakeCertificate("/CN=CA B"));
  SetParam(1, area_ / "own/Carol.pem");
  SetParam(2, area_ / "tree/certs");
  SetParam(3, area_ / "tree/keys");
  const std::string list = area_ / "in/ca_a.pem;" + area_ / "in/ca_b.pem;";

  ASSERT_EQ(api().CreateDirStructure(engine(), (area_ / "in/own.pem").c_str(), list.c_str()), 0);
  EXPECT_EQ(area_.ReadFile("tree/keys/CA/ca1.pem"), FakeCertificate("/CN=CA A"));
  EXPECT_EQ(area_.ReadFile("tree/keys/CA/ca2.pem"), FakeCertificate("/CN=CA B"));
  EXPECT_EQ(area_.ReadFile("tree/certs/Carol.pem"), FakeCertificate("/C=RU/CN=Carol"));
  EXPECT_EQ(area_.ReadFile("own/Carol.pem"), FakeCertificate("/C=RU/CN=Carol")) << "copied to parameter 1";
  EXPECT_TRUE(area_.Exists("in/own.pem")) << "the own certificate is copied, not moved";
}

TEST_F(DirStructure, MissingOwnCertificateAndCutCaListAreIoErrors) {
  EXPECT_EQ(api().CreateDirStructure(engine(), (area_ / "none.pem").c_str(), ""), -107);
  EXPECT_FALSE(area_.Exists("keys/CA")) << "nothing is laid out without the own certificate";
  EXPECT_EQ(api().CreateDirStructure(engine(), (area_ / "none.pem").c_str(), nullptr), -101);

  // Only 255 characters of the list count: the second path is cut short.
  area_.WriteFile("ca.pem", FakeCertificate("/CN=CA"));
  const std::string longName = area_ / std::string(200, 'x');
  const std::string list = area_ / "ca.pem;" + longName;
  area_.WriteFile(std::string(200, 'x'), "whole name");
  EXPECT_EQ(api().CreateDirStructure(engine(), (Certs() + "/Alice.pem").c_str(), list.c_str()), -107);
  EXPECT_TRUE(area_.Exists("keys/CA/ca1.pem")) << "copies made before the failure stay";
  EXPECT_FALSE(area_.Exists("keys/CA/ca2.pem"));
}

// ------------------------------------------------------------ certificates

using Certificates = StoreTest;

TEST_F(Certificates, IncludeMovesTheFileAndKeepsEarlierOnesAsNumberedBackups) {
  area_.MakeDir("in");
  for (const char* tag : {"1", "2", "3"}) {
    const std::string content = FakeCertificate("/C=RU/CN=Dave") + tag;
    area_.WriteFile("in/dave.cer", content);
    const auto include = std::string(tag) == "2" ? api().IncludePublicEncodeKey : api().IncludePublicKey;
    ASSERT_EQ(include(engine(), (area_ / "in/dave.cer").c_str()), 0) << tag;
    EXPECT_FALSE(area_.Exists("in/dave.cer")) << "moved, not copied";
    EXPECT_EQ(area_.ReadFile("certs/Dave.pem"), content);
  }
  EXPECT_EQ(area_.ReadFile("certs/Dave.001"), FakeCertificate("/C=RU/CN=Dave") + "1");
  EXPECT_EQ(area_.ReadFile("certs/Dave.002"), FakeCertificate("/C=RU/CN=Dave") + "2");
  EXPECT_EQ(api().IncludePublicKey(engine(), (area_ / "in/none.pem").c_str()), -111);
}

TEST_F(Certificates, AHolderWithBothPemAndCerKeepsBothAsBackups) {
  area_.WriteFile("certs/Dave.pem", "old pem");
  area_.WriteFile("certs/Dave.cer", "old cer");
  area_.WriteFile("new.pem", FakeCertificate("/CN=Dave"));
  ASSERT_EQ(api().IncludePublicKey(engine(), (area_ / "new.pem").c_str()), 0);
  EXPECT_EQ(area_.ReadFile("certs/Dave.001"), "old pem");
  EXPECT_EQ(area_.ReadFile("certs/Dave.002"), "old cer");
}

TEST_F(Certificates, UidFieldSnFilesUnderTheModulesSerial) {
  SetParam(20, "SN");
  area_.WriteFile("new.pem", "FAKE CERTIFICATE\nSubject: /CN=Dave\nSN: 0A1B2C\n");
  ASSERT_EQ(api().IncludePublicKey(engine(), (area_ / "new.pem").c_str()), 0);
  EXPECT_TRUE(area_.Exists("certs/0A1B2C.pem"));
}

TEST_F(Certificates, RemoveRefusesTheOwnCertificateAndKeepsBackups) {
  EXPECT_EQ(api().RemoveCertificate(engine(), "Alice"), -120);
  EXPECT_TRUE(area_.Exists("certs/Alice.pem"));
  area_.WriteFile("certs/Bob.cer", "cer");
  area_.WriteFile("certs/Bob.001", "backup");
  ASSERT_EQ(api().RemoveCertificate(engine(), "Bob"), 0);
  EXPECT_FALSE(area_.Exists("certs/Bob.pem"));
  EXPECT_FALSE(area_.Exists("certs/Bob.cer"));
  EXPECT_TRUE(area_.Exists("certs/Bob.001"));
  EXPECT_EQ(api().RemoveCertificate(engine(), "Nobody"), 0);
  EXPECT_EQ(api().RemoveCertificate(engine(), ""), -101);
}

TEST_F(Certificates, UpdateCashPrefersTheModulesCopyThenTheFile) {
  ASSERT_EQ(api().UpdateCertificateCash(engine(), "Bob"), 0);
  EXPECT_THAT(Hooks().Calls("GetCertificateByUID"), Contains(HasSubstr("CN=Bob")));
  // The module does not know him: his file goes to the open context, which
  // lives for a day.
  SetParam(22, "1");
  Hooks().Script("GetCertificateByUID", 1005, 1);
  ASSERT_EQ(api().UpdateCertificateCash(engine(), "Bob"), 0);
  EXPECT_THAT(Hooks().Calls("LoadCertificate"), Not(::testing::IsEmpty()));
  EXPECT_EQ(api().UpdateCertificateCash(engine(), "Nobody"), -113);
  EXPECT_EQ(api().UpdateCertificateCash(engine(), nullptr), -101);
}

// ------------------------------------------------- CA certificates and CRLs

using CaAndCrl = StoreTest;

TEST_F(CaAndCrl, CaCertificatesFromTransfersAreCaPemThenFiveDigits) {
  area_.WriteFile("bank_ca.pem", FakeCertificate("/CN=Bank CA"));
  const std::string transfer = TransferOfFile(area_ / "bank_ca.pem");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(api().IncludeCACertificateFromTransfer(engine(), transfer.c_str()), 0);
  EXPECT_EQ(area_.ReadFile("keys/CA/ca.pem"), FakeCertificate("/CN=Bank CA"));
  EXPECT_TRUE(area_.Exists("keys/CA/ca00001.pem"));
  EXPECT_TRUE(area_.Exists("keys/CA/ca00002.pem"));
  EXPECT_EQ(api().IncludeCACertificateFromTransfer(engine(), ""), -101);
}

TEST_F(CaAndCrl, ANewListReplacesOnlyItsIssuersOlderList) {
  area_.WriteFile("a1.crl", Crl("/CN=CA A", "1"));
  area_.WriteFile("b1.crl", Crl("/CN=CA B", "1"));
  area_.WriteFile("a2.crl", Crl("/CN=CA A", "2"));
  ASSERT_EQ(api().IncludeCRL(engine(), (area_ / "a1.crl").c_str()), 0);
  ASSERT_EQ(api().IncludeCRL(engine(), (area_ / "b1.crl").c_str()), 0);
  EXPECT_EQ(area_.ReadFile("keys/CRL/crl1.pem"), Crl("/CN=CA A", "1"));
  EXPECT_EQ(area_.ReadFile("keys/CRL/crl2.pem"), Crl("/CN=CA B", "1"));
  ASSERT_EQ(api().IncludeCRL(engine(), (area_ / "a2.crl").c_str()), 0);
  EXPECT_FALSE(area_.Exists("keys/CRL/crl1.pem")) << "issuer A's older list is replaced";
  EXPECT_EQ(area_.ReadFile("keys/CRL/crl2.pem"), Crl("/CN=CA B", "1"));
  EXPECT_EQ(area_.ReadFile("keys/CRL/crl3.pem"), Crl("/CN=CA A", "2"));
  EXPECT_FALSE(area_.Exists("a2.crl")) << "the list is moved in";
}

TEST_F(CaAndCrl, MissingAndBadListsAndAnUncreatableDirectory) {
  EXPECT_EQ(api().IncludeCRL(engine(), (area_ / "none.crl").c_str()), -124);
  area_.WriteFile("bad.crl", "not a list");
  EXPECT_EQ(api().IncludeCRL(engine(), (area_ / "bad.crl").c_str()), -125);
  EXPECT_TRUE(area_.Exists("bad.crl"));
  SetParam(26, area_ / "missing/parent/crl");
  EXPECT_EQ(api().IncludeCRL(engine(), (area_ / "bad.crl").c_str()), -123);
}

// ------------------------------------------------ UIDs that leave the store

class UidFileNames : public StoreTest {
 protected:
  // A certificate whose common name is uid, as a peer may send one.
  std::string CertificateNamed(const std::string& uid) {
    area_.MakeDir("in");
    area_.WriteFile("in/peer.pem", FakeCertificate("/C=RU/CN=" + uid));
    return area_ / "in/peer.pem";
  }
  // Each operation that turns a UID into a file name, driven with one UID.
  int32_t Run(const std::string& operation, const std::string& uid) {
    const host::Exports& host = api();
    std::vector<char> buffer(20000, '\0');
    if (operation == "RemoveCertificate") return host.RemoveCertificate(engine(), uid.c_str());
    if (operation == "UpdateCertificateCash") return host.UpdateCertificateCash(engine(), uid.c_str());
    if (operation == "GetPublicKeyProperties") return host.GetPublicKeyProperties(engine(), uid.c_str(), buffer.data());
    if (operation == "GetPublicKeyTransfer") return host.GetPublicKeyTransfer(engine(), uid.c_str(), buffer.data());
    if (operation == "IncludePublicKey") return host.IncludePublicKey(engine(), CertificateNamed(uid).c_str());
    if (operation == "IncludePublicEncodeKey")
      return host.IncludePublicEncodeKey(engine(), CertificateNamed(uid).c_str());
    const std::string transfer = TransferOfFile(CertificateNamed(uid));
    return host.IncludePublicKeyTransfer(engine(), transfer.c_str());
  }
};

TEST_F(UidFileNames, AUidThatLeavesTheDirectoryIsRefusedBeforeAnyFileIsTouched) {
  // A holder's file beside the certificate directory that "..\victim" names.
  area_.WriteFile("victim.pem", FakeCertificate("/C=RU/CN=victim"));
  for (const char* operation :
       {"RemoveCertificate", "UpdateCertificateCash", "GetPublicKeyProperties", "GetPublicKeyTransfer",
        "IncludePublicKey", "IncludePublicEncodeKey", "IncludePublicKeyTransfer"}) {
    for (const std::string uid : {"..\\victim", "..", "x:victim", "a\tb", "sub\\victim"}) {
      SCOPED_TRACE(std::string(operation) + " " + uid);
      std::set<std::string> before = AreaContents();
      EXPECT_EQ(Run(operation, uid), -110);
      std::set<std::string> after = AreaContents();
      for (auto* contents : {&before, &after}) {
        contents->erase("in/");
        contents->erase("in/peer.pem");
      }
      EXPECT_EQ(after, before) << "nothing created, renamed or deleted";
      EXPECT_EQ(area_.ReadFile("victim.pem"), FakeCertificate("/C=RU/CN=victim"));
    }
  }
}

}  // namespace
}  // namespace cryptlib::test
