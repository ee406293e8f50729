// The reference vendor module's fixed numbers: parameter indexes as the engine
// passes them (0-based), the limits the size queries answer, and the module's
// own error codes (outside the engine's -1..-6 and -100..-128).
#pragma once

#include <cstdint>

namespace ref {

// Parameter indexes, 0-based (the engine's parameter n is index n-1).
enum ParamIndex : int {
  kOwnCertificate = 0,
  kCertificateDir = 1,
  kKeyDir = 2,
  kCipherParam = 3,
  kSignatureParam = 4,
  kPrivateKeyFile = 6,
  kPinSource = 7,  // where the passphrase of the key container comes from (pin_source.h)
  kRequestFile = 8,
  kTokenUri = 9,  // the token a key generated on a token goes to (PKCS#11 URI)
  kSubjectCountry = 10,
  kSubjectState = 11,
  kSubjectLocality = 12,
  kSubjectOrganisation = 13,
  kSubjectUnit = 14,
  kSubjectCommonName = 15,
  kSubjectEmail = 16,
  kTokenLibrary = 17,  // the PKCS#11 library of token keys (token.h)
  kUidField = 19,
  kTokenGeneration = 20,  // "1": generations make the key pair on the token
  kKeyMediaDir = 22,
  kSubjectTitle = 23,
  kCaDir = 24,
  kCrlDir = 25,
};

// 27 rather than 26: the engine keys its context cache on every value but the
// last, so with 27 the CRL directory (index 25) is part of the key.
constexpr int32_t kParamCount = 27;

// Growth of enveloped data. Fixed part: the ContentInfo, EnvelopedData and
// EncryptedContentInfo headers with the content cipher's parameters (IV or
// GOST parameters), DER length fields of up to 5 bytes at each nesting level,
// and at most one block of padding. Per recipient: a key-transport recipient
// with an RSA key of up to 4096 bits (512-byte encrypted key), an ECDH
// key-agreement recipient (ephemeral point of up to P-521, wrapped key) or a
// GOST key transport, each naming the certificate by issuer and serial number
// with an issuer name of at most kMaxRecipientIssuer DER bytes.
constexpr int32_t kEnvelopeFixedBound = 256;
constexpr int32_t kMaxRecipientIssuer = 1024;
constexpr int32_t kRecipientBound = 768 + kMaxRecipientIssuer;
constexpr int32_t kMaxRecipients = 32;
constexpr int32_t kMaxEncodeAddition = kEnvelopeFixedBound + kMaxRecipients * kRecipientBound;

// Signed data carries the signer's certificate (at most kMaxCertificateLength
// DER bytes), signed attributes, the signer identifier and a signature of at
// most 512 bytes (RSA 4096); 4096 bytes cover everything but the certificate.
constexpr int32_t kMaxCertificateLength = 8192;
constexpr int32_t kMaxSignatureLength = kMaxCertificateLength + 4096;

constexpr int32_t kMaxUidLength = 1024;
constexpr int32_t kMaxPasswordLength = 64;
constexpr int32_t kMaxParamNameLength = 64;
constexpr int32_t kMaxParamValueLength = 1024;
constexpr int32_t kMaxErrorStringLength = 1024;
constexpr int32_t kMaxFileNameLength = 1024;
constexpr int32_t kMaxCertInfoLength = 16384;
constexpr int32_t kGenerationTextLength = 260;  // the text buffer of GenerateNewSEK/SSK

enum ErrorCode : int32_t {
  kOk = 0,
  kErrUnknownContext = 2001,
  kErrBadArguments = 2002,
  kErrParamIndex = 2003,
  kErrOwnCertificate = 2004,
  kErrCertificateNotFound = 2005,
  kErrNotCertificate = 2006,
  kErrTooManyRecipients = 2007,
  kErrNotEncrypted = 2008,
  kErrNotForUser = 2009,
  kErrBufferTooSmall = 2010,
  kErrBadSignature = 2011,
  kErrNoSignature = 2012,
  kErrUntrustedSigner = 2013,
  kErrRevokedSigner = 2014,
  kErrSignerTime = 2015,
  kErrKeyDirectory = 2016,
  kErrPrivateKeyNotFound = 2017,
  kErrContainerDamaged = 2018,
  kErrRequestFile = 2019,
  kErrWriteFile = 2020,
  kErrNotRequest = 2021,
  kErrNotCrl = 2022,
  kErrUnknownAlgorithm = 2023,
  kErrGostUnavailable = 2024,
  kErrAlgorithmMismatch = 2025,
  kErrEmptySubject = 2026,
  kErrKeyGeneration = 2027,
  kErrCrypto = 2028,
  kErrWrongPassphrase = 2040,
  kErrPassphraseUnavailable = 2041,
  kErrTokenAbsent = 2042,
  kErrWrongPin = 2043,
  kErrPinLocked = 2044,
  kErrTokenKeyMissing = 2045,
  kErrMixedContainer = 2046,
  kErrTokenLibrary = 2047,
  kErrInternal = 2099,
};

}  // namespace ref
