#include "engine/engine_factory.h"

#include "engine/mpro_2x.h"

namespace cryptlib {

TCryptoEngine* CreateEngine() {
  return new TMPro2xCryptoEngine();
}

}  // namespace cryptlib
