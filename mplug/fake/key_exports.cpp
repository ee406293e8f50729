// Key generation, requests and the key and certificate match checks.
#include <string>

#include "call_guard.h"
#include "fake_module.h"
#include "identities.h"
#include "key_files.h"
#include "paths.h"

using namespace fake;

namespace {

// The generation writes into the key directory, or the key media directory
// when no key directory is set.
int32_t GenerateFromParameters(Context& context, char* text) {
  std::string directory = context.Param(kParamKeyDir);
  if (directory.empty()) directory = context.Param(kParamKeyMedia);
  std::string request = context.Param(kParamRequestFile);
  if (request.empty()) return context.Fail(kErrNoRequestFile);
  if (int32_t result = GenerateKeys(directory, RequestSubject(context), request)) {
    return context.Fail(result, directory);
  }
  CopyText(text, kGenerationTextLength, WithBackslash(directory));
  return 0;
}

std::string PublicKeyOfFile(const char* file, bool request) {
  std::string text;
  if (file == nullptr || !ReadWholeFile(file, text)) return {};
  if (request) {
    std::optional<Request> parsed = ParseRequest(text);
    return parsed ? parsed->publicKey : "";
  }
  std::optional<Certificate> parsed = ParseCertificate(text);
  return parsed ? parsed->publicKey : "";
}

std::string PublicKeyOfDirectory(const char* directory) {
  if (directory == nullptr) return {};
  std::optional<KeyContainer> container = ReadKeyContainer(directory);
  return container ? container->publicKey : "";
}

// The match checks answer non-zero for a match and 0 for anything else,
// failures included, since callers read any non-zero answer as a match.
int32_t MatchAnswer(MPlugContext context, const std::string& first, const std::string& second) {
  if (!Contexts().Find(context)) return 0;
  return !first.empty() && first == second ? 1 : 0;
}

}  // namespace

extern "C" {

int32_t MPLUG_CALL GenerateNewSSK(MPlugContext context, char* text) {
  return LoggedCall("GenerateNewSSK", Args().Int(context).Buffer(text),
                    [&] { return OnContext(context, [&](Context& c) { return GenerateFromParameters(c, text); }); });
}

int32_t MPLUG_CALL GenerateNewSEK(MPlugContext context, char* text) {
  return LoggedCall("GenerateNewSEK", Args().Int(context).Buffer(text),
                    [&] { return OnContext(context, [&](Context& c) { return GenerateFromParameters(c, text); }); });
}

int32_t MPLUG_CALL MakeRequestForPSE(MPlugContext context, const char* keyDirectory, const char* requestFile) {
  return LoggedCall("MakeRequestForPSE", Args().Int(context).Text(keyDirectory).Text(requestFile), [&] {
    return OnContext(context, [&](Context& c) {
      if (keyDirectory == nullptr) return c.Fail(kErrBadArguments);
      if (requestFile == nullptr || *requestFile == '\0') return c.Fail(kErrNoRequestFile);
      int32_t result = GenerateKeys(keyDirectory, RequestSubject(c), requestFile);
      return result == 0 ? 0 : c.Fail(result, keyDirectory);
    });
  });
}

int32_t MPLUG_CALL IsDifferentKeys(MPlugContext context) {
  return LoggedCall("IsDifferentKeys", Args().Int(context),
                    [&] { return OnContext(context, [](Context&) { return 0; }); });
}

int32_t MPLUG_CALL CertificateAndPrivateKeyMatch(MPlugContext context, const char* certificateFile,
                                                 const char* keyFile) {
  return LoggedCall("CertificateAndPrivateKeyMatch", Args().Int(context).Text(certificateFile).Text(keyFile), [&] {
    std::string text;
    std::optional<KeyContainer> key =
        keyFile != nullptr && ReadWholeFile(keyFile, text) ? ParseKeyContainer(text) : std::nullopt;
    return MatchAnswer(context, PublicKeyOfFile(certificateFile, false), key ? key->publicKey : "");
  });
}

int32_t MPLUG_CALL CertificateAndPSePrivateKeyMatch(MPlugContext context, const char* certificateFile,
                                                    const char* keyDirectory) {
  return LoggedCall(
      "CertificateAndPSePrivateKeyMatch", Args().Int(context).Text(certificateFile).Text(keyDirectory), [&] {
        return MatchAnswer(context, PublicKeyOfFile(certificateFile, false), PublicKeyOfDirectory(keyDirectory));
      });
}

int32_t MPLUG_CALL CertificateAndPSePrivateKeysMatch(MPlugContext context, const char* certificateFile,
                                                     const char* keyDirectory, char* text) {
  Args args = Args().Int(context).Text(certificateFile).Text(keyDirectory).Buffer(text);
  return LoggedCall("CertificateAndPSePrivateKeysMatch", args, [&] {
    CopyText(text, kMaxParamValueLength, "");
    int32_t match = MatchAnswer(context, PublicKeyOfFile(certificateFile, false), PublicKeyOfDirectory(keyDirectory));
    if (match != 0) CopyText(text, kMaxParamValueLength, SigningKeyFile(keyDirectory));
    return match;
  });
}

int32_t MPLUG_CALL CertificateAndRequestMatch(MPlugContext context, const char* certificateFile,
                                              const char* requestFile) {
  return LoggedCall("CertificateAndRequestMatch", Args().Int(context).Text(certificateFile).Text(requestFile), [&] {
    return MatchAnswer(context, PublicKeyOfFile(certificateFile, false), PublicKeyOfFile(requestFile, true));
  });
}

int32_t MPLUG_CALL PSePrivateKeyBackup(MPlugContext context, const char* mediaDirectory, char* text) {
  // With a buffer: the fingerprint of the container on the media, its public
  // key (empty when there is none). Without one there is nothing to back up.
  return LoggedCall("PSePrivateKeyBackup", Args().Int(context).Text(mediaDirectory).Buffer(text), [&] {
    return OnContext(context, [&](Context&) {
      CopyText(text, kMaxParamValueLength, PublicKeyOfDirectory(mediaDirectory));
      return 0;
    });
  });
}

int32_t FakeIssueCertificate(const char* requestFile, const char* issuer, const char* certificateFile) {
  std::string text;
  if (requestFile == nullptr || certificateFile == nullptr || !ReadWholeFile(requestFile, text)) {
    return kErrBadArguments;
  }
  std::optional<Request> request = ParseRequest(text);
  if (!request) return kErrBadRequest;
  Certificate certificate;
  certificate.subject = request->subject;
  certificate.issuer = issuer != nullptr && *issuer != '\0' ? issuer : request->subject;
  certificate.serial = SerialFor(request->subject, request->publicKey);
  certificate.notBefore = DateText(-1);
  certificate.notAfter = DateText(365);
  certificate.sn = SnForSerial(certificate.serial);
  certificate.publicKey = request->publicKey;
  return WriteWholeFile(certificateFile, FormatCertificate(certificate)) ? 0 : kErrWriteFailed;
}

int32_t FakeWriteKeyContainer(const char* keyDirectory, const char* subject) {
  if (keyDirectory == nullptr) return kErrBadArguments;
  return GenerateKeys(keyDirectory, subject != nullptr && *subject != '\0' ? subject : "/CN=Utility", "");
}

}  // extern "C"
