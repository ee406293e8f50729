#include "file_writes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <new>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "errors.h"
#include "files.h"
#include "module.h"

namespace fs = std::filesystem;

namespace ref {
namespace {

constexpr char kPowerCutVariable[] = "CRYPTLIB_REF_POWER_CUT";

std::string DirectoryOf(const std::string& path) {
  std::string parent = fs::path(path).parent_path().string();
  return parent.empty() ? std::string(".") : parent;
}

std::string NameOf(const std::string& path) {
  return fs::path(path).filename().string();
}

// The power-cut simulation: what the module changed and has not synced yet,
// and how to take it back as a disk that lost power would.
class PowerCut {
 public:
  static PowerCut& Instance() {
    // In static storage, never destroyed: used until the last file change.
    alignas(PowerCut) static unsigned char storage[sizeof(PowerCut)];
    static PowerCut* instance = new (storage) PowerCut();
    return *instance;
  }

  // Called before every file change; cuts the power when its turn has come.
  void Step() {
    const char* value = std::getenv(kPowerCutVariable);
    if (value == nullptr) return;
    std::lock_guard lock(mutex_);
    if (armedWith_ != value) Rearm(value);
    if (++count_ == cutAt_) Cut();
  }

  bool Recording() {
    std::lock_guard lock(mutex_);
    return std::getenv(kPowerCutVariable) != nullptr && cutAt_ >= 0;
  }

  // A file the module created (size 0, nothing synced).
  void Created(const std::string& path) { Record({Undo::kCreated, path, {}, {}}); }
  void MadeDirectory(const std::string& path) { Record({Undo::kMadeDirectory, path, {}, {}}); }

  // Before renaming from over to: keeps the old target under a side name.
  void Renaming(const std::string& from, const std::string& to) {
    if (!Recording()) return;
    std::string backup = SideName(to);
    bool existed = ::link(to.c_str(), backup.c_str()) == 0;
    Record({Undo::kRenamed, to, from, existed ? backup : std::string()});
    std::lock_guard lock(mutex_);
    auto it = syncedSize_.find(from);
    if (it != syncedSize_.end()) {
      syncedSize_[to] = it->second;
      syncedSize_.erase(it);
    }
  }

  void Removing(const std::string& path) {
    if (!Recording()) return;
    std::string backup = SideName(path);
    if (::link(path.c_str(), backup.c_str()) == 0) Record({Undo::kRemoved, path, {}, backup});
  }

  void Wrote(const std::string& path) {
    if (!Recording()) return;
    std::lock_guard lock(mutex_);
    syncedSize_.emplace(path, 0);  // only files created by the module are written
  }

  void SyncedFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    syncedSize_.erase(path);
  }

  // Entries of the directory are durable now; their side copies go.
  void SyncedDirectory(const std::string& directory) {
    std::lock_guard lock(mutex_);
    std::vector<Undo> kept;
    for (Undo& undo : undos_) {
      if (DirectoryOf(undo.path) != directory) {
        kept.push_back(std::move(undo));
      } else if (!undo.backup.empty()) {
        ::unlink(undo.backup.c_str());
      }
    }
    undos_.swap(kept);
  }

 private:
  struct Undo {
    enum Kind { kCreated, kMadeDirectory, kRenamed, kRemoved } kind;
    std::string path;    // the entry that changed
    std::string from;    // kRenamed: the name it came from
    std::string backup;  // kRenamed, kRemoved: the previous file under a side name
  };

  void Rearm(const char* value) {
    armedWith_ = value;
    char* end = nullptr;
    long at = std::strtol(value, &end, 10);
    cutAt_ = (end != value && at >= 0) ? at : -1;
    count_ = 0;
    undos_.clear();
    syncedSize_.clear();
  }

  void Record(Undo undo) {
    if (!Recording()) return;
    std::lock_guard lock(mutex_);
    undos_.push_back(std::move(undo));
  }

  static std::string SideName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".powercut-" + std::to_string(++counter);
  }

  // Unsynced data is lost, then unsynced directory entries, newest first.
  [[noreturn]] void Cut() {
    for (const auto& [path, size] : syncedSize_) ::truncate(path.c_str(), static_cast<off_t>(size));
    for (auto it = undos_.rbegin(); it != undos_.rend(); ++it) Revert(*it);
    ::raise(SIGKILL);
    std::abort();  // not reached
  }

  static void Revert(const Undo& undo) {
    std::error_code error;
    switch (undo.kind) {
      case Undo::kCreated:
        ::unlink(undo.path.c_str());
        break;
      case Undo::kMadeDirectory:
        fs::remove_all(undo.path, error);
        break;
      case Undo::kRenamed:
        ::rename(undo.path.c_str(), undo.from.c_str());
        if (!undo.backup.empty()) ::rename(undo.backup.c_str(), undo.path.c_str());
        break;
      case Undo::kRemoved:
        ::rename(undo.backup.c_str(), undo.path.c_str());
        break;
    }
  }

