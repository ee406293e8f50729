// The process-wide installation root and the library search derived from it.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace cryptlib {

// Sets the process-wide root once. A second call with the same root (ignoring
// a trailing delimiter) does nothing; another root raises an Exception whose
// message is "Could not set QamRoot to '<path>'. Already set to '<root>'.".
// The first call also puts root USER, SYSTEM and EXE in front of the search
// path variable of the platform.
void SetQamRoot(const std::string& path);
// The root with its trailing delimiter, empty until set.
std::string QamRoot();
// The library search directories (root EXE, SYSTEM, USER once the root is set).
std::vector<std::string> SearchDirectories();
// A bare name resolved beside the executable, then in the search directories;
// a name with a directory part, or one not found, unchanged.
std::string ResolveLibraryPath(const std::string& name);
// Loads the resolved name; nullptr on failure.
platform::ModuleHandle LoadLibraryResolved(const std::string& name);
// LoadLibraryResolved, then the same name beside the engine library.
platform::ModuleHandle LoadVendorLibrary(const std::string& name);
// The same, giving the loader's message of the last attempt on failure.
platform::ModuleHandle LoadLibraryResolved(const std::string& name, std::string* error);
platform::ModuleHandle LoadVendorLibrary(const std::string& name, std::string* error);

// Tests only: forgets the root and the search directories, so that one
// process can try several roots. Leaves the search path variable alone.
void ResetQamRootForTesting();

}  // namespace cryptlib
