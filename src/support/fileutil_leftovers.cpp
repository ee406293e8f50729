// What killed writers leave in a directory, and its removal. A temporary is
// named "<target>.~<process>-<thread>-<counter>.tmp"; a claim is the hidden
// "<directory>.<name>.~<process>-claim.tmp". The process number tells whether
// the writer can still finish: only an ended process's files are removed.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

using platform::Os;

constexpr const char* kTemporaryMark = ".~";
constexpr const char* kTemporaryEnd = ".tmp";
constexpr const char* kClaimEnd = "-claim.tmp";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The writer's process of a temporary or claim name, 0 for any other name.
uint32_t WriterOf(const std::string& name) {
  if (!EndsWith(name, kTemporaryEnd)) return 0;
  const size_t mark = name.rfind(kTemporaryMark);
  if (mark == std::string::npos || mark == 0) return 0;
  const char* digits = name.c_str() + mark + 2;
  char* stop = nullptr;
  const unsigned long writer = std::strtoul(digits, &stop, 10);
  if (stop == digits || *stop != '-' || writer == 0 || writer > UINT32_MAX) return 0;
  return static_cast<uint32_t>(writer);
}

bool IsClaim(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && EndsWith(name, kClaimEnd);
}

// The file name a claim names.
std::string ClaimedName(const std::string& claim) {
  return claim.substr(1, claim.rfind(kTemporaryMark) - 1);
}

// The claimed names some running process still holds.
std::set<std::string> NamesClaimedByRunning(const std::vector<platform::DirEntry>& entries) {
  std::set<std::string> claimed;
  for (const platform::DirEntry& entry : entries)
    if (IsClaim(entry.name) && platform::ProcessIsRunning(WriterOf(entry.name)))
      claimed.insert(ClaimedName(entry.name));
  return claimed;
}

std::string ClaimNameFor(const std::string& path) {
  const size_t nameStart = path.find_last_of("\\/:") + 1;
  return path.substr(0, nameStart) + "." + path.substr(nameStart) + kTemporaryMark +
         std::to_string(platform::CurrentProcessId()) + kClaimEnd;
}

}  // namespace

void RemoveTemporariesOfEndedProcesses(const std::string& directory, const std::string& namePrefix) {
  const std::string prefix = IncludeBackslash(directory);
  std::vector<platform::DirEntry> entries;
  if (prefix.empty() || !Os().ListDirectory(prefix + "*.*", entries)) return;
  const std::set<std::string> stillClaimed = NamesClaimedByRunning(entries);
  for (const platform::DirEntry& entry : entries) {
    if ((entry.attributes & platform::kAttrDirectory) != 0 || entry.name.compare(0, namePrefix.size(), namePrefix) != 0)
      continue;
    const uint32_t writer = WriterOf(entry.name);
    if (writer == 0 || platform::ProcessIsRunning(writer)) continue;
    // The claimed file first: a claim gone with its file still there would
    // leave the file to no one.
    if (IsClaim(entry.name) && stillClaimed.count(ClaimedName(entry.name)) == 0)
      Os().DeleteFile(prefix + ClaimedName(entry.name));
    Os().DeleteFile(prefix + entry.name);
  }
}

bool ClaimFile(const std::string& path) {
  const std::string claim = ClaimNameFor(path);
  // A claim of this process that an earlier failure could not drop is
  // still this process's: taken over, or the name could never be used again.
  return Os().CreatePrivateFile(claim, "", 0) || FileExists(claim);
}

void DropClaim(const std::string& path) {
  Os().DeleteFile(ClaimNameFor(path));
}

}  // namespace cryptlib
