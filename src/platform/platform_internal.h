// Between the system-independent part of the platform layer (platform.cpp)
// and the one implementation the build chose (posix/ or win32/).
#pragma once

#include "platform/platform.h"

namespace cryptlib::platform::detail {

// The system's implementation object: created on the first call, in static
// storage, and never destroyed (static destructors may still use it).
Platform& SystemPlatformInstance();

}  // namespace cryptlib::platform::detail
