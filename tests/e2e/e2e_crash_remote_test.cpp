// The one-call remote key replacement with the reference module, killed at
// every file change it makes (SIGKILL before the change, or a write torn in
// half first), and with the disk full from every file change on. After each
// fault the user does what a user would (the same start or finish again, in
// a new process) and must be able to sign, verify, encrypt and decrypt with
// the old keys or the new ones, with the certificate of the keys in use
// filed, and the directories the engine made for key files its own alone.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "bank_desk.h"
#include "common/crash_child.h"
#include "common/test_dir.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

namespace fs = std::filesystem;
using test::ChildOutcome;
using test::RunInChild;

// What a check in a child answers about the user's keys.
enum Usable { kOldKeys = 0, kNewKeys = 1, kNoUid = 2, kNoSignature = 3, kNoVerification = 4, kNoDecryption = 5 };

class CrashRemoteTest : public WorldTest {
 protected:
  void SetUp() override {
    if (!KillShimAvailable()) GTEST_SKIP() << "no kill shim in this build";
    // Elliptic-curve keys: every start generates one, hundreds of times.
    MakeWorld(AlgorithmsNamed("ecdsa"));
    ASSERT_NO_FATAL_FAILURE(Enroll({"Bank", "Alice"}));
    ASSERT_NO_FATAL_FAILURE(ExchangeTransfers());
    fs::create_directories(Remote());
    fs::create_directories(dir_ / "desk");
  }

  std::string Home() { return party("Alice").Path(""); }
  std::string Remote() { return party("Alice").Path("remote"); }

  void Save(const std::string& copy) {
    fs::remove_all(copy);
    fs::copy(Home(), copy, fs::copy_options::recursive);
  }
  void Restore(const std::string& copy) {
    fs::remove_all(Home());
    fs::copy(copy, Home(), fs::copy_options::recursive);
  }

  std::unique_ptr<EngineClient> Alice() {
    std::unique_ptr<EngineClient> alice = Engine("Alice");
    alice->SetRemotePath(Remote());
    return alice;
  }

  int32_t Start(std::string& transfer) {
    int calls = 0;
    uint32_t step = 0;
    return Alice()->RemoteStart(false, "", transfer, calls, step).code;
  }
  int32_t Finish(const std::string& answer) {
    uint32_t step = 2;
    return Alice()->RemoteFinish(answer, step).code;
  }

  // Signs, verifies, encrypts for and decrypts as the current holder.
  int UsableKeys() {
    std::unique_ptr<EngineClient> alice = Alice();
    std::string uid, signature, signer, recipient;
    if (!alice->CurrentUid(uid).ok()) return kNoUid;
    const std::string document = Document(700);
    if (!alice->Sign(document, signature, "").ok()) return kNoSignature;
    if (!alice->Verify(document, signature, signer, false).ok() || signer != uid) return kNoVerification;
    std::string data = document;
    if (!alice->Encrypt(data, uid).ok() || !alice->Decrypt(data, recipient).ok() || data != document)
      return kNoDecryption;
    return uid == "Alice" ? kOldKeys : kNewKeys;
  }
  // The check in a new process, where no cache of this one can hide a fault.
  int UsableKeysInNewProcess() {
    return RunInChild(0, KILL_SHIM_KILL_BEFORE, [&] { return UsableKeys(); }).exitCode;
  }
  // A run of body in a new process without faults: 0 when it answered 0.
  int CleanRun(const std::function<int32_t()>& body) {
    return RunInChild(0, KILL_SHIM_KILL_BEFORE, [&] { return body() == 0 ? 0 : 1; }).exitCode;
  }

  // Directories under R that group or others may enter or read: the engine
  // creates those that hold key files for the user alone.
  std::vector<std::string> OpenDirectories() {
    std::vector<std::string> open;
    for (const auto& entry : fs::recursive_directory_iterator(Remote())) {
      struct stat st;
      if (stat(entry.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 077) != 0)
        open.push_back(entry.path().string());
    }
    return open;
  }

  std::vector<std::string> OpenKeyFiles() {
    return test::KeyFilesOpenToOthers({party("Alice").Path("keys"), Remote()});
  }
  // R holds nothing but its lock file.
  bool RemoteIsEmpty() {
    for (const auto& entry : fs::directory_iterator(Remote()))
      if (entry.path().filename() != ".lock") return false;
    return true;
  }

