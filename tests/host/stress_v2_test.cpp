// Engines on several threads, two of them sharing one engine, running every
// kind of work at once over the thread-safe module: encryption, detached and
// attached signatures, transfers and reports, parameter reads, error texts and
// cache clears. Every result is checked. A watchdog aborts the program when
// the workers do not finish within a generous bound, so a deadlock fails CI
// instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

constexpr int kUsers = 5;
// Threads 0 to 4 each own an engine; thread 5 shares user 4's.
constexpr int kThreads = kUsers + 1;
constexpr int kRounds = 30;
constexpr auto kWatchdogBound = std::chrono::seconds(120);

std::string Name(int user) {
  return "User" + std::to_string(user);
}

// Aborts the process unless Finish() is called within the bound.
class Watchdog {
 public:
  explicit Watchdog(const char* what) : what_(what), thread_([this] { Watch(); }) {}
  ~Watchdog() {
    Finish();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Finish() {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
    done_.notify_all();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> hold(lock_);
    if (done_.wait_for(hold, kWatchdogBound, [this] { return finished_; })) return;
    std::fprintf(stderr, "watchdog: %s did not finish within %lld s (deadlock?)\n", what_,
                 static_cast<long long>(kWatchdogBound.count()));
    std::abort();
  }

  const char* what_;
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

class Stress : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    for (int user = 0; user < kUsers; ++user) AddCertificate(Name(user) + ".pem", "/C=RU/O=Bank/CN=" + Name(user));
  }

  // An engine of user over the shared certificate directory.
  CRYPT_HANDLE OpenEngine(int user) const {
    CRYPT_HANDLE h = api().GetCryptObj();
    SetParam(h, 2, certs_.path());
    SetParam(h, 1, certs_ / (Name(user) + ".pem"));
    return h;
  }

  // Counts checks and the failed ones without stopping the thread.
  struct Tally {
    std::atomic<long> operations{0};
    std::atomic<long> wrong{0};
    std::mutex lock;
    std::string firstFailure;

    void Check(bool ok, const char* what, int thread, int round) {
      ++operations;
      if (ok) return;
      if (wrong++ == 0) {
        std::lock_guard<std::mutex> hold(lock);
        firstFailure =
            std::string(what) + " (thread " + std::to_string(thread) + ", round " + std::to_string(round) + ")";
      }
    }
  };

  void Encryption(CRYPT_HANDLE h, int user, int round, int thread, Tally& tally) const {
    const std::string plain = "message " + std::to_string(thread) + "/" + std::to_string(round);
    const std::string recipients = Name(user) + ";" + Name((user + 1) % kUsers);
    std::vector<char> buffer(plain.size() + static_cast<size_t>(api().GetMaxAdditionEx(h, recipients.c_str())));
    std::memcpy(buffer.data(), plain.data(), plain.size());
    auto length = static_cast<int32_t>(plain.size());
    tally.Check(api().EncodeData(h, buffer.data(), &length, recipients.c_str()) == 0, "EncodeData", thread, round);
    char uid[40] = {};
    tally.Check(api().DecodeData(h, buffer.data(), &length, uid) == 0, "DecodeData", thread, round);
    tally.Check(std::string(buffer.data(), static_cast<size_t>(std::max(length, 0))) == plain && Name(user) == uid,
                "decrypted text and recipient", thread, round);
  }

  void Signatures(CRYPT_HANDLE h, int user, int round, int thread, Tally& tally) const {
    const std::string plain = "signed " + std::to_string(thread) + "/" + std::to_string(round);
    const auto length = static_cast<int32_t>(plain.size());
    std::vector<char> signature(static_cast<size_t>(api().GetMaxSignatureLength(h)));
    auto signatureLength = static_cast<int32_t>(signature.size());
    tally.Check(api().SignData(h, plain.data(), length, signature.data(), &signatureLength, nullptr) == 0, "SignData",
                thread, round);
    char signer[40] = {};
    tally.Check(api().VerifyData(h, plain.data(), length, signature.data(), signatureLength, signer) == 0 &&
                    Name(user) == signer,
                "VerifyData", thread, round);
    // A changed byte must not verify, whatever else runs at the time.
    std::string forged = plain;
    forged[0] ^= 1;
    tally.Check(api().VerifyData(h, forged.data(), length, signature.data(), signatureLength, signer) != 0,
                "VerifyData of changed data", thread, round);

    std::vector<char> attached(plain.size() + static_cast<size_t>(api().GetMaxSignAddition(h)));
    std::memcpy(attached.data(), plain.data(), plain.size());
    int32_t attachedLength = length;
    tally.Check(api().AddSign(h, attached.data(), &attachedLength, nullptr) == 0, "AddSign", thread, round);
    std::memset(signer, 0, sizeof(signer));
    tally.Check(api().RemoveSign(h, attached.data(), &attachedLength, signer) == 0 && attachedLength == length &&
                    std::memcmp(attached.data(), plain.data(), plain.size()) == 0 && Name(user) == signer,
                "RemoveSign", thread, round);
  }

