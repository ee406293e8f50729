#include "engine/formats/cert_names.h"
#include "support/numbered_names.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/test_dir.h"

namespace cryptlib {
namespace {

using test::TestDir;

// A directory holding empty files of the given names.
void AddFiles(const TestDir& dir, std::initializer_list<const char*> names) {
  for (const char* name : names) dir.WriteFile(name, "");
}

TEST(UidFileName, AcceptsNamesThatStayInTheDirectory) {
  for (const char* uid : {"Alice Smith", "Ivanov I.I.", "SN-0a1b2c", "A", "name.with.dots", "\xC0\xEB\xE8\xF1\xE0"}) {
    EXPECT_TRUE(IsSafeUidFileName(uid)) << uid;
    EXPECT_EQ(CheckUidFileName(uid), 0) << uid;
  }
}

TEST(UidFileName, RefusesSeparatorsParentsDrivesAndControlCharacters) {
  const std::string refused[] = {"",
                                 "..",
                                 "..\\..\\etc\\passwd",
                                 "../outside",
                                 "a/b",
                                 "a\\b",
                                 "C:",
                                 "C:\\Windows\\x",
                                 "file:stream",
                                 "a..b",
                                 "tab\tin",
                                 "line\nbreak",
                                 std::string("nul\0x", 5),
                                 "del\x7f",
                                 "*",
                                 "Al?ce",
                                 "quote\"d",
                                 "<a>",
                                 "pipe|d"};
  for (const std::string& uid : refused) {
    EXPECT_FALSE(IsSafeUidFileName(uid)) << uid;
    EXPECT_EQ(CheckUidFileName(uid), kBadUidCode) << uid;
  }
  EXPECT_EQ(kBadUidCode, -110);
}

// One rule for the holder's name in a subject line: an empty field reads as
// CN, SN takes the whole line, any other field its value up to the next "/";
// a longer tag that begins with the field's name is another field.
TEST(UidField, NamesTheHolderByOneFieldOrTheWholeLine) {
  const char* line = "/C=RU/CNX=Other/CN=Alice Smith/O=Bank";
  EXPECT_EQ(UidFieldOrDefault(""), "CN");
  EXPECT_EQ(UidInSubjectLine(line, UidFieldOrDefault("")), "Alice Smith");
  EXPECT_EQ(UidInSubjectLine(line, "O"), "Bank");
  EXPECT_EQ(UidInSubjectLine(line, "SN"), line);
  EXPECT_EQ(UidInSubjectLine(line, "OU"), "");
  EXPECT_TRUE(UidIsWholeLine("SN"));
  EXPECT_FALSE(UidIsWholeLine("CN"));
}

TEST(BackupName, CountsOnlyThreeDigitExtensionsOfTheSameHolder) {
  TestDir dir;
  AddFiles(dir, {"Alice.pem"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.001");
  AddFiles(dir, {"Alice.001"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.002");
  // Gaps are not refilled; other holders and other extensions do not count.
  AddFiles(dir, {"Alice.005", "Bob.042", "Alice.cer", "Alice.bak", "AliceB.077"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.006");
  EXPECT_EQ(NextBackupName(dir.path(), "Bob"), "Bob.043");
}

TEST(BackupName, LetterCaseDoesNotSeparateAHoldersBackups) {
  TestDir dir;
  AddFiles(dir, {"alice.003"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.004");
}

TEST(BackupName, PastNineHundredNinetyNineTheNumberWidensAndNeverNamesAnExistingBackup) {
  TestDir dir;
  AddFiles(dir, {"Alice.999"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.1000");
  // A name an earlier numbering cut to three digits counts as what it says.
  AddFiles(dir, {"Alice.100", "Alice.1000"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.1001");
  AddFiles(dir, {"Alice.12345"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.12346");
}

TEST(BackupName, OnlyTheHoldersOwnNumbersCount) {
  struct Case {
    const char* name;
    int64_t number;
  };
  const Case cases[] = {
      {"Alice.001", 1},      {"ALICE.042", 42},  {"Alice.1000", 1000},      {"Alice.01", -1},  {"Alice.pem", -1},
      {"Alice.100.001", -1}, {"AliceB.077", -1}, {"Alice.12345678901", -1}, {"Alice_001", -1}, {"Alice.0x1", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(BackupNumberOf(c.name, "Alice"), c.number) << c.name;
  // A holder whose UID holds a dot is not another holder's backup.
  TestDir dir;
  AddFiles(dir, {"Alice.100.pem", "Alice.100.007"});
  EXPECT_EQ(NextBackupName(dir.path(), "Alice"), "Alice.001");
  EXPECT_EQ(NextBackupName(dir.path(), "Alice.100"), "Alice.100.008");
}

TEST(CaFileName, PlainNumbersAfterTheLargestFound) {
  TestDir dir;
  EXPECT_EQ(NextCaFileName(dir / "missing"), "ca0.pem");
  EXPECT_EQ(NextCaFileName(dir.path()), "ca1.pem");
  // "ca.pem" and names without a number between "ca" and the dot hold none.
  AddFiles(dir, {"ca.pem", "cab.pem", "ca2x.pem"});
  EXPECT_EQ(NextCaFileName(dir.path()), "ca1.pem");
  AddFiles(dir, {"ca2.pem", "ca10.pem", "ca11.crt", "crl50.pem"});
  EXPECT_EQ(NextCaFileName(dir.path()), "ca11.pem");
}

TEST(CaFileName, DirectoriesAreNotCounted) {
  TestDir dir;
  dir.MakeDir("ca7.pem");
  AddFiles(dir, {"ca3.pem"});
  EXPECT_EQ(NextCaFileName(dir.path()), "ca4.pem");
}

TEST(TransferCaFileName, FirstCaPemThenFiveDigits) {
  TestDir dir;
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "ca.pem");
  AddFiles(dir, {"ca.pem"});
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "ca00001.pem");
  AddFiles(dir, {"ca00001.pem"});
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "ca00002.pem");
  // Files laid out with the directory tree ("ca" + N) share the numbering.
  AddFiles(dir, {"ca7.pem"});
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "ca00008.pem");
}

TEST(TransferCaFileName, ACutNumberNeverNamesAStoredCertificate) {
  TestDir dir;
  AddFiles(dir, {"ca.pem", "ca99999.pem"});
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "ca10000.pem");
  AddFiles(dir, {"ca10000.pem"});
  EXPECT_EQ(NextTransferCaFileName(dir.path()), "");
}

TEST(CrlFileName, NumberedOverPemListsOnly) {
  TestDir dir;
  EXPECT_EQ(NextCrlFileName(dir.path()), "crl1.pem");
  AddFiles(dir, {"crl1.pem", "crl7.pem", "crl9.crl", "old.pem"});
  EXPECT_EQ(NextCrlFileName(dir.path()), "crl8.pem");
}

TEST(TransferTempFileName, FiveDigitsOverEveryCrtName) {
  TestDir dir;
  EXPECT_EQ(NextTransferTempFileName(dir / "missing"), "crt00000.pem");
  EXPECT_EQ(NextTransferTempFileName(dir.path()), "crt00001.pem");
  AddFiles(dir, {"crt00004.pem", "crt6.txt", "crtx.pem"});
  EXPECT_EQ(NextTransferTempFileName(dir.path()), "crt00007.pem");
}

TEST(StoreDirectories, FallBackToTheKeyDirectoryWhenTheParameterIsMissingOrEmpty) {
  std::map<int32_t, std::string> params = {{3, "K:\\KEYS\\"}, {24, "K:\\MYCA\\"}, {25, "K:\\MYCRL\\"}, {26, ""}};
  const DirectoryParam param = [&params](int32_t number) { return params[number]; };
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCa, 0, 26, param), "K:\\MYCA\\");
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCrl, 0, 26, param), "K:\\MYCRL\\");
  // The module reports too few parameters for the one the variant uses.
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCa, 0, 23, param), "K:\\KEYS\\CA\\");
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCrl, 1, 25, param), "K:\\KEYS\\CRL\\");
  // Enough parameters, but the one of the variant is empty.
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCrl, 2, 26, param), "K:\\KEYS\\CRL\\");
  EXPECT_EQ(ResolveStoreDirectory(StoreDirectory::kCa, 1, 26, param), "K:\\MYCRL\\");
}

}  // namespace
}  // namespace cryptlib
