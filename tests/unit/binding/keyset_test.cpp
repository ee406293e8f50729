// Key-set exchange: which files move where, and that a failure at any file
// operation leaves the active set as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "binding/mprodll.h"
#include "common/test_dir.h"
#include "platform/platform.h"

namespace cryptlib {
namespace {

namespace fs = std::filesystem;
using Tree = test::FileTree;

// No module is needed to move key files: an unknown variant binds nothing.
constexpr int32_t kNoModule = 99;

Tree WithoutBackups(const Tree& tree) {
  Tree active;
  for (const auto& [name, contents] : tree)
    if (!name.ends_with(".old")) active[name] = contents;
  return active;
}

// Fails the n-th call of one kind of file operation.
class FailNthCall : public platform::PlatformWrapper {
 public:
  enum class Kind { kWrite, kRename };
  FailNthCall(Kind kind, int failAt) : PlatformWrapper(platform::SystemPlatform()), kind_(kind), failAt_(failAt) {}

  bool WriteFile(const std::string& path, const void* data, size_t size) override {
    if (kind_ == Kind::kWrite && ++calls_ == failAt_) return false;
    return PlatformWrapper::WriteFile(path, data, size);
  }
  // The support routines write their temporaries through this one.
  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override {
    if (kind_ == Kind::kWrite && ++calls_ == failAt_) return false;
    return PlatformWrapper::CreatePrivateFile(path, data, size);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    if (kind_ == Kind::kRename && ++calls_ == failAt_) return false;
    return PlatformWrapper::RenameFile(from, to);
  }
  bool Failed() const { return calls_ >= failAt_; }

 private:
  Kind kind_;
  int failAt_;
  int calls_ = 0;
};

class PlatformOverride {
 public:
  explicit PlatformOverride(platform::Platform& platform) { platform::SetPlatformForTesting(&platform); }
  ~PlatformOverride() { platform::SetPlatformForTesting(nullptr); }
};

class KeySetTest : public ::testing::Test {
 protected:
  std::string Active() const { return dir_.path() + "\\active\\"; }
  std::string New() const { return dir_.path() + "\\new\\"; }
  std::string ActiveCertificate() const { return dir_.path() + "\\certs\\user.pem"; }
  std::string NewCertificate() const { return dir_.path() + "\\new\\user.pem"; }
  Tree ActiveTree() const { return test::ReadFileTree(dir_ / "active"); }
  std::string CertificateText() const { return dir_.ReadFile("certs/user.pem"); }
  std::string BackupText() const { return dir_.ReadFile("certs/user.old"); }

  void WritePseSet(const std::string& root, const std::string& tag, bool withNetKs) {
    for (const char* name : {"gk.db3", "uz.db3", "num", "DB/CRYPT/ckd.key"})
      dir_.WriteFile(root + "/" + name, tag + name);
    if (withNetKs) dir_.WriteFile(root + "/DB/CRYPT/net_ks.key", tag + "net_ks");
  }
  void WriteV2Set(const std::string& root, const std::string& tag, bool withRand) {
    for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "KEYS/a.key"})
      dir_.WriteFile(root + "/" + name, tag + name);
    if (withRand) dir_.WriteFile(root + "/rand.opq", tag + "rand");
  }
  void WriteCertificates() {
    dir_.WriteFile("certs/user.pem", "old certificate");
    dir_.WriteFile("new/user.pem", "new certificate");
  }

  bool ReplacePse() { return binding_.ReplaceKeySet(Active(), New(), ActiveCertificate(), NewCertificate()); }
  bool ReplaceV2() { return binding_.ReplaceKeySetV2(Active(), New(), ActiveCertificate(), NewCertificate()); }

  test::TestDir dir_;
  TMProDLL binding_{kNoModule};
};

