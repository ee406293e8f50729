// TMProWinCryptoEngine: the finish of remote key generation. It needs only
// the remote generation directory R with the protected new key files and the
// bank's certificate transfer, so a newly created engine can run it long
// after the start. Under the key-store write hold it checks the new keys
// against the certificate, files the certificate and exchanges the key sets.
//
// Every file it moves or copies, in the certificate directory as in the key
// directory, is a step of one journal in the key directory
// (binding/keyset_exchange.h): a failure puts everything back, and so does
// the next finish or the next engine that opens the key directory when the
// process was killed. The user keeps a working certificate and key set.
#include <vector>

#include "binding/keyset_exchange.h"
#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/formats/cert_names.h"
#include "engine/mpro_win.h"
#include "engine/remote/remote_files.h"
#include "platform/platform.h"
#include "support/directory_lock.h"
#include "support/fileutil.h"

namespace cryptlib {
namespace {

constexpr int32_t kOwnCertificateCapacity = 300;
// The same file as remote::kRequestFile, spelled as the key-set exchange is given it.
constexpr const char* kNewCertificateForExchange = "tmp_cert.pem";
// Where a holder's present certificate waits until the exchange is done.
constexpr const char* kSetAsideSuffix = ".keep";

}  // namespace

int32_t TMProWinCryptoEngine::RemoteGenerateFinishEx(const char* certTransfer, uint32_t* step) {
  if (certTransfer == nullptr) return CE_LOW_MEMORY;
  std::string remote;
  if (const int32_t result = RemoteDirectory(remote)) return result;
  if (step == nullptr) return CE_BAD_ARGUMENT;
  if (*step == 0) {
    *step = 2;
    return CE_OK;
  }
  const int32_t result = InternalRemoteGenerateFinish(certTransfer);
  *step = 1;
  return result;
}

int32_t TMProWinCryptoEngine::InternalRemoteGenerateFinish(const char* transfer) {
  return Guarded("TMProWinCryptoEngine.InternalRemoteGenerateFinish: ", [&]() -> int32_t {
    const int32_t capacity = GetMaxCryptoParamValueLength();
    FinishPaths paths;
    paths.certificates = ExpandRootDir(ParamAsHostReads(param::kCertificateDirectory, capacity));
    paths.keys = ExpandRootDir(ParamAsHostReads(param::kKeyDirectory, capacity));
    paths.ownCertificate = ExpandRootPath(ParamAsHostReads(param::kOwnCertificate, kOwnCertificateCapacity));
    if (const int32_t result = RemoteDirectory(paths.remote)) return result;
    {
      // A finish killed half-way is undone before this one looks at the keys.
      WriteGuard hold(KeyStoreLock());
      RecoverKeySetExchange(paths.keys);
    }
    RG_PSEPrivateKeyBackup(paths.keys, nullptr);
    paths.signKeyBackup = RG_GetSignKeyBackupName(paths.keys);
    if (const int32_t result = RG_RestoreKeyFiles()) {
      RG_DeleteKeyFiles();
      return result;
    }
    if (const int32_t result = SavePublicKeyFromTransfer(paths.remote.c_str(), transfer)) {
      RG_DeleteKeyFiles();
      return result;
    }
    int32_t result = CE_OK;
    {
      WriteGuard hold(KeyStoreLock());
      result = ExchangeForNewKeys(paths);
      // A refused certificate may have left contexts of the new keys open.
      if (result == CE_OK || result == CE_CERT_KEY_MISMATCH) ClearCash();
    }
    if (result == CE_OK) {
      EmptyDirectoryLocked(paths.remote);
    } else {
      // The protected twins stay for another attempt; the plain keys never.
      RG_DeleteKeyFiles();
    }
    return result;
  });
}

int32_t TMProWinCryptoEngine::ExchangeForNewKeys(const FinishPaths& paths) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  const ParamSnapshot snapshot = BuildSnapshot(*binding);
  const std::string newCertificate = paths.remote + remote::kRequestFile;
  std::vector<char> signKey(static_cast<size_t>(std::max(GetMaxCryptoParamValueLength(), 1)) + 1, '\0');
  if (binding->CertificateAndPSePrivateKeysMatch(snapshot, newCertificate.c_str(), paths.remote.c_str(),
                                                 signKey.data()) == 0) {
    RG_DeleteKeyFiles();
    return CE_CERT_KEY_MISMATCH;
  }
  KeySetJournal journal(paths.keys);
  if (!paths.signKeyBackup.empty()) journal.PlanBackupCopy(signKey.data(), paths.signKeyBackup);
  std::string uid;
  if (const int32_t result = ReadCertFileField(newCertificate, UIDField(), uid)) return result;
  // The UID names files in the certificate directory: a name that reaches
  // outside it is refused like everywhere else in the store.
  if (const int32_t result = CheckUidFileName(uid)) return result;
  // The holder's present certificates make way for the new one; they are
  // set aside rather than deleted until the key sets are exchanged.
  for (const std::string& name : {uid + ".pem", uid + ".cer"}) {
    const std::string present = paths.certificates + name;
    journal.PlanSetAside(present, present + kSetAsideSuffix);
  }
  journal.PlanCopy(newCertificate, paths.certificates + uid + ".pem");
  // The exchange adds its own steps and runs them all.
  if (!RG_ExchangeKeys(paths.keys, paths.remote, paths.ownCertificate, paths.remote + kNewCertificateForExchange,
                       journal))
    return CE_EXCHANGE_IO;
  if (!journal.Complete()) return CE_EXCHANGE_IO;
  return CE_OK;
}

}  // namespace cryptlib
