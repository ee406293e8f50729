// Windows-style path resolution of the platform layer on arbitrary paths.
// Only read-only calls are made, so whatever a path names, nothing changes.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string path(reinterpret_cast<const char*>(data), size);
  cryptlib::platform::Platform& os = cryptlib::platform::Os();
  os.GetAttributes(path);
  cryptlib::platform::NativePath(path);
  std::vector<cryptlib::platform::DirEntry> entries;
  // Enumerations are bounded to patterns inside the temporary directory.
  os.ListDirectory(os.TempDirectory() + path, entries);
  cryptlib::platform::ModuleFileNameFor(path);
  return 0;
}
