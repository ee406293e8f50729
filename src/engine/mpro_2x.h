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
};

}  // namespace cryptlib
