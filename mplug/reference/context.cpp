#include "context.h"

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "certificates.h"
#include "errors.h"
#include "files.h"
#include "gost_engine.h"
#include "module.h"
#include "names.h"
#include "parse_cache.h"
#include "passphrase.h"
#include "token.h"

namespace ref {
namespace {

// What a certificate file holds; no holder when it is not a certificate.
struct CertificateFile {
  HolderPtr holder;
};

struct KeyFile {
  PkeyPtr key;
};

// Module objects that are never destroyed: they live in static storage, so
// that a call arriving during exit still finds them, and the finaliser below
// empties them while OpenSSL can still free what they hold.
template <class T, class... Args>
T& Immortal(Args&&... args) {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* object = new (storage) T(std::forward<Args>(args)...);
  return *object;
}

// Bounds of the shared parses: a bank's certificate directory and a few
// abonents' key sets and trust stores.
SharedParses<CertificateFile>& SharedCertificates() {
  return Immortal<SharedParses<CertificateFile>>(1024);
}
SharedParses<ContainerKeys>& SharedContainers() {
  return Immortal<SharedParses<ContainerKeys>>(64);
}
SharedParses<KeyFile>& SharedKeyFiles() {
  return Immortal<SharedParses<KeyFile>>(64);
}
SharedParses<TrustStore>& SharedTrust() {
  return Immortal<SharedParses<TrustStore>>(16);
}

// Closes every context and drops every shared parse. Registered with atexit
// after OpenSSL has registered its own clean-up, so it runs before that one
// at exit, and when the module is unloaded.
void ReleaseModuleObjects() {
  Contexts().CloseAll();
  SharedCertificates().Clear();
  SharedContainers().Clear();
  SharedKeyFiles().Clear();
  SharedTrust().Clear();
  ForgetPassphrases();
  // Last: the keys that used the token sessions and methods are gone now.
  ReleaseTokens();
}

void RegisterRelease() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(0, nullptr);
    std::atexit(ReleaseModuleObjects);
  });
}

// The parse of a certificate file (native path); nullptr when it cannot be
// read.
std::shared_ptr<const CertificateFile> ReadCertificate(const std::string& nativePath) {
  FileSet files;
  files.Add(nativePath);
  return SharedCertificates().Get(nativePath, files, [&]() -> std::shared_ptr<const CertificateFile> {
    std::optional<std::string> contents = ReadWholeFile(nativePath, kMaxCertificateFileBytes);
    if (!contents) return nullptr;
    auto parsed = std::make_shared<CertificateFile>();
    if (X509Ptr certificate = ParseCertificate(contents->data(), contents->size())) {
      parsed->holder = MakeHolder(std::move(certificate));
    }
    return parsed;
  });
}

// Adds an entry of a key container's directory (native) to files and answers
// its path, matched without regard to case as the container looks for it. The
// exact spelling is checked first, by the look that takes its state.
std::string AddContainerEntry(FileSet& files, const std::string& directory, const char* name) {
  const std::string exact = directory + "/" + name;
  if (files.Add(exact)) return exact;
  const std::string matched = NativePath(exact).value_or(exact);
  if (matched != exact) files.Add(matched);
  return matched;
}

// The keys of a container (native directory), with the failures of
// LoadContainerKeys. Keyed by every file the container reads.
std::shared_ptr<const ContainerKeys> ReadContainer(const std::string& nativeDirectory, const std::string& pinSource,
                                                   const std::string& tokenLibrary) {
  FileSet files;
  files.Add(nativeDirectory);
  for (const char* name : {"mk.db3", "masks.db3", "kek.opq", "pin.opq"}) {
    AddContainerEntry(files, nativeDirectory, name);
  }
  const std::string keys = AddContainerEntry(files, nativeDirectory, "KEYS");
  for (const std::string& file : FilesIn(keys)) files.Add(file);
  return SharedContainers().Get(nativeDirectory, files, [&] {
    return std::make_shared<const ContainerKeys>(LoadContainerKeys(nativeDirectory, pinSource, tokenLibrary));
  });
}

