// TMPro1CryptoEngine: the certificate store. Certificates, CA certificates
// and revocation lists are plain files in the directories the parameters
// name; the vendor contexts are kept in step with them (see
// docs/certificate-store.md).
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"
#include "support/host_file.h"
#include "support/strutil.h"

namespace cryptlib {
namespace {

// Only this much of a CA list is read.
constexpr size_t kCaListLimit = 255;

// Moves a file, copying it where a rename cannot (another file system).
// Either way the new name is on the disk when it answers.
bool MoveFile(const std::string& from, const std::string& to) {
  if (RenameDurably(from, to)) return true;
  return CopyFileContents(from, to) && platform::Os().DeleteFile(from);
}

// The same path written with either separator or another letter case.
bool SamePath(std::string a, std::string b) {
  std::replace(a.begin(), a.end(), '/', '\\');
  std::replace(b.begin(), b.end(), '/', '\\');
  return SameTextAscii(a, b);
}

// A directory one level below an existing one, created when missing.
bool EnsureDirectory(const std::string& directory) {
  if (!DirectoryExists(directory)) platform::Os().CreateDirectory(directory);
  return DirectoryExists(directory);
}

// Backs up the holder's present certificate files (".pem", then ".cer") to
// the next numbered backups, each under a name of its own, so a holder with
// both keeps both. The ".pem" stays in place until the new certificate
// replaces it in one step; the ".cer" is moved aside. Until the retirement is
// committed, a failure puts both back.
bool BackUpCertificates(FileRetirement& retirement, const std::string& directory, const std::string& uid)
    REQUIRES(NumberedNameLock()) {
  for (const std::string& name : {CertificateFileName(uid), CertificateCerFileName(uid)}) {
    if (!FileExists(directory + name)) continue;
    const std::string backup = NextBackupName(directory, uid);
    if (backup.empty()) return false;
    const bool pem = name == CertificateFileName(uid);
    if (!(pem ? retirement.Keep(directory + name, directory + backup)
              : retirement.Retire(directory + name, directory + backup)))
      return false;
  }
  return true;
}

// Tries to find the lists of a directory unchanged between the module's
// answers and the directory's lock before filing anyway.
constexpr int kCrlListAttempts = 8;

std::vector<std::string> ListedCrls(const std::string& directory) {
  std::vector<std::string> lists;
  ListFilesByExt(directory, "pem", lists, false);
  ListFilesByExt(directory, "crl", lists, false);
  return lists;
}

// Files a revocation list under the next number, then removes the issuer's
// older lists: the directory always holds one of the issuer's lists, whole.
// When an older list cannot be removed the new one goes back where it came
// from. filed tells whether the new list is in (also when only the source
// could not be taken away, which is reported).
int32_t FileCrl(const std::string& source, const std::string& directory, const std::vector<std::string>& older,
                bool& filed) REQUIRES(NumberedNameLock()) {
  filed = false;
  const std::string target = directory + NextCrlFileName(directory);
  bool copied = false;
  if (!RenameDurably(source, target)) {
    if (!CopyFileContents(source, target)) return CE_KEY_FILE_IO;
    copied = true;
  }
  for (const std::string& list : older) {
    if (!FileExists(list) || DeleteFileDurably(list)) continue;
    if (copied) {
      platform::Os().DeleteFile(target);
    } else {
      RenameDurably(target, source);
    }
    return CE_KEY_FILE_IO;
  }
  filed = true;
  const bool sourceLeft = copied && !platform::Os().DeleteFile(source);
  return sourceLeft ? CE_KEY_FILE_IO : CE_OK;
}

// The CA list entries within the list's first characters; empty entries (a
// trailing ";") name no file.
std::vector<std::string> CaListEntries(const char* caList) {
  const std::string limited = std::string(caList).substr(0, kCaListLimit);
  std::vector<std::string> entries, named;
  SplitList(limited.c_str(), entries);
  for (std::string& entry : entries)
    if (!entry.empty()) named.push_back(std::move(entry));
  return named;
}

}  // namespace

std::string TMPro1CryptoEngine::CertificateDirectory() {
  return ExpandRootDir(TrimmedParam(param::kCertificateDirectory));
}

std::string TMPro1CryptoEngine::StoreDirectoryPath(StoreDirectory which) {
  return ResolveStoreDirectory(which, libVariant_, GetCryptoParamNumber(),
                               [this](int32_t number) { return ExpandRootDir(TrimmedParam(number)); });
}

int32_t TMPro1CryptoEngine::CreateDirStructure(const char* ownCertificate, const char* caList) {
  if (ownCertificate == nullptr || caList == nullptr) return CE_BAD_ARGUMENT;
  return Guarded("TMProCryptoEngine.CreateDirStructure: ", [&]() -> int32_t {
    const std::string ownParam = ExpandRootPath(TrimmedParam(param::kOwnCertificate));
    const std::string caDirectory = CaSubdirectory(ExpandRootDir(TrimmedParam(param::kKeyDirectory)));
    const std::string certDirectory = CertificateDirectory();
    const std::vector<std::string> caFiles = CaListEntries(caList);

    const std::string source = ExpandRootPath(ownCertificate);
    if (!FileExists(source)) return CE_KEY_FILE_IO;
    ForceDirectories(caDirectory);
    ForceDirectories(certDirectory);
    if (!DirectoryExists(caDirectory) || !DirectoryExists(certDirectory)) return CE_KEY_FILE_IO;
    if (source != ownParam && !CopyFileLocked(source, ownParam)) return CE_KEY_FILE_IO;
    if (const int32_t result = InternalIncludePublicKey(certDirectory, source, false)) return result;

    const RecursiveHold hold(NumberedNameLock());
    const DirectoryLock directoryLock(caDirectory);
    for (const std::string& caFile : caFiles) {
      const std::string target = caDirectory + NextCaFileName(caDirectory);
      if (!CopyFileContents(ExpandRootPath(caFile), target)) return CE_KEY_FILE_IO;
    }
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::IncludePublicKey(const char* path) {
  if (path == nullptr) return CE_BAD_ARGUMENT;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.IncludePublicKey: ", [&]() -> int32_t {
    const std::string source = ExpandRootPath(path);
    // The module reads the file too: a device, a FIFO or a file larger than
    // a certificate with its text is refused before anyone opens it.
    const uint64_t bound = static_cast<uint64_t>(std::max(binding->MaxCertificateSize(), 0)) +
                           static_cast<uint64_t>(std::max(binding->MaxCertInfoSize(), 0));
    if (!IsRegularFileWithin(source, bound)) return CE_PUBLIC_KEY_NOT_FOUND;
    return InternalIncludePublicKey(CertificateDirectory(), source, true);
  });
}

int32_t TMPro1CryptoEngine::IncludePublicEncodeKey(const char* path) {
  if (path == nullptr) return CE_BAD_ARGUMENT;
  return IncludePublicKey(ExpandRootPath(path).c_str());
}

int32_t TMPro1CryptoEngine::InternalIncludePublicKey(const std::string& directory, const std::string& source,
                                                     bool move) {
  return Guarded("TMProCryptoEngine.InternalIncludePublicKey: ", [&]() -> int32_t {
    if (!FileExists(source)) return CE_PUBLIC_KEY_NOT_FOUND;
    std::string uid;
    if (const int32_t result = ReadCertFileField(source, UIDField(), uid)) return result;
    // The UID is the certificate's own word: it names a file only when that
    // file stays inside the directory.
    if (const int32_t result = CheckUidFileName(uid)) return result;
    if (const int32_t result = RefuseStrangerUnderOwnUid(source, uid)) return result;

    const std::string target = directory + CertificateFileName(uid);
    // Filed already (the own certificate kept in the directory): moving it
    // aside would lose the very file to include.
    if (SamePath(source, target)) return UpdateCertCashByFile(target);
    {
      // A certificate that could not be backed up would be overwritten; one
      // that could not be replaced stays as it was.
      const RecursiveHold hold(NumberedNameLock());
      // Declared before the retirement: a rollback happens under it too.
      const DirectoryLock directoryLock(directory);
      FileRetirement retirement;
      if (!BackUpCertificates(retirement, directory, uid)) return CE_KEY_FILE_IO;
      if (!(move ? MoveFile(source, target) : CopyFileContents(source, target))) return CE_KEY_FILE_IO;
      retirement.Commit();
    }
    return UpdateCertCashByFile(target);
  });
}

int32_t TMPro1CryptoEngine::RefuseStrangerUnderOwnUid(const std::string& file, const std::string& uid) {
  // Without a readable own certificate there is no own UID to protect.
  const std::string own = ExpandRootPath(TrimmedParam(param::kOwnCertificate));
  std::string ownUid;
  if (own.empty() || !FileExists(own) || ReadCertFileField(own, UIDField(), ownUid) != CE_OK) return CE_OK;
  if (!SameTextAscii(uid, ownUid)) return CE_OK;
  for (const char* field : {"CN", "SN"}) {
    std::string ownLine, line;
    if (ReadCertSubjectLine(own, field, ownLine) != CE_OK || ReadCertSubjectLine(file, field, line) != CE_OK ||
        line != ownLine)
      return CE_BAD_UID;
  }
  return CE_OK;
}

int32_t TMPro1CryptoEngine::UpdateCertCashByFile(const std::string& file) {
  if (!FileExists(file)) return CE_PUBLIC_KEY_NOT_FOUND;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMPro1CryptoEngine.UpdateCertCashByFile: ", [&]() -> int32_t {
    std::vector<char> certificate(static_cast<size_t>(std::max(binding->MaxCertificateSize(), 0)));
    int32_t length = static_cast<int32_t>(certificate.size());
    if (!ReadFileToBuffer(file.c_str(), certificate.data(), &length)) return CE_KEY_FILE_IO;
    return binding->LoadCertificateIntoContext(BuildSnapshot(*binding), certificate.data(), length);
  });
}

