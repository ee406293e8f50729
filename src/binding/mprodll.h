// TMProDLL: an engine's binding to the vendor module of its variant, and the
// calls the engine makes through it.
//
// Construction loads the variant's module file once per process and copies
// the function table resolved for it; callers check Loaded() and Bound().
// Context-bound calls take the parameter snapshot, find or open a vendor
// context for it in the process-wide cache and call the vendor function with
// that context in front of the caller's arguments.
//
// Locks, always in this order: the call lock (only while the module is not
// thread-safe), then the cache lock. The load lock is only held briefly.
// Exceptions pass through with every lock released.
#pragma once

#include <cstdint>
#include <string>

#include "binding/crypto_dll.h"
#include "binding/error_text.h"
#include "binding/function_table.h"
#include "binding/param_snapshot.h"
#include "binding/pse_request.h"
#include "cryptlib.h"
#include "mplug.h"

namespace cryptlib {

class KeySetJournal;

// Results of the binding itself.
constexpr int32_t kBindingNotInitialized = CE_BIND_NOT_INITIALIZED;
constexpr int32_t kBindingNoContext = CE_BIND_NO_PRIVATE_KEY;
constexpr int32_t kBindingNotFinalized = CE_NOT_INITIALIZED;

class TMProDLL : public TCrypto_DLL {
 public:
  // Variant 0 (mplug.dll), 1 (mplugf.dll) or 2 (mplug2.dll); any other value
  // binds nothing.
  explicit TMProDLL(int32_t libVariant);
  // Closes the binding's own context; the module file stays loaded.
  ~TMProDLL() override;

  int32_t LibVariant() const { return libVariant_; }
  // The binding's own context, 0 until EnsureOwnContext opens it.
  MPlugContext Context() const { return context_; }
  // The vendor functions. Functions 1 to 7 and 21 (sizes, parameter count)
  // are called directly, without a lock or a context.
  const MPlugFunctions& Functions() const { return functions_; }
  // Vendor calls may run concurrently: variant above 0 and a module file
  // version above 1.0.0.0.
  bool ThreadSafe() const;
  // The module is the thread-safe 2.x generation.
  bool Is2x() const;

  // Holds the call lock for its lifetime unless the binding is thread-safe.
  // It remembers whether it locked, so a change of the thread-safe flag by
  // another file's load cannot unbalance the lock.
  class CallScope {
   public:
    explicit CallScope(const TMProDLL& binding);
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

   private:
    bool locked_;
  };

  // --- calls on a cached context: -6 when no context can be opened ---
  int32_t EncodeData(SnapshotRef snapshot, void* data, int32_t* length, const char* recipients);
  int32_t DecodeData(SnapshotRef snapshot, void* data, int32_t* length, char* uid);
  int32_t SignData(SnapshotRef snapshot, const void* data, int32_t length, void* signature, int32_t* signatureLength,
                   const char* signer);
  int32_t VerifyData(SnapshotRef snapshot, const void* data, int32_t* length, const void* signature,
                     int32_t signatureLength, char* uid);
  // -1 without any call when the module lacks the function.
  int32_t VerifyDataIgnoreTime(SnapshotRef snapshot, const void* data, int32_t* length, const void* signature,
                               int32_t signatureLength, char* uid);
  int32_t GetCurrentUID(SnapshotRef snapshot, char* uid);
  int32_t GetCertificateByUID(const ParamSnapshot& snapshot, const char* uid, void* certificate, int32_t* length);
  int32_t GetCertInfo(const ParamSnapshot& snapshot, const void* certificate, int32_t length, char* info);
  int32_t GetCRLIssuerName(const ParamSnapshot& snapshot, const char* crlFile, char* issuer);
  int32_t PSePrivateKeyBackup(const ParamSnapshot& snapshot, const char* mediaDirectory, char* text);
  int32_t CertificateAndPSePrivateKeysMatch(const ParamSnapshot& snapshot, const char* certificateFile,
                                            const char* keyDirectory, char* text);
  // False also when no context can be opened.
  bool CertificateAndRequestMatch(const ParamSnapshot& snapshot, const char* certificateFile, const char* requestFile);
  // Always 0; the text is the module's last error for the snapshot's context.
  int32_t GetLastErrorMessage(const ParamSnapshot& snapshot, char* text);
  // A generation the module answers with 0 is reported as -100.
  int32_t GenerateNewSEK(const ParamSnapshot& snapshot);
  int32_t GenerateNewSSK(const ParamSnapshot& snapshot);

