// CertAndRequestTransferMatch and its scratch directory when the file system
// fails: every write and rename inside the scratch directory is failed in
// turn, and the directory must be gone after each run. The engine runs over
// the fake 2.x module with a platform that fails on purpose.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "engine/mpro_2x.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

using test::TestDir;

// The fake host with its own temporary directory, failing the n-th write or
// rename (counted from 1) of a file below it; 0 fails nothing.
class FailingTemp : public test::FakeHost {
 public:
  explicit FailingTemp(std::string temp) : temp_(std::move(temp)) {}

  std::string TempDirectory() override { return temp_ + "/"; }
  bool WriteFile(const std::string& path, const void* data, size_t size) override {
    return !Fails(path) && FakeHost::WriteFile(path, data, size);
  }
  // The support routines write their temporaries through this one.
  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override {
    return !Fails(path) && FakeHost::CreatePrivateFile(path, data, size);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return !Fails(to) && FakeHost::RenameFile(from, to);
  }
  // The first vanishingCreates creates below the directory fail with nothing
  // left there, as when another thread made the directory and removed it again.
  bool CreatePrivateDirectory(const std::string& path) override {
    if (path.rfind(temp_, 0) == 0 && vanishingCreates > 0) {
      --vanishingCreates;
      return false;
    }
    return FakeHost::CreatePrivateDirectory(path);
  }

  int failAt = 0;
  int calls = 0;
  int vanishingCreates = 0;

 private:
  bool Fails(const std::string& path) {
    if (path.rfind(temp_, 0) != 0) return false;
    return ++calls == failAt;
  }
  std::string temp_;
};

std::string FakeFile(const char* armour, const char* title, const char* key) {
  return std::string("-----BEGIN ") + armour + "-----\n" + title + "\nSubject: /CN=Dave\nPublicKey: " + key +
         "\n-----END " + armour + "-----\n";
}

class ScratchSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    keys_.WriteFile("Alice.pem", "FAKE CERTIFICATE\nSubject: /CN=Alice\n");
    keys_.WriteFile("dave.pem", FakeFile("CERTIFICATE", "FAKE CERTIFICATE", "0badc0de"));
    keys_.WriteFile("dave_req.pem", FakeFile("CERTIFICATE REQUEST", "FAKE CERTIFICATE REQUEST", "0badc0de"));
    ASSERT_EQ(engine_.SetCryptoParamValue(1, (keys_ / "Alice.pem").c_str()), 0);
    ASSERT_EQ(engine_.SetCryptoParamValue(2, keys_.path().c_str()), 0);
    certificate_ = TransferOf("dave.pem");
    request_ = TransferOf("dave_req.pem");
    platform::SetPlatformForTesting(&failing_);
  }
  void TearDown() override { platform::SetPlatformForTesting(&test::Host()); }

  std::string TransferOf(const char* file) {
    std::vector<char> text(kMaxPublicKeyTransferSize, '\0');
    EXPECT_EQ(engine_.GetPublicKeyTransferByFile(text.data(), (keys_ / file).c_str()), 0) << file;
    return text.data();
  }
  bool TempIsEmpty() const { return std::filesystem::is_empty(temp_.path()); }

  TestDir keys_;
  TestDir temp_;
  FailingTemp failing_{temp_.path()};
  TMPro2xCryptoEngine engine_;
  std::string certificate_;
  std::string request_;
};

TEST_F(ScratchSweep, EveryFailedWriteIsAScratchErrorAndLeavesNothing) {
  int32_t match = 0;
  int failAt = 1;
  for (;; ++failAt) {
    SCOPED_TRACE(failAt);
    failing_.failAt = failAt;
    failing_.calls = 0;
    match = 7;
    const int32_t result = engine_.CertAndRequestTransferMatch(certificate_.c_str(), request_.c_str(), &match);
    EXPECT_TRUE(TempIsEmpty());
    if (failing_.calls < failAt) {
      // Nothing left to fail: the run went through.
      EXPECT_EQ(result, 0);
      EXPECT_EQ(match, -1);
      break;
    }
    EXPECT_EQ(result, -121);
    EXPECT_EQ(match, 7);
  }
  EXPECT_GE(failAt, 3) << "both files were written, each through a write and a rename";
}

// A scratch number that another thread made and removed between a failed
// create and the look after it is tried again; a directory where nothing can
// be made still answers -122 ("Can not create template directory ...").
TEST_F(ScratchSweep, ANumberMadeAndRemovedMeanwhileIsTriedAgain) {
  int32_t match = 7;
  failing_.vanishingCreates = 2;
  EXPECT_EQ(engine_.CertAndRequestTransferMatch(certificate_.c_str(), request_.c_str(), &match), 0);
  EXPECT_EQ(match, -1);
  EXPECT_TRUE(TempIsEmpty());
  failing_.vanishingCreates = 1000;
  EXPECT_EQ(engine_.CertAndRequestTransferMatch(certificate_.c_str(), request_.c_str(), &match), -122);
}

// The scratch directory is made by the platform's private create: owner
// only, and never an existing directory.
TEST_F(ScratchSweep, PrivateDirectoryIsTheOwnersAloneAndExclusive) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps access in an access list, not in permission bits: "
                  "platform_test's Win32Facts.PrivateDirectoryHasItsOwnOwnerOnlyAccessList checks it";
#endif
  const std::string path = temp_ / "private";
  ASSERT_TRUE(platform::SystemPlatform().CreatePrivateDirectory(path));
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_FALSE(platform::SystemPlatform().CreatePrivateDirectory(path)) << "an existing directory is not reused";
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace cryptlib
