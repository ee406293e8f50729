// TMPro1CryptoEngine: the engine over the vendor module. It adapts the
// engine's operations to the vendor functions: argument checks, the parameter
// snapshot handed to every vendor call, the conversion of a holder's UID into
// the vendor's subject line, the engine's error texts.
//
// The class is split by concept over ce_mpro*.cpp:
//   ce_mpro.cpp         construction, the binding (GetCryptoAPI), identities
//   ce_mpro_params.cpp  parameters, their descriptions and the size queries
//   ce_mpro_errors.cpp  error texts
//   ce_mpro_data.cpp    encryption and decryption
//   ce_mpro_sign.cpp    detached and attached signatures
//   ce_mpro_store.cpp   the certificate store: directory tree, certificates,
//                       CA certificates, revocation lists, context refresh
//   ce_mpro_reports.cpp certificate and request reports
//   ce_mpro_transfers.cpp public key transfers
//   ce_mpro_keygen.cpp  local key generation
//   ce_mpro_remote.cpp  the one-call start of remote key generation
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "binding/mprodll.h"
#include "binding/param_snapshot.h"
#include "core/cryptobj.h"
#include "engine/formats/cert_names.h"
#include "engine/formats/transfer_record.h"

namespace cryptlib {

class TMPro1CryptoEngine : public TCryptoEngine {
 public:
  // Binds the first module generation (variant 0) and holds 25 parameters.
  TMPro1CryptoEngine();
  // Frees the binding, then the base state.
  ~TMPro1CryptoEngine() override;

  // --- slots, in slot order ---
  /* 12 */ void GetEngineName(char* buffer) override;
  /* 13 */ int32_t GetMaxEncodeAddition() override;
  /* 14 */ int32_t GetMaxSignatureLength() override;
  /* 15 */ int32_t GetMaxUIDLength() override;
  /* 16 */ int32_t GetMaxCryptoParamNameLength() override;
  /* 17 */ int32_t GetMaxCryptoParamValueLength() override;
  /* 18 */ int32_t GetMaxErrorStringLength() override;
  /* 19 */ int32_t GetMaxPasswordLength() override;
  /* 20 */ int32_t GetCryptoParamNumber() override;
  /* 21 */ void GetCryptoParamName(int32_t index, char* buffer) override;
  /* 23 */ int32_t SetCryptoParamValue(int32_t index, const char* value) override;
  /* 24 */ int32_t GetEncodeUIDBySignUID(const char* signUid, char* uid) override;
  /* 25 */ int32_t GetCurrentUserUID(char* uid) override;
  /* 26 */ void GetCryptoErrorString(int32_t code, char* buffer) override;
  /* 27 */ int32_t EncodeData(void* data, int32_t* length, const char* uidList) override;
  /* 28 */ int32_t DecodeData(void* data, int32_t* length, char* uid) override;
  /* 29 */ int32_t SignData(const void* data, int32_t length, void* signature, int32_t* signatureLength,
                            const char* signerUid) override;
  /* 30 */ int32_t VerifyData(const void* data, int32_t length, const void* signature, int32_t signatureLength,
                              char* signerUid) override;
  /* 31 */ int32_t IncludePublicKey(const char* path) override;
  /* 32 */ void ClearCash() override;
  /* 33 */ int32_t UpdateCertificateCash(const char* uid) override;
  /* 34 */ int32_t RemoveCertificate(const char* uid) override;
  /* 35 */ int32_t IncludeCRL(const char* path) override;
  /* 36 */ void GetLastErrorMessage(char* buffer) override;
  // 37, 38: the module's generation on the engine's own binding with the
  // current parameters; a module answer of 0 reaches the host as -100.
  /* 37 */ int32_t GenerateNewSSK() override;
  /* 38 */ int32_t GenerateNewSEK() override;
  /* 40 */ int32_t IncludePublicEncodeKey(const char* path) override;
  /* 44 */ int32_t TransPrivateKeyFromFileToTM() override;
  /* 45 */ int32_t TransSignatureFromFileToTM() override;
  /* 46 */ int32_t GetMaxPublicKeyTransferSize() override;
  /* 49 */ int32_t ExcludeSelfPublicKeyTransfer(char* transfer) override;
  /* 50 */ int32_t IncludePublicKeyTransfer(const char* transfer) override;
  /* 51 */ int32_t GetPublicKeyTransfer(const char* uid, char* transfer) override;
  /* 52 */ int32_t SavePublicKeyFromTransfer(const char* directory, const char* transfer) override;
  /* 55 */ int32_t GetPublicKeyTransferByFile(char* transfer, const char* path) override;
  /* 56 */ int32_t IncludeCACertificateFromTransfer(const char* transfer) override;
  /* 57 */ int32_t AddSign(void* buffer, int32_t* length, const char* signerUid) override;
  /* 58 */ int32_t RemoveSign(void* buffer, int32_t* length, char* signerUid) override;
  /* 59 */ int32_t GetMaxSignAddition() override;
  /* 63 */ int32_t GetMaxReportSize() override;
  /* 64 */ int32_t GetReport(const char* uid, char* report) override;
  /* 66 */ int32_t GetUIDByPublicKeyTransfer(const char* transfer, char* uid) override;
  /* 67 */ int32_t GetReportByTransfer(const char* transfer, char* report) override;
  /* 68 */ int32_t GetReportByFile(const char* path, char* report) override;
  /* 69 */ int32_t CreateDirStructure(const char* ownCertificate, const char* caList) override;
  /* 71 */ int32_t CertAndRequestTransferMatch(const char* certTransfer, const char* requestTransfer,
                                               int32_t* match) override;
  /* 79 */ int32_t GetParamInfo(int32_t index, int32_t* kind, char* buffer, int32_t* size) override;

