#include "support/fileutil.h"

#include <atomic>
#include <cstring>
#include <limits>

#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/strutil.h"

namespace cryptlib {

namespace {

using platform::DirEntry;
using platform::Os;

bool IsDelimiter(char c) {
  return c == '\\' || c == '/';
}

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "C:" or "C:\": removing it would mean removing a drive's root.
bool IsBareDrive(const std::string& path) {
  if (path.size() < 2 || path.size() > 3 || path[1] != ':') return false;
  return path.size() == 2 || IsDelimiter(path[2]);
}

// Entries every enumeration leaves out: names beginning with "." (also
// ordinary files such as ".x") and volume labels.
bool IsSkippedEntry(const DirEntry& entry) {
  return entry.name.empty() || entry.name[0] == '.' || (entry.attributes & platform::kAttrVolume) != 0;
}

bool IsDirectoryEntry(const DirEntry& entry) {
  return (entry.attributes & platform::kAttrDirectory) != 0;
}

// The entries of pattern without the skipped ones; false when the directory
// cannot be listed.
bool ListEntries(const std::string& pattern, std::vector<DirEntry>& entries) {
  std::vector<DirEntry> all;
  if (!Os().ListDirectory(pattern, all)) return false;
  for (DirEntry& entry : all) {
    if (!IsSkippedEntry(entry)) entries.push_back(std::move(entry));
  }
  return true;
}

std::string PaddedPrefix(int32_t value, size_t width) {
  std::string text = std::to_string(value).substr(0, width);
  return std::string(width - text.size(), '0') + text;
}

// The largest number + 1 over the file names of pattern, reading each number
// with numberOf (false for a name without one); 0 when the directory cannot
// be listed.
template <typename NumberOf>
int32_t NextFreeNumber(const std::string& pattern, NumberOf numberOf) {
  std::vector<DirEntry> entries;
  if (!ListEntries(pattern, entries)) return 0;
  int32_t largest = 0;
  for (const DirEntry& entry : entries) {
    int32_t number = 0;
    if (IsDirectoryEntry(entry) || !numberOf(entry.name, number)) continue;
    // The largest number cannot be followed: leave it out rather than overflow.
    if (number != std::numeric_limits<int32_t>::max() && number > largest) largest = number;
  }
  return largest + 1;
}

// The part of path up to and including its last delimiter or drive colon.
std::string ParentOf(const std::string& path) {
  const size_t last = path.find_last_of("\\/:");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// Temporary names tried before giving up: far more than writers that can
// race for one, few enough to end when the directory cannot take a file.
constexpr int kTemporaryAttempts = 100;

// A candidate name beside target that no other writer uses: the process id
// tells processes apart, the thread id this process's threads, the counter
// one thread's calls. It ends in ".tmp" so that a leftover never looks like a
// numbered file ("key.001") or a certificate (".pem").
std::string TemporaryCandidate(const std::string& target) {
  static std::atomic<uint32_t> counter{0};
  return target + ".~" + std::to_string(platform::CurrentProcessId()) + "-" +
         std::to_string(platform::CurrentThreadId()) + "-" +
         std::to_string(counter.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
}

// Creates a private temporary beside target holding the content; the
// exclusive create is the test that no one else has the name. Empty when no
// file could be created (missing directory, full disk).
std::string CreateTemporaryBeside(const std::string& target, const void* data, size_t size) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::string candidate = TemporaryCandidate(target);
    if (Os().CreatePrivateFile(candidate, data, size)) return candidate;
    // Taken (a leftover of a killed process, say): another name; anything
    // else would fail again.
    if (Os().GetAttributes(candidate) == platform::kInvalidAttributes) return std::string();
  }
  return std::string();
}

// Gives target the new content without a moment in which it is missing,
// partial, or readable by more users than accessModel allows (see
// Platform::SetAccessLike; kPrivateAccess keeps it owner-only): the content
// goes into a private temporary beside it, reaches the disk, is opened to
// the model's readers, is renamed over target, and the rename reaches the
// disk. On failure the temporary is removed and target keeps its previous
// content. A read-only or directory target is refused, as the systems that
// cannot replace such a file do.
bool ReplaceFileDurably(const std::string& target, const void* data, size_t size, const std::string* accessModel) {
  const uint32_t attributes = Os().GetAttributes(target);
  if (attributes != platform::kInvalidAttributes &&
      (attributes & (platform::kAttrReadOnly | platform::kAttrDirectory)) != 0) {
    return false;
  }
  const std::string temporary = CreateTemporaryBeside(target, data, size);
  if (temporary.empty()) return false;
  const bool access = accessModel == nullptr || Os().SetAccessLike(temporary, *accessModel);
  if (access && Os().SyncFile(temporary) && RenameDurably(temporary, target)) return true;
  Os().DeleteFile(temporary);
  return false;
}

// The access a replaced file keeps: its own when it exists, else the default.
std::string AccessModelFor(const std::string& target) {
  return FileExists(target) ? target : std::string();
}

bool EndsWithSuffix(const std::string& name, const std::string& suffix) {
  const std::string tail = name.size() >= 3 ? name.substr(name.size() - 3) : name;
  return SameTextAscii(tail, suffix);
}

}  // namespace

bool DirectoryExists(const std::string& path) {
  const uint32_t attributes = Os().GetAttributes(path);
  return attributes != platform::kInvalidAttributes && (attributes & platform::kAttrDirectory) != 0;
}

bool FileExists(const std::string& path) {
  const uint32_t attributes = Os().GetAttributes(path);
  return attributes != platform::kInvalidAttributes && (attributes & platform::kAttrDirectory) == 0;
}

std::string IncludeBackslash(const std::string& path) {
  if (path.empty() || path.back() == '\\') return path;
  if (path.size() == 1 && IsAsciiLetter(path[0])) return path + ":\\";
  return path + "\\";
}

bool DeleteTree(const std::string& directory, bool removeSelf) {
  if (!DirectoryExists(directory)) return false;
  const std::string prefix = IncludeBackslash(directory);
  // Every entry, names beginning with "." too: a tree cannot go while a
  // hidden file (another program's temporary left by a crash) stays in it.
  std::vector<DirEntry> entries;
  const bool listed = Os().ListDirectory(prefix + "*.*", entries);
  bool result = listed;
  for (const DirEntry& entry : entries) {
    if (entry.name.empty() || (entry.attributes & platform::kAttrVolume) != 0) continue;
    // A directory that stays keeps its lock file: another process may hold it.
    if (entry.name == kDirectoryLockName && !removeSelf) continue;
    const std::string path = prefix + entry.name;
    if (IsDirectoryEntry(entry)) {
      result = DeleteTree(path, true) && result;
      continue;
    }
    if ((entry.attributes & platform::kAttrReadOnly) != 0) Os().SetAttributes(path, platform::kAttrArchive);
    result = Os().DeleteFile(path) && result;
  }
  if (removeSelf && result && !IsBareDrive(directory)) {
    // The directory's lock file, which enumerations leave out, goes with it.
    Os().DeleteFile(prefix + kDirectoryLockName);
    result = Os().RemoveDirectory(directory);
  }
  return result;
}

// An empty source gives an empty target file: the copy then exists like any
// other, and CopyTree can give it the source's attributes.
bool CopyFileContents(const std::string& source, const std::string& target) {
  std::string contents;
  if (!Os().ReadFile(source, contents)) return false;
  // The copy is as open as its source and never more.
  return ReplaceFileDurably(target, contents.data(), contents.size(), &source);
}

bool CopyTree(const std::string& source, const std::string& target) {
  if (!DirectoryExists(source)) return false;
  // Owner-only: a tree copied is a key directory; its files keep their
  // sources' access.
  if (!DirectoryExists(target)) Os().CreatePrivateDirectory(target);
  if (!DirectoryExists(target)) return false;
  const std::string sourcePrefix = IncludeBackslash(source);
  const std::string targetPrefix = IncludeBackslash(target);
  std::vector<DirEntry> entries;
  bool result = ListEntries(sourcePrefix + "*.*", entries);
  for (const DirEntry& entry : entries) {
    const std::string from = sourcePrefix + entry.name;
    const std::string to = targetPrefix + entry.name;
    if (IsDirectoryEntry(entry)) {
      result = CopyTree(from, to) && result;
      continue;
    }
    if (!CopyFileContents(from, to)) return false;
    Os().SetAttributes(to, entry.attributes);
  }
  return result;
}

std::string FormatNumber3(int32_t value) {
  return PaddedPrefix(value, 3);
}

std::string FormatNumber5(int32_t value) {
  return PaddedPrefix(value, 5);
}

bool ReadFileToBuffer(const char* fileName, void* buffer, int32_t* size) {
  if (fileName == nullptr || size == nullptr || *size < 0) return false;
  uint64_t fileSize = 0;
  if (!Os().GetFileSize(fileName, fileSize) || fileSize > static_cast<uint64_t>(*size)) return false;
  std::string contents;
  // The file may have grown since its size was read: check again what was read.
  if (!Os().ReadFile(fileName, contents) || contents.size() > static_cast<size_t>(*size)) return false;
  if (!contents.empty()) {
    if (buffer == nullptr) return false;
    std::memcpy(buffer, contents.data(), contents.size());
  }
  *size = static_cast<int32_t>(contents.size());
  return true;
}

bool WriteBufferToFile(const char* fileName, const void* buffer, int32_t size) {
  if (fileName == nullptr || *fileName == '\0' || size < 0 || (buffer == nullptr && size > 0)) return false;
  const std::string model = AccessModelFor(fileName);
  return ReplaceFileDurably(fileName, buffer != nullptr ? buffer : "", static_cast<size_t>(size), &model);
}

bool WriteBufferToPrivateFile(const std::string& fileName, const void* buffer, size_t size) {
  if (fileName.empty() || (buffer == nullptr && size > 0)) return false;
  return ReplaceFileDurably(fileName, buffer != nullptr ? buffer : "", size, nullptr);
}

bool RenameDurably(const std::string& from, const std::string& to) {
  if (!Os().RenameFile(from, to)) return false;
  // Best effort: some file systems cannot sync a directory, and the rename
  // is done either way.
  const std::string targetDirectory = ParentOf(to);
  Os().SyncDirectory(targetDirectory);
  const std::string sourceDirectory = ParentOf(from);
  if (!SameTextAscii(sourceDirectory, targetDirectory)) Os().SyncDirectory(sourceDirectory);
  return true;
}

bool DeleteFileDurably(const std::string& path) {
  if (!Os().DeleteFile(path)) return false;
  Os().SyncDirectory(ParentOf(path));
  return true;
}

int32_t NextNumberInMask(const std::string& directory, const std::string& mask) {
  const size_t star = mask.find('*');
  if (star == std::string::npos || !DirectoryExists(directory)) return 0;
  // The number stands where the mask has its "*", up to the name's first ".".
  return NextFreeNumber(IncludeBackslash(directory) + mask, [star](const std::string& name, int32_t& number) {
    const size_t dot = name.find('.');
    return dot != std::string::npos && star < dot && TryParseInt32(name.substr(star, dot - star), number);
  });
}

int32_t NextNumberedExt(const std::string& directory, const std::string& base) {
  if (!DirectoryExists(directory)) return 0;
  return NextFreeNumber(IncludeBackslash(directory) + base + ".*", [](const std::string& name, int32_t& number) {
    return name.size() >= 3 && TryParseInt32(name.substr(name.size() - 3), number);
  });
}

void ListFilesByExt(const std::string& directory, const std::string& suffix, std::vector<std::string>& list,
                    bool recursive) {
  const std::string prefix = IncludeBackslash(directory);
  std::vector<DirEntry> entries;
  if (!ListEntries(prefix + "*.*", entries)) return;
  for (const DirEntry& entry : entries) {
    if (IsDirectoryEntry(entry)) {
      if (recursive) ListFilesByExt(prefix + entry.name, suffix, list, true);
    } else if (EndsWithSuffix(entry.name, suffix)) {
      list.push_back(prefix + entry.name);
    }
  }
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string directory = path;
  if (IsDelimiter(directory.back())) directory.pop_back();
  if (directory.size() < 3 || DirectoryExists(directory)) return true;
  const std::string parent = ParentOf(directory);
  if (parent == directory) return true;
  // A relative name without a parent part has nothing above it to create.
  if (!parent.empty() && !ForceDirectories(parent)) return false;
  // Another process may have created it meanwhile: that counts as success.
  if (!Os().CreateDirectory(directory)) return DirectoryExists(directory);
  // The new name on the disk, as the files that will go into it.
  Os().SyncDirectory(parent);
  return true;
}

std::string GetTempDir() {
  return Os().TempDirectory();
}

RecursiveLock& NumberedNameLock() {
  static RecursiveLock lock;
  return lock;
}

FileRetirement::~FileRetirement() {
  if (committed_) return;
  for (auto it = backups_.rbegin(); it != backups_.rend(); ++it) Os().RenameFile(it->second, it->first);
}

bool FileRetirement::Keep(const std::string& file, const std::string& backup) {
  const uint32_t attributes = Os().GetAttributes(file);
  if (attributes != platform::kInvalidAttributes && (attributes & platform::kAttrReadOnly) != 0)
    return Retire(file, backup);
  if (!CopyFileContents(file, backup)) return false;
  backups_.emplace_back(file, backup);
  return true;
}

bool FileRetirement::Retire(const std::string& file, const std::string& backup) {
  if (!Os().RenameFile(file, backup)) return false;
  backups_.emplace_back(file, backup);
  return true;
}

}  // namespace cryptlib
