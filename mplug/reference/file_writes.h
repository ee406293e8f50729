// How the module changes files: every file is written whole beside its final
// name under a unique temporary name (created with its final mode, owner-only
// for private material, from the first byte), synced, renamed over the final
// name and the directory synced, so that a kill, a power cut or a full disk
// leaves either the old file or the new one, never a torn one.
//
// Test hook: the environment variable CRYPTLIB_REF_POWER_CUT=<n> (n >= 1)
// makes the n-th file change of this process, counted from when the value
// was first seen, a simulated power cut: everything written, created,
// renamed or removed by the module and not yet synced is undone, then the
// process kills itself with SIGKILL. A value of "0" only counts.
#pragma once

#include <string>

namespace ref {

// Temporary files of the module are named ".<final name>.<pid>-<counter>-<random>.tmp".
bool IsTemporaryName(const std::string& fileName);

// Removes the module's temporary files in the directory that no running
// process is writing any more (those left behind by a kill or a power cut).
void RemoveStaleTemporaries(const std::string& nativeDirectory);

// Removes a file durably (the directory is synced). Missing is not an error.
void RemoveFileDurably(const std::string& nativePath);

}  // namespace ref
