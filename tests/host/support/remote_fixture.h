// Remote key replacement as a host drives it against the fake module: a user
// with a key container and a certificate, a remote generation directory, key
// media, and a bank that answers a request transfer with a certificate
// transfer signed by its own engine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

constexpr const char* kUserSubject = "/C=RU/O=Bank/CN=Alice";
constexpr const char* kBankSubject = "/C=RU/O=Bank/CN=Bank CA";

// The "Key: value" field of a fake record file; empty when absent.
inline std::string RecordField(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key + ": ", 0) == 0) return line.substr(key.size() + 2);
  }
  return std::string();
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> FileNames(const std::string& directory) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(directory)) return names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    // A directory's lock file is the engine's bookkeeping, not content.
    if (entry.path().filename() == ".lock") continue;
    names.push_back(std::filesystem::relative(entry.path(), directory).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class RemoteGenerationTest : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    // The user's active key set, and the certificate for it filed both as
    // the own certificate and in the certificate directory.
    ASSERT_EQ(Hooks().WriteKeyContainer(keys_.path(), kUserSubject), 0);
    keys_.WriteFile("own.pem", FakeCertificate(kUserSubject));
    AddCertificate("Alice.pem", kUserSubject);
    ConfigureUser(engine());
    // The bank signs as the holder of its file in its certificate directory.
    bank_.WriteFile("Bank CA.pem", FakeCertificate(kBankSubject));
  }

  // The parameters and remote generation directory of the user's engine.
  void ConfigureUser(CRYPT_HANDLE h) const {
    SetParam(h, 1, keys_ / "own.pem");
    SetParam(h, 2, certs_.path());
    SetParam(h, 3, keys_.path());
    SetParam(h, 23, media_.path());
    api().SetRemoteGeneratePath(h, remote_.path().c_str());
  }

  int32_t TransferSize() const { return api().GetMaxPublicKeyTransferSize(engine()); }

  int32_t Start(uint32_t& step, const char* keyName = nullptr) {
    return api().RemoteGenerateStartEx(engine(), keyName, exchange_.data(), &step);
  }
  int32_t Finish(CRYPT_HANDLE h, const std::string& transfer, uint32_t& step) const {
    return api().RemoteGenerateFinishEx(h, transfer.c_str(), &step);
  }

  // The bank's side: takes the request out of the transfer, issues a
  // certificate for it and sends it back as a transfer signed by the bank.
  std::string BankAnswer(const std::string& requestTransfer) {
    CRYPT_HANDLE bank = BankEngine();
    EXPECT_EQ(api().SavePublicKeyFromTransfer(bank, bank_.path().c_str(), requestTransfer.c_str()), 0);
    EXPECT_EQ(Hooks().IssueCertificate(bank_ / "Tmp_cert.pem", kBankSubject, bank_ / "issued.pem"), 0);
    const std::string answer = SignedFileTransfer(bank, bank_ / "issued.pem");
    api().DoneEngine(bank);
    return answer;
  }
  // A certificate file sent by the bank as it is (e.g. one that does not
  // belong to the new keys).
  std::string BankSends(const std::string& certificateText) {
    bank_.WriteFile("sent.pem", certificateText);
    CRYPT_HANDLE bank = BankEngine();
    const std::string answer = SignedFileTransfer(bank, bank_ / "sent.pem");
    api().DoneEngine(bank);
    return answer;
  }
  CRYPT_HANDLE BankEngine() const {
    CRYPT_HANDLE bank = api().GetCryptObj();
    SetParam(bank, 1, bank_ / "Bank CA.pem");
    SetParam(bank, 2, bank_.path());
    return bank;
  }
  std::string SignedFileTransfer(CRYPT_HANDLE bank, const std::string& file) const {
    std::vector<char> text(static_cast<size_t>(TransferSize()), '\0');
    EXPECT_EQ(api().GetPublicKeyTransferByFile(bank, text.data(), file.c_str()), 0);
    return text.data();
  }

  std::string ExchangeText() const { return exchange_.data(); }
  // The public key of a fake key container or certificate file.
  static std::string PublicKeyOf(const std::string& file) { return RecordField(ReadWhole(file), "PublicKey"); }

  // A user's engine on a fresh handle, e.g. for a finish long after the start.
  CRYPT_HANDLE NewUserEngine() const {
    CRYPT_HANDLE h = api().GetCryptObj();
    api().SetRootPath(h, ProgramRoot().path().c_str());
    ConfigureUser(h);
    return h;
  }

  // Signs and verifies with h's current key; the signer's UID.
  std::string SignAndVerify(CRYPT_HANDLE h) const {
    const std::string data = "payment order";
    std::vector<char> signature(4096, '\0');
    int32_t length = static_cast<int32_t>(signature.size());
    EXPECT_EQ(api().SignData(h, data.data(), static_cast<int32_t>(data.size()), signature.data(), &length, nullptr), 0);
    char signer[64] = {};
    EXPECT_EQ(api().VerifyData(h, data.data(), static_cast<int32_t>(data.size()), signature.data(), length, signer), 0);
    return signer;
  }

  TestDir keys_;
  TestDir remote_;
  TestDir media_;
  TestDir bank_;
  std::vector<char> exchange_ = std::vector<char>(1 << 16, '\0');
};

}  // namespace cryptlib::test
