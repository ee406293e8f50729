#include "errors.h"

#include <openssl/err.h>

#include <cstring>

#include "module.h"

namespace ref {
namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

constexpr CodeText kTexts[] = {
    {kErrUnknownContext, "Unknown or closed context"},
    {kErrBadArguments, "Bad arguments"},
    {kErrParamIndex, "Parameter index out of range"},
    {kErrOwnCertificate, "Own certificate is not set or cannot be read"},
    {kErrCertificateNotFound, "Certificate not found"},
    {kErrNotCertificate, "Not a certificate"},
    {kErrTooManyRecipients, "Encrypted data would grow beyond the maximum encode addition"},
    {kErrNotEncrypted, "Data is not encrypted or is damaged"},
    {kErrNotForUser, "Data is not encrypted for the current user"},
    {kErrBufferTooSmall, "Buffer too small"},
    {kErrBadSignature, "Signature does not match the data"},
    {kErrNoSignature, "No signature found"},
    {kErrUntrustedSigner, "Signer certificate is not trusted"},
    {kErrRevokedSigner, "Signer certificate is revoked"},
    {kErrSignerTime, "Signer certificate is not valid at this time"},
    {kErrKeyDirectory, "Key directory is not set or not available"},
    {kErrPrivateKeyNotFound, "Private key not found"},
    {kErrContainerDamaged, "Key container is damaged or its master key is missing"},
    {kErrRequestFile, "Request file is not set"},
    {kErrWriteFile, "Cannot write file"},
    {kErrNotRequest, "Not a certificate request"},
    {kErrNotCrl, "Not a revocation list"},
    {kErrUnknownAlgorithm, "Unknown algorithm"},
    {kErrGostUnavailable, "GOST algorithms are not available (the gost engine cannot be loaded)"},
    {kErrAlgorithmMismatch, "Algorithm does not match the key"},
    {kErrEmptySubject, "Subject of the request is empty"},
    {kErrKeyGeneration, "Key generation failed"},
    {kErrCrypto, "Cryptographic operation failed"},
    {kErrWrongPassphrase, "Wrong passphrase for the key container"},
    {kErrPassphraseUnavailable, "The passphrase of the key container is not available"},
    {kErrTokenAbsent, "The token is not present"},
    {kErrWrongPin, "Wrong PIN for the token"},
    {kErrPinLocked, "The token PIN is locked"},
    {kErrTokenKeyMissing, "The key object is not on the token"},
    {kErrMixedContainer, "The key container holds both token references and key files"},
    {kErrTokenLibrary, "The PKCS#11 library cannot be loaded"},
    {kErrInternal, "Internal error"},
};

std::string Compose(int32_t code, const std::string& detail) {
  const char* text = ErrorText(code);
  std::string message = text != nullptr ? text : "Error " + std::to_string(code);
  if (!detail.empty()) message += ": " + detail;
  return message;
}

}  // namespace

Failure::Failure(int32_t code, std::string detail) : code_(code), message_(Compose(code, detail)) {}

void Fail(int32_t code, const std::string& detail) {
  throw Failure(code, detail);
}

void FailCrypto(int32_t code, const std::string& detail) {
  std::string causes = TakeCryptoErrors();
  throw Failure(code, causes.empty() ? detail : detail + " (" + causes + ")");
}

std::string TakeCryptoErrors() {
  std::string text;
  const char* file = nullptr;
  const char* data = nullptr;
  int line = 0;
  int flags = 0;
  while (unsigned long error = ERR_get_error_all(&file, &line, nullptr, &data, &flags)) {
    char buffer[256];
    ERR_error_string_n(error, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
    if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != '\0') text += std::string(" [") + data + "]";
  }
  return text;
}

const char* ErrorText(int32_t code) {
  for (const CodeText& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

void CopyText(const std::string& text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  size_t length = text.size() < size ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
}

}  // namespace ref
