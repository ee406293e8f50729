// Where the passphrase of a key container comes from: vendor parameter 8.
//
//   ""              no passphrase (containers made without one)
//   "env:NAME"      the value of the environment variable NAME
//   "file:NAME"     the first line of a file: NAME relative to the key
//                   directory, absolute, or beginning with "%QamRoot%" (the
//                   root the engine gave SetRootPath)
//   "fd:N"          one line read from the open file descriptor N
//   "pinentry"      the pinentry program found on PATH, asked over the
//                   Assuan protocol; "pinentry:PROGRAM" names the program
//
// A source that yields nothing (unset variable, missing file, closed
// descriptor, a dialogue cancelled, two entries that differ) fails with
// kErrPassphraseUnavailable.
#pragma once

#include <string>

#include "secret.h"

namespace ref {

struct PinRequest {
  std::string keyDirectory;  // native; file: names are relative to it
  std::string description;   // what pinentry shows
  bool twice = false;        // a new passphrase: entered twice, both must agree
};

// The root SetRootPath gave, for "%QamRoot%".
void SetModuleRoot(const std::string& root);

Secret ReadPassphrase(const std::string& source, const PinRequest& request);

}  // namespace ref
