// One replacement of an active key set: the active files are moved to their
// ".old" backups, the new files copied in. Until Commit, the object can put
// the previous set back, and does so when destroyed uncommitted, so a
// failure at any step (or an exception) leaves the active set as it was.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cryptlib {

class KeySetExchange {
 public:
  KeySetExchange() = default;
  ~KeySetExchange();
  KeySetExchange(const KeySetExchange&) = delete;
  KeySetExchange& operator=(const KeySetExchange&) = delete;

  // Moves an existing active file to its backup. True when there was nothing
  // to move; false when the file stays in place (it would be overwritten by
  // the copy without a way back).
  bool Retire(const std::string& active, const std::string& backup);
  // Copies source onto target. An optional source that does not exist is
  // skipped.
  bool Install(const std::string& source, const std::string& target, bool optional = false);
  // Keeps the new set.
  void Commit() { committed_ = true; }

 private:
  void RollBack();

  std::vector<std::pair<std::string, std::string>> retired_;  // active, backup
  std::vector<std::string> installed_;                        // targets that had no previous file
  bool committed_ = false;
};

// Deletes path when it exists; failures are of no consequence to callers.
void DeleteIfExists(const std::string& path);
// path with its extension (from the last "." of the file name) replaced.
std::string ChangeFileExt(const std::string& path, const std::string& extension);
// The file name part of path.
std::string ExtractFileName(const std::string& path);

}  // namespace cryptlib
