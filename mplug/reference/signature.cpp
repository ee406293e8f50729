#include "signature.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "algorithms.h"
#include "certificates.h"
#include "cms_io.h"
#include "errors.h"
#include "module.h"
#include "names.h"
#include "token.h"

namespace ref {
namespace {

void FreeCertificates(STACK_OF(X509) * certificates) {
  sk_X509_pop_free(certificates, X509_free);
}

using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OsslDeleter<X509_STORE_CTX_free>>;

HolderPtr Signer(Context& context, const char* signer) {
  if (signer == nullptr || *signer == '\0') return context.Own();
  HolderPtr holder = context.FindHolder(signer);
  if (!holder) Fail(kErrCertificateNotFound, signer);
  return holder;
}

std::string SignedData(Context& context, const Holder& signer, const void* data, int32_t length, bool detached) {
  std::shared_ptr<const ContainerKeys> keys = context.Keys();
  EVP_PKEY* key = context.KeyFor(*keys, signer);
  const EVP_MD* digest = SigningDigest(key, ChooseSignature(context.Param(kSignatureParam)));
  const unsigned flags = CMS_BINARY | CMS_PARTIAL | (detached ? CMS_DETACHED : 0u);
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!cms || CMS_add1_signer(cms.get(), signer.certificate.get(), key, digest, flags) == nullptr) {
    FailCrypto(kErrCrypto, "signer " + signer.subjectLine);
  }
  BioPtr content = MemoryBio(data, static_cast<size_t>(length));
  if (CMS_final(cms.get(), content.get(), nullptr, flags) != 1) {
    RethrowTokenFailure();  // a token key that could not sign (token pulled ...)
    FailCrypto(kErrCrypto, "signing");
  }
  return CmsDer(cms.get());
}

// Verification errors that have codes of their own.
int32_t ChainFailureCode(int error) {
  switch (error) {
    case X509_V_ERR_CERT_REVOKED:
      return kErrRevokedSigner;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return kErrSignerTime;
    default:
      return kErrUntrustedSigner;
  }
}

void CheckValidityPeriod(X509* certificate) {
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0 ||
      X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0) {
    Fail(kErrSignerTime, SubjectLine(X509_get_subject_name(certificate)));
  }
}

// Without authorities a list can still name the signer: one from the
// signer's issuer (by name) that lists its serial number refuses it.
void CheckListsByName(const TrustStore& trust, X509* certificate) {
  for (const X509CrlPtr& crl : trust.crls) {
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_issuer_name(certificate)) != 0) continue;
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(crl.get(), &entry, certificate) == 1) {
      Fail(kErrRevokedSigner, SubjectLine(X509_get_subject_name(certificate)));
    }
  }
}

// X509_V_OK when the certificate chains to an authority of the trust store.
int ChainError(const TrustStore& trust, X509* certificate, STACK_OF(X509) * untrusted, bool checkTime) {
  X509_STORE* store = checkTime ? trust.strict.get() : trust.ignoringTime.get();
  StoreCtxPtr chain(X509_STORE_CTX_new());
  if (!chain || X509_STORE_CTX_init(chain.get(), store, certificate, untrusted) != 1) {
    FailCrypto(kErrInternal, "certificate chain");
  }
  int error = X509_verify_cert(chain.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(chain.get());
  ERR_clear_error();
  return error;
}

// Whether the certificate is the very one filed for its holder (own, loaded
// or in the certificate directory): same issuer, serial number and key. A
// certificate with a filed holder's name but another key is not.
bool IsFiled(const std::vector<HolderPtr>& holders, X509* certificate) {
  for (const HolderPtr& holder : holders) {
    X509* filed = holder->certificate.get();
    if (X509_NAME_cmp(X509_get_issuer_name(filed), X509_get_issuer_name(certificate)) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(filed), X509_get0_serialNumber(certificate)) == 0 &&
        SameKey(X509_get0_pubkey(filed), X509_get0_pubkey(certificate))) {
      return true;
    }
  }
  return false;
}

constexpr char kNotTrusted[] =
    "the certificate neither chains to an authority of the CA directory nor is it the one filed for its holder; "
    "a certificate that comes only with the signed data is not trusted by itself";

// A signer is trusted when its certificate chains to an authority of the CA
// directory (with revocation by the lists), or when it is the certificate
// filed for that holder (then its own validity and the lists of its issuer
// are checked). Whatever the signed data carries is never enough by itself.
void CheckSigner(Context& context, const std::vector<HolderPtr>& known, X509* certificate, STACK_OF(X509) * untrusted,
                 bool checkTime) {
  std::shared_ptr<const TrustStore> trust = context.Trust();
  const bool filed = IsFiled(known, certificate);
  const std::string subject = SubjectLine(X509_get_subject_name(certificate));
  if (trust->hasAuthorities) {
    int error = ChainError(*trust, certificate, untrusted, checkTime);
    if (error == X509_V_OK) return;
    int32_t code = ChainFailureCode(error);
    // Revoked or out of time is final; an unknown issuer may still be a filed
    // certificate.
    if (code != kErrUntrustedSigner) Fail(code, subject + ": " + X509_verify_cert_error_string(error));
    if (!filed) Fail(kErrUntrustedSigner, subject + ": " + X509_verify_cert_error_string(error) + "; " + kNotTrusted);
  }
  if (!filed) Fail(kErrUntrustedSigner, subject + ": " + kNotTrusted);
  if (checkTime) CheckValidityPeriod(certificate);
  CheckListsByName(*trust, certificate);
}

