// The binding's process-wide state: the loaded module files with their
// resolved function tables, the locks, and the context cache. It is created
// when the engine library is loaded and torn down when it is unloaded.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "binding/context_node.h"
#include "binding/function_table.h"
#include "binding/param_snapshot.h"
#include "platform/platform.h"
#include "support/rwsyncs.h"

namespace cryptlib {

constexpr int32_t kLibraryVariantCount = 3;

// The module file of a variant as the engine names it ("mplug2.dll"; the
// platform maps the name), nullptr for an unknown variant.
const char* LibraryFileName(int32_t variant);

struct LibraryFile {
  platform::ModuleHandle handle = nullptr;
  // Resolved on first need and kept while the file stays loaded, so that
  // every later binding copies the table instead of looking up 47 names.
  std::unique_ptr<ResolvedFunctions> functions;
};

class BindingState {
 public:
  BindingState() = default;
  // Closes every cached context, then frees the module files.
  ~BindingState();
  BindingState(const BindingState&) = delete;
  BindingState& operator=(const BindingState&) = delete;

  // --- under loadLock ---
  // The handle of the variant's file, loading it on first need (a failed load
  // is retried by the next caller). loadedNow tells whether this call loaded.
  platform::ModuleHandle AcquireLibraryLocked(int32_t variant, bool* loadedNow = nullptr);
  // The variant's handle without loading; nullptr when not loaded.
  platform::ModuleHandle HandleLocked(int32_t variant) const;
  // The variant's function table; the file must be loaded.
  const ResolvedFunctions& FunctionsLocked(int32_t variant);
  // Reads the just-loaded file's version: a module above 1.0.0.0 can be
  // called from several threads at once. An unreadable version leaves the
  // flag as it was.
  void CheckVersionLocked(int32_t variant);

  // Whether the variant's file is loaded (takes loadLock).
  bool IsLoaded(int32_t variant);

  // Serialises vendor calls when the module is not thread-safe; re-entrant.
  std::recursive_mutex callLock;
  std::atomic<bool> libraryThreadSafe{false};
  std::mutex loadLock;
  TRWCriticalSection cacheLock;
  // Contexts by cache key. Looked up by a key whose hash the caller may have
  // worked out before (ContextKeyHash).
  std::unordered_map<std::string, std::unique_ptr<TMesProCashNode>, ContextKeyHash, std::equal_to<>> contextCache
      GUARDED_BY(cacheLock);

 private:
  std::array<LibraryFile, kLibraryVariantCount> files_;
};

// The one state of the process.
BindingState& Binding();

}  // namespace cryptlib
