#include "engine/engine_factory.h"

#include "engine/frame_engine.h"

namespace cryptlib {

TCryptoEngine* CreateEngine() { return new TFrameCryptoEngine(); }

}  // namespace cryptlib
