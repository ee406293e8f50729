// TRWCriticalSection against std::shared_mutex. Names:
// Lock/<case>/<rwcs|shared_mutex>; "readers" runs one and two threads that
// each hold a read over a short piece of work, so serialised readers show as
// a two-thread throughput no better than one thread's.
#include <benchmark/benchmark.h>

#include <shared_mutex>

#include "support/rwsyncs.h"

namespace cryptlib::bench {
namespace {

TRWCriticalSection& Rwcs() {
  static TRWCriticalSection* lock = new TRWCriticalSection();
  return *lock;
}

std::shared_mutex& SharedMutex() {
  static std::shared_mutex* lock = new std::shared_mutex();
  return *lock;
}

// Work done under a read hold: long enough that two readers that excluded
// each other could not both keep their pace.
void ReadWork() {
  uint64_t value = 1;
  for (int i = 0; i < 200; ++i) benchmark::DoNotOptimize(value = value * 6364136223846793005ULL + 1);
}

void RwcsRead(benchmark::State& state) {
  TRWCriticalSection& lock = Rwcs();
  for (auto _ : state) {
    lock.BeginRead();
    lock.EndRead();
  }
}

void SharedRead(benchmark::State& state) {
  std::shared_mutex& lock = SharedMutex();
  for (auto _ : state) {
    lock.lock_shared();
    lock.unlock_shared();
  }
}

// A read inside a read this thread already holds, as a cached vendor call
// under an operation's own read.
void RwcsNestedRead(benchmark::State& state) {
  TRWCriticalSection& lock = Rwcs();
  lock.BeginRead();
  for (auto _ : state) {
    lock.BeginRead();
    lock.EndRead();
  }
  lock.EndRead();
}

void RwcsWrite(benchmark::State& state) {
  TRWCriticalSection& lock = Rwcs();
  for (auto _ : state) {
    lock.BeginWrite();
    lock.EndWrite();
  }
}

void SharedWrite(benchmark::State& state) {
  std::shared_mutex& lock = SharedMutex();
  for (auto _ : state) {
    lock.lock();
    lock.unlock();
  }
}

void RwcsReaders(benchmark::State& state) {
  TRWCriticalSection& lock = Rwcs();
  for (auto _ : state) {
    lock.BeginRead();
    ReadWork();
    lock.EndRead();
  }
  state.SetItemsProcessed(state.iterations());
}

void SharedReaders(benchmark::State& state) {
  std::shared_mutex& lock = SharedMutex();
  for (auto _ : state) {
    lock.lock_shared();
    ReadWork();
    lock.unlock_shared();
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(RwcsRead)->Name("Lock/read/rwcs");
BENCHMARK(SharedRead)->Name("Lock/read/shared_mutex");
// The nested read's baseline is the shared_mutex read above.
BENCHMARK(RwcsNestedRead)->Name("Lock/nested_read/rwcs");
BENCHMARK(RwcsWrite)->Name("Lock/write/rwcs");
BENCHMARK(SharedWrite)->Name("Lock/write/shared_mutex");
BENCHMARK(RwcsReaders)->Name("Lock/readers/rwcs")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(SharedReaders)->Name("Lock/readers/shared_mutex")->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace cryptlib::bench
