// File and directory routines the engine's operations share. Paths are
// Windows-style strings (see platform/platform.h). None of them raises: they
// answer false, 0 or an empty result on failure.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/thread_annotations.h"

namespace cryptlib {

// True when the path's attributes can be read and include the directory bit.
bool DirectoryExists(const std::string& path);
// True when the path names an existing file (not a directory).
bool FileExists(const std::string& path);
// Empty stays empty; a trailing "\" stays; one letter gets ":\"; else "\".
std::string IncludeBackslash(const std::string& path);
// Deletes the directory's contents (read-only files included) and, with
// removeSelf, the directory itself, never a bare drive. Continues after a
// failure; answers whether everything went.
bool DeleteTree(const std::string& directory, bool removeSelf);
// Copies a whole file. The target is replaced atomically and durably (see
// WriteBufferToFile): a failure leaves the previous target as it was. The
// copy gets its source's access, never more.
bool CopyFileContents(const std::string& source, const std::string& target);
// Copies a directory tree into target (created one level when missing, owner
// only, as are the directories below it).
bool CopyTree(const std::string& source, const std::string& target);
// Decimal text cut to its first 3 (5) characters, left-padded with "0".
std::string FormatNumber3(int32_t value);
std::string FormatNumber5(int32_t value);
// Reads the whole file when *size is at least its size; sets *size to it.
bool ReadFileToBuffer(const char* fileName, void* buffer, int32_t* size);
// Writes size bytes as the file's new content. The previous content is
// replaced atomically and durably: the content goes to a private temporary
// beside it (a name unique across processes and threads), is synced, gets
// the access the file had (a new file the default), is renamed over it and
// the directory is synced. A failure leaves the previous content and no
// temporary.
bool WriteBufferToFile(const char* fileName, const void* buffer, int32_t size);
// The same for content only the current user may ever read (key material):
// the file is owner-only from its first byte, whatever it was before.
bool WriteBufferToPrivateFile(const std::string& fileName, const void* buffer, size_t size);
// Renames, then syncs the directories involved so that the rename survives a
// power cut.
bool RenameDurably(const std::string& from, const std::string& to);
// Deletes a file and syncs its directory.
bool DeleteFileDurably(const std::string& path);
// The next free number of files named like mask ("crl*.pem") in directory:
// the largest number found + 1, 1 when none, 0 when the directory is missing.
int32_t NextNumberInMask(const std::string& directory, const std::string& mask);
// The same over numeric three-character extensions of base ("key.001").
int32_t NextNumberedExt(const std::string& directory, const std::string& base);
// Appends the full paths of the files whose names end in suffix (three
// characters, letter case ignored), optionally searching subdirectories.
void ListFilesByExt(const std::string& directory, const std::string& suffix, std::vector<std::string>& list,
                    bool recursive);
// Creates a directory and any missing parents.
bool ForceDirectories(const std::string& path);
// The system's temporary directory as the system reports it.
std::string GetTempDir();
// Removes from directory the temporaries (path + ".~<pid>-<thread>-<counter>.tmp",
// the names the atomic writes create beside their targets) whose
// process has ended: a writer killed between creating and renaming one left
// it. Temporaries of running processes, this one included, stay. With a
// claim among them, the claimed file goes too unless a running process
// claims it as well. Names are matched as namePrefix + the temporary's part
// when namePrefix is given (the temporaries beside one file).
void RemoveTemporariesOfEndedProcesses(const std::string& directory, const std::string& namePrefix = std::string());
// A claim makes a file that must not outlive its maker's process (a file
// under a fixed-pattern name, filled before it gets its lasting name) known
// to RemoveTemporariesOfEndedProcesses: a hidden file beside it naming this
// process. Created before the claimed file, dropped after it is renamed or
// deleted. False when the claim cannot be written.
bool ClaimFile(const std::string& path);
void DropClaim(const std::string& path);

// Held while an operation picks a free numbered name in a directory and fills
// it, so that two threads of the process never pick the same name: the
// platform has no exclusive create of a file, and a rename onto the name
// would replace the other thread's file. Re-entrant, so an operation that
// holds it may call another that takes it.
class CAPABILITY("mutex") RecursiveLock {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
RecursiveLock& NumberedNameLock();

// A scoped hold of a RecursiveLock that may end before the scope does.
class SCOPED_CAPABILITY RecursiveHold {
 public:
  explicit RecursiveHold(RecursiveLock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~RecursiveHold() RELEASE() {
    if (held_) lock_.unlock();
  }
  void Unlock() RELEASE() {
    lock_.unlock();
    held_ = false;
  }
  RecursiveHold(const RecursiveHold&) = delete;
  RecursiveHold& operator=(const RecursiveHold&) = delete;

 private:
  RecursiveLock& lock_;
  bool held_ = true;
};

// The previous files of an operation that replaces files, with the way back.
// Keep leaves the file in place, to be replaced in one step later, and makes
// the backup a copy of it; a read-only file, which cannot be replaced, is
// renamed to the backup instead. Retire renames the file to the backup.
// Unless Commit is called, the destructor puts every backup back over its
// file (last first), so a failure in between leaves the previous files where
// they were, and never a moment in which a kept file is missing.
class FileRetirement {
 public:
  FileRetirement() = default;
  ~FileRetirement();
  FileRetirement(const FileRetirement&) = delete;
  FileRetirement& operator=(const FileRetirement&) = delete;

  bool Keep(const std::string& file, const std::string& backup);
  bool Retire(const std::string& file, const std::string& backup);
  void Commit() { committed_ = true; }

 private:
  std::vector<std::pair<std::string, std::string>> backups_;  // file, backup
  bool committed_ = false;
};

}  // namespace cryptlib
