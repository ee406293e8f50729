#include "key_container.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "certificates.h"
#include "errors.h"
#include "file_writes.h"
#include "files.h"
#include "module.h"
#include "passphrase.h"
#include "token.h"

namespace ref {
namespace {

constexpr size_t kSecretBytes = 32;
constexpr size_t kSeedBytes = 64;
constexpr char kMasterTitle[] = "MK 1";
constexpr char kMasksTitle[] = "MASKS 1";
constexpr char kCheckTitle[] = "KEK-CHECK 1";

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return Hex(digest, sizeof digest);
}

std::string RandomBytes(size_t size) {
  std::string bytes(size, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(size)) != 1) {
    FailCrypto(kErrKeyGeneration, "random bytes");
  }
  return bytes;
}

// An entry of the directory, matched without regard to case.
std::string EntryPath(const std::string& directory, const std::string& name) {
  return NativePath(directory + "/" + name).value_or(directory + "/" + name);
}

// The hex secret of a "title\nhex\n" file, nullopt when missing or malformed.
std::optional<std::string> ReadSecret(const std::string& path, const char* title) {
  std::optional<std::string> contents = ReadWholeFile(path);
  if (!contents) return std::nullopt;
  std::string expected = std::string(title) + "\n";
  if (contents->compare(0, expected.size(), expected) != 0) return std::nullopt;
  std::string secret = contents->substr(expected.size(), kSecretBytes * 2);
  bool hex = secret.size() == kSecretBytes * 2 &&
             std::all_of(secret.begin(), secret.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
  return hex ? std::optional<std::string>(secret) : std::nullopt;
}

void WriteSecret(const std::string& path, const char* title, const std::string& secretHex) {
  WriteWholeFile(path, std::string(title) + "\n" + secretHex + "\n", Visibility::kOwnerOnly);
}

std::string KeyEncryptionPassword(const std::string& master, const std::string& masks) {
  return Sha256Hex("CryptLib key container KEK\n" + master + "\n" + masks);
}

std::string CheckValue(const std::string& password) {
  return Sha256Hex("check\n" + password);
}

bool IsKeyFile(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".key";
}

PkeyPtr ReadKeyFile(const std::string& path, const std::string& contents, const std::string& password) {
  BioPtr bio = MemoryBio(contents);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(password.c_str()));
  if (key == nullptr) FailCrypto(kErrContainerDamaged, "cannot open " + path);
  return PkeyPtr(key);
}

std::string PrivateKeyPem(EVP_PKEY* key, const std::string& password) {
  BioPtr pem = EmptyBio();
  if (PEM_write_bio_PKCS8PrivateKey(pem.get(), key, EVP_aes_256_cbc(), password.data(),
                                    static_cast<int>(password.size()), nullptr, nullptr) != 1) {
    FailCrypto(kErrKeyGeneration, "private key encryption");
  }
  return BioText(pem.get());
}

// The passphrase key of a container that is, or is now put, under a
// passphrase; nullopt for a container without one and no PIN source. A
// pin.opq in a container without any key file is what a first generation cut
// short left (or belongs to secrets made anew): it is made again.
std::optional<PassphraseKey> PassphraseForNewKey(const std::string& directory, const std::string& password,
                                                 const std::string& pinSource) {
  const bool holdsKeys = !KeyFiles(directory).empty();
  if (HasPassphrase(directory) && holdsKeys) return UnlockPassphraseKey(directory, password, pinSource);
  if (pinSource.empty()) return std::nullopt;
  return CreatePassphraseKey(directory, password, pinSource);
}

}  // namespace

// The password of an existing container; fails when a piece is missing or
// mk.db3 belongs to another container.
std::string ContainerPassword(const std::string& directory) {
  std::optional<std::string> master = ReadSecret(EntryPath(directory, "mk.db3"), kMasterTitle);
  if (!master) Fail(kErrContainerDamaged, "mk.db3 missing or unreadable in " + directory);
  std::optional<std::string> masks = ReadSecret(EntryPath(directory, "masks.db3"), kMasksTitle);
  if (!masks) Fail(kErrContainerDamaged, "masks.db3 missing or unreadable in " + directory);
  std::string password = KeyEncryptionPassword(*master, *masks);
  std::optional<std::string> check = ReadSecret(EntryPath(directory, "kek.opq"), kCheckTitle);
  if (check && *check != CheckValue(password)) {
    Fail(kErrContainerDamaged, "mk.db3 does not belong to the container in " + directory);
  }
  return password;
}

std::vector<std::string> KeyFiles(const std::string& directory) {
  std::vector<std::string> files = FilesIn(EntryPath(directory, "KEYS"));
  files.erase(std::remove_if(files.begin(), files.end(), [](const std::string& f) { return !IsKeyFile(f); }),
              files.end());
  return files;
}

