// TMProWinCryptoEngine: the engine over the PSE generation of the module
// (mplugf, variant 1). Its key store is shared by every engine of the
// process: operations that use keys hold the process-wide key-store lock for
// reading, so that a change of the key files (which holds it for writing)
// never runs under them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/ce_mpro.h"
#include "support/rwsyncs.h"

namespace cryptlib {

// The process-wide key-store lock: built when the engine library is loaded,
// torn down when it is unloaded. Always taken before the binding's locks.
TRWCriticalSection& KeyStoreLock();

class TMProWinCryptoEngine : public TMPro1CryptoEngine {
 public:
  // Binds variant 1 and holds a 26th parameter.
  TMProWinCryptoEngine();
  // Gives back a write hold of the key store this engine still has, then
  // frees the inherited state.
  ~TMProWinCryptoEngine() override;

  // --- slots, in slot order ---
  /* 12 */ void GetEngineName(char* buffer) override;
  // 25, 27 to 30: the inherited operation under a read hold of the key store.
  /* 25 */ int32_t GetCurrentUserUID(char* uid) override;
  /* 27 */ int32_t EncodeData(void* data, int32_t* length, const char* uidList) override;
  /* 28 */ int32_t DecodeData(void* data, int32_t* length, char* uid) override;
  /* 29 */ int32_t SignData(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                            const char* signerUid) override;
  /* 30 */ int32_t VerifyData(const void* data, int32_t length, const void* signature, int32_t signatureLength,
                              char* signerUid) override;
  // 32, 34, 35, 56, 64, 67, 68: the inherited operation under a read hold of
  // the key store, so that a certificate store change never runs beside a
  // key-file change.
  /* 32 */ void ClearCash() override;
  /* 34 */ int32_t RemoveCertificate(const char* uid) override;
  /* 35 */ int32_t IncludeCRL(const char* path) override;
  // 37: the same generation as slot 38, through the most derived engine.
  /* 37 */ int32_t GenerateNewSSK() override;
  // 38: the key set and a certificate request made by the module's PSE
  // request (mpro_win_keygen.cpp); the module's result unchanged.
  /* 38 */ int32_t GenerateNewSEK() override;
  /* 56 */ int32_t IncludeCACertificateFromTransfer(const char* transfer) override;
  /* 64 */ int32_t GetReport(const char* uid, char* report) override;
  /* 67 */ int32_t GetReportByTransfer(const char* transfer, char* report) override;
  /* 68 */ int32_t GetReportByFile(const char* path, char* report) override;
  // VerifyData without the check of the signer's validity period, under a
  // read hold of the key store; -1 when the module lacks the function.
  /* 70 */ int32_t VerifySignWOCheckValidity(const void* data, int32_t length, const void* signature,
                                             int32_t signatureLength, char* signerUid) override;

  // This engine holds the key store for writing across host calls.
  bool KeyStoreLocked() const { return keyStoreLocked_; }

 protected:
  void SetKeyStoreLocked(bool locked) { keyStoreLocked_ = locked; }
  // The PSE request of slot 38: key directory (parameter 3), subject
  // (parameters 11 to 17 and 24) and request file (parameter 9).
  int32_t RequestPSEKeys(TMProDLL& binding);
  // Parameter number as the host reads it into a buffer of capacity bytes.
  std::string ParamAsHostReads(int32_t number, int32_t capacity);
  // Runs body under a read hold of the key store, released on every path.
  template <class Body>
  static int32_t WithKeyStoreRead(Body&& body) {
    ReadGuard hold(KeyStoreLock());
    return body();
  }

 private:
  bool keyStoreLocked_ = false;
};

}  // namespace cryptlib
