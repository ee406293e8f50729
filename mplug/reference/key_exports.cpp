// Key generation, requests and the checks between certificates and keys.
#include <filesystem>

#include "certificates.h"
#include "exports.h"
#include "files.h"
#include "generation.h"
#include "guard.h"
#include "key_container.h"

using namespace ref;

namespace {

// GenerateNewSEK and GenerateNewSSK make the same thing: one key pair serves
// for signing and encryption. The key directory is parameter 3, else the key
// media directory (parameter 23); the directory used goes into the text.
int32_t GenerateFromParameters(MPlugContext context, char* text) {
  return OnContext(context, [&](Context& open) {
    std::string directory = open.Param(kKeyDir);
    if (directory.empty()) directory = open.Param(kKeyMediaDir);
    std::string used = GenerateKeyAndRequest(open, directory, open.Param(kRequestFile));
    if (text != nullptr) CopyText(used, text, kGenerationTextLength);
    return kOk;
  });
}

// Match checks answer 1 or 0; an unknown context or any failure is 0, with
// the failure kept as the context's last error.
template <class Check>
int32_t Match(MPlugContext context, Check&& check) {
  int32_t result = OnContext(context, [&](Context& open) { return check(open) ? 1 : 0; });
  return result == 1 ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t MPLUG_CALL GenerateNewSSK(MPlugContext context, char* text) {
  return GenerateFromParameters(context, text);
}

int32_t MPLUG_CALL GenerateNewSEK(MPlugContext context, char* text) {
  return GenerateFromParameters(context, text);
}

int32_t MPLUG_CALL MakeRequestForPSE(MPlugContext context, const char* keyDirectory, const char* requestFile) {
  return OnContext(context, [&](Context& open) {
    GenerateKeyAndRequest(open, keyDirectory != nullptr ? keyDirectory : "", requestFile != nullptr ? requestFile : "");
    return kOk;
  });
}

// One key pair for both purposes, so the keys never differ.
int32_t MPLUG_CALL IsDifferentKeys(MPlugContext context) {
  return OnContext(context, [](Context&) { return kOk; });
}

// Called on every newly opened context once its parameters are set: drop
// whatever was parsed so that keys and the own certificate are read afresh.
int32_t MPLUG_CALL KeysRenewal(MPlugContext context) {
  return OnContext(context, [](Context& open) {
    open.ForgetKeys();
    return kOk;
  });
}

int32_t MPLUG_CALL CertificateAndRequestMatch(MPlugContext context, const char* certificateFile,
                                              const char* requestFile) {
  return Match(context, [&](Context&) {
    return CertificateFitsRequest(certificateFile != nullptr ? certificateFile : "",
                                  requestFile != nullptr ? requestFile : "");
  });
}

int32_t MPLUG_CALL CertificateAndPSePrivateKeyMatch(MPlugContext context, const char* certificateFile,
                                                    const char* keyDirectory) {
  return Match(context, [&](Context& open) {
    return !ContainerKeyFor(certificateFile != nullptr ? certificateFile : "",
                            keyDirectory != nullptr ? keyDirectory : "", open.Param(kPinSource),
                            open.Param(kTokenLibrary))
                .empty();
  });
}

// On a match the text gets the path of the fitting key file, else it is empty.
int32_t MPLUG_CALL CertificateAndPSePrivateKeysMatch(MPlugContext context, const char* certificateFile,
                                                     const char* keyDirectory, char* text) {
  if (text != nullptr) *text = '\0';
  return Match(context, [&](Context& open) {
    std::string keyFile =
        ContainerKeyFor(certificateFile != nullptr ? certificateFile : "", keyDirectory != nullptr ? keyDirectory : "",
                        open.Param(kPinSource), open.Param(kTokenLibrary));
    if (text != nullptr) CopyText(keyFile, text, kMaxParamValueLength);
    return !keyFile.empty();
  });
}

// The key file is one of a container's key files (in KEYS\ of the container
// directory) and fits the certificate.
int32_t MPLUG_CALL CertificateAndPrivateKeyMatch(MPlugContext context, const char* certificateFile,
                                                 const char* keyFile) {
  return Match(context, [&](Context& open) {
    std::string keyPath = RequirePath(keyFile != nullptr ? keyFile : "", kErrPrivateKeyNotFound);
    std::string container = std::filesystem::path(keyPath).parent_path().parent_path().string();
    std::string fitting = ContainerKeyFor(certificateFile != nullptr ? certificateFile : "", container,
                                          open.Param(kPinSource), open.Param(kTokenLibrary));
    return !fitting.empty() && std::filesystem::equivalent(fitting, keyPath);
  });
}

// With a text buffer: the fingerprint of the container in the directory
// (changes whenever a key is added), empty when it holds no key. Without a
// buffer there is nothing to do: the container files are the backup.
int32_t MPLUG_CALL PSePrivateKeyBackup(MPlugContext context, const char* mediaDirectory, char* text) {
  return OnContext(context, [&](Context&) {
    if (text == nullptr) return kOk;
    *text = '\0';
    std::optional<std::string> directory = NativePath(mediaDirectory != nullptr ? mediaDirectory : "");
    if (directory) CopyText(ContainerFingerprint(*directory), text, kMaxParamValueLength);
    return kOk;
  });
}

}  // extern "C"