TEST_F(KeySetTest, PseSetIsReplacedAndPreviousKeptAsBackups) {
  WritePseSet("active", "old:", true);
  WritePseSet("new", "new:", true);
  WriteCertificates();
  ASSERT_TRUE(ReplacePse());
  const Tree expected = {{"gk.db3", "new:gk.db3"},
                         {"uz.db3", "new:uz.db3"},
                         {"num", "new:num"},
                         {"DB/CRYPT/ckd.key", "new:DB/CRYPT/ckd.key"},
                         {"DB/CRYPT/net_ks.key", "new:net_ks"},
                         {"gk.old", "old:gk.db3"},
                         {"uz.old", "old:uz.db3"},
                         {"num.old", "old:num"},
                         {"DB/CRYPT/ckd.old", "old:DB/CRYPT/ckd.key"},
                         {"DB/CRYPT/net_ks.old", "old:net_ks"}};
  EXPECT_EQ(ActiveTree(), expected);
  EXPECT_EQ(CertificateText(), "new certificate");
  EXPECT_EQ(BackupText(), "old certificate");
}

TEST_F(KeySetTest, PseOptionalNetKsIsCopiedWhenOnlyTheNewSetHasIt) {
  WritePseSet("active", "old:", false);
  WritePseSet("new", "new:", true);
  WriteCertificates();
  ASSERT_TRUE(ReplacePse());
  EXPECT_EQ(dir_.ReadFile("active/DB/CRYPT/net_ks.key"), "new:net_ks");
  EXPECT_FALSE(dir_.Exists("active/DB/CRYPT/net_ks.old"));
}

TEST_F(KeySetTest, MissingRequiredFileChangesNothing) {
  WritePseSet("active", "old:", true);
  WritePseSet("new", "new:", true);
  WriteCertificates();
  fs::remove(dir_ / "new/num");
  const Tree before = ActiveTree();
  EXPECT_FALSE(ReplacePse());
  EXPECT_EQ(ActiveTree(), before);
  EXPECT_EQ(CertificateText(), "old certificate");
  EXPECT_FALSE(dir_.Exists("certs/user.old"));

  WritePseSet("new", "new:", true);
  fs::remove(dir_ / "certs/user.pem");
  EXPECT_FALSE(ReplacePse());
  EXPECT_EQ(ActiveTree(), before);
}

TEST_F(KeySetTest, SecondExchangeReplacesTheBackupsOfTheFirst) {
  WritePseSet("active", "first:", true);
  WritePseSet("new", "second:", true);
  WriteCertificates();
  ASSERT_TRUE(ReplacePse());
  fs::remove_all(dir_ / "new");
  WritePseSet("new", "third:", false);
  dir_.WriteFile("new/user.pem", "third certificate");
  ASSERT_TRUE(ReplacePse());
  const Tree tree = ActiveTree();
  EXPECT_EQ(tree.at("gk.db3"), "third:gk.db3");
  EXPECT_EQ(tree.at("gk.old"), "second:gk.db3");
  // The second set's net_ks.key is the backup; the third set has none.
  EXPECT_EQ(tree.at("DB/CRYPT/net_ks.old"), "second:net_ks");
  EXPECT_EQ(tree.count("DB/CRYPT/net_ks.key"), 0u);
  EXPECT_EQ(BackupText(), "new certificate");
  EXPECT_EQ(CertificateText(), "third certificate");
}

TEST_F(KeySetTest, V2KeyFilesAreRotatedAndStaleBackupsDeleted) {
  WriteV2Set("active", "old:", true);
  dir_.WriteFile("active/KEYS/b.old", "stale backup");
  WriteV2Set("new", "new:", false);
  dir_.WriteFile("new/KEYS/c.key", "new:c");
  dir_.WriteFile("new/KEYS/notes.txt", "not a key");
  WriteCertificates();
  ASSERT_TRUE(ReplaceV2());
  const Tree expected = {{"mk.db3", "new:mk.db3"},         {"masks.db3", "new:masks.db3"}, {"kek.opq", "new:kek.opq"},
                         {"KEYS/a.key", "new:KEYS/a.key"}, {"KEYS/c.key", "new:c"},        {"mk.old", "old:mk.db3"},
                         {"masks.old", "old:masks.db3"},   {"kek.old", "old:kek.opq"},     {"rand.old", "old:rand"},
                         {"KEYS/a.old", "old:KEYS/a.key"}};
  EXPECT_EQ(ActiveTree(), expected);
  EXPECT_EQ(CertificateText(), "new certificate");
}

