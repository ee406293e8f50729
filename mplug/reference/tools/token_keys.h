// The token keys a key container refers to, for "cryptlib-host keys tokens"
// and "keys token-remove": what each reference names on its token, and the
// removal of a key object the current certificate no longer needs (after a
// remote replacement the old key stays on the token until then).
//
// Like change_passphrase.h this header carries no module types.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ref {

struct TokenKeyEntry {
  std::string file;      // the reference file in KEYS
  std::string uri;       // of the private key object
  std::string label;     // of the object on the token
  bool current = false;  // fits the own certificate
  bool sensitive = false;
  bool extractable = true;
  int32_t code = 0;     // 0, or why the object could not be read (2042 token absent, 2045 missing ...)
  std::string message;  // that failure's text
};

struct TokenKeyList {
  int32_t code = 0;  // 0, or the module's code when the container could not be read
  std::string message;
  std::vector<TokenKeyEntry> keys;
  bool ok() const { return code == 0; }
};

// directory: the key directory; certificate: the own certificate (may be
// empty: then no key is current); library: parameter 18; pinSource:
// parameter 8. Never throws.
TokenKeyList ListTokenKeys(const std::string& directory, const std::string& certificate, const std::string& library,
                           const std::string& pinSource);

// Removes the key object a reference of the container names (private and
// public key) and then the reference file. Refuses (2002) a URI the
// container does not refer to and the key of the own certificate. Answers
// what was removed, or the failure. Never throws.
TokenKeyList RemoveTokenKey(const std::string& directory, const std::string& certificate, const std::string& uri,
                            const std::string& library, const std::string& pinSource);

}  // namespace ref
