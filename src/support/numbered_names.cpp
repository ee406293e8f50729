#include "support/numbered_names.h"

#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#endif

#include "platform/platform.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

constexpr size_t kMinDigits = 3;
// More digits than any int32_t holds: such a name is not one of ours.
constexpr size_t kMaxDigits = 10;

bool AllDigits(const std::string& text, size_t from) {
  for (size_t at = from; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
  }
  return true;
}

}  // namespace

std::string NumberedBackupName(const std::string& base, int32_t number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%03d", number);
  return base + "." + digits;
}

int64_t BackupNumberOf(const std::string& name, const std::string& base) {
  const size_t first = base.size() + 1;
  if (name.size() < first + kMinDigits || name.size() > first + kMaxDigits || name[base.size()] != '.') return -1;
  if (!AllDigits(name, first) || !SameTextAscii(name.substr(0, base.size()), base)) return -1;
  int64_t number = 0;
  for (size_t at = first; at < name.size(); ++at) number = number * 10 + (name[at] - '0');
  return number;
}

#ifdef _WIN32

namespace {

// The directory's backup numbers of base (the system lists names and their
// attributes in one pass).
template <class Visit>
bool ForEachBackupNumber(const std::string& directory, const std::string& base, Visit visit) {
  std::vector<platform::DirEntry> entries;
  if (!platform::Os().ListDirectory(IncludeBackslash(directory) + base + ".*", entries)) return false;
  for (const platform::DirEntry& entry : entries) {
    if ((entry.attributes & platform::kAttrDirectory) == 0) visit(BackupNumberOf(entry.name, base));
  }
  return true;
}

}  // namespace

#else

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// The directory's backup numbers of base: names only, one pass, no status
// read per entry (a holder may have thousands of backups). A directory named
// like a backup counts too, which only makes the next number larger.
template <class Visit>
bool ForEachBackupNumber(const std::string& directory, const std::string& base, Visit visit) {
  const std::string native = platform::NativePath(directory);
  if (native.empty()) return false;
  const std::unique_ptr<DIR, DirCloser> dir(opendir(native.c_str()));
  if (!dir) return false;
  while (const dirent* entry = readdir(dir.get())) visit(BackupNumberOf(entry->d_name, base));
  return true;
}

}  // namespace

#endif

int32_t NextBackupNumber(const std::string& directory, const std::string& base) {
  if (!DirectoryExists(directory)) return 0;
  int64_t largest = 0;
  ForEachBackupNumber(directory, base, [&](int64_t number) {
    // The largest number cannot be followed: leave it out rather than overflow.
    if (number < std::numeric_limits<int32_t>::max() && number > largest) largest = number;
  });
  return static_cast<int32_t>(largest + 1);
}

}  // namespace cryptlib
