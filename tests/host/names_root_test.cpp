// The installation root as a host sets it: once, before it creates any
// engine (a nil handle), and again by every engine with the same root spelled
// with or without a trailing delimiter. One program, since the root is set
// once per process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "common/test_os.h"
#include "host/support/engine_host.h"

namespace cryptlib::test {
namespace {

TEST(RootPath, ANilHandleSetsTheProcessRootAndEveryEngineKeepsIt) {
  namespace fs = std::filesystem;
  TestDir root;
  root.MakeDir("EXE");
  root.MakeDir("certs");
  const std::string module = std::string("mplug2") + kModuleSuffix;
  fs::copy_file(fs::path(CRYPTLIB_FAKE_DIR) / "v2" / module, fs::path(root / "EXE") / module);
  root.WriteFile("certs/Alice.pem",
                 "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: /C=RU/CN=Alice\n"
                 "-----END CERTIFICATE-----\n");

  // Before any engine exists, as a host's start-up does.
  Api().SetRootPath(nullptr, root.path().c_str());
  Api().SetRootPath(reinterpret_cast<CRYPT_HANDLE>(0x1234), root.path().c_str());

  {
    // An engine that never sets the root finds its module under the
    // process root.
    CRYPT_HANDLE engine = Api().GetCryptObj();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(Api().SetCryptoParamValue(engine, 1, (root / "certs/Alice.pem").c_str()), 0) << "the module loads";
    char uid[40] = {};
    EXPECT_EQ(Api().GetCurrentUserUID(engine, uid), 0);
    EXPECT_STREQ(uid, "Alice");
    Api().DoneEngine(engine);
  }

  // Each engine sets the same root again, spelled three ways.
  for (const std::string& spelling : {root.path(), root.path() + "/", root.path() + "\\"}) {
    CRYPT_HANDLE engine = Api().GetCryptObj();
    ASSERT_NE(engine, nullptr);
    Api().SetRootPath(engine, spelling.c_str());
    EXPECT_EQ(Api().SetCryptoParamValue(engine, 1, "%QamRoot%\\certs\\Alice.pem"), 0) << "the module loads";
    EXPECT_EQ(Api().SetCryptoParamValue(engine, 2, "%QamRoot%\\certs"), 0);
    std::vector<char> uid(40, '\0');
    // The own certificate is found under the root: the engine's root is set.
    std::vector<char> transfer(16904, '\0');
    EXPECT_EQ(Api().ExcludeSelfPublicKeyTransfer(engine, transfer.data()), 0) << spelling;
    EXPECT_EQ(Api().GetUIDByPublicKeyTransfer(engine, transfer.data(), uid.data()), 0) << spelling;
    EXPECT_STREQ(uid.data(), "Alice") << spelling;
    Api().DoneEngine(engine);
  }
  UnloadLibrary();
}

}  // namespace
}  // namespace cryptlib::test
