// Identities, certificates, revocation lists and the texts about them.
#include <cstring>

#include "certificates.h"
#include "dumps.h"
#include "exports.h"
#include "guard.h"
#include "names.h"

using namespace ref;

namespace {

X509Ptr CertificateFromBytes(const void* data, int32_t length) {
  if (data == nullptr || length <= 0) Fail(kErrBadArguments, "certificate data");
  X509Ptr certificate = ParseCertificate(data, static_cast<size_t>(length));
  if (!certificate) Fail(kErrNotCertificate, std::to_string(length) + " bytes");
  return certificate;
}

int32_t IncludeCertificateFile(MPlugContext context, const char* fileName) {
  return OnContext(context, [&](Context& open) {
    open.AddLoaded(ReadCertificateFile(fileName != nullptr ? fileName : "", kErrCertificateNotFound));
    return kOk;
  });
}

}  // namespace

extern "C" {

int32_t MPLUG_CALL GetCurrentUID(MPlugContext context, char* uid) {
  return OnContext(context, [&](Context& open) {
    if (uid == nullptr) Fail(kErrBadArguments, "UID buffer");
    CopyText(open.NameOf(*open.Own()), uid, kMaxUidLength);
    return kOk;
  });
}

int32_t MPLUG_CALL IncludePublicKey(MPlugContext context, const char* fileName) {
  return IncludeCertificateFile(context, fileName);
}

int32_t MPLUG_CALL IncludePublicEncodeKey(MPlugContext context, const char* fileName) {
  return IncludeCertificateFile(context, fileName);
}

int32_t MPLUG_CALL LoadCertificate(MPlugContext context, const void* data, int32_t length) {
  return OnContext(context, [&](Context& open) {
    open.AddLoaded(CertificateFromBytes(data, length));
    return kOk;
  });
}

// The certificate in PEM; *length is the capacity on entry (0 or less:
// GetMaxCertificateLength + GetMaxCertInfoLength, as the engine sizes it).
int32_t MPLUG_CALL GetCertificateByUID(MPlugContext context, const char* uid, void* certificate, int32_t* length) {
  return OnContext(context, [&](Context& open) {
    if (uid == nullptr || certificate == nullptr || length == nullptr) Fail(kErrBadArguments, "UID or buffer");
    HolderPtr holder = open.FindHolder(uid);
    if (!holder) Fail(kErrCertificateNotFound, uid);
    std::string pem = CertificatePem(holder->certificate.get());
    int32_t capacity = *length > 0 ? *length : kMaxCertificateLength + kMaxCertInfoLength;
    if (pem.size() + 1 > static_cast<size_t>(capacity)) Fail(kErrBufferTooSmall, std::to_string(pem.size() + 1));
    std::memcpy(certificate, pem.c_str(), pem.size() + 1);  // terminated, the zero not counted
    *length = static_cast<int32_t>(pem.size());
    return kOk;
  });
}

int32_t MPLUG_CALL GetCertInfo(MPlugContext context, const void* certificate, int32_t length, char* info) {
  return OnContext(context, [&](Context&) {
    if (info == nullptr) Fail(kErrBadArguments, "text buffer");
    std::string dump = CertificateDump(CertificateFromBytes(certificate, length).get());
    if (dump.size() >= static_cast<size_t>(kMaxCertInfoLength)) Fail(kErrBufferTooSmall, "certificate dump");
    CopyText(dump, info, kMaxCertInfoLength);
    return kOk;
  });
}

int32_t MPLUG_CALL GetCertInfoEx(MPlugContext context, const void* certificate, int32_t length, MPlugCertInfo* info) {
  return OnContext(context, [&](Context&) {
    if (info == nullptr) Fail(kErrBadArguments, "record");
    FillCertInfo(CertificateFromBytes(certificate, length).get(), info);
    return kOk;
  });
}

int32_t MPLUG_CALL FreeCertInfo(MPlugContext, MPlugCertInfo* info) {
  if (info != nullptr) ReleaseCertInfo(info);
  return kOk;
}

int32_t MPLUG_CALL GetReqInfo(MPlugContext context, const void* request, int32_t length, MPlugReqInfo* info) {
  return OnContext(context, [&](Context&) {
    if (info == nullptr || request == nullptr || length <= 0) Fail(kErrBadArguments, "request or record");
    X509ReqPtr parsed = ParseRequest(request, static_cast<size_t>(length));
    if (!parsed) Fail(kErrNotRequest, std::to_string(length) + " bytes");
    FillReqInfo(parsed.get(), info);
    return kOk;
  });
}

int32_t MPLUG_CALL FreeReqInfo(MPlugContext, MPlugReqInfo* info) {
  if (info != nullptr) ReleaseReqInfo(info);
  return kOk;
}

// The issuer's subject line; an empty text when the file is not a list.
int32_t MPLUG_CALL GetCRLIssuerName(MPlugContext context, const char* crlFile, char* issuer) {
  if (issuer != nullptr) *issuer = '\0';
  return OnContext(context, [&](Context&) {
    if (issuer == nullptr) Fail(kErrBadArguments, "text buffer");
    X509CrlPtr crl = ReadCrlFile(crlFile != nullptr ? crlFile : "");
    CopyText(SubjectLine(X509_CRL_get_issuer(crl.get())), issuer, kMaxParamValueLength);
    return kOk;
  });
}

}  // extern "C"