bool IsUnderPassphrase(const std::string& keyFileText) {
  return keyFileText.compare(0, sizeof kPassphraseMarker - 1, kPassphraseMarker) == 0;
}

std::string OpenOrCreateContainer(const std::string& nativeDirectory) {
  MakeDirectories(nativeDirectory);
  const std::string keysDirectory = EntryPath(nativeDirectory, "KEYS");
  RemoveStaleTemporaries(nativeDirectory);
  RemoveStaleTemporaries(keysDirectory);
  std::string masterPath = EntryPath(nativeDirectory, "mk.db3");
  std::string masksPath = EntryPath(nativeDirectory, "masks.db3");
  std::string checkPath = EntryPath(nativeDirectory, "kek.opq");
  std::optional<std::string> master = ReadSecret(masterPath, kMasterTitle);
  std::optional<std::string> masks = ReadSecret(masksPath, kMasksTitle);
  if (!master || !masks) {
    if (!KeyFiles(nativeDirectory).empty()) {
      Fail(kErrContainerDamaged, "incomplete container with keys in " + nativeDirectory);
    }
    // Nothing was ever encrypted under these secrets: a creation that was
    // cut short starts again. The check value goes first, so that it never
    // describes secrets that are not there.
    RemoveFileDurably(checkPath);
    master = Hex(reinterpret_cast<const unsigned char*>(RandomBytes(kSecretBytes).data()), kSecretBytes);
    masks = Hex(reinterpret_cast<const unsigned char*>(RandomBytes(kSecretBytes).data()), kSecretBytes);
    WriteSecret(masterPath, kMasterTitle, *master);
    WriteSecret(masksPath, kMasksTitle, *masks);
  }
  if (!IsRegularFile(checkPath))
    WriteSecret(checkPath, kCheckTitle, CheckValue(KeyEncryptionPassword(*master, *masks)));
  std::string seedPath = EntryPath(nativeDirectory, "rand.opq");
  if (!IsRegularFile(seedPath)) WriteWholeFile(seedPath, RandomBytes(kSeedBytes), Visibility::kOwnerOnly);
  MakeDirectories(keysDirectory);
  return ContainerPassword(nativeDirectory);
}

std::string KeyFileName(EVP_PKEY* key) {
  BioPtr publicDer = EmptyBio();
  if (i2d_PUBKEY_bio(publicDer.get(), key) != 1) FailCrypto(kErrKeyGeneration, "public key encoding");
  return Sha256Hex(BioText(publicDer.get())).substr(0, 8) + ".key";
}

void RequireOnlyKind(const std::string& nativeDirectory, bool references) {
  for (const std::string& file : KeyFiles(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file);
    if (contents && IsTokenReference(*contents) != references) {
      Fail(kErrMixedContainer, file + (references ? " is a key file" : " is a token reference"));
    }
  }
}

std::vector<std::string> TokenReferences(const std::string& nativeDirectory) {
  std::vector<std::string> uris;
  for (const std::string& file : KeyFiles(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file);
    if (contents && IsTokenReference(*contents)) uris.push_back(ReferenceUri(*contents));
  }
  return uris;
}

std::string StoreReference(const std::string& nativeDirectory, EVP_PKEY* publicKey, const std::string& uri) {
  RequireOnlyKind(nativeDirectory, true);
  std::string path = EntryPath(EntryPath(nativeDirectory, "KEYS"), KeyFileName(publicKey));
  WriteWholeFile(path, uri + "\n", Visibility::kOwnerOnly);
  return path;
}

std::string StoreKey(const std::string& nativeDirectory, const std::string& password, EVP_PKEY* key,
                     const std::string& pinSource) {
  RequireOnlyKind(nativeDirectory, false);
  std::string name = KeyFileName(key);
  std::optional<PassphraseKey> passphrase = PassphraseForNewKey(nativeDirectory, password, pinSource);
  std::string text =
      passphrase ? kPassphraseMarker + PrivateKeyPem(key, passphrase->password.value()) : PrivateKeyPem(key, password);
  std::string path = EntryPath(EntryPath(nativeDirectory, "KEYS"), name);
  WriteWholeFile(path, text, Visibility::kOwnerOnly);
  return path;
}

namespace {

// Opens the token keys the references name; the first failure (token
// absent, wrong PIN ...) is kept, and the keys are then not kept either.
void LoadReferences(ContainerKeys& container, const std::vector<std::pair<std::string, std::string>>& references,
                    const TokenAccess& access) {
  for (const auto& [file, uri] : references) {
    try {
      container.keys.push_back(OpenTokenKey(uri, access));
      container.files.push_back(file);
    } catch (const Failure& failure) {
      if (!container.tokenFailure) container.tokenFailure = failure;
      container.expires = std::chrono::steady_clock::time_point::min();  // never kept
      container.unreadable.push_back(failure.message());
    }
  }
}

}  // namespace

