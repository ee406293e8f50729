// The one exception shield every export runs its work in: the handle is
// looked up among the live engines, the operation runs, and whatever escapes
// it becomes the export's shield value. No exception crosses the boundary.
#pragma once

#include <cstdint>

#include "api/engine_registry.h"
#include "cryptlib.h"

namespace cryptlib {

// Shield values of the export classes.
constexpr int32_t kSizeShield = -1;                 // size queries, counts and flags
constexpr int32_t kOperationShield = CE_EXCEPTION;  // every operation

// Runs op(engine) for a live handle; any other handle or any exception gives
// shieldValue.
template <class Result, class Op>
Result Shielded(const void* handle, Result shieldValue, Op&& op) noexcept {
  try {
    TCryptoEngine* engine = Engines().Find(handle);
    if (engine == nullptr) return shieldValue;
    return op(*engine);
  } catch (...) {
    return shieldValue;
  }
}

// The same for procedures: the exception is swallowed and nothing returned.
template <class Op>
void ShieldedProcedure(const void* handle, Op&& op) noexcept {
  try {
    TCryptoEngine* engine = Engines().Find(handle);
    if (engine != nullptr) op(*engine);
  } catch (...) {
  }
}

}  // namespace cryptlib
