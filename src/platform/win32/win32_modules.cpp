// Modules over the Windows loader: loading, symbols, the file name of a
// loaded module and the VERSIONINFO resource of a module file.
#include <algorithm>
#include <memory>

#include "platform/win32/win32_internal.h"

namespace cryptlib::platform::win32 {

namespace {

constexpr char kEngineModuleName[] = "CryptLib.dll";

std::string_view BaseName(std::string_view path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

bool HasDirectoryPart(const std::string& name) {
  return name.find_first_of("/\\:") != std::string::npos;
}

// A relative path with a directory part is taken from the current directory
// (as on POSIX), not looked up along the search order as LoadLibrary would.
std::string AbsolutePath(const std::string& path) {
  const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::string full(needed, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  full.resize(length);
  return full;
}

// The module this code is linked into: the engine library inside a host, the
// program itself when the code is linked statically (the unit tests).
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

// No "cannot find" or "bad image" message box may stop a host's thread: the
// caller reports the failure.
class QuietLoaderErrors {
 public:
  QuietLoaderErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_); }
  ~QuietLoaderErrors() { SetThreadErrorMode(previous_, nullptr); }
  QuietLoaderErrors(const QuietLoaderErrors&) = delete;
  QuietLoaderErrors& operator=(const QuietLoaderErrors&) = delete;

 private:
  DWORD previous_ = 0;
};

}  // namespace

std::string ModuleFileName(HMODULE module) {
  std::string buffer(512, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    // A full buffer means the name was cut: ask again with a larger one.
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

bool ReadVersionResource(const std::string& path, uint16_t version[4]) {
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
  if (size == 0) return false;
  auto block = std::make_unique<char[]>(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, block.get())) return false;
  void* root = nullptr;
  UINT length = 0;
  char rootBlock[] = "\\";
  if (!VerQueryValueA(block.get(), rootBlock, &root, &length) || root == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(root);
  if (info->dwSignature != 0xFEEF04BDu) return false;
  version[0] = HIWORD(info->dwFileVersionMS);
  version[1] = LOWORD(info->dwFileVersionMS);
  version[2] = HIWORD(info->dwFileVersionLS);
  version[3] = LOWORD(info->dwFileVersionLS);
  return true;
}

ModuleHandle Win32Platform::LoadModule(const std::string& name, std::string* error) {
  QuietLoaderErrors quiet;
  HMODULE module;
  if (HasDirectoryPart(name)) {
    // From a full path, the module's own dependencies are looked for beside
    // it first (the altered search order).
    module = LoadLibraryExA(AbsolutePath(WithBackslashes(name)).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  } else {
    module = LoadLibraryA(name.c_str());
  }
  if (module == nullptr && error) *error = "cannot load " + name + ": " + SystemErrorText(GetLastError());
  return reinterpret_cast<ModuleHandle>(module);
}

void* Win32Platform::FindSymbol(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void Win32Platform::FreeModule(ModuleHandle module) {
  if (module) FreeLibrary(static_cast<HMODULE>(module));
}

std::string Win32Platform::LoadedModulePath(const char* moduleName) {
  if (!moduleName) return ModuleFileName(nullptr);
  if (EqualsIgnoreCase(BaseName(moduleName), kEngineModuleName)) return ModuleFileName(OwnModule());
  // A module that is not loaded answers nullptr, and nullptr names the
  // executable: the answer Windows gives for an unknown name.
  return ModuleFileName(GetModuleHandleA(WithBackslashes(moduleName).c_str()));
}

bool Win32Platform::ModuleFileVersion(const std::string& path, uint16_t version[4]) {
  uint16_t found[4];
  if (!ReadVersionResource(WithBackslashes(path), found)) return false;
  std::copy(found, found + 4, version);
  return true;
}

}  // namespace cryptlib::platform::win32
