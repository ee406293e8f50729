// The operating system, and nothing else. Every file, directory, module,
// environment and clock access of the engine goes through this header; one
// implementation per system (posix/, win32/) is chosen by the build.
//
// Paths are Windows-style strings everywhere above this layer: "\" (or "/")
// separates directories, a drive is a letter followed by ":", and letter case
// does not distinguish existing names. The POSIX implementation gives such
// strings that meaning (see docs/platform.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cryptlib::platform {

// File attribute bits, with the values Windows uses, so that callers store and
// compare them unchanged on every system.
enum FileAttribute : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrVolume = 0x08,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
};
constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;

struct DirEntry {
  std::string name;     // the name as stored on disk, without directory
  uint32_t attributes;  // FileAttribute bits
};

using ModuleHandle = void*;

// The replaceable part of the platform: everything a test may want to observe
// or fail on purpose (LevelDB's Env). The default object talks to the system;
// PlatformWrapper forwards to another one so a test overrides single calls.
class Platform {
 public:
  virtual ~Platform() = default;

  // --- files and directories ---
  // Attributes of an existing file or directory, kInvalidAttributes when the
  // path does not exist or cannot be examined.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  // Sets the read-only bit (other bits are kept where the system has no
  // equivalent). False when the path does not exist.
  virtual bool SetAttributes(const std::string& path, uint32_t attributes) = 0;
  // Creates one directory level; false when it exists already or the parent is
  // missing.
  virtual bool CreateDirectory(const std::string& path) = 0;
  // Creates one directory level that only the current user may read, write
  // or enter; false when it exists already (so it is also an exclusive
  // create) or the parent is missing. Systems whose new directories already
  // belong to their creator alone keep this default.
  virtual bool CreatePrivateDirectory(const std::string& path) { return CreateDirectory(path); }
  // Removes an empty directory.
  virtual bool RemoveDirectory(const std::string& path) = 0;
  // Deletes a file (not a directory). False when it does not exist.
  virtual bool DeleteFile(const std::string& path) = 0;
  // Renames a file or directory; an existing target file is replaced
  // atomically where the system allows it.
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Reads the whole file. False when it cannot be opened or read.
  virtual bool ReadFile(const std::string& path, std::string& contents) = 0;
  // Creates or truncates the file and writes size bytes to it. Not atomic:
  // callers that must not lose the previous content write a temporary file
  // beside it and rename it over the target (see support/fileutil).
  virtual bool WriteFile(const std::string& path, const void* data, size_t size) = 0;
  // Flushes the file's data and metadata to the disk. False when it cannot be opened or flushed.
  virtual bool SyncFile(const std::string& path) = 0;
  // Flushes the directory's entries (names created, renamed or deleted in it) to the disk.
  virtual bool SyncDirectory(const std::string& path) = 0;
  // Creates a new file that only the current user may read or write, private
  // from its first byte, and writes size bytes to it. Exclusive: false when
  // the name exists already. A file that cannot be filled is removed.
  virtual bool CreatePrivateFile(const std::string& path, const void* data, size_t size) = 0;
  // Gives an existing file the access another one (model) has: on POSIX its
  // read and write permission bits (the owner keeps reading and writing;
  // read-only is SetAttributes' business), on Windows its access list. An empty
  // model means what a new file gets by default (POSIX: read and write for
  // all less the umask; Windows: the entries inherited from the directory).
  virtual bool SetAccessLike(const std::string& path, const std::string& model) = 0;
  // Opens the file (created when missing, or opened for reading when it
  // cannot be created) and waits for an exclusive lock on it that other
  // processes honour. nullptr when the file can be neither created nor
  // opened. The lock lasts until ReleaseFileLock.
  virtual void* AcquireFileLock(const std::string& path) = 0;
  virtual void ReleaseFileLock(void* lock) = 0;
  // Size of an existing file.
  virtual bool GetFileSize(const std::string& path, uint64_t& size) = 0;
  // Lists the entries of the directory part of pattern whose names match its
  // last component ("*" and "?" wildcards, letter case ignored; "*.*" matches
  // every name, also names without a dot, as on Windows). "." and ".." are
  // never listed. False when the directory does not exist.
  virtual bool ListDirectory(const std::string& pattern, std::vector<DirEntry>& entries) = 0;
  // The system's temporary directory, ending in a separator.
  virtual std::string TempDirectory() = 0;

  // --- modules ---
  // Loads a module. A name that ends in ".dll" (any case) is mapped to the
  // platform's module name first (ModuleFileNameFor). A name with a directory
  // part is loaded from there; a bare name goes through the system's search.
  // Returns nullptr on failure and, when error is given, the loader's message.
  virtual ModuleHandle LoadModule(const std::string& name, std::string* error) = 0;
  virtual void* FindSymbol(ModuleHandle module, const char* name) = 0;
  virtual void FreeModule(ModuleHandle module) = 0;
  // Full file name of a loaded module. For nullptr: the host executable. For
  // "CryptLib.dll": the engine library itself (the module this code is in).
  // For any other name: that module if one of that file name is loaded, else
  // the host executable (as Windows answers).
  virtual std::string LoadedModulePath(const char* moduleName) = 0;
  // Reads a module file's version (major, minor, release, build). False when
  // the file carries none or cannot be read.
  virtual bool ModuleFileVersion(const std::string& path, uint16_t version[4]) = 0;