namespace {

ContainerKeys LoadKeyFiles(const std::string& nativeDirectory,
                           const std::vector<std::pair<std::string, std::optional<std::string>>>& keyFiles,
                           const std::string& pinSource) {
  const std::string password = ContainerPassword(nativeDirectory);
  std::optional<PassphraseKey> passphrase;
  ContainerKeys container;
  for (const auto& [file, contents] : keyFiles) {
    try {
      if (!contents) Fail(kErrContainerDamaged, "cannot read " + file);
      const bool underPassphrase = IsUnderPassphrase(*contents);
      if (underPassphrase && container.passphraseFailure) continue;
      if (underPassphrase && !passphrase) {
        try {
          passphrase = UnlockPassphraseKey(nativeDirectory, password, pinSource);
        } catch (const Failure& failure) {
          container.passphraseFailure = failure;
          container.expires = std::chrono::steady_clock::time_point::min();  // never kept
          continue;
        }
        container.expires = passphrase->expires;
      }
      container.keys.push_back(ReadKeyFile(file, *contents, underPassphrase ? passphrase->password.value() : password));
      container.files.push_back(file);
    } catch (const Failure& failure) {
      container.unreadable.push_back(failure.message());
    }
  }
  return container;
}

}  // namespace

ContainerKeys LoadContainerKeys(const std::string& nativeDirectory, const std::string& pinSource,
                                const std::string& tokenLibrary) {
  if (!IsDirectory(nativeDirectory)) Fail(kErrKeyDirectory, nativeDirectory);
  // References need no container password: a container of references alone
  // (made by hand for a key already on a token) has no mk.db3.
  std::vector<std::pair<std::string, std::string>> references;
  std::vector<std::pair<std::string, std::optional<std::string>>> keyFiles;
  for (const std::string& file : KeyFiles(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file);
    if (contents && IsTokenReference(*contents)) {
      references.emplace_back(file, ReferenceUri(*contents));
    } else {
      keyFiles.emplace_back(file, std::move(contents));
    }
  }
  if (!keyFiles.empty() && !references.empty()) {
    Fail(kErrMixedContainer, nativeDirectory + " (" + std::to_string(references.size()) + " token reference(s))");
  }
  ContainerKeys container;
  if (references.empty()) container = LoadKeyFiles(nativeDirectory, keyFiles, pinSource);
  LoadReferences(container, references, TokenAccess{tokenLibrary, pinSource, nativeDirectory});
  return container;
}

void RewriteKeyFiles(const std::string& nativeDirectory, const std::string& containerPassword,
                     const std::string& passphrasePassword, bool underPassphrase) {
  for (const std::string& file : KeyFiles(nativeDirectory)) {
    std::optional<std::string> contents = ReadWholeFile(file);
    if (!contents) Fail(kErrContainerDamaged, "cannot read " + file);
    if (IsTokenReference(*contents)) {
      Fail(kErrMixedContainer, file + " refers to a token key: the token's own PIN protects it");
    }
    const bool isUnder = IsUnderPassphrase(*contents);
    if (isUnder == underPassphrase) continue;
    PkeyPtr key = ReadKeyFile(file, *contents, isUnder ? passphrasePassword : containerPassword);
    WriteWholeFile(file,
                   underPassphrase ? kPassphraseMarker + PrivateKeyPem(key.get(), passphrasePassword)
                                   : PrivateKeyPem(key.get(), containerPassword),
                   Visibility::kOwnerOnly);
  }
}

EVP_PKEY* FindKey(const ContainerKeys& keys, const EVP_PKEY* wanted) {
  for (const PkeyPtr& key : keys.keys) {
    if (SameKey(wanted, key.get())) return key.get();
  }
  return nullptr;
}

void FailNoFittingKey(const ContainerKeys& keys, const std::string& holder) {
  if (keys.passphraseFailure) throw *keys.passphraseFailure;
  if (keys.tokenFailure) throw *keys.tokenFailure;
  if (keys.unreadable.empty()) Fail(kErrPrivateKeyNotFound, "no key in the key container fits " + holder);
  std::string causes;
  for (const std::string& cause : keys.unreadable) causes += (causes.empty() ? "" : "; ") + cause;
  Fail(kErrContainerDamaged, "no readable key fits " + holder + " (" + causes + ")");
}

std::string ContainerFingerprint(const std::string& nativeDirectory) {
  std::vector<std::string> files = KeyFiles(nativeDirectory);
  if (files.empty()) return {};
  std::string names;
  for (const std::string& file : files) names += file.substr(file.find_last_of('/') + 1) + "\n";
  return std::to_string(files.size()) + ":" + Sha256Hex(names).substr(0, 16);
}

}  // namespace ref
