#include "binding/keyset_exchange.h"

#include <iterator>
#include <mutex>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

constexpr const char* kJournalHeader = "CryptLib key-set journal 1";
constexpr const char* kPending = "pending";
constexpr const char* kDone = "done";

// The step names as the journal spells them, in the order of the Kind enum.
constexpr const char* kKindNames[] = {"move", "aside", "copy", "over", "backup"};

size_t FileNameStart(const std::string& path) {
  const size_t delimiter = path.find_last_of("\\/:");
  return delimiter == std::string::npos ? 0 : delimiter + 1;
}

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, FileNameStart(path));
}

// The exchanges this process is running, by journal path: a context opened
// on another thread meanwhile must not take their journal for a dead one.
std::mutex& LiveLock() {
  static std::mutex lock;
  return lock;
}
std::set<std::string>& LiveJournals() {
  static std::set<std::string> live;
  return live;
}
std::string JournalIdentity(const std::string& path) {
  std::string identity = UpperAscii(path);
  for (char& c : identity)
    if (c == '/') c = '\\';
  return identity;
}

// The temporaries an atomic copy onto target leaves when the process dies
// between writing and renaming them (a running writer's stay).
void DeleteTemporariesBeside(const std::string& target) {
  RemoveTemporariesOfEndedProcesses(DirectoryOf(target), ExtractFileName(target) + ".~");
}

// A path the journal can hold on one line between tab separators.
bool Recordable(const std::string& path) {
  return !path.empty() && path.find_first_of("\t\r\n") == std::string::npos;
}

}  // namespace

bool DeleteIfExists(const std::string& path) {
  if (FileExists(path)) platform::Os().DeleteFile(path);
  return !FileExists(path);
}

std::string ChangeFileExt(const std::string& path, const std::string& extension) {
  const size_t dot = path.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && dot >= FileNameStart(path);
  return (hasExtension ? path.substr(0, dot) : path) + extension;
}

std::string ExtractFileName(const std::string& path) {
  return path.substr(FileNameStart(path));
}

KeySetJournal::KeySetJournal(const std::string& directory)
    : directory_(IncludeBackslash(directory)), path_(directory_ + kKeySetJournalName) {}

KeySetJournal::~KeySetJournal() {
  // Undone under the directory's lock, which Abandon gives up at the end.
  if (running_) Abandon();
}

void KeySetJournal::PlanMove(const std::string& file, const std::string& backup) {
  if (FileExists(file)) steps_.push_back({Kind::kMove, file, backup});
}

void KeySetJournal::PlanSetAside(const std::string& file, const std::string& aside) {
  if (FileExists(file)) steps_.push_back({Kind::kSetAside, file, aside});
}

void KeySetJournal::PlanCopy(const std::string& source, const std::string& target) {
  steps_.push_back({FileExists(target) ? Kind::kCopyOver : Kind::kCopyNew, source, target});
}

void KeySetJournal::PlanBackupCopy(const std::string& file, const std::string& backup) {
  steps_.push_back({Kind::kBackupCopy, file, backup});
}

bool KeySetJournal::Run() {
  for (const Step& step : steps_)
    if (!Recordable(step.from) || !Recordable(step.to)) return false;
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    // One exchange at a time on a key directory in this process.
    if (!LiveJournals().insert(JournalIdentity(path_)).second) return false;
  }
  running_ = true;
  // From the journal's writing to its removal no other process may take it
  // for a dead one's: the key directory is locked until EndRun. Innermost,
  // like every directory lock: nothing in between calls the vendor module.
  locks_.push_back(std::make_unique<DirectoryLock>(directory_));
  for (auto& lock : LockTouchedDirectories(steps_)) locks_.push_back(std::move(lock));
  for (const std::string& directory : TouchedDirectories(steps_)) RemoveTemporariesOfEndedProcesses(directory);
  if (FileExists(path_)) {
    // A dead exchange's journal, found after the steps were planned: it is
    // dealt with, and this exchange, planned on the state before, fails
    // without touching anything (its undo would read that state's backups).
    RecoverLocked(directory_);
    EndRun();
    return false;
  }
  if (!WriteJournal(false)) {
    // Nothing has changed; a journal that reached the disk without its
    // flush would only undo steps that never ran.
    Abandon();
    return false;
  }
  for (const Step& step : steps_) {
    if (!Execute(step)) {
      Abandon();
      return false;
    }
  }
  return true;
}

bool KeySetJournal::Complete() {
  if (!running_) return false;
  // The steps reach the disk before the mark that makes them final.
  if (!FlushTouchedDirectories() || !WriteJournal(true)) {
    Abandon();
    return false;
  }
  FinishAll(steps_);
  platform::Os().DeleteFile(path_);
  platform::Os().SyncDirectory(directory_);
  EndRun();
  return true;
}

void KeySetJournal::Abandon() {
  UndoAll(steps_);
  platform::Os().DeleteFile(path_);
  platform::Os().SyncDirectory(directory_);
  EndRun();
}

void KeySetJournal::EndRun() {
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    LiveJournals().erase(JournalIdentity(path_));
  }
  running_ = false;
  // Released in the reverse order of their taking.
  while (!locks_.empty()) locks_.pop_back();
}

bool KeySetJournal::Execute(const Step& step) {
  switch (step.kind) {
    case Kind::kMove:
    case Kind::kSetAside:
      // A backup left by anything else would be put over the file by an undo.
      return DeleteIfExists(step.to) && platform::Os().RenameFile(step.from, step.to);
    case Kind::kCopyNew:
    case Kind::kCopyOver:
    case Kind::kBackupCopy:
      return CopyFileContents(step.from, step.to);
  }
  return false;
}

