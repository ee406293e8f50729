// Readable descriptions of certificates and requests: the text dumps in the
// layout of "openssl x509 -text -noout -nameopt compat" and "openssl req
// -text -noout -nameopt compat", and the information records of mplug.h.
#pragma once

#include <string>

#include "mplug.h"
#include "records.h"

namespace fake {

std::string CertificateDump(const Certificate& certificate);
std::string RequestDump(const Request& request);

// Fill the records with texts allocated by the module; the Free functions
// release exactly those and zero the pointers.
void FillCertInfo(const Certificate& certificate, MPlugCertInfo& info);
void FreeCertInfoTexts(MPlugCertInfo& info);
void FillReqInfo(const Request& request, MPlugReqInfo& info);
void FreeReqInfoTexts(MPlugReqInfo& info);

}  // namespace fake
