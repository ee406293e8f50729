// The few system calls the tests make themselves, the same on POSIX and
// Windows: module file names, loading a module beside the engine's own
// loader, and the process environment as the engine sees it.
#pragma once

#include <string>

namespace cryptlib::test {

// The file name suffix of a loadable module: ".so" or ".dll".
extern const char* const kModuleSuffix;
// The variable the system's temporary directory comes from: TMPDIR on POSIX,
// TMP on Windows (GetTempPath reads it first).
extern const char* const kTempVariable;
// The directory separator of native paths.
extern const char kNativeSeparator;

// Loads a module by path (nullptr on failure), looks a symbol up, frees it.
void* OpenModule(const std::string& path);
void* ModuleSymbol(void* module, const char* name);
void CloseModule(void* module);

// The process environment as the system holds it (on Windows the C runtime
// keeps a copy of its own that SetEnvironmentVariable does not update).
// GetEnv answers "" for an unset variable; UnsetEnv removes one.
std::string GetEnv(const std::string& name);
bool HasEnv(const std::string& name);
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

}  // namespace cryptlib::test
