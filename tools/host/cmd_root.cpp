// init-root: an installation root as the engine expects it, with the vendor
// module in <root>/EXE where the engine looks for it.
#include <filesystem>
#include <string>

#include "command_io.h"
#include "commands.h"
#include "install_paths.h"
#include "platform/platform.h"
#include "session.h"

namespace cryptlib::host {
namespace {

namespace fs = std::filesystem;

int InitRoot(const Options& options, Output& out) {
  const std::string module = options.Get("module", ReferenceModulePath());
  if (module.empty())
    return Session::Fail(out, "no reference module found beside the tool; name one with --module FILE", kExitUsage);
  const fs::path target = fs::path(options.Word(1)) / "EXE" / platform::ModuleFileNameFor("mplug2.dll");
  std::error_code error;
  if (fs::exists(target, error) && !options.Has("force"))
    return Session::Fail(out, target.string() + " exists (--force replaces it)", kExitFile);
  fs::create_directories(target.parent_path(), error);
  if (!error) fs::copy_file(module, target, fs::copy_options::overwrite_existing, error);
  if (error)
    return Session::Fail(out, "cannot install " + module + " as " + target.string() + ": " + error.message(),
                         kExitFile);
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
