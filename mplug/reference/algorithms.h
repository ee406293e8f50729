// The algorithms that parameters 4 (encryption) and 5 (signature and hash)
// name, and what they mean for keys.
//
//   encryption   "AES-256-CBC" (also the choice for an empty value),
//                "AES-256-GCM" (authenticated: CMS AuthEnvelopedData),
//                "DES-EDE3-CBC", "RUS-GAMMAR" (GOST 28147-89, gost89)
//   signature    "SHA256" or "RSA-SHA256" (RSA 2048, SHA-256; also the choice
//                for an empty value), "SHA1" (RSA 2048, SHA-1), "ECDSA-SHA256"
//                (ECDSA P-256, SHA-256), "R3410-R3411" (GOST R 34.10-2012 with
//                256-bit keys, Streebog-256)
//
// Names compare without regard to case. A GOST name without the gost engine
// fails with kErrGostUnavailable; nothing falls back to another algorithm.
#pragma once

#include <string>

#include "ossl.h"

namespace ref {

enum class KeyKind { kRsa, kEc, kGost };

struct SignatureChoice {
  KeyKind keyKind;       // the kind of key a generation makes
  bool gost;             // GOST keys and Streebog, else RSA/ECDSA with `digest`
  const EVP_MD* digest;  // null for GOST (the digest follows the key size)
};

const EVP_CIPHER* ChooseCipher(const std::string& parameter);
SignatureChoice ChooseSignature(const std::string& parameter);

bool IsGostKey(const EVP_PKEY* key);

// The digest for signing with this key under the choice; fails with
// kErrAlgorithmMismatch when a GOST key meets a non-GOST choice or the other
// way round.
const EVP_MD* SigningDigest(const EVP_PKEY* key, const SignatureChoice& choice);

// A new key pair of the kind the choice names.
PkeyPtr GenerateKeyPair(const SignatureChoice& choice);

}  // namespace ref
