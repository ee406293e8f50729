// The current user, certificate lookups, dumps, revocation lists.
#include <cstring>
#include <string>

#include "call_guard.h"
#include "dumps.h"
#include "fake_module.h"
#include "identities.h"
#include "info_ops.h"
#include "paths.h"

using namespace fake;

extern "C" {

int32_t MPLUG_CALL GetCurrentUID(MPlugContext context, char* uid) {
  return LoggedCall("GetCurrentUID", Args().Int(context).Buffer(uid), [&] {
    return OnContext(context, [&](Context& c) {
      if (uid == nullptr) return c.Fail(kErrBadArguments);
      std::optional<Certificate> own = OwnCertificate(c);
      if (!own) return c.Fail(kErrNoOwnCertificate, c.Param(kParamOwnCertificate));
      CopyText(uid, kMaxUidLength, IdentityOf(c, *own));
      return 0;
    });
  });
}

int32_t MPLUG_CALL GetCertificateByUID(MPlugContext context, const char* uid, void* certificate, int32_t* length) {
  return LoggedCall("GetCertificateByUID", Args().Int(context).Text(uid).Buffer(certificate).Length(length), [&] {
    return OnContext(context, [&](Context& c) {
      if (uid == nullptr || certificate == nullptr || length == nullptr) return c.Fail(kErrBadArguments);
      std::optional<FoundCertificate> found = FindCertificate(c, uid);
      if (!found) return c.Fail(kErrCertificateNotFound, uid);
      bool fits = *length >= 0 && static_cast<size_t>(*length) >= found->text.size();
      *length = static_cast<int32_t>(found->text.size());
      if (!fits) return c.Fail(kErrBufferTooSmall);
      std::memcpy(certificate, found->text.data(), found->text.size());
      return 0;
    });
  });
}

int32_t MPLUG_CALL GetCertInfo(MPlugContext context, const void* certificate, int32_t length, char* info) {
  return LoggedCall("GetCertInfo", Args().Int(context).Buffer(certificate).Int(length).Buffer(info), [&] {
    return OnContext(context, [&](Context& c) {
      if (info == nullptr) return c.Fail(kErrBadArguments);
      std::optional<Certificate> parsed = ParseBytes<Certificate>(certificate, length, ParseCertificate);
      if (!parsed) return c.Fail(kErrBadCertificate);
      CopyText(info, kMaxCertInfoLength, CertificateDump(*parsed));
      return 0;
    });
  });
}

int32_t MPLUG_CALL GetCRLIssuerName(MPlugContext context, const char* crlFile, char* issuer) {
  return LoggedCall("GetCRLIssuerName", Args().Int(context).Text(crlFile).Buffer(issuer), [&] {
    return OnContext(context, [&](Context& c) {
      if (crlFile == nullptr || issuer == nullptr) return c.Fail(kErrBadArguments);
      CopyText(issuer, kMaxParamValueLength, "");
      std::string text;
      if (!ReadWholeFile(crlFile, text)) return c.Fail(kErrBadCrl, crlFile);
      std::optional<std::string> name = ParseCrlIssuer(text);
      if (!name) return c.Fail(kErrBadCrl, crlFile);
      CopyText(issuer, kMaxParamValueLength, *name);
      return 0;
    });
  });
}

int32_t MPLUG_CALL KeysRenewal(MPlugContext context) {
  // Certificates and keys are read afresh by every call, so there is nothing
  // to renew; the call is only recorded.
  return LoggedCall("KeysRenewal", Args().Int(context), [&] { return OnContext(context, [](Context&) { return 0; }); });
}

int32_t MPLUG_CALL IncludePublicKey(MPlugContext context, const char* fileName) {
  return LoggedCall("IncludePublicKey", Args().Int(context).Text(fileName),
                    [&] { return OnContext(context, [&](Context& c) { return LoadCertificateFile(c, fileName); }); });
}

int32_t MPLUG_CALL IncludePublicEncodeKey(MPlugContext context, const char* fileName) {
  return LoggedCall("IncludePublicEncodeKey", Args().Int(context).Text(fileName),
                    [&] { return OnContext(context, [&](Context& c) { return LoadCertificateFile(c, fileName); }); });
}

}  // extern "C"