// A plain (unencrypted) PEM private key named by parameter 7.
std::shared_ptr<const KeyFile> ReadKeyFile(const std::string& keyFile) {
  const std::string native = RequirePath(keyFile, kErrPrivateKeyNotFound);
  FileSet files;
  files.Add(native);
  return SharedKeyFiles().Get(native, files, [&] {
    std::optional<std::string> contents = ReadWholeFile(native);
    if (!contents) Fail(kErrPrivateKeyNotFound, keyFile);
    BioPtr bio = MemoryBio(*contents);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""));
    if (key == nullptr) FailCrypto(kErrPrivateKeyNotFound, "cannot read " + keyFile);
    auto parsed = std::make_shared<KeyFile>();
    parsed->key.reset(key);
    return std::shared_ptr<const KeyFile>(std::move(parsed));
  });
}

PkeyPtr SharedKey(EVP_PKEY* key) {
  EVP_PKEY_up_ref(key);
  return PkeyPtr(key);
}

std::string Trim(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

// The directory of a parameter in native form, or "" when unset or missing.
std::string ExistingDirectory(const std::string& value) {
  if (value.empty()) return {};
  std::optional<std::string> native = NativePath(value);
  return native && IsDirectory(*native) ? *native : std::string();
}

X509StorePtr NewStore(unsigned long flags) {
  X509StorePtr store(X509_STORE_new());
  if (!store) FailCrypto(kErrInternal, "X509_STORE_new");
  if (flags != 0) X509_STORE_set_flags(store.get(), flags);
  return store;
}

std::shared_ptr<const TrustStore> ParseTrust(const std::string& caDirectory, const std::string& crlDirectory) {
  auto trust = std::make_shared<TrustStore>();
  std::vector<X509Ptr> authorities = caDirectory.empty() ? std::vector<X509Ptr>() : CertificatesIn(caDirectory);
  trust->crls = crlDirectory.empty() ? std::vector<X509CrlPtr>() : CrlsIn(crlDirectory);
  trust->hasAuthorities = !authorities.empty();
  unsigned long flags = trust->crls.empty() ? 0 : X509_V_FLAG_CRL_CHECK;
  trust->strict = NewStore(flags);
  trust->ignoringTime = NewStore(flags | X509_V_FLAG_NO_CHECK_TIME);
  for (X509StorePtr* store : {&trust->strict, &trust->ignoringTime}) {
    for (const X509Ptr& authority : authorities) X509_STORE_add_cert(store->get(), authority.get());
    for (const X509CrlPtr& crl : trust->crls) X509_STORE_add_crl(store->get(), crl.get());
  }
  ERR_clear_error();  // duplicates across the directories are not an error
  return trust;
}

std::shared_ptr<const TrustStore> BuildTrust(const std::string& caDirectory, const std::string& crlDirectory) {
  FileSet files;
  for (const std::string* directory : {&caDirectory, &crlDirectory}) {
    if (directory->empty()) continue;
    files.Add(*directory);
    for (const std::string& file : FilesIn(*directory)) files.Add(file);
  }
  return SharedTrust().Get(caDirectory + '\0' + crlDirectory, files,
                           [&] { return ParseTrust(caDirectory, crlDirectory); });
}

}  // namespace

HolderPtr MakeHolder(X509Ptr certificate) {
  auto holder = std::make_shared<Holder>();
  holder->subjectLine = SubjectLine(X509_get_subject_name(certificate.get()));
  holder->serialId = SerialIdentifier(certificate.get());
  holder->certificate = std::move(certificate);
  return holder;
}

Context::Context(int32_t handle) : handle_(handle), params_(kParamCount) {}

std::string Context::Param(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= kParamCount) return {};
  return Trim(params_[static_cast<size_t>(index)]);
}

