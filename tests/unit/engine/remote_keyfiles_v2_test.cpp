// The key files of remote generation: the ".dat" twins, the hooks over the
// PSE key-file set (TMProWinCryptoEngine) and over the 2.x key container
// (TMPro2xCryptoEngine), against the fake 2.x module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "cryptlib.h"
#include "engine/formats/remote_key_name.h"
#include "engine/mpro_2x.h"
#include "platform/date_time.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

using test::TestDir;
using ::testing::IsEmpty;
using ::testing::StartsWith;
namespace fs = std::filesystem;

constexpr const char* kMandatory[] = {"uz.db3", "gk.db3", "num", "DB/CRYPT/ckd.key", "DB/SIGN/sec_sgn.key"};
constexpr const char* kOptional[] = {"sc_pub.key", "DB/CRYPT/net_ks.key", "DB/SIGN/pub_sgn.key"};

std::string Content(const char* name) {
  return std::string("key material of ") + name + "\n";
}

// Both engine variants, with their protected routines reachable.
template <class Engine>
class Exposed : public Engine {
 public:
  using Engine::DecryptDatToFile;
  using Engine::EncryptFileToDat;
  using Engine::SubjectFromLine;
};

template <class Engine>
class KeyFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certs_.WriteFile("Alice.pem", "FAKE CERTIFICATE\nSubject: /CN=Alice\n");
    ASSERT_EQ(engine_.SetCryptoParamValue(1, (certs_ / "Alice.pem").c_str()), 0);
    ASSERT_EQ(engine_.SetCryptoParamValue(2, certs_.path().c_str()), 0);
    engine_.SetRemoteGeneratePath(remote_.path());
  }
  std::string R(const std::string& name) const { return remote_ / name; }

  TestDir certs_;
  TestDir remote_;
  Exposed<Engine> engine_;
};

using PSEKeyFiles = KeyFilesTest<TMProWinCryptoEngine>;
using ContainerKeyFiles = KeyFilesTest<TMPro2xCryptoEngine>;

TEST_F(PSEKeyFiles, BackupProtectsEveryFileThatExistsAndRestoreBringsThemBack) {
  remote_.MakeDir("DB/CRYPT");
  remote_.MakeDir("DB/SIGN");
  for (const char* name : kMandatory) remote_.WriteFile(name, Content(name));
  remote_.WriteFile("sc_pub.key", Content("sc_pub.key"));  // the other optional files are missing

  ASSERT_EQ(engine_.RG_BackupKeyFiles("Alice"), 0);
  for (const char* name : kMandatory) EXPECT_FALSE(remote_.Exists(name)) << name;
  EXPECT_FALSE(remote_.Exists("sc_pub.key"));
  EXPECT_TRUE(remote_.Exists("DB/SIGN/sec_sgn.dat"));
  EXPECT_TRUE(remote_.Exists("num.dat"));
  EXPECT_FALSE(remote_.Exists("DB/CRYPT/net_ks.dat"));
  // A twin names its plain file as the engine did, then holds it encrypted.
  const std::string twin = remote_.ReadFile("uz.dat");
  EXPECT_EQ(twin.substr(0, twin.find('\0')), engine_.RemoteGeneratePath() + "uz.db3");
  EXPECT_THAT(twin.substr(twin.find('\0') + 1), StartsWith("FAKE ENVELOPE"));

  ASSERT_EQ(engine_.RG_RestoreKeyFiles(), 0);
  for (const char* name : kMandatory) EXPECT_EQ(remote_.ReadFile(name), Content(name)) << name;
  EXPECT_EQ(remote_.ReadFile("sc_pub.key"), Content("sc_pub.key"));
}

TEST_F(PSEKeyFiles, FailedBackupLeavesThePlainFilesAlone) {
  remote_.MakeDir("DB/CRYPT");
  for (const char* name : {"uz.db3", "gk.db3", "num", "DB/CRYPT/ckd.key"}) remote_.WriteFile(name, Content(name));
  // DB\SIGN\sec_sgn.key is missing: the backup fails after four twins.
  EXPECT_EQ(engine_.RG_BackupKeyFiles("Alice"), CE_KEY_FILE_IO);
  for (const char* name : {"uz.db3", "gk.db3", "num", "DB/CRYPT/ckd.key"})
    EXPECT_EQ(remote_.ReadFile(name), Content(name)) << name;
  // No twin of a half-made backup stays to be mixed with a later one.
  for (const char* twin : {"uz.dat", "gk.dat", "num.dat", "DB/CRYPT/ckd.dat"}) EXPECT_FALSE(remote_.Exists(twin));
}

