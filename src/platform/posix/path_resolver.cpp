// Windows path meaning on POSIX: separators, drive mapping, case-insensitive
// matching of existing names with a cache of resolved paths, wildcards.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "platform/posix/posix_internal.h"

namespace cryptlib::platform::posix {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// --- wildcards ---

namespace {

// Pattern tokens after kernel32's translation (FindFirstFileExW).
enum class Token : char { kLiteral, kStar, kDosStar, kDosQuestion, kDosDot };
struct PatternItem {
  Token token;
  char literal;
};

std::vector<PatternItem> TranslatePattern(std::string_view pattern) {
  std::vector<PatternItem> items;
  items.reserve(pattern.size());
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    if (c == '?') {
      items.push_back({Token::kDosQuestion, 0});
    } else if (c == '*') {
      items.push_back({next == '.' ? Token::kDosStar : Token::kStar, 0});
    } else if (c == '.' && (next == '*' || next == '?' || i + 1 == pattern.size())) {
      items.push_back({Token::kDosDot, 0});
    } else {
      items.push_back({Token::kLiteral, FoldAscii(c)});
    }
  }
  return items;
}

}  // namespace

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  if (pattern == "*" || pattern == "*.*") return true;
  std::vector<PatternItem> items = TranslatePattern(pattern);
  const size_t p = items.size();
  const size_t n = name.size();
  const size_t lastDot = name.rfind('.');
  // reachable[j]: the pattern so far can have consumed exactly j characters.
  std::vector<char> reachable(n + 1, 0), next(n + 1, 0);
  reachable[0] = 1;
  for (size_t i = 0; i < p; ++i) {
    std::fill(next.begin(), next.end(), 0);
    const PatternItem& item = items[i];
    bool any = false;
    for (size_t j = 0; j <= n; ++j) {
      if (!reachable[j]) continue;
      switch (item.token) {
        case Token::kLiteral:
          if (j < n && FoldAscii(name[j]) == item.literal) next[j + 1] = 1;
          break;
        case Token::kStar:
          for (size_t k = j; k <= n; ++k) next[k] = 1;
          break;
        case Token::kDosStar:
          // Any run that does not swallow the name's last dot.
          for (size_t k = j; k <= n; ++k) {
            next[k] = 1;
            if (k == lastDot) break;
          }
          break;
        case Token::kDosQuestion:
          // One character, or nothing at a dot or at the end (the rest of a run
          // of "?" then matches nothing as well: handled by letting each of
          // them match nothing there).
          if (j < n && name[j] != '.') next[j + 1] = 1;
          if (j == n || name[j] == '.') next[j] = 1;
          break;
        case Token::kDosDot:
          if (j < n && name[j] == '.') next[j + 1] = 1;
          if (j == n) next[j] = 1;
          break;
      }
    }
    reachable.swap(next);
    for (char r : reachable) any = any || r;
    if (!any) return false;
  }
  return reachable[n] != 0;
}

// --- parsing ---

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool HasDrivePrefix(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

}  // namespace

std::optional<ParsedPath> ParsePath(std::string_view path, const EnvironmentLookup& environment) {
  if (path.empty()) return std::nullopt;
  ParsedPath parsed;
  bool rooted = false;  // ".." may not climb above the base
  if (HasDrivePrefix(path)) {
    char letter = path[0] >= 'a' ? static_cast<char>(path[0] - 'a' + 'A') : path[0];
    std::string value;
    if (!environment || !environment(std::string("CRYPTLIB_DRIVE_") + letter, value) || value.empty()) {
      return std::nullopt;
    }
    parsed.base = value;
    rooted = true;
    path.remove_prefix(2);
  } else if (IsSeparator(path[0])) {
    parsed.base = "/";
    rooted = true;
  }
  size_t pos = 0;
  while (pos < path.size()) {
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (end == pos) break;
    std::string_view component = path.substr(pos, end - pos);
    pos = end;
    if (component == ".") continue;
    if (component == "..") {
      if (!parsed.components.empty() && parsed.components.back() != "..") {
        parsed.components.pop_back();
      } else if (!rooted) {
        parsed.components.emplace_back(component);
      }
      continue;
    }
    parsed.components.emplace_back(component);
  }
  return parsed;
}

