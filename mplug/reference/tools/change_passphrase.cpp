#include "change_passphrase.h"

#include <exception>

#include "errors.h"
#include "files.h"
#include "key_container.h"
#include "module.h"
#include "passphrase.h"
#include "pin_source.h"

namespace ref {
namespace {

using Done = PassphraseChange::Done;

// A container with pin.opq: the passphrase is changed or taken away, or a
// run that put the container under newSource's passphrase is completed.
Done ChangeExisting(const std::string& directory, const std::string& password, const std::string& current,
                    const std::string& next) {
  if (current.empty() && !next.empty()) {
    // A run that put the container under the passphrase of next was cut
    // short: pin.opq is there, some key files are not yet under it.
    PassphraseKey key = UnlockPassphraseKey(directory, password, next);
    RewriteKeyFiles(directory, password, key.password.value(), true);
    return Done::kSet;
  }
  if (next.empty()) {
    PassphraseKey key = UnlockPassphraseKey(directory, password, current);
    RewriteKeyFiles(directory, password, key.password.value(), false);
    RemovePassphrase(directory);
    return Done::kRemoved;
  }
  PassphraseKey key = ChangePassphrase(directory, password, current, next);
  // Completes a run that put the container under a passphrase and was cut short.
  RewriteKeyFiles(directory, password, key.password.value(), true);
  return Done::kChanged;
}

Done Change(const std::string& directory, const std::string& current, const std::string& next) {
  // Token keys are protected by the token's own PIN: refused before pin.opq
  // is touched.
  if (!TokenReferences(directory).empty()) {
    Fail(kErrMixedContainer, directory + " refers to token keys: the token's own PIN protects them");
  }
  const std::string password = ContainerPassword(directory);
  if (HasPassphrase(directory)) return ChangeExisting(directory, password, current, next);
  if (next.empty()) return Done::kNothing;  // no passphrase before, none after
  PassphraseKey key = CreatePassphraseKey(directory, password, next);
  RewriteKeyFiles(directory, password, key.password.value(), true);
  return Done::kSet;
}

}  // namespace

PassphraseChange ChangeContainerPassphrase(const std::string& directory, const std::string& currentSource,
                                           const std::string& newSource) {
  PassphraseChange result;
  std::string native;
  try {
    native = RequirePath(directory, kErrKeyDirectory);
    if (!IsDirectory(native)) Fail(kErrKeyDirectory, native);
    result.done = Change(native, currentSource, newSource);
  } catch (const Failure& failure) {
    result.code = failure.code();
    result.message = failure.message();
  } catch (const std::exception& error) {
    result.code = kErrInternal;
    result.message = error.what();
  }
  // The cached passphrase is wiped now rather than at its expiry: the
  // program that changed it has no further use for it.
  if (!native.empty()) ForgetPassphrase(native);
  return result;
}

void SetPinSourceRoot(const std::string& root) {
  SetModuleRoot(root);
}

const char* DoneText(PassphraseChange::Done done) {
  switch (done) {
    case Done::kSet:
      return "set";
    case Done::kChanged:
      return "changed";
    case Done::kRemoved:
      return "removed";
    case Done::kNothing:
      break;
  }
  return "nothing to change";
}

}  // namespace ref
