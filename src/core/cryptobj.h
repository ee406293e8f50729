// TCryptoEngine: the abstract base of every engine.
//
// The virtual operations below are declared in the engine's fixed slot order
// (the number before each is its slot); the exports reach every operation
// through this table, and the derived engines append their own operations
// after slot 81. Operations marked "abstract" raise EAbstractError here, as
// calling an operation without a body does; the instantiated engine gives
// every exported slot a body.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/sync_except_str.h"
#include "cryptlib.h"

namespace cryptlib {

class TCryptoEngine {
 public:
  // Slot 11, the constructor: creates the last-error holder and the parameter
  // lists, marks the parameters changed and clears the remote path.
  TCryptoEngine();
  // Frees the parameter values, the parameter names and the last-error holder,
  // in that order; subclasses free their own state first.
  virtual ~TCryptoEngine();
  TCryptoEngine(const TCryptoEngine&) = delete;
  TCryptoEngine& operator=(const TCryptoEngine&) = delete;

  /* 0 */ virtual int32_t Reserved0();
  /* 1 */ virtual int32_t Reserved1(void* a, void* b, void* c);
  /* 2 */ virtual int32_t Reserved2(void* a, void* b, void* c);
  /* 3 */ virtual int32_t Reserved3(void* a, void* b, void* c);
  /* 4 */ virtual int32_t Reserved4(void* a, void* b, void* c);
  /* 5 */ virtual int32_t Reserved5(void* a, void* b);
  /* 6 */ virtual int32_t Reserved6(void* a, void* b, void* c);
  /* 7 */ virtual int32_t Reserved7(void* a, void* b, void* c);
  /* 8 */ virtual int32_t Reserved8(void* a, void* b, void* c, void* d);
  /* 9 */ virtual void SetPasswordRequestFunc(void* func);
  /* 10 */ virtual void SetRemoteGeneratePath(const std::string& path);
  /* 11: the constructor above */
  /* 12 */ virtual void GetEngineName(char* buffer) = 0;
  /* 13 */ virtual int32_t GetMaxEncodeAddition();
  /* 14 */ virtual int32_t GetMaxSignatureLength();
  /* 15 */ virtual int32_t GetMaxUIDLength();
  /* 16 */ virtual int32_t GetMaxCryptoParamNameLength();
  /* 17 */ virtual int32_t GetMaxCryptoParamValueLength();
  /* 18 */ virtual int32_t GetMaxErrorStringLength();
  /* 19 */ virtual int32_t GetMaxPasswordLength();
  /* 20 */ virtual int32_t GetCryptoParamNumber();
  /* 21 */ virtual void GetCryptoParamName(int32_t index, char* buffer);
  /* 22 */ virtual void GetCryptoParamValue(int32_t index, char* buffer);
  /* 23 */ virtual int32_t SetCryptoParamValue(int32_t index, const char* value);
  /* 24 */ virtual int32_t GetEncodeUIDBySignUID(const char* signUid, char* uid);
  /* 25 */ virtual int32_t GetCurrentUserUID(char* uid);
  /* 26 */ virtual void GetCryptoErrorString(int32_t code, char* buffer);
  /* 27 */ virtual int32_t EncodeData(void* data, int32_t* length, const char* uidList);
  /* 28 */ virtual int32_t DecodeData(void* data, int32_t* length, char* uid);
  /* 29 */ virtual int32_t SignData(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                                    const char* signerUid);
  /* 30 */ virtual int32_t VerifyData(const void* data, int32_t length, const void* signature, int32_t signatureLength,
                                      char* signerUid);
  /* 31 */ virtual int32_t IncludePublicKey(const char* path);
  /* 32 */ virtual void ClearCash();
  /* 33 */ virtual int32_t UpdateCertificateCash(const char* uid);
  /* 34 */ virtual int32_t RemoveCertificate(const char* uid);
  /* 35 */ virtual int32_t IncludeCRL(const char* path);
  /* 36 */ virtual void GetLastErrorMessage(char* buffer);
  /* 37 */ virtual int32_t GenerateNewSSK();
  /* 38 */ virtual int32_t GenerateNewSEK();
  /* 39 */ virtual bool IsDifferentKeys();
  /* 40 */ virtual int32_t IncludePublicEncodeKey(const char* path);
  /* 41 */ virtual int32_t SignFile(const char* fileName);
  /* 42 */ virtual int32_t VerifyFile(const char* fileName, char* signerUid);
  /* 43 */ virtual int32_t RemoveSignaturesFromFile(const char* fileName);
  /* 44 */ virtual int32_t TransPrivateKeyFromFileToTM();
  /* 45 */ virtual int32_t TransSignatureFromFileToTM();
  /* 46 */ virtual int32_t GetMaxPublicKeyTransferSize();
  /* 47 */ virtual int32_t RemoteGenerateStart(int32_t ignored);
  /* 48 */ virtual int32_t RemoteGenerateFinish(int32_t ignored);
  /* 49 */ virtual int32_t ExcludeSelfPublicKeyTransfer(char* transfer);
  /* 50 */ virtual int32_t IncludePublicKeyTransfer(const char* transfer);
  /* 51 */ virtual int32_t GetPublicKeyTransfer(const char* uid, char* transfer);
  /* 52 */ virtual int32_t SavePublicKeyFromTransfer(const char* directory, const char* transfer);
  /* 53 */ virtual int32_t RemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step);
  /* 54 */ virtual int32_t RemoteGenerateFinishEx(const char* certTransfer, uint32_t* step);
  /* 55 */ virtual int32_t GetPublicKeyTransferByFile(char* transfer, const char* path);
  /* 56 */ virtual int32_t IncludeCACertificateFromTransfer(const char* transfer);
  /* 57 */ virtual int32_t AddSign(void* buffer, int32_t* length, const char* signerUid);
  /* 58 */ virtual int32_t RemoveSign(void* buffer, int32_t* length, char* signerUid);
  /* 59 */ virtual int32_t GetMaxSignAddition();
  /* 60 */ virtual int32_t GetMaxEncodeAdditionForCount(int32_t count);
  /* 61 */ virtual int32_t SaveSignedDataToFile(const void* data, int32_t dataLength, const void* signature,
                                                int32_t signatureLength, const char* fileName);
  /* 62 */ virtual int32_t GetRemoteGenType();
  /* 63 */ virtual int32_t GetMaxReportSize();
  /* 64 */ virtual int32_t GetReport(const char* uid, char* report);
  /* 65 */ virtual int32_t GetMaxAdditionEx(const char* uidList);
  /* 66 */ virtual int32_t GetUIDByPublicKeyTransfer(const char* transfer, char* uid);
  /* 67 */ virtual int32_t GetReportByTransfer(const char* transfer, char* report);
  /* 68 */ virtual int32_t GetReportByFile(const char* path, char* report);
  /* 69 */ virtual int32_t CreateDirStructure(const char* ownCertificate, const char* caList);
  /* 70 */ virtual int32_t VerifySignWOCheckValidity(const void* data, int32_t length, const void* signature,
                                                     int32_t signatureLength, char* signerUid);
  /* 71 */ virtual int32_t CertAndRequestTransferMatch(const char* certTransfer, const char* requestTransfer,
                                                       int32_t* match);
  /* 72 */ virtual int32_t ConvertTransferToSignedRequest(const char* transfer);
  /* 73 */ virtual int32_t HashData(const void* data, int32_t length, void* hash, int32_t* hashLength,
                                    const char* algorithm);
  /* 74 */ virtual int32_t ShowCertificate(const char* uid);
  /* 75 */ virtual int32_t GetPureSign(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                                       const char* signerUid);
  /* 76 */ virtual int32_t GetUIDByCertIdent(const char* ident, char* uid);
  /* 77 */ virtual int32_t InstallCertsInMyStore(const char* path);
  /* 78 */ virtual int32_t RegisterOIDInfo(const std::string& oid, const std::u16string& info);
  /* 79 */ virtual int32_t GetParamInfo(int32_t index, int32_t* kind, char* buffer, int32_t* size);
  /* 80 */ virtual int32_t IncludeByKind(int32_t kind, void* a, void* b, void* c);
  /* 81 */ virtual int32_t ExtendedByKind(int32_t kind, void* a, void* b, void* c, void* d);

