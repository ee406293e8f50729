#include "versions.h"

#include <filesystem>

#include "commands.h"
#include "loader/cryptlib_loader.h"
#include "platform/platform.h"
#include "session.h"

#ifndef CRYPTLIB_HOST_VERSION
#error "CRYPTLIB_HOST_VERSION is the project's version (tools/host/CMakeLists.txt)"
#endif

namespace cryptlib::host {
namespace {

// The module files an engine may bind in <root>/EXE, the newest generation first.
std::string BoundModule(const std::string& root) {
  for (const char* name : {"mplug2.dll", "mplugf.dll", "mplug.dll"}) {
    const std::string path = root + "/EXE/" + platform::ModuleFileNameFor(name);
    if (EngineLibrary::IsLoadedInProcess(path)) return path;
  }
  return "";
}

void AddModule(const Options& options, Output& out) {
  Session session;
  Output ignored(false);
  if (!options.Has("root") || !session.Open(options, ignored, false)) {
    out.Add("module", "(none: give --root to name the installation root)");
    return;
  }
  // The engine binds its module when it first needs it.
  session.engine().ParamCount();
  const std::string module = BoundModule(options.Get("root"));
  if (module.empty()) {
    out.Add("module", "(none bound from " + options.Get("root") + "/EXE)");
    return;
  }
  out.Add("module", module);
  out.Add("module_version", FileVersionOf(module));
}

}  // namespace

std::string FileVersionOf(const std::string& path) {
  uint16_t version[4] = {};
  if (!platform::Os().ModuleFileVersion(path, version)) return "";
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]) + "." +
         std::to_string(version[3]);
}

int PrintVersions(const Options& options, Output& out) {
  out.Add("tool", std::string("cryptlib-host ") + CRYPTLIB_HOST_VERSION);
  const std::string name = options.Get("library", EngineLibrary::DefaultFileName());
  EngineLibrary library;
  if (!library.Load(name)) {
    out.Add("engine", "(cannot load " + name + ": " + library.error() + ")");
    return kExitOk;
  }
  const std::string path = std::filesystem::path(library.Path()).lexically_normal().string();
  out.Add("engine", path);
  out.Add("engine_version", FileVersionOf(path));
  AddModule(options, out);
  return kExitOk;
}

}  // namespace cryptlib::host
