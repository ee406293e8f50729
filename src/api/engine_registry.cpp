#include "api/engine_registry.h"

#include <mutex>

namespace cryptlib {

void EngineRegistry::Add(TCryptoEngine* engine) {
  std::unique_lock hold(mutex_);
  live_.insert(engine);
}

bool EngineRegistry::Remove(TCryptoEngine* engine) {
  std::unique_lock hold(mutex_);
  return live_.erase(engine) != 0;
}

TCryptoEngine* EngineRegistry::Find(const void* handle) {
  if (handle == nullptr) return nullptr;
  std::shared_lock hold(mutex_);
  // The stored value is the engine's own address, so the cast is exact.
  return live_.count(handle) != 0 ? static_cast<TCryptoEngine*>(const_cast<void*>(handle)) : nullptr;
}

namespace {
EngineRegistry registry;
}  // namespace

EngineRegistry& Engines() { return registry; }

}  // namespace cryptlib
