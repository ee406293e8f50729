#include "loader/cryptlib_loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace cryptlib::host {

namespace {

#ifdef _WIN32
void* OpenModule(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}
void* Symbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseModule(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}
std::string ModulePath(void* module) {
  char path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module), path, sizeof path);
  return std::string(path, length);
}
#else
void* OpenModule(const std::string& path, std::string& error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) error = dlerror();
  return module;
}
void* Symbol(void* module, const char* name) {
  return dlsym(module, name);
}
void CloseModule(void* module) {
  dlclose(module);
}
std::string ModulePath(void* module) {
  link_map* map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) return "";
  return map->l_name;
}
#endif

}  // namespace

bool EngineLibrary::Load(const std::string& nameOrPath) {
  Unload();
  module_ = OpenModule(nameOrPath, error_);
  if (module_ == nullptr) return false;
#define CRYPTLIB_LOADER_BIND(ordinal, name)                                \
  api_.name = reinterpret_cast<decltype(&::name)>(Symbol(module_, #name)); \
  if (api_.name != nullptr) ++bound_;
  CRYPTLIB_EXPORT_LIST(CRYPTLIB_LOADER_BIND)
#undef CRYPTLIB_LOADER_BIND
  return true;
}

std::string EngineLibrary::Path() const {
  return module_ == nullptr ? "" : ModulePath(module_);
}

void EngineLibrary::Unload() {
  if (module_ != nullptr) CloseModule(module_);
  module_ = nullptr;
  api_ = Exports{};
  bound_ = 0;
}

bool EngineLibrary::IsLoadedInProcess(const std::string& path) {
#ifdef _WIN32
  return GetModuleHandleA(path.c_str()) != nullptr;
#else
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (module == nullptr) return false;
  dlclose(module);
  return true;
#endif
}

std::string EngineLibrary::DefaultFileName() {
#ifdef _WIN32
  return "CryptLib.dll";
#else
  return "CryptLib.so";
#endif
}

}  // namespace cryptlib::host
