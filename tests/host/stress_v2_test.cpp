// Engines on several threads, two of them sharing one engine, running every
// kind of work at once over the thread-safe module for a bounded time:
// encryption, detached and attached signatures, transfers and reports,
// parameter reads, error texts, cache clears, and the certificate store
// changing under them (certificates included from files and from transfers
// and removed again, CA certificates from transfers, revocation lists
// replaced), all engines sharing one
// certificate directory and one key directory. Every result is checked. A
// watchdog aborts the program when the workers do not finish within a
// generous bound, so a deadlock fails CI instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

// On Windows a file that another thread's module holds open cannot be
// deleted or replaced at that moment: the engine answers -107 and keeps the
// file, as it must, and the host tries again later. The store's churn between
// threads (inclusion and removal of certificates, CA certificates and
// revocation lists in one shared directory) therefore runs on POSIX only.
#ifdef _WIN32
constexpr bool kStoreChurn = false;
#else
constexpr bool kStoreChurn = true;
#endif

constexpr int kUsers = 5;
// Threads 0 to 4 each own an engine; thread 5 shares user 4's.
constexpr int kThreads = kUsers + 1;
// Each thread works until the time is up (at least kMinRounds rounds, so a
// slow build under a sanitizer still does every kind of work), at most
// kMaxRounds rounds.
constexpr auto kWorkTime = std::chrono::seconds(6);
constexpr int kMinRounds = 3;
constexpr int kMaxRounds = 5000;
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
    RemoveTestRootsBeforeAbort();
    std::abort();
  }

  const char* what_;
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

void WriteAll(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

class Stress : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    for (int user = 0; user < kUsers; ++user) AddCertificate(Name(user) + ".pem", "/C=RU/O=Bank/CN=" + Name(user));
    keys_.MakeDir("CRL");
    keys_.MakeDir("CA");
    for (int thread = 0; thread < kThreads; ++thread) incoming_.MakeDir(std::to_string(thread));
  }

  // An engine of user over the shared certificate and key directories.
  CRYPT_HANDLE OpenEngine(int user) const {
    CRYPT_HANDLE h = api().GetCryptObj();
    SetParam(h, 2, certs_.path());
    SetParam(h, 1, certs_ / (Name(user) + ".pem"));
    SetParam(h, 3, keys_.path());
    return h;
  }
  // A file of the thread's own incoming directory.
  std::string Incoming(int thread, const std::string& name) const {
    return incoming_ / (std::to_string(thread) + "/" + name);
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

  // A holder of the thread's own comes and goes: his certificate is included
  // from a file (moved in) and from a transfer, the engine encrypts for him,
  // and after each removal it no longer does. The other threads file and
  // remove their own holders in the same directory at the same time.
  void CertificateChurn(CRYPT_HANDLE h, int round, int thread, Tally& tally) const {
    const std::string holder = "Temp" + std::to_string(thread);
    const std::string filed = certs_ / (holder + ".pem");
    const std::string incoming = Incoming(thread, holder + ".pem");
    const std::string text = FakeCertificate("/C=RU/O=Bank/CN=" + holder) + "Round: " + std::to_string(round) + "\n";
    WriteAll(incoming, text);
    tally.Check(api().IncludePublicKey(h, incoming.c_str()) == 0 && ReadAll(filed) == text &&
                    !std::filesystem::exists(incoming),
                "IncludePublicKey", thread, round);
    tally.Check(EncryptsFor(h, holder), "EncodeData for an included holder", thread, round);
    tally.Check(api().RemoveCertificate(h, holder.c_str()) == 0 && !std::filesystem::exists(filed), "RemoveCertificate",
                thread, round);
    tally.Check(!EncryptsFor(h, holder), "EncodeData for a removed holder", thread, round);

    const std::string again = text + "Transfer: yes\n";
    WriteAll(incoming, again);
    std::vector<char> transfer(static_cast<size_t>(api().GetMaxPublicKeyTransferSize(h)));
    tally.Check(api().GetPublicKeyTransferByFile(h, transfer.data(), incoming.c_str()) == 0,
                "GetPublicKeyTransferByFile", thread, round);
    // The certificate filed is this transfer's, whatever the others include.
    tally.Check(api().IncludePublicKeyTransfer(h, transfer.data()) == 0 && ReadAll(filed) == again,
                "IncludePublicKeyTransfer", thread, round);
    tally.Check(EncryptsFor(h, holder), "EncodeData for a holder from a transfer", thread, round);
    tally.Check(api().RemoveCertificate(h, holder.c_str()) == 0 && !std::filesystem::exists(filed),
                "RemoveCertificate after a transfer", thread, round);
    std::filesystem::remove(incoming);
  }

  // The thread's own issuer's list is replaced by a newer one while the
  // other threads replace theirs in the same directory: afterwards the
  // directory holds exactly one list of that issuer, the newest.
  void RevocationLists(CRYPT_HANDLE h, int round, int thread, Tally& tally) const {
    const std::string issuer = "/C=RU/CN=Stress CA " + std::to_string(thread);
    const std::string list = "FAKE CRL\nIssuer: " + issuer + "\nRound: " + std::to_string(round) + "\n";
    const std::string incoming = Incoming(thread, "new.crl");
    WriteAll(incoming, list);
    tally.Check(api().IncludeCRL(h, incoming.c_str()) == 0, "IncludeCRL", thread, round);
    int lists = 0;
    bool newest = false;
    // The other threads add and delete lists meanwhile: no exceptions.
    std::error_code error;
    for (std::filesystem::directory_iterator it(keys_ / "CRL", error), end; !error && it != end; it.increment(error)) {
      const std::string contents = ReadAll(it->path());
      if (contents.find("Issuer: " + issuer + "\n") == std::string::npos) continue;
      ++lists;
      newest = contents == list;
    }
    tally.Check(!error && lists == 1 && newest, "one list per issuer, the newest", thread, round);
  }

  // A CA certificate of the thread's own arrives by transfer while the others
  // file theirs in the same CA directory: it is there once, whole, and the
  // test takes it away again.
  void CaCertificates(CRYPT_HANDLE h, int round, int thread, Tally& tally) const {
    const std::string ca =
        FakeCertificate("/C=RU/CN=Stress CA " + std::to_string(thread)) + "Round: " + std::to_string(round) + "\n";
    const std::string incoming = Incoming(thread, "ca.pem");
    WriteAll(incoming, ca);
    std::vector<char> transfer(static_cast<size_t>(api().GetMaxPublicKeyTransferSize(h)));
    tally.Check(api().GetPublicKeyTransferByFile(h, transfer.data(), incoming.c_str()) == 0 &&
                    api().IncludeCACertificateFromTransfer(h, transfer.data()) == 0,
                "IncludeCACertificateFromTransfer", thread, round);
    std::vector<std::filesystem::path> filed;
    std::error_code error;
    for (std::filesystem::directory_iterator it(keys_ / "CA", error), end; !error && it != end; it.increment(error))
      if (ReadAll(it->path()) == ca) filed.push_back(it->path());
    tally.Check(!error && filed.size() == 1, "the CA certificate filed once", thread, round);
    for (const auto& path : filed) std::filesystem::remove(path, error);
  }

  bool EncryptsFor(CRYPT_HANDLE h, const std::string& uid) const {
    std::vector<char> buffer(64 + static_cast<size_t>(api().GetMaxAdditionEx(h, uid.c_str())), 'x');
    int32_t length = 64;
    return api().EncodeData(h, buffer.data(), &length, uid.c_str()) == 0;
  }

  // One thread's rounds on its engine, until the time is up; answers the
  // number of rounds.
  int Work(CRYPT_HANDLE h, int user, int thread, Tally& tally, std::chrono::steady_clock::time_point end) const {
    int round = 0;
    for (; round < kMaxRounds && (round < kMinRounds || std::chrono::steady_clock::now() < end); ++round) {
      Encryption(h, user, round, thread, tally);
      Signatures(h, user, round, thread, tally);
      TransfersAndReports(h, user, round, thread, tally);
      ParametersAndTexts(h, round, thread, tally);
      if (kStoreChurn) {
        CertificateChurn(h, round, thread, tally);
        RevocationLists(h, round, thread, tally);
        CaCertificates(h, round, thread, tally);
      }
      // The contexts other threads are using go away under them.
      if ((round + thread) % 3 == 0) api().ClearCash(h);
      if ((round + thread) % 5 == 0)
        tally.Check(api().UpdateCertificateCash(h, Name((user + 1) % kUsers).c_str()) == 0, "UpdateCertificateCash",
                    thread, round);
    }
    return round;
  }

  TestDir keys_;
  TestDir incoming_;
};