  // Pushes a certificate into the live context of the snapshot (0 when there
  // is none). Without "LoadCertificate" the whole cache is cleared instead.
  int32_t LoadCertificateIntoContext(const ParamSnapshot& snapshot, const void* data, int32_t length);
  // The certificate (request) as key=value lines. -1 when the module lacks
  // the functions or no context can be opened; else the module's result, and
  // text is filled only on 0.
  int32_t CertInfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text);
  int32_t RequestInfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text);

  // --- calls on the binding's own context or without a context ---
  // The binding's own context, opened without parameters on first use.
  MPlugContext EnsureOwnContext();
  // The name of vendor parameter index (0-based); -6 without a context.
  int32_t GetParamName(int32_t index, char* name);
  int32_t MaxCertificateSize();
  int32_t MaxCertInfoSize();
  // The text of code in buffer (size bytes, zero-filled first): the binding's
  // own codes from its table, cut to exactly size bytes without terminator
  // when longer; others from the module when its file is loaded. Nothing for
  // code 0 or size below 1.
  void ErrorText(char* buffer, int32_t size, int32_t code);
  // A certificate request made on a private context that is closed afterwards
  // (the own certificate is set only when given; the title only for a
  // module of at least 24 parameters).
  int32_t RequestForPSE(const PseRequest& request);
  // Where the module's texts of failed context-bound calls go (nothing when
  // null); the log must outlive the binding.
  void SetErrorLog(VendorErrorLog* log) { errorLog_ = log; }

  // Sets every vendor parameter of context from the snapshot.
  void ApplyParameters(MPlugContext context, const ParamSnapshot& snapshot);
  // Closes every cached context.
  void ClearContexts();

  // --- key-set exchange (file names in keyset.cpp) ---
  // Replaces the active key set and certificate by the new ones, keeping the
  // previous files as ".old" backups. On false the active set is the previous
  // one, as before the call.
  // With a journal, the exchange's steps join a larger replacement whose
  // caller completes the journal; without, the exchange journals itself.
  bool ReplaceKeySet(const std::string& activeDirectory, const std::string& newDirectory,
                     const std::string& activeCertificate, const std::string& newCertificate,
                     KeySetJournal* journal = nullptr);
  bool ReplaceKeySetV2(const std::string& activeDirectory, const std::string& newDirectory,
                       const std::string& activeCertificate, const std::string& newCertificate,
                       KeySetJournal* journal = nullptr);

 private:
  // Runs call(context) on a live cached context for the snapshot, opening one
  // when there is none; noContextResult when none can be opened.
  // A non-zero answer of call is a failure whose text goes to the error log
  // unless noteFailure is false (answers that are not failures).
  // A keyed snapshot whose key was made for the module's present parameter
  // count lends its key and lifetime; other snapshots are keyed here.
  template <class Call>
  int32_t WithCachedContext(SnapshotRef snapshot, int32_t noContextResult, Call&& call, bool noteFailure = true);
  // Records the module's last error text of context in the error log.
  void NoteFailure(MPlugContext context);
  int32_t GenerateKey(const ParamSnapshot& snapshot, MPlug_GenerateNewSEK_Fn generate);
  template <class Info, class Fill, class Release, class Format>
  int32_t InfoText(const ParamSnapshot& snapshot, const void* data, int32_t length, std::string& text, Fill fill,
                   Release release, Format format);

  int32_t libVariant_;
  MPlugContext context_ = 0;
  MPlugFunctions functions_;
  VendorErrorLog* errorLog_ = nullptr;
};

}  // namespace cryptlib