  std::mutex mutex_;
  std::string armedWith_;
  long cutAt_ = -1;
  long count_ = 0;
  std::vector<Undo> undos_;
  std::map<std::string, size_t> syncedSize_;  // files with unsynced data: the size that is durable
};

void SyncDirectory(const std::string& directory) {
  PowerCut::Instance().Step();
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(kErrWriteFile, directory + ": " + std::strerror(errno));
  int result = ::fsync(fd);
  int savedErrno = errno;
  ::close(fd);
  // Some file systems cannot sync a directory; their renames are as durable
  // as they can be made.
  if (result != 0 && savedErrno != EINVAL && savedErrno != ENOTSUP) {
    Fail(kErrWriteFile, directory + ": " + std::strerror(savedErrno));
  }
  PowerCut::Instance().SyncedDirectory(directory);
}

std::string TemporaryName(const std::string& finalPath) {
  static std::atomic<unsigned long> counter{0};
  thread_local std::mt19937_64 random{std::random_device{}()};
  return DirectoryOf(finalPath) + "/." + NameOf(finalPath) + "." + std::to_string(::getpid()) + "-" +
         std::to_string(++counter) + "-" + std::to_string(random() % 1000000000) + ".tmp";
}

// Creates a new file with exactly mode, never an existing one.
int CreateExclusive(const std::string& path, mode_t mode) {
  PowerCut::Instance().Step();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return fd;
  PowerCut::Instance().Created(path);
  // The umask may have narrowed a public file; a private one stays private.
  if (::fchmod(fd, mode) != 0) {
    ::close(fd);
    ::unlink(path.c_str());
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& path, const std::string& contents) {
  size_t written = 0;
  while (written < contents.size()) {
    PowerCut::Instance().Step();
    PowerCut::Instance().Wrote(path);
    ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

bool SyncFile(int fd, const std::string& path) {
  PowerCut::Instance().Step();
  if (::fsync(fd) != 0) return false;
  PowerCut::Instance().SyncedFile(path);
  return true;
}

bool RenameOver(const std::string& from, const std::string& to) {
  PowerCut::Instance().Step();
  PowerCut::Instance().Renaming(from, to);
  return ::rename(from.c_str(), to.c_str()) == 0;
}

// The pid in a temporary name, or 0.
pid_t WriterOf(const std::string& fileName) {
  size_t end = fileName.rfind('-', fileName.rfind('-') - 1);
  size_t start = fileName.rfind('.', end);
  if (end == std::string::npos || start == std::string::npos || start >= end) return 0;
  char* stop = nullptr;
  long pid = std::strtol(fileName.c_str() + start + 1, &stop, 10);
  return stop == fileName.c_str() + end && pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

bool IsTemporaryName(const std::string& fileName) {
  return fileName.size() > 5 && fileName[0] == '.' && fileName.compare(fileName.size() - 4, 4, ".tmp") == 0 &&
         WriterOf(fileName) != 0;
}

void WriteWholeFile(const std::string& nativePath, const std::string& contents, Visibility visibility) {
  const mode_t mode = visibility == Visibility::kOwnerOnly ? 0600 : 0644;
  const std::string temporary = TemporaryName(nativePath);
  int fd = CreateExclusive(temporary, mode);
  if (fd < 0) Fail(kErrWriteFile, nativePath + ": " + std::strerror(errno));
  bool ok = WriteAll(fd, temporary, contents) && SyncFile(fd, temporary);
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = RenameOver(temporary, nativePath);
  if (!ok) {
    if (savedErrno == 0) savedErrno = errno;
    ::unlink(temporary.c_str());
    Fail(kErrWriteFile, nativePath + ": " + std::strerror(savedErrno));
  }
  SyncDirectory(DirectoryOf(nativePath));
}

void MakeDirectories(const std::string& nativeDirectory) {
  std::error_code error;
  if (fs::is_directory(nativeDirectory, error)) return;
  fs::path current;
  for (const fs::path& part : fs::path(nativeDirectory)) {
    current /= part;
    if (fs::is_directory(current, error)) continue;
    PowerCut::Instance().Step();
    if (::mkdir(current.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      Fail(kErrWriteFile, current.string() + ": " + std::strerror(errno));
    }
    PowerCut::Instance().MadeDirectory(current.string());
    // The new entry must survive a power cut before anything is put in it.
    SyncDirectory(DirectoryOf(current.string()));
  }
}

void RemoveStaleTemporaries(const std::string& nativeDirectory) {
  std::error_code error;
  for (fs::directory_iterator it(nativeDirectory, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!IsTemporaryName(name)) continue;
    const pid_t writer = WriterOf(name);
    if (writer != ::getpid() && ::kill(writer, 0) != 0 && errno == ESRCH) ::unlink(it->path().c_str());
  }
}

void RemoveFileDurably(const std::string& nativePath) {
  PowerCut::Instance().Step();
  PowerCut::Instance().Removing(nativePath);
  if (::unlink(nativePath.c_str()) != 0) {
    if (errno == ENOENT) return;
    Fail(kErrWriteFile, nativePath + ": " + std::strerror(errno));
  }
  SyncDirectory(DirectoryOf(nativePath));
}

}  // namespace ref