int32_t TMPro1CryptoEngine::UpdateCertificateCash(const char* uid) {
  if (uid == nullptr || *uid == '\0') return CE_BAD_ARGUMENT;
  return Guarded("TMPro1CryptoEngine.UpdateCertificateCash: ", [&]() -> int32_t {
    std::string subject, holder;
    if (const int32_t result = ReadSubjectFromCert(uid, subject, &holder)) return result;
    TMProDLL* binding = nullptr;
    if (const int32_t result = AcquireBinding(binding)) return result;
    std::vector<char> certificate(static_cast<size_t>(std::max(binding->MaxCertificateSize(), 0)) + 1);
    int32_t length = static_cast<int32_t>(certificate.size()) - 1;
    if (binding->GetCertificateByUID(BuildSnapshot(*binding), subject.c_str(), certificate.data(), &length) == CE_OK)
      return CE_OK;

    if (const int32_t result = CheckUidFileName(holder)) return result;
    const std::string directory = CertificateDirectory();
    std::string file = directory + CertificateFileName(holder);
    if (!FileExists(file)) file = directory + CertificateCerFileName(holder);
    if (!FileExists(file)) return CE_PUBLIC_KEY_NOT_FOUND;
    return UpdateCertCashByFile(file);
  });
}

int32_t TMPro1CryptoEngine::RemoveCertificate(const char* uid) {
  if (uid == nullptr || *uid == '\0') return CE_BAD_ARGUMENT;
  if (const int32_t result = CheckUidFileName(uid)) return result;
  return Guarded("TMProCryptoEngine.RemoveCertificate: ", [&]() -> int32_t {
    std::string own;
    if (const int32_t result = CurrentUserUID(own)) return result;
    // The own certificate under any spelling the store finds it by: the full
    // UID, another letter case, or the cut UID the host was given (whichever
    // holder that cut would otherwise reach).
    const std::string ownCut(HostUIDCut(own));
    auto isOwn = [&](const std::string& name) { return SameTextAscii(own, name) || SameTextAscii(ownCut, name); };
    if (isOwn(uid)) return CE_REMOVE_SELF;
    std::string holder;
    if (const int32_t result = ResolveHolderUID(uid, holder)) return result;
    if (isOwn(holder)) return CE_REMOVE_SELF;
    const std::string directory = CertificateDirectory();
    {
      const RecursiveHold hold(NumberedNameLock());
      const DirectoryLock directoryLock(directory);
      for (const std::string& name : {CertificateFileName(holder), CertificateCerFileName(holder)}) {
        const std::string file = directory + name;
        if (FileExists(file) && !DeleteFileDurably(file)) return CE_KEY_FILE_IO;
      }
    }
    ClearCash();
    return CE_OK;
  });
}

