// Reading certificates, requests and revocation lists in PEM or DER form.
#pragma once

#include <string>
#include <vector>

#include "ossl.h"

namespace ref {

// nullptr when the bytes are neither a PEM nor a DER certificate.
X509Ptr ParseCertificate(const void* data, size_t size);
X509ReqPtr ParseRequest(const void* data, size_t size);
X509CrlPtr ParseCrl(const void* data, size_t size);

// The file named the engine's way; fails with missingCode when it cannot be
// read and with kErrNotCertificate / kErrNotRequest / kErrNotCrl when it is
// not one.
X509Ptr ReadCertificateFile(const std::string& path, int missingCode);
X509ReqPtr ReadRequestFile(const std::string& path);
X509CrlPtr ReadCrlFile(const std::string& path);

// Every certificate (or list) in the regular files of a directory; files that
// hold none are skipped. The directory is given natively.
std::vector<X509Ptr> CertificatesIn(const std::string& nativeDirectory);
std::vector<X509CrlPtr> CrlsIn(const std::string& nativeDirectory);

std::string CertificatePem(X509* certificate);

// Whether the certificate's public key is this key (or the request's key).
bool SameKey(const EVP_PKEY* a, const EVP_PKEY* b);

}  // namespace ref
