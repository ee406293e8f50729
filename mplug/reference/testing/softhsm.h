// SoftHSM2 tokens for tests: a configuration and token directory in a
// temporary directory of the test's own (outside any installation root),
// SOFTHSM2_CONF pointed at it, tokens made with softhsm2-util. SoftHSM reads
// its configuration once per process, when the PKCS#11 library is first
// initialised, so a test process uses one SoftHsm for all its tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace reftest {

class SoftHsm {
 public:
  static constexpr char kPin[] = "1234";
  static constexpr char kSoPin[] = "567890";

  // The PKCS#11 library of SoftHSM2; empty when it is not installed.
  static std::string Library() {
    for (const char* path : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                             "/usr/local/lib/softhsm/libsofthsm2.so"}) {
      if (std::filesystem::exists(path)) return path;
    }
    return {};
  }

  static bool Available() { return !Library().empty() && Run("softhsm2-util --version") == 0; }

  explicit SoftHsm(const std::string& directory) : directory_(directory) {
    std::filesystem::create_directories(directory_ + "/tokens");
    std::ofstream(directory_ + "/softhsm2.conf")
        << "directories.tokendir = " << directory_ << "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
    ::setenv("SOFTHSM2_CONF", (directory_ + "/softhsm2.conf").c_str(), 1);
  }

  bool InitToken(const std::string& label, const std::string& pin = kPin) const {
    return Run("softhsm2-util --init-token --free --label " + label + " --pin " + pin + " --so-pin " + kSoPin) == 0;
  }

  // Imports a PKCS#8 PEM key pair under an id (hex) and a label.
  bool Import(const std::string& keyFile, const std::string& token, const std::string& idHex,
              const std::string& label) const {
    return Run("softhsm2-util --import " + keyFile + " --token " + token + " --id " + idHex + " --label " + label +
               " --pin " + kPin) == 0;
  }

  static std::string TokenUri(const std::string& label) { return "pkcs11:token=" + label; }

 private:
  static int Run(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
  }

  std::string directory_;
};

}  // namespace reftest
