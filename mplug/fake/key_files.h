// Key containers on disk. A generation writes both key file sets into the key
// directory: the PSE set (uz.db3, gk.db3, num, DB\CRYPT\ckd.key,
// DB\SIGN\sec_sgn.key, sc_pub.key, DB\CRYPT\net_ks.key, DB\SIGN\pub_sgn.key)
// and the 2.x set (mk.db3, masks.db3, kek.opq, rand.opq, KEYS\<key id>.key).
// mk.db3, uz.db3 and the KEYS file hold the container record; the others a
// line naming them and the public key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "contexts.h"
#include "records.h"

namespace fake {

// Writes a new key pair for subject into directory and its request to
// requestFile (none when empty). 0 or a module error code.
int32_t GenerateKeys(const std::string& directory, const std::string& subject, const std::string& requestFile);
// The container of a key directory: mk.db3, else uz.db3.
std::optional<KeyContainer> ReadKeyContainer(const std::string& directory);
// The request subject of a context: parameters C, S, L, O, OU, CN, E and T.
std::string RequestSubject(const Context& context);
// The file holding the secret signing key of the PSE set in directory.
std::string SigningKeyFile(const std::string& directory);

}  // namespace fake
