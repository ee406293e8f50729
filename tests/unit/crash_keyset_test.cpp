// The key-set exchange killed (SIGKILL in a child process) before each of its
// file changes, or with its write torn in half: the journal it leaves is
// recognised by the next recovery, which brings back the whole previous set,
// or finishes the whole new one, and the exchange run again completes with
// the previous set under the ".old" names.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "binding/keyset_exchange.h"
#include "binding/mprodll.h"
#include "common/crash_child.h"
#include "common/test_dir.h"

namespace cryptlib {
namespace {

namespace fs = std::filesystem;
using Tree = test::FileTree;

// No module is needed to move key files: an unknown variant binds nothing.
constexpr int32_t kNoModule = 99;

// The active set: backups and journal left out.
Tree ActiveSet(const Tree& tree) {
  Tree active;
  for (const auto& [name, contents] : tree)
    if (!name.ends_with(".old") && !name.ends_with(".jnl")) active[name] = contents;
  return active;
}

class KeySetCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!KillShimAvailable()) GTEST_SKIP() << "no kill shim in this build";
  }

  std::string Active() const { return dir_.path() + "\\active\\"; }
  std::string New() const { return dir_.path() + "\\new\\"; }
  std::string Certificate() const { return dir_.path() + "\\certs\\user.pem"; }
  std::string NewCertificate() const { return dir_.path() + "\\new\\user.pem"; }

  void Prepare() {
    for (const char* part : {"active", "new", "certs"}) fs::remove_all(dir_ / part);
    for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "KEYS/a.key", "KEYS/b.key"})
      dir_.WriteFile(std::string("active/") + name, std::string("old:") + name);
    for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "rand.opq", "KEYS/c.key"})
      dir_.WriteFile(std::string("new/") + name, std::string("new:") + name);
    dir_.WriteFile("certs/user.pem", "old certificate");
    dir_.WriteFile("new/user.pem", "new certificate");
  }
  bool Replace() { return binding_.ReplaceKeySetV2(Active(), New(), Certificate(), NewCertificate()); }

  test::TestDir dir_;
  TMProDLL binding_{kNoModule};
};

TEST_F(KeySetCrash, EveryKillIsUndoneOrFinishedByTheNextRecovery) {
  Prepare();
  const Tree oldSet = ActiveSet(test::ReadFileTree(dir_ / "active"));
  Tree newSet = test::ReadFileTree(dir_ / "new");
  newSet.erase("user.pem");
  const long operations = test::CountOperations([&] { return Replace() ? 0 : 1; });
  ASSERT_GT(operations, 10);
  int undone = 0, finished = 0;
  for (int mode : {KILL_SHIM_KILL_BEFORE, KILL_SHIM_TEAR}) {
    for (long at = 1; at <= operations; ++at) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", kill at file change " + std::to_string(at));
      Prepare();
      ASSERT_TRUE(test::RunInChild(at, mode, [&] { return Replace() ? 0 : 1; }).killed);
      // The next use of the directory, in a process of its own.
      EXPECT_EQ(test::RunInChild(0, mode, [&] { return RecoverKeySetExchange(Active()) ? 0 : 1; }).exitCode, 0);
      const Tree active = ActiveSet(test::ReadFileTree(dir_ / "active"));
      EXPECT_FALSE(fs::exists(dir_ / "active/keyset.jnl"));
      const std::string certificate = dir_.ReadFile("certs/user.pem");
      if (active == oldSet) {
        ++undone;
        EXPECT_EQ(certificate, "old certificate");
      } else {
        ++finished;
        EXPECT_EQ(active, newSet) << "neither the whole old set nor the whole new one";
        EXPECT_EQ(certificate, "new certificate");
      }
      // The exchange run again completes; the previous set is the backup.
      ASSERT_TRUE(Replace());
      EXPECT_EQ(ActiveSet(test::ReadFileTree(dir_ / "active")), newSet);
      EXPECT_EQ(dir_.ReadFile("certs/user.old"), certificate);
    }
  }
  EXPECT_GT(undone, 0);
  EXPECT_GT(finished, 0);
}

TEST_F(KeySetCrash, JournalsThatCannotBeReadStayAndChangeNothing) {
  Prepare();
  const Tree before = test::ReadFileTree(dir_ / "active");
  // A journal of another format, and one naming an unknown step.
  for (const std::string text : {"something else\npending\n", "CryptLib key-set journal 1\npending\njump\ta\tb\n"}) {
    dir_.WriteFile("active/keyset.jnl", text);
    EXPECT_FALSE(RecoverKeySetExchange(Active()));
    EXPECT_EQ(dir_.ReadFile("active/keyset.jnl"), text);
  }
  fs::remove(dir_ / "active/keyset.jnl");
  EXPECT_EQ(test::ReadFileTree(dir_ / "active"), before);
  // A journal that never got its name (killed while written) is only a
  // temporary: nothing had changed, and it goes.
  dir_.WriteFile("active/keyset.jnl.~1-2.tmp", "CryptLib key-set jour");
  EXPECT_TRUE(RecoverKeySetExchange(Active()));
  EXPECT_EQ(test::ReadFileTree(dir_ / "active"), before);
}

}  // namespace
}  // namespace cryptlib
