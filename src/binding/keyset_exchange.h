// One replacement of an active key set (and of the files that go with it:
// the holder's certificates, the signing key backup), recorded in a journal
// file in the key directory before the first file changes, so that a process
// killed half-way leaves a state the next process recognises and rolls back.
//
// The journal ("keyset.jnl") names every step: files moved to backups, files
// copied in, copies kept as backups. It is written beside its final name,
// flushed and renamed in, and its directory flushed, before any step runs.
// The key directory's DirectoryLock is held from before the journal is
// written until it is removed, and by a recovery: two processes never run
// or undo one exchange at once, and a live exchange is never taken for a
// dead one. The locks of the other directories the steps touch (the
// certificate directory, R) are taken after it, in the order of their names,
// so that no other process files or removes a certificate there meanwhile. While it says "pending", the way back is to
// undo the steps in reverse order; once the steps are done and flushed it is rewritten as "done", and what remains is
// to delete the files set aside. Undoing and finishing are both repeatable, so a kill during the recovery itself is
// recovered too.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/directory_lock.h"

namespace cryptlib {

// The journal's file name in the key directory.
inline constexpr const char* kKeySetJournalName = "keyset.jnl";

class KeySetJournal {
 public:
  // directory: the active key directory, with or without a trailing "\".
  explicit KeySetJournal(const std::string& directory);
  // A journal that was run and not completed is undone (a failure or an
  // exception between Run and Complete).
  ~KeySetJournal();
  KeySetJournal(const KeySetJournal&) = delete;
  KeySetJournal& operator=(const KeySetJournal&) = delete;

  // Planning, before Run. file is moved to backup (an absent file is no step).
  void PlanMove(const std::string& file, const std::string& backup);
  // Like PlanMove; the backup is deleted once the replacement is complete.
  void PlanSetAside(const std::string& file, const std::string& aside);
  // source copied onto target. When target exists now, a planned move must
  // take it away first: the copy is undone by that move's undo.
  void PlanCopy(const std::string& source, const std::string& target);
  // A copy of file kept as backup (file itself stays).
  void PlanBackupCopy(const std::string& file, const std::string& backup);

  // Writes and flushes the journal, then runs the steps. On a failure the
  // steps done are undone, the journal removed, and false answered.
  bool Run();
  // Marks the replacement done, deletes what was set aside, removes the
  // journal. False when it was not running, or when the steps or the "done"
  // mark cannot be flushed: the replacement is then undone.
  bool Complete();

 private:
  enum class Kind { kMove, kSetAside, kCopyNew, kCopyOver, kBackupCopy };
  struct Step {
    Kind kind;
    std::string from;
    std::string to;
  };
  friend bool RecoverKeySetExchange(const std::string& directory);

  static bool Execute(const Step& step);
  static void Undo(const Step& step);
  static void Finish(const Step& step);
  static std::string Serialise(const std::vector<Step>& steps, bool done);
  static bool Parse(const std::string& text, std::vector<Step>& steps, bool& done);
  static void UndoAll(const std::vector<Step>& steps);
  static void FinishAll(const std::vector<Step>& steps);
  // Completes or undoes the journal found in directory (ending in "\"),
  // whose lock the caller holds; true when there is none left.
  static bool RecoverLocked(const std::string& directory);
  bool WriteJournal(bool done);
  // Undoes the steps run so far and removes the journal.
  void Abandon();
  void EndRun();
  static std::set<std::string> TouchedDirectories(const std::vector<Step>& steps);
  // The locks of the directories steps touch (after the key directory's).
  static std::vector<std::unique_ptr<DirectoryLock>> LockTouchedDirectories(const std::vector<Step>& steps);
  bool FlushTouchedDirectories() const;

  std::string directory_;
  std::string path_;
  std::vector<Step> steps_;
  bool running_ = false;
  // The key directory's lock, then those of the other directories touched,
  // held from Run until the journal is removed.
  std::vector<std::unique_ptr<DirectoryLock>> locks_;
};

// Completes or rolls back an exchange a killed process left in directory (a
// key directory). Nothing happens when there is no journal, or when an
// exchange of this process is running on it. False when a journal was found
// and could not be dealt with (it stays for the next attempt).
bool RecoverKeySetExchange(const std::string& directory);

// Deletes path when it exists; false when it still exists afterwards.
bool DeleteIfExists(const std::string& path);
// path with its extension (from the last "." of the file name) replaced.
std::string ChangeFileExt(const std::string& path, const std::string& extension);
// The file name part of path.
std::string ExtractFileName(const std::string& path);

}  // namespace cryptlib
