#include "token_keys.h"

#include "certificates.h"
#include "errors.h"
#include "file_writes.h"
#include "files.h"
#include "key_container.h"
#include "module.h"
#include "token.h"

namespace ref {
namespace {

// The name a key file of the own certificate's key has ("" without one).
std::string CurrentKeyFileName(const std::string& certificate) {
  if (certificate.empty()) return {};
  X509Ptr parsed = ReadCertificateFile(RequirePath(certificate, kErrOwnCertificate), kErrOwnCertificate);
  return KeyFileName(X509_get0_pubkey(parsed.get()));
}

std::string NameOf(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

TokenKeyEntry Describe(const std::string& file, const std::string& uri, const std::string& current,
                       const TokenAccess& access) {
  TokenKeyEntry entry;
  entry.file = file;
  entry.uri = uri;
  entry.current = !current.empty() && NameOf(file) == current;
  try {
    TokenKeyFacts facts = DescribeTokenKey(uri, access);
    entry.label = facts.label;
    entry.sensitive = facts.sensitive;
    entry.extractable = facts.extractable;
  } catch (const Failure& failure) {
    entry.code = failure.code();
    entry.message = failure.message();
  }
  return entry;
}

std::vector<TokenKeyEntry> Entries(const std::string& native, const std::string& certificate,
                                   const TokenAccess& access) {
  const std::string current = CurrentKeyFileName(certificate);
  std::vector<TokenKeyEntry> entries;
  for (const std::string& file : KeyFiles(native)) {
    std::optional<std::string> contents = ReadWholeFile(file);
    if (contents && IsTokenReference(*contents)) {
      entries.push_back(Describe(file, ReferenceUri(*contents), current, access));
    }
  }
  return entries;
}

template <class Work>
TokenKeyList ListedOrFailed(Work work) {
  TokenKeyList list;
  try {
    work(list);
  } catch (const Failure& failure) {
    list.code = failure.code();
    list.message = failure.message();
  } catch (const std::exception& error) {
    list.code = kErrInternal;
    list.message = error.what();
  }
  return list;
}

}  // namespace

TokenKeyList ListTokenKeys(const std::string& directory, const std::string& certificate, const std::string& library,
                           const std::string& pinSource) {
  return ListedOrFailed([&](TokenKeyList& list) {
    const std::string native = RequirePath(directory, kErrKeyDirectory);
    if (!IsDirectory(native)) Fail(kErrKeyDirectory, native);
    list.keys = Entries(native, certificate, TokenAccess{library, pinSource, native});
  });
}

TokenKeyList RemoveTokenKey(const std::string& directory, const std::string& certificate, const std::string& uri,
                            const std::string& library, const std::string& pinSource) {
  return ListedOrFailed([&](TokenKeyList& list) {
    const std::string native = RequirePath(directory, kErrKeyDirectory);
    if (!IsDirectory(native)) Fail(kErrKeyDirectory, native);
    const TokenAccess access{library, pinSource, native};
    for (const TokenKeyEntry& entry : Entries(native, certificate, access)) {
      if (entry.uri != uri) continue;
      if (entry.current) Fail(kErrBadArguments, "the key of the own certificate is not removed: " + uri);
      // The object first: a reference without its object is reported as
      // missing, an object without a reference would be lost to the user.
      if (entry.code != kErrTokenKeyMissing) DestroyTokenKey(uri, access);
      RemoveFileDurably(entry.file);
      list.keys.push_back(entry);
      return;
    }
    Fail(kErrBadArguments, "the key container refers to no key " + uri);
  });
}

}  // namespace ref
