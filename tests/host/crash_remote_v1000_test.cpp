// The start and the finish of a stepwise remote key replacement (the fake's
// 1.0.0.0 flavour) killed before each of their file changes, with a write
// torn in half, and with the disk full from each change on. After every fault
// the user runs the step again in a new process, and a new process signs,
// verifies, encrypts and decrypts with the old keys or the new ones; the
// certificate of the keys in use is filed, no journal is left behind, and no
// file with key material in the key directory, R or the media is open to
// group or others.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "common/crash_child.h"
#include "common/test_dir.h"
#include "host/support/remote_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v1000";

namespace {

namespace fs = std::filesystem;

enum Usable {
  kOldKeys = 0,
  kNewKeys = 1,
  kNoSignature = 2,
  kNoVerification = 3,
  kNoDecryption = 4,
  kNoCertificate = 5
};

// The user's directories saved and restored around each fault, and the
// checks a new process makes of the keys.
class StepwiseCrash : public RemoteGenerationTest {
 protected:
  void SetUp() override {
    if (!KillShimAvailable()) GTEST_SKIP() << "no kill shim in this build";
    RemoteGenerationTest::SetUp();
    oldKey_ = PublicKeyOf(keys_ / "mk.db3");
  }

  // Key files are owner-only, as a real module and utility write them (the
  // fake writes with the default mode): then no copy may be more open.
  static void MakePrivate(const std::string& directory) {
    for (const auto& entry : fs::recursive_directory_iterator(directory))
      if (entry.is_regular_file()) fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write);
  }

  // The whole stepwise start, the outside utility included, as a host
  // drives it from the first step: 0 once it reached the last step.
  int StartAllSteps(CRYPT_HANDLE h) {
    uint32_t step = 0;
    int32_t result = 0;
    for (int call = 0; call < 5 && step != 1 && result == 0; ++call) {
      if (step == 5) {
        // Each run of the utility makes a key of its own, as a real one does.
        const std::string subject = "/CN=utility " + std::to_string(getpid()) + "-" + std::to_string(++utilityRuns_);
        if (Hooks().WriteKeyContainer(media_.path(), subject) != 0) return 2;
        MakePrivate(media_.path());
      }
      result = api().RemoteGenerateStartEx(h, "Alice", exchange_.data(), &step);
    }
    return result == 0 && step == 1 ? 0 : 1;
  }

  void Save() {
    for (const TestDir* part : {&keys_, &remote_, &media_}) MakePrivate(part->path());
    for (const TestDir* part : {&keys_, &certs_, &remote_, &media_}) {
      const std::string copy = saved_dir_.path() + "/" + std::to_string(saved_.size());
      fs::copy(part->path(), copy, fs::copy_options::recursive);
      saved_.push_back(copy);
    }
  }
  void Restore() {
    const TestDir* parts[] = {&keys_, &certs_, &remote_, &media_};
    for (size_t i = 0; i < saved_.size(); ++i) {
      fs::remove_all(parts[i]->path());
      fs::copy(saved_[i], parts[i]->path(), fs::copy_options::recursive);
    }
  }

  // Key material in the key directory, R and the media, open to others.
  std::vector<std::string> OpenKeyFiles() const {
    return KeyFilesOpenToOthers({keys_.path(), remote_.path(), media_.path()});
  }

  // Signs, verifies, encrypts for and decrypts as Alice on a new engine.
  int UsableKeys() {
    CRYPT_HANDLE h = NewUserEngine();
    const int answer = UseKeys(h);
    api().DoneEngine(h);
    return answer;
  }
  int UseKeys(CRYPT_HANDLE h) {
    const std::string document = "payment order 42";
    const auto length = static_cast<int32_t>(document.size());
    std::vector<char> signature(4096, '\0');
    int32_t signatureLength = static_cast<int32_t>(signature.size());
    if (api().SignData(h, document.data(), length, signature.data(), &signatureLength, nullptr) != 0)
      return kNoSignature;
    char signer[64] = {};
    if (api().VerifyData(h, document.data(), length, signature.data(), signatureLength, signer) != 0 ||
        std::strcmp(signer, "Alice") != 0)
      return kNoVerification;
    std::vector<char> data(1 << 16, '\0');
    std::memcpy(data.data(), document.data(), document.size());
    int32_t dataLength = length;
    char recipient[64] = {};
    if (api().EncodeData(h, data.data(), &dataLength, "Alice") != 0 ||
        api().DecodeData(h, data.data(), &dataLength, recipient) != 0 ||
        std::string(data.data(), static_cast<size_t>(dataLength)) != document)
      return kNoDecryption;
    // The key in use, the own certificate and the one filed for the holder
    // agree (the user's first certificate names no key: it goes with the old).
    const std::string key = PublicKeyOf(keys_ / "mk.db3");
    const std::string own = PublicKeyOf(keys_ / "own.pem");
    if (own != PublicKeyOf(certs_ / "Alice.pem")) return kNoCertificate;
    if (own != (key == oldKey_ ? std::string() : key)) return kNoCertificate;
    return key == oldKey_ ? kOldKeys : kNewKeys;
  }
  int InNewProcess(const std::function<int()>& body) { return RunInChild(0, KILL_SHIM_KILL_BEFORE, body).exitCode; }