  // --- routines the concrete operations share ---
  // Replaces a leading "%QamRoot%" (any case) by RootPath and upper-cases the
  // result; other paths come back unchanged.
  std::string ExpandRootPath(const std::string& path) const;
  // ExpandRootPath with a trailing backslash (IncludeBackslash).
  std::string ExpandRootDir(const std::string& path) const;
  // Stores the engine's root with a trailing backslash.
  void SetEngineRoot(const std::string& path);
  // Copies at most capacity bytes of source (with its terminator when it
  // fits). False for nil pointers or capacity <= 0.
  static bool CopyUID(const char* source, char* target, int32_t capacity);
  // Prefixes the data with header and a zero byte and encrypts the data in
  // place behind it; *length becomes the whole protected length.
  int32_t EncodeDataWithHeader(const std::string& header, void* buffer, int32_t* length, const char* uidList);
  // Splits a block written by EncodeDataWithHeader and decrypts its data.
  int32_t DecodeDataWithHeader(void* buffer, int32_t totalLength, void** data, int32_t* dataLength);

  // Records "<prefix><ClassName>: <Message>" of the exception in flight as the
  // last error; call inside a catch block. Never raises.
  void RecordException(const char* prefix) noexcept;
  // Runs an operation body and turns any exception into a recorded text and
  // -102, the way every operation of the engine reports a failure.
  template <class Body>
  int32_t Guarded(const char* prefix, Body&& body) noexcept {
    try {
      return body();
    } catch (...) {
      RecordException(prefix);
      return CE_EXCEPTION;
    }
  }

  // --- state ---
  TSyncExceptStr& LastError() { return *lastError_; }
  const std::string& RootPath() const { return rootPath_; }
  const std::string& RemoteGeneratePath() const { return remoteGeneratePath_; }
  std::vector<std::string>& ParamNames() { return *paramNames_; }
  std::vector<std::string>& ParamValues() { return *paramValues_; }
  bool ParamsChanged() const { return paramsChanged_; }
  // Counts the parameter values set so far: equal readings mean no value
  // changed in between, so what was derived from the values still holds.
  uint64_t ParamsVersion() const { return paramsVersion_.load(std::memory_order_acquire); }
  void* PasswordRequestFunc() const { return passwordRequestFunc_; }
  void* TMRequestFunc() const { return tmRequestFunc_; }
  void SetTMRequestFunc(void* func) { tmRequestFunc_ = func; }

 protected:
  void SetParamsChanged(bool changed) { paramsChanged_ = changed; }

 private:
  std::unique_ptr<TSyncExceptStr> lastError_;
  std::unique_ptr<std::vector<std::string>> paramNames_;
  std::unique_ptr<std::vector<std::string>> paramValues_;
  void* passwordRequestFunc_ = nullptr;
  void* tmRequestFunc_ = nullptr;
  std::string rootPath_;
  bool paramsChanged_ = false;
  std::atomic<uint64_t> paramsVersion_{0};
  std::string remoteGeneratePath_;
};

// A path with a trailing backslash added where missing (an empty path stays
// empty), the rule the engine's root and remote path follow.
std::string WithTrailingBackslash(const std::string& path);

}  // namespace cryptlib
