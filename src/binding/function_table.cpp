#include "binding/function_table.h"

namespace cryptlib {
namespace {

constexpr int32_t kVerifyDataIgnoreTime = 41;

// Stores the symbol of one function in its typed member.
template <class Fn>
void Store(Fn& member, void* symbol) {
  member = reinterpret_cast<Fn>(symbol);
}

}  // namespace

ResolvedFunctions ResolveFunctions(platform::ModuleHandle module, int32_t variant) {
  ResolvedFunctions resolved;
  platform::Platform& os = platform::Os();
  bool allMandatory = true;
#define CRYPTLIB_MPLUG_RESOLVE(number, name, mandatory, result, params)    \
  if (number != kVerifyDataIgnoreTime) {                                   \
    Store(resolved.table.name, os.FindSymbol(module, #name));              \
    if (mandatory && resolved.table.name == nullptr) allMandatory = false; \
  }
  MPLUG_FUNCTION_LIST(CRYPTLIB_MPLUG_RESOLVE)
#undef CRYPTLIB_MPLUG_RESOLVE
  if (!allMandatory) return resolved;
  if (variant != 0) Store(resolved.table.VerifyDataIgnoreTime, os.FindSymbol(module, "VerifyDataIgnoreTime"));
  resolved.bound = true;
  return resolved;
}

}  // namespace cryptlib
