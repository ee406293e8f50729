// Files as the engine names them: Windows-style path strings ("\" or "/"
// separators, letter case not distinguishing existing names, "X:" drives
// mapped through CRYPTLIB_DRIVE_X on POSIX, as the engine's own platform layer
// does). The engine upper-cases root-expanded paths, so the module has to find
// "/TMP/ROOT/KEYS" in "/tmp/root/keys".
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fake {

// The path in the system's form; nullopt when it has no meaning (empty, or a
// drive without a mapping).
std::optional<std::string> NativePath(const std::string& path);

bool ReadWholeFile(const std::string& path, std::string& contents);
// Creates missing parent directories, then writes the file anew.
bool WriteWholeFile(const std::string& path, const std::string& contents);
// WriteWholeFile for a file with key material: readable by the owner only.
bool WriteKeyFile(const std::string& path, const std::string& contents);
bool FileExists(const std::string& path);
// The directory with a trailing "\" when it has none.
std::string WithBackslash(const std::string& directory);
// Full paths of the regular files directly in the directory whose names end,
// in any letter case, in one of the suffixes.
std::vector<std::string> ListFiles(const std::string& directory, const std::vector<std::string>& suffixes);

}  // namespace fake
