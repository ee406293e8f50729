// TMPro2xCryptoEngine: local key generation by the 2.x module, which puts the
// new key set on the key media rather than into the active key directory.
#include "binding/param_numbers.h"
#include "cryptlib.h"
#include "engine/mpro_2x.h"
#include "engine/remote/remote_files.h"

namespace cryptlib {
int32_t TMPro2xCryptoEngine::GenerateNewSEK() {
  TMProDLL* binding = nullptr;
  if (const int32_t result = AcquireBinding(binding)) return result;
  // A module of the PSE generation (or one that is not thread-safe) makes
  // its keys through a certificate request instead.
  if (!binding->Is2x()) return TMProWinCryptoEngine::GenerateNewSEK();
  return Guarded("TMPro2xCryptoEngine.GenerateNewSEK: ", [&] {
    ParamSnapshot snapshot = BuildSnapshot(*binding);
    AdjustForGeneration(snapshot);
    return GenerateOnTemporaryBinding(snapshot);
  });
}

void TMPro2xCryptoEngine::AdjustForGeneration(ParamSnapshot& snapshot) {
  // Without a key directory the module generates onto the key media, so the
  // active key set is never overwritten. A module with fewer parameters
  // simply lacks the ones it cannot be given.
  if (std::string* keys = param::InSnapshot(snapshot, param::kKeyDirectory)) keys->clear();
  if (std::string* flag = param::InSnapshot(snapshot, param::kFlag)) flag->clear();
  std::string* media = param::InSnapshot(snapshot, param::kKeyMedia);
  if (media != nullptr && media->empty()) *media = remote::kDefaultKeyMedia;
}

int32_t TMPro2xCryptoEngine::GenerateOnTemporaryBinding(const ParamSnapshot& snapshot) {
  // A binding of its own keeps the context of these values apart from the
  // engine's binding; it is freed on every path.
  TMProDLL generator(LibVariant());
  if (!generator.Loaded()) return CE_LOAD_FAILED;
  if (!generator.Bound()) return CE_BIND_FAILED;
  return generator.GenerateNewSEK(snapshot);
}

}  // namespace cryptlib
