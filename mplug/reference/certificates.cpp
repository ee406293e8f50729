#include "certificates.h"

#include <openssl/pem.h>

#include "errors.h"
#include "files.h"
#include "module.h"

namespace ref {
namespace {

// Tries PEM, then DER; parse failures stay out of the error queue so that a
// later real failure reports its own cause.
template <class T, class PemReader, class DerReader>
T* ParseEither(const void* data, size_t size, PemReader pem, DerReader der) {
  if (data == nullptr || size == 0) return nullptr;
  BioPtr bio = MemoryBio(data, size);
  T* object = pem(bio.get(), nullptr, nullptr, nullptr);
  if (object == nullptr) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    object = der(nullptr, &bytes, static_cast<long>(size));
  }
  ERR_clear_error();
  return object;
}

std::string ReadOrFail(const std::string& path, int missingCode, size_t maxBytes) {
  std::string native = RequirePath(path, missingCode);
  std::string reason;
  std::optional<std::string> contents = ReadWholeFile(native, maxBytes, &reason);
  if (!contents) Fail(missingCode, "cannot read " + path + ": " + reason);
  return *contents;
}

}  // namespace

X509Ptr ParseCertificate(const void* data, size_t size) {
  return X509Ptr(ParseEither<X509>(data, size, PEM_read_bio_X509, d2i_X509));
}

X509ReqPtr ParseRequest(const void* data, size_t size) {
  return X509ReqPtr(ParseEither<X509_REQ>(data, size, PEM_read_bio_X509_REQ, d2i_X509_REQ));
}

X509CrlPtr ParseCrl(const void* data, size_t size) {
  return X509CrlPtr(ParseEither<X509_CRL>(data, size, PEM_read_bio_X509_CRL, d2i_X509_CRL));
}

X509Ptr ReadCertificateFile(const std::string& path, int missingCode) {
  std::string contents = ReadOrFail(path, missingCode, kMaxCertificateFileBytes);
  X509Ptr certificate = ParseCertificate(contents.data(), contents.size());
  if (!certificate) Fail(kErrNotCertificate, path);
  return certificate;
}

X509ReqPtr ReadRequestFile(const std::string& path) {
  std::string contents = ReadOrFail(path, kErrRequestFile, kMaxCertificateFileBytes);
  X509ReqPtr request = ParseRequest(contents.data(), contents.size());
  if (!request) Fail(kErrNotRequest, path);
  return request;
}

X509CrlPtr ReadCrlFile(const std::string& path) {
  std::string contents = ReadOrFail(path, kErrNotCrl, kMaxCrlFileBytes);
  X509CrlPtr crl = ParseCrl(contents.data(), contents.size());
  if (!crl) Fail(kErrNotCrl, path);
  return crl;
}

std::vector<X509Ptr> CertificatesIn(const std::string& nativeDirectory) {
  std::vector<X509Ptr> certificates;
  for (const std::string& file : FilesIn(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file, kMaxCertificateFileBytes);
    if (!contents) continue;
    if (X509Ptr certificate = ParseCertificate(contents->data(), contents->size())) {
      certificates.push_back(std::move(certificate));
    }
  }
  return certificates;
}

std::vector<X509CrlPtr> CrlsIn(const std::string& nativeDirectory) {
  std::vector<X509CrlPtr> crls;
  for (const std::string& file : FilesIn(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file, kMaxCrlFileBytes);
    if (!contents) continue;
    if (X509CrlPtr crl = ParseCrl(contents->data(), contents->size())) crls.push_back(std::move(crl));
  }
  return crls;
}

std::string CertificatePem(X509* certificate) {
  BioPtr out = EmptyBio();
  if (PEM_write_bio_X509(out.get(), certificate) != 1) FailCrypto(kErrCrypto, "PEM encoding of a certificate");
  return BioText(out.get());
}

bool SameKey(const EVP_PKEY* a, const EVP_PKEY* b) {
  bool same = a != nullptr && b != nullptr && EVP_PKEY_eq(a, b) == 1;
  ERR_clear_error();
  return same;
}

}  // namespace ref
