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
// same command again completes it (change_passphrase.h).
//
// Exit status: 0 done, 2 wrong passphrase, 3 passphrase not available,
// 1 any other failure, 64 wrong usage.
#include <cstdio>
#include <string>

#include "change_passphrase.h"
#include "module.h"

namespace {

std::string Source(const char* argument) {
  std::string source = argument;
  return source == "-" ? std::string() : source;
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
  const ref::PassphraseChange change = ref::ChangeContainerPassphrase(argv[1], Source(argv[2]), Source(argv[3]));
  if (change.ok()) return 0;
  std::fprintf(stderr, "%s\n", change.message.c_str());
  return ExitStatus(change.code);
}
