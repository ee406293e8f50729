// Private parts of the Win32 platform: the system headers with the macros
// that would rename the Platform methods taken away, the implementation class
// and its helpers. Nothing outside src/platform/win32 includes this header
// (the Windows tests do, to reach the pieces directly).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> maps these names to their ...A or ...W functions with macros,
// which would also rename the Platform methods of the same names. The layer
// calls the ANSI functions by their full names instead.
#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
#undef FreeModule

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace cryptlib::platform::win32 {

// A kernel object handle closed on scope exit (move-only).
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle == nullptr || handle == INVALID_HANDLE_VALUE || CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// ASCII case-insensitive comparison (the file system's own rule for the
// names the engine spells).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// path with every "/" turned into "\" (the loader needs backslashes).
std::string WithBackslashes(std::string path);

// The text the system gives for an error code, without the trailing line
// break; "error <code>" when it has none.
std::string SystemErrorText(DWORD code);

// The file name of a loaded module (nullptr: the executable); empty when the
// system cannot tell.
std::string ModuleFileName(HMODULE module);

// The file version (major, minor, release, build) from a file's VERSIONINFO
// resource. False when the file has none or it cannot be read.
bool ReadVersionResource(const std::string& path, uint16_t version[4]);

// A pattern split as ListDirectory reads it: everything up to the last
// separator (or a bare "X:") is the directory, the rest the mask.
struct SplitPattern {
  std::string directory;  // "" for the current directory
  std::string mask;
};
SplitPattern SplitListPattern(const std::string& pattern);

// Sorts entries by case-folded name, then by bytes (the POSIX layer's order,
// close to what NTFS gives), so both systems list in the same order.
void SortEntries(std::vector<DirEntry>& entries);

// The string form ("S-1-5-...") of the user the process runs as; empty when
// the system cannot tell.
std::string CurrentUserSid();

// Days since 1899-12-30 with the time of day as the fraction.
double DateTimeFromSystemTime(const SYSTEMTIME& time);

// The Platform over the Windows API. Names, letter case, separators and
// drives mean what the system says; paths go to the ANSI functions as given.
class Win32Platform final : public Platform {
 public:
  uint32_t GetAttributes(const std::string& path) override;
  bool SetAttributes(const std::string& path, uint32_t attributes) override;
  bool CreateDirectory(const std::string& path) override;
  bool CreatePrivateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool RenameFile(const std::string& from, const std::string& to) override;
  bool ReadFile(const std::string& path, std::string& contents) override;
  bool WriteFile(const std::string& path, const void* data, size_t size) override;
  bool SyncFile(const std::string& path) override;
  bool SyncDirectory(const std::string& path) override;
  bool GetFileSize(const std::string& path, uint64_t& size) override;
  bool ListDirectory(const std::string& pattern, std::vector<DirEntry>& entries) override;
  std::string TempDirectory() override;

  ModuleHandle LoadModule(const std::string& name, std::string* error) override;
  void* FindSymbol(ModuleHandle module, const char* name) override;
  void FreeModule(ModuleHandle module) override;
  std::string LoadedModulePath(const char* moduleName) override;
  bool ModuleFileVersion(const std::string& path, uint16_t version[4]) override;

  bool GetEnvironment(const std::string& name, std::string& value) override;
  bool SetEnvironment(const std::string& name, const std::string& value) override;

  uint64_t MonotonicMilliseconds() override;
  double LocalDateTime() override;
};

}  // namespace cryptlib::platform::win32
