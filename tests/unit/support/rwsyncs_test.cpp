#include "support/rwsyncs.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/exceptions.h"

namespace cryptlib {

// Shows the one piece of state that tells a writer has taken the gate and is
// waiting for the readers.
class TRWCriticalSectionProbe {
 public:
  static uint32_t WaitingWriter(const TRWCriticalSection& lock) { return lock.waitingWriter_; }
};

namespace {

using namespace std::chrono_literals;

// Generous bound for something that must happen; only a broken lock hits it.
constexpr auto kMustHappen = 20s;
// How long a step that must stay blocked is watched; expected to run out.
constexpr auto kStaysBlocked = 100ms;

// A thread that runs the steps it is given, one after another, so that a test
// directs several threads (each with its own thread id) through a sequence.
class Actor {
 public:
  Actor() : thread_([this] { Loop(); }) {
    stopped_ = stoppedPromise_.get_future();
    id_ = started_.get_future().get();
  }
  ~Actor() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    // A step stuck for good (a broken lock) would hang the whole run; fail
    // loudly instead, the test's own expectations have said why.
    if (stopped_.wait_for(kMustHappen) != std::future_status::ready) AbortBlocked();
    thread_.join();
  }
  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;

  std::future<void> Start(std::function<void()> step) {
    std::packaged_task<void()> task(std::move(step));
    std::future<void> done = task.get_future();
    {
      std::lock_guard lock(mutex_);
      steps_.push_back(std::move(task));
    }
    wake_.notify_one();
    return done;
  }

  // Runs a step that must complete; a step stuck for good ends the run (see
  // the destructor).
  void Run(std::function<void()> step) {
    std::future<void> done = Start(std::move(step));
    if (done.wait_for(kMustHappen) != std::future_status::ready) AbortBlocked();
    done.get();
  }

  // The id the actor's thread runs under (known even while it is blocked).
  uint32_t ThreadId() const { return id_; }

 private:
  [[noreturn]] static void AbortBlocked() {
    std::fprintf(stderr, "an actor thread is blocked for good\n");
    std::abort();
  }

  void Loop() {
    started_.set_value(platform::CurrentThreadId());
    for (;;) {
      std::packaged_task<void()> step;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !steps_.empty(); });
        if (steps_.empty()) break;
        step = std::move(steps_.front());
        steps_.pop_front();
      }
      step();
    }
    stoppedPromise_.set_value();
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<void()>> steps_;
  bool stopping_ = false;
  std::promise<uint32_t> started_;
  std::promise<void> stoppedPromise_;
  std::future<void> stopped_;
  uint32_t id_ = 0;
  std::thread thread_;  // last: starts once everything above exists
};