void TMPro1CryptoEngine::ClearCash() {
  TMProDLL* binding = nullptr;
  if (GetCryptoAPI(binding) == CE_OK && binding != nullptr) binding->ClearContexts();
}

int32_t TMPro1CryptoEngine::IncludeCACertificateFromTransfer(const char* transfer) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.IncludeCACertificateFromTransfer: ", [&]() -> int32_t {
    const std::string directory = StoreDirectoryPath(StoreDirectory::kCa);
    if (!EnsureDirectory(directory)) return CE_KEY_FILE_IO;
    TransferRecord record;
    if (const int32_t result = GetPublicKeyBlockByTransfer(transfer, record)) return result;
    // A peer's transfer may carry anything: only a certificate is filed where
    // the module takes every file for a trusted CA.
    if (const int32_t result = CheckCertificateContent(record.data)) return result;
    {
      const RecursiveHold hold(NumberedNameLock());
      const DirectoryLock directoryLock(directory);
      const std::string name = NextTransferCaFileName(directory);
      if (name.empty()) return CE_KEY_FILE_IO;
      const std::string target = directory + name;
      if (!WriteBufferToFile(target.c_str(), record.data.data(), static_cast<int32_t>(record.data.size())))
        return CE_KEY_FILE_IO;
    }
    ClearCash();
    return CE_OK;
  });
}