  // --- remote key generation (ce_mpro_remote.cpp) ---
  // 82: makes the new key set and its request in the remote generation
  // directory and leaves the request transfer in exchange; with
  // subjectFromParams the subject comes from the parameters, else from the
  // own certificate. This engine has no generation of its own: -1.
  /* 82 */ virtual int32_t InternalRemoteGenerateStart(char* exchange, const std::string& keyName,
                                                       bool subjectFromParams);
  // 83: the one-call start: the key name from the host or the current UID,
  // then slot 82; the step cell becomes 1 on success.
  /* 83 */ virtual int32_t InternalRemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step);

  // --- routines the operations share ---
  // The value of tag (e.g. "/CN=") in a subject line: the text after its
  // first occurrence up to the next "/" or the end; empty when absent.
  static std::string ExtractDNField(const std::string& line, const std::string& tag);

  // The binding's size of the UID buffers host operations fill.
  static constexpr int32_t kHostUIDSize = 40;
  // The part of uid a host UID buffer holds: at most kHostUIDSize - 1 bytes,
  // on POSIX (UTF-8) cut before a character that would not fit whole.
  static std::string_view HostUIDCut(std::string_view uid);

 protected:
  // The engine's binding, created on first need. 0 with binding set; -127
  // (module file not loadable) or -128 (a mandatory function missing), the
  // same on every later call; -102 once creation raised, and from then on 0
  // with no binding.
  int32_t GetCryptoAPI(TMProDLL*& binding);
  // GetCryptoAPI as operations use it: a usable binding or the code to
  // answer (-100 when creation failed earlier).
  int32_t AcquireBinding(TMProDLL*& binding);
  // One value per vendor parameter, element i holding parameter i+1. Raises
  // EListError when the module counts more parameters than the engine holds.
  ParamSnapshot BuildSnapshot(TMProDLL& binding);
  // Parameter number (1-based), trimmed of codes 0 to 32; empty when absent.
  std::string TrimmedParam(int32_t number);
  // The UID field (parameter 20): "CN" or "SN"; empty reads as "CN".
  std::string UIDField();
  // The holder's UID as the UID field names it in a vendor string: the
  // field's value, or the string unchanged for "SN".
  std::string UIDFromVendorString(const char* vendorString);
  // The string that stands for uid in vendor calls: the subject line of the
  // holder's certificate in the certificate directory, or uid itself for
  // the UID field "SN".
  // The host's UID is resolved first (ResolveHolderUID); holder, when given,
  // receives the full UID of the certificate read.
  int32_t ReadSubjectFromCert(const std::string& uid, std::string& subject, std::string* holder = nullptr);
  // A signer UID given by the host in the vendor's form; none or empty gives
  // an empty signer.
  int32_t SignerForVendor(const char* signerUid, std::string& signer);
  // The detached verification of VerifyData, with the vendor's check of the
  // signer's validity period or without it.
  int32_t VerifyDetached(bool ignoreTime, const char* prefix, const void* data, int32_t length, const void* signature,
                         int32_t signatureLength, char* signerUid);
  // Copies uid into a host UID buffer: HostUIDCut(uid) and the terminator,
  // never more than kHostUIDSize bytes.
  static void CopyHostUID(const std::string& uid, char* target);
  // The own holder's full UID, as the UID field names it (never cut).
  virtual int32_t CurrentUserUID(std::string& uid);
  // The holder a UID given by the host stands for: the UID itself when a
  // certificate is filed under it (or the UID field is "SN"); else, when it
  // is the host-buffer cut of exactly one filed holder's longer UID, that
  // holder's full UID; else the UID unchanged (the caller finds no file).
  // kBadUidCode, with the reason as the last error, when it is the cut of
  // several holders.
  int32_t ResolveHolderUID(const std::string& given, std::string& uid);
  // A binding of its own for reading one certificate file, whose failures
  // count as this engine's for GetLastErrorMessage.
  std::unique_ptr<TMProDLL> ReaderBinding();

