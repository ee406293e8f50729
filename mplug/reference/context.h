// A module context: the parameter values InitCrypto's caller set, and what
// the context parsed from them (own certificate, private keys, the
// certificate directory, the trust store), kept until the context is closed
// or the parameter it came from changes. What a context parses comes from
// the parses shared by all contexts (parse_cache.h), so a new context reads
// again only the files that changed.
//
// Thread safety: several threads may use one context at once. The mutex
// guards the values and the cache slots only; parsed state is handed out as
// shared pointers to immutable objects, so the cryptography itself runs
// without holding the lock (OpenSSL objects are safe to share for reading).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "key_container.h"
#include "ossl.h"

namespace ref {

struct Holder {
  X509Ptr certificate;
  std::string subjectLine;
  std::string serialId;
};
using HolderPtr = std::shared_ptr<const Holder>;

HolderPtr MakeHolder(X509Ptr certificate);

struct TrustStore {
  X509StorePtr strict;        // chain, validity and (with lists) revocation
  X509StorePtr ignoringTime;  // the same without any time check
  std::vector<X509CrlPtr> crls;
  bool hasAuthorities = false;
};

class Context {
 public:
  explicit Context(int32_t handle);

  int32_t handle() const { return handle_; }

  // Values are trimmed of characters up to the space at both ends on reading.
  std::string Param(int index) const;
  void SetParam(int index, const std::string& value);

  // Holders are named by subject line, or by serial identifier when the UID
  // field (parameter 20) is "SN".
  bool NamesBySerial() const;
  std::string NameOf(const Holder& holder) const;

  HolderPtr Own();
  std::shared_ptr<const ContainerKeys> Keys();
  // The private key of a certificate among Keys(); fails with
  // kErrPrivateKeyNotFound.
  EVP_PKEY* KeyFor(const ContainerKeys& keys, const Holder& holder) const;
  // Own, loaded and directory certificates, searched in that order; a miss
  // reads the certificate directory again once. nullptr when unknown.
  HolderPtr FindHolder(const std::string& name);
  std::vector<HolderPtr> KnownHolders();
  // Authorities and revocation lists: the directories of parameters 25 and 26
  // (indexes kCaDir, kCrlDir), else the key directory's "CA" and "CRL", where
  // the engine files them when it lays a store out.
  std::shared_ptr<const TrustStore> Trust();

  void AddLoaded(X509Ptr certificate);
  // Drops the parsed keys and own certificate so that the next use reads them
  // again (after a generation or a renewal).
  void ForgetKeys();

  void RecordError(const std::string& message);
  std::string LastError() const;

 private:
  std::shared_ptr<const std::vector<HolderPtr>> Directory(bool reread);
  HolderPtr FindIn(const std::vector<HolderPtr>& holders, const std::string& name) const;
  std::string StoreDirectory(int param, const char* subdirectory) const;

  const int32_t handle_;
  mutable std::mutex mutex_;
  std::vector<std::string> params_;
  HolderPtr own_;
  std::shared_ptr<const ContainerKeys> keys_;
  std::shared_ptr<const std::vector<HolderPtr>> directory_;
  std::vector<HolderPtr> loaded_;
  std::shared_ptr<const TrustStore> trust_;
  std::string lastError_;
};

// The open contexts of the process. Handles count up from 1 and are never
// reused, so a closed handle stays unknown.
class ContextRegistry {
 public:
  int32_t Open();
  std::shared_ptr<Context> Find(int32_t handle) const;
  bool Close(int32_t handle);
  // Closes every context (the module's release at unload and exit).
  void CloseAll();

 private:
  mutable std::mutex mutex_;
  int32_t next_ = 1;
  std::map<int32_t, std::shared_ptr<Context>> open_;
};

ContextRegistry& Contexts();

}  // namespace ref