int32_t TMPro1CryptoEngine::IncludeCRL(const char* path) {
  if (path == nullptr) return CE_BAD_ARGUMENT;
  const std::string source = ExpandRootPath(path);
  if (!IsRegularFileWithin(source, kMaxCrlFileSize)) return CE_CRL_NOT_FOUND;
  const std::string directory = StoreDirectoryPath(StoreDirectory::kCrl);
  if (!EnsureDirectory(directory)) return CE_CRL_DIR;
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded("TMProCryptoEngine.IncludeCRL: ", [&]() -> int32_t {
    const ParamSnapshot snapshot = BuildSnapshot(*binding);
    const size_t issuerSize = static_cast<size_t>(std::max(binding->Functions().GetMaxCryptoParamValueLength(), 0)) + 1;
    auto issuerOf = [&](const std::string& file) {
      std::vector<char> issuer(issuerSize, '\0');
      binding->GetCRLIssuerName(snapshot, file.c_str(), issuer.data());
      return std::string(issuer.data());
    };
    const std::string issuer = issuerOf(source);
    if (issuer.empty()) return CE_CRL_BAD;

    RecursiveHold hold(NumberedNameLock());
    // The issuers are the module's answer, asked without the directory's
    // lock; under it the directory must still hold the lists asked about,
    // or another process filed or replaced one meanwhile: ask again.
    std::map<std::string, std::string> issuers;
    for (int attempt = 1;; ++attempt) {
      const std::vector<std::string> lists = ListedCrls(directory);
      for (const std::string& list : lists)
        if (!issuers.contains(list)) issuers[list] = issuerOf(list);
      const DirectoryLock directoryLock(directory);
      if (ListedCrls(directory) != lists && attempt < kCrlListAttempts) continue;
      // Every older list of the issuer goes: more than one is what a process
      // killed between filing and removing left behind.
      std::vector<std::string> older;
      for (const std::string& list : lists) {
        // A list the host names from inside the directory is the new one, not
        // an older one to replace.
        if (SameTextAscii(list, source) || issuers[list] != issuer) continue;
        older.push_back(list);
      }
      bool filed = false;
      const int32_t result = FileCrl(source, directory, older, filed);
      hold.Unlock();
      if (filed) ClearCash();
      return result;
    }
  });
}

}  // namespace cryptlib
