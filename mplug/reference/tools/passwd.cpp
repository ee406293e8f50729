// cryptlib-ref-passwd: puts a key container of the reference module under a
// passphrase, changes its passphrase, or takes it away, in place.
//
//   cryptlib-ref-passwd <key directory> <current PIN source> <new PIN source>
//
// PIN sources as in vendor parameter 8 ("env:NAME", "file:NAME", "fd:N",
// "pinentry"); "-" or "" for none. Changing the passphrase replaces pin.opq in
// one step; putting a container under a passphrase or taking it away
// rewrites each key file in one step after (or before) pin.opq, so after an
// interruption the old or the new passphrase opens the keys, and running the
// same command again completes it.
//
// Exit status: 0 done, 2 wrong passphrase, 3 passphrase not available,
// 1 any other failure, 64 wrong usage.
#include <cstdio>
#include <string>

#include "errors.h"
#include "files.h"
#include "key_container.h"
#include "module.h"
#include "passphrase.h"

namespace {

std::string Source(const char* argument) {
  std::string source = argument;
  return source == "-" ? std::string() : source;
}

void Run(const std::string& directory, const std::string& current, const std::string& next) {
  const std::string password = ref::ContainerPassword(directory);
  if (ref::HasPassphrase(directory)) {
    if (current.empty() && !next.empty()) {
      // A run that put the container under the passphrase of next was cut
      // short: pin.opq is there, some key files are not yet under it.
      ref::PassphraseKey key = ref::UnlockPassphraseKey(directory, password, next);
      ref::RewriteKeyFiles(directory, password, key.password.value(), true);
      return;
    }
    if (next.empty()) {
      ref::PassphraseKey key = ref::UnlockPassphraseKey(directory, password, current);
      ref::RewriteKeyFiles(directory, password, key.password.value(), false);
      ref::RemovePassphrase(directory);
      return;
    }
    ref::PassphraseKey key = ref::ChangePassphrase(directory, password, current, next);
    // Completes a run that put the container under a passphrase and was cut short.
    ref::RewriteKeyFiles(directory, password, key.password.value(), true);
    return;
  }
  if (next.empty()) return;  // no passphrase before, none after
  ref::PassphraseKey key = ref::CreatePassphraseKey(directory, password, next);
  ref::RewriteKeyFiles(directory, password, key.password.value(), true);
}

int ExitStatus(int32_t code) {
  switch (code) {
    case ref::kErrWrongPassphrase:
      return 2;
    case ref::kErrPassphraseUnavailable:
      return 3;
    default:
      return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <key directory> <current PIN source> <new PIN source>\n", argv[0]);
    return 64;
  }
  try {
    const std::string directory = ref::RequirePath(argv[1], ref::kErrKeyDirectory);
    if (!ref::IsDirectory(directory)) ref::Fail(ref::kErrKeyDirectory, directory);
    Run(directory, Source(argv[2]), Source(argv[3]));
  } catch (const ref::Failure& failure) {
    std::fprintf(stderr, "%s\n", failure.message().c_str());
    return ExitStatus(failure.code());
  }
  return 0;
}
