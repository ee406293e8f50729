// Changing the passphrase of a key container in place: the routine behind
// cryptlib-ref-passwd and "cryptlib-host keys passwd". It puts a container
// under a passphrase, changes the passphrase, or takes it away, so that after
// an interruption at any file step the old or the new passphrase opens the
// keys, and running the same change again completes it.
//
// This header is all a program outside the module sees: it carries no
// module types, so that the programs' own headers do not meet the module's.
#pragma once

#include <cstdint>
#include <string>

namespace ref {

struct PassphraseChange {
  enum class Done { kNothing, kSet, kChanged, kRemoved };
  Done done = Done::kNothing;
  int32_t code = 0;     // 0, or the module's code: 2040 wrong passphrase, 2041 not available, ...
  std::string message;  // the failure's text (the code's text and its detail)
  bool ok() const { return code == 0; }
};

// directory: the key directory (parameter 3, else 23). currentSource opens
// the container ("" when it has no passphrase yet); newSource gives the new
// passphrase, asked twice ("" takes the passphrase away). PIN sources as
// the module reads parameter 8. Never throws.
PassphraseChange ChangeContainerPassphrase(const std::string& directory, const std::string& currentSource,
                                           const std::string& newSource);

// The installation root that "%QamRoot%" stands for in file: sources (the
// module gets it from the engine).
void SetPinSourceRoot(const std::string& root);

// What "done" says in words: "set", "changed", "removed", "nothing to change".
const char* DoneText(PassphraseChange::Done done);

}  // namespace ref