::testing::AssertionResult Completes(std::future<void>& step) {
  if (step.wait_for(kMustHappen) != std::future_status::ready) {
    return ::testing::AssertionFailure() << "step did not complete";
  }
  step.get();  // rethrows what the step raised
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult StaysBlocked(std::future<void>& step) {
  if (step.wait_for(kStaysBlocked) == std::future_status::timeout) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "step completed although it should block";
}

// Polls the probe until the given thread has taken the gate and waits for the
// readers; it sets WaitingWriter before it starts to wait.
::testing::AssertionResult WaitsToWrite(const TRWCriticalSection& lock, uint32_t writer) {
  const auto deadline = std::chrono::steady_clock::now() + kMustHappen;
  while (TRWCriticalSectionProbe::WaitingWriter(lock) != writer) {
    if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "writer never waited";
    platform::YieldThread();
  }
  return ::testing::AssertionSuccess();
}

// The lock is idle when another thread can write right away.
::testing::AssertionResult IsIdle(TRWCriticalSection& lock) {
  if (lock.CountForTesting() != 0 || lock.WritingForTesting()) {
    return ::testing::AssertionFailure() << "Count " << lock.CountForTesting();
  }
  Actor other;
  std::future<void> write = other.Start([&] {
    lock.BeginWrite();
    lock.EndWrite();
  });
  return Completes(write);
}

TEST(RWCriticalSectionTest, ReadThenWriteOnOneThreadUpgradesWithoutBlocking) {
  TRWCriticalSection lock;
  lock.BeginRead();
  lock.BeginWrite();
  EXPECT_TRUE(lock.WritingForTesting());
  EXPECT_EQ(lock.CountForTesting(), 1);  // the write nesting
  lock.EndWrite();
  EXPECT_FALSE(lock.WritingForTesting());
  EXPECT_EQ(lock.CountForTesting(), 1);  // the read is back
  lock.EndRead();
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, ReadsInsideOwnWriteAreNoOps) {
  TRWCriticalSection lock;
  lock.BeginWrite();
  lock.BeginRead();
  lock.BeginWrite();
  EXPECT_EQ(lock.CountForTesting(), 2);
  lock.EndWrite();
  lock.EndRead();
  EXPECT_EQ(lock.CountForTesting(), 1);
  lock.EndWrite();
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, NestedWriteHoldsNewReadersUntilLastEndWrite) {
  TRWCriticalSection lock;
  Actor writer, reader;
  writer.Run([&] {
    lock.BeginWrite();
    lock.BeginWrite();
  });
  std::future<void> read = reader.Start([&] { lock.BeginRead(); });
  EXPECT_TRUE(StaysBlocked(read));
  writer.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(StaysBlocked(read));
  writer.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(Completes(read));
  EXPECT_EQ(lock.CountForTesting(), 1);
  reader.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, RegisteredReaderIsNotHeldBackByWaitingWriter) {
  TRWCriticalSection lock;
  Actor a, b;
  a.Run([&] { lock.BeginRead(); });
  std::future<void> write = b.Start([&] { lock.BeginWrite(); });
  ASSERT_TRUE(WaitsToWrite(lock, b.ThreadId()));

  std::future<void> nestedRead = a.Start([&] { lock.BeginRead(); });
  EXPECT_TRUE(Completes(nestedRead));
  EXPECT_EQ(lock.CountForTesting(), 2);
  a.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(StaysBlocked(write));
  a.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(Completes(write));
  EXPECT_TRUE(lock.WritingForTesting());
  b.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, NewReaderQueuesBehindWaitingWriter) {
  TRWCriticalSection lock;
  Actor a, b, c;
  a.Run([&] { lock.BeginRead(); });
  std::future<void> write = b.Start([&] { lock.BeginWrite(); });
  ASSERT_TRUE(WaitsToWrite(lock, b.ThreadId()));

  std::future<void> newRead = c.Start([&] { lock.BeginRead(); });
  EXPECT_TRUE(StaysBlocked(newRead));
  a.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(Completes(write));
  EXPECT_TRUE(StaysBlocked(newRead));
  b.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(Completes(newRead));
  EXPECT_EQ(lock.CountForTesting(), 1);
  c.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, UpgradeWaitsForOtherReaderAndKeepsOwnRead) {
  TRWCriticalSection lock;
  Actor a, b;
  a.Run([&] { lock.BeginRead(); });
  b.Run([&] { lock.BeginRead(); });
  std::future<void> upgrade = a.Start([&] { lock.BeginWrite(); });
  ASSERT_TRUE(WaitsToWrite(lock, a.ThreadId()));
  EXPECT_TRUE(StaysBlocked(upgrade));

  b.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(Completes(upgrade));
  EXPECT_TRUE(lock.WritingForTesting());
  EXPECT_EQ(lock.CountForTesting(), 1);
  // B's read has ended, so a new read by B queues behind the write.
  std::future<void> readAgain = b.Start([&] { lock.BeginRead(); });
  EXPECT_TRUE(StaysBlocked(readAgain));

  a.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(Completes(readAgain));
  EXPECT_EQ(lock.CountForTesting(), 2);  // A's own read survived the write
  a.Run([&] { lock.EndRead(); });
  b.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, ReaderTableGrowsBeyondItsInitialRoomAndEmptiesAgain) {
  TRWCriticalSection lock;
  ASSERT_EQ(lock.ReaderTableCapacityForTesting(), 4u);
  constexpr int kReaders = 11;
  std::vector<std::unique_ptr<Actor>> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.push_back(std::make_unique<Actor>());
    readers.back()->Run([&] {
      lock.BeginRead();
      lock.BeginRead();
    });
  }
  EXPECT_GE(lock.ReaderTableCapacityForTesting(), static_cast<size_t>(kReaders));
  EXPECT_EQ(lock.CountForTesting(), 2 * kReaders);

  Actor writer;
  std::future<void> write = writer.Start([&] { lock.BeginWrite(); });
  ASSERT_TRUE(WaitsToWrite(lock, writer.ThreadId()));
  for (auto& reader : readers) {
    reader->Run([&] {
      lock.EndRead();
      lock.EndRead();
    });
  }
  EXPECT_TRUE(Completes(write));
  writer.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, EndReadWithoutReadRaisesAndLeavesLockUsable) {
  TRWCriticalSection lock;
  EXPECT_THROW(lock.EndRead(), EAssertionFailed);

  Actor other;
  other.Run([&] { lock.BeginRead(); });
  lock.BeginRead();
  lock.EndRead();
  EXPECT_THROW(lock.EndRead(), EAssertionFailed);  // the other thread's read is not ours
  EXPECT_EQ(lock.CountForTesting(), 1);
  other.Run([&] { lock.EndRead(); });
  EXPECT_TRUE(IsIdle(lock));
  lock.BeginRead();  // the table lock was released on the failure
  lock.EndRead();
}

