// The engines handed out by GetCryptObj and not yet released. Every export
// looks its handle up here first, so a nil, unknown or already released
// handle answers the export's shield value instead of touching freed memory.
#pragma once

#include <shared_mutex>
#include <unordered_set>

#include "core/cryptobj.h"

namespace cryptlib {

class EngineRegistry {
 public:
  void Add(TCryptoEngine* engine);
  // Forgets the engine; false when it was not registered.
  bool Remove(TCryptoEngine* engine);
  // The live engine behind a host handle, nullptr for any other value.
  TCryptoEngine* Find(const void* handle);

 private:
  std::shared_mutex mutex_;
  std::unordered_set<const void*> live_;
};

// The process-wide registry: created when the library loads, freed when it
// unloads.
EngineRegistry& Engines();

}  // namespace cryptlib
