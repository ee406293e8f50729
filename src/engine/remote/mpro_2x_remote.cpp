// TMPro2xCryptoEngine: remote key generation over the 2.x key container.
// With a 2.x module the whole start is one host call: the current container
// is copied into the remote generation directory R, the module generates the
// new key and its request there, and the new mk.db3 is protected into its
// ".dat" twin. The container's other files hold no secret without mk.db3, so
// they travel plain.
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/formats/cert_names.h"
#include "engine/mpro_2x.h"
#include "engine/remote/remote_files.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

constexpr const char* kMasterKey = "mk.db3";
constexpr const char* kMasterKeyTwin = "mk.dat";
constexpr const char* kKeysDirectory = "KEYS";

void SetIfPresent(ParamSnapshot& snapshot, int32_t number, const std::string& value) {
  if (std::string* slot = param::InSnapshot(snapshot, number)) *slot = value;
}

// The parameter the key name goes to for a UID field other than "SN".
int32_t KeyNameParam(const std::string& uidField) {
  const std::string field = UpperAscii(uidField);
  const std::pair<const char*, int32_t> fields[] = {{"C", param::kCountry},  {"S", param::kState},
                                                    {"L", param::kLocality}, {"O", param::kOrganisation},
                                                    {"OU", param::kUnit},    {"E", param::kEmail}};
  for (const auto& [name, number] : fields)
    if (field == name) return number;
  return param::kCommonName;
}

// Parameter number of the snapshot, empty when the module has fewer.
std::string ValueOf(ParamSnapshot& snapshot, int32_t number) {
  const std::string* value = param::InSnapshot(snapshot, number);
  return value != nullptr ? *value : std::string();
}

// Empties R when created and, unless kept, again when destroyed: a start
// that fails leaves no copy of the key container behind. Each time under R's
// lock, with no vendor call inside.
class RemoteStartCleanup {
 public:
  explicit RemoteStartCleanup(const std::string& remote) : remote_(remote), prepared_(EmptyDirectoryLocked(remote)) {}
  ~RemoteStartCleanup() {
    if (!kept_) EmptyDirectoryLocked(remote_);
  }
  RemoteStartCleanup(const RemoteStartCleanup&) = delete;
  RemoteStartCleanup& operator=(const RemoteStartCleanup&) = delete;
  bool Prepared() const { return prepared_; }
  void Keep() { kept_ = true; }

 private:
  std::string remote_;
  bool prepared_;
  bool kept_ = false;
};

}  // namespace

int32_t TMPro2xCryptoEngine::GetRemoteGenType() {
  TMProDLL* binding = nullptr;
  return GetCryptoAPI(binding) == CE_OK && binding != nullptr && binding->Is2x() ? 1 : 3;
}

int32_t TMPro2xCryptoEngine::RemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step) {
  if (GetRemoteGenType() != 1) return TMProWinCryptoEngine::RemoteGenerateStartEx(keyName, exchange, step);
  if (step == nullptr) return CE_BAD_ARGUMENT;
  const int32_t result = InternalRemoteGenerateStartEx(keyName, exchange, step);
  // The key container could not be copied at the first step: the host may
  // try again at the next step, with fresh contexts.
  if (result == CE_REMOTE_DIR_IO && (*step == 0 || *step == 10)) {
    *step += 2;
    ClearCash();
    return CE_OK;
  }
  return result;
}

int32_t TMPro2xCryptoEngine::InternalRemoteGenerateStart(char* exchange, const std::string& keyName,
                                                         bool subjectFromParams) {
  try {
    // Nothing is generated when the transfer could not be handed back.
    if (exchange == nullptr) return CE_LOW_MEMORY;
    std::string remote;
    if (const int32_t result = RemoteDirectory(remote)) return result;
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    ParamSnapshot snapshot = BuildSnapshot(*binding);
    const std::string keys = IncludeBackslash(ExpandRootDir(ValueOf(snapshot, param::kKeyDirectory)));
    // R is emptied first and on a failure: R cannot be the key directory.
    if (SameTextAscii(keys, remote)) return CE_REMOTE_PATH;
    // What an earlier start left (a killed one's plain copies too) goes, and
    // so does what this one copies unless it completes.
    RemoteStartCleanup cleanup(remote);
    if (!cleanup.Prepared()) return CE_REMOTE_DIR_IO;
    if (!RG_CopyKeyFiles(keys)) return CE_REMOTE_DIR_IO;
    if (const int32_t result = PrepareRemoteSnapshot(snapshot, remote, keyName, subjectFromParams)) return result;
    int32_t result = GenerateOnTemporaryBinding(snapshot);
    // The module's answer 0 (reported as -100 to a host generating locally)
    // is success here.
    if (result == CE_NOT_INITIALIZED) result = CE_OK;
    if (result == CE_OK) result = RemoteGenerateEXStep_4(exchange);
    if (result == CE_OK) cleanup.Keep();
    return result;
  } catch (...) {
    return CE_EXCEPTION;
  }
}

