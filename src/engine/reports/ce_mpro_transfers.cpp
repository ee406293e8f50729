// TMPro1CryptoEngine: public key transfers, the signed Base64 texts that
// carry a certificate or request between clients and the bank. The record
// layouts and the bounded parser are transfer_record's; this file adds the
// engine's signing, the module's reading of a certificate's UID, and the
// files a transfer is stored in.
#include <algorithm>
#include <mutex>
#include <string>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "engine/formats/cert_names.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

constexpr const char* kReceivedCertificate = "Tmp_cert.pem";
// Scratch directory numbers tried before giving up: far more than any
// number of concurrent matches, few enough to end when the directory is
// unusable.
constexpr int32_t kScratchAttempts = 1000;
// Creates of one number that failed with no directory there afterwards,
// before the directory counts as impossible to make: another thread's
// scratch directory can be made and removed between a failed create and the
// look after it.
constexpr int32_t kVanishedRetries = 3;

// A directory of the system's temporary directory, numbered from 0, that this
// process created for itself (owner only) and removes with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory() = default;
  ~ScratchDirectory() {
    if (!path_.empty()) DeleteTree(path_, true);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // Creates the first free number. The create itself is the test for a free
  // name, so a directory someone else makes in between is never used.
  bool Create() {
    std::string base = GetTempDir();
    if (base.empty()) return false;
    if (base.back() != '/' && base.back() != '\\') base += '\\';
    int32_t vanished = 0;
    for (int32_t number = 0; number < kScratchAttempts;) {
      const std::string candidate = base + std::to_string(number);
      if (platform::Os().GetAttributes(candidate) == platform::kInvalidAttributes) {
        if (platform::Os().CreatePrivateDirectory(candidate)) {
          path_ = candidate + "\\";
          return true;
        }
        // Gone again after a failed create: the same number once more (made
        // and removed by another thread meanwhile), unless that keeps
        // happening: then the directory cannot be made at all.
        if (platform::Os().GetAttributes(candidate) == platform::kInvalidAttributes) {
          if (++vanished == kVanishedRetries) return false;
          continue;
        }
      }
      // Taken: the next number.
      vanished = 0;
      ++number;
    }
    return false;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

bool WriteData(const std::string& file, const std::string& data) {
  return WriteBufferToFile(file.c_str(), data.data(), static_cast<int32_t>(data.size()));
}

}  // namespace

int32_t TMPro1CryptoEngine::GetMaxPublicKeyTransferSize() {
  return kMaxPublicKeyTransferSize;
}

int32_t TMPro1CryptoEngine::MakePublicKeyTransfer(const std::string& uid, const void* content, int32_t length,
                                                  char* transfer) {
  TransferSigner signer;
  signer.currentUserUid = [this](std::string& signerUid) { return CurrentUserUID(signerUid); };
  signer.addSign = [this](void* buffer, int32_t* signedLength, const char* signerUid) {
    return AddSign(buffer, signedLength, signerUid);
  };
  signer.maxSignAddition = GetMaxSignAddition();
  return cryptlib::MakePublicKeyTransfer(uid, content, length, signer, transfer);
}

int32_t TMPro1CryptoEngine::GetPublicKeyBlockByTransfer(const char* transfer, TransferRecord& record) {
  return Guarded("TMProCryptoEngine.GetPublicKeyBlockByTransfer: ", [&]() -> int32_t {
    return cryptlib::GetPublicKeyBlockByTransfer(
        transfer,
        [this](void* buffer, int32_t* length, char* signerUid) { return RemoveSign(buffer, length, signerUid); },
        record);
  });
}

int32_t TMPro1CryptoEngine::ReadCertFileField(const std::string& file, const std::string& field, std::string& uid) {
  uid.clear();
  const std::string name(UidFieldOrDefault(field));
  std::string line;
  if (const int32_t result = ReadCertSubjectLine(file, name, line)) return result;
  uid = UidInSubjectLine(line.c_str(), name);
  return CE_OK;
}

int32_t TMPro1CryptoEngine::GetPublicKeyTransfer(const char* uid, char* transfer) {
  if (uid == nullptr || transfer == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.GetPublicKeyTransfer: ", [&]() -> int32_t {
    // The record carries the holder's full UID, whatever abbreviation the
    // host named it by.
    std::string subject, holder;
    if (const int32_t result = ReadSubjectFromCert(uid, subject, &holder)) return result;
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    std::vector<char> certificate(static_cast<size_t>(std::max(binding->MaxCertificateSize(), 0)));
    auto length = static_cast<int32_t>(certificate.size());
    if (const int32_t result =
            binding->GetCertificateByUID(BuildSnapshot(*binding), subject.c_str(), certificate.data(), &length))
      return result;
    length = std::clamp(length, 0, static_cast<int32_t>(certificate.size()));
    return MakePublicKeyTransfer(holder, certificate.data(), length, transfer);
  });
}

int32_t TMPro1CryptoEngine::ExcludeSelfPublicKeyTransfer(char* transfer) {
  std::string own;
  if (const int32_t result = CurrentUserUID(own)) return result;
  return GetPublicKeyTransfer(own.c_str(), transfer);
}

