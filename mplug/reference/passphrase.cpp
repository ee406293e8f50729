#include "passphrase.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <vector>

#include "errors.h"
#include "file_writes.h"
#include "files.h"
#include "module.h"

namespace ref {
namespace {

constexpr char kPinTitle[] = "PIN 1";
constexpr size_t kKeyBytes = 32;
constexpr size_t kSaltBytes = 16;
constexpr size_t kIvBytes = 12;
constexpr size_t kTagBytes = 16;
// scrypt at OWASP's minimum (N=2^14 with r=8 needs p=5), within the memory
// OpenSSL allows by default.
constexpr uint64_t kScryptN = 1u << 14;
constexpr uint64_t kScryptR = 8;
constexpr uint64_t kScryptP = 5;
constexpr uint64_t kScryptMaxMemory = 64u * 1024 * 1024;

struct PinFile {
  uint64_t n = kScryptN, r = kScryptR, p = kScryptP;
  std::string salt, iv, wrapped;  // raw bytes; wrapped = ciphertext and tag
};

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 0x0F];
  }
  return text;
}

std::optional<std::string> FromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long value = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0]))) return std::nullopt;
    bytes += static_cast<char>(value);
  }
  return bytes;
}

std::string Random(size_t size) {
  std::string bytes(size, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(size)) != 1) {
    FailCrypto(kErrKeyGeneration, "random bytes");
  }
  return bytes;
}

std::string PinPath(const std::string& directory) {
  return NativePath(directory + "/pin.opq").value_or(directory + "/pin.opq");
}

std::optional<PinFile> ReadPinFile(const std::string& directory) {
  std::optional<std::string> contents = ReadWholeFile(PinPath(directory));
  if (!contents) return std::nullopt;
  std::istringstream in(*contents);
  std::string title, word, salt, iv, wrapped;
  PinFile pin;
  std::getline(in, title);
  if (title != kPinTitle) return std::nullopt;
  in >> word;
  if (word != "kdf" || !(in >> word) || word != "scrypt" || !(in >> pin.n >> pin.r >> pin.p)) return std::nullopt;
  std::optional<std::string> fields[3];
  for (auto [name, field] : {std::pair{"salt", &fields[0]}, {"iv", &fields[1]}, {"wrapped", &fields[2]}}) {
    std::string value;
    if (!(in >> word >> value) || word != name) return std::nullopt;
    *field = FromHex(value);
    if (!*field) return std::nullopt;
  }
  pin.salt = *fields[0];
  pin.iv = *fields[1];
  pin.wrapped = *fields[2];
  if (pin.iv.size() != kIvBytes || pin.wrapped.size() != kKeyBytes + kTagBytes) return std::nullopt;
  return pin;
}

void WritePinFile(const std::string& directory, const PinFile& pin) {
  std::ostringstream out;
  out << kPinTitle << "\nkdf scrypt " << pin.n << " " << pin.r << " " << pin.p << "\nsalt " << ToHex(pin.salt)
      << "\niv " << ToHex(pin.iv) << "\nwrapped " << ToHex(pin.wrapped) << "\n";
  WriteWholeFile(PinPath(directory), out.str(), Visibility::kOwnerOnly);
}

// The AES-256-GCM key that seals the passphrase key.
Secret WrappingKey(const Secret& passphrase, const PinFile& pin, const std::string& containerPassword) {
  Secret stretched(std::string(kKeyBytes, '\0'));
  if (EVP_PBE_scrypt(passphrase.value().data(), passphrase.value().size(),
                     reinterpret_cast<const unsigned char*>(pin.salt.data()), pin.salt.size(), pin.n, pin.r, pin.p,
                     kScryptMaxMemory, reinterpret_cast<unsigned char*>(const_cast<char*>(stretched.value().data())),
                     kKeyBytes) != 1) {
    FailCrypto(kErrCrypto, "scrypt");
  }
  Secret material("CryptLib key container passphrase\n" + stretched.value() + "\n" + containerPassword);
  Secret key(std::string(SHA256_DIGEST_LENGTH, '\0'));
  SHA256(reinterpret_cast<const unsigned char*>(material.value().data()), material.value().size(),
         reinterpret_cast<unsigned char*>(const_cast<char*>(key.value().data())));
  return key;
}

