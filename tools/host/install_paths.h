// Where the tool finds the reference module it installs into a root: in a
// build tree beside the tool's directory (<build>/mplug/reference), in an
// installation where the package puts it (<prefix>/lib/.../cryptlib).
#pragma once

#include <string>

namespace cryptlib::host {

// The reference module of this build or installation; "" when neither exists.
std::string ReferenceModulePath();

}  // namespace cryptlib::host
