#include "host/support/engine_host.h"

#include <stdexcept>
#include <vector>

namespace cryptlib::test {

host::EngineLibrary& Library() {
  static host::EngineLibrary* library = [] {
    auto* loaded = new host::EngineLibrary();
    if (!loaded->Load(CRYPTLIB_LIBRARY_PATH)) throw std::runtime_error("cannot load engine: " + loaded->error());
    return loaded;
  }();
  return *library;
}

const host::Exports& Api() { return Library().api(); }

void UnloadLibrary() { Library().Unload(); }

void EngineTest::SetUp() {
  engine_ = Api().GetCryptObj();
  ASSERT_NE(engine_, nullptr);
}

void EngineTest::TearDown() { Api().DoneEngine(engine_); }

std::string EngineTest::ErrorText(int32_t code) const {
  // Without a module the bound reads 0 and the engine's own texts are bounded
  // by 255, so a host gives 255 bytes then.
  int32_t max = api().GetMaxErrorStringLength(engine_);
  std::vector<char> buffer(static_cast<size_t>(max > 0 ? max : 255), '\x7f');
  api().GetCryptoErrorString(engine_, code, buffer.data());
  return std::string(buffer.data());
}

}  // namespace cryptlib::test
