// TMProWinCryptoEngine: the key files of remote generation over the PSE
// key-file set, and their ".dat" twins. A twin holds the plain file's path,
// a zero byte and the file's content encrypted for one recipient, so that the
// new key files can wait in the remote generation directory R, readable only
// with the current key, until the bank's certificate arrives.
#include <algorithm>
#include <vector>

#include "binding/keyset_exchange.h"
#include "cryptlib.h"
#include "engine/mpro_win.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

// A key file may be at most this long.
constexpr int32_t kMaxKeyFileSize = 8192;
constexpr const char* kDatExtension = ".dat";

struct KeyFile {
  const char* name;
  bool mandatory;
};

// The PSE key-file set, relative to a directory with a trailing backslash.
constexpr KeyFile kPSEKeyFiles[] = {
    {"uz.db3", true},
    {"gk.db3", true},
    {"num", true},
    {"DB\\CRYPT\\ckd.key", true},
    {"DB\\SIGN\\sec_sgn.key", true},
    {"sc_pub.key", false},
    {"DB\\CRYPT\\net_ks.key", false},
    {"DB\\SIGN\\pub_sgn.key", false},
};

std::string DatTwinOf(const std::string& file) {
  return ChangeFileExt(file, kDatExtension);
}

// The longest path a twin may name in front of its content.
constexpr int32_t kMaxTwinPath = 32767;

// The size of a file no longer than limit; false otherwise.
bool FileSizeWithin(const std::string& file, int64_t limit, int32_t& size) {
  uint64_t bytes = 0;
  if (!FileExists(file) || !platform::Os().GetFileSize(file, bytes) || bytes > static_cast<uint64_t>(limit))
    return false;
  size = static_cast<int32_t>(bytes);
  return true;
}

}  // namespace

bool ProtectedEarlier(const std::string& plainFile) {
  return !FileExists(plainFile) && FileExists(DatTwinOf(plainFile));
}

int32_t TMProWinCryptoEngine::EncryptFileToDat(const std::string& plainFile, const std::string& uid) {
  int32_t size = 0;
  if (plainFile.size() > kMaxTwinPath || !FileSizeWithin(plainFile, kMaxKeyFileSize, size)) return CE_KEY_FILE_IO;
  // Room for the path in front and for the encryption's growth behind.
  const int64_t capacity = static_cast<int64_t>(plainFile.size()) + 1 + kMaxKeyFileSize + GetMaxAdditionEx(uid.c_str());
  std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(capacity, INT32_MAX)), '\0');
  int32_t length = kMaxKeyFileSize;
  if (!ReadFileToBuffer(plainFile.c_str(), buffer.data(), &length)) return CE_KEY_FILE_IO;
  if (const int32_t result = EncodeDataWithHeader(plainFile, buffer.data(), &length, uid.c_str())) return result;
  // The twin and the file it restores are key material: owner-only, and the
  // finish's copy into the key directory keeps that.
  const std::string twin = DatTwinOf(plainFile);
  return WriteBufferToPrivateFile(twin, buffer.data(), static_cast<size_t>(length)) ? CE_OK : CE_KEY_FILE_IO;
}

int32_t TMProWinCryptoEngine::DecryptDatToFile(const std::string& datFile, const std::string& plainFile) {
  // A twin is longer than its key file by the path in front and the
  // encryption's growth: bounding it by the key file's limit would make the
  // largest key files impossible to restore once protected.
  const int64_t limit = static_cast<int64_t>(kMaxKeyFileSize) + kMaxTwinPath + 1 + std::max(GetMaxEncodeAddition(), 0);
  int32_t size = 0;
  if (!FileSizeWithin(datFile, std::min<int64_t>(limit, INT32_MAX), size)) return CE_KEY_FILE_IO;
  std::vector<char> buffer(static_cast<size_t>(size), '\0');
  int32_t length = size;
  if (!ReadFileToBuffer(datFile.c_str(), buffer.data(), &length)) return CE_KEY_FILE_IO;
  // A twin without the zero byte after its path is damaged.
  if (length == 0 || std::find(buffer.begin(), buffer.begin() + length, '\0') == buffer.begin() + length)
    return CE_KEY_FILE_IO;
  void* data = nullptr;
  int32_t dataLength = 0;
  if (const int32_t result = DecodeDataWithHeader(buffer.data(), length, &data, &dataLength)) return result;
  // The plain key file is the user's alone from its first byte: the
  // exchange copies it into the key directory with its access.
  return WriteBufferToPrivateFile(plainFile, data, static_cast<size_t>(dataLength)) ? CE_OK : CE_KEY_FILE_IO;
}

