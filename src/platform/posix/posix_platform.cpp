// The POSIX (Linux) implementation of the platform layer. Windows-style paths
// get Windows meaning the way Wine gives it (see docs/platform.md).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>

#include "platform/date_time.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/posix/posix_internal.h"

namespace cryptlib::platform {

namespace posix {
namespace {

// A file descriptor closed on scope exit (move-only).
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded (it can report a
  // write error).
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int FsyncRetrying(int fd) {
  int result;
  do {
    result = fsync(fd);
  } while (result < 0 && errno == EINTR);
  return result;
}

// fsync through a descriptor of its own: Linux flushes the inode's pages
// whichever descriptor wrote them, also for a read-only one.
bool SyncNative(const std::string& nativePath, int flags) {
  ScopedFd fd(OpenRetrying(nativePath.c_str(), flags));
  return fd.valid() && FsyncRetrying(fd.get()) == 0;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Read and write bits only: a copy never gains execute or set-id bits.
constexpr mode_t kReadWriteBits = 0666;

bool IsReadOnlyMode(mode_t mode) {
  return (mode & S_IWUSR) == 0;
}

uint32_t AttributesOf(const struct stat& st) {
  uint32_t attributes = S_ISDIR(st.st_mode) ? kAttrDirectory : kAttrArchive;
  if (IsReadOnlyMode(st.st_mode)) attributes |= kAttrReadOnly;
  return attributes;
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ParentOf(const std::string& nativePath) {
  size_t cut = nativePath.rfind('/');
  if (cut == std::string::npos) return std::string();
  if (cut == 0) return "/";
  return nativePath.substr(0, cut);
}

// The process's umask, read without changing it (umask(2) would, racing with
// other threads creating files).
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "Umask:") == 0) {
      return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    }
  }
  return 022;
}

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

// The loaded object whose segments contain an address, or whose file name is
// a given one; the first object reported is the executable.
struct ObjectSearch {
  const void* address = nullptr;  // find the object containing it, or
  std::string fileName;           // the object with this file name (case ignored)
  bool found = false;
  bool isExecutable = false;
  std::string path;
};

int VisitObject(struct dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ObjectSearch*>(data);
  const char* name = info->dlpi_name ? info->dlpi_name : "";
  const bool executable = name[0] == '\0';
  bool match = false;
  if (search->address) {
    const auto target = reinterpret_cast<uintptr_t>(search->address);
    for (int i = 0; i < info->dlpi_phnum && !match; ++i) {
      const ElfW(Phdr)& segment = info->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD) continue;
      const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
      match = target >= start && target - start < segment.p_memsz;
    }
  } else if (!executable) {
    match = EqualsIgnoreCase(BaseName(name), search->fileName);
  }
  if (!match) return 0;
  search->found = true;
  search->isExecutable = executable;
  search->path = name;
  return 1;
}

// dl_iterate_phdr reports names as they were loaded; give a full path when
// the file is there.
std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string result(real);
  std::free(real);
  return result;
}

// The offset of local time from UTC for the second it was last asked for:
// the engine reads the local clock on every call, and localtime_r costs more
// than the rest of a cached call's own work. One word, so threads share it
// without a lock: the second in the upper 40 bits, the offset (biased to be
// positive) in the lower 24.
class LocalOffsetMemo {
 public:
  bool Find(int64_t seconds, int64_t& offset) const {
    const uint64_t packed = packed_.load(std::memory_order_relaxed);
    if (!Packable(seconds, 0) || static_cast<int64_t>(packed >> kOffsetBits) != seconds) return false;
    offset = static_cast<int64_t>(packed & kOffsetMask) - kOffsetBias;
    return true;
  }
  void Remember(int64_t seconds, int64_t offset) {
    if (Packable(seconds, offset))
      packed_.store(static_cast<uint64_t>(seconds) << kOffsetBits | static_cast<uint64_t>(offset + kOffsetBias),
                    std::memory_order_relaxed);
  }

 private:
  static constexpr int kOffsetBits = 24;
  static constexpr uint64_t kOffsetMask = (uint64_t{1} << kOffsetBits) - 1;
  static constexpr int64_t kOffsetBias = int64_t{1} << (kOffsetBits - 1);
  static bool Packable(int64_t seconds, int64_t offset) {
    return seconds >= 0 && seconds < (int64_t{1} << (64 - kOffsetBits)) - 1 && offset > -kOffsetBias &&
           offset < kOffsetBias;
  }
  // No second matches the initial value.
  std::atomic<uint64_t> packed_{~uint64_t{0}};
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform()
      : resolver_([this](const std::string& name, std::string& value) { return GetEnvironment(name, value); }),
        umask_(CurrentUmask()) {}