TEST_F(KeySetTest, V2WithoutNewKeyFilesChangesNothing) {
  WriteV2Set("active", "old:", true);
  WriteV2Set("new", "new:", true);
  WriteCertificates();
  fs::remove(dir_ / "new/KEYS/a.key");
  const Tree before = ActiveTree();
  EXPECT_FALSE(ReplaceV2());
  EXPECT_EQ(ActiveTree(), before);
}

// Sweeps the failure over every write (or rename) the exchange makes: each
// run either answers true with the whole new set in place, or false with the
// whole previous set in place.
class KeySetFaultTest : public KeySetTest, public ::testing::WithParamInterface<FailNthCall::Kind> {
 protected:
  template <class Setup, class Replace>
  void SweepFailures(Setup setup, Replace replace, const std::string& newCertificate) {
    Tree expectedNew = test::ReadFileTree(dir_ / "new");
    expectedNew.erase("user.pem");
    int injected = 0;
    for (int failAt = 1;; ++failAt) {
      fs::remove_all(dir_ / "active");
      fs::remove_all(dir_ / "certs");
      setup();
      const Tree before = WithoutBackups(ActiveTree());
      FailNthCall failing(GetParam(), failAt);
      bool replaced = false;
      {
        PlatformOverride override(failing);
        replaced = replace();
      }
      if (!failing.Failed()) {
        EXPECT_TRUE(replaced) << "without a failure";
        break;
      }
      ++injected;
      if (replaced) {
        EXPECT_EQ(WithoutBackups(ActiveTree()), expectedNew) << "failure at call " << failAt;
        EXPECT_EQ(CertificateText(), newCertificate) << "failure at call " << failAt;
        continue;
      }
      EXPECT_EQ(WithoutBackups(ActiveTree()), before) << "failure at call " << failAt;
      EXPECT_EQ(CertificateText(), "old certificate") << "failure at call " << failAt;
    }
    EXPECT_GT(injected, 3);
  }
};

TEST_P(KeySetFaultTest, PseFailureLeavesThePreviousSetActive) {
  WritePseSet("new", "new:", true);
  dir_.WriteFile("new/user.pem", "new certificate");
  SweepFailures(
      [&] {
        WritePseSet("active", "old:", false);
        dir_.WriteFile("certs/user.pem", "old certificate");
      },
      [&] { return ReplacePse(); }, "new certificate");
}

TEST_P(KeySetFaultTest, V2FailureLeavesThePreviousSetActive) {
  WriteV2Set("new", "new:", true);
  dir_.WriteFile("new/KEYS/c.key", "new:c");
  dir_.WriteFile("new/user.pem", "new certificate");
  SweepFailures(
      [&] {
        WriteV2Set("active", "old:", false);
        dir_.WriteFile("active/KEYS/b.key", "old:b");
        dir_.WriteFile("certs/user.pem", "old certificate");
      },
      [&] { return ReplaceV2(); }, "new certificate");
}

INSTANTIATE_TEST_SUITE_P(WritesAndRenames, KeySetFaultTest,
                         ::testing::Values(FailNthCall::Kind::kWrite, FailNthCall::Kind::kRename),
                         [](const auto& info) {
                           return std::string(info.param == FailNthCall::Kind::kWrite ? "Write" : "Rename");
                         });

}  // namespace
}  // namespace cryptlib
