// The 2.x key container in a key directory:
//
//   mk.db3      "MK 1" and 32 random bytes in hex: the master key (0600)
//   masks.db3   "MASKS 1" and 32 random bytes in hex (0600)
//   kek.opq     "KEK-CHECK 1" and a check value of the key-encryption key, so
//               that a master key from another container is recognised (0600)
//   rand.opq    64 random bytes kept for the container's own use (0600)
//   KEYS\<8 hex digits>.key
//               each private key as PKCS#8 EncryptedPrivateKeyInfo in PEM
//               (PBES2, PBKDF2, AES-256-CBC) under the key-encryption key;
//               the name is the start of SHA-256 over the public key (0600);
//               or a reference to a key on a PKCS#11 token: one line, the
//               URI of the private key object (token.h)
//
// A container holds either references or key files, never both: the PIN
// source then always gives one kind of secret (the token PIN or the
// container's passphrase).
//
// The key-encryption key is SHA-256 over a label, mk.db3's key and masks.db3's
// key; the PKCS#8 password is its hex form. Without mk.db3 no key file can be
// opened. New keys are added beside the older ones; every file is written
// whole and synced before it is renamed in (file_writes.h), so a key file is
// either absent or complete. A key file that cannot be read anyway (damaged
// outside the module) leaves the other keys usable: the key that fits the
// certificate in use is what counts.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "ossl.h"

namespace ref {

struct ContainerKeys {
  std::vector<PkeyPtr> keys;
  std::vector<std::string> files;       // native paths, in the order of keys
  std::vector<std::string> unreadable;  // "<path>: <cause>" of key files that could not be opened
  // Why the key files under the passphrase stayed closed, if they did.
  std::optional<Failure> passphraseFailure;
  // Why the token keys stayed closed (token absent, wrong PIN ...), if they did.
  std::optional<Failure> tokenFailure;
  // Keys opened with a passphrase are forgotten with it (passphrase.h).
  std::chrono::steady_clock::time_point expires = std::chrono::steady_clock::time_point::max();
};

// The key among keys with the public key wanted; nullptr when none has it.
EVP_PKEY* FindKey(const ContainerKeys& keys, const EVP_PKEY* wanted);

// The failure when no key fits a holder: the passphrase's failure when the
// keys under it stayed closed, kErrContainerDamaged naming the unreadable key
// files (one of them may have been the fitting one), else
// kErrPrivateKeyNotFound.
[[noreturn]] void FailNoFittingKey(const ContainerKeys& keys, const std::string& holder);

// Opens the container of a (native) directory, creating the directory and
// the container files that are missing, and removes temporaries a killed
// writer left; answers the PKCS#8 password. A container whose master key or
// masks are missing is made anew only while it holds no key file (its
// creation was cut short); with key files it fails with kErrContainerDamaged.
std::string OpenOrCreateContainer(const std::string& nativeDirectory);

// Adds a private key to KEYS\ and answers the key file's native path. With a
// PIN source (parameter 8), or in a container already under a passphrase,
// the key is stored under the passphrase (passphrase.h): the first one is
// asked twice and creates pin.opq, later ones must open it.
std::string StoreKey(const std::string& nativeDirectory, const std::string& password, EVP_PKEY* key,
                     const std::string& pinSource);

// Adds a reference to a token key (its URI) to KEYS\, named like a key file
// after the public key; answers its native path. Fails with
// kErrMixedContainer when the container holds key files.
std::string StoreReference(const std::string& nativeDirectory, EVP_PKEY* publicKey, const std::string& uri);

// Fails with kErrMixedContainer when the container holds a file of the other
// kind than wanted (references, or key files), so that nothing is made before.
void RequireOnlyKind(const std::string& nativeDirectory, bool references);

// Every private key of the container that can be opened; the others are
// listed as unreadable. Fails with kErrKeyDirectory when the directory is
// missing, kErrContainerDamaged when mk.db3 or masks.db3 is missing or does
// not fit kek.opq, kErrMixedContainer when it holds references and key files.
// pinSource is asked only when a key file under the passphrase or a token
// reference is found; token keys are reached through tokenLibrary.
ContainerKeys LoadContainerKeys(const std::string& nativeDirectory, const std::string& pinSource,
                                const std::string& tokenLibrary = {});

// The URIs of the container's token references, in the order of KeyFiles.
std::vector<std::string> TokenReferences(const std::string& nativeDirectory);

// The container's PKCS#8 password of the key files without a passphrase;
// fails like LoadContainerKeys.
std::string ContainerPassword(const std::string& nativeDirectory);

// Whether a key file's text is under the passphrase.
bool IsUnderPassphrase(const std::string& keyFileText);

// Rewrites the key files that are not yet as wanted: under the passphrase
// (passphrasePassword is the key files' password from passphrase.h) or
// without it. Each file is replaced in one step, so an interrupted run
// leaves every key file readable with pin.opq, and running it again
// completes it.
void RewriteKeyFiles(const std::string& nativeDirectory, const std::string& containerPassword,
                     const std::string& passphrasePassword, bool underPassphrase);

// A key file's name: the start of SHA-256 over the public key, ".key".
std::string KeyFileName(EVP_PKEY* key);

// Every key file of the container (native paths).
std::vector<std::string> KeyFiles(const std::string& nativeDirectory);

// A text that changes whenever a key file is added or removed: the number of
// KEYS\*.key files and a digest of their names; empty without any.
std::string ContainerFingerprint(const std::string& nativeDirectory);

}  // namespace ref
