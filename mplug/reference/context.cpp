#include "context.h"

#include <openssl/pem.h>

#include <algorithm>

#include "certificates.h"
#include "errors.h"
#include "files.h"
#include "gost_engine.h"
#include "module.h"
#include "names.h"

namespace ref {
namespace {

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

std::shared_ptr<const TrustStore> BuildTrust(const std::string& caDirectory, const std::string& crlDirectory) {
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
    case kPrivateKeyFile:
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
  HolderPtr own = MakeHolder(ReadCertificateFile(path, kErrOwnCertificate));
  std::lock_guard lock(mutex_);
  if (!own_) own_ = own;
  return own_;
}

std::shared_ptr<const ContainerKeys> Context::Keys() {
  std::string keyFile = Param(kPrivateKeyFile);
  std::string directory = Param(kKeyDir);
  if (directory.empty()) directory = Param(kKeyMediaDir);
  {
    std::lock_guard lock(mutex_);
    if (keys_) return keys_;
  }
  auto keys = std::make_shared<ContainerKeys>();
  if (!directory.empty()) *keys = LoadContainerKeys(RequirePath(directory, kErrKeyDirectory));
  if (!keyFile.empty()) {
    // A plain (unencrypted) PEM private key named by parameter 7, beside the
    // container: keys made by other tools can be used as they are.
    std::optional<std::string> contents = ReadWholeFile(RequirePath(keyFile, kErrPrivateKeyNotFound));
    if (!contents) Fail(kErrPrivateKeyNotFound, keyFile);
    BioPtr bio = MemoryBio(*contents);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, const_cast<char*>(""));
    if (key == nullptr) FailCrypto(kErrPrivateKeyNotFound, "cannot read " + keyFile);
    keys->keys.emplace_back(key);
    keys->files.push_back(keyFile);
  }
  if (directory.empty() && keyFile.empty()) Fail(kErrKeyDirectory, "parameters 3 and 23 are empty");
  std::lock_guard lock(mutex_);
  if (!keys_) keys_ = keys;
  return keys_;
}

EVP_PKEY* Context::KeyFor(const ContainerKeys& keys, const Holder& holder) const {
  const EVP_PKEY* wanted = X509_get0_pubkey(holder.certificate.get());
  for (const PkeyPtr& key : keys.keys) {
    if (SameKey(wanted, key.get())) return key.get();
  }
  Fail(kErrPrivateKeyNotFound, "no key in the key container fits " + holder.subjectLine);
}

std::shared_ptr<const std::vector<HolderPtr>> Context::Directory(bool reread) {
  std::string directory = ExistingDirectory(Param(kCertificateDir));
  {
    std::lock_guard lock(mutex_);
    if (directory_ && !reread) return directory_;
  }
  auto holders = std::make_shared<std::vector<HolderPtr>>();
  if (!directory.empty()) {
    for (X509Ptr& certificate : CertificatesIn(directory)) holders->push_back(MakeHolder(std::move(certificate)));
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

std::shared_ptr<const TrustStore> Context::Trust() {
  std::string authorities = ExistingDirectory(Param(kCaDir));
  std::string crls = ExistingDirectory(Param(kCrlDir));
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
  // Never destroyed: contexts left open at exit would otherwise free OpenSSL
  // objects after OpenSSL's own cleanup has run.
  static ContextRegistry* registry = new ContextRegistry;
  return *registry;
}

}  // namespace ref