TEST_F(Stress, EveryKindOfWorkOnSeveralEnginesAtOnce) {
  std::vector<CRYPT_HANDLE> engines;
  for (int user = 0; user < kUsers; ++user) engines.push_back(OpenEngine(user));
  Tally tally;
  std::atomic<long> rounds{0};
  {
    Watchdog watchdog("the stress workers");
    const auto end = std::chrono::steady_clock::now() + kWorkTime;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
      const int user = thread < kUsers ? thread : kUsers - 1;
      threads.emplace_back(
          [&, thread, user] { rounds += Work(engines[static_cast<size_t>(user)], user, thread, tally, end); });
    }
    for (std::thread& thread : threads) thread.join();
    watchdog.Finish();
  }
  for (CRYPT_HANDLE h : engines) api().DoneEngine(h);

  EXPECT_EQ(tally.wrong.load(), 0) << "first failure: " << tally.firstFailure;
  // Nothing was skipped: every planned check of every round ran.
  const long perRound = 3 + 5 + 4 + 4 + (kStoreChurn ? 8 + 2 + 2 : 0);
  EXPECT_GE(rounds.load(), static_cast<long>(kThreads) * kMinRounds);
  EXPECT_GE(tally.operations.load(), rounds.load() * perRound);
  std::printf("[ stress   ] %ld rounds, %ld checked operations on %d threads and %d engines\n", rounds.load(),
              tally.operations.load(), kThreads, kUsers);
  RecordProperty("rounds", std::to_string(rounds.load()));
  RecordProperty("checked_operations", std::to_string(tally.operations.load()));
}

}  // namespace
}  // namespace cryptlib::test