// AES-256-GCM over the passphrase key (seal) or back (open); nullopt when
// the tag does not match, i.e. the passphrase was wrong.
std::optional<Secret> Gcm(bool seal, const Secret& key, const std::string& iv, const std::string& input) {
  using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
  CipherPtr context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  const auto* k = reinterpret_cast<const unsigned char*>(key.value().data());
  const auto* v = reinterpret_cast<const unsigned char*>(iv.data());
  const size_t body = seal ? input.size() : input.size() - kTagBytes;
  std::string output(body + (seal ? kTagBytes : 0), '\0');
  auto* out = reinterpret_cast<unsigned char*>(output.data());
  int length = 0;
  const auto* aad = reinterpret_cast<const unsigned char*>(kPinTitle);
  bool ok = context && EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, k, v, seal ? 1 : 0) == 1 &&
            EVP_CipherUpdate(context.get(), nullptr, &length, aad, sizeof kPinTitle - 1) == 1 &&
            EVP_CipherUpdate(context.get(), out, &length, reinterpret_cast<const unsigned char*>(input.data()),
                             static_cast<int>(body)) == 1;
  if (ok && !seal) {
    ok = EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, const_cast<char*>(input.data() + body)) ==
         1;
  }
  ok = ok && EVP_CipherFinal_ex(context.get(), out + body, &length) == 1;
  if (ok && seal) ok = EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, out + body) == 1;
  Secret result(std::move(output));
  if (!ok) {
    ERR_clear_error();
    return std::nullopt;
  }
  return result;
}

// The PKCS#8 password of key files under the passphrase.
Secret KeyFilePassword(const Secret& passphraseKey, const std::string& containerPassword) {
  Secret material("CryptLib key container passphrase keys\n" + containerPassword + "\n" + passphraseKey.value());
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(material.value().data()), material.value().size(), digest);
  Secret password(ToHex(std::string(reinterpret_cast<char*>(digest), sizeof digest)));
  OPENSSL_cleanse(digest, sizeof digest);
  return password;
}

PinFile Seal(const Secret& passphraseKey, const Secret& passphrase, const std::string& containerPassword) {
  PinFile pin;
  pin.salt = Random(kSaltBytes);
  pin.iv = Random(kIvBytes);
  std::optional<Secret> sealed =
      Gcm(true, WrappingKey(passphrase, pin, containerPassword), pin.iv, passphraseKey.value());
  if (!sealed) FailCrypto(kErrCrypto, "sealing the passphrase key");
  pin.wrapped = sealed->value();
  return pin;
}

// The passphrases read, per key directory, until they expire.
class PassphraseCache {
 public:
  std::optional<Secret> Find(const std::string& directory) {
    std::lock_guard lock(mutex_);
    DropExpired();
    auto it = entries_.find(directory);
    if (it == entries_.end()) return std::nullopt;
    return it->second.passphrase;
  }

  Clock::time_point Keep(const std::string& directory, const Secret& passphrase) {
    std::lock_guard lock(mutex_);
    // The time runs from the first entry: using the passphrase does not
    // extend it.
    auto it = entries_.find(directory);
    if (it != entries_.end() && it->second.passphrase.value() == passphrase.value()) return it->second.expires;
    Entry& entry = entries_[directory];
    entry.passphrase = passphrase;
    entry.expires = Clock::now() + Lifetime();
    return entry.expires;
  }

  Clock::time_point ExpiryOf(const std::string& directory) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(directory);
    return it != entries_.end() ? it->second.expires : Clock::now();
  }

  void Forget(const std::string& directory) {
    std::lock_guard lock(mutex_);
    entries_.erase(directory);
  }

  void ForgetAll() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

  static Clock::duration Lifetime() {
    const char* text = std::getenv("CRYPTLIB_REF_PASSPHRASE_SECONDS");
    long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : kPassphraseLifetime.count();
    return std::chrono::seconds(std::clamp<long>(seconds, 0, kPassphraseLifetime.count()));
  }

 private:
  struct Entry {
    Secret passphrase;
    Clock::time_point expires;
  };

  void DropExpired() {
    const Clock::time_point now = Clock::now();
    for (auto it = entries_.begin(); it != entries_.end();) {
      it = it->second.expires <= now ? entries_.erase(it) : std::next(it);
    }
  }

  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

