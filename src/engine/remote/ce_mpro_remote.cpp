// TMPro1CryptoEngine: the one-call start of remote key generation. The
// generation itself (slot 82) belongs to the engine that knows the module's
// key container.
#include <string>

#include "cryptlib.h"
#include "engine/ce_mpro.h"
#include "engine/formats/remote_key_name.h"

namespace cryptlib {

int32_t TMPro1CryptoEngine::InternalRemoteGenerateStart(char*, const std::string&, bool) {
  return CE_UNSUPPORTED;
}

int32_t TMPro1CryptoEngine::InternalRemoteGenerateStartEx(const char* keyName, char* exchange, uint32_t* step) {
  if (step == nullptr) return CE_BAD_ARGUMENT;
  // The full UID: the key name made from it names the key's files.
  std::string uid;
  if (const int32_t result = CurrentUserUID(uid)) {
    // Without a current user the host gets another chance at the next step,
    // with fresh contexts.
    if (*step != 0 && *step != 10) return result;
    *step += 2;
    ClearCash();
    return CE_OK;
  }
  std::string name;
  const int32_t named = Guarded("TMProCryptoEngine.RemoteGenerateStartEx: ", [&] {
    name = RemoteKeyName(keyName, uid, UIDField());
    return CE_OK;
  });
  if (named != CE_OK) return named;
  const int32_t result = InternalRemoteGenerateStart(exchange, name, *step > 9);
  if (result == CE_OK) *step = 1;
  return result;
}

}  // namespace cryptlib
