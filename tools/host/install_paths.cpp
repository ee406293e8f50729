#include "install_paths.h"

#include <filesystem>

#include "platform/platform.h"

#ifndef CRYPTLIB_HOST_MODULE_DIR_FROM_BIN
#error "CRYPTLIB_HOST_MODULE_DIR_FROM_BIN is the installed module directory relative to bin (tools/host/CMakeLists.txt)"
#endif

namespace cryptlib::host {

std::string ReferenceModulePath() {
  namespace fs = std::filesystem;
  const fs::path tool = fs::path(platform::Os().LoadedModulePath(nullptr)).parent_path();
  const std::string file = platform::ModuleFileNameFor("mplug2.dll");
  for (const fs::path& candidate :
       {tool.parent_path() / "mplug/reference" / file, tool / CRYPTLIB_HOST_MODULE_DIR_FROM_BIN / file}) {
    std::error_code error;
    if (fs::is_regular_file(candidate, error)) return candidate.lexically_normal().string();
  }
  return "";
}

}  // namespace cryptlib::host