  PathResolver& resolver() { return resolver_; }

  // --- files and directories ---

  uint32_t GetAttributes(const std::string& path) override {
    // Resolution already read the entry's status; only a link needs another
    // look, since attributes describe what it points to.
    struct stat st;
    bool checked = false;
    std::optional<std::string> native = resolver_.ResolveExisting(path, st, checked);
    if (!native) return kInvalidAttributes;
    if ((!checked || S_ISLNK(st.st_mode)) && stat(native->c_str(), &st) != 0) return kInvalidAttributes;
    return AttributesOf(st);
  }

  bool SetAttributes(const std::string& path, uint32_t attributes) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    struct stat st;
    if (!native || stat(native->c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      // Writable again: the owner, and whoever may read it as far as the
      // umask allows (Wine's rule).
      mode |= static_cast<mode_t>(S_IWUSR | (((mode & (S_IRGRP | S_IROTH)) >> 1) & ~umask_));
    }
    if (mode == (st.st_mode & 07777)) return true;
    return chmod(native->c_str(), mode) == 0;
  }

  bool CreateDirectory(const std::string& path) override {
    std::optional<std::string> native = resolver_.Resolve(path);
    return native && mkdir(native->c_str(), 0777) == 0;
  }

  bool CreatePrivateDirectory(const std::string& path) override {
    std::optional<std::string> native = resolver_.Resolve(path);
    return native && mkdir(native->c_str(), 0700) == 0;
  }

