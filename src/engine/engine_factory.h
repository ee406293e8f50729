// The engine GetCryptObj hands out.
#pragma once

#include "core/cryptobj.h"

namespace cryptlib {

// A new engine of the instantiated class; raises when construction fails.
TCryptoEngine* CreateEngine();

}  // namespace cryptlib
