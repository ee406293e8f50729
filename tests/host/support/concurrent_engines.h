// Several engines on several threads encrypting, signing and verifying at
// once, every result checked. Shared by the programs of the thread-safe and
// the serialised module flavours.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

class ConcurrentEngines : public FakeEngineTest {
 protected:
  static constexpr int kThreads = 4;
  static constexpr int kRounds = 25;

  void SetUp() override {
    FakeEngineTest::SetUp();
    for (int t = 0; t < kThreads; ++t) AddCertificate(Name(t) + ".pem", "/C=RU/O=Bank/CN=" + Name(t));
  }
  static std::string Name(int t) { return "User" + std::to_string(t); }

  // One thread's work on its own engine: encrypt for itself and its
  // neighbour, decrypt, sign, verify; answers the number of wrong results.
  int Work(int t) {
    CRYPT_HANDLE h = api().GetCryptObj();
    int wrong = 0;
    auto expect = [&](bool ok) { wrong += ok ? 0 : 1; };
    expect(api().SetCryptoParamValue(h, 2, certs_.path().c_str()) == 0);
    expect(api().SetCryptoParamValue(h, 1, (certs_ / (Name(t) + ".pem")).c_str()) == 0);
    const std::string recipients = Name(t) + ";" + Name((t + 1) % kThreads);
    for (int round = 0; round < kRounds; ++round) {
      const std::string plain = "message " + std::to_string(t) + "/" + std::to_string(round);
      std::vector<char> buffer(plain.size() + 2 * 4096, '\0');
      std::memcpy(buffer.data(), plain.data(), plain.size());
      int32_t length = static_cast<int32_t>(plain.size());
      expect(api().EncodeData(h, buffer.data(), &length, recipients.c_str()) == 0);
      char uid[40] = {};
      expect(api().DecodeData(h, buffer.data(), &length, uid) == 0);
      expect(std::string(buffer.data(), static_cast<size_t>(length > 0 ? length : 0)) == plain);
      expect(Name(t) == uid);
      std::vector<char> signature(1024, '\0');
      int32_t signatureLength = 1024;
      expect(api().SignData(h, plain.data(), length, signature.data(), &signatureLength, nullptr) == 0);
      std::memset(uid, 0, sizeof(uid));
      expect(api().VerifyData(h, plain.data(), length, signature.data(), signatureLength, uid) == 0);
      expect(Name(t) == uid);
    }
    api().DoneEngine(h);
    return wrong;
  }

  void RunAll() {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { wrong += Work(t); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
  }
};

}  // namespace cryptlib::test
