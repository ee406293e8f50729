// The exchange of the active key set after a key renewal, for the two layouts
// of key files. The call lock is held throughout, so no vendor call reads the
// key files while they change.
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

template <size_t N>
void DeleteBackups(const std::string& directory, const KeyFile (&files)[N], const std::string& certificateBackup) {
  for (const KeyFile& file : files) DeleteIfExists(directory + file.backup);
  DeleteIfExists(certificateBackup);
}

template <size_t N>
bool RetireFiles(KeySetExchange& exchange, const std::string& directory, const KeyFile (&files)[N]) {
  for (const KeyFile& file : files)
    if (!exchange.Retire(directory + file.name, directory + file.backup)) return false;
  return true;
}

template <size_t N>
bool InstallFiles(KeySetExchange& exchange, const std::string& from, const std::string& to, const KeyFile (&files)[N]) {
  for (const KeyFile& file : files)
    if (!exchange.Install(from + file.name, to + file.name, file.optional)) return false;
  return true;
}

}  // namespace

bool TMProDLL::ReplaceKeySet(const std::string& activeDirectory, const std::string& newDirectory,
                             const std::string& activeCertificate, const std::string& newCertificate) {
  CallScope call(*this);
  if (!RequiredFilesExist(activeDirectory, kPseFiles, activeCertificate) ||
      !RequiredFilesExist(newDirectory, kPseFiles, newCertificate))
    return false;
  const std::string certificateBackup = ChangeFileExt(activeCertificate, ".old");
  DeleteBackups(activeDirectory, kPseFiles, certificateBackup);
  KeySetExchange exchange;
  if (!RetireFiles(exchange, activeDirectory, kPseFiles)) return false;
  if (!exchange.Retire(activeCertificate, certificateBackup)) return false;
  if (!InstallFiles(exchange, newDirectory, activeDirectory, kPseFiles)) return false;
  if (!exchange.Install(newCertificate, activeCertificate)) return false;
  exchange.Commit();
  return true;
}

bool TMProDLL::ReplaceKeySetV2(const std::string& activeDirectory, const std::string& newDirectory,
                               const std::string& activeCertificate, const std::string& newCertificate) {
  CallScope call(*this);
  const std::vector<std::string> activeKeys = KeyFilesOf(activeDirectory, "key");
  if (!RequiredFilesExist(activeDirectory, kV2Files, activeCertificate) || activeKeys.empty()) return false;
  const std::vector<std::string> newKeys = KeyFilesOf(newDirectory, "key");
  if (!RequiredFilesExist(newDirectory, kV2Files, newCertificate) || newKeys.empty()) return false;

  const std::string certificateBackup = ChangeFileExt(activeCertificate, ".old");
  DeleteBackups(activeDirectory, kV2Files, certificateBackup);
  for (const std::string& backup : KeyFilesOf(activeDirectory, "old")) DeleteIfExists(backup);

  KeySetExchange exchange;
  if (!RetireFiles(exchange, activeDirectory, kV2Files)) return false;
  for (const std::string& key : activeKeys)
    if (!exchange.Retire(key, ChangeFileExt(key, ".old"))) return false;
  if (!exchange.Retire(activeCertificate, certificateBackup)) return false;
  if (!InstallFiles(exchange, newDirectory, activeDirectory, kV2Files)) return false;
  const std::string activeKeysDirectory = activeDirectory + kKeysDirectory;
  for (const std::string& key : newKeys)
    if (!exchange.Install(key, activeKeysDirectory + ExtractFileName(key))) return false;
  if (!exchange.Install(newCertificate, activeCertificate)) return false;
  exchange.Commit();
  return true;
}

}  // namespace cryptlib
