// The exchange of the active key set after a key renewal, for the two layouts
// of key files. The call lock is held throughout, so no vendor call reads the
// key files while they change; the journal (binding/keyset_exchange.h) makes
// a killed exchange recoverable by the next process.
#include <vector>

#include "binding/keyset_exchange.h"
#include "binding/mprodll.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

struct KeyFile {
  const char* name;
  const char* backup;
  bool optional;
};

// The PSE layout.
const KeyFile kPseFiles[] = {
    {"gk.db3", "gk.old", false},
    {"uz.db3", "uz.old", false},
    {"num", "num.old", false},
    {"DB\\CRYPT\\ckd.key", "DB\\CRYPT\\ckd.old", false},
    {"DB\\CRYPT\\net_ks.key", "DB\\CRYPT\\net_ks.old", true},
};

// The 2.x layout, besides the key files of "KEYS".
const KeyFile kV2Files[] = {
    {"mk.db3", "mk.old", false},
    {"masks.db3", "masks.old", false},
    {"kek.opq", "kek.old", false},
    {"rand.opq", "rand.old", true},
};

const char kKeysDirectory[] = "KEYS\\";

template <size_t N>
bool RequiredFilesExist(const std::string& directory, const KeyFile (&files)[N], const std::string& certificate) {
  for (const KeyFile& file : files)
    if (!file.optional && !FileExists(directory + file.name)) return false;
  return FileExists(certificate);
}

std::vector<std::string> KeyFilesOf(const std::string& directory, const char* suffix) {
  std::vector<std::string> files;
  ListFilesByExt(directory + kKeysDirectory, suffix, files, false);
  return files;
}

// A previous exchange's backups make way for this one's. One that cannot be
// deleted stops the exchange before anything changes: an undo would put it
// over the active file.
template <size_t N>
bool DeleteBackups(const std::string& directory, const KeyFile (&files)[N], const std::string& certificateBackup) {
  bool deleted = DeleteIfExists(certificateBackup);
  for (const KeyFile& file : files) deleted = DeleteIfExists(directory + file.backup) && deleted;
  return deleted;
}

template <size_t N>
void PlanRetirements(KeySetJournal& journal, const std::string& directory, const KeyFile (&files)[N]) {
  for (const KeyFile& file : files) journal.PlanMove(directory + file.name, directory + file.backup);
}

template <size_t N>
void PlanInstalls(KeySetJournal& journal, const std::string& from, const std::string& to, const KeyFile (&files)[N]) {
  for (const KeyFile& file : files)
    if (!file.optional || FileExists(from + file.name)) journal.PlanCopy(from + file.name, to + file.name);
}

// Runs the planned exchange; completes it unless it belongs to a larger
// replacement (the caller's journal), which completes it itself.
bool RunExchange(KeySetJournal& journal, bool ownJournal) {
  if (!journal.Run()) return false;
  return !ownJournal || journal.Complete();
}

}  // namespace

bool TMProDLL::ReplaceKeySet(const std::string& activeDirectory, const std::string& newDirectory,
                             const std::string& activeCertificate, const std::string& newCertificate,
                             KeySetJournal* journal) {
  CallScope call(*this);
  if (!RequiredFilesExist(activeDirectory, kPseFiles, activeCertificate) ||
      !RequiredFilesExist(newDirectory, kPseFiles, newCertificate))
    return false;
  const std::string certificateBackup = ChangeFileExt(activeCertificate, ".old");
  if (!DeleteBackups(activeDirectory, kPseFiles, certificateBackup)) return false;
  KeySetJournal own(activeDirectory);
  KeySetJournal& exchange = journal != nullptr ? *journal : own;
  PlanRetirements(exchange, activeDirectory, kPseFiles);
  exchange.PlanMove(activeCertificate, certificateBackup);
  PlanInstalls(exchange, newDirectory, activeDirectory, kPseFiles);
  exchange.PlanCopy(newCertificate, activeCertificate);
  return RunExchange(exchange, journal == nullptr);
}

bool TMProDLL::ReplaceKeySetV2(const std::string& activeDirectory, const std::string& newDirectory,
                               const std::string& activeCertificate, const std::string& newCertificate,
                               KeySetJournal* journal) {
  CallScope call(*this);
  const std::vector<std::string> activeKeys = KeyFilesOf(activeDirectory, "key");
  if (!RequiredFilesExist(activeDirectory, kV2Files, activeCertificate) || activeKeys.empty()) return false;
  const std::vector<std::string> newKeys = KeyFilesOf(newDirectory, "key");
  if (!RequiredFilesExist(newDirectory, kV2Files, newCertificate) || newKeys.empty()) return false;

  const std::string certificateBackup = ChangeFileExt(activeCertificate, ".old");
  if (!DeleteBackups(activeDirectory, kV2Files, certificateBackup)) return false;
  for (const std::string& backup : KeyFilesOf(activeDirectory, "old"))
    if (!DeleteIfExists(backup)) return false;

  KeySetJournal own(activeDirectory);
  KeySetJournal& exchange = journal != nullptr ? *journal : own;
  PlanRetirements(exchange, activeDirectory, kV2Files);
  for (const std::string& key : activeKeys) exchange.PlanMove(key, ChangeFileExt(key, ".old"));
  exchange.PlanMove(activeCertificate, certificateBackup);
  PlanInstalls(exchange, newDirectory, activeDirectory, kV2Files);
  const std::string activeKeysDirectory = activeDirectory + kKeysDirectory;
  for (const std::string& key : newKeys) exchange.PlanCopy(key, activeKeysDirectory + ExtractFileName(key));
  exchange.PlanCopy(newCertificate, activeCertificate);
  return RunExchange(exchange, journal == nullptr);
}

}  // namespace cryptlib