  bool RemoveDirectory(const std::string& path) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    return native && rmdir(native->c_str()) == 0;
  }

  bool DeleteFile(const std::string& path) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    struct stat st;
    if (!native || lstat(native->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // Windows refuses to delete a read-only file.
    if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) return false;
    return unlink(native->c_str()) == 0;
  }

  bool RenameFile(const std::string& from, const std::string& to) override {
    std::optional<std::string> source = resolver_.ResolveExisting(from);
    if (!source) return false;
    std::optional<ParsedPath> parsedTarget = resolver_.Parse(to);
    if (!parsedTarget || parsedTarget->components.empty()) return false;
    std::optional<std::string> target = resolver_.Resolve(to);
    if (!target) return false;
    if (*target == *source) {
      // The target names the source itself but for case: a case-only rename.
      std::string respelled = JoinNative(ParentOf(*source), parsedTarget->components.back());
      if (respelled == *source) return true;
      return rename(source->c_str(), respelled.c_str()) == 0;
    }
    struct stat st;
    if (lstat(target->c_str(), &st) == 0) {
      // Windows replaces only files, and not read-only ones.
      if (S_ISDIR(st.st_mode)) return false;
      if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) return false;
    }
    return rename(source->c_str(), target->c_str()) == 0;
  }

  bool ReadFile(const std::string& path, std::string& contents) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    if (!native) return false;
    ScopedFd fd(OpenRetrying(native->c_str(), O_RDONLY));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    std::string data;
    if (st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
      ssize_t got = read(fd.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      data.append(buffer, static_cast<size_t>(got));
    }
    contents.swap(data);
    return true;
  }

  bool WriteFile(const std::string& path, const void* data, size_t size) override {
    std::optional<std::string> native = resolver_.Resolve(path);
    if (!native) return false;
    struct stat st;
    if (stat(native->c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode))) return false;
    ScopedFd fd(OpenRetrying(native->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!fd.valid()) return false;
    return WriteAll(fd.get(), data, size) && fd.Close();
  }

  bool CreatePrivateFile(const std::string& path, const void* data, size_t size) override {
    std::optional<std::string> native = resolver_.Resolve(path);
    if (!native) return false;
    // O_EXCL: the name is this call's alone, and no other user ever had a
    // moment to open it.
    ScopedFd fd(OpenRetrying(native->c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR));
    if (!fd.valid()) return false;
    if (WriteAll(fd.get(), data, size) && fd.Close()) return true;
    fd.Close();
    unlink(native->c_str());
    return false;
  }

  bool SetAccessLike(const std::string& path, const std::string& model) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    if (!native) return false;
    mode_t mode = kReadWriteBits & ~umask_;
    if (!model.empty()) {
      std::optional<std::string> modelNative = resolver_.ResolveExisting(model);
      struct stat st;
      if (!modelNative || stat(modelNative->c_str(), &st) != 0) return false;
      // The owner keeps reading and writing: read-only is an attribute
      // callers set on purpose, afterwards.
      mode = (st.st_mode & kReadWriteBits) | S_IRUSR | S_IWUSR;
    }
    return chmod(native->c_str(), mode) == 0;
  }

  void* AcquireFileLock(const std::string& path) override {
    std::optional<std::string> native = resolver_.Resolve(path);
    if (!native) return nullptr;
    // The lock file holds nothing; the default mode lets every user who may
    // change the directory take the lock too.
    int fd = OpenRetrying(native->c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) fd = OpenRetrying(native->c_str(), O_RDONLY);
    if (fd < 0) return nullptr;
    // flock, not fcntl: its lock belongs to this open file, so two threads
    // exclude each other too, and closing another descriptor of the same
    // file does not drop it.
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
      close(fd);
      return nullptr;
    }
    return new int(fd);
  }

  void ReleaseFileLock(void* lock) override {
    if (!lock) return;
    int* fd = static_cast<int*>(lock);
    close(*fd);  // closing drops the lock
    delete fd;
  }

  bool SyncFile(const std::string& path) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    return native && SyncNative(*native, O_RDONLY);
  }

  bool SyncDirectory(const std::string& path) override {
    std::optional<std::string> native = resolver_.ResolveDirectory(path);
    return native && SyncNative(native->empty() ? "." : *native, O_RDONLY | O_DIRECTORY);
  }

  bool GetFileSize(const std::string& path, uint64_t& size) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    struct stat st;
    if (!native || stat(native->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
  }

  bool ListDirectory(const std::string& pattern, std::vector<DirEntry>& entries) override {
    // The directory part is everything up to the last separator (or a bare
    // drive prefix); the rest is the mask.
    std::string directoryPart;
    std::string mask;
    size_t cut = pattern.find_last_of("/\\");
    if (cut != std::string::npos) {
      directoryPart = pattern.substr(0, cut + 1);
      mask = pattern.substr(cut + 1);
    } else if (pattern.size() >= 2 && pattern[1] == ':') {
      directoryPart = pattern.substr(0, 2);
      mask = pattern.substr(2);
    } else {
      mask = pattern;
    }
    if (mask.empty()) return false;
    std::optional<std::string> directory = resolver_.ResolveDirectory(directoryPart);
    if (!directory) return false;
    return ListMatching(*directory, mask, entries);
  }

  std::string TempDirectory() override {
    std::string value;
    if (!GetEnvironment("TMPDIR", value) || value.empty()) value = "/tmp";
    if (value.back() != '/') value += '/';
    return value;
  }

  // --- modules ---

  ModuleHandle LoadModule(const std::string& name, std::string* error) override {
    std::string fileName = ModuleFileNameFor(name);
    if (fileName.find_first_of("/\\") != std::string::npos) {
      std::optional<std::string> native = resolver_.Resolve(fileName);
      if (!native) {
        if (error) *error = "cannot load " + name + ": the path has no meaning on this system";
        return nullptr;
      }
      fileName = *native;
      // A relative path must stay one, or dlopen would search for it.
      if (fileName.find('/') == std::string::npos) fileName = "./" + fileName;
    }
    void* handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle && error) {
      const char* message = dlerror();
      *error = message ? message : ("cannot load " + fileName);
    }
    return handle;
  }

  void* FindSymbol(ModuleHandle module, const char* name) override {
    if (!module || !name) return nullptr;
    return dlsym(module, name);
  }

  void FreeModule(ModuleHandle module) override {
    if (module) dlclose(module);
  }

  std::string LoadedModulePath(const char* moduleName) override;

  bool ModuleFileVersion(const std::string& path, uint16_t version[4]) override {
    std::optional<std::string> native = resolver_.ResolveExisting(path);
    if (!native) return false;
    ScopedFd fd(OpenRetrying(native->c_str(), O_RDONLY));
    if (!fd.valid()) return false;
    uint16_t found[4];
    if (!ReadElfFileVersion(fd.get(), found)) return false;
    std::memcpy(version, found, sizeof found);
    return true;
  }

  // --- environment ---

  bool GetEnvironment(const std::string& name, std::string& value) override {
    std::shared_lock lock(environmentMutex_);
    const char* text = std::getenv(name.c_str());
    if (!text) return false;
    value = text;
    return true;
  }

  bool SetEnvironment(const std::string& name, const std::string& value) override {
    if (name.empty() || name.find('=') != std::string::npos) return false;
    std::unique_lock lock(environmentMutex_);
    return setenv(name.c_str(), value.c_str(), 1) == 0;
  }

  // --- time ---

  uint64_t MonotonicMilliseconds() override {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  }

  double LocalDateTime() override {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t offset = 0;
    if (!localOffset_.Find(now.tv_sec, offset)) {
      struct tm local;
      time_t seconds = now.tv_sec;
      if (!localtime_r(&seconds, &local)) return 0.0;
      offset = local.tm_gmtoff;
      localOffset_.Remember(now.tv_sec, offset);
    }
    return EncodeClockSeconds(static_cast<int64_t>(now.tv_sec) + offset, static_cast<int32_t>(now.tv_nsec / 1000000));
  }

 private:
  bool ListMatching(const std::string& directory, const std::string& mask, std::vector<DirEntry>& entries);

  PathResolver resolver_;
  LocalOffsetMemo localOffset_;
  mode_t umask_;
  // setenv and getenv are not safe against each other; the layer's own calls
  // at least do not race.
  std::shared_mutex environmentMutex_;
};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool PosixPlatform::ListMatching(const std::string& directory, const std::string& mask,
                                 std::vector<DirEntry>& entries) {
  std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
  if (!dir) return false;
  const int dirFd = dirfd(dir.get());
  std::vector<DirEntry> found;
  while (dirent* entry = readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!MatchesWildcard(mask, name)) continue;
    struct stat st;
    // A symbolic link reports its target; a dangling one the link itself.
    if (fstatat(dirFd, name, &st, 0) != 0 && fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    found.push_back(DirEntry{name, AttributesOf(st)});
  }
  // A stable order: case-folded name, then bytes (close to what NTFS gives).
  std::sort(found.begin(), found.end(), [](const DirEntry& a, const DirEntry& b) {
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(FoldAscii(a.name[i]));
      const auto y = static_cast<unsigned char>(FoldAscii(b.name[i]));
      if (x != y) return x < y;
    }
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;
  });
  entries = std::move(found);
  return true;
}

