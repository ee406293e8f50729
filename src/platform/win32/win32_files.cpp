// Files, directories and enumeration over the Windows API. Letter case,
// separators and drives are the system's business; the layer passes the
// engine's paths through unchanged.
#include <algorithm>
#include <limits>

#include "platform/win32/win32_internal.h"

namespace cryptlib::platform::win32 {

namespace {

// The bits SetFileAttributes accepts; the directory, volume and device bits
// describe what a name is and cannot be set.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                      FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// ReadFile and WriteFile move at most a DWORD at a time.
constexpr size_t kMaxChunk = 1u << 30;

bool IsDotName(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Windows refuses to overwrite or replace a read-only file; said here too,
// because a process with root rights under Wine would otherwise succeed.
bool IsReadOnlyFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

std::string FullPath(const std::string& path) {
  const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::string full(needed, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  full.resize(length < needed ? length : 0);
  return full;
}

// A rename to the same name in other letters: one file, a new spelling.
bool IsCaseOnlyRename(const std::string& from, const std::string& to) {
  const std::string source = FullPath(from);
  const std::string target = FullPath(to);
  return source != target && EqualsIgnoreCase(source, target);
}

// Not every file system renames a file onto its own name in other letters,
// so the new spelling is reached through a unique name beside it.
bool RenameCase(const std::string& from, const std::string& to) {
  const std::string step =
      FullPath(to) + ".case-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetCurrentThreadId());
  if (!MoveFileExA(from.c_str(), step.c_str(), 0)) return false;
  if (MoveFileExA(step.c_str(), to.c_str(), 0)) return true;
  MoveFileExA(step.c_str(), from.c_str(), 0);  // put it back
  return false;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.empty() ? "." : path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ReadAll(HANDLE file, std::string& data) {
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return false;
    if (got == 0) return true;
    data.append(buffer, got);
  }
}

bool WriteAll(HANDLE file, const char* bytes, size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min(size, kMaxChunk));
    DWORD written = 0;
    if (!::WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

}  // namespace

SplitPattern SplitListPattern(const std::string& pattern) {
  const size_t cut = pattern.find_last_of("/\\");
  if (cut != std::string::npos) return {pattern.substr(0, cut + 1), pattern.substr(cut + 1)};
  if (pattern.size() >= 2 && pattern[1] == ':') return {pattern.substr(0, 2), pattern.substr(2)};
  return {std::string(), pattern};
}

void SortEntries(std::vector<DirEntry>& entries) {
  auto fold = [](char c) {
    return static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  };
  std::sort(entries.begin(), entries.end(), [&](const DirEntry& a, const DirEntry& b) {
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; ++i) {
      if (fold(a.name[i]) != fold(b.name[i])) return fold(a.name[i]) < fold(b.name[i]);
    }
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;
  });
}

uint32_t Win32Platform::GetAttributes(const std::string& path) {
  return GetFileAttributesA(path.c_str());
}

bool Win32Platform::SetAttributes(const std::string& path, uint32_t attributes) {
  DWORD settable = attributes & kSettableAttributes;
  // NORMAL is valid only alone: it means "none of the others".
  if (settable != FILE_ATTRIBUTE_NORMAL) settable &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  if (settable == 0) settable = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesA(path.c_str(), settable) != 0;
}

bool Win32Platform::CreateDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

// CreatePrivateDirectory is in win32_private_dir.cpp.

bool Win32Platform::RemoveDirectory(const std::string& path) {
  return RemoveDirectoryA(path.c_str()) != 0;
}

bool Win32Platform::DeleteFile(const std::string& path) {
  return DeleteFileA(path.c_str()) != 0;
}

bool Win32Platform::RenameFile(const std::string& from, const std::string& to) {
  if (IsCaseOnlyRename(from, to)) return RenameCase(from, to);
  if (IsReadOnlyFile(to)) return false;
  // Replaces a target file in one step; a directory target is refused by the
  // system itself. Write-through: the call returns once the new name is on
  // the disk (Windows has no directory sync to do it afterwards).
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool Win32Platform::ReadFile(const std::string& path, std::string& contents) {
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;  // also for a directory
  std::string data;
  LARGE_INTEGER size;
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
      static_cast<uint64_t>(size.QuadPart) < std::numeric_limits<size_t>::max()) {
    data.reserve(static_cast<size_t>(size.QuadPart));
  }
  if (!ReadAll(file.get(), data)) return false;
  contents.swap(data);
  return true;
}

bool Win32Platform::WriteFile(const std::string& path, const void* data, size_t size) {
  if (IsReadOnlyFile(path)) return false;
  // CREATE_ALWAYS truncates an existing file (and refuses a read-only one).
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  const bool written = WriteAll(file.get(), static_cast<const char*>(data), size);
  return file.Close() && written;
}

bool Win32Platform::SyncFile(const std::string& path) {
  // FlushFileBuffers needs a handle with write access.
  ScopedHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  const bool flushed = FlushFileBuffers(file.get()) != 0;
  return file.Close() && flushed;
}

// Names reach the disk with the rename itself (MOVEFILE_WRITE_THROUGH) and
// NTFS journals its directory changes; there is nothing left to flush.
bool Win32Platform::SyncDirectory(const std::string& path) {
  return DirectoryExists(path);
}

bool Win32Platform::GetFileSize(const std::string& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool Win32Platform::ListDirectory(const std::string& pattern, std::vector<DirEntry>& entries) {
  const SplitPattern split = SplitListPattern(pattern);
  // FindFirstFile cannot tell a missing directory from one without matches
  // on every system; the contract can.
  if (split.mask.empty() || !DirectoryExists(split.directory)) return false;
  std::vector<DirEntry> found;
  WIN32_FIND_DATAA data;
  HANDLE search = FindFirstFileA(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) return false;
  } else {
    do {
      if (!IsDotName(data.cFileName)) found.push_back(DirEntry{data.cFileName, data.dwFileAttributes});
    } while (FindNextFileA(search, &data));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    if (!complete) return false;
  }
  SortEntries(found);
  entries = std::move(found);
  return true;
}

std::string Win32Platform::TempDirectory() {
  std::string buffer(MAX_PATH + 1, '\0');
  for (;;) {
    const DWORD length = GetTempPathA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return std::string();  // the system cannot tell
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    buffer.resize(length + 1);  // the answer was the size needed
  }
  if (buffer.back() != '\\' && buffer.back() != '/') buffer += '\\';
  return buffer;
}

}  // namespace cryptlib::platform::win32
