// The texts of the binding's own result codes.
#pragma once

#include <cstdint>

namespace cryptlib {

// The text of -1 to -6 and -100, nullptr for any other code.
const char* BindingErrorText(int32_t code);

}  // namespace cryptlib
