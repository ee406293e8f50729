// The report lines built from the vendor's certificate and request records.
#include <gtest/gtest.h>

#include "binding/info_text.h"

namespace cryptlib {
namespace {

TEST(NameLinesTest, SetFieldsInFixedOrderWithPrefix) {
  MPlugNameRecord issuer{};
  issuer.organisation = "Bank";
  issuer.commonName = "Root CA";
  EXPECT_EQ(NameLines(issuer, "I"), "ICN=Root CA\r\nIO=Bank\r\n");

  const MPlugNameRecord all{"RU", "Moscow Region", "Moscow", "Org", "Unit", "Clerk", "Ivanov", "a@b.ru"};
  EXPECT_EQ(NameLines(all, ""),
            "CN=Ivanov\r\nC=RU\r\nS=Moscow Region\r\nL=Moscow\r\nO=Org\r\nOU=Unit\r\nE=a@b.ru\r\nT=Clerk\r\n");
}

TEST(NameLinesTest, NullAndEmptyFieldsAreLeftOut) {
  MPlugNameRecord name{};
  EXPECT_EQ(NameLines(name, "I"), "");
  name.country = "";
  name.email = "x@y";
  EXPECT_EQ(NameLines(name, ""), "E=x@y\r\n");
}

TEST(FormatVendorDateTest, DotsBecomeDashesAndCenturyGoes) {
  EXPECT_EQ(FormatVendorDate("05.03.2004 10:11:12"), "05-03-04 10:11:12");
  EXPECT_EQ(FormatVendorDate("31.12.1999"), "31-12-99");
  // Short texts lose what there is of characters 7 and 8.
  EXPECT_EQ(FormatVendorDate("1.2.345"), "1-2-34");
  EXPECT_EQ(FormatVendorDate("1.2.3"), "1-2-3");
  EXPECT_EQ(FormatVendorDate(nullptr), "");
}

TEST(PublicKeyLinesTest, AlgorithmLineThenIndentedBlock) {
  EXPECT_EQ(PublicKeyLines("Public Key Algorithm: GOST R 34.10-2001\n        Key: 04 40\n        ab cd\n"),
            "PKeyAlg=GOST R 34.10-2001\r\nPKey=\r\nKey: 04 40\r\nab cd\r\n\r\n");
}

TEST(PublicKeyLinesTest, WithoutMarkerOnlyTheKeyBlock) {
  EXPECT_EQ(PublicKeyLines("header\n  04 41 ff\n"), "PKey=\r\n04 41 ff\r\n\r\n");
  // A marker after the first line feed does not name the algorithm.
  EXPECT_EQ(PublicKeyLines("first\nPublic Key Algorithm: RSA\nbits"),
            "PKey=\r\nPublic Key Algorithm: RSA\r\nbits\r\n\r\n");
  // Without a line feed the whole text is the key.
  EXPECT_EQ(PublicKeyLines(" 01 02 "), "PKey=\r\n01 02\r\n\r\n");
}

TEST(PublicKeyLinesTest, SingleLineEndingInLineFeedIsKept) {
  EXPECT_EQ(PublicKeyLines("Public Key Algorithm: RSA\n"), "PKeyAlg=RSA\r\nPKey=\r\nPublic Key Algorithm: RSA\r\n\r\n");
}

TEST(PublicKeyLinesTest, IndentIsRemovedInRunsOfEight) {
  // Nine spaces leave one; sixteen leave none.
  EXPECT_EQ(PublicKeyLines("x\na         b                c"), "PKey=\r\na bc\r\n\r\n");
}

TEST(PublicKeyLinesTest, EmptyDescriptionGivesNothing) {
  EXPECT_EQ(PublicKeyLines(""), "");
  EXPECT_EQ(PublicKeyLines(nullptr), "");
}

TEST(InfoLinesTest, CertificateReportPiecesInOrder) {
  MPlugCertInfo info{};
  info.serialNumber = "0A1B";
  info.validFrom = "05.03.2004 10:11:12";
  info.validTo = "05.03.2005 10:11:12";
  info.issuer.commonName = "CA";
  info.subject.commonName = "User";
  info.subject.country = "RU";
  info.publicKey = "Public Key Algorithm: RSA\n        00 11";
  EXPECT_EQ(CertInfoLines(info),
            "SN=0A1B\r\nICN=CA\r\nCN=User\r\nC=RU\r\nNotBefore=05-03-04 10:11:12\r\n"
            "NotAfter=05-03-05 10:11:12\r\nPKeyAlg=RSA\r\nPKey=\r\n00 11\r\n\r\n");
}

TEST(InfoLinesTest, RequestReportIsSubjectThenKey) {
  MPlugReqInfo info{};
  info.subject.commonName = "User";
  info.publicKey = "k";
  EXPECT_EQ(RequestInfoLines(info), "CN=User\r\nPKey=\r\nk\r\n\r\n");
}

}  // namespace
}  // namespace cryptlib
