// TMPro1CryptoEngine: local key generation on the engine's own binding. The
// module creates the key container and writes the certificate request at the
// places the parameters name; the engine only hands over the values.
#include "cryptlib.h"
#include "engine/ce_mpro.h"

namespace cryptlib {

int32_t TMPro1CryptoEngine::GenerateNewSSK() {
  return GenerateOnOwnBinding("TMProCryptoEngine.GenerateNewSSK: ", &TMProDLL::GenerateNewSSK);
}

int32_t TMPro1CryptoEngine::GenerateNewSEK() {
  return GenerateOnOwnBinding("TMProCryptoEngine.GenerateNewSEK: ", &TMProDLL::GenerateNewSEK);
}

int32_t TMPro1CryptoEngine::GenerateOnOwnBinding(const char* prefix, KeyGenerator generate) {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  return Guarded(prefix, [&] { return (binding->*generate)(BuildSnapshot(*binding)); });
}

}  // namespace cryptlib
