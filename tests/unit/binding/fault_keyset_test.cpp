// The key-set exchange under every kind of file-system failure, through the
// shared fault sweep: besides the writes and renames keyset_test fails one at
// a time, the reads of the copies, the deletes, the directory creations and
// any operation at all. Whatever fails, the active directory holds the whole
// previous set or the whole new one with its certificate once the next use
// of the directory has read the journal, and a retry completes the exchange.
//
// The failures are transient (one operation fails). When every operation
// fails from some point on, the way back is cut as well: the exchange moves
// the previous files to their ".old" names first, and its rollback renames
// cannot bring them back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "binding/keyset_exchange.h"
#include "binding/mprodll.h"
#include "common/test_dir.h"
#include "unit/harness/fault_platform.h"

namespace cryptlib {
namespace {

namespace fs = std::filesystem;
using Tree = test::FileTree;

// No module is needed to move key files: an unknown variant binds nothing.
constexpr int32_t kNoModule = 99;

// The active files: backups (".old") and the temporaries a clean-up could not
// remove while deletes were failing ("*.tmp", never taken for a key file) left out.
Tree ActiveFiles(const Tree& tree, bool deletesFailed) {
  Tree active;
  for (const auto& [name, contents] : tree) {
    if (name.ends_with(".old")) continue;
    if (deletesFailed && name.ends_with(".tmp")) continue;
    active[name] = contents;
  }
  return active;
}

class KeySetSweep : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatformForTesting(&faults_); }
  void TearDown() override { platform::SetPlatformForTesting(nullptr); }

  std::string Active() const { return dir_.path() + "\\active\\"; }
  std::string New() const { return dir_.path() + "\\new\\"; }
  std::string ActiveCertificate() const { return dir_.path() + "\\certs\\user.pem"; }
  std::string NewCertificate() const { return dir_.path() + "\\new\\user.pem"; }

  void WriteSet(const std::string& root, const std::string& tag, std::initializer_list<const char*> names) {
    for (const char* name : names) dir_.WriteFile(root + "/" + name, tag + name);
  }

  // Sweeps replace() with the active set written by writeOld and the new set
  // by writeNew.
  template <class WriteOld, class WriteNew, class Replace>
  void Sweep(const std::string& name, WriteOld writeOld, WriteNew writeNew, Replace replace) {
    Tree oldActive, newActive, newTree;
    const auto prepare = [&] {
      for (const char* part : {"active", "new", "certs"}) fs::remove_all(dir_ / part);
      writeOld();
      writeNew();
      dir_.WriteFile("certs/user.pem", "old certificate");
      dir_.WriteFile("certs/user.old", "certificate before");
      dir_.WriteFile("new/user.pem", "new certificate");
    };
    // The two outcomes, read from the prepared files themselves.
    prepare();
    oldActive = ActiveFiles(test::ReadFileTree(dir_ / "active"), false);
    newTree = test::ReadFileTree(dir_ / "new");
    newActive = ActiveFiles(newTree, false);
    newActive.erase("user.pem");

    const auto state = [&] {
      // A journal whose removal failed is dealt with by the next use of the
      // key directory; what counts is the state after that.
      EXPECT_TRUE(RecoverKeySetExchange(Active()));
      EXPECT_FALSE(fs::exists(dir_ / "active/keyset.jnl"));
      const bool deletesFailed = faults_.Injected(test::FaultOp::kDelete) > 0;
      return std::make_pair(ActiveFiles(test::ReadFileTree(dir_ / "active"), deletesFailed),
                            dir_.ReadFile("certs/user.pem"));
    };
    test::FaultSweep sweep;
    sweep.name = name;
    sweep.prepare = prepare;
    sweep.run = [&] { return replace() ? 0 : 1; };
    sweep.checkFailed = [&](int32_t) {
      const auto [active, certificate] = state();
      EXPECT_EQ(active, oldActive) << "a failed exchange leaves the previous set active";
      EXPECT_EQ(certificate, "old certificate");
    };
    sweep.checkSucceeded = [&] {
      const auto [active, certificate] = state();
      EXPECT_EQ(active, newActive);
      EXPECT_EQ(certificate, "new certificate");
      EXPECT_EQ(test::ReadFileTree(dir_ / "new"), newTree) << "the new set is copied, not moved";
    };
    EXPECT_GT(test::RunFaultSweeps(faults_, sweep, {test::FaultMode::kOnce}), 20);
  }

  test::TestDir dir_;
  test::FaultPlatform faults_{platform::SystemPlatform()};
  TMProDLL binding_{kNoModule};
};

TEST_F(KeySetSweep, PseSetIsWholeOldOrWholeNewUnderEveryFailure) {
  Sweep(
      "ReplaceKeySet",
      // With a backup of an earlier exchange, which is deleted first.
      [&] {
        WriteSet("active", "old:", {"gk.db3", "uz.db3", "num", "DB/CRYPT/ckd.key", "gk.old"});
      },
      [&] {
        WriteSet("new", "new:", {"gk.db3", "uz.db3", "num", "DB/CRYPT/ckd.key", "DB/CRYPT/net_ks.key"});
      },
      [&] { return binding_.ReplaceKeySet(Active(), New(), ActiveCertificate(), NewCertificate()); });
}

TEST_F(KeySetSweep, V2SetIsWholeOldOrWholeNewUnderEveryFailure) {
  Sweep(
      "ReplaceKeySetV2",
      [&] {
        WriteSet("active", "old:",
                 {"mk.db3", "masks.db3", "kek.opq", "rand.opq", "KEYS/a.key", "KEYS/b.key", "mk.old", "KEYS/z.old"});
      },
      [&] {
        WriteSet("new", "new:", {"mk.db3", "masks.db3", "kek.opq", "KEYS/a.key", "KEYS/c.key"});
      },
      [&] { return binding_.ReplaceKeySetV2(Active(), New(), ActiveCertificate(), NewCertificate()); });
}

}  // namespace
}  // namespace cryptlib
