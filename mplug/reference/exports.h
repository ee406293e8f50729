// The 47 functions the engine binds by name, declared from include/mplug.h's
// list so that every definition has exactly the engine's signature. Only these
// leave the library (default visibility; everything else is hidden).
#pragma once

#include "mplug.h"

#define REF_EXPORT __attribute__((visibility("default")))

extern "C" {
#define REF_DECLARE_EXPORT(number, name, mandatory, result, params) REF_EXPORT result MPLUG_CALL name params;
MPLUG_FUNCTION_LIST(REF_DECLARE_EXPORT)
#undef REF_DECLARE_EXPORT
}
