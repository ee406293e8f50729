// The vendor module's function table: one pointer per function of
// MPLUG_FUNCTION_LIST, resolved by name from a loaded module file.
#pragma once

#include <cstdint>

#include "mplug.h"
#include "platform/platform.h"

namespace cryptlib {

struct MPlugFunctions {
#define CRYPTLIB_MPLUG_MEMBER(number, name, mandatory, result, params) MPlug_##name##_Fn name = nullptr;
  MPLUG_FUNCTION_LIST(CRYPTLIB_MPLUG_MEMBER)
#undef CRYPTLIB_MPLUG_MEMBER
};

// The functions of one module file as a binding of a variant sees them, and
// whether every mandatory one was found.
struct ResolvedFunctions {
  MPlugFunctions table;
  bool bound = false;
};

// Looks up every function of the table in module. "VerifyDataIgnoreTime" is
// looked up last, and only for variants 1 and 2 once all mandatory functions
// were found: the first generation of the module never offers it.
ResolvedFunctions ResolveFunctions(platform::ModuleHandle module, int32_t variant);

}  // namespace cryptlib
