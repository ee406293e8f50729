#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "errors.h"
#include "module.h"

namespace fs = std::filesystem;

namespace ref {
namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::optional<std::string> FindEntry(const fs::path& directory, const std::string& component) {
  std::error_code error;
  if (fs::exists(directory / component, error)) return component;
  std::optional<std::string> best;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (SameIgnoringCase(name, component) && (!best || name < *best)) best = name;
  }
  return best;
}

// The directory a path starts from; consumes a drive prefix.
std::optional<fs::path> StartOf(std::string_view& path) {
  bool drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  if (drive) {
    std::string variable = "CRYPTLIB_DRIVE_";
    variable += static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    const char* value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    path.remove_prefix(2);
    return fs::path(value);
  }
  if (!path.empty() && IsSeparator(path[0])) return fs::path("/");
  return fs::path();
}

}  // namespace

std::optional<std::string> NativePath(const std::string& path) {
  std::string_view rest = path;
  if (rest.empty()) return std::nullopt;
  std::optional<fs::path> start = StartOf(rest);
  if (!start) return std::nullopt;
  fs::path resolved = *start;
  bool matching = true;  // after the first missing component the rest is taken as given
  std::string component;
  for (size_t pos = 0; pos <= rest.size(); ++pos) {
    if (pos < rest.size() && !IsSeparator(rest[pos])) {
      component += rest[pos];
      continue;
    }
    if (component.empty()) continue;
    std::optional<std::string> found =
        matching ? FindEntry(resolved.empty() ? fs::path(".") : resolved, component) : std::nullopt;
    matching = found.has_value();
    resolved /= found.value_or(component);
    component.clear();
  }
  if (resolved.empty()) return std::nullopt;
  return resolved.string();
}

std::string RequirePath(const std::string& path, int code) {
  std::optional<std::string> native = NativePath(path);
  if (!native) Fail(code, path.empty() ? "no path given" : "path has no meaning here: " + path);
  return *native;
}

std::optional<std::string> ReadWholeFile(const std::string& nativePath) {
  std::ifstream in(nativePath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
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

void WriteWholeFile(const std::string& nativePath, const std::string& contents, Visibility visibility) {
  mode_t mode = visibility == Visibility::kOwnerOnly ? 0600 : 0644;
  int fd = ::open(nativePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) Fail(kErrWriteFile, nativePath + ": " + std::strerror(errno));
  // open() leaves the mode of an existing file alone: a key file must not keep
  // wider permissions from an earlier life.
  bool ok = ::fchmod(fd, mode) == 0;
  size_t written = 0;
  while (ok && written < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok) Fail(kErrWriteFile, nativePath + ": " + std::strerror(savedErrno));
}

void MakeDirectories(const std::string& nativeDirectory) {
  std::error_code error;
  if (fs::is_directory(nativeDirectory, error)) return;
  fs::path current;
  for (const fs::path& part : fs::path(nativeDirectory)) {
    current /= part;
    if (fs::is_directory(current, error)) continue;
    if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST) {
      Fail(kErrWriteFile, current.string() + ": " + std::strerror(errno));
    }
  }
}

}  // namespace ref
