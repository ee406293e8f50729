#include "unit/harness/fault_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string_view>

namespace cryptlib::test {

namespace {

// What the calling thread read last: a write of the same bytes is a copy.
struct LastRead {
  bool valid = false;
  size_t size = 0;
  size_t hash = 0;
};
thread_local LastRead lastRead;

size_t HashOf(const void* data, size_t size) {
  return std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(data), size));
}

}  // namespace

const char* FaultOpName(FaultOp op) {
  switch (op) {
    case FaultOp::kWrite:
      return "write";
    case FaultOp::kRename:
      return "rename";
    case FaultOp::kCopy:
      return "copy";
    case FaultOp::kRead:
      return "read";
    case FaultOp::kDelete:
      return "delete";
    case FaultOp::kCreateDirectory:
      return "mkdir";
    case FaultOp::kSync:
      return "sync";
    case FaultOp::kAny:
      return "any";
  }
  return "?";
}

const char* FaultModeName(FaultMode mode) {
  return mode == FaultMode::kOnce ? "once" : "from-then-on";
}

void FaultPlatform::Arm(FaultOp op, int failAt, FaultMode mode) {
  failAt_ = 0;
  for (auto& count : counts_) count = 0;
  for (auto& count : injectedByOp_) count = 0;
  injected_ = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    firstInjected_.clear();
  }
  op_ = op;
  mode_ = mode;
  failAt_ = failAt;
}

std::string FaultPlatform::FirstInjected() const {
  std::lock_guard<std::mutex> hold(lock_);
  return firstInjected_;
}

bool FaultPlatform::Fails(FaultOp op, const std::string& what, bool copy) {
  const int own = ++counts_[static_cast<size_t>(op)];
  const int copies = copy ? ++counts_[static_cast<size_t>(FaultOp::kCopy)] : 0;
  const int any = ++counts_[static_cast<size_t>(FaultOp::kAny)];
  const int failAt = failAt_.load();
  if (failAt <= 0) return false;
  const FaultOp armed = op_.load();
  int number = 0;
  if (armed == op)
    number = own;
  else if (armed == FaultOp::kCopy && copy)
    number = copies;
  else if (armed == FaultOp::kAny)
    number = any;
  else
    return false;
  const bool fails = mode_.load() == FaultMode::kOnce ? number == failAt : number >= failAt;
  if (!fails) return false;
  ++injectedByOp_[static_cast<size_t>(op)];
  if (copy) ++injectedByOp_[static_cast<size_t>(FaultOp::kCopy)];
  if (injected_++ == 0) {
    std::lock_guard<std::mutex> hold(lock_);
    firstInjected_ = what;
  }
  return true;
}

bool FaultPlatform::IsCopy(const void* data, size_t size) {
  const bool copy = lastRead.valid && lastRead.size == size && lastRead.hash == HashOf(data, size);
  lastRead.valid = false;
  return copy;
}

bool FaultPlatform::WriteFile(const std::string& path, const void* data, size_t size) {
  const bool copy = IsCopy(data, size);
  return !Fails(FaultOp::kWrite, (copy ? "WriteFile of a copy(" : "WriteFile(") + path + ")", copy) &&
         PlatformWrapper::WriteFile(path, data, size);
}

bool FaultPlatform::CreatePrivateFile(const std::string& path, const void* data, size_t size) {
  const bool copy = IsCopy(data, size);
  return !Fails(FaultOp::kWrite, (copy ? "CreatePrivateFile of a copy(" : "CreatePrivateFile(") + path + ")", copy) &&
         PlatformWrapper::CreatePrivateFile(path, data, size);
}

bool FaultPlatform::SyncFile(const std::string& path) {
  return !Fails(FaultOp::kSync, "SyncFile(" + path + ")") && PlatformWrapper::SyncFile(path);
}

bool FaultPlatform::SyncDirectory(const std::string& path) {
  return !Fails(FaultOp::kSync, "SyncDirectory(" + path + ")") && PlatformWrapper::SyncDirectory(path);
}

bool FaultPlatform::RenameFile(const std::string& from, const std::string& to) {
  return !Fails(FaultOp::kRename, "RenameFile(" + from + ", " + to + ")") && PlatformWrapper::RenameFile(from, to);
}

