// The size queries, error texts, context lifecycle and parameters.
#include <mutex>
#include <string>

#include "call_guard.h"
#include "fake_module.h"
#include "identities.h"

using namespace fake;

namespace {

bool ValidIndex(int32_t index) {
  return index >= 0 && index < ThisFlavour().paramCount;
}

}  // namespace

extern "C" {

int32_t MPLUG_CALL GetMaxEncodeAddition(void) {
  static const QueryLine query("GetMaxEncodeAddition", kMaxEncodeAddition);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxSignatureLength(void) {
  static const QueryLine query("GetMaxSignatureLength", kMaxSignatureLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxUIDLength(void) {
  static const QueryLine query("GetMaxUIDLength", kMaxUidLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxPasswordLength(void) {
  static const QueryLine query("GetMaxPasswordLength", kMaxPasswordLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxCryptoParamNameLength(void) {
  static const QueryLine query("GetMaxCryptoParamNameLength", kMaxParamNameLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxCryptoParamValueLength(void) {
  static const QueryLine query("GetMaxCryptoParamValueLength", kMaxParamValueLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxErrorStringLength(void) {
  static const QueryLine query("GetMaxErrorStringLength", kMaxErrorStringLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetMaxFileNameLength(void) {
  static const QueryLine query("GetMaxFileNameLength", kMaxFileNameLength);
  return AnswerQuery(query);
}
int32_t MPLUG_CALL GetCryptoParamNumber(void) {
  static const QueryLine query("GetCryptoParamNumber", ThisFlavour().paramCount);
  return AnswerQuery(query);
}
// These two are called under the engine's call lock, so they count.
int32_t MPLUG_CALL GetMaxCertificateLength(void) {
  return LoggedCall("GetMaxCertificateLength", Args(), [] { return kMaxCertificateLength; });
}
int32_t MPLUG_CALL GetMaxCertInfoLength(void) {
  return LoggedCall("GetMaxCertInfoLength", Args(), [] { return kMaxCertInfoLength; });
}

int32_t MPLUG_CALL GetCryptoErrorString(int32_t code, char* text) {
  return LoggedCall("GetCryptoErrorString", Args().Int(code).Buffer(text), [&] {
    if (text == nullptr) return static_cast<int32_t>(kErrBadArguments);
    const char* known = ErrorText(code);
    CopyText(text, kMaxErrorStringLength, known != nullptr ? known : "Unknown error " + std::to_string(code));
    return 0;
  });
}

int32_t MPLUG_CALL GetLastErrorMessage(MPlugContext context, char* text) {
  return LoggedCall("GetLastErrorMessage", Args().Int(context).Buffer(text), [&] {
    std::shared_ptr<Context> found = Contexts().Find(context);
    CopyText(text, kMaxErrorStringLength, found ? found->LastError() : ErrorText(kErrUnknownContext));
    return found ? 0 : static_cast<int32_t>(kErrUnknownContext);
  });
}

int32_t MPLUG_CALL SetPasswordRequestFunc(void* requestFunc) {
  // The module never asks for a password; the callback is only accepted.
  return LoggedCall("SetPasswordRequestFunc", Args().Buffer(requestFunc), [] { return 0; });
}

MPlugContext MPLUG_CALL InitCrypto(void) {
  return LoggedCall("InitCrypto", Args(), [] { return Contexts().Open(ThisFlavour().paramCount); });
}

int32_t MPLUG_CALL DoneCrypto(MPlugContext context) {
  return LoggedCall("DoneCrypto", Args().Int(context),
                    [&] { return Contexts().Close(context) ? 0 : static_cast<int32_t>(kErrUnknownContext); });
}

int32_t MPLUG_CALL GetCryptoParamName(MPlugContext context, int32_t index, char* name) {
  return LoggedCall("GetCryptoParamName", Args().Int(context).Int(index).Buffer(name), [&] {
    return OnContext(context, [&](Context& c) {
      if (name == nullptr) return c.Fail(kErrBadArguments);
      if (!ValidIndex(index)) return c.Fail(kErrBadParamIndex, std::to_string(index));
      CopyText(name, kMaxParamNameLength, "Param" + std::to_string(index + 1));
      return 0;
    });
  });
}

int32_t MPLUG_CALL GetCryptoParamValue(MPlugContext context, int32_t index, char* value) {
  return LoggedCall("GetCryptoParamValue", Args().Int(context).Int(index).Buffer(value), [&] {
    return OnContext(context, [&](Context& c) {
      if (value == nullptr) return c.Fail(kErrBadArguments);
      if (!ValidIndex(index)) return c.Fail(kErrBadParamIndex, std::to_string(index));
      CopyText(value, kMaxParamValueLength, c.Param(index));
      return 0;
    });
  });
}

int32_t MPLUG_CALL SetCryptoParamValue(MPlugContext context, int32_t index, const char* value) {
  return LoggedCall("SetCryptoParamValue", Args().Int(context).Int(index).Text(value), [&] {
    return OnContext(context, [&](Context& c) {
      if (value == nullptr) return c.Fail(kErrBadArguments);
      return c.SetParam(index, value) ? 0 : c.Fail(kErrBadParamIndex, std::to_string(index));
    });
  });
}

}  // extern "C"
