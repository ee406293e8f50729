#include "engine/mpro_win.h"

#include <cstring>

namespace cryptlib {
namespace {

constexpr const char* kEngineName = "M-Pro v1.34 (GOST PSE)";
constexpr int32_t kPSEVariant = 1;

// A namespace-scope object of the engine library: constructed on load,
// destroyed on unload, shared by all engines in between.
TRWCriticalSection keyStoreLock;

}  // namespace

TRWCriticalSection& KeyStoreLock() {
  return keyStoreLock;
}

TMProWinCryptoEngine::TMProWinCryptoEngine() {
  SetLibVariant(kPSEVariant);
  ParamValues().emplace_back();
}

TMProWinCryptoEngine::~TMProWinCryptoEngine() {
  // An engine released in the middle of a stepwise key generation must not
  // keep the key store closed for every other engine.
  try {
    ReleaseKeyStoreHold();
  } catch (...) {
    // Released on a thread that does not hold the key store: the hold
    // cannot be given back from here (a stepwise generation runs on one
    // thread), and a destructor must not raise.
  }
}

void TMProWinCryptoEngine::GetEngineName(char* buffer) {
  if (buffer != nullptr) std::memcpy(buffer, kEngineName, std::strlen(kEngineName) + 1);
}

int32_t TMProWinCryptoEngine::CurrentUserUID(std::string& uid) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::CurrentUserUID(uid); });
}

int32_t TMProWinCryptoEngine::EncodeData(void* data, int32_t* length, const char* uidList) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::EncodeData(data, length, uidList); });
}

int32_t TMProWinCryptoEngine::DecodeData(void* data, int32_t* length, char* uid) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::DecodeData(data, length, uid); });
}

int32_t TMProWinCryptoEngine::SignData(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                                       const char* signerUid) {
  return WithKeyStoreRead(
      [&] { return TMPro1CryptoEngine::SignData(data, length, signature, signatureLength, signerUid); });
}

int32_t TMProWinCryptoEngine::VerifyData(const void* data, int32_t length, const void* signature,
                                         int32_t signatureLength, char* signerUid) {
  return WithKeyStoreRead(
      [&] { return TMPro1CryptoEngine::VerifyData(data, length, signature, signatureLength, signerUid); });
}

void TMProWinCryptoEngine::ClearCash() {
  WithKeyStoreRead([&] {
    TMPro1CryptoEngine::ClearCash();
    return 0;
  });
}

int32_t TMProWinCryptoEngine::RemoveCertificate(const char* uid) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::RemoveCertificate(uid); });
}

int32_t TMProWinCryptoEngine::IncludeCRL(const char* path) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::IncludeCRL(path); });
}

int32_t TMProWinCryptoEngine::IncludeCACertificateFromTransfer(const char* transfer) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::IncludeCACertificateFromTransfer(transfer); });
}

int32_t TMProWinCryptoEngine::GetReport(const char* uid, char* report) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::GetReport(uid, report); });
}

int32_t TMProWinCryptoEngine::GetReportByTransfer(const char* transfer, char* report) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::GetReportByTransfer(transfer, report); });
}

int32_t TMProWinCryptoEngine::GetReportByFile(const char* path, char* report) {
  return WithKeyStoreRead([&] { return TMPro1CryptoEngine::GetReportByFile(path, report); });
}

int32_t TMProWinCryptoEngine::VerifySignWOCheckValidity(const void* data, int32_t length, const void* signature,
                                                        int32_t signatureLength, char* signerUid) {
  return WithKeyStoreRead([&] {
    return VerifyDetached(true, "TMProWinCryptoEngine.VerifySignWOCheckValidity: ", data, length, signature,
                          signatureLength, signerUid);
  });
}

}  // namespace cryptlib
