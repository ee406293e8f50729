// The key-set exchange killed (SIGKILL in a child process) before each of its
// file changes, or with its write torn in half: the journal it leaves is
// recognised by the next recovery, which brings back the whole previous set,
// or finishes the whole new one, and the exchange run again completes with
// the previous set under the ".old" names.
// Also what two processes and killed writers do to a key directory: a
// recovery waits for another process's exchange, and the leftovers of ended
// processes go with the next change.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "binding/keyset_exchange.h"
#include "binding/mprodll.h"
#include "common/crash_child.h"
#include "common/test_dir.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"

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

// A process id that no process has: a child that has ended and been reaped.
uint32_t EndedProcessId() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return static_cast<uint32_t>(child);
}

// Stops the exchange at its third rename (half-way, its journal written and
// the lock held) until the test lets it go: "p" goes out on paused, a byte
// on resume lets it on.
class PausingPlatform : public platform::PlatformWrapper {
 public:
  PausingPlatform(int paused, int resume)
      : PlatformWrapper(platform::SystemPlatform()), paused_(paused), resume_(resume) {}
  bool RenameFile(const std::string& from, const std::string& to) override {
    if (++renames_ == 3) {
      char byte = 'p';
      if (write(paused_, &byte, 1) != 1 || read(resume_, &byte, 1) != 1) _exit(3);
    }
    return PlatformWrapper::RenameFile(from, to);
  }

 private:
  int paused_, resume_;
  int renames_ = 0;
};

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
      // A killed writer's temporary may wait for the next change.
      Tree active = ActiveSet(test::ReadFileTree(dir_ / "active"));
      std::erase_if(active, [](const auto& entry) { return entry.first.ends_with(".tmp"); });
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
      // The exchange run again completes, with no temporary left; the
      // previous set is the backup.
      ASSERT_TRUE(Replace());
      EXPECT_EQ(ActiveSet(test::ReadFileTree(dir_ / "active")), newSet);
      EXPECT_EQ(dir_.ReadFile("certs/user.old"), certificate);
    }
  }
  EXPECT_GT(undone, 0);
  EXPECT_GT(finished, 0);
}

// Two processes on one key directory: what another process starts while an
// exchange is half-way waits for it, and then finds the whole new set.
class KeySetTwoProcesses : public KeySetCrash {
 protected:
  // Pauses an exchange in a child at its third rename, starts other in a
  // second child, and answers whether that one was still waiting a while
  // later; then lets the exchange finish and waits for both.
  bool WaitsForAPausedExchange(const std::function<int()>& other) {
    Prepare();
    int paused[2], resume[2];
    EXPECT_EQ(pipe(paused), 0);
    EXPECT_EQ(pipe(resume), 0);
    const pid_t exchange = fork();
    if (exchange == 0) {
      PausingPlatform pausing(paused[1], resume[0]);
      platform::SetPlatformForTesting(&pausing);
      _exit(Replace() ? 0 : 1);
    }
    char byte = 0;
    EXPECT_EQ(read(paused[0], &byte, 1), 1) << "the exchange never reached its third rename";
    EXPECT_TRUE(fs::exists(dir_ / "active/keyset.jnl"));
    const pid_t second = fork();
    if (second == 0) _exit(other());
    // Bounded: the other process must still be waiting after a while.
    int status = 0;
    bool waited = true;
    for (int tries = 0; tries < 20 && waited; ++tries) {
      poll(nullptr, 0, 10);
      waited = waitpid(second, &status, WNOHANG) == 0;
    }
    EXPECT_EQ(write(resume[1], &byte, 1), 1);
    EXPECT_EQ(waitpid(exchange, &status, 0), exchange);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the exchange failed";
    if (waited) waitpid(second, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {paused[0], paused[1], resume[0], resume[1]}) close(fd);
    return waited;
  }
  void ExpectTheNewSet() {
    Tree newSet = test::ReadFileTree(dir_ / "new");
    newSet.erase("user.pem");
    EXPECT_EQ(ActiveSet(test::ReadFileTree(dir_ / "active")), newSet);
    EXPECT_EQ(dir_.ReadFile("certs/user.old"), "old certificate");
    EXPECT_FALSE(fs::exists(dir_ / "active/keyset.jnl"));
  }
};

