// Serialises the changes of one directory across processes: two engines
// (in two host processes) filing certificates into one store must not pick
// the same numbered name, nor back up and replace one holder's file at once.
//
// The lock is a lock file in the directory (".lock": names beginning with
// "." are left out of every enumeration) held with the system's advisory
// lock. It is the innermost lock: taken after every lock of the process
// (NumberedNameLock, the call lock) and never held across a call into the
// vendor module or back to the host, which may take locks of their own.
#pragma once

#include <string>

namespace cryptlib {

// The name of the lock file a DirectoryLock keeps in its directory.
inline constexpr const char* kDirectoryLockName = ".lock";

class DirectoryLock {
 public:
  // Waits until no other process (or thread) holds the directory's lock,
  // then removes the temporaries and claimed files of ended processes from
  // the directory (RemoveTemporariesOfEndedProcesses). A directory where the lock file can be neither created nor
  // opened (a read-only one) is not locked: whatever change follows fails on its own, and reading never needs the lock.
  // A thread that holds the lock already takes it again without waiting.
  explicit DirectoryLock(const std::string& directory);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Whether the lock file is held (false for an unlockable directory).
  bool Held() const { return handle_ != nullptr || nested_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  bool nested_ = false;
};

// CopyFileContents with the target's directory locked (a target without a
// directory part is copied without the lock).
bool CopyFileLocked(const std::string& source, const std::string& target);

// DeleteTree(directory, false) under the directory's lock: emptied while no
// other process changes it. False as DeleteTree answers.
bool EmptyDirectoryLocked(const std::string& directory);

}  // namespace cryptlib