  std::string BankAnswerTo(const std::string& request) {
    host::BankAnswer answer;
    EXPECT_TRUE(host::AnswerRequestTransfer(*Engine("Bank"), world().ca, request, dir_ / "desk", 365, answer))
        << answer.error;
    return answer.transfer;
  }
};

// Every file change is killed before it is made; torn writes and a full disk
// take every fourth in the default run (each fault costs four processes and
// the module's start-up), every one with CRYPTLIB_CRASH_SWEEP_FULL set.
struct FaultMode {
  int mode;
  long stride;
};
std::vector<FaultMode> FaultModes() {
  const long stride = std::getenv("CRYPTLIB_CRASH_SWEEP_FULL") != nullptr ? 1 : 4;
  return {{KILL_SHIM_KILL_BEFORE, 1}, {KILL_SHIM_TEAR, stride}, {KILL_SHIM_NO_SPACE, stride}};
}

TEST_F(CrashRemoteTest, FinishRecoversFromAKillATornWriteOrAFullDiskAtEveryFileChange) {
  std::string request;
  ASSERT_EQ(Start(request), 0);
  const std::string answer = BankAnswerTo(request);
  const std::string started = dir_ / "started";
  Save(started);
  const long operations = test::CountOperations([&] { return Finish(answer) == 0 ? 0 : 1; });
  ASSERT_GT(operations, 5);
  int completedAgain = 0;
  for (const auto [mode, stride] : FaultModes()) {
    for (long at = 1; at <= operations; at += stride) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", fault at file change " + std::to_string(at));
      Restore(started);
      const ChildOutcome faulted = RunInChild(at, mode, [&] { return Finish(answer) == 0 ? 0 : 1; });
      // A finish that answered 0 despite a full disk did all it had to.
      if (!faulted.killed && faulted.exitCode == 0) {
        EXPECT_EQ(UsableKeysInNewProcess(), kNewKeys);
        continue;
      }
      // A finish that answered a failure keeps the old keys; a killed one
      // left them or the new ones, whole.
      const int left = UsableKeysInNewProcess();
      if (faulted.killed) {
        EXPECT_TRUE(left == kOldKeys || left == kNewKeys) << "usable: " << left;
      } else {
        EXPECT_EQ(left, kOldKeys);
      }
      // The user runs the finish again with the same answer.
      const int again = CleanRun([&] { return Finish(answer); });
      const int usable = UsableKeysInNewProcess();
      EXPECT_TRUE(usable == kOldKeys || usable == kNewKeys) << "usable: " << usable;
      if (again == 0) {
        ++completedAgain;
        EXPECT_EQ(usable, kNewKeys) << "a finish that answers 0 put the new keys in use";
      }
      EXPECT_FALSE(fs::exists(party("Alice").Path("keys/keyset.jnl")));
      EXPECT_THAT(OpenDirectories(), ::testing::IsEmpty());
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
    }
  }
  std::printf("[ sweep    ] remote finish: %ld file changes, %d faulted finishes completed again\n", operations,
              completedAgain);
}

TEST_F(CrashRemoteTest, StartLeavesTheOldKeysAndNoCopyOfThemAfterEveryFault) {
  const std::string before = dir_ / "before";
  Save(before);
  std::string request;
  const long operations = test::CountOperations([&] { return Start(request) == 0 ? 0 : 1; });
  ASSERT_GT(operations, 5);
  for (const auto [mode, stride] : FaultModes()) {
    for (long at = 1; at <= operations; at += stride) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", fault at file change " + std::to_string(at));
      Restore(before);
      const ChildOutcome faulted = RunInChild(at, mode, [&] { return Start(request) == 0 ? 0 : 1; });
      if (!faulted.killed && faulted.exitCode != 0) {
        EXPECT_TRUE(RemoteIsEmpty()) << "a failed start removes what it copied";
      }
      EXPECT_EQ(UsableKeysInNewProcess(), kOldKeys);
      EXPECT_THAT(OpenDirectories(), ::testing::IsEmpty());
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
      // The user starts again; the start then works from what was left.
      EXPECT_EQ(CleanRun([&] { return Start(request); }), 0);
      EXPECT_EQ(UsableKeysInNewProcess(), kOldKeys);
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
    }
  }
}

}  // namespace
}  // namespace cryptlib::e2e
