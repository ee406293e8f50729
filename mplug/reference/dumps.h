// Texts and records about certificates and requests.
#pragma once

#include <string>

#include "mplug.h"
#include "ossl.h"

namespace ref {

// The dump X509_print_ex writes with compatible names ("C=RU, O=Bank, CN=A").
std::string CertificateDump(X509* certificate);

// The records of mplug.h, their texts allocated with malloc; the Free
// functions release them and null the pointers (harmless on a zeroed record).
void FillCertInfo(X509* certificate, MPlugCertInfo* info);
void ReleaseCertInfo(MPlugCertInfo* info);
void FillReqInfo(X509_REQ* request, MPlugReqInfo* info);
void ReleaseReqInfo(MPlugReqInfo* info);

// "DD.MM.YYYY hh:mm:ss" (UTC).
std::string FormatTime(const ASN1_TIME* time);

}  // namespace ref
