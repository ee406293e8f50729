#include "support/rwsyncs.h"

#include "platform/platform.h"
#include "support/exceptions.h"

namespace cryptlib {

namespace {

constexpr size_t kInitialReaderEntries = 4;
constexpr int kWatchesBeforeYield = 100;
constexpr const char* kUnit = "rwsyncs";

}  // namespace

// The spin lock over the reader table. The word holds the holder's thread id
// (0 when free). The holder only ever does a handful of table operations, so
// a waiting thread watches the word for a short while (without writing it,
// which would steal the cache line from the holder) and only then yields
// its time slice, in case the holder was preempted. The destructor releases
// the lock also when the guarded step raises.
class TRWCriticalSection::TableGuard {
 public:
  // Acquire and release are all a lock needs: whatever a thread did under
  // the lock is seen by the next holder. A sequentially consistent release
  // would add a full fence to every read the engine takes.
  TableGuard(std::atomic<uint32_t>& lock, uint32_t self) : lock_(lock) {
    while (lock_.exchange(self, std::memory_order_acquire) != 0) {
      for (int watch = 0; watch < kWatchesBeforeYield && lock_.load(std::memory_order_relaxed) != 0; ++watch) {
      }
      if (lock_.load(std::memory_order_relaxed) != 0) platform::YieldThread();
    }
  }
  ~TableGuard() { lock_.store(0, std::memory_order_release); }
  TableGuard(const TableGuard&) = delete;
  TableGuard& operator=(const TableGuard&) = delete;

