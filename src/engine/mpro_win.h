// TMProWinCryptoEngine: the engine over the PSE generation of the module
// (mplugf, variant 1). Its key store is shared by every engine of the
// process: operations that use keys hold the process-wide key-store lock for
// reading, so that a change of the key files (which holds it for writing)
// never runs under them.
#pragma once

#include <cstdint>
#include <string>

#include "binding/pse_request.h"
#include "engine/ce_mpro.h"
#include "support/rwsyncs.h"

namespace cryptlib {

class KeySetJournal;

// The process-wide key-store lock: built when the engine library is loaded,
// torn down when it is unloaded. Always taken before the binding's locks.
TRWCriticalSection& KeyStoreLock();

// True when a key file of R is gone and its ".dat" twin is there: a
// protection that completed before the process was killed.
bool ProtectedEarlier(const std::string& plainFile);

class TMProWinCryptoEngine : public TMPro1CryptoEngine {
 public:
  // Binds variant 1 and holds a 26th parameter.
  TMProWinCryptoEngine();
  // Gives back a write hold of the key store this engine still has, then
  // frees the inherited state.
  ~TMProWinCryptoEngine() override;

  // --- slots, in slot order ---
  /* 12 */ void GetEngineName(char* buffer) override;
  // 25 (through the own full UID), 27 to 30: the inherited operation under a
  // read hold of the key store.
  int32_t CurrentUserUID(std::string& uid) override;
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
  // 53: the stepwise start of remote key generation, one step per host call
  // (mpro_win_remote.cpp).
  /* 53 */ int32_t RemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step) override;
  // 54: the finish that checks the new keys against the bank's certificate
  // and exchanges them for the active ones (mpro_win_finish.cpp).
  /* 54 */ int32_t RemoteGenerateFinishEx(const char* certTransfer, uint32_t* step) override;
  /* 56 */ int32_t IncludeCACertificateFromTransfer(const char* transfer) override;
  /* 64 */ int32_t GetReport(const char* uid, char* report) override;
  /* 67 */ int32_t GetReportByTransfer(const char* transfer, char* report) override;
  /* 68 */ int32_t GetReportByFile(const char* path, char* report) override;
  // VerifyData without the check of the signer's validity period, under a
  // read hold of the key store; -1 when the module lacks the function.
  /* 70 */ int32_t VerifySignWOCheckValidity(const void* data, int32_t length, const void* signature,
                                             int32_t signatureLength, char* signerUid) override;
  // 62: the stepwise procedure (3).
  /* 62 */ int32_t GetRemoteGenType() override;

  // --- key-file hooks of remote generation over the remote generation
  // directory R (mpro_win_keyfiles.cpp: the PSE key-file set) ---
  // 84: protects the new key files of R for uid into ".dat" twins and
  // deletes the plain files; 0 or the failure, R unchanged on a failure.
  /* 84 */ virtual int32_t RG_BackupKeyFiles(const std::string& uid);
  // 85: copies the key file set of source into R.
  /* 85 */ virtual bool RG_CopyKeyFiles(const std::string& source);
  // 86: deletes the plain key files of R.
  /* 86 */ virtual void RG_DeleteKeyFiles();
  // 87: decrypts the ".dat" twins of R back into key files.
  /* 87 */ virtual int32_t RG_RestoreKeyFiles();
  // 88: the name the current secret signing key of directory is kept under
  // when the keys are exchanged; empty when none is kept.
  /* 88 */ virtual std::string RG_GetSignKeyBackupName(const std::string& directory);
  // 89: replaces the active key set and certificate by those of R, as
  // steps of the finish's journal (which the finish completes).
  /* 89 */ virtual bool RG_ExchangeKeys(const std::string& keyDirectory, const std::string& remoteDirectory,
                                        const std::string& ownCertificate, const std::string& newCertificate,
                                        KeySetJournal& journal);
  // 90: with a buffer, the fingerprint of the key container on the media
  // (empty when none); without, the backup the module makes.
  /* 90 */ virtual int32_t RG_PSEPrivateKeyBackup(const std::string& mediaDirectory, char* buffer);

  // The subject of a request: the values a certificate request is made of.
  using SubjectFields = cryptlib::SubjectFields;

  // This engine holds the key store for writing across host calls.
  bool KeyStoreLocked() const { return keyStoreLocked_; }

 protected:
  void SetKeyStoreLocked(bool locked) { keyStoreLocked_ = locked; }

  // --- remote generation steps (mpro_win_remote.cpp) ---
  // Prepares R: emptied, a copy of the own certificate as "self.pem", and
  // a test signature with the current key.
  int32_t RemoteGenerateEXStep_1();
  // Records the fingerprint of the key container on the media in
  // "backup.key".
  int32_t RemoteGenerateEXStep_2();
  // After the outside generation: checks the fingerprint changed, makes the
  // request for the new key and copies the new key files into R; "LAST STEP"
  // in buffer.
  int32_t RemoteGenerateEXStep_3(char* buffer, const std::string& keyName, bool subjectFromParams);
  // Protects the new key files for the current user and leaves the request
  // transfer in buffer.
  int32_t RemoteGenerateEXStep_4(char* buffer);
  // One step of the stepwise start by the step cell's value on entry.
  int32_t RunStartStep(const char* keyName, char* exchange, uint32_t& step);
  // The fingerprint recorded at step 3 (empty when none was); -115 when it
  // cannot be read or is too long.
  int32_t ReadFingerprintFile(const std::string& file, std::string& text);
  // Step 3 with the key name worked out from "self.pem" of R.
  int32_t InternalRemoteGenerateStart_WithUtility(char* buffer, const char* keyName, bool subjectFromParams);
  // The finish: the bank's certificate checked against the new keys, filed,
  // and the keys exchanged (mpro_win_finish.cpp).
  int32_t InternalRemoteGenerateFinish(const char* transfer);
  // The directories and files the finish works on, read once.
  struct FinishPaths {
    std::string remote, certificates, keys, ownCertificate, signKeyBackup;
  };
  // The part of the finish under the key-store write hold: match, file the
  // certificate, exchange; everything moved is put back on a failure.
  int32_t ExchangeForNewKeys(const FinishPaths& paths);
  // R with a trailing backslash, or -109 when it is unset or missing.
  int32_t RemoteDirectory(std::string& directory);
  // The key media directory: parameter 23 (when the module has it), root
  // expanded, with a backslash; "A:\" when that is empty.
  std::string GetKeyMediaPath();
  // The subject parameters 11 to 17 and 24 (when the module has it).
  SubjectFields GetSubjectParams();
  // The fields of a subject line ("/C=RU/O=Bank/CN=Alice").
  static SubjectFields SubjectFromLine(const std::string& line);
  // The subject fields of a certificate file's subject line.
  int32_t GetCertParameters(const std::string& file, SubjectFields& fields);

  // --- ".dat" twins (mpro_win_keyfiles.cpp) ---
  // The file's path, a zero byte and its content encrypted for uid, written
  // as the file's ".dat" twin.
  int32_t EncryptFileToDat(const std::string& plainFile, const std::string& uid);
  // The plain content of a ".dat" twin written to plainFile.
  int32_t DecryptDatToFile(const std::string& datFile, const std::string& plainFile);

  // Takes (once) and gives back the key-store write hold this engine keeps
  // across host calls. A hold that outlives the call cannot be followed by
  // the compiler's lock checks; keyStoreLocked_ records it instead.
  void HoldKeyStoreForWriting() NO_THREAD_SAFETY_ANALYSIS;
  void ReleaseKeyStoreHold() NO_THREAD_SAFETY_ANALYSIS;
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
