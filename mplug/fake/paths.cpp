#include "paths.h"

#include "common/windows_path.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

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

bool WriteWholeFile(const std::string& path, const std::string& contents) {
  std::optional<std::string> native = NativePath(path);
  if (!native) return false;
  std::error_code error;
  fs::path target(*native);
  if (target.has_parent_path()) fs::create_directories(target.parent_path(), error);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return static_cast<bool>(out);
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