CmsPtr SignedDataOf(const void* bytes, int32_t size) {
  CmsPtr cms = ParseCms(bytes, size > 0 ? static_cast<size_t>(size) : 0);
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) Fail(kErrNoSignature, "not CMS signed data");
  return cms;
}

// Where the signer's certificate is looked for and its chain built from: the
// context's own, loaded and directory certificates, and those the signed data
// carries. The stack only borrows them.
class CandidateCertificates {
 public:
  CandidateCertificates(Context& context, CMS_ContentInfo* cms)
      : holders_(context.KnownHolders()), carried_(CMS_get1_certs(cms)), stack_(sk_X509_new_null()) {
    if (!stack_) throw std::bad_alloc();
    for (const HolderPtr& holder : holders_) sk_X509_push(stack_.get(), holder->certificate.get());
    for (int i = 0; carried_ && i < sk_X509_num(carried_.get()); ++i) {
      sk_X509_push(stack_.get(), sk_X509_value(carried_.get(), i));
    }
  }
  STACK_OF(X509) * stack() const { return stack_.get(); }
  const std::vector<HolderPtr>& known() const { return holders_; }

 private:
  std::vector<HolderPtr> holders_;
  std::unique_ptr<STACK_OF(X509), OsslDeleter<FreeCertificates>> carried_;
  X509StackPtr stack_;
};

int32_t SignatureFailureCode() {
  switch (ERR_GET_REASON(ERR_peek_last_error())) {
    case CMS_R_SIGNER_CERTIFICATE_NOT_FOUND:
      return kErrCertificateNotFound;
    case CMS_R_NO_CONTENT:
      return kErrNoSignature;
    default:
      return kErrBadSignature;
  }
}

}  // namespace

int32_t Sign(Context& context, const void* data, int32_t length, void* signature, int32_t* signatureLength,
             const char* signer) {
  if (data == nullptr || length < 0 || signatureLength == nullptr) Fail(kErrBadArguments, "data or length");
  HolderPtr holder = Signer(context, signer);
  bool detached = signature != nullptr;
  std::string signedData = SignedData(context, *holder, data, length, detached);
  size_t growth = detached ? signedData.size() : signedData.size() - static_cast<size_t>(length);
  if (growth > static_cast<size_t>(kMaxSignatureLength)) {
    Fail(kErrBufferTooSmall, "the signature takes " + std::to_string(growth) + " bytes");
  }
  if (detached) {
    int32_t capacity = *signatureLength > 0 ? *signatureLength : kMaxSignatureLength;
    Deliver(signedData, signature, capacity, signatureLength);
  } else {
    int32_t capacity = *signatureLength > 0 ? *signatureLength : length + kMaxSignatureLength;
    // Attached signatures replace the data in the caller's buffer.
    Deliver(signedData, const_cast<void*>(data), capacity, signatureLength);
  }
  return kOk;
}

int32_t Verify(Context& context, const void* data, int32_t* length, const void* signature, int32_t signatureLength,
               char* uid, bool checkTime) {
  if (data == nullptr || length == nullptr || *length < 0) Fail(kErrBadArguments, "data or length");
  bool detached = signature != nullptr;
  CmsPtr cms = detached ? SignedDataOf(signature, signatureLength) : SignedDataOf(data, *length);
  CandidateCertificates candidates(context, cms.get());
  BioPtr content = detached ? MemoryBio(data, static_cast<size_t>(*length)) : nullptr;
  BioPtr out = EmptyBio();
  // The signature itself is checked here; the signer's certificate below,
  // where its failures keep their own codes.
  const unsigned flags = CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY;
  if (CMS_verify(cms.get(), candidates.stack(), nullptr, content.get(), out.get(), flags) != 1) {
    FailCrypto(SignatureFailureCode(), "verification");
  }
  X509StackPtr signers(CMS_get0_signers(cms.get()));
  if (!signers || sk_X509_num(signers.get()) < 1) Fail(kErrNoSignature, "no signer");
  // Every signer must be trusted, not only the one reported.
  for (int i = 0; i < sk_X509_num(signers.get()); ++i) {
    CheckSigner(context, candidates.known(), sk_X509_value(signers.get(), i), candidates.stack(), checkTime);
  }
  X509* signer = sk_X509_value(signers.get(), 0);
  if (!detached) {
    // Attached: the content goes back to the start of the caller's buffer.
    std::string plain = BioText(out.get());
    std::memcpy(const_cast<void*>(data), plain.data(), plain.size());
    *length = static_cast<int32_t>(plain.size());
  }
  if (uid != nullptr) CopyText(context.NameOf(*MakeHolder(SharedCopy(signer))), uid, kMaxUidLength);
  return kOk;
}

}  // namespace ref
