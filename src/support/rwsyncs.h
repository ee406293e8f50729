// TRWCriticalSection: the engine's multi-reader, single-writer lock.
//
// Unlike a plain reader/writer lock, both sides are re-entrant per thread; a
// thread that reads may take the write lock (upgrade) without deadlocking
// against itself; reads requested while the same thread writes are no-ops; and
// a thread that already reads is never blocked by a waiting writer, while
// threads that do not read yet queue behind a writer as soon as it arrives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "support/thread_annotations.h"

namespace cryptlib {

// A capability for clang's lock checks: data GUARDED_BY one is touched only
// under a ReadGuard (reading) or WriteGuard of it. The lock's own functions
// are not analysed (NO_THREAD_SAFETY_ANALYSIS): what they do is the lock.
class CAPABILITY("mutex") TRWCriticalSection {
 public:
  TRWCriticalSection();
  // Waits for every other thread's reads to end before it tears the lock down.
  ~TRWCriticalSection();
  TRWCriticalSection(const TRWCriticalSection&) = delete;
  TRWCriticalSection& operator=(const TRWCriticalSection&) = delete;

  void BeginRead() ACQUIRE_SHARED() NO_THREAD_SAFETY_ANALYSIS;
  // Raises EAssertionFailed when the calling thread holds no read.
  void EndRead() RELEASE_SHARED() NO_THREAD_SAFETY_ANALYSIS;
  void BeginWrite() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void EndWrite() RELEASE() NO_THREAD_SAFETY_ANALYSIS;

  // Observers for tests: the read total (or write nesting while writing), the
  // capacity of the reader table, whether a write is in progress.
  int32_t CountForTesting() const;
  size_t ReaderTableCapacityForTesting();
  bool WritingForTesting() const;

 private:
  struct ReaderEntry {
    uint32_t threadId;  // 0 marks a free entry
    int32_t nesting;
  };

  // Lets the unit tests see that a writer is waiting, which no public
  // observer shows.
  friend class TRWCriticalSectionProbe;
  // A read hold reads the thread id once for both of its ends: the engine
  // takes two holds on every call.
  friend class ReadGuard;
  void BeginRead(uint32_t self) ACQUIRE_SHARED() NO_THREAD_SAFETY_ANALYSIS;
  void EndRead(uint32_t self) RELEASE_SHARED() NO_THREAD_SAFETY_ANALYSIS;

  // Implementation details are the lock's own (see rwsyncs.cpp).
  class TableGuard;
  bool TryReadWithoutGate(uint32_t self);
  void RegisterFirstRead(uint32_t self);
  void UnregisterRead(uint32_t self);
  // The table helpers below expect the caller to hold the table lock.
  bool OnlyWaitingWriterReads();
  bool NoReaderBesides(uint32_t writer);
  ReaderEntry* FindReader(uint32_t threadId);
  ReaderEntry* FindReader(uint32_t threadId, ReaderEntry*& firstFree);
  ReaderEntry& FreeEntry();
  // The event; the table lock is taken inside the event's mutex, never the
  // other way round.
  void RefreshNoReaders(uint32_t self);
  void WaitUntilNoOtherReaders(uint32_t self);

  // Held by the writer for its whole write, and briefly by a thread that
  // registers its first read while a writer waits or writes.
  std::recursive_mutex gate_;
  // The manual-reset event "no thread other than a waiting writer reads".
  std::mutex eventMutex_;
  std::condition_variable eventChanged_;
  bool noReaders_ = true;  // guarded by eventMutex_
  // While nobody writes: the total of all read nestings; while a thread
  // writes: that thread's write nesting.
  std::atomic<int32_t> count_{0};
  int32_t savedReadCount_ = 0;        // only touched by the thread in gate_
  std::vector<ReaderEntry> readers_;  // guarded by tableLock_
  std::atomic<uint32_t> waitingWriter_{0};
  std::atomic<uint32_t> tableLock_{0};  // 0 free, else the holder's thread id
  std::atomic<bool> writing_{false};
  std::atomic<uint32_t> writerThread_{0};  // the writing thread, 0 when none
};

// Scoped holds.
class SCOPED_CAPABILITY ReadGuard {
 public:
  explicit ReadGuard(TRWCriticalSection& lock) ACQUIRE_SHARED(lock) : lock_(lock), self_(ThisThread()) {
    lock_.BeginRead(self_);
  }
  ~ReadGuard() RELEASE() { lock_.EndRead(self_); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

 private:
  static uint32_t ThisThread();

  TRWCriticalSection& lock_;
  const uint32_t self_;
};

class SCOPED_CAPABILITY WriteGuard {
 public:
  explicit WriteGuard(TRWCriticalSection& lock) ACQUIRE(lock) : lock_(lock) { lock_.BeginWrite(); }
  ~WriteGuard() RELEASE() { lock_.EndWrite(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

 private:
  TRWCriticalSection& lock_;
};

}  // namespace cryptlib
