// Owning pointers for the OpenSSL objects the module keeps, and memory BIOs.
#pragma once

// pem.h before cms.h, which declares its PEM functions only when pem.h came first.
#include <openssl/pem.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace ref {

template <auto Free>
struct OsslDeleter {
  template <class T>
  void operator()(T* object) const {
    Free(object);
  }
};

// The stack only: the certificates in it belong to someone else.
inline void FreeCertificateStack(STACK_OF(X509) * certificates) {
  sk_X509_free(certificates);
}

using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, OsslDeleter<X509_CRL_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, OsslDeleter<X509_REQ_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OsslDeleter<X509_NAME_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OsslDeleter<X509_STORE_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OsslDeleter<CMS_ContentInfo_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OsslDeleter<FreeCertificateStack>>;

// A read-only BIO over bytes that must outlive it.
inline BioPtr MemoryBio(const void* data, size_t size) {
  return BioPtr(BIO_new_mem_buf(data, static_cast<int>(size)));
}
inline BioPtr MemoryBio(const std::string& data) {
  return MemoryBio(data.data(), data.size());
}
inline BioPtr EmptyBio() {
  return BioPtr(BIO_new(BIO_s_mem()));
}

// Everything written to a memory BIO.
inline std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

inline X509Ptr SharedCopy(X509* certificate) {
  X509_up_ref(certificate);
  return X509Ptr(certificate);
}

}  // namespace ref
