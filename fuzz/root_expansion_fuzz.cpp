// Root placeholder expansion of arbitrary paths against an arbitrary root.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/cryptobj.h"

namespace {

class ExpansionEngine final : public cryptlib::TCryptoEngine {
 public:
  void GetEngineName(char* buffer) override { buffer[0] = '\0'; }
  void SetRoot(const std::string& root) { SetEngineRoot(root); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  ExpansionEngine engine;
  if (split != std::string::npos) engine.SetRoot(input.substr(0, split));
  std::string path = split == std::string::npos ? input : input.substr(split + 1);

  std::string expanded = engine.ExpandRootPath(path);
  if (expanded.size() > path.size() + engine.RootPath().size()) std::abort();
  std::string directory = engine.ExpandRootDir(path);
  if (directory.size() > expanded.size() + 2) std::abort();
  engine.SetRemoteGeneratePath(path);
  return 0;
}
