// The system-independent part of the platform layer: which implementation is
// in force.
#include <atomic>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace cryptlib::platform {

namespace {
// The replacement a test installed; nullptr means the system's. An atomic so
// that reading it on every call is cheap and free of data races.
std::atomic<Platform*> replacement{nullptr};
}  // namespace

Platform& SystemPlatform() {
  return detail::SystemPlatformInstance();
}

Platform& Os() {
  Platform* platform = replacement.load(std::memory_order_acquire);
  return platform ? *platform : detail::SystemPlatformInstance();
}

void SetPlatformForTesting(Platform* platform) {
  replacement.store(platform, std::memory_order_release);
}

}  // namespace cryptlib::platform
