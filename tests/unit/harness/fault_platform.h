// Fault injection through the platform layer: a Platform that counts the
// file operations that change or read the disk and fails the n-th of one
// kind, and a sweep that fails every such operation of an engine operation in
// turn and checks what the failure left behind.
//
// Typical use (see fault_store_test.cpp, fault_keyset_test.cpp):
//
//   test::FaultPlatform faults(platform::SystemPlatform());
//   platform::SetPlatformForTesting(&faults);
//   test::FaultSweep sweep;
//   sweep.prepare = [&] { /* a fresh store */ };
//   sweep.run = [&] { return engine.IncludeCRL(path); };
//   sweep.checkFailed = [&](int32_t code) { /* old or new, never neither */ };
//   sweep.checkSucceeded = [&] { /* the whole new state */ };
//   test::RunFaultSweeps(faults, sweep);
//
// The platform has no copy call: a copy (support/fileutil) reads the source
// and writes its bytes to a temporary beside the target, which is then renamed
// over it. The write of a copy is counted as a write and as a copy: a write of
// exactly the bytes the same thread read last. CreatePrivateFile counts as a
// write.
//
// PowerCutPlatform (below) plays a power cut instead: what was not synced is
// lost. Failing each read, copy, write
// and rename in turn fails every step of every copy.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace cryptlib::test {

enum class FaultOp {
  kWrite,            // WriteFile
  kRename,           // RenameFile
  kCopy,             // the WriteFile of a copy (also counted as a write)
  kRead,             // ReadFile (the first step of every copy)
  kDelete,           // DeleteFile, RemoveDirectory
  kCreateDirectory,  // CreateDirectory, CreatePrivateDirectory
  kSync,             // SyncFile, SyncDirectory
  kAny,              // every one of the above, counted together
};
inline constexpr FaultOp kAllFaultOps[] = {FaultOp::kWrite,  FaultOp::kRename,          FaultOp::kCopy, FaultOp::kRead,
                                           FaultOp::kDelete, FaultOp::kCreateDirectory, FaultOp::kSync, FaultOp::kAny};
const char* FaultOpName(FaultOp op);

enum class FaultMode {
  kOnce,        // only the n-th operation fails (a transient error)
  kFromThenOn,  // the n-th and every later one fail (a full disk, a volume gone read-only)
};
inline constexpr FaultMode kAllFaultModes[] = {FaultMode::kOnce, FaultMode::kFromThenOn};
const char* FaultModeName(FaultMode mode);

// Forwards to a target and fails on request. Counting and failing are
// thread-safe; arming is meant for the test's own thread between operations.
class FaultPlatform : public platform::PlatformWrapper {
 public:
  explicit FaultPlatform(platform::Platform& target) : PlatformWrapper(target) {}

  // Counts from zero again; from now on the failAt-th operation of op
  // (counted from 1; 0 fails nothing) fails, and with kFromThenOn every later
  // one of op too. A failed operation does nothing and answers false.
  void Arm(FaultOp op, int failAt, FaultMode mode = FaultMode::kOnce);
  // Stops failing; the counts stay readable.
  void Disarm() { failAt_ = 0; }

  // Operations of op seen since Arm (failed ones included).
  int Count(FaultOp op) const { return counts_[static_cast<size_t>(op)].load(); }
  // Operations failed on purpose since Arm: all, or those of one kind.
  int Injected() const { return injected_.load(); }
  int Injected(FaultOp op) const { return injectedByOp_[static_cast<size_t>(op)].load(); }
  // The mode of the last Arm: whether failures went on after the first.
  FaultMode Mode() const { return mode_.load(); }
  // The first operation failed on purpose since Arm, e.g. "RenameFile(a, b)".
  std::string FirstInjected() const;

