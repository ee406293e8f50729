#include "support/directory_lock.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/platform.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

// The lock files each thread holds, by thread and path with one spelling: a
// second open of the same file would wait for the first forever. One table for
// the process (a thread_local with a destructor would be called after the
// host unloaded the library), destroyed when the library is unloaded like all
// its process-wide state.
struct HeldLocks {
  std::mutex mutex;
  std::map<std::pair<uint32_t, std::string>, int> counts;
};

HeldLocks& HeldByThreads() {
  static HeldLocks held;
  return held;
}

// One spelling of a lock file's path: "/keys/" with IncludeBackslash's "\"
// appended and "/keys" with it are one directory.
std::string Key(const std::string& path) {
  std::string key;
  key.reserve(path.size());
  for (char c : path) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    // A run of separators is one (a leading "\\" names a Windows share).
    if (c == '\\' && key.size() > 1 && key.back() == '\\') continue;
    key += c;
  }
  return key;
}

}  // namespace

DirectoryLock::DirectoryLock(const std::string& directory)
    : path_(Key(IncludeBackslash(directory) + kDirectoryLockName)) {
  const auto key = std::make_pair(platform::CurrentThreadId(), path_);
  {
    const std::lock_guard<std::mutex> hold(HeldByThreads().mutex);
    auto found = HeldByThreads().counts.find(key);
    if (found != HeldByThreads().counts.end()) {
      ++found->second;
      nested_ = true;
      return;
    }
  }
  handle_ = platform::Os().AcquireFileLock(IncludeBackslash(directory) + kDirectoryLockName);
  if (handle_ == nullptr) return;
  {
    const std::lock_guard<std::mutex> hold(HeldByThreads().mutex);
    HeldByThreads().counts[key] = 1;
  }
  // Every change of the directory begins here: what killed writers left in
  // it goes before it can pile up.
  RemoveTemporariesOfEndedProcesses(directory);
}

DirectoryLock::~DirectoryLock() {
  {
    const std::lock_guard<std::mutex> hold(HeldByThreads().mutex);
    auto found = HeldByThreads().counts.find(std::make_pair(platform::CurrentThreadId(), path_));
    if (found == HeldByThreads().counts.end()) return;
    if (--found->second > 0) return;
    HeldByThreads().counts.erase(found);
  }
  platform::Os().ReleaseFileLock(handle_);
}

bool CopyFileLocked(const std::string& source, const std::string& target) {
  const std::string directory = target.substr(0, target.find_last_of("\\/:") + 1);
  if (directory.empty()) return CopyFileContents(source, target);
  const DirectoryLock lock(directory);
  return CopyFileContents(source, target);
}

bool EmptyDirectoryLocked(const std::string& directory) {
  if (!DirectoryExists(directory)) return false;
  const DirectoryLock lock(directory);
  return DeleteTree(directory, false);
}

}  // namespace cryptlib
