// Private keys on a PKCS#11 token. A key file of a container may be a
// reference instead of key material: a small file holding the RFC 7512 URI
// of the private key object ("pkcs11:token=...;serial=...;id=%..;type=private").
// The key never leaves the token: the module logs in with the PIN of the PIN
// source (parameter 8) and hands OpenSSL a key whose private operations
// (RSA signature and decryption, ECDSA, ECDH) run on the token.
//
// The PKCS#11 library is parameter 18 ("p11-kit-proxy.so" when empty), loaded
// once per process and never unloaded. A token stays logged in for the
// process once its PIN was accepted; a wrong PIN is never kept.
#pragma once

#include <string>
#include <vector>

#include "algorithms.h"
#include "ossl.h"

namespace ref {

constexpr char kDefaultTokenLibrary[] = "p11-kit-proxy.so";

// Where a token and its PIN are found.
struct TokenAccess {
  std::string library;       // parameter 18; empty: kDefaultTokenLibrary
  std::string pinSource;     // parameter 8
  std::string keyDirectory;  // native; "file:" PIN sources are relative to it
};

// Whether a key file's text is a reference to a token object.
bool IsTokenReference(const std::string& keyFileText);

// The URI a reference file holds (its first line).
std::string ReferenceUri(const std::string& keyFileText);

// The private key a URI names, usable by OpenSSL; its private operations run
// on the token. Fails with kErrTokenLibrary, kErrTokenAbsent,
// kErrPassphraseUnavailable, kErrWrongPin, kErrPinLocked or
// kErrTokenKeyMissing.
PkeyPtr OpenTokenKey(const std::string& uri, const TokenAccess& access);

struct GeneratedTokenKey {
  PkeyPtr key;      // as OpenTokenKey answers it
  std::string uri;  // of the private key object
};

// A new key pair on the token a URI names (its token attributes), made with
// C_GenerateKeyPair: RSA 2048 or EC P-256, the private key sensitive and not
// extractable, EC keys able to derive (ECDH). GOST keys cannot be made there.
GeneratedTokenKey GenerateTokenKey(const std::string& tokenUri, KeyKind kind, const TokenAccess& access);

// The URI of the token alone (token, serial, manufacturer, model) of a key's.
std::string TokenOf(const std::string& keyUri);

// Whether a URI names a key object (id or object label), not only a token.
bool NamesKeyObject(const std::string& uri);

// The existing key pair a URI names (imported, or put on the token by the
// bank), with the URI a reference to it holds.
GeneratedTokenKey AdoptTokenKey(const std::string& uri, const TokenAccess& access);

// What the host tool shows of a referenced key.
struct TokenKeyFacts {
  std::string label;
  bool sensitive = false;
  bool extractable = true;
};
TokenKeyFacts DescribeTokenKey(const std::string& uri, const TokenAccess& access);

// Destroys the private and public key objects a URI names (the reference
// file is the caller's). Fails like OpenTokenKey.
void DestroyTokenKey(const std::string& uri, const TokenAccess& access);

// The failure a token operation inside OpenSSL left on this thread, if any:
// rethrown so that its code (token absent ...) reaches the caller instead of
// a general cryptographic failure.
void RethrowTokenFailure();

// Forgets every token session and loaded library (the library is not called:
// it stays loaded and initialised, another part of the process may use it,
// and at exit it may be torn down already) and frees the key methods; called
// when the module is released, after its contexts and keys are gone. A later
// token operation starts afresh.
void ReleaseTokens();

}  // namespace ref