int32_t TMPro2xCryptoEngine::PrepareRemoteSnapshot(ParamSnapshot& snapshot, const std::string& remote,
                                                   const std::string& keyName, bool subjectFromParams) {
  SetIfPresent(snapshot, param::kKeyDirectory, remote);
  SetIfPresent(snapshot, param::kKeyMedia, remote);
  SetIfPresent(snapshot, param::kRequestFile, remote + remote::kRequestFile);
  if (!subjectFromParams) {
    std::string line;
    const std::string own = ValueOf(snapshot, param::kOwnCertificate);
    if (const int32_t result = ReadCertSubjectLine(own, "CN", line)) return result;
    const SubjectFields subject = SubjectFromLine(line);
    SetIfPresent(snapshot, param::kCountry, subject.c);
    SetIfPresent(snapshot, param::kState, subject.s);
    SetIfPresent(snapshot, param::kLocality, subject.l);
    SetIfPresent(snapshot, param::kOrganisation, subject.o);
    SetIfPresent(snapshot, param::kUnit, subject.ou);
    SetIfPresent(snapshot, param::kCommonName, subject.cn);
    SetIfPresent(snapshot, param::kEmail, subject.e);
    SetIfPresent(snapshot, param::kTitle, subject.t);
  }
  std::string field = Trim(ValueOf(snapshot, param::kUIDField));
  if (field.empty()) field = "CN";
  if (!UidIsWholeLine(field)) SetIfPresent(snapshot, KeyNameParam(field), keyName);
  return CE_OK;
}

// --- key-file hooks ---

int32_t TMPro2xCryptoEngine::RG_BackupKeyFiles(const std::string& uid) {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  // A marker call killed after protecting and deleting it left the twin.
  if (ProtectedEarlier(remote + kMasterKey)) return CE_OK;
  const int32_t result = EncryptFileToDat(remote + kMasterKey, uid);
  // The plain master key never stays in R, protected or not.
  platform::Os().DeleteFile(remote + kMasterKey);
  return result;
}

bool TMPro2xCryptoEngine::RG_CopyKeyFiles(const std::string& source) {
  const std::string from = ExpandRootDir(source);
  std::string to;
  if (RemoteDirectory(to) != CE_OK) return false;
  // One key set, not half of one and half of a set another process is
  // exchanging; the key directory's lock first, as everywhere.
  const DirectoryLock keysLock(from);
  const DirectoryLock remoteLock(to);
  for (const char* name : {"mk.db3", "masks.db3", "kek.opq"})
    if (!CopyFileContents(from + name, to + name)) return false;
  CopyFileContents(from + "rand.opq", to + "rand.opq");
  // A container under a passphrase: the new key must be sealed under the
  // container's own passphrase key. Without pin.opq beside the copy the
  // module would make a second one in R, which the exchange leaves behind,
  // and the new key could never be opened again.
  if (FileExists(from + "pin.opq") && !CopyFileContents(from + "pin.opq", to + "pin.opq")) return false;
  // Key files wait here: no one but the user may look in.
  if (!DirectoryExists(to + kKeysDirectory)) platform::Os().CreatePrivateDirectory(to + kKeysDirectory);
  return CopyTree(from + kKeysDirectory, to + kKeysDirectory);
}

void TMPro2xCryptoEngine::RG_DeleteKeyFiles() {
  std::string remote;
  if (RemoteDirectory(remote) != CE_OK) return;
  const DirectoryLock lock(remote);
  platform::Os().DeleteFile(remote + kMasterKey);
}

int32_t TMPro2xCryptoEngine::RG_RestoreKeyFiles() {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  return DecryptDatToFile(remote + kMasterKeyTwin, remote + kMasterKey);
}

std::string TMPro2xCryptoEngine::RG_GetSignKeyBackupName(const std::string&) {
  return std::string();
}

bool TMPro2xCryptoEngine::RG_ExchangeKeys(const std::string& keyDirectory, const std::string& remoteDirectory,
                                          const std::string& ownCertificate, const std::string& newCertificate,
                                          KeySetJournal& journal) {
  TMProDLL* binding = nullptr;
  if (AcquireBinding(binding) != CE_OK) return false;
  return binding->ReplaceKeySetV2(keyDirectory, remoteDirectory, ownCertificate, newCertificate, &journal);
}

int32_t TMPro2xCryptoEngine::RG_PSEPrivateKeyBackup(const std::string& mediaDirectory, char* buffer) {
  if (buffer == nullptr) return CE_OK;
  std::vector<std::string> keyFiles;
  ListFilesByExt(IncludeBackslash(mediaDirectory) + kKeysDirectory, "key", keyFiles, false);
  const std::string count = std::to_string(keyFiles.size());
  std::copy(count.begin(), count.end(), buffer);
  buffer[count.size()] = '\0';
  return CE_OK;
}

}  // namespace cryptlib
