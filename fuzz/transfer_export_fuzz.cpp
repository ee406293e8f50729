// A peer's transfer text through the exports, as a host hands it on: the
// engine over the fake 2.x module reads it for its properties, for its UID
// and to file the certificate it carries. Whatever the text holds, nothing is
// written outside the host's buffers (each is followed by a guard area that
// must stay untouched, and the text itself must come back unchanged), every
// output is terminated, and a text the engine refuses leaves the certificate
// directory as it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cryptlib.h"

#ifndef CRYPTLIB_FAKE_DIR
#error "CRYPTLIB_FAKE_DIR names the directory of the fake module flavours (fuzz/CMakeLists.txt)"
#endif

namespace {

namespace fs = std::filesystem;

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "transfer_export: %s\n", what);
  std::abort();
}

// A host buffer of size bytes followed by a guard area.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size) : size_(size), bytes_(size + kGuard, kGuardByte) {}
  char* data() { return reinterpret_cast<char*>(bytes_.data()); }
  bool GuardIntact() const {
    for (size_t i = size_; i < bytes_.size(); ++i)
      if (bytes_[i] != kGuardByte) return false;
    return true;
  }
  bool Terminated() const { return std::memchr(bytes_.data(), 0, size_) != nullptr; }

 private:
  size_t size_;
  std::vector<unsigned char> bytes_;
};

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  // The directory's lock file is the engine's bookkeeping, not a certificate.
  for (const auto& entry : fs::directory_iterator(directory))
    if (entry.path().filename() != ".lock") names.insert(entry.path().filename().string());
  return names;
}

// An installation root with the fake module, the user Alice and her
// certificate directory, and one engine of hers, made on the first input.
struct Installation {
  Installation() {
    root = fs::temp_directory_path() / ("cryptlib-fuzz-" + std::to_string(std::random_device{}()));
    fs::create_directories(root / "EXE");
    fs::create_directories(root / "certs");
    fs::create_directories(root / "keys");
    const fs::path flavour = fs::path(CRYPTLIB_FAKE_DIR) / "v2";
    for (const char* file : {"mplug.so", "mplugf.so", "mplug2.so"}) fs::copy_file(flavour / file, root / "EXE" / file);
    WriteText(root / "certs" / "Alice.pem", kAlice);
    engine = GetCryptObj();
    Require(engine != nullptr, "no engine");
    SetRootPath(engine, root.string().c_str());
    Require(SetCryptoParamValue(engine, 1, (root / "certs" / "Alice.pem").string().c_str()) == 0, "parameter 1");
    Require(SetCryptoParamValue(engine, 2, (root / "certs").string().c_str()) == 0, "parameter 2");
    Require(SetCryptoParamValue(engine, 3, (root / "keys").string().c_str()) == 0, "parameter 3");
    reportSize = static_cast<size_t>(GetMaxReportSize(engine));
    Require(reportSize > 0, "no report size");
  }
  ~Installation() {
    DoneEngine(engine);
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Back to Alice alone after a certificate was filed (a transfer may carry
  // one of hers too), and no context holding what was filed.
  void ResetCertificates() {
    for (const std::string& name : Names(root / "certs")) fs::remove(root / "certs" / name);
    WriteText(root / "certs" / "Alice.pem", kAlice);
    ClearCash(engine);
  }

  static constexpr const char* kAlice =
      "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: /C=RU/O=Bank/CN=Alice\n"
      "PublicKey: a11ce0\n-----END CERTIFICATE-----\n";

  fs::path root;
  CRYPT_HANDLE engine = nullptr;
  size_t reportSize = 0;
};

Installation& Engine() {
  static Installation installation;
  return installation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A transfer fits 16904 bytes; a little more reaches every length check.
  if (size > 20000) return 0;
  Installation& engine = Engine();
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The host's copy of the text: the engine reads it, never writes it.
  std::vector<char> transfer(text.begin(), text.end());
  transfer.push_back('\0');

  GuardedBuffer report(engine.reportSize);
  const int32_t properties = GetPublicKeyPropertiesByTransfer(engine.engine, transfer.data(), report.data());
  Require(report.GuardIntact(), "GetPublicKeyPropertiesByTransfer wrote past the report buffer");
  if (properties == 0) Require(report.Terminated(), "report without terminator");

  GuardedBuffer uid(static_cast<size_t>(GetMaxUIDLength(engine.engine)));
  const int32_t named = GetUIDByPublicKeyTransfer(engine.engine, transfer.data(), uid.data());
  Require(uid.GuardIntact(), "GetUIDByPublicKeyTransfer wrote past the UID buffer");
  if (named == 0) Require(uid.Terminated(), "UID without terminator");

  const std::set<std::string> before = Names(engine.root / "certs");
  const int32_t included = IncludePublicKeyTransfer(engine.engine, transfer.data());
  if (included != 0) {
    Require(Names(engine.root / "certs") == before, "a refused transfer changed the certificate directory");
  } else {
    engine.ResetCertificates();
  }
  Require(std::memcmp(transfer.data(), text.data(), text.size()) == 0 && transfer.back() == '\0',
          "the transfer text was changed");
  return 0;
}
