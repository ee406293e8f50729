#include "generation.h"

#include <openssl/objects.h>
#include <openssl/pem.h>

#include <algorithm>
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
#include "token.h"

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
    RethrowTokenFailure();
    FailCrypto(kErrKeyGeneration, "certificate request");
  }
  BioPtr out = EmptyBio();
  if (PEM_write_bio_X509_REQ(out.get(), request.get()) != 1) FailCrypto(kErrKeyGeneration, "request encoding");
  return BioText(out.get());
}

// Two generations into one new directory must not make two master keys.
std::mutex& ContainerCreation() {
  static std::mutex mutex;
  return mutex;
}

void WriteRequest(const std::string& requestPath, const std::string& request) {
  std::filesystem::path parent = std::filesystem::path(requestPath).parent_path();
  if (!parent.empty()) {
    MakeDirectories(parent.string());
    RemoveStaleTemporaries(parent.string());
  }
  WriteWholeFile(requestPath, request, Visibility::kPublic);
}

// The token a new key goes to: parameter 10, else the token of the
// container's references (a remote replacement stays on the user's token).
std::string TargetToken(const Context& context, const std::string& directory) {
  std::string uri = context.Param(kTokenUri);
  if (!uri.empty()) return uri;
  std::vector<std::string> references =
      IsDirectory(directory) ? TokenReferences(directory) : std::vector<std::string>();
  if (references.empty()) Fail(kErrTokenAbsent, "parameter 10 names no token and the container refers to none");
  return TokenOf(references.back());
}

// The key pair on the token, the request signed there, the reference in the
// container. Everything that can refuse (a container of key files, the
// token, the PIN) refuses before a file is written; a key pair made for a
// generation that fails later is removed from the token again. A URI in
// parameter 10 that names a key object takes that key pair instead of
// making one (a key imported, or put on the token by the bank).
void GenerateOnToken(const Context& context, const std::string& directory, const std::string& requestPath,
                     X509_NAME* subject, const SignatureChoice& choice) {
  if (IsDirectory(directory)) RequireOnlyKind(directory, true);
  const TokenAccess access{context.Param(kTokenLibrary), context.Param(kPinSource), directory};
  const std::string target = TargetToken(context, directory);
  const bool adopting = NamesKeyObject(target);
  GeneratedTokenKey generated =
      adopting ? AdoptTokenKey(target, access) : GenerateTokenKey(target, choice.keyKind, access);
  try {
    std::string request = RequestPem(subject, generated.key.get(), SigningDigest(generated.key.get(), choice));
    {
      std::lock_guard lock(ContainerCreation());
      OpenOrCreateContainer(directory);
      StoreReference(directory, generated.key.get(), generated.uri);
    }
    WriteRequest(requestPath, request);
  } catch (const Failure&) {
    std::vector<std::string> kept = IsDirectory(directory) ? TokenReferences(directory) : std::vector<std::string>();
    if (!adopting && std::find(kept.begin(), kept.end(), generated.uri) == kept.end()) {
      DestroyTokenKey(generated.uri, access);
    }
    throw;
  }
}

// Parameter 21 "1" asks for the key pair on the token. The engine empties
// parameter 21 for its own generations, so a token named in parameter 10, or
// a container that already refers to token keys (a remote replacement works
// on a copy of it), asks for it too: such a container takes no key file.
bool GenerationOnToken(const Context& context, const std::string& directory) {
  return context.Param(kTokenGeneration) == "1" || IsTokenReference(context.Param(kTokenUri)) ||
         (IsDirectory(directory) && !TokenReferences(directory).empty());
}

}  // namespace

std::string GenerateKeyAndRequest(Context& context, const std::string& keyDirectory, const std::string& requestFile) {
  if (keyDirectory.empty()) Fail(kErrKeyDirectory, "no key directory given");
  if (requestFile.empty()) Fail(kErrRequestFile, "parameter 9 is empty");
  std::string directory = RequirePath(keyDirectory, kErrKeyDirectory);
  std::string requestPath = RequirePath(requestFile, kErrRequestFile);
  X509NamePtr subject = RequestSubject(context);
  SignatureChoice choice = ChooseSignature(context.Param(kSignatureParam));
  if (GenerationOnToken(context, directory)) {
    GenerateOnToken(context, directory, requestPath, subject.get(), choice);
  } else {
    if (IsDirectory(directory)) RequireOnlyKind(directory, false);
    PkeyPtr key = GenerateKeyPair(choice);
    std::string request = RequestPem(subject.get(), key.get(), SigningDigest(key.get(), choice));
    {
      std::lock_guard lock(ContainerCreation());
      StoreKey(directory, OpenOrCreateContainer(directory), key.get(), context.Param(kPinSource));
    }
    WriteRequest(requestPath, request);
  }
  context.ForgetKeys();
  return directory;
}

bool CertificateFitsRequest(const std::string& certificateFile, const std::string& requestFile) {
  X509Ptr certificate = ReadCertificateFile(certificateFile, kErrCertificateNotFound);
  X509ReqPtr request = ReadRequestFile(requestFile);
  return SameKey(X509_get0_pubkey(certificate.get()), X509_REQ_get0_pubkey(request.get()));
}

std::string ContainerKeyFor(const std::string& certificateFile, const std::string& keyDirectory,
                            const std::string& pinSource, const std::string& tokenLibrary) {
  X509Ptr certificate = ReadCertificateFile(certificateFile, kErrCertificateNotFound);
  ContainerKeys container = LoadContainerKeys(RequirePath(keyDirectory, kErrKeyDirectory), pinSource, tokenLibrary);
  EVP_PKEY* key = FindKey(container, X509_get0_pubkey(certificate.get()));
  if (key == nullptr && container.passphraseFailure) throw *container.passphraseFailure;
  if (key == nullptr && container.tokenFailure) throw *container.tokenFailure;
  for (size_t i = 0; key != nullptr && i < container.keys.size(); ++i) {
    if (container.keys[i].get() == key) return container.files[i];
  }
  return {};
}

}  // namespace ref