PassphraseCache& Cache() {
  // In static storage, never destroyed: used until exit, and emptied (wiped)
  // by the module's release; nothing of it is left on the heap at unload.
  alignas(PassphraseCache) static unsigned char storage[sizeof(PassphraseCache)];
  static PassphraseCache* cache = new (storage) PassphraseCache();
  return *cache;
}

PinRequest RequestFor(const std::string& directory, const std::string& description, bool twice) {
  PinRequest request;
  request.keyDirectory = directory;
  request.description = description;
  request.twice = twice;
  return request;
}

std::optional<Secret> Open(const PinFile& pin, const Secret& passphrase, const std::string& containerPassword) {
  return Gcm(false, WrappingKey(passphrase, pin, containerPassword), pin.iv, pin.wrapped);
}

PinFile RequirePinFile(const std::string& directory) {
  std::optional<PinFile> pin = ReadPinFile(directory);
  if (!pin) Fail(kErrContainerDamaged, "pin.opq missing or unreadable in " + directory);
  return *pin;
}

}  // namespace

bool HasPassphrase(const std::string& nativeDirectory) {
  return IsRegularFile(PinPath(nativeDirectory));
}

PassphraseKey UnlockPassphraseKey(const std::string& nativeDirectory, const std::string& containerPassword,
                                  const std::string& source) {
  const PinFile pin = RequirePinFile(nativeDirectory);
  std::optional<Secret> passphrase = Cache().Find(nativeDirectory);
  if (!passphrase) {
    if (source.empty())
      Fail(kErrPassphraseUnavailable, "the key container is under a passphrase; parameter 8 is empty");
    passphrase = ReadPassphrase(
        source, RequestFor(nativeDirectory, "The passphrase of the key container " + nativeDirectory + ".", false));
  }
  std::optional<Secret> passphraseKey = Open(pin, *passphrase, containerPassword);
  if (!passphraseKey) {
    Cache().Forget(nativeDirectory);
    Fail(kErrWrongPassphrase, nativeDirectory);
  }
  PassphraseKey key;
  key.expires = Cache().Keep(nativeDirectory, *passphrase);
  key.password = KeyFilePassword(*passphraseKey, containerPassword);
  return key;
}

PassphraseKey CreatePassphraseKey(const std::string& nativeDirectory, const std::string& containerPassword,
                                  const std::string& source) {
  Secret passphrase = ReadPassphrase(
      source, RequestFor(nativeDirectory, "A new passphrase for the key container " + nativeDirectory + ".", true));
  Secret passphraseKey(Random(kKeyBytes));
  WritePinFile(nativeDirectory, Seal(passphraseKey, passphrase, containerPassword));
  PassphraseKey key;
  key.expires = Cache().Keep(nativeDirectory, passphrase);
  key.password = KeyFilePassword(passphraseKey, containerPassword);
  return key;
}

PassphraseKey ChangePassphrase(const std::string& nativeDirectory, const std::string& containerPassword,
                               const std::string& oldSource, const std::string& newSource) {
  const PinFile pin = RequirePinFile(nativeDirectory);
  Secret oldPassphrase = ReadPassphrase(
      oldSource,
      RequestFor(nativeDirectory, "The current passphrase of the key container " + nativeDirectory + ".", false));
  std::optional<Secret> passphraseKey = Open(pin, oldPassphrase, containerPassword);
  if (!passphraseKey) Fail(kErrWrongPassphrase, nativeDirectory);
  Secret newPassphrase = ReadPassphrase(
      newSource, RequestFor(nativeDirectory, "A new passphrase for the key container " + nativeDirectory + ".", true));
  WritePinFile(nativeDirectory, Seal(*passphraseKey, newPassphrase, containerPassword));
  Cache().Forget(nativeDirectory);
  PassphraseKey key;
  key.expires = Clock::now();
  key.password = KeyFilePassword(*passphraseKey, containerPassword);
  return key;
}

void RemovePassphrase(const std::string& nativeDirectory) {
  RemoveFileDurably(PinPath(nativeDirectory));
  Cache().Forget(nativeDirectory);
}

void ForgetPassphrases() {
  Cache().ForgetAll();
}

void ForgetPassphrase(const std::string& nativeDirectory) {
  Cache().Forget(nativeDirectory);
}

}  // namespace ref