TEST_F(PSEKeyFiles, RestoreWithAMissingMandatoryTwinStopsThere) {
  remote_.MakeDir("DB/CRYPT");
  remote_.MakeDir("DB/SIGN");
  for (const char* name : kMandatory) remote_.WriteFile(name, Content(name));
  ASSERT_EQ(engine_.RG_BackupKeyFiles("Alice"), 0);
  fs::remove(R("num.dat"));
  EXPECT_EQ(engine_.RG_RestoreKeyFiles(), CE_KEY_FILE_IO);
  EXPECT_FALSE(remote_.Exists("num"));
  EXPECT_TRUE(remote_.Exists("DB/SIGN/sec_sgn.dat"));
}

TEST_F(PSEKeyFiles, CopyBuildsTheTreeAndNeedsTheSigningKey) {
  TestDir source;
  source.MakeDir("DB/CRYPT");
  source.MakeDir("DB/SIGN");
  for (const char* name : kMandatory) source.WriteFile(name, Content(name));
  EXPECT_TRUE(engine_.RG_CopyKeyFiles(source.path()));
  for (const char* name : kMandatory) EXPECT_EQ(remote_.ReadFile(name), Content(name));
  for (const char* name : kOptional) EXPECT_FALSE(remote_.Exists(name));

  fs::remove(source / "DB/SIGN/sec_sgn.key");
  EXPECT_FALSE(engine_.RG_CopyKeyFiles(source.path()));
}

TEST_F(PSEKeyFiles, SigningKeyBackupNameCountsUpFromTheNumberedFiles) {
  TestDir keys;
  const std::string base = keys.path() + "\\DB\\SIGN\\sec_sgn.";
  EXPECT_EQ(engine_.RG_GetSignKeyBackupName(keys.path()), base + "000");
  keys.MakeDir("DB/SIGN");
  keys.WriteFile("DB/SIGN/sec_sgn.key", "current");
  keys.WriteFile("DB/SIGN/sec_sgn.004", "older");
  EXPECT_EQ(engine_.RG_GetSignKeyBackupName(keys.path()), base + "005");
}

TEST_F(PSEKeyFiles, TwinsOfTheLargestKeyFileFitAndLargerFilesAreRefused) {
  remote_.WriteFile("big.key", std::string(8192, 'k'));
  EXPECT_EQ(engine_.EncryptFileToDat(R("big.key"), "Alice"), 0);
  EXPECT_EQ(engine_.DecryptDatToFile(R("big.dat"), R("back.key")), 0);
  EXPECT_EQ(remote_.ReadFile("back.key"), std::string(8192, 'k'));

  remote_.WriteFile("huge.key", std::string(8193, 'k'));
  EXPECT_EQ(engine_.EncryptFileToDat(R("huge.key"), "Alice"), CE_KEY_FILE_IO);
  EXPECT_FALSE(remote_.Exists("huge.dat"));
  EXPECT_EQ(engine_.EncryptFileToDat(R("none.key"), "Alice"), CE_KEY_FILE_IO);
  // A twin without its path's terminator, or for someone else, is refused.
  remote_.WriteFile("damaged.dat", "no terminator");
  EXPECT_EQ(engine_.DecryptDatToFile(R("damaged.dat"), R("out.key")), CE_KEY_FILE_IO);
  EXPECT_FALSE(remote_.Exists("out.key"));
}

TEST_F(ContainerKeyFiles, FingerprintCountsKeyFilesDirectlyInKeys) {
  TestDir media;
  char text[64] = "unchanged";
  EXPECT_EQ(engine_.RG_PSEPrivateKeyBackup(media.path(), text), 0);
  EXPECT_STREQ(text, "0");
  media.MakeDir("KEYS/old");
  media.WriteFile("KEYS/a.key", "");
  media.WriteFile("KEYS/B.KEY", "");
  media.WriteFile("KEYS/notes.txt", "");
  media.WriteFile("KEYS/old/c.key", "");
  EXPECT_EQ(engine_.RG_PSEPrivateKeyBackup(media.path(), text), 0);
  EXPECT_STREQ(text, "2");
  EXPECT_EQ(engine_.RG_PSEPrivateKeyBackup(media.path(), nullptr), 0);
  EXPECT_THAT(engine_.RG_GetSignKeyBackupName(media.path()), IsEmpty());
}