void Context::SetParam(int index, const std::string& value) {
  if (index < 0 || index >= kParamCount) Fail(kErrParamIndex, std::to_string(index));
  std::lock_guard lock(mutex_);
  params_[static_cast<size_t>(index)] = value;
  switch (index) {
    case kOwnCertificate:
      own_.reset();
      break;
    case kCertificateDir:
      directory_.reset();
      break;
    case kKeyDir:
      keys_.reset();
      trust_.reset();  // the CA and CRL directories default to its subdirectories
      break;
    case kPrivateKeyFile:
    case kPinSource:
    case kTokenLibrary:
    case kKeyMediaDir:
      keys_.reset();
      break;
    case kCaDir:
    case kCrlDir:
      trust_.reset();
      break;
    default:
      break;
  }
}

bool Context::NamesBySerial() const {
  return Param(kUidField) == "SN";
}

std::string Context::NameOf(const Holder& holder) const {
  return NamesBySerial() ? holder.serialId : holder.subjectLine;
}

HolderPtr Context::Own() {
  std::string path = Param(kOwnCertificate);
  {
    std::lock_guard lock(mutex_);
    if (own_) return own_;
  }
  if (path.empty()) Fail(kErrOwnCertificate, "parameter 1 is empty");
  std::shared_ptr<const CertificateFile> parsed = ReadCertificate(RequirePath(path, kErrOwnCertificate));
  if (!parsed) Fail(kErrOwnCertificate, "cannot read " + path);
  if (!parsed->holder) Fail(kErrNotCertificate, path);
  HolderPtr own = parsed->holder;
  std::lock_guard lock(mutex_);
  if (!own_) own_ = own;
  return own_;
}

std::shared_ptr<const ContainerKeys> Context::Keys() {
  std::string keyFile = Param(kPrivateKeyFile);
  std::string directory = Param(kKeyDir);
  if (directory.empty()) directory = Param(kKeyMediaDir);
  const std::string pinSource = Param(kPinSource);
  {
    std::lock_guard lock(mutex_);
    // Keys opened with a passphrase are given up when it expires.
    if (keys_ && keys_->expires > std::chrono::steady_clock::now()) return keys_;
  }
  std::shared_ptr<const ContainerKeys> keys;
  if (!directory.empty()) {
    const std::string native = RequirePath(directory, kErrKeyDirectory);
    // With a plain key file a directory that holds no container adds
    // nothing; without one the container is required.
    const std::optional<std::string> master = NativePath(directory + "/mk.db3");
    if (keyFile.empty() || (master && IsRegularFile(*master)))
      keys = ReadContainer(native, pinSource, Param(kTokenLibrary));
  }
  if (!keyFile.empty()) {
    // A plain (unencrypted) PEM private key named by parameter 7, beside the
    // container: keys made by other tools can be used as they are.
    std::shared_ptr<const KeyFile> plain = ReadKeyFile(keyFile);
    auto both = std::make_shared<ContainerKeys>();
    if (keys) {
      for (const PkeyPtr& key : keys->keys) both->keys.push_back(SharedKey(key.get()));
      both->files = keys->files;
      both->unreadable = keys->unreadable;
      both->passphraseFailure = keys->passphraseFailure;
      both->tokenFailure = keys->tokenFailure;
      both->expires = keys->expires;
    }
    both->keys.push_back(SharedKey(plain->key.get()));
    both->files.push_back(keyFile);
    keys = std::move(both);
  }
  if (directory.empty() && keyFile.empty()) Fail(kErrKeyDirectory, "parameters 3 and 23 are empty");
  std::lock_guard lock(mutex_);
  if (!keys_ || keys_->expires <= std::chrono::steady_clock::now()) keys_ = keys;
  return keys_;
}

EVP_PKEY* Context::KeyFor(const ContainerKeys& keys, const Holder& holder) const {
  if (EVP_PKEY* key = FindKey(keys, X509_get0_pubkey(holder.certificate.get()))) return key;
  FailNoFittingKey(keys, holder.subjectLine);
}

std::shared_ptr<const std::vector<HolderPtr>> Context::Directory(bool reread) {
  std::string directory = ExistingDirectory(Param(kCertificateDir));
  {
    std::lock_guard lock(mutex_);
    if (directory_ && !reread) return directory_;
  }
  auto holders = std::make_shared<std::vector<HolderPtr>>();
  if (!directory.empty()) {
    for (const std::string& file : FilesIn(directory)) {
      std::shared_ptr<const CertificateFile> parsed = ReadCertificate(file);
      if (parsed && parsed->holder) holders->push_back(parsed->holder);
    }
  }
  std::lock_guard lock(mutex_);
  directory_ = holders;
  return directory_;
}

