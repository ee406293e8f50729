// Private parts of the POSIX platform: Windows path meaning, wildcard
// matching and the module file version reader. Nothing outside
// src/platform/posix includes this header (the tests do, to reach the pieces
// directly).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cryptlib::platform::posix {

// ASCII letter case folding: the only folding the layer does. Bytes >= 0x80
// (the Windows ANSI code page's letters) compare exactly.
inline char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Windows wildcard matching of one name (FindFirstFile after kernel32's
// translation): "*" any run, "?" one character (or none before a "." and at
// the end), "." before a wildcard or at the end also matches the end of the
// name, "*." stops at the last dot; "*.*" matches every name. Case ignored.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// A Windows-style path split into the native directory it starts from and the
// components below it ("." dropped, ".." folded lexically, repeated
// separators collapsed).
struct ParsedPath {
  std::string base;  // "/" for an absolute path, "" for the current directory, or a drive's directory
  std::vector<std::string> components;
};

// Looks up an environment variable (the drive mapping reads CRYPTLIB_DRIVE_X).
using EnvironmentLookup = std::function<bool(const std::string& name, std::string& value)>;

// Splits path. nullopt when it cannot be given a meaning: empty, or a drive
// whose variable CRYPTLIB_DRIVE_<letter> is not set (or empty).
std::optional<ParsedPath> ParsePath(std::string_view path, const EnvironmentLookup& environment);

// "dir" + "/" + "name" without doubling the separator; "" + name is name.
std::string JoinNative(const std::string& directory, std::string_view name);

// Resolves Windows-style paths to native ones, matching existing components
// case-insensitively. The exact spelling is tried first (one stat); otherwise
// the case-folded path is looked up in a cache of earlier answers (verified
// with one stat, dropped when it no longer exists), and only then is the
// directory read. Among several names equal but for case, the byte-wise
// smallest is chosen. Thread-safe.
class PathResolver {
 public:
  explicit PathResolver(EnvironmentLookup environment) : environment_(std::move(environment)) {}

  // The native path for path: existing components matched, a missing last
  // component kept as given (so that it is created with that case), and a
  // missing intermediate one kept as given (so that the operation fails).
  // nullopt when the path has no meaning (see ParsePath).
  std::optional<std::string> Resolve(std::string_view path);
  // The native path of an existing entry; nullopt when it does not exist.
  std::optional<std::string> ResolveExisting(std::string_view path);
  // The same, and the status the resolver read last of the entry it found
  // (stat of a directory, lstat of anything else), so that a caller that
  // needs the status does not ask the system once more. checked is false
  // when the resolver read none (the path is a bare base).
  std::optional<std::string> ResolveExisting(std::string_view path, struct stat& status, bool& checked);
  // The native path of an existing directory; nullopt when there is none.
  // An empty path names the current directory, "X:" the drive's directory.
  std::optional<std::string> ResolveDirectory(std::string_view path);

  // Splits path as Resolve does (for callers that need the pieces).
  std::optional<ParsedPath> Parse(std::string_view path) const { return ParsePath(path, environment_); }
  // The native path of the first `count` components when they exist.
  // status, when given, receives what the last successful check read.
  std::optional<std::string> FindExisting(const ParsedPath& path, size_t count, bool directory,
                                          struct stat* status = nullptr);

  size_t CacheSize() const;
  void ClearCache();

  // Entries kept at most; the cache is emptied when it would grow beyond.
  static constexpr size_t kCacheLimit = 4096;

 private:
  struct Prefixes;
  std::optional<std::string> Find(const ParsedPath& path, const Prefixes& prefixes, size_t count, bool directory,
                                  struct stat* status);
  // The exact spelling when it exists, else the cached spelling of key (null:
  // not cacheable) when that still exists; a stale entry is dropped.
  std::optional<std::string> Known(const std::string& exact, const std::string* key, bool directory,
                                   struct stat* status);
  std::optional<std::string> Search(const ParsedPath& path, const Prefixes& prefixes, size_t count, bool directory,
                                    struct stat* status);
  std::optional<std::string> CacheLookup(const std::string& key) const;
  void CacheStore(const std::string& key, const std::string& real);
  void CacheErase(const std::string& key);

  EnvironmentLookup environment_;
  mutable std::shared_mutex mutex_;
  // Case-folded path (native base, a NUL, folded components) -> real path.
  std::unordered_map<std::string, std::string> cache_;
};

// The resolver of the system's platform object (its cache is process-wide).
PathResolver& SystemResolver();

// The name among the directory's entries that equals name but for case: name
// itself when present, else the byte-wise smallest. "." and ".." never match.
std::optional<std::string> FindNameIgnoringCase(const std::string& directory, const std::string& name);

// Reads the CryptLib version note (see platform/file_version.h) from the ELF
// file open as fd. False for anything but a well-formed ELF file carrying the
// note; never reads outside the file.
bool ReadElfFileVersion(int fd, uint16_t version[4]);

}  // namespace cryptlib::platform::posix
