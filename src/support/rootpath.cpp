#include "support/rootpath.h"

#include <string_view>

#include "support/exceptions.h"
#include "support/fileutil.h"

namespace cryptlib {

namespace {

// Everything the root decides for the process. A namespace-scope object, so it
// is built when the engine library is loaded and freed when it is unloaded.
struct RootState {
  std::string qamRoot;
  std::vector<std::string> searchDirectories;
};

RootState rootState;

bool IsDelimiter(char c) {
  return c == '\\' || c == '/';
}

// The root's identity: its spelling without trailing delimiters, so that
// "/srv/bank", "/srv/bank/" and "/srv/bank\\" are one root.
std::string_view WithoutTrailingDelimiters(std::string_view path) {
  while (path.size() > 1 && IsDelimiter(path.back())) path.remove_suffix(1);
  return path;
}

std::string WithTrailingDelimiter(const std::string& path) {
  if (!path.empty() && IsDelimiter(path.back())) return path;
  return path + "\\";
}

// The part of path up to and including its last delimiter or drive colon;
// empty for a bare name.
std::string DirectoryPartOf(const std::string& path) {
  const size_t last = path.find_last_of("\\/:");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// Libraries are looked for under their platform file name ("mplug2.dll" is
// "mplug2.so" on POSIX); the loader maps the name the same way.
bool ModuleFileExists(const std::string& directory, const std::string& name) {
  return FileExists(directory + platform::ModuleFileNameFor(name));
}

// Puts the search directories in front of the search path variable, the last
// one first, so that the modules the vendor library loads in turn are found
// there. The variable holds native paths; a directory with no native form
// (a drive the platform does not map) is left out rather than written as an
// empty entry, which the system would read as the current directory.
void PrependToSearchPath(const std::vector<std::string>& directories) {
  platform::Platform& os = platform::Os();
  std::string value;
  if (!os.GetEnvironment(platform::SearchPathVariable(), value)) value.clear();
  for (const std::string& directory : directories) {
    const std::string native = platform::NativePath(directory);
    if (native.empty()) continue;
    value = value.empty() ? native : native + platform::SearchPathSeparator() + value;
  }
  os.SetEnvironment(platform::SearchPathVariable(), value);
}

}  // namespace

void SetQamRoot(const std::string& path) {
  const std::string root = WithTrailingDelimiter(path);
  if (!rootState.qamRoot.empty()) {
    if (WithoutTrailingDelimiters(rootState.qamRoot) == WithoutTrailingDelimiters(root)) return;
    throw Exception("Could not set QamRoot to '" + path + "'. Already set to '" + rootState.qamRoot + "'.");
  }
  rootState.qamRoot = root;
  const std::vector<std::string> added = {root + "EXE\\", root + "SYSTEM\\", root + "USER\\"};
  rootState.searchDirectories.insert(rootState.searchDirectories.end(), added.begin(), added.end());
  PrependToSearchPath(added);
}

std::string QamRoot() {
  return rootState.qamRoot;
}

std::vector<std::string> SearchDirectories() {
  return rootState.searchDirectories;
}

void ResetQamRootForTesting() {
  rootState.qamRoot.clear();
  rootState.searchDirectories.clear();
}

std::string ResolveLibraryPath(const std::string& name) {
  if (!DirectoryPartOf(name).empty()) return name;
  const std::string executableDirectory = DirectoryPartOf(platform::Os().LoadedModulePath(nullptr));
  if (!executableDirectory.empty() && ModuleFileExists(executableDirectory, name)) return executableDirectory + name;
  for (const std::string& directory : rootState.searchDirectories) {
    if (ModuleFileExists(directory, name)) return directory + name;
  }
  return name;
}

platform::ModuleHandle LoadLibraryResolved(const std::string& name) {
  return LoadLibraryResolved(name, nullptr);
}

platform::ModuleHandle LoadLibraryResolved(const std::string& name, std::string* error) {
  return platform::Os().LoadModule(ResolveLibraryPath(name), error);
}

platform::ModuleHandle LoadVendorLibrary(const std::string& name) {
  return LoadVendorLibrary(name, nullptr);
}

platform::ModuleHandle LoadVendorLibrary(const std::string& name, std::string* error) {
  if (platform::ModuleHandle module = LoadLibraryResolved(name, error)) return module;
  // The vendor library may also be installed beside the engine library.
  const std::string engineDirectory = DirectoryPartOf(platform::Os().LoadedModulePath("CryptLib.dll"));
  if (engineDirectory.empty()) return nullptr;
  return LoadLibraryResolved(engineDirectory + name, error);
}

}  // namespace cryptlib