bool FaultPlatform::ReadFile(const std::string& path, std::string& contents) {
  lastRead.valid = false;
  if (Fails(FaultOp::kRead, "ReadFile(" + path + ")") || !PlatformWrapper::ReadFile(path, contents)) return false;
  lastRead = {true, contents.size(), HashOf(contents.data(), contents.size())};
  return true;
}

bool FaultPlatform::DeleteFile(const std::string& path) {
  return !Fails(FaultOp::kDelete, "DeleteFile(" + path + ")") && PlatformWrapper::DeleteFile(path);
}

bool FaultPlatform::RemoveDirectory(const std::string& path) {
  return !Fails(FaultOp::kDelete, "RemoveDirectory(" + path + ")") && PlatformWrapper::RemoveDirectory(path);
}

bool FaultPlatform::CreateDirectory(const std::string& path) {
  return !Fails(FaultOp::kCreateDirectory, "CreateDirectory(" + path + ")") && PlatformWrapper::CreateDirectory(path);
}

bool FaultPlatform::CreatePrivateDirectory(const std::string& path) {
  return !Fails(FaultOp::kCreateDirectory, "CreatePrivateDirectory(" + path + ")") &&
         PlatformWrapper::CreatePrivateDirectory(path);
}

SweepFigures RunFaultSweep(FaultPlatform& platform, const FaultSweep& sweep, FaultOp op, FaultMode mode) {
  SweepFigures figures;
  SCOPED_TRACE(sweep.name + ", failing " + FaultOpName(op) + " (" + FaultModeName(mode) + ")");
  const auto retry = sweep.retry ? sweep.retry : sweep.run;

  sweep.prepare();
  platform.Arm(op, 0);
  const int32_t clean = sweep.run();
  platform.Disarm();
  EXPECT_EQ(clean, 0) << "the operation fails without any fault";
  if (clean != 0) return figures;
  sweep.checkSucceeded();
  figures.operations = platform.Count(op);

  for (int failAt = 1; failAt <= figures.operations; ++failAt) {
    sweep.prepare();
    platform.Arm(op, failAt, mode);
    const int32_t code = sweep.run();
    const int injected = platform.Injected();
    const std::string where = platform.FirstInjected();
    platform.Disarm();
    SCOPED_TRACE("failed operation " + std::to_string(failAt) + ": " + where + ", answer " + std::to_string(code));
    ++figures.runs;
    figures.injected += injected;
    // The runs are alike: without the failure the operation reaches the same
    // operations again.
    EXPECT_GT(injected, 0) << "operation " << failAt << " was not reached";
    if (code == 0) {
      ++figures.absorbed;
      sweep.checkSucceeded();
    } else {
      ++figures.failed;
      sweep.checkFailed(code);
      EXPECT_EQ(retry(), 0) << "the retry without faults";
      sweep.checkSucceeded();
    }
    if (::testing::Test::HasFailure()) break;
  }
  return figures;
}

int RunFaultSweeps(FaultPlatform& platform, const FaultSweep& sweep, std::initializer_list<FaultMode> modes) {
  int injected = 0, runs = 0;
  for (FaultMode mode : modes) {
    for (FaultOp op : kAllFaultOps) {
      const SweepFigures figures = RunFaultSweep(platform, sweep, op, mode);
      std::printf("[ sweep    ] %s: %s %s: %d operations, %d runs, %d injected, %d failed, %d absorbed\n",
                  sweep.name.c_str(), FaultOpName(op), FaultModeName(mode), figures.operations, figures.runs,
                  figures.injected, figures.failed, figures.absorbed);
      injected += figures.injected;
      runs += figures.runs;
      if (::testing::Test::HasFailure()) return injected;
    }
  }
  ::testing::Test::RecordProperty("fault_runs", runs);
  ::testing::Test::RecordProperty("faults_injected", injected);
  return injected;
}

// --- power cut ---

namespace {

std::string Folded(const std::string& path) {
  std::string folded = path;
  for (char& c : folded) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  while (folded.size() > 1 && folded.back() == '\\') folded.pop_back();
  return folded;
}

std::string FoldedParent(const std::string& path) {
  const std::string folded = Folded(path);
  const size_t cut = folded.rfind('\\');
  return cut == std::string::npos ? std::string() : folded.substr(0, cut);
}

}  // namespace