HolderPtr Context::FindIn(const std::vector<HolderPtr>& holders, const std::string& name) const {
  bool bySerial = NamesBySerial();
  for (const HolderPtr& holder : holders) {
    if ((bySerial ? holder->serialId : holder->subjectLine) == name) return holder;
  }
  return nullptr;
}

HolderPtr Context::FindHolder(const std::string& name) {
  std::vector<HolderPtr> nearby;
  if (!Param(kOwnCertificate).empty()) {
    try {
      nearby.push_back(Own());
    } catch (const Failure&) {
      // an unreadable own certificate only matters where it is required
    }
  }
  {
    std::lock_guard lock(mutex_);
    nearby.insert(nearby.end(), loaded_.begin(), loaded_.end());
  }
  if (HolderPtr holder = FindIn(nearby, name)) return holder;
  if (HolderPtr holder = FindIn(*Directory(false), name)) return holder;
  // Certificates may have been added to the directory since it was read.
  return FindIn(*Directory(true), name);
}

std::vector<HolderPtr> Context::KnownHolders() {
  std::vector<HolderPtr> holders;
  if (!Param(kOwnCertificate).empty()) {
    try {
      holders.push_back(Own());
    } catch (const Failure&) {
    }
  }
  {
    std::lock_guard lock(mutex_);
    holders.insert(holders.end(), loaded_.begin(), loaded_.end());
  }
  std::shared_ptr<const std::vector<HolderPtr>> directory = Directory(false);
  holders.insert(holders.end(), directory->begin(), directory->end());
  return holders;
}

std::string Context::StoreDirectory(int param, const char* subdirectory) const {
  std::string value = Param(param);
  if (!value.empty()) return value;
  std::string keyDirectory = Param(kKeyDir);
  if (keyDirectory.empty()) return {};
  return keyDirectory + "\\" + subdirectory;
}

std::shared_ptr<const TrustStore> Context::Trust() {
  std::string authorities = ExistingDirectory(StoreDirectory(kCaDir, "CA"));
  std::string crls = ExistingDirectory(StoreDirectory(kCrlDir, "CRL"));
  {
    std::lock_guard lock(mutex_);
    if (trust_) return trust_;
  }
  std::shared_ptr<const TrustStore> trust = BuildTrust(authorities, crls);
  std::lock_guard lock(mutex_);
  if (!trust_) trust_ = trust;
  return trust_;
}

void Context::AddLoaded(X509Ptr certificate) {
  HolderPtr holder = MakeHolder(std::move(certificate));
  std::lock_guard lock(mutex_);
  loaded_.push_back(holder);
}

void Context::ForgetKeys() {
  std::lock_guard lock(mutex_);
  keys_.reset();
  own_.reset();
}

void Context::RecordError(const std::string& message) {
  std::lock_guard lock(mutex_);
  lastError_ = message;
}

std::string Context::LastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

int32_t ContextRegistry::Open() {
  GostEngine();  // GOST certificates and keys parse only once the engine is in
  std::lock_guard lock(mutex_);
  int32_t handle = next_++;
  open_.emplace(handle, std::make_shared<Context>(handle));
  return handle;
}

std::shared_ptr<Context> ContextRegistry::Find(int32_t handle) const {
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  return it != open_.end() ? it->second : nullptr;
}

bool ContextRegistry::Close(int32_t handle) {
  std::shared_ptr<Context> closing;  // released after the lock; threads still using it keep it alive
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  if (it == open_.end()) return false;
  closing = it->second;
  open_.erase(it);
  return true;
}

ContextRegistry& Contexts() {
  RegisterRelease();
  return Immortal<ContextRegistry>();
}

void ContextRegistry::CloseAll() {
  std::map<int32_t, std::shared_ptr<Context>> closing;  // released after the lock
  std::lock_guard lock(mutex_);
  closing.swap(open_);
}

}  // namespace ref
