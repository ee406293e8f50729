// The size queries, error texts, context lifecycle and parameters.
#include <string>

#include "exports.h"
#include "guard.h"
#include "pin_source.h"
#include "platform/file_version.h"

// Above 1.0.0.0: the engine calls this module concurrently.
CRYPTLIB_FILE_VERSION(2, 0, 0, 0)

using namespace ref;

namespace {

// Names a host shows in its configuration dialog, by 0-based index.
constexpr const char* kParamNames[kParamCount] = {
    "OwnCertificate",     "CertificateDirectory",
    "KeyDirectory",       "EncryptionAlgorithm",
    "SignatureAlgorithm", "Reserved6",
    "PrivateKeyFile",     "PinSource",
    "RequestFile",        "TokenUri",
    "SubjectC",           "SubjectST",
    "SubjectL",           "SubjectO",
    "SubjectOU",          "SubjectCN",
    "SubjectE",           "TokenLibrary",
    "DefaultRecipients",  "UIDField",
    "TokenGeneration",    "ContextLifetime",
    "KeyMediaDirectory",  "SubjectT",
    "CADirectory",        "CRLDirectory",
    "Reserved27",
};

void CheckIndex(int32_t index) {
  if (index < 0 || index >= kParamCount) Fail(kErrParamIndex, std::to_string(index));
}

}  // namespace

extern "C" {

int32_t MPLUG_CALL GetMaxEncodeAddition(void) {
  return kMaxEncodeAddition;
}
int32_t MPLUG_CALL GetMaxSignatureLength(void) {
  return kMaxSignatureLength;
}
int32_t MPLUG_CALL GetMaxUIDLength(void) {
  return kMaxUidLength;
}
int32_t MPLUG_CALL GetMaxPasswordLength(void) {
  return kMaxPasswordLength;
}
int32_t MPLUG_CALL GetMaxCryptoParamNameLength(void) {
  return kMaxParamNameLength;
}
int32_t MPLUG_CALL GetMaxCryptoParamValueLength(void) {
  return kMaxParamValueLength;
}
int32_t MPLUG_CALL GetMaxErrorStringLength(void) {
  return kMaxErrorStringLength;
}
int32_t MPLUG_CALL GetMaxFileNameLength(void) {
  return kMaxFileNameLength;
}
int32_t MPLUG_CALL GetMaxCertificateLength(void) {
  return kMaxCertificateLength;
}
int32_t MPLUG_CALL GetMaxCertInfoLength(void) {
  return kMaxCertInfoLength;
}
int32_t MPLUG_CALL GetCryptoParamNumber(void) {
  return kParamCount;
}

int32_t MPLUG_CALL GetCryptoErrorString(int32_t code, char* text) {
  return WithoutContext([&] {
    if (text == nullptr) return kErrBadArguments;
    const char* known = ErrorText(code);
    CopyText(known != nullptr ? known : "Unknown error " + std::to_string(code), text, kMaxErrorStringLength);
    return known != nullptr ? kOk : kErrBadArguments;
  });
}

int32_t MPLUG_CALL GetLastErrorMessage(MPlugContext context, char* text) {
  if (text == nullptr) return kErrBadArguments;
  std::shared_ptr<Context> open = Contexts().Find(context);
  if (!open) {
    CopyText(ErrorText(kErrUnknownContext), text, kMaxErrorStringLength);
    return kErrUnknownContext;
  }
  return WithoutContext([&] {
    CopyText(open->LastError(), text, kMaxErrorStringLength);
    return kOk;
  });
}

// The module resolves every path it is given; the root serves only to expand
// "%QamRoot%" in file: PIN sources. The host's password callback is not used:
// the passphrase of a key container comes from parameter 8 (pin_source.h).
int32_t MPLUG_CALL SetRootPath(const char* root) {
  SetModuleRoot(root != nullptr ? root : "");
  return kOk;
}
int32_t MPLUG_CALL SetPasswordRequestFunc(void*) {
  return kOk;
}

// 0 (no context) when even that fails.
MPlugContext MPLUG_CALL InitCrypto(void) {
  try {
    return Contexts().Open();
  } catch (...) {
    return 0;
  }
}

int32_t MPLUG_CALL DoneCrypto(MPlugContext context) {
  return Contexts().Close(context) ? kOk : kErrUnknownContext;
}

int32_t MPLUG_CALL GetCryptoParamName(MPlugContext context, int32_t index, char* name) {
  return OnContext(context, [&](Context&) {
    CheckIndex(index);
    if (name == nullptr) Fail(kErrBadArguments, "name buffer");
    CopyText(kParamNames[index], name, kMaxParamNameLength);
    return kOk;
  });
}

int32_t MPLUG_CALL GetCryptoParamValue(MPlugContext context, int32_t index, char* value) {
  return OnContext(context, [&](Context& open) {
    CheckIndex(index);
    if (value == nullptr) Fail(kErrBadArguments, "value buffer");
    CopyText(open.Param(index), value, kMaxParamValueLength);
    return kOk;
  });
}

int32_t MPLUG_CALL SetCryptoParamValue(MPlugContext context, int32_t index, const char* value) {
  return OnContext(context, [&](Context& open) {
    open.SetParam(index, value != nullptr ? value : "");
    return kOk;
  });
}

}  // extern "C"

// Every export has exactly the engine's pointer type.
MPLUG_FUNCTION_LIST(MPLUG_CHECK_SIGNATURE)
