// The versions --version prints: the tool's own, and the file versions of
// the engine library it loads and of the vendor module that engine binds.
#pragma once

#include <string>

#include "options.h"
#include "output.h"

namespace cryptlib::host {

// A module file's version "major.minor.release.build", or "" when the file
// carries none.
std::string FileVersionOf(const std::string& path);
// Prints the versions; the engine and the module as far as they can be
// loaded (a missing one is reported, not an error).
int PrintVersions(const Options& options, Output& out);

}  // namespace cryptlib::host
