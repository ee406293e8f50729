// What every host test needs: the engine library loaded by its path, once per
// test process, and an engine handle per test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "loader/cryptlib_loader.h"

namespace cryptlib::test {

// The engine library of this build, loaded on first use and kept loaded.
host::EngineLibrary& Library();
const host::Exports& Api();
// Unloads the engine library before the process exits, while the vendor
// modules it loaded are still intact: the library closes its vendor
// contexts on unload. Nothing may call the engine afterwards.
void UnloadLibrary();

// An engine created by GetCryptObj and released by DoneEngine.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  CRYPT_HANDLE engine() const { return engine_; }
  const host::Exports& api() const { return Api(); }
  // GetCryptoErrorString of this engine as a string.
  std::string ErrorText(int32_t code) const;

 private:
  CRYPT_HANDLE engine_ = nullptr;
};

}  // namespace cryptlib::test
