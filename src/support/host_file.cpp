#include "support/host_file.h"

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace cryptlib {

#ifdef _WIN32

namespace {

// "\\.\" names devices and pipes, never files.
bool IsDeviceNamespace(const std::string& path) {
  return path.size() >= 4 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/') &&
         path[2] == '.' && (path[3] == '\\' || path[3] == '/');
}

}  // namespace

bool IsRegularFileWithin(const std::string& path, uint64_t maxBytes) {
  if (IsDeviceNamespace(path)) return false;
  const uint32_t attributes = platform::Os().GetAttributes(path);
  if (attributes == platform::kInvalidAttributes || (attributes & platform::kAttrDirectory) != 0) return false;
  uint64_t size = 0;
  return platform::Os().GetFileSize(path, size) && size <= maxBytes;
}

#else

bool IsRegularFileWithin(const std::string& path, uint64_t maxBytes) {
  const std::string native = platform::NativePath(path);
  struct stat status;
  // stat, not lstat: a link to a regular file is that file.
  if (native.empty() || stat(native.c_str(), &status) != 0) return false;
  return S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) <= maxBytes;
}

#endif

}  // namespace cryptlib
