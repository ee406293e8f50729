#include "support/numbered_names.h"

#include <cstdio>
#include <limits>
#include <vector>

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
  return std::stoll(name.substr(first));
}

int32_t NextBackupNumber(const std::string& directory, const std::string& base) {
  if (!DirectoryExists(directory)) return 0;
  std::vector<platform::DirEntry> entries;
  if (!platform::Os().ListDirectory(IncludeBackslash(directory) + base + ".*", entries)) return 1;
  int64_t largest = 0;
  for (const platform::DirEntry& entry : entries) {
    if ((entry.attributes & platform::kAttrDirectory) != 0) continue;
    const int64_t number = BackupNumberOf(entry.name, base);
    // The largest number cannot be followed: leave it out rather than overflow.
    if (number < std::numeric_limits<int32_t>::max() && number > largest) largest = number;
  }
  return static_cast<int32_t>(largest + 1);
}

}  // namespace cryptlib