void PowerCutPlatform::Arm(int cutAt) {
  std::lock_guard<std::mutex> hold(lock_);
  cut_ = false;
  cutAt_ = cutAt;
  changes_ = 0;
  inodes_.clear();
  names_.clear();
}

int PowerCutPlatform::NewInode(std::string synced) {
  inodes_.push_back(Inode{std::move(synced)});
  return static_cast<int>(inodes_.size()) - 1;
}

PowerCutPlatform::Name& PowerCutPlatform::Track(const std::string& path) {
  const std::string key = Folded(path);
  auto found = names_.find(key);
  if (found != names_.end()) return found->second;
  Name name;
  name.path = path;
  std::string contents;
  if (PlatformWrapper::ReadFile(path, contents)) name.current = name.durable = NewInode(std::move(contents));
  return names_.emplace(key, name).first->second;
}

bool PowerCutPlatform::Allow() {
  if (cut_) return false;
  if (cutAt_ >= 0 && changes_ >= cutAt_) {
    CutLocked();
    return false;
  }
  ++changes_;
  return true;
}

void PowerCutPlatform::Cut() {
  std::lock_guard<std::mutex> hold(lock_);
  CutLocked();
}

void PowerCutPlatform::CutLocked() {
  if (cut_) return;
  cut_ = true;
  // What the disk shows after the power comes back: each name as its
  // directory was last synced, each file as it was last synced.
  for (const auto& [key, name] : names_) {
    PlatformWrapper::DeleteFile(name.path);
    if (name.durable < 0) continue;
    const std::string& synced = inodes_[static_cast<size_t>(name.durable)].synced;
    PlatformWrapper::WriteFile(name.path, synced.data(), synced.size());
  }
}

bool PowerCutPlatform::WriteFile(const std::string& path, const void* data, size_t size) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!Allow()) return false;
  Name& name = Track(path);
  if (!PlatformWrapper::WriteFile(path, data, size)) return false;
  // Written in place: the same file, its new content not yet on the disk.
  if (name.current < 0) name.current = NewInode(std::string());
  return true;
}

bool PowerCutPlatform::CreatePrivateFile(const std::string& path, const void* data, size_t size) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!Allow()) return false;
  Name& name = Track(path);
  if (!PlatformWrapper::CreatePrivateFile(path, data, size)) return false;
  name.current = NewInode(std::string());
  return true;
}

bool PowerCutPlatform::SyncFile(const std::string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  if (cut_) return false;
  Name& name = Track(path);
  std::string contents;
  if (name.current < 0 || !PlatformWrapper::ReadFile(path, contents)) return false;
  if (!PlatformWrapper::SyncFile(path)) return false;
  inodes_[static_cast<size_t>(name.current)].synced = std::move(contents);
  return true;
}

bool PowerCutPlatform::SyncDirectory(const std::string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  if (cut_) return false;
  if (!PlatformWrapper::SyncDirectory(path)) return false;
  const std::string directory = Folded(path);
  for (auto& [key, name] : names_)
    if (FoldedParent(key) == directory) name.durable = name.current;
  return true;
}

bool PowerCutPlatform::RenameFile(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!Allow()) return false;
  Name& source = Track(from);
  Name& target = Track(to);
  if (!PlatformWrapper::RenameFile(from, to)) return false;
  if (&source != &target) {
    target.current = source.current;
    source.current = -1;
  }
  return true;
}

bool PowerCutPlatform::DeleteFile(const std::string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!Allow()) return false;
  Name& name = Track(path);
  if (!PlatformWrapper::DeleteFile(path)) return false;
  name.current = -1;
  return true;
}

bool PowerCutPlatform::ReadFile(const std::string& path, std::string& contents) {
  return !cut_ && PlatformWrapper::ReadFile(path, contents);
}

bool PowerCutPlatform::CreateDirectory(const std::string& path) {
  return !cut_ && PlatformWrapper::CreateDirectory(path);
}

bool PowerCutPlatform::CreatePrivateDirectory(const std::string& path) {
  return !cut_ && PlatformWrapper::CreatePrivateDirectory(path);
}

bool PowerCutPlatform::RemoveDirectory(const std::string& path) {
  return !cut_ && PlatformWrapper::RemoveDirectory(path);
}

}  // namespace cryptlib::test