  bool WriteFile(const std::string& path, const void* data, size_t size) override;
  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override;
  bool SyncFile(const std::string& path) override;
  bool SyncDirectory(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ReadFile(const std::string& path, std::string& contents) override;
  bool DeleteFile(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool CreatePrivateDirectory(const std::string& path) override;

 private:
  static constexpr size_t kOps = 8;
  bool IsCopy(const void* data, size_t size);
  // Counts the operation (a copy's write also as a copy); true when it is to
  // fail.
  bool Fails(FaultOp op, const std::string& what, bool copy = false);

  std::atomic<int> counts_[kOps] = {};
  std::atomic<int> injected_{0};
  std::atomic<int> injectedByOp_[kOps] = {};
  std::atomic<FaultOp> op_{FaultOp::kAny};
  std::atomic<int> failAt_{0};
  std::atomic<FaultMode> mode_{FaultMode::kOnce};
  mutable std::mutex lock_;
  std::string firstInjected_;
};

// One operation to sweep and the checks of what it leaves. Every run starts
// from prepare(); the operation answers a status (0 is success).
struct FaultSweep {
  std::string name;
  // A fresh state: the same before every run.
  std::function<void()> prepare;
  // The operation under test.
  std::function<int32_t()> run;
  // After a run that answered a failure: what the host relies on is intact,
  // the previous state or the complete new one, never a mixture, a loss or a
  // truncated file. Gets the code answered.
  std::function<void(int32_t code)> checkFailed;
  // After a run that answered success (without a fault, with a fault the
  // operation got round, or a retry): the complete new state.
  std::function<void()> checkSucceeded;
  // The host's second attempt after a failure, without faults; the default
  // runs run() again. Operations that consume their input (a file moved into
  // the store) supply it again here, as a host would.
  std::function<int32_t()> retry;
};

// What one sweep did.
struct SweepFigures {
  int operations = 0;  // operations of the kind in a run without faults
  int runs = 0;        // runs with a fault armed
  int injected = 0;    // operations failed on purpose, over all runs
  int failed = 0;      // runs that answered a failure (then checked and retried)
  int absorbed = 0;    // runs that got round the fault and answered success
};

// Runs the operation once without faults to count the operations of op,
// then for every n from 1 to that count: prepare(), the run with the n-th
// operation failing, the checks, and after a failure the retry without faults
// and checkSucceeded(). Stops at the first run whose checks fail.
SweepFigures RunFaultSweep(FaultPlatform& platform, const FaultSweep& sweep, FaultOp op, FaultMode mode);

// RunFaultSweep over every FaultOp in each of modes; prints one line of
// figures per sweep and records the totals as test properties. Answers the
// number of operations failed on purpose.
int RunFaultSweeps(FaultPlatform& platform, const FaultSweep& sweep,
                   std::initializer_list<FaultMode> modes = {FaultMode::kOnce, FaultMode::kFromThenOn});

// A power cut, as a file system without data journaling may leave things
// (LevelDB's fault-injection environment): file content reaches the disk
// only with SyncFile, and names created, renamed or deleted in a directory
// only with a SyncDirectory of that directory. Arm(n) lets n file changes
// (writes, creates, renames, deletes) through; the n+1-th never happens: the
// power fails, the disk is put back to what it would hold, and every later
// call of the platform fails, as in a process that no longer runs.
// Directories created count as durable at once (a simplification: the
// engine creates none it relies on in the middle of an operation).
//
// Paths are compared as given but for letter case and separator, so the
// engine's own spelling of a file must be the same throughout an operation
// (it is: each path is built once).
class PowerCutPlatform : public platform::PlatformWrapper {
 public:
  explicit PowerCutPlatform(platform::Platform& target) : PlatformWrapper(target) {}

  // Forgets what was tracked (the disk as it is now counts as durable) and
  // cuts the power before the change numbered cutAt + 1; a negative cutAt
  // never cuts by itself.
  void Arm(int cutAt);
  // Cuts the power now (e.g. right after an operation answered).
  void Cut();
  bool IsCut() const { return cut_; }
  // File changes seen since Arm.
  int Changes() const { return changes_; }

  bool WriteFile(const std::string& path, const void* data, size_t size) override;
  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override;
  bool SyncFile(const std::string& path) override;
  bool SyncDirectory(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool DeleteFile(const std::string& path) override;
  bool ReadFile(const std::string& path, std::string& contents) override;
  bool CreateDirectory(const std::string& path) override;
  bool CreatePrivateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;

 private:
  // A file's content as the disk holds it: what the last sync put there
  // (empty when it was never synced since created).
  struct Inode {
    std::string synced;
  };
  // A name in a directory: the inode it names now and after a cut.
  struct Name {
    std::string path;  // as the engine spelled it (to restore it)
    int current = -1;  // -1: no file of that name
    int durable = -1;
  };

  // Counts one change; false (and the power cut) when it is the one not to happen.
  bool Allow();
  void CutLocked();
  // The name's record, created from the disk's present state on first use.
  Name& Track(const std::string& path);
  int NewInode(std::string synced);

  std::mutex lock_;
  bool cut_ = false;
  int cutAt_ = -1;
  int changes_ = 0;
  std::vector<Inode> inodes_;
  std::map<std::string, Name> names_;  // by folded path
};

}  // namespace cryptlib::test
