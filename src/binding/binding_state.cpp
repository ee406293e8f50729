#include "binding/binding_state.h"

#include "support/rootpath.h"

namespace cryptlib {
namespace {

// Constructed when the engine library is loaded, destroyed when it is
// unloaded (the build keeps g++ from pinning the library with unique symbols).
BindingState processState;

bool KnownVariant(int32_t variant) {
  return variant >= 0 && variant < kLibraryVariantCount;
}

// A version above 1.0.0.0: the (major, minor) pair as one value above 1.0, or
// equal to it with a non-zero (release, build) pair.
bool AboveFirstRelease(const uint16_t version[4]) {
  const uint32_t high = (uint32_t{version[0]} << 16) | version[1];
  const uint32_t low = (uint32_t{version[2]} << 16) | version[3];
  return high > 0x00010000u || (high == 0x00010000u && low != 0);
}

}  // namespace

BindingState& Binding() {
  return processState;
}

const char* LibraryFileName(int32_t variant) {
  static const char* const kNames[kLibraryVariantCount] = {"mplug.dll", "mplugf.dll", "mplug2.dll"};
  return KnownVariant(variant) ? kNames[variant] : nullptr;
}

BindingState::~BindingState() {
  {
    WriteGuard hold(cacheLock);
    contextCache.clear();
  }
  std::lock_guard<std::mutex> hold(loadLock);
  for (LibraryFile& file : files_) {
    if (file.handle == nullptr) continue;
    platform::Os().FreeModule(file.handle);
    file.handle = nullptr;
    file.functions.reset();
  }
}

platform::ModuleHandle BindingState::AcquireLibraryLocked(int32_t variant, bool* loadedNow) {
  if (loadedNow != nullptr) *loadedNow = false;
  if (!KnownVariant(variant)) return nullptr;
  LibraryFile& file = files_[variant];
  if (file.handle == nullptr) {
    file.handle = LoadVendorLibrary(LibraryFileName(variant));
    if (loadedNow != nullptr) *loadedNow = file.handle != nullptr;
  }
  return file.handle;
}

platform::ModuleHandle BindingState::HandleLocked(int32_t variant) const {
  return KnownVariant(variant) ? files_[variant].handle : nullptr;
}

const ResolvedFunctions& BindingState::FunctionsLocked(int32_t variant) {
  LibraryFile& file = files_[variant];
  if (!file.functions) file.functions = std::make_unique<ResolvedFunctions>(ResolveFunctions(file.handle, variant));
  return *file.functions;
}

void BindingState::CheckVersionLocked(int32_t variant) {
  platform::Platform& os = platform::Os();
  const std::string path = os.LoadedModulePath(LibraryFileName(variant));
  if (path.empty()) return;
  uint16_t version[4] = {0, 0, 0, 0};
  if (!os.ModuleFileVersion(path, version)) return;
  libraryThreadSafe = AboveFirstRelease(version);
}

bool BindingState::IsLoaded(int32_t variant) {
  std::lock_guard<std::mutex> hold(loadLock);
  return HandleLocked(variant) != nullptr;
}

}  // namespace cryptlib