void KeySetJournal::Undo(const Step& step) {
  platform::Platform& os = platform::Os();
  switch (step.kind) {
    case Kind::kMove:
    case Kind::kSetAside:
      // Only a backup that exists is put back: an absent one was never made
      // or is back already.
      if (FileExists(step.to) && !os.RenameFile(step.to, step.from)) {
        DeleteIfExists(step.from);
        os.RenameFile(step.to, step.from);
      }
      break;
    case Kind::kCopyNew:
    case Kind::kBackupCopy:
      DeleteIfExists(step.to);
      DeleteTemporariesBeside(step.to);
      break;
    case Kind::kCopyOver:
      // The move of the previous file, undone after this, replaces the copy.
      DeleteTemporariesBeside(step.to);
      break;
  }
}

void KeySetJournal::Finish(const Step& step) {
  if (step.kind == Kind::kSetAside) DeleteIfExists(step.to);
  if (step.kind != Kind::kMove && step.kind != Kind::kSetAside) DeleteTemporariesBeside(step.to);
}

void KeySetJournal::UndoAll(const std::vector<Step>& steps) {
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) Undo(*step);
}

void KeySetJournal::FinishAll(const std::vector<Step>& steps) {
  for (const Step& step : steps) Finish(step);
}

std::string KeySetJournal::Serialise(const std::vector<Step>& steps, bool done) {
  std::string text = std::string(kJournalHeader) + "\n" + (done ? kDone : kPending) + "\n";
  for (const Step& step : steps)
    text += std::string(kKindNames[static_cast<int>(step.kind)]) + "\t" + step.from + "\t" + step.to + "\n";
  return text;
}

bool KeySetJournal::Parse(const std::string& text, std::vector<Step>& steps, bool& done) {
  std::istringstream lines(text);
  std::string header, state;
  if (!std::getline(lines, header) || header != kJournalHeader || !std::getline(lines, state)) return false;
  if (state != kDone && state != kPending) return false;
  done = state == kDone;
  for (std::string line; std::getline(lines, line);) {
    const size_t first = line.find('\t');
    const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos) return false;
    const std::string name = line.substr(0, first);
    int kind = 0;
    while (kind < static_cast<int>(std::size(kKindNames)) && name != kKindNames[kind]) ++kind;
    if (kind == static_cast<int>(std::size(kKindNames))) return false;
    steps.push_back({static_cast<Kind>(kind), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
  }
  return true;
}

bool KeySetJournal::WriteJournal(bool done) {
  const std::string text = Serialise(steps_, done);
  return WriteBufferToFile(path_.c_str(), text.data(), static_cast<int32_t>(text.size())) &&
         platform::Os().SyncFile(path_) && platform::Os().SyncDirectory(directory_);
}

std::set<std::string> KeySetJournal::TouchedDirectories(const std::vector<Step>& steps) {
  std::set<std::string> directories;
  for (const Step& step : steps) {
    directories.insert(DirectoryOf(step.from));
    directories.insert(DirectoryOf(step.to));
  }
  return directories;
}

std::vector<std::unique_ptr<DirectoryLock>> KeySetJournal::LockTouchedDirectories(const std::vector<Step>& steps) {
  std::vector<std::unique_ptr<DirectoryLock>> locks;
  // One order for every taker: the key directory (held already, so taken
  // again without waiting), then the others as the set sorts their names.
  for (const std::string& directory : TouchedDirectories(steps))
    if (!directory.empty()) locks.push_back(std::make_unique<DirectoryLock>(directory));
  return locks;
}

bool KeySetJournal::FlushTouchedDirectories() const {
  for (const std::string& directory : TouchedDirectories(steps_))
    if (!platform::Os().SyncDirectory(directory)) return false;
  return true;
}

bool RecoverKeySetExchange(const std::string& directory) {
  if (directory.empty()) return true;
  const std::string path = IncludeBackslash(directory) + kKeySetJournalName;
  // The common case costs one look and no lock.
  if (!FileExists(path)) return true;
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    if (LiveJournals().count(JournalIdentity(path)) != 0) return true;
  }
  // An exchange of another process holds the lock until its journal is
  // gone: a journal still there once the lock is ours is a dead one's.
  // Taken after every lock of the process (the in-process table above is
  // released first), and nothing below calls the vendor module.
  const DirectoryLock lock(directory);
  return KeySetJournal::RecoverLocked(IncludeBackslash(directory));
}

bool KeySetJournal::RecoverLocked(const std::string& directory) {
  const std::string path = directory + kKeySetJournalName;
  if (!FileExists(path)) return true;
  std::string text;
  std::vector<KeySetJournal::Step> steps;
  bool done = false;
  // An unreadable or torn journal cannot have been renamed in: it is written
  // beside its name first. What cannot be parsed is left for a person.
  if (!platform::Os().ReadFile(path, text) || !KeySetJournal::Parse(text, steps, done)) return false;
  const auto locks = LockTouchedDirectories(steps);
  if (done) {
    KeySetJournal::FinishAll(steps);
  } else {
    KeySetJournal::UndoAll(steps);
  }
  for (const auto& step : steps) platform::Os().SyncDirectory(DirectoryOf(step.to));
  return platform::Os().DeleteFile(path) && platform::Os().SyncDirectory(directory);
}

}  // namespace cryptlib
