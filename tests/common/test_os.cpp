#include "common/test_os.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdlib>
#else
#include <dlfcn.h>

#include <cstdlib>
#endif

namespace cryptlib::test {

#ifdef _WIN32
const char* const kModuleSuffix = ".dll";
const char* const kTempVariable = "TMP";
const char kNativeSeparator = '\\';

void* OpenModule(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}
void* ModuleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseModule(void* module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

std::string GetEnv(const std::string& name) {
  const DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return std::string();
  std::string value(size, '\0');
  const DWORD length = GetEnvironmentVariableA(name.c_str(), value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}
bool HasEnv(const std::string& name) {
  return GetEnvironmentVariableA(name.c_str(), nullptr, 0) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}
// _putenv_s updates the C runtime's copy and the system's alike.
void SetEnv(const std::string& name, const std::string& value) {
  if (value.empty()) {
    SetEnvironmentVariableA(name.c_str(), "");
  } else {
    _putenv_s(name.c_str(), value.c_str());
  }
}
void UnsetEnv(const std::string& name) {
  _putenv_s(name.c_str(), "");
  SetEnvironmentVariableA(name.c_str(), nullptr);
}
#else
const char* const kModuleSuffix = ".so";
const char* const kTempVariable = "TMPDIR";
const char kNativeSeparator = '/';

void* OpenModule(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* ModuleSymbol(void* module, const char* name) {
  return dlsym(module, name);
}
void CloseModule(void* module) {
  if (module != nullptr) dlclose(module);
}

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}
bool HasEnv(const std::string& name) {
  return std::getenv(name.c_str()) != nullptr;
}
void SetEnv(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}
void UnsetEnv(const std::string& name) {
  unsetenv(name.c_str());
}
#endif

}  // namespace cryptlib::test
