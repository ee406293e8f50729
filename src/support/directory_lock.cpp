#include "support/directory_lock.h"

#include <map>

#include "platform/platform.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

// The lock files this thread holds, by path with one spelling: a second
// open of the same file would wait for the first forever.
std::map<std::string, int>& HeldByThisThread() {
  thread_local std::map<std::string, int> held;
  return held;
}

std::string Key(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return key;
}

}  // namespace

DirectoryLock::DirectoryLock(const std::string& directory)
    : path_(Key(IncludeBackslash(directory) + kDirectoryLockName)) {
  auto& held = HeldByThisThread();
  auto found = held.find(path_);
  if (found != held.end()) {
    ++found->second;
    nested_ = true;
    return;
  }
  handle_ = platform::Os().AcquireFileLock(IncludeBackslash(directory) + kDirectoryLockName);
  if (handle_ != nullptr) held[path_] = 1;
}

DirectoryLock::~DirectoryLock() {
  auto& held = HeldByThisThread();
  auto found = held.find(path_);
  if (found == held.end()) return;
  if (--found->second > 0) return;
  held.erase(found);
  platform::Os().ReleaseFileLock(handle_);
}

}  // namespace cryptlib