int32_t TMProWinCryptoEngine::RG_BackupKeyFiles(const std::string& uid) {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  std::vector<std::string> written;
  for (const KeyFile& file : kPSEKeyFiles) {
    // An earlier marker call killed after protecting this file and deleting
    // it left only the twin: the file is protected already.
    if (ProtectedEarlier(remote + file.name)) continue;
    const int32_t result = EncryptFileToDat(remote + file.name, uid);
    if (result == CE_OK) {
      written.push_back(DatTwinOf(remote + file.name));
    } else if (file.mandatory) {
      // R goes back to the plain files alone, from which a new attempt runs.
      for (const std::string& twin : written) platform::Os().DeleteFile(twin);
      return result;
    }
  }
  RG_DeleteKeyFiles();
  return CE_OK;
}

bool TMProWinCryptoEngine::RG_CopyKeyFiles(const std::string& source) {
  const std::string from = ExpandRootDir(source);
  std::string to;
  if (RemoteDirectory(to) != CE_OK) return false;
  // One key set, not half of one and half of a set another process is
  // exchanging; the key directory's lock first, as everywhere.
  const DirectoryLock keysLock(from);
  const DirectoryLock remoteLock(to);
  const auto copy = [&](const char* name) { return CopyFileContents(from + name, to + name); };
  for (const char* name : {"uz.db3", "gk.db3", "num"})
    if (!copy(name)) return false;
  copy("sc_pub.key");
  // Key files wait here: no one but the user may look in.
  for (const char* directory : {"DB", "DB\\CRYPT", "DB\\SIGN"}) {
    if (!DirectoryExists(to + directory)) platform::Os().CreatePrivateDirectory(to + directory);
    if (!DirectoryExists(to + directory)) return false;
  }
  if (!copy("DB\\CRYPT\\ckd.key")) return false;
  copy("DB\\CRYPT\\net_ks.key");
  copy("DB\\SIGN\\pub_sgn.key");
  return copy("DB\\SIGN\\sec_sgn.key");
}

void TMProWinCryptoEngine::RG_DeleteKeyFiles() {
  std::string remote;
  if (RemoteDirectory(remote) != CE_OK) return;
  const DirectoryLock lock(remote);
  for (const KeyFile& file : kPSEKeyFiles)
    if (FileExists(remote + file.name)) platform::Os().DeleteFile(remote + file.name);
}

int32_t TMProWinCryptoEngine::RG_RestoreKeyFiles() {
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  for (const KeyFile& file : kPSEKeyFiles) {
    const std::string plain = remote + file.name;
    const int32_t result = DecryptDatToFile(DatTwinOf(plain), plain);
    if (result != CE_OK && file.mandatory) return result;
  }
  return CE_OK;
}

std::string TMProWinCryptoEngine::RG_GetSignKeyBackupName(const std::string& directory) {
  const std::string signDirectory = IncludeBackslash(directory) + "DB\\SIGN\\";
  return signDirectory + "sec_sgn." + FormatNumber3(NextNumberedExt(signDirectory, "sec_sgn"));
}

bool TMProWinCryptoEngine::RG_ExchangeKeys(const std::string& keyDirectory, const std::string& remoteDirectory,
                                           const std::string& ownCertificate, const std::string& newCertificate,
                                           KeySetJournal& journal) {
  try {
    TMProDLL* binding = nullptr;
    if (AcquireBinding(binding) != CE_OK) return false;
    return binding->ReplaceKeySet(keyDirectory, remoteDirectory, ownCertificate, newCertificate, &journal);
  } catch (...) {
    RecordException("TMProWinCryptoEngine.RG_ExchangeKeys: ");
    return false;
  }
}

int32_t TMProWinCryptoEngine::RG_PSEPrivateKeyBackup(const std::string& mediaDirectory, char* buffer) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProWinCryptoEngine.RG_PSEPrivateKeyBackup: ", [&] {
    const ParamSnapshot snapshot = BuildSnapshot(*binding);
    return binding->PSePrivateKeyBackup(snapshot, mediaDirectory.c_str(), buffer);
  });
}

}  // namespace cryptlib
