// Host tests of the engine over one flavour of the fake vendor module (one
// program per flavour: a module file is loaded once per process).
//
// The program's installation root is made once, with the flavour's files in
// <root>/EXE/ where the engine's library search finds them, and set as the
// process root. Tests read the module's log through its hook exports, looked
// up in the same file the engine loaded. Each test gets its own certificate
// directory (parameter 2).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/fake_hook_client.h"
#include "common/test_dir.h"
#include "common/test_os.h"
#include "fake/fake_hooks.h"
#include "host/support/engine_host.h"

#ifndef CRYPTLIB_FAKE_DIR
#error "CRYPTLIB_FAKE_DIR names the directory of the fake module flavours (tests/CMakeLists.txt)"
#endif

namespace cryptlib::test {

// The flavour a program installs, defined by the program; nullptr installs
// no module at all.
extern const char* const kFakeFlavour;

inline TestDir& ProgramRoot() {
  static TestDir* root = new TestDir();
  return *root;
}

inline std::string InstalledModulePath() {
  return ProgramRoot() / ("EXE/mplug2" + std::string(kModuleSuffix));
}

// Makes the root, installs the flavour and sets the process root.
class FakeRootEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    namespace fs = std::filesystem;
    ProgramRoot().MakeDir("EXE");
    if (kFakeFlavour != nullptr) {
      const fs::path flavour = fs::path(CRYPTLIB_FAKE_DIR) / kFakeFlavour;
      for (const char* base : {"mplug", "mplugf", "mplug2"}) {
        const std::string file = base + std::string(kModuleSuffix);
        fs::copy_file(flavour / file, fs::path(ProgramRoot() / "EXE") / file);
      }
    }
    CRYPT_HANDLE engine = Api().GetCryptObj();
    Api().SetRootPath(engine, ProgramRoot().path().c_str());
    Api().DoneEngine(engine);
  }
  // At exit the module's own state would be torn down before the engine
  // library's, which closes its contexts in the module: unload it first.
  void TearDown() override { UnloadLibrary(); }
};

inline const ::testing::Environment* const kFakeRootEnvironment =
    ::testing::AddGlobalTestEnvironment(new FakeRootEnvironment);

// The hook exports of the installed mplug2 (the file the engine binds).
class FakeHooks : public FakeHookClient {
 public:
  FakeHooks() : FakeHookClient(OpenModule(InstalledModulePath())) {
    if (module_ == nullptr) throw std::runtime_error("cannot open the installed fake module");
  }
  ~FakeHooks() { CloseModule(module_); }
  FakeHooks(const FakeHooks&) = delete;
  FakeHooks& operator=(const FakeHooks&) = delete;
};

inline FakeHooks& Hooks() {
  static FakeHooks* hooks = new FakeHooks();
  return *hooks;
}

// The text of a fake certificate for subject.
inline std::string FakeCertificate(const std::string& subject) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject + "\n-----END CERTIFICATE-----\n";
}

// An engine rooted at the program root, with a certificate directory of its
// own and a clean module log.
class FakeEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    api().SetRootPath(engine(), ProgramRoot().path().c_str());
    if (kFakeFlavour == nullptr) return;
    SetParam(engine(), 2, certs_.path());
    Hooks().Reset();
  }

  void SetParam(CRYPT_HANDLE h, int32_t index, const std::string& value) const {
    ASSERT_EQ(api().SetCryptoParamValue(h, index, value.c_str()), 0) << "parameter " << index;
  }
  void SetParam(int32_t index, const std::string& value) const { SetParam(engine(), index, value); }
  // Writes file (e.g. "Alice.pem") with a certificate for subject.
  void AddCertificate(const std::string& file, const std::string& subject) const {
    certs_.WriteFile(file, FakeCertificate(subject));
  }
  // Makes the holder of file the engine's current user (parameter 1).
  void BecomeUser(CRYPT_HANDLE h, const std::string& file) const { SetParam(h, 1, certs_ / file); }
  std::string ParamValue(int32_t index) const {
    std::vector<char> value(2048, '\0');
    api().GetCryptoParamValue(engine(), index, value.data());
    return value.data();
  }

  TestDir certs_;
};

}  // namespace cryptlib::test
