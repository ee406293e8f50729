#include "demo_world.h"

#include <filesystem>

#include "param_numbers.h"

namespace cryptlib::host {

using namespace host::param;

bool AlgorithmsByName(const std::string& name, Algorithms& algorithms) {
  if (name == "rsa")
    algorithms = {"rsa", "AES-256-CBC", "SHA256"};
  else if (name == "ecdsa")
    algorithms = {"ecdsa", "AES-256-CBC", "ECDSA-SHA256"};
  else if (name == "gost")
    algorithms = {"gost", "RUS-GAMMAR", "R3410-R3411"};
  else if (name == "token")
    algorithms = {"token", "AES-256-CBC", "SHA256"};  // RSA keys on the abonents' tokens
  else
    return false;
  return true;
}

Party::Party(const std::string& root, const std::string& name, const Algorithms& algorithms)
    : uid(name), home_(root + "/" + name), name_(name), algorithms_(algorithms) {
  std::filesystem::create_directories(home_ + "/inbox");
}

// The key directory is also the key media: the 2.x generation writes there.
// Authorities and lists live where CreateDirStructure and IncludeCRL put
// them (the key directory's CA and CRL), and the module reads them there.
std::vector<std::pair<int, std::string>> Party::Parameters() const {
  std::vector<std::pair<int, std::string>> parameters = {{kOwnCertificate, Path("own.pem")},
                                                         {kCertificateDir, Path("certs")},
                                                         {kKeyDir, Path("keys")},
                                                         {kCipher, algorithms_.cipher},
                                                         {kSignature, algorithms_.signature},
                                                         {kRequestFile, Path("request.pem")},
                                                         {kCountry, "RU"},
                                                         {kOrganisation, "Demo Bank"},
                                                         {kCommonName, name_},
                                                         {kKeyMedia, Path("keys")},
                                                         {kCaDir, Path("keys/CA")},
                                                         {kCrlDir, Path("keys/CRL")}};
  if (!pinSource.empty()) parameters.emplace_back(kPinSource, pinSource);
  if (!privateKeyFile.empty()) {
    // The module opens a key directory as a container and refuses one that
    // holds none; a party whose key comes from another tool has no key
    // directory once its tree is laid out.
    parameters.emplace_back(kPrivateKeyFile, privateKeyFile);
    parameters.emplace_back(kKeyDir, "");
    parameters.emplace_back(kKeyMedia, "");
  }
  parameters.insert(parameters.end(), moduleParameters.begin(), moduleParameters.end());
  return parameters;
}

std::unique_ptr<EngineClient> Party::Engine(const Exports& api, const std::string& root, std::string& error) const {
  auto engine = std::make_unique<EngineClient>(api, root);
  if (!engine->created()) {
    error = "GetCryptObj returned nil";
    return nullptr;
  }
  for (const auto& [number, value] : Parameters()) {
    const Status status = engine->SetParam(number, value);
    if (!status.ok()) {
      error = "parameter " + std::to_string(number) + ": " + engine->Explain(status);
      return nullptr;
    }
  }
  return engine;
}

}  // namespace cryptlib::host