  void TransfersAndReports(CRYPT_HANDLE h, int user, int round, int thread, Tally& tally) const {
    const std::string peer = Name((user + 2) % kUsers);
    std::vector<char> transfer(static_cast<size_t>(api().GetMaxPublicKeyTransferSize(h)));
    tally.Check(api().GetPublicKeyTransfer(h, peer.c_str(), transfer.data()) == 0, "GetPublicKeyTransfer", thread,
                round);
    // The UID field of a transfer may hold 256 characters.
    char uid[300] = {};
    tally.Check(api().GetUIDByPublicKeyTransfer(h, transfer.data(), uid) == 0 && peer == uid,
                "GetUIDByPublicKeyTransfer", thread, round);
    std::vector<char> report(static_cast<size_t>(api().GetMaxReportSize(h)));
    tally.Check(api().GetPublicKeyPropertiesByTransfer(h, transfer.data(), report.data()) == 0 &&
                    std::strstr(report.data(), ("CN=" + peer + "\r\n").c_str()) != nullptr,
                "GetPublicKeyPropertiesByTransfer", thread, round);
    std::memset(report.data(), 0, report.size());
    tally.Check(api().GetReport(h, peer.c_str(), report.data()) == 0 &&
                    std::strstr(report.data(), ("CN=" + peer + "\r\n").c_str()) != nullptr,
                "GetReport", thread, round);
  }

  void ParametersAndTexts(CRYPT_HANDLE h, int round, int thread, Tally& tally) const {
    std::vector<char> value(static_cast<size_t>(api().GetMaxCryptoParamValueLength(h)));
    api().GetCryptoParamValue(h, 4, value.data());
    tally.Check(std::string(value.data()) == "RUS-GAMMAR", "GetCryptoParamValue", thread, round);
    int32_t kind = 0, size = 0;
    tally.Check(api().GetParamInfo(h, 20, &kind, nullptr, &size) == 0 && kind == 7 && size == 7, "GetParamInfo", thread,
                round);
    std::vector<char> text(static_cast<size_t>(api().GetMaxErrorStringLength(h)));
    api().GetCryptoErrorString(h, -117, text.data());
    tally.Check(std::string(text.data()) == "Low memory.", "GetCryptoErrorString(-117)", thread, round);
    api().GetCryptoErrorString(h, 1011, text.data());
    tally.Check(std::string(text.data()) == "Signature does not match the data", "GetCryptoErrorString(1011)", thread,
                round);
  }

  // One thread's rounds on its engine.
  void Work(CRYPT_HANDLE h, int user, int thread, Tally& tally) const {
    for (int round = 0; round < kRounds; ++round) {
      Encryption(h, user, round, thread, tally);
      Signatures(h, user, round, thread, tally);
      TransfersAndReports(h, user, round, thread, tally);
      ParametersAndTexts(h, round, thread, tally);
      // The contexts other threads are using go away under them.
      if ((round + thread) % 3 == 0) api().ClearCash(h);
      if ((round + thread) % 5 == 0)
        tally.Check(api().UpdateCertificateCash(h, Name((user + 1) % kUsers).c_str()) == 0, "UpdateCertificateCash",
                    thread, round);
    }
  }
};

TEST_F(Stress, EveryKindOfWorkOnSeveralEnginesAtOnce) {
  std::vector<CRYPT_HANDLE> engines;
  for (int user = 0; user < kUsers; ++user) engines.push_back(OpenEngine(user));
  Tally tally;
  {
    Watchdog watchdog("the stress workers");
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
      const int user = thread < kUsers ? thread : kUsers - 1;
      threads.emplace_back([&, thread, user] { Work(engines[static_cast<size_t>(user)], user, thread, tally); });
    }
    for (std::thread& thread : threads) thread.join();
    watchdog.Finish();
  }
  for (CRYPT_HANDLE h : engines) api().DoneEngine(h);

  EXPECT_EQ(tally.wrong.load(), 0) << "first failure: " << tally.firstFailure;
  // Nothing was skipped: every planned check ran.
  const long perRound = 3 + 5 + 4 + 4;
  EXPECT_GE(tally.operations.load(), static_cast<long>(kThreads) * kRounds * perRound);
  RecordProperty("checked_operations", std::to_string(tally.operations.load()));
}

}  // namespace
}  // namespace cryptlib::test
