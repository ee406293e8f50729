// init-root: an installation root as the engine expects it, with the vendor
// module in <root>/EXE where the engine looks for it.
#include <filesystem>
#include <string>

#include "command_io.h"
#include "commands.h"
#include "files.h"
#include "install_paths.h"
#include "platform/platform.h"
#include "session.h"

namespace cryptlib::host {
namespace {

namespace fs = std::filesystem;

// The module is copied through a temporary beside the target that is
// renamed over it: an interrupted copy leaves no half module for the engine
// to bind, and an existing one is replaced the same way on every platform
// (MinGW's std::filesystem::copy_file refuses to overwrite an existing
// file even when told to).
bool InstallModule(const std::string& module, const fs::path& target, bool replace, std::string& reason) {
  std::string bytes;
  std::error_code error;
  fs::create_directories(target.parent_path(), error);
  if (error) {
    reason = error.message();
    return false;
  }
  return ReadWholeFile(module, bytes, reason) && WriteWholeFile(target.string(), bytes, reason, replace);
}

int InitRoot(const Options& options, Output& out) {
  const std::string module = options.Get("module", ReferenceModulePath());
  if (module.empty())
    return Session::Fail(out, "no reference module found beside the tool; name one with --module FILE", kExitUsage);
  const fs::path target = fs::path(options.Word(1)) / "EXE" / platform::ModuleFileNameFor("mplug2.dll");
  std::error_code error;
  if (fs::exists(target, error) && !options.Has("force"))
    return Session::Fail(out, target.string() + " exists (--force replaces it)", kExitFile);
  std::string reason;
  if (!InstallModule(module, target, options.Has("force"), reason))
    return Session::Fail(out, "cannot install " + module + " as " + target.string() + ": " + reason, kExitFile);
  out.Add("root", options.Word(1));
  out.Add("module", target.string());
  return kExitOk;
}

}  // namespace

std::vector<Command> RootCommands() {
  return {{"init-root",
           {"DIR"},
           {{"--module", "FILE", "the vendor module to install (default: the reference module of this installation)"},
            ForceOption()},
           "make an installation root: DIR/EXE with the vendor module the engine binds",
           InitRoot}};
}

}  // namespace cryptlib::host