  // --- the certificate store (ce_mpro_store.cpp) ---
  // Files source into directory as its holder's UID + ".pem", moving it (move
  // set) or copying it, after moving the holder's present certificate aside
  // to a numbered backup; then hands it to the open context.
  int32_t InternalIncludePublicKey(const std::string& directory, const std::string& source, bool move);
  // CE_BAD_UID when the certificate file names the current user (letter case
  // aside, as the store names files) but is not his own certificate (another
  // subject or serial): filed, it would stand in for his own in the store.
  int32_t RefuseStrangerUnderOwnUid(const std::string& file, const std::string& uid);
  // Hands a certificate file to the open vendor context of the current
  // parameters (or clears the cache when the module cannot take one).
  int32_t UpdateCertCashByFile(const std::string& file);
  // The certificate directory (parameter 2), root expanded, with a backslash.
  std::string CertificateDirectory();
  // The CA or revocation-list directory of this engine's module.
  std::string StoreDirectoryPath(StoreDirectory which);

  // --- reports (ce_mpro_reports.cpp) ---
  // The report of a certificate or request file's content into the host's
  // buffer of GetMaxReportSize bytes.
  int32_t ReportFromFileText(TMProDLL& binding, const std::string& text, char* report);

  // --- transfers (ce_mpro_transfers.cpp) ---
  // The transfer text of uid and content, signed by the current user, into a
  // buffer of GetMaxPublicKeyTransferSize bytes.
  int32_t MakePublicKeyTransfer(const std::string& uid, const void* content, int32_t length, char* transfer);
  // The verified transfer record of a transfer text.
  int32_t GetPublicKeyBlockByTransfer(const char* transfer, TransferRecord& record);
  // The UID a certificate file stands for under field ("CN" when empty), as
  // the module reads the file on a binding of its own.
  int32_t ReadCertFileField(const std::string& file, const std::string& field, std::string& uid);
  // The subject line of a certificate file as the module reads it on a
  // binding of its own, holders named by field.
  int32_t ReadCertSubjectLine(const std::string& file, const std::string& field, std::string& line);
  // 0 when the module reads content as a certificate with a subject;
  // CE_TRANSFER_EXTRACT when it does not (an empty or garbage file).
  int32_t CheckCertificateContent(const std::string& content);
  // Writes the carried file of a transfer to directory + fileName.
  int32_t SaveTransferToFile(const std::string& directory, const char* transfer, const std::string& fileName);

  // --- local key generation (ce_mpro_keygen.cpp) ---
  using KeyGenerator = int32_t (TMProDLL::*)(const ParamSnapshot&);
  int32_t GenerateOnOwnBinding(const char* prefix, KeyGenerator generate);

  int32_t LibVariant() const { return libVariant_; }
  void SetLibVariant(int32_t variant) { libVariant_ = variant; }

 private:
  // The engine text of code with the recorded exception where it has one;
  // false for codes whose text comes from the binding or the module.
  bool EngineErrorText(int32_t code, std::string& text);

  // --- per-call helpers of the data and signature operations ---
  // BuildSnapshot without copying the values on every call: the same size
  // query, and the snapshot made last, with its cache key, until a
  // parameter is set.
  std::shared_ptr<const KeyedSnapshot> CurrentSnapshot(TMProDLL& binding);
  // TrimmedParam as a view of the stored value, valid until it changes.
  std::string_view TrimmedParamView(int32_t number);
  // CopyHostUID(UIDFromVendorString(vendorString), target) without temporaries.
  void CopyHostUIDFromVendor(const char* vendorString, char* target);
  // A zero-filled buffer of the module's UID size, with room for a
  // terminator the module may leave out; on the stack for the usual sizes.
  class VendorUID {
   public:
    explicit VendorUID(TMProDLL& binding);
    char* data() { return data_; }

   private:
    char local_[512];
    std::unique_ptr<char[]> heap_;
    char* data_;
  };

  // Declared before the binding, which writes to it until it is destroyed.
  VendorErrorLog vendorErrors_;
  std::unique_ptr<TMProDLL> dll_;
  bool apiFailed_ = false;
  int32_t libVariant_ = 0;
  // Several threads may share one engine: the first operations must not
  // create two bindings.
  std::mutex apiLock_;
  // dll_ once it is loaded and bound (set under apiLock_), else nullptr.
  std::atomic<TMProDLL*> usableBinding_{nullptr};
  std::mutex snapshotLock_;
  std::shared_ptr<const KeyedSnapshot> snapshot_;
  uint64_t snapshotVersion_ = 0;
};

}  // namespace cryptlib
