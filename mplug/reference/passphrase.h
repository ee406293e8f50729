// A key container under a passphrase.
//
//   pin.opq   "PIN 1", then "kdf scrypt <N> <r> <p>", "salt <hex>",
//             "iv <hex>" and "wrapped <hex>": 32 random bytes (the
//             container's passphrase key) sealed with AES-256-GCM under
//             SHA-256 over a label, scrypt(passphrase, salt, N, r, p) and
//             the container's key-encryption password (0600)
//
// Key files made under the passphrase begin with the line "Passphrase:
// pin.opq"; their PKCS#8 password is derived from the container's password
// and the passphrase key, so neither the directory nor the passphrase alone
// opens them. Key files without that line open as before. Changing the
// passphrase rewrites pin.opq only (one atomic replacement).
//
// The passphrase read from the PIN source is kept per key directory for
// kPassphraseLifetime (shorter through CRYPTLIB_REF_PASSPHRASE_SECONDS) and
// wiped when it expires, is replaced, or turns out wrong; keys decrypted with
// it carry the same expiry (ContainerKeys::expires).
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "pin_source.h"
#include "secret.h"

namespace ref {

constexpr std::chrono::seconds kPassphraseLifetime{300};
constexpr char kPassphraseMarker[] = "Passphrase: pin.opq\n";

using Clock = std::chrono::steady_clock;

// The PKCS#8 password of the key files under the passphrase, and when it
// must be forgotten.
struct PassphraseKey {
  Secret password;
  Clock::time_point expires;
};

bool HasPassphrase(const std::string& nativeDirectory);

// Opens pin.opq with the passphrase from source (asked once, then cached).
// Fails with kErrPassphraseUnavailable or kErrWrongPassphrase (which also
// forgets the cached passphrase).
PassphraseKey UnlockPassphraseKey(const std::string& nativeDirectory, const std::string& containerPassword,
                                  const std::string& source);

// Puts a container without pin.opq under a passphrase from source (asked
// twice): writes pin.opq with a new passphrase key.
PassphraseKey CreatePassphraseKey(const std::string& nativeDirectory, const std::string& containerPassword,
                                  const std::string& source);

// Seals the passphrase key of the container again under the passphrase from
// newSource (asked twice), after oldSource's opened it: pin.opq replaced in
// one step. Answers the key files' password (unchanged).
PassphraseKey ChangePassphrase(const std::string& nativeDirectory, const std::string& containerPassword,
                               const std::string& oldSource, const std::string& newSource);

// Removes pin.opq (durably): the container has no passphrase any more.
void RemovePassphrase(const std::string& nativeDirectory);

// Forgets every cached passphrase (wiped) and those of one directory.
void ForgetPassphrases();
void ForgetPassphrase(const std::string& nativeDirectory);

}  // namespace ref
