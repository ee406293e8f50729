// The 76 exports. Each forwards its arguments unchanged to one engine
// operation inside the shield; the few that do their own work say so.
#include <cstring>
#include <string>

#include "api/shield.h"
#include "cryptlib.h"
#include "engine/engine_factory.h"
#include "platform/platform.h"
#include "support/exceptions.h"
#include "support/rootpath.h"

using cryptlib::Engines;
using cryptlib::kOperationShield;
using cryptlib::kSizeShield;
using cryptlib::Shielded;
using cryptlib::ShieldedProcedure;
using cryptlib::TCryptoEngine;
using Engine = cryptlib::TCryptoEngine;

namespace {

// A host string as the engine keeps it: nil reads as empty.
std::string HostString(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

// The names CheckCompatibles accepts: the engine's own and its predecessor's.
constexpr const char* kCompatibleNames[] = {"Ms Crypto API 2.0", "M-Pro v2.x"};

}  // namespace

extern "C" {

CRYPTLIB_API CRYPT_HANDLE CRYPTLIB_CALL GetCryptObj(void) {
  try {
    TCryptoEngine* engine = cryptlib::CreateEngine();
    Engines().Add(engine);
    return engine;
  } catch (...) {
    return nullptr;
  }
}

CRYPTLIB_API void CRYPTLIB_CALL DoneEngine(CRYPT_HANDLE h) {
  try {
    TCryptoEngine* engine = Engines().Find(h);
    if (engine == nullptr || !Engines().Remove(engine)) return;
    delete engine;
  } catch (...) {
  }
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxEncodeAddition(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxEncodeAddition(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxSignatureLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxSignatureLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxUIDLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxUIDLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxCryptoParamNameLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxCryptoParamNameLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxCryptoParamValueLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxCryptoParamValueLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxErrorStringLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxErrorStringLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetCryptoParamNumber(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetCryptoParamNumber(); });
}

CRYPTLIB_API void CRYPTLIB_CALL GetCryptoParamName(CRYPT_HANDLE h, int32_t index, char* name) {
  ShieldedProcedure(h, [&](Engine& e) { e.GetCryptoParamName(index, name); });
}

CRYPTLIB_API void CRYPTLIB_CALL GetCryptoParamValue(CRYPT_HANDLE h, int32_t index, char* value) {
  ShieldedProcedure(h, [&](Engine& e) { e.GetCryptoParamValue(index, value); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL SetCryptoParamValue(CRYPT_HANDLE h, int32_t index, const char* value) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.SetCryptoParamValue(index, value); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetEncodeUIDBySignUID(CRYPT_HANDLE h, const char* signUid, char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetEncodeUIDBySignUID(signUid, uid); });
}

CRYPTLIB_API void CRYPTLIB_CALL GetCryptoErrorString(CRYPT_HANDLE h, int32_t code, char* text) {
  ShieldedProcedure(h, [&](Engine& e) { e.GetCryptoErrorString(code, text); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL EncodeData(CRYPT_HANDLE h, void* data, int32_t* length, const char* uidList) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.EncodeData(data, length, uidList); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL DecodeData(CRYPT_HANDLE h, void* data, int32_t* length, char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.DecodeData(data, length, uid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL SignData(CRYPT_HANDLE h, const void* data, int32_t length, void* signature,
                                            int32_t* signatureLength, const char* signerUid) {
  return Shielded(h, kOperationShield,
                  [&](Engine& e) { return e.SignData(data, length, signature, signatureLength, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL VerifyData(CRYPT_HANDLE h, const void* data, int32_t length, const void* signature,
                                              int32_t signatureLength, char* signerUid) {
  return Shielded(h, kOperationShield,
                  [&](Engine& e) { return e.VerifyData(data, length, signature, signatureLength, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetCurrentUserUID(CRYPT_HANDLE h, char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetCurrentUserUID(uid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GenerateNewSSK(CRYPT_HANDLE h) {
  return Shielded(h, kOperationShield, [](Engine& e) { return e.GenerateNewSSK(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GenerateNewSEK(CRYPT_HANDLE h) {
  return Shielded(h, kOperationShield, [](Engine& e) { return e.GenerateNewSEK(); });
}

// The boolean crosses the boundary as -1 (true) or 0; an exception reads as -1.
CRYPTLIB_API int32_t CRYPTLIB_CALL IsDifferentKeys(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.IsDifferentKeys() ? -1 : 0; });
}

CRYPTLIB_API void CRYPTLIB_CALL SetPasswordRequestFunc(CRYPT_HANDLE h, void* func) {
  ShieldedProcedure(h, [&](Engine& e) { e.SetPasswordRequestFunc(func); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPasswordLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxPasswordLength(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicKey(CRYPT_HANDLE h, const char* path) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.IncludePublicKey(path); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicEncodeKey(CRYPT_HANDLE h, const char* path) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.IncludePublicEncodeKey(path); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL SignFile(CRYPT_HANDLE h, const char* fileName) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.SignFile(fileName); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL VerifyFile(CRYPT_HANDLE h, const char* fileName, char* signerUid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.VerifyFile(fileName, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveSignaturesFromFile(CRYPT_HANDLE h, const char* fileName) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoveSignaturesFromFile(fileName); });
}

CRYPTLIB_API void CRYPTLIB_CALL GetLastErrorMessage(CRYPT_HANDLE h, char* text) {
  ShieldedProcedure(h, [&](Engine& e) { e.GetLastErrorMessage(text); });
}

// Sets the process-wide root whatever the handle (a host may set it before
// it creates any engine), then the root of a live engine; a refused second
// root (a different one) raises and leaves both as they were.
CRYPTLIB_API void CRYPTLIB_CALL SetRootPath(CRYPT_HANDLE h, const char* path) {
  try {
    const std::string root = HostString(path);
    cryptlib::SetQamRoot(root);
    ShieldedProcedure(h, [&](Engine& e) { e.SetEngineRoot(root); });
  } catch (...) {
    // A refused root leaves everything as it was.
  }
}

CRYPTLIB_API int32_t CRYPTLIB_CALL TransSignatureFromFileToTM(CRYPT_HANDLE h) {
  return Shielded(h, kOperationShield, [](Engine& e) { return e.TransSignatureFromFileToTM(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL TransPrivateKeyFromFileToTM(CRYPT_HANDLE h) {
  return Shielded(h, kOperationShield, [](Engine& e) { return e.TransPrivateKeyFromFileToTM(); });
}

CRYPTLIB_API void CRYPTLIB_CALL SetTMRequestFunc(CRYPT_HANDLE h, void* func) {
  ShieldedProcedure(h, [&](Engine& e) { e.SetTMRequestFunc(func); });
}

CRYPTLIB_API void CRYPTLIB_CALL ClearCash(CRYPT_HANDLE h) {
  ShieldedProcedure(h, [](Engine& e) { e.ClearCash(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateStart(CRYPT_HANDLE h, int32_t ignored) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoteGenerateStart(ignored); });
}

CRYPTLIB_API void CRYPTLIB_CALL SetRemoteGeneratePath(CRYPT_HANDLE h, const char* path) {
  ShieldedProcedure(h, [&](Engine& e) { e.SetRemoteGeneratePath(HostString(path)); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL AddSign(CRYPT_HANDLE h, void* buffer, int32_t* length, const char* signerUid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.AddSign(buffer, length, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveSign(CRYPT_HANDLE h, void* buffer, int32_t* length, char* signerUid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoveSign(buffer, length, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxSignAddition(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxSignAddition(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyTransfer(CRYPT_HANDLE h, const char* uid, char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetPublicKeyTransfer(uid, transfer); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateFinish(CRYPT_HANDLE h, int32_t ignored) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoteGenerateFinish(ignored); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL SavePublicKeyFromTransfer(CRYPT_HANDLE h, const char* directory,
                                                             const char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.SavePublicKeyFromTransfer(directory, transfer); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPublicKeyTransferSize(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxPublicKeyTransferSize(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL IncludePublicKeyTransfer(CRYPT_HANDLE h, const char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.IncludePublicKeyTransfer(transfer); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL ExcludeSelfPublicKeyTransfer(CRYPT_HANDLE h, char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.ExcludeSelfPublicKeyTransfer(transfer); });
}

// A constant of the library: no engine is consulted, any handle will do.
CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxFilePathLength(CRYPT_HANDLE) {
  return 255;
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetRemoteGenType(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetRemoteGenType(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL SaveSignedDataToFile(CRYPT_HANDLE h, const void* data, int32_t dataLength,
                                                        const void* signature, int32_t signatureLength,
                                                        const char* fileName) {
  return Shielded(h, kOperationShield, [&](Engine& e) {
    return e.SaveSignedDataToFile(data, dataLength, signature, signatureLength, fileName);
  });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyTransferByFile(CRYPT_HANDLE h, char* transfer, const char* path) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetPublicKeyTransferByFile(transfer, path); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxReportSize(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxReportSize(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetReport(CRYPT_HANDLE h, const char* uid, char* report) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetReport(uid, report); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxAdditionEx(CRYPT_HANDLE h, const char* uidList) {
  return Shielded(h, kSizeShield, [&](Engine& e) { return e.GetMaxAdditionEx(uidList); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetUIDByPublicKeyTransfer(CRYPT_HANDLE h, const char* transfer, char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetUIDByPublicKeyTransfer(transfer, uid); });
}

// An engine that cannot update one certificate's contexts answers -1; the
// whole context cache is then cleared instead, which is a success.
CRYPTLIB_API int32_t CRYPTLIB_CALL UpdateCertificateCash(CRYPT_HANDLE h, const char* uid) {
  int32_t result = Shielded(h, kOperationShield, [&](Engine& e) { return e.UpdateCertificateCash(uid); });
  if (result != CE_UNSUPPORTED) return result;
  ClearCash(h);
  return CE_OK;
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetMaxPublicKeyPropertiesLength(CRYPT_HANDLE h) {
  return Shielded(h, kSizeShield, [](Engine& e) { return e.GetMaxReportSize(); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyProperties(CRYPT_HANDLE h, const char* uid, char* report) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetReport(uid, report); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateStartEx(CRYPT_HANDLE h, const char* keyName, char* exchange,
                                                         uint32_t* step) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoteGenerateStartEx(keyName, exchange, step); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoteGenerateFinishEx(CRYPT_HANDLE h, const char* certTransfer, uint32_t* step) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoteGenerateFinishEx(certTransfer, step); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyPropertiesByTransfer(CRYPT_HANDLE h, const char* transfer,
                                                                    char* report) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetReportByTransfer(transfer, report); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPublicKeyPropertiesByFile(CRYPT_HANDLE h, const char* path, char* report) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetReportByFile(path, report); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL IncludeCACertificateFromTransfer(CRYPT_HANDLE h, const char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.IncludeCACertificateFromTransfer(transfer); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL CreateDirStructure(CRYPT_HANDLE h, const char* ownCertificate, const char* caList) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.CreateDirStructure(ownCertificate, caList); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL RemoveCertificate(CRYPT_HANDLE h, const char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RemoveCertificate(uid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL VerifySignWOCheckValidity(CRYPT_HANDLE h, const void* data, int32_t length,
                                                             const void* signature, int32_t signatureLength,
                                                             char* signerUid) {
  return Shielded(h, kOperationShield, [&](Engine& e) {
    return e.VerifySignWOCheckValidity(data, length, signature, signatureLength, signerUid);
  });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL CertAndRequestTransferMatch(CRYPT_HANDLE h, const char* certTransfer,
                                                               const char* requestTransfer, int32_t* match) {
  return Shielded(h, kOperationShield,
                  [&](Engine& e) { return e.CertAndRequestTransferMatch(certTransfer, requestTransfer, match); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL IncludeCRL(CRYPT_HANDLE h, const char* path) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.IncludeCRL(path); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL ConvertTransferToSignedRequest(CRYPT_HANDLE h, const char* transfer) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.ConvertTransferToSignedRequest(transfer); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL HashData(CRYPT_HANDLE h, const void* data, int32_t length, void* hash,
                                            int32_t* hashLength, const char* algorithm) {
  return Shielded(h, kOperationShield,
                  [&](Engine& e) { return e.HashData(data, length, hash, hashLength, algorithm); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL ShowCertificate(CRYPT_HANDLE h, const char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.ShowCertificate(uid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetPureSign(CRYPT_HANDLE h, const void* data, int32_t length, void* signature,
                                               int32_t* signatureLength, const char* signerUid) {
  return Shielded(h, kOperationShield,
                  [&](Engine& e) { return e.GetPureSign(data, length, signature, signatureLength, signerUid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetUIDByCertIdent(CRYPT_HANDLE h, const char* ident, char* uid) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetUIDByCertIdent(ident, uid); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL InstallCertsInMyStore(CRYPT_HANDLE h, const char* path) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.InstallCertsInMyStore(path); });
}

// The texts are converted before the shield, the operation runs inside it.
CRYPTLIB_API int32_t CRYPTLIB_CALL RegisterOIDInfo(CRYPT_HANDLE h, const char* oid, const char* info) {
  std::string oidText;
  std::u16string infoText;
  try {
    oidText = HostString(oid);
    infoText = cryptlib::platform::AnsiToUtf16(HostString(info));
  } catch (...) {
    return kOperationShield;
  }
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.RegisterOIDInfo(oidText, infoText); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL GetParamInfo(CRYPT_HANDLE h, int32_t index, int32_t* kind, char* buffer,
                                                int32_t* size) {
  return Shielded(h, kOperationShield, [&](Engine& e) { return e.GetParamInfo(index, kind, buffer, size); });
}

CRYPTLIB_API int32_t CRYPTLIB_CALL CheckCompatibles(const char* engineName) {
  if (engineName == nullptr) return 0;
  for (const char* name : kCompatibleNames) {
    if (std::strcmp(engineName, name) == 0) return 1;
  }
  return 0;
}

}  // extern "C"
