#include "generation.h"

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

#include "algorithms.h"
#include "certificates.h"
#include "errors.h"
#include "file_writes.h"
#include "files.h"
#include "key_container.h"
#include "module.h"
#include "names.h"

namespace ref {
namespace {

X509NamePtr RequestSubject(const Context& context) {
  std::vector<std::pair<int, std::string>> entries = {
      {NID_countryName, context.Param(kSubjectCountry)},
      {NID_stateOrProvinceName, context.Param(kSubjectState)},
      {NID_localityName, context.Param(kSubjectLocality)},
      {NID_organizationName, context.Param(kSubjectOrganisation)},
      {NID_organizationalUnitName, context.Param(kSubjectUnit)},
      {NID_title, context.Param(kSubjectTitle)},
      {NID_commonName, context.Param(kSubjectCommonName)},
      {NID_pkcs9_emailAddress, context.Param(kSubjectEmail)},
  };
  X509NamePtr name = BuildName(entries);
  if (X509_NAME_entry_count(name.get()) == 0) Fail(kErrEmptySubject, "parameters 11 to 17 and 24 are empty");
  return name;
}

std::string RequestPem(X509_NAME* subject, EVP_PKEY* key, const EVP_MD* digest) {
  X509ReqPtr request(X509_REQ_new());
  if (!request || X509_REQ_set_version(request.get(), 0) != 1 ||
      X509_REQ_set_subject_name(request.get(), subject) != 1 || X509_REQ_set_pubkey(request.get(), key) != 1 ||
      X509_REQ_sign(request.get(), key, digest) <= 0) {
    FailCrypto(kErrKeyGeneration, "certificate request");
  }
  BioPtr out = EmptyBio();
  if (PEM_write_bio_X509_REQ(out.get(), request.get()) != 1) FailCrypto(kErrKeyGeneration, "request encoding");
  return BioText(out.get());
}

}  // namespace

std::string GenerateKeyAndRequest(Context& context, const std::string& keyDirectory, const std::string& requestFile) {
  if (keyDirectory.empty()) Fail(kErrKeyDirectory, "no key directory given");
  if (requestFile.empty()) Fail(kErrRequestFile, "parameter 9 is empty");
  std::string directory = RequirePath(keyDirectory, kErrKeyDirectory);
  std::string requestPath = RequirePath(requestFile, kErrRequestFile);
  X509NamePtr subject = RequestSubject(context);
  SignatureChoice choice = ChooseSignature(context.Param(kSignatureParam));
  PkeyPtr key = GenerateKeyPair(choice);
  std::string request = RequestPem(subject.get(), key.get(), SigningDigest(key.get(), choice));
  {
    // Two generations into one new directory must not make two master keys.
    static std::mutex containerCreation;
    std::lock_guard lock(containerCreation);
    StoreKey(directory, OpenOrCreateContainer(directory), key.get(), context.Param(kPinSource));
  }
  std::filesystem::path parent = std::filesystem::path(requestPath).parent_path();
  if (!parent.empty()) {
    MakeDirectories(parent.string());
    RemoveStaleTemporaries(parent.string());
  }
  WriteWholeFile(requestPath, request, Visibility::kPublic);
  context.ForgetKeys();
  return directory;
}

bool CertificateFitsRequest(const std::string& certificateFile, const std::string& requestFile) {
  X509Ptr certificate = ReadCertificateFile(certificateFile, kErrCertificateNotFound);
  X509ReqPtr request = ReadRequestFile(requestFile);
  return SameKey(X509_get0_pubkey(certificate.get()), X509_REQ_get0_pubkey(request.get()));
}

std::string ContainerKeyFor(const std::string& certificateFile, const std::string& keyDirectory,
                            const std::string& pinSource) {
  X509Ptr certificate = ReadCertificateFile(certificateFile, kErrCertificateNotFound);
  ContainerKeys container = LoadContainerKeys(RequirePath(keyDirectory, kErrKeyDirectory), pinSource);
  EVP_PKEY* key = FindKey(container, X509_get0_pubkey(certificate.get()));
  if (key == nullptr && container.passphraseFailure) throw *container.passphraseFailure;
  for (size_t i = 0; key != nullptr && i < container.keys.size(); ++i) {
    if (container.keys[i].get() == key) return container.files[i];
  }
  return {};
}

}  // namespace ref
