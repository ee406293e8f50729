// Files the host names for the engine to read: certificates, revocation
// lists, transfers' contents. A host (or whoever writes the names it passes)
// may name a huge file, a device that never ends (/dev/zero) or a FIFO that
// never answers; the engine reads a file only when it is a regular file no
// larger than the operation can use.
#pragma once

#include <cstdint>
#include <string>

namespace cryptlib {

// The largest revocation list the engine takes (8 MiB): far above the lists
// banks publish, far below what would exhaust a client's memory.
inline constexpr uint64_t kMaxCrlFileSize = uint64_t{8} << 20;

// True when path (a Windows-style path, resolved as the file functions do)
// names a regular file of at most maxBytes bytes; false for a missing file,
// a directory, a device, a FIFO or socket, and a larger file.
bool IsRegularFileWithin(const std::string& path, uint64_t maxBytes);

}  // namespace cryptlib
