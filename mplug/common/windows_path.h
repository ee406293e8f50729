// Windows-style paths for the vendor modules, which are separate libraries and
// do not link the engine's platform layer: "\" or "/" separate, an existing
// component is matched without regard to letter case (the exact spelling
// first, else the byte-wise smallest of the matching names), "X:" resolves
// under $CRYPTLIB_DRIVE_X and fails when that is unset. The same rules as the
// engine's POSIX platform layer (docs/platform.md); on Windows the system
// gives paths this meaning itself.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace mplug_common {

inline bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

inline bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

namespace windows_path_detail {

// The existing entry of directory that component names.
inline std::optional<std::string> FindEntry(const std::filesystem::path& directory, const std::string& component) {
  std::error_code error;
  if (std::filesystem::exists(directory / component, error)) return component;
  std::optional<std::string> best;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (SameIgnoringCase(name, component) && (!best || name < *best)) best = name;
  }
  return best;
}

// The directory a path starts from; consumes a drive prefix.
inline std::optional<std::filesystem::path> StartOf(std::string_view& path) {
  bool drive = path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
  if (drive) {
    std::string variable = "CRYPTLIB_DRIVE_";
    variable += static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    const char* value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0') return std::nullopt;
    path.remove_prefix(2);
    return std::filesystem::path(value);
  }
  if (!path.empty() && IsSeparator(path[0])) return std::filesystem::path("/");
  return std::filesystem::path();
}

}  // namespace windows_path_detail

// The native path of a Windows-style path; nullopt for an empty path or an
// unmapped drive. After the first missing component the rest is taken as
// given, so a new file keeps the case it was named with.
inline std::optional<std::string> ResolveWindowsPath(const std::string& path) {
#if defined(_WIN32)
  if (path.empty()) return std::nullopt;
  return path;
#else
  using namespace windows_path_detail;
  std::string_view rest = path;
  if (rest.empty()) return std::nullopt;
  std::optional<std::filesystem::path> start = StartOf(rest);
  if (!start) return std::nullopt;
  std::filesystem::path resolved = *start;
  bool matching = true;
  std::string component;
  for (size_t pos = 0; pos <= rest.size(); ++pos) {
    if (pos < rest.size() && !IsSeparator(rest[pos])) {
      component += rest[pos];
      continue;
    }
    if (component.empty()) continue;
    std::optional<std::string> found =
        matching ? FindEntry(resolved.empty() ? std::filesystem::path(".") : resolved, component) : std::nullopt;
    matching = found.has_value();
    resolved /= found.value_or(component);
    component.clear();
  }
  if (resolved.empty()) return std::nullopt;
  return resolved.string();
#endif
}

}  // namespace mplug_common
