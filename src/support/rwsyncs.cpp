#include "support/rwsyncs.h"

#include "core/exceptions.h"
#include "platform/platform.h"

namespace cryptlib {

namespace {

constexpr size_t kInitialReaderEntries = 4;
constexpr const char* kUnit = "rwsyncs";

}  // namespace

// The spin lock over the reader table. The word holds the holder's thread id
// (0 when free); a waiting thread yields its time slice instead of spinning
// hot, since the holder only ever does a handful of table operations. The
// destructor releases the lock also when the guarded step raises.
class TRWCriticalSection::TableGuard {
 public:
  // Acquire and release are all a lock needs: whatever a thread did under
  // the lock is seen by the next holder. A sequentially consistent release
  // would add a full fence to every read the engine takes.
  TableGuard(std::atomic<uint32_t>& lock, uint32_t self) : lock_(lock) {
    while (lock_.exchange(self, std::memory_order_acquire) != 0) platform::YieldThread();
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
  const uint32_t self = platform::CurrentThreadId();
  // A registered reader never blocks, not even behind a waiting writer: the
  // writer waits for it, so queueing it on gate_ would deadlock.
  if (TryNestedRead(self)) return;
  std::lock_guard gate(gate_);
  // Holding gate_ while a write is in progress means the caller is the writer:
  // a read inside one's own write is a no-op.
  if (!writing_) RegisterFirstRead(self);
}

void TRWCriticalSection::EndRead() {
  const uint32_t self = platform::CurrentThreadId();
  // The read that matches this call was a no-op inside the caller's write.
  if (writerThread_ == self) return;
  const int32_t remaining = UnregisterRead(self);
  // Nothing a writer could be waiting for changes unless the last read ended
  // or a writer is waiting; a writer that arrives later looks for itself.
  if (remaining == 0 || waitingWriter_ != 0) RefreshNoReaders(self);
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
    // Nobody else reads now and nobody can start (gate_ is ours), so the read
    // total holds just the caller's own reads.
    savedReadCount_ = count_.exchange(0);
    waitingWriter_ = 0;
    writerThread_ = self;
    writing_ = true;
  }
  ++count_;
}

void TRWCriticalSection::EndWrite() {
  // Unlocking a gate_ the caller does not hold is undefined behaviour, so an
  // unbalanced EndWrite is refused before anything changes.
  Assert(writerThread_ == platform::CurrentThreadId(), "EndWrite without a matching BeginWrite", kUnit);
  if (--count_ == 0) {
    const int32_t ownReads = savedReadCount_;
    count_ = ownReads;
    savedReadCount_ = 0;
    writerThread_ = 0;
    writing_ = false;
    // The writer still reads: the event must not claim otherwise.
    if (ownReads > 0) ResetNoReaders();
  }
  gate_.unlock();
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

// The fast path of a nested read: the table lock and two increments, neither
// gate_ nor the event. False when the caller holds no read yet.
bool TRWCriticalSection::TryNestedRead(uint32_t self) {
  TableGuard guard(tableLock_, self);
  ReaderEntry* entry = FindReader(self);
  if (entry == nullptr) return false;
  // A registered reader that finds a write in progress is the writer itself;
  // its read is a no-op, and so will be its EndRead.
  if (!writing_) {
    ++count_;
    ++entry->nesting;
  }
  return true;
}

// The first read of a thread; the caller holds gate_ and nobody writes. The
// read total and the table change together under the table lock so that both
// always agree when a writer sets the total aside.
void TRWCriticalSection::RegisterFirstRead(uint32_t self) {
  int32_t total;
  {
    TableGuard guard(tableLock_, self);
    ReaderEntry* entry = FindReader(self);
    if (entry == nullptr) {
      entry = &FreeEntry();  // may raise before anything has changed
      *entry = ReaderEntry{self, 0};
    }
    ++entry->nesting;
    total = ++count_;
  }
  if (total == 1) ResetNoReaders();
}

// Returns the read total left after the caller's read has ended.
int32_t TRWCriticalSection::UnregisterRead(uint32_t self) {
  TableGuard guard(tableLock_, self);
  ReaderEntry* entry = FindReader(self);
  Assert(entry != nullptr, "EndRead without a matching BeginRead", kUnit);
  if (--entry->nesting == 0) entry->threadId = 0;
  return --count_;
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

void TRWCriticalSection::ResetNoReaders() {
  std::lock_guard lock(eventMutex_);
  noReaders_ = false;
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