TEST_F(ContainerKeyFiles, BackupNeverLeavesThePlainMasterKey) {
  remote_.WriteFile("mk.db3", "master key");
  ASSERT_EQ(engine_.RG_BackupKeyFiles("Alice"), 0);
  EXPECT_FALSE(remote_.Exists("mk.db3"));
  ASSERT_EQ(engine_.RG_RestoreKeyFiles(), 0);
  EXPECT_EQ(remote_.ReadFile("mk.db3"), "master key");

  // Protection for a holder nobody knows fails; the plain key goes anyway.
  fs::remove(R("mk.dat"));
  EXPECT_NE(engine_.RG_BackupKeyFiles("Nobody"), 0);
  EXPECT_FALSE(remote_.Exists("mk.db3"));
  EXPECT_FALSE(remote_.Exists("mk.dat"));
}

TEST_F(ContainerKeyFiles, CopyTakesTheContainerAndTheKeysTree) {
  TestDir source;
  for (const char* name : {"mk.db3", "masks.db3", "kek.opq"}) source.WriteFile(name, Content(name));
  source.MakeDir("KEYS/sub");
  source.WriteFile("KEYS/one.key", "1");
  source.WriteFile("KEYS/sub/two.key", "2");
  EXPECT_TRUE(engine_.RG_CopyKeyFiles(source.path()));
  EXPECT_EQ(remote_.ReadFile("KEYS/sub/two.key"), "2");
  EXPECT_FALSE(remote_.Exists("rand.opq"));
  fs::remove(source / "kek.opq");
  EXPECT_FALSE(engine_.RG_CopyKeyFiles(source.path()));
}

TEST_F(PSEKeyFiles, SubjectFieldsTakeEverySpellingAndTheKeyNameGoesWhereTheUidFieldSays) {
  auto fields = engine_.SubjectFromLine("/C=RU/SP=Region/L=Town/O=Bank/OU=IT/CN=Alice/Email=a@bank.example/T=Clerk");
  EXPECT_EQ(fields.s, "Region");
  EXPECT_EQ(fields.e, "a@bank.example");
  EXPECT_EQ(fields.t, "Clerk");
  EXPECT_EQ(fields.c + fields.l + fields.o + fields.ou + fields.cn, "RUTownBankITAlice");
  EXPECT_EQ(engine_.SubjectFromLine("/ST=Oblast/E=x@y").s, "Oblast");
  EXPECT_EQ(engine_.SubjectFromLine("/S=Krai").s, "Krai");
  EXPECT_EQ(engine_.SubjectFromLine("/ST=Oblast/E=x@y").e, "x@y");

  EXPECT_EQ(fields.Named(""), &fields.cn);
  EXPECT_EQ(fields.Named("ou"), &fields.ou);
  EXPECT_EQ(fields.Named("t"), &fields.t);
  EXPECT_EQ(fields.Named("SN"), nullptr);
}

TEST(RemoteKeyName, DateSuffixIsAddedOnceAndTheHostsNameWins) {
  platform::CivilDateTime now;
  now.year = 2026;
  now.month = 3;
  now.day = 7;
  now.hour = 9;
  now.minute = 5;
  now.second = 1;
  EXPECT_EQ(WithGenerationDateSuffix("Alice", now), "Alice (07-03-2026 09-05-01)");
  EXPECT_EQ(WithGenerationDateSuffix("Alice (01-01-2020 00-00-00)", now), "Alice (07-03-2026 09-05-01)");
  // Parentheses that are not a whole suffix stay.
  EXPECT_EQ(WithGenerationDateSuffix("Alice (Branch)", now), "Alice (Branch) (07-03-2026 09-05-01)");
  EXPECT_EQ(RemoteKeyName("Given", "Alice", "CN"), "Given");
  EXPECT_EQ(RemoteKeyName("", "0A1B", "SN"), "0A1B");
  EXPECT_THAT(RemoteKeyName(nullptr, "Alice", "CN"), StartsWith("Alice ("));
}

TEST(DateTime, CivilDatesRoundTrip) {
  const platform::CivilDateTime noon = platform::DecodeDateTime(45000.5);
  EXPECT_EQ(noon.year, 2023);
  EXPECT_EQ(noon.month, 3);
  EXPECT_EQ(noon.day, 15);
  EXPECT_EQ(noon.hour, 12);
  for (double value : {0.0, 1.25, 36526.999988426, 45000.5, 73050.0417}) {
    const platform::CivilDateTime civil = platform::DecodeDateTime(value);
    EXPECT_NEAR(platform::EncodeDateTime(civil), value, 0.5 / 86400000.0) << value;
  }
  const platform::CivilDateTime epoch = platform::DecodeDateTime(0.0);
  EXPECT_EQ(epoch.year * 10000 + epoch.month * 100 + epoch.day, 18991230);
}

}  // namespace
}  // namespace cryptlib