  // Every change killed; torn writes and a full disk at every fourth in the
  // default run, at every one with CRYPTLIB_CRASH_SWEEP_FULL set.
  static std::vector<std::pair<int, long>> Modes() {
    const long stride = std::getenv("CRYPTLIB_CRASH_SWEEP_FULL") != nullptr ? 1 : 4;
    return {{KILL_SHIM_KILL_BEFORE, 1}, {KILL_SHIM_TEAR, stride}, {KILL_SHIM_NO_SPACE, stride}};
  }

  TestDir saved_dir_;
  std::vector<std::string> saved_;
  std::string oldKey_;
  int utilityRuns_ = 0;
};

class StepwiseFinishCrash : public StepwiseCrash {
 protected:
  void SetUp() override {
    StepwiseCrash::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(StartAllSteps(engine()), 0);
    answer_ = BankAnswer(ExchangeText());
    Save();
  }

  int FinishInThisProcess() {
    CRYPT_HANDLE h = NewUserEngine();
    uint32_t step = 2;
    const int32_t result = Finish(h, answer_, step);
    api().DoneEngine(h);
    return result == 0 ? 0 : 1;
  }

  std::string answer_;
};

TEST_F(StepwiseFinishCrash, EveryFaultLeavesWorkingKeysAndTheFinishRunsAgain) {
  const long operations = CountOperations([&] { return FinishInThisProcess(); });
  ASSERT_GT(operations, 5);
  int completedAgain = 0;
  for (const auto& [mode, every] : Modes()) {
    for (long at = 1; at <= operations; at += every) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", fault at file change " + std::to_string(at));
      Restore();
      const ChildOutcome faulted = RunInChild(at, mode, [&] { return FinishInThisProcess(); });
      const int left = InNewProcess([&] { return UsableKeys(); });
      if (faulted.killed) {
        EXPECT_TRUE(left == kOldKeys || left == kNewKeys) << "usable: " << left;
      } else {
        EXPECT_EQ(left, faulted.exitCode == 0 ? kNewKeys : kOldKeys);
      }
      const int again = InNewProcess([&] { return FinishInThisProcess(); });
      const int usable = InNewProcess([&] { return UsableKeys(); });
      EXPECT_TRUE(usable == kOldKeys || usable == kNewKeys) << "usable: " << usable;
      if (again == 0) {
        ++completedAgain;
        EXPECT_EQ(usable, kNewKeys);
      }
      EXPECT_FALSE(fs::exists(keys_ / "keyset.jnl"));
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
    }
  }
  std::printf("[ sweep    ] stepwise finish: %ld file changes, %d faulted finishes completed again\n", operations,
              completedAgain);
}

// The start never touches the keys in use: after any fault they still work,
// and the user's next start (the utility run again) leads to a finish that
// puts the new keys in use.
class StepwiseStartCrash : public StepwiseCrash {
 protected:
  void SetUp() override {
    StepwiseCrash::SetUp();
    if (IsSkipped()) return;
    Save();
  }

  int StartInThisProcess() {
    CRYPT_HANDLE h = NewUserEngine();
    const int answer = StartAllSteps(h);
    api().DoneEngine(h);
    return answer;
  }
  // The whole replacement from the first step: the new keys in use, or
  // 10 + the step that failed (1 start, 2 finish).
  int ReplaceKeysInThisProcess() {
    if (StartInThisProcess() != 0) return 11;
    CRYPT_HANDLE h = NewUserEngine();
    uint32_t step = 2;
    const int32_t finished = Finish(h, BankAnswer(ExchangeText()), step);
    api().DoneEngine(h);
    return finished == 0 ? UsableKeys() : 12;
  }
};

TEST_F(StepwiseStartCrash, EveryFaultLeavesTheKeysInUseAndTheStartRunsAgain) {
  const long operations = CountOperations([&] { return StartInThisProcess(); });
  ASSERT_GT(operations, 5);
  for (const auto& [mode, every] : Modes()) {
    for (long at = 1; at <= operations; at += every) {
      SCOPED_TRACE("mode " + std::to_string(mode) + ", fault at file change " + std::to_string(at));
      Restore();
      const ChildOutcome faulted = RunInChild(at, mode, [&] { return StartInThisProcess(); });
      if (mode == KILL_SHIM_KILL_BEFORE) {
        EXPECT_TRUE(faulted.killed);
      }
      EXPECT_EQ(InNewProcess([&] { return UsableKeys(); }), kOldKeys);
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
      EXPECT_EQ(InNewProcess([&] { return ReplaceKeysInThisProcess(); }), kNewKeys);
      EXPECT_FALSE(fs::exists(keys_ / "keyset.jnl"));
      EXPECT_THAT(OpenKeyFiles(), ::testing::IsEmpty());
    }
  }
  std::printf("[ sweep    ] stepwise start: %ld file changes\n", operations);
}

}  // namespace
}  // namespace cryptlib::test
