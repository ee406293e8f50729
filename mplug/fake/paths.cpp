#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace fake {
namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

#if !defined(_WIN32)
// Windows resolves names itself; these give POSIX paths the same meaning.

// The existing entry of directory that component names: the exact name first,
// else the smallest of the names equal to it without regard to case.
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

std::optional<fs::path> BaseOf(std::string_view& path) {
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
#endif

}  // namespace

std::optional<std::string> NativePath(const std::string& path) {
#if defined(_WIN32)
  if (path.empty()) return std::nullopt;
  return path;
#else
  std::string_view rest = path;
  if (rest.empty()) return std::nullopt;
  std::optional<fs::path> base = BaseOf(rest);
  if (!base) return std::nullopt;
  fs::path resolved = *base;
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
  return resolved.string();
#endif
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
