// The key-store lock of the stepwise remote generation: held for writing
// from the first step-2 call to the marker call, it keeps every other
// thread's key use waiting, and a failure or the engine's release gives it
// back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host/support/remote_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v1000";

namespace {

using namespace std::chrono_literals;

// Long enough for a thread that is not held to finish its call many times
// over; short enough to keep the test quick.
constexpr auto kChance = 200ms;
// A thread still waiting after this is taken as deadlocked.
constexpr auto kDeadline = 20s;

class KeyStoreLock : public RemoteGenerationTest {
 protected:
  // Encrypts on another engine, on another thread; records the order in
  // which it finished.
  std::future<int32_t> EncryptElsewhere() {
    started_ = false;
    return std::async(std::launch::async, [this] {
      CRYPT_HANDLE other = NewUserEngine();
      started_ = true;
      std::vector<char> buffer(8192, '\0');
      std::memcpy(buffer.data(), "payment", 7);
      int32_t length = 7;
      const int32_t result = api().EncodeData(other, buffer.data(), &length, "Alice");
      finishedAt_ = ++sequence_;
      api().DoneEngine(other);
      return result;
    });
  }
  void WaitUntilStarted() const {
    while (!started_) std::this_thread::yield();
  }
  // The result of a call that must end, or a failure instead of a hang.
  static int32_t Await(std::future<int32_t>& call) {
    if (call.wait_for(kDeadline) != std::future_status::ready) {
      ADD_FAILURE() << "the key store stayed locked";
      std::_Exit(1);  // the blocked thread cannot be joined
    }
    return call.get();
  }
  // Runs the steps 0 and 2: from then on this thread holds the key store.
  void HoldByStepTwo(uint32_t& step) {
    ASSERT_EQ(Start(step, "Alice"), 0);
    ASSERT_EQ(Start(step, "Alice"), 0);
    ASSERT_EQ(step, 3u);
  }

  std::atomic<bool> started_{false};
  std::atomic<int> sequence_{0};
  std::atomic<int> finishedAt_{0};
};

TEST_F(KeyStoreLock, OtherThreadsWaitUntilTheMarkerCall) {
  uint32_t step = 0;
  HoldByStepTwo(step);
  auto encryption = EncryptElsewhere();
  WaitUntilStarted();
  std::this_thread::sleep_for(kChance);
  ASSERT_EQ(Start(step, "Alice"), 0);  // step 3: this thread still reads and writes
  ASSERT_EQ(Hooks().WriteKeyContainer(media_.path(), "/CN=utility"), 0);
  ASSERT_EQ(Start(step, "Alice"), 0);  // step 5
  const int markerAt = ++sequence_;
  ASSERT_EQ(Start(step, "Alice"), 0);  // the marker call releases the key store
  EXPECT_EQ(step, 1u);
  EXPECT_EQ(Await(encryption), 0);
  EXPECT_GT(finishedAt_.load(), markerAt);
}

TEST_F(KeyStoreLock, AFailedStepGivesTheKeyStoreBack) {
  uint32_t step = 0;
  HoldByStepTwo(step);
  ASSERT_EQ(Start(step), 0);  // step 3
  auto encryption = EncryptElsewhere();
  WaitUntilStarted();
  EXPECT_EQ(Start(step), -118);  // step 5 without the utility
  EXPECT_EQ(Await(encryption), 0);
}

TEST_F(KeyStoreLock, ReleasingTheEngineGivesTheKeyStoreBack) {
  uint32_t step = 0;
  HoldByStepTwo(step);
  auto encryption = EncryptElsewhere();
  WaitUntilStarted();
  std::this_thread::sleep_for(kChance);
  const int releasedAt = ++sequence_;
  api().DoneEngine(engine());
  EXPECT_EQ(Await(encryption), 0);
  EXPECT_GT(finishedAt_.load(), releasedAt);
}

TEST_F(KeyStoreLock, TheHoldingThreadKeepsUsingItsKeys) {
  uint32_t step = 0;
  HoldByStepTwo(step);
  // Reads of the thread that writes do not wait for it.
  EXPECT_EQ(SignAndVerify(engine()), "Alice");
  CRYPT_HANDLE second = NewUserEngine();
  EXPECT_EQ(SignAndVerify(second), "Alice");
  api().DoneEngine(second);
}

}  // namespace
}  // namespace cryptlib::test