 private:
  std::atomic<uint32_t>& lock_;
};

TRWCriticalSection::TRWCriticalSection() : readers_(kInitialReaderEntries, ReaderEntry{0, 0}) {}

// Takes the write lock so that every other thread's reads have ended, and
// releases it again before the members go: destroying a mutex that is still
// held is undefined behaviour.
TRWCriticalSection::~TRWCriticalSection() {
  try {
    BeginWrite();
    EndWrite();
  } catch (...) {
    // A destructor must not raise; the lock is unusable anyway from here on.
  }
}

void TRWCriticalSection::BeginRead() {
  BeginRead(platform::CurrentThreadId());
}

void TRWCriticalSection::BeginRead(uint32_t self) {
  // A registered reader never blocks, not even behind a waiting writer: the
  // writer waits for it, so queueing it on gate_ would deadlock. A first read
  // passes gate_ by too while no writer waits or writes.
  if (TryReadWithoutGate(self)) return;
  std::lock_guard gate(gate_);
  // Holding gate_ while a write is in progress means the caller is the writer:
  // a read inside one's own write is a no-op.
  if (!writing_) RegisterFirstRead(self);
}

void TRWCriticalSection::EndRead() {
  EndRead(platform::CurrentThreadId());
}

void TRWCriticalSection::EndRead(uint32_t self) {
  // The read that matches this call was a no-op inside the caller's write.
  if (writerThread_ == self) return;
  UnregisterRead(self);
  // Only a waiting writer needs to hear of it; a writer that arrives later
  // looks at the table for itself (WaitUntilNoOtherReaders). The writer
  // publishes itself before it looks, and the table lock orders both: either
  // it sees this read gone, or this thread sees it waiting.
  if (waitingWriter_ != 0) RefreshNoReaders(self);
}

void TRWCriticalSection::BeginWrite() {
  const uint32_t self = platform::CurrentThreadId();
  gate_.lock();
  if (!writing_) {
    try {
      waitingWriter_ = self;
      WaitUntilNoOtherReaders(self);
    } catch (...) {
      waitingWriter_ = 0;
      gate_.unlock();
      throw;
    }
    // Nobody else reads now and nobody can start (gate_ is ours, and a first
    // read that passes gate_ by checks under the table lock that nobody waits
    // or writes), so the read total holds just the caller's own reads.
    TableGuard guard(tableLock_, self);
    savedReadCount_ = count_.exchange(0);
    writerThread_ = self;
    writing_ = true;
    waitingWriter_ = 0;
  }
  ++count_;
}

void TRWCriticalSection::EndWrite() {
  // Unlocking a gate_ the caller does not hold is undefined behaviour, so an
  // unbalanced EndWrite is refused before anything changes.
  const uint32_t self = platform::CurrentThreadId();
  Assert(writerThread_ == self, "EndWrite without a matching BeginWrite", kUnit);
  if (--count_ == 0) {
    // Under the table lock: from here on first reads pass gate_ by again.
    TableGuard guard(tableLock_, self);
    count_ = savedReadCount_;
    savedReadCount_ = 0;
    writerThread_ = 0;
    writing_ = false;
  }
  gate_.unlock();
}

uint32_t ReadGuard::ThisThread() {
  return platform::CurrentThreadId();
}

int32_t TRWCriticalSection::CountForTesting() const {
  return count_;
}

size_t TRWCriticalSection::ReaderTableCapacityForTesting() {
  TableGuard guard(tableLock_, platform::CurrentThreadId());
  return readers_.size();
}

bool TRWCriticalSection::WritingForTesting() const {
  return writing_;
}

// The fast path of a read: the table lock and two increments, neither gate_
// nor the event. Taken by a nested read, and by a first read while no writer
// waits or writes (checked under the table lock, which a writer also holds
// when it starts and ends its write). False when the caller must queue at
// gate_.
bool TRWCriticalSection::TryReadWithoutGate(uint32_t self) {
  TableGuard guard(tableLock_, self);
  ReaderEntry* free = nullptr;
  ReaderEntry* entry = FindReader(self, free);
  if (entry == nullptr) {
    if (waitingWriter_ != 0 || writing_) return false;
    entry = free != nullptr ? free : &FreeEntry();  // may raise before anything has changed
    *entry = ReaderEntry{self, 0};
  } else if (writing_) {
    // A registered reader that finds a write in progress is the writer
    // itself; its read is a no-op, and so will be its EndRead.
    return true;
  }
  ++count_;
  ++entry->nesting;
  return true;
}

// The first read of a thread that queued at gate_; the caller holds gate_
// and nobody writes. The read total and the table change together under the
// table lock so that both always agree when a writer sets the total aside.
void TRWCriticalSection::RegisterFirstRead(uint32_t self) {
  TableGuard guard(tableLock_, self);
  ReaderEntry* entry = FindReader(self);
  if (entry == nullptr) {
    entry = &FreeEntry();  // may raise before anything has changed
    *entry = ReaderEntry{self, 0};
  }
  ++entry->nesting;
  ++count_;
}

void TRWCriticalSection::UnregisterRead(uint32_t self) {
  TableGuard guard(tableLock_, self);
  ReaderEntry* entry = FindReader(self);
  Assert(entry != nullptr, "EndRead without a matching BeginRead", kUnit);
  if (--entry->nesting == 0) entry->threadId = 0;
  --count_;
}

bool TRWCriticalSection::OnlyWaitingWriterReads() {
  const uint32_t writer = waitingWriter_;
  return writer != 0 && NoReaderBesides(writer);
}

// True when no entry holds a thread other than writer (0: no reader at all).
bool TRWCriticalSection::NoReaderBesides(uint32_t writer) {
  for (const ReaderEntry& entry : readers_) {
    if (entry.threadId != 0 && entry.threadId != writer) return false;
  }
  return true;
}

// The same, noting the first free entry on the way: a first read then needs
// only the one pass over the table.
TRWCriticalSection::ReaderEntry* TRWCriticalSection::FindReader(uint32_t threadId, ReaderEntry*& firstFree) {
  for (ReaderEntry& entry : readers_) {
    if (entry.threadId == threadId) return &entry;
    if (entry.threadId == 0 && firstFree == nullptr) firstFree = &entry;
  }
  return nullptr;
}

TRWCriticalSection::ReaderEntry* TRWCriticalSection::FindReader(uint32_t threadId) {
  for (ReaderEntry& entry : readers_) {
    if (entry.threadId == threadId) return &entry;
  }
  return nullptr;
}

// The first free entry; a full table doubles its size, so a burst of readers
// costs a logarithmic number of reallocations.
TRWCriticalSection::ReaderEntry& TRWCriticalSection::FreeEntry() {
  ReaderEntry* entry = FindReader(0);
  if (entry != nullptr) return *entry;
  const size_t used = readers_.size();
  readers_.resize(used * 2, ReaderEntry{0, 0});
  return readers_[used];
}

// Sets the event from the reader table itself, under the event's mutex, rather
// than from a decision taken earlier: a stale "signal" arriving after a new
// reader registered would let the next writer in beside that reader. Readers
// only leave while a writer waits, so every answer given here stays true.
// The event means something only while a writer waits: each writer sets it
// from the table when it starts waiting.
// Notifying under the mutex keeps the event alive for this call even when the
// woken writer is the destructor.
void TRWCriticalSection::RefreshNoReaders(uint32_t self) {
  std::lock_guard lock(eventMutex_);
  {
    TableGuard guard(tableLock_, self);
    // No reader at all, or only the waiting writer (OnlyWaitingWriterReads).
    noReaders_ = NoReaderBesides(waitingWriter_);
  }
  if (noReaders_) eventChanged_.notify_all();
}

// The caller holds gate_ and is the waiting writer. The event is first set
// from the table (it may still say "signalled" from before the last readers
// arrived), then waited for without a time limit.
void TRWCriticalSection::WaitUntilNoOtherReaders(uint32_t self) {
  std::unique_lock lock(eventMutex_);
  {
    TableGuard guard(tableLock_, self);
    noReaders_ = OnlyWaitingWriterReads();
  }
  eventChanged_.wait(lock, [this] { return noReaders_; });
}

}  // namespace cryptlib
