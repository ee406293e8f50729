// The process-wide cache of vendor contexts. A context is opened for one set
// of parameter values and reused while it is younger than the lifetime the
// host sets (parameter 22, seconds); clearing the cache makes the next call
// open contexts that see the current key and certificate files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "binding/binding_state.h"
#include "binding/param_snapshot.h"
#include "mplug.h"

namespace cryptlib {

class TMProDLL;

// Seconds to days, as this decimal constant (slightly below 1/86400).
constexpr double kSecondsToDays = 1.1574e-5;

// The cache key of a snapshot: values 1 to paramCount-1, each preceded by its
// length, so that different value sets never share a key while sets that
// differ only in their last value do. "UnknownParamNode" when there are no
// such values.
std::string ContextKey(const ParamSnapshot& snapshot, int32_t paramCount);
// Value 22 as a decimal integer; empty, non-numeric, negative or missing
// values give 0.
int32_t ContextLifetime(const ParamSnapshot& snapshot);

// The cached context for key when its age is at most both the requested and
// the stored lifetime, else 0. The caller holds the cache lock.
MPlugContext FindContext(BindingState& state, int32_t lifetime, const std::string& key)
    REQUIRES_SHARED(state.cacheLock);
MPlugContext FindContext(BindingState& state, int32_t lifetime, const HashedKey& key) REQUIRES_SHARED(state.cacheLock);
// A live context for key, or a new one opened with the snapshot's values
// (replacing an expired one); 0 when the module or "DoneCrypto" is missing.
// The caller holds the cache lock for writing.
MPlugContext CreateContext(BindingState& state, TMProDLL& binding, const ParamSnapshot& snapshot,
                           const std::string& key) REQUIRES(state.cacheLock);
// Closes every cached context when the binding's module file is loaded.
void ClearContexts(const TMProDLL& binding);
// The number of cached contexts.
size_t CachedContextCount();

}  // namespace cryptlib
