// TMPro2xCryptoEngine: the engine the library hands out, over the 2.x
// generation of the module (mplug2, variant 2).
#pragma once

#include "engine/mpro_win.h"

namespace cryptlib {

class TMPro2xCryptoEngine : public TMProWinCryptoEngine {
 public:
  // Binds variant 2 and holds a 27th parameter.
  TMPro2xCryptoEngine();

  // --- slots, in slot order ---
  /* 12 */ void GetEngineName(char* buffer) override;
  // 38: with a 2.x module, the module's generation onto the key media
  // (mpro_2x_keygen.cpp); otherwise the PSE request of the base.
  /* 38 */ int32_t GenerateNewSEK() override;

 protected:
  // The generation snapshot: no key directory (parameter 3) and no flag
  // (parameter 21), the key media (parameter 23) "A:\" when empty.
  static void AdjustForGeneration(ParamSnapshot& snapshot);
  // The module's GenerateNewSEK for snapshot on a binding made for this one
  // call; a module answer of 0 comes back as -100.
  int32_t GenerateOnTemporaryBinding(const ParamSnapshot& snapshot);
};

}  // namespace cryptlib
