// The parameter snapshot handed to every vendor call: element i holds the
// current value of crypto parameter i+1, one element per vendor parameter.
#pragma once

#include <string>
#include <vector>

namespace cryptlib {

using ParamSnapshot = std::vector<std::string>;

}  // namespace cryptlib