std::string JoinNative(const std::string& directory, std::string_view name) {
  std::string result;
  result.reserve(directory.size() + 1 + name.size());
  result = directory;
  if (!result.empty() && result.back() != '/') result += '/';
  result += name;
  return result;
}

// --- directory reading ---

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// status, when given, receives what was read (also on a mismatch; callers
// only use it after a true answer).
bool ExistsAs(const std::string& path, bool directory, struct stat* status = nullptr) {
  struct stat own;
  struct stat& st = status != nullptr ? *status : own;
  if (directory) return stat(path.empty() ? "." : path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return !path.empty() && lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<std::string> FindNameIgnoringCase(const std::string& directory, const std::string& name) {
  DirPtr dir(opendir(directory.empty() ? "." : directory.c_str()));
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* entry = readdir(dir.get())) {
    const char* entryName = entry->d_name;
    if (std::strcmp(entryName, ".") == 0 || std::strcmp(entryName, "..") == 0) continue;
    if (!EqualsIgnoreCase(entryName, name)) continue;
    if (name == entryName) return name;
    if (!best || std::strcmp(entryName, best->c_str()) < 0) best = entryName;
  }
  return best;
}

// --- the resolver ---

// The exact native spelling and the cache key of every prefix of a path.
struct PathResolver::Prefixes {
  std::vector<std::string> exact;  // exact[k]: base joined with the first k components
  std::vector<std::string> keys;   // keys[k]: the case-folded key; empty when not cacheable
};

std::optional<std::string> PathResolver::FindExisting(const ParsedPath& path, size_t count, bool directory,
                                                      struct stat* status) {
  const size_t n = std::min(count, path.components.size());
  const bool cacheable = !path.base.empty() && path.base[0] == '/';
  if (n > 0) {
    // The usual case (the exact spelling, or one resolved before) needs only
    // the whole path and its key; every prefix is built only for a search.
    std::string exact = path.base;
    std::string key = cacheable ? path.base + '\0' : std::string();
    for (size_t k = 0; k < n; ++k) {
      if (!exact.empty() && exact.back() != '/') exact += '/';
      exact += path.components[k];
      if (!cacheable) continue;
      if (k > 0) key += '/';
      for (char c : path.components[k]) key += FoldAscii(c);
    }
    if (std::optional<std::string> known = Known(exact, cacheable ? &key : nullptr, directory, status)) return known;
  }
  Prefixes prefixes;
  prefixes.exact.reserve(n + 1);
  prefixes.exact.push_back(path.base);
  if (cacheable) {
    prefixes.keys.reserve(n + 1);
    prefixes.keys.push_back(path.base + '\0');
  }
  for (size_t k = 0; k < n; ++k) {
    prefixes.exact.push_back(JoinNative(prefixes.exact.back(), path.components[k]));
    if (cacheable) {
      std::string key = prefixes.keys.back();
      if (k > 0) key += '/';
      for (char c : path.components[k]) key += FoldAscii(c);
      prefixes.keys.push_back(std::move(key));
    }
  }
  if (n == 0) return Find(path, prefixes, 0, directory, status);
  return Search(path, prefixes, n, directory, status);
}

std::optional<std::string> PathResolver::Known(const std::string& exact, const std::string* key, bool directory,
                                               struct stat* status) {
  if (ExistsAs(exact, directory, status)) return exact;
  if (key != nullptr) {
    if (std::optional<std::string> cached = CacheLookup(*key)) {
      if (ExistsAs(*cached, directory, status)) return cached;
      CacheErase(*key);
    }
  }
  return std::nullopt;
}

std::optional<std::string> PathResolver::Find(const ParsedPath& path, const Prefixes& prefixes, size_t count,
                                              bool directory, struct stat* status) {
  if (count == 0) {
    // An empty base is the current directory, which is not checked.
    if (path.base.empty()) return path.base;
    if (ExistsAs(path.base, true, status)) return path.base;
    return std::nullopt;
  }
  const std::string* key = prefixes.keys.empty() ? nullptr : &prefixes.keys[count];
  if (std::optional<std::string> known = Known(prefixes.exact[count], key, directory, status)) return known;
  return Search(path, prefixes, count, directory, status);
}

// The first count components when neither their exact spelling nor a cached
// one exists: the parent first, then the name within it.
std::optional<std::string> PathResolver::Search(const ParsedPath& path, const Prefixes& prefixes, size_t count,
                                                bool directory, struct stat* status) {
  const bool cacheable = !prefixes.keys.empty();
  std::optional<std::string> parent = Find(path, prefixes, count - 1, true, nullptr);
  if (!parent) return std::nullopt;
  const std::string& name = path.components[count - 1];
  std::optional<std::string> found;
  if (*parent != prefixes.exact[count - 1]) {
    std::string candidate = JoinNative(*parent, name);
    if (ExistsAs(candidate, directory, status)) found = std::move(candidate);
  }
  if (!found) {
    std::optional<std::string> match = FindNameIgnoringCase(*parent, name);
    if (!match) return std::nullopt;
    std::string candidate = JoinNative(*parent, *match);
    if (!ExistsAs(candidate, directory, status)) return std::nullopt;
    found = std::move(candidate);
  }
  if (cacheable) CacheStore(prefixes.keys[count], *found);
  return found;
}

std::optional<std::string> PathResolver::Resolve(std::string_view text) {
  std::optional<ParsedPath> path = Parse(text);
  if (!path) return std::nullopt;
  const size_t n = path->components.size();
  if (n == 0) return path->base.empty() ? std::string(".") : path->base;
  if (std::optional<std::string> existing = FindExisting(*path, n, false)) return existing;
  // Not there: keep the last component as given, under the real parent when
  // that exists (and as spelled otherwise, so that the operation fails).
  std::optional<std::string> parent = FindExisting(*path, n - 1, true);
  if (parent) return JoinNative(*parent, path->components.back());
  std::string spelled = path->base;
  for (const std::string& component : path->components) spelled = JoinNative(spelled, component);
  return spelled;
}

std::optional<std::string> PathResolver::ResolveExisting(std::string_view text) {
  struct stat ignored;
  bool checked = false;
  return ResolveExisting(text, ignored, checked);
}

std::optional<std::string> PathResolver::ResolveExisting(std::string_view text, struct stat& status, bool& checked) {
  checked = false;
  std::optional<ParsedPath> path = Parse(text);
  if (!path) return std::nullopt;
  if (path->components.empty()) return path->base.empty() ? std::string(".") : path->base;
  std::optional<std::string> found = FindExisting(*path, path->components.size(), false, &status);
  checked = found.has_value();
  return found;
}

std::optional<std::string> PathResolver::ResolveDirectory(std::string_view text) {
  if (text.empty()) return std::string(".");
  std::optional<ParsedPath> path = Parse(text);
  if (!path) return std::nullopt;
  std::optional<std::string> found = FindExisting(*path, path->components.size(), true);
  if (found && found->empty()) return std::string(".");
  return found;
}

std::optional<std::string> PathResolver::CacheLookup(const std::string& key) const {
  std::shared_lock lock(mutex_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return std::nullopt;
  return it->second;
}

void PathResolver::CacheStore(const std::string& key, const std::string& real) {
  std::unique_lock lock(mutex_);
  if (cache_.size() >= kCacheLimit && cache_.find(key) == cache_.end()) cache_.clear();
  cache_[key] = real;
}

void PathResolver::CacheErase(const std::string& key) {
  std::unique_lock lock(mutex_);
  cache_.erase(key);
}

size_t PathResolver::CacheSize() const {
  std::shared_lock lock(mutex_);
  return cache_.size();
}

void PathResolver::ClearCache() {
  std::unique_lock lock(mutex_);
  // Swapping with an empty map also gives back the bucket array.
  std::unordered_map<std::string, std::string>().swap(cache_);
}

}  // namespace cryptlib::platform::posix
