#include "paths.h"

#include "common/windows_path.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace fake {

using mplug_common::IsSeparator;
using mplug_common::SameIgnoringCase;

std::optional<std::string> NativePath(const std::string& path) {
  return mplug_common::ResolveWindowsPath(path);
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::optional<std::string> native = NativePath(path);
  if (!native) return false;
  std::ifstream in(*native, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

namespace {

bool WriteFile(const std::string& path, const std::string& contents, bool ownerOnly) {
  std::optional<std::string> native = NativePath(path);
  if (!native) return false;
  std::error_code error;
  fs::path target(*native);
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), error);
#if !defined(_WIN32)
  // Owner-only from the first byte of key material, as a real module writes
  // its key files.
  if (ownerOnly) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool whole = ::fchmod(fd, 0600) == 0;
    for (size_t done = 0; whole && done < contents.size();) {
      const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
      whole = written > 0;
      if (whole) done += static_cast<size_t>(written);
    }
    return ::close(fd) == 0 && whole;
  }
#else
  (void)ownerOnly;
#endif
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
}

}  // namespace

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  return WriteFile(path, contents, false);
}

bool WriteKeyFile(const std::string& path, const std::string& contents) {
  return WriteFile(path, contents, true);
}

bool FileExists(const std::string& path) {
  std::optional<std::string> native = NativePath(path);
  std::error_code error;
  return native && fs::is_regular_file(*native, error);
}

std::string WithBackslash(const std::string& directory) {
  if (directory.empty() || IsSeparator(directory.back())) return directory;
  return directory + "\\";
}

std::vector<std::string> ListFiles(const std::string& directory, const std::vector<std::string>& suffixes) {
  std::vector<std::string> files;
  std::optional<std::string> native = NativePath(directory);
  if (!native) return files;
  std::error_code error;
  for (fs::directory_iterator it(*native, error), end; !error && it != end; it.increment(error)) {
    if (!it->is_regular_file(error)) continue;
    std::string name = it->path().filename().string();
    for (const std::string& suffix : suffixes) {
      if (name.size() >= suffix.size() && SameIgnoringCase(name.substr(name.size() - suffix.size()), suffix)) {
        files.push_back(it->path().string());
        break;
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace fake