// A recovery would take the live journal for a dead one and undo it under
// the exchange's feet.
TEST_F(KeySetTwoProcesses, ARecoveryWaitsForTheExchange) {
  EXPECT_TRUE(WaitsForAPausedExchange([&] { return RecoverKeySetExchange(Active()) ? 0 : 1; }))
      << "the recovery ran during the exchange";
  ExpectTheNewSet();
}

// The exchange files the holder's certificate: a store change of another
// process (which takes the certificate directory's lock) waits for it.
TEST_F(KeySetTwoProcesses, AChangeOfTheCertificateDirectoryWaitsForTheExchange) {
  EXPECT_TRUE(WaitsForAPausedExchange([&] {
    const DirectoryLock lock(dir_.path() + "\\certs");
    return dir_.ReadFile("certs/user.pem") == "new certificate" ? 0 : 1;
  })) << "the certificate directory was changed during the exchange";
  ExpectTheNewSet();
}

// Temporaries of killed writers in the key directory and beside the files
// the exchange replaces go with the next exchange; a running process's stay.
TEST_F(KeySetCrash, TheNextExchangeRemovesOnlyTheTemporariesOfEndedProcesses) {
  Prepare();
  const std::string dead = ".~" + std::to_string(EndedProcessId()) + "-1-7.tmp";
  const std::string live = ".~" + std::to_string(getpid()) + "-1-7.tmp";
  for (const std::string& name :
       {"active/keyset.jnl" + dead, "active/mk.db3" + dead, "active/KEYS/c.key" + dead, "active/mk.db3" + live})
    dir_.WriteFile(name, "partial");
  ASSERT_TRUE(Replace());
  EXPECT_FALSE(fs::exists(dir_ / ("active/keyset.jnl" + dead)));
  EXPECT_FALSE(fs::exists(dir_ / ("active/mk.db3" + dead)));
  EXPECT_FALSE(fs::exists(dir_ / ("active/KEYS/c.key" + dead)));
  EXPECT_TRUE(fs::exists(dir_ / ("active/mk.db3" + live)));
}

// The leftovers of killed writers: temporaries of an ended process go, a
// running one's and names that only look alike stay; a claim of an ended
// process takes its file along unless a running process claims it too.
TEST(LeftoversOfEndedProcesses, GoWithTheirClaimedFilesButNeverARunningProcesssOnes) {
  test::TestDir dir;
  const std::string dead = std::to_string(EndedProcessId());
  const std::string live = std::to_string(getpid());
  const std::vector<std::string> gone = {"a.pem.~" + dead + "-1-2.tmp", "crt00001.pem",
                                         ".crt00001.pem.~" + dead + "-claim.tmp",
                                         ".crt00002.pem.~" + dead + "-claim.tmp"};
  const std::vector<std::string> kept = {
      "a.pem.~" + live + "-1-2.tmp",           "b.~x-1.tmp",  "c.~0-1.tmp", "d.tmp", "crt00002.pem",
      ".crt00002.pem.~" + live + "-claim.tmp", "crt00003.pem"};
  for (const auto& names : {gone, kept})
    for (const std::string& name : names) dir.WriteFile(name, "x");
  RemoveTemporariesOfEndedProcesses(dir.path());
  for (const std::string& name : gone) EXPECT_FALSE(dir.Exists(name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(dir.Exists(name)) << name;
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
  // temporary: nothing had changed, and nothing is undone.
  const std::string temporary = "active/keyset.jnl.~" + std::to_string(EndedProcessId()) + "-2-1.tmp";
  dir_.WriteFile(temporary, "CryptLib key-set jour");
  EXPECT_TRUE(RecoverKeySetExchange(Active()));
  fs::remove(dir_ / temporary);
  EXPECT_EQ(test::ReadFileTree(dir_ / "active"), before);
}

}  // namespace
}  // namespace cryptlib