  // --- environment ---
  // False when the variable is not set.
  virtual bool GetEnvironment(const std::string& name, std::string& value) = 0;
  virtual bool SetEnvironment(const std::string& name, const std::string& value) = 0;

  // --- time ---
  // Milliseconds from an arbitrary start, never going back.
  virtual uint64_t MonotonicMilliseconds() = 0;
  // Local date and time as days since 1899-12-30 00:00 with the time of day as
  // the fraction (the date-time form the cache lifetimes and date texts use).
  virtual double LocalDateTime() = 0;
};

// Forwards every call to a target; derive from it to replace single calls.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target_(target) {}

  uint32_t GetAttributes(const std::string& path) override { return target_.GetAttributes(path); }
  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    return target_.SetAttributes(path, attributes);
  }
  bool CreateDirectory(const std::string& path) override { return target_.CreateDirectory(path); }
  bool CreatePrivateDirectory(const std::string& path) override { return target_.CreatePrivateDirectory(path); }
  bool RemoveDirectory(const std::string& path) override { return target_.RemoveDirectory(path); }
  bool DeleteFile(const std::string& path) override { return target_.DeleteFile(path); }
  bool RenameFile(const std::string& from, const std::string& to) override { return target_.RenameFile(from, to); }
  bool ReadFile(const std::string& path, std::string& contents) override { return target_.ReadFile(path, contents); }
  bool WriteFile(const std::string& path, const void* data, size_t size) override {
    return target_.WriteFile(path, data, size);
  }
  bool SyncFile(const std::string& path) override { return target_.SyncFile(path); }
  bool SyncDirectory(const std::string& path) override { return target_.SyncDirectory(path); }
  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override {
    return target_.CreatePrivateFile(path, data, size);
  }
  bool SetAccessLike(const std::string& path, const std::string& model) override {
    return target_.SetAccessLike(path, model);
  }
  void* AcquireFileLock(const std::string& path) override { return target_.AcquireFileLock(path); }
  void ReleaseFileLock(void* lock) override { target_.ReleaseFileLock(lock); }
  bool GetFileSize(const std::string& path, uint64_t& size) override { return target_.GetFileSize(path, size); }
  bool ListDirectory(const std::string& pattern, std::vector<DirEntry>& entries) override {
    return target_.ListDirectory(pattern, entries);
  }
  std::string TempDirectory() override { return target_.TempDirectory(); }
  ModuleHandle LoadModule(const std::string& name, std::string* error) override {
    return target_.LoadModule(name, error);
  }
  void* FindSymbol(ModuleHandle module, const char* name) override { return target_.FindSymbol(module, name); }
  void FreeModule(ModuleHandle module) override { target_.FreeModule(module); }
  std::string LoadedModulePath(const char* moduleName) override { return target_.LoadedModulePath(moduleName); }
  bool ModuleFileVersion(const std::string& path, uint16_t version[4]) override {
    return target_.ModuleFileVersion(path, version);
  }
  bool GetEnvironment(const std::string& name, std::string& value) override {
    return target_.GetEnvironment(name, value);
  }
  bool SetEnvironment(const std::string& name, const std::string& value) override {
    return target_.SetEnvironment(name, value);
  }
  uint64_t MonotonicMilliseconds() override { return target_.MonotonicMilliseconds(); }
  double LocalDateTime() override { return target_.LocalDateTime(); }

 private:
  Platform& target_;
};

// The system's implementation (one per process, never destroyed before exit).
Platform& SystemPlatform();
// The implementation in force: the system's unless a test replaced it.
Platform& Os();
// Replaces the implementation in force; nullptr restores the system's. Tests
// only: not safe while other threads use the platform.
void SetPlatformForTesting(Platform* platform);

// --- facts of the platform that never change at run time ---
// The module file name the system uses for a Windows module name: on POSIX a
// trailing ".dll" (any case) becomes ".so"; other names stay as they are.
std::string ModuleFileNameFor(const std::string& name);
// Name and list separator of the executable search path variable that the
// root path extends ("Path" and ';' on Windows, "PATH" and ':' on POSIX).
const char* SearchPathVariable();
char SearchPathSeparator();
// A Windows-style path in the system's own form, resolving existing
// components as the file functions do (identity on Windows).
std::string NativePath(const std::string& path);

// An 8-bit host string in the system's ANSI code page as UTF-16 (Windows
// converts with the code page; POSIX reads the bytes as Latin-1).
std::u16string AnsiToUtf16(const std::string& text);

// Identity of the calling process.
uint32_t CurrentProcessId();
// Whether a process with this identity is running (also one of another user).
// An identity the system may have given to a new process since errs on the
// side of running: what belongs to it is kept.
bool ProcessIsRunning(uint32_t processId);
// Identity of the calling thread, never 0.
uint32_t CurrentThreadId();
// Gives up the rest of the time slice (the spin locks' back-off).
void YieldThread();

}  // namespace cryptlib::platform
