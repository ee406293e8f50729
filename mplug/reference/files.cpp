#include "files.h"

#include "common/windows_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "errors.h"
#include "module.h"

namespace fs = std::filesystem;

namespace ref {

namespace {

// The path with "/" between its components when it exists spelled exactly as
// given (no drive): the answer the component-by-component match gives, since
// every component then exists as named. nullopt otherwise.
std::optional<std::string> ExactPath(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return std::nullopt;
  std::string native;
  native.reserve(path.size());
  if (mplug_common::IsSeparator(path[0])) native += '/';
  size_t components = 0;
  for (size_t at = 0; at < path.size();) {
    if (mplug_common::IsSeparator(path[at])) {
      ++at;
      continue;
    }
    if (components++ > 0) native += '/';
    for (; at < path.size() && !mplug_common::IsSeparator(path[at]); ++at) native += path[at];
  }
  struct stat status {};
  if (components == 0 || ::stat(native.c_str(), &status) != 0) return std::nullopt;
  return native;
}

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

}  // namespace

std::optional<std::string> NativePath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // The usual case in one system call instead of one per component.
  if (std::optional<std::string> exact = ExactPath(path)) return exact;
  return mplug_common::ResolveWindowsPath(path);
}

std::string RequirePath(const std::string& path, int code) {
  std::optional<std::string> native = NativePath(path);
  if (!native) Fail(code, path.empty() ? "no path given" : "path has no meaning here: " + path);
  return *native;
}

std::optional<std::string> ReadWholeFile(const std::string& nativePath, size_t maxBytes, std::string* reason) {
  auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    if (reason != nullptr) *reason = why;
    return std::nullopt;
  };
  // Non-blocking, so that opening a FIFO returns at once; the kind is checked
  // on the descriptor, so that nothing can swap the file in between.
  int fd = ::open(nativePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return refuse(std::strerror(errno));
  FileCloser closer{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) return refuse(std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return refuse("not a regular file");
  if (static_cast<unsigned long long>(status.st_size) > maxBytes) {
    return refuse("larger than " + std::to_string(maxBytes) + " bytes");
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(status.st_size));
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(std::strerror(errno));
    if (n == 0) break;
    // The file may have grown since it was looked at.
    if (contents.size() + static_cast<size_t>(n) > maxBytes) {
      return refuse("larger than " + std::to_string(maxBytes) + " bytes");
    }
    contents.append(chunk, static_cast<size_t>(n));
  }
  return contents;
}

bool IsDirectory(const std::string& nativePath) {
  std::error_code error;
  return fs::is_directory(nativePath, error);
}

bool IsRegularFile(const std::string& nativePath) {
  std::error_code error;
  return fs::is_regular_file(nativePath, error);
}

std::vector<std::string> FilesIn(const std::string& nativeDirectory) {
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(nativeDirectory, error), end; !error && it != end; it.increment(error)) {
    std::error_code kindError;
    if (it->is_regular_file(kindError)) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace ref