TEST(RWCriticalSectionTest, EndWriteByNonWriterRaisesInsteadOfReleasingAnotherThreadsGate) {
  TRWCriticalSection lock;
  EXPECT_THROW(lock.EndWrite(), EAssertionFailed);
  Actor writer;
  writer.Run([&] { lock.BeginWrite(); });
  EXPECT_THROW(lock.EndWrite(), EAssertionFailed);
  EXPECT_TRUE(lock.WritingForTesting());
  EXPECT_EQ(lock.CountForTesting(), 1);
  writer.Run([&] { lock.EndWrite(); });
  EXPECT_TRUE(IsIdle(lock));
}

TEST(RWCriticalSectionTest, DestructionWaitsForOtherReadersAndReleasesTheLock) {
  { TRWCriticalSection idle; }
  {
    TRWCriticalSection ownRead;  // the destroying thread's own read does not block it
    ownRead.BeginRead();
  }
  auto lock = std::make_unique<TRWCriticalSection>();
  TRWCriticalSection* raw = lock.get();  // the reader must not read the pointer being reset
  Actor reader, destroyer;
  reader.Run([raw] { raw->BeginRead(); });
  std::future<void> destroy = destroyer.Start([&] { lock.reset(); });
  EXPECT_TRUE(StaysBlocked(destroy));
  reader.Run([raw] { raw->EndRead(); });
  EXPECT_TRUE(Completes(destroy));
}

// Mixed readers and writers; a plain counter that only writers change and
// readers look at turns any breach of mutual exclusion into a wrong total or
// a data race under ThreadSanitizer.
TEST(RWCriticalSectionTest, StressKeepsWritersExclusive) {
  TRWCriticalSection lock;
  constexpr int kThreads = 4;
  constexpr int kIterations = 2000;
  long plainCounter = 0;
  std::atomic<int> readersInside{0}, writersInside{0}, writes{0}, breaches{0};

  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    long seen = 0;
    for (int i = 0; i < kIterations; ++i) {
      if (random() % 4 == 0) {
        lock.BeginWrite();
        if (writersInside++ != 0 || readersInside != 0) ++breaches;
        if (random() % 2) {  // nested write, and a read inside the write
          lock.BeginWrite();
          lock.BeginRead();
          lock.EndRead();
          lock.EndWrite();
        }
        plainCounter = plainCounter + 1;
        ++writes;
        --writersInside;
        lock.EndWrite();
      } else {
        lock.BeginRead();
        ++readersInside;
        if (random() % 2) {
          lock.BeginRead();
          lock.EndRead();
        }
        if (writersInside != 0 || plainCounter < seen) ++breaches;
        seen = plainCounter;
        --readersInside;
        lock.EndRead();
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, 1000u + t);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(breaches, 0);
  EXPECT_EQ(plainCounter, writes);
  EXPECT_TRUE(IsIdle(lock));
}

}  // namespace
}  // namespace cryptlib