std::string PosixPlatform::LoadedModulePath(const char* moduleName) {
  if (!moduleName) return ExecutablePath();
  const std::string fileName = ModuleFileNameFor(BaseName(moduleName));
  ObjectSearch search;
  if (EqualsIgnoreCase(fileName, ModuleFileNameFor("CryptLib.dll"))) {
    // The engine library is the object this code was linked into.
    search.address = reinterpret_cast<const void*>(&ExecutablePath);
  } else {
    search.fileName = fileName;
  }
  dl_iterate_phdr(&VisitObject, &search);
  if (!search.found || search.isExecutable) return ExecutablePath();
  return AbsolutePath(search.path);
}

std::atomic<PosixPlatform*> constructedPlatform{nullptr};

// Empties the path cache when the library's statics are torn down (unload or
// exit), so that its memory is given back although the object lives on.
struct CacheRelease {
  ~CacheRelease() {
    if (PosixPlatform* platform = constructedPlatform.load(std::memory_order_acquire)) {
      platform->resolver().ClearCache();
    }
  }
} cacheRelease;

}  // namespace

PathResolver& SystemResolver() {
  return static_cast<PosixPlatform&>(detail::SystemPlatformInstance()).resolver();
}

}  // namespace posix

// Created on first use in static storage and never destroyed, so that static
// destructors elsewhere may still use the platform.
Platform& detail::SystemPlatformInstance() {
  alignas(posix::PosixPlatform) static unsigned char storage[sizeof(posix::PosixPlatform)];
  static posix::PosixPlatform* const platform = [] {
    auto* created = new (storage) posix::PosixPlatform();
    posix::constructedPlatform.store(created, std::memory_order_release);
    return created;
  }();
  return *platform;
}

// --- facts of the platform ---

std::string ModuleFileNameFor(const std::string& name) {
  if (name.size() >= 4 && posix::EqualsIgnoreCase(std::string_view(name).substr(name.size() - 4), ".dll")) {
    return name.substr(0, name.size() - 4) + ".so";
  }
  return name;
}

const char* SearchPathVariable() {
  return "PATH";
}

char SearchPathSeparator() {
  return ':';
}

std::string NativePath(const std::string& path) {
  std::optional<std::string> native = posix::SystemResolver().Resolve(path);
  return native ? *native : std::string();
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

bool ProcessIsRunning(uint32_t processId) {
  if (processId == 0 || processId > static_cast<uint32_t>(std::numeric_limits<pid_t>::max())) return false;
  // Signal 0 only checks: EPERM means the process exists under another user.
  return kill(static_cast<pid_t>(processId), 0) == 0 || errno != ESRCH;
}

uint32_t CurrentThreadId() {
  static std::atomic<uint32_t> next{1};
  thread_local uint32_t id = 0;
  if (id == 0) {
    do {
      id = next.fetch_add(1, std::memory_order_relaxed);
    } while (id == 0);  // after 2^32 threads the counter wraps: skip 0
  }
  return id;
}

void YieldThread() {
  sched_yield();
}

}  // namespace cryptlib::platform