int32_t TMPro1CryptoEngine::SaveTransferToFile(const std::string& directory, const char* transfer,
                                               const std::string& fileName) {
  TransferRecord record;
  if (const int32_t result = GetPublicKeyBlockByTransfer(transfer, record)) return result;
  // The new content replaces an existing file in one step.
  return WriteData(directory + fileName, record.data) ? CE_OK : CE_KEY_FILE_IO;
}

int32_t TMPro1CryptoEngine::SavePublicKeyFromTransfer(const char* directory, const char* transfer) {
  if (directory == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.SavePublicKeyFromTransfer: ", [&]() -> int32_t {
    return SaveTransferToFile(ExpandRootDir(directory), transfer, kReceivedCertificate);
  });
}

int32_t TMPro1CryptoEngine::IncludePublicKeyTransfer(const char* transfer) {
  return Guarded("TMProCryptoEngine.IncludePublicKeyTransfer: ", [&]() -> int32_t {
    const std::string directory = CertificateDirectory();
    // The saved file's number is free only until another thread takes it.
    const RecursiveHold hold(NumberedNameLock());
    TransferRecord record;
    if (const int32_t result = GetPublicKeyBlockByTransfer(transfer, record)) return result;
    std::string saved;
    {
      // Picked and filled under the directory's lock: no other process picks
      // the same number meanwhile. The module is asked about it afterwards.
      // The claim lets the next change of the directory remove the file
      // should this process die before filing or deleting it.
      const DirectoryLock directoryLock(directory);
      saved = directory + NextTransferTempFileName(directory);
      if (!ClaimFile(saved)) return CE_KEY_FILE_IO;
      if (!WriteData(saved, record.data)) {
        DropClaim(saved);
        return CE_KEY_FILE_IO;
      }
    }
    // Dropped on every path, once the file is filed or deleted.
    const struct ClaimHolder {
      std::string path;
      ~ClaimHolder() { DropClaim(path); }
    } claim{saved};
    if (!FileExists(saved)) return CE_TRANSFER_EXTRACT;
    std::string uid;
    // Left in the directory, a certificate that is not filed would count as a
    // known holder for the module: every failure from here deletes it.
    auto discard = [&](int32_t result) {
      platform::Os().DeleteFile(saved);
      return result;
    };
    if (const int32_t result = ReadCertFileField(saved, UIDField(), uid)) return discard(result);
    if (const int32_t result = CheckUidFileName(uid)) return discard(result);
    if (const int32_t result = RefuseStrangerUnderOwnUid(saved, uid)) return discard(result);
    // The holder's present file (".pem", else ".cer") is backed up; it comes
    // back unless the new certificate is filed. Declared before the
    // retirement, the lock covers a rollback too.
    const DirectoryLock directoryLock(directory);
    FileRetirement retirement;
    for (const std::string& name : {CertificateFileName(uid), CertificateCerFileName(uid)}) {
      if (!FileExists(directory + name)) continue;
      const std::string backup = NextBackupName(directory, uid);
      const bool pem = name == CertificateFileName(uid);
      if (backup.empty() || !(pem ? retirement.Keep(directory + name, directory + backup)
                                  : retirement.Retire(directory + name, directory + backup)))
        return discard(CE_KEY_FILE_IO);
      break;
    }
    if (!RenameDurably(saved, directory + CertificateFileName(uid))) return discard(CE_KEY_FILE_IO);
    retirement.Commit();
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::CheckCertificateContent(const std::string& content) {
  // The module reads certificates from files only: the content goes to a
  // private scratch file, never to a name another reader could pick up.
  ScratchDirectory scratch;
  if (!scratch.Create()) return CE_TEMP_DIR;
  const std::string file = scratch.Path() + "ca.pem";
  if (!WriteData(file, content)) return CE_TEMP_SAVE;
  std::string line;
  if (ReadCertSubjectLine(file, "CN", line) != CE_OK || line.empty()) return CE_TRANSFER_EXTRACT;
  return CE_OK;
}

int32_t TMPro1CryptoEngine::CertAndRequestTransferMatch(const char* certTransfer, const char* requestTransfer,
                                                        int32_t* match) {
  if (match == nullptr) return CE_BAD_ARGUMENT;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.CertAndRequestTransferMatch: ", [&]() -> int32_t {
    const ParamSnapshot snapshot = BuildSnapshot(*binding);
    TransferRecord certificate, request;
    if (const int32_t result = GetPublicKeyBlockByTransfer(certTransfer, certificate)) return result;
    if (const int32_t result = GetPublicKeyBlockByTransfer(requestTransfer, request)) return result;

    ScratchDirectory scratch;
    if (!scratch.Create()) return CE_TEMP_DIR;
    const std::string certificateFile = scratch.Path() + "cer.pem";
    const std::string requestFile = scratch.Path() + "req.pem";
    if (!WriteData(certificateFile, certificate.data) || !WriteData(requestFile, request.data)) return CE_TEMP_SAVE;
    *match = binding->CertificateAndRequestMatch(snapshot, certificateFile.c_str(), requestFile.c_str()) ? -1 : 0;
    return CE_OK;
  });
}

}  // namespace cryptlib
