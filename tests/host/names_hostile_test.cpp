// What a hostile peer or a careless host may hand the engine, over the fake
// 2.x module: signature capacities of 0 or below, files that never end or
// never answer, garbage posing as a CA certificate, a holder with a thousand
// backups, the vendor's text of a failure, and thousands of recipients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// The answer of call run in a child process, or nothing when it has not
// answered within seconds (the child is then killed): a call that blocks for
// ever fails the test instead of hanging it.
template <class Call>
std::optional<int32_t> AnswerWithin(int seconds, Call call) {
  int channel[2];
  if (pipe(channel) != 0) return std::nullopt;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const int32_t answer = call();
    if (write(channel[1], &answer, sizeof answer) != sizeof answer) _exit(2);
    _exit(0);
  }
  close(channel[1]);
  std::optional<int32_t> answer;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(channel[0]);
      return std::nullopt;
    }
    usleep(10000);
  }
  int32_t value = 0;
  if (read(channel[0], &value, sizeof value) == sizeof value) answer = value;
  close(channel[0]);
  return answer;
}

// ------------------------------------------------------- signature capacity

using SignatureCapacity = StoreTest;

TEST_F(SignatureCapacity, ZeroOrBelowIsRefusedAndNothingIsWritten) {
  for (const int32_t capacity : {0, -1, -12288, INT32_MIN}) {
    std::vector<char> signature(100, '\x5a');
    int32_t length = capacity;
    EXPECT_EQ(api().SignData(engine(), "data", 4, signature.data(), &length, nullptr), -101) << capacity;
    EXPECT_EQ(length, capacity);
    EXPECT_EQ(signature, std::vector<char>(100, '\x5a')) << capacity;
  }
  for (const int32_t dataLength : {0, -1}) {
    std::vector<char> buffer(100, '\x5a');
    int32_t length = dataLength;
    EXPECT_EQ(api().AddSign(engine(), buffer.data(), &length, nullptr), -101) << dataLength;
    EXPECT_EQ(buffer, std::vector<char>(100, '\x5a'));
  }
  EXPECT_TRUE(Hooks().Calls("SignData").empty());
}

// ------------------------------------------------- files the host names

class HostFiles : public StoreTest {
 protected:
  std::string Fifo(const std::string& name) const {
    const std::string path = area_ / name;
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
  }
  // A sparse file: large, yet nothing on disk.
  std::string Huge(const std::string& name, off_t size) const {
    const std::string path = area_ / name;
    std::FILE* file = std::fopen(path.c_str(), "w");
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(ftruncate(fileno(file), size), 0);
    std::fclose(file);
    return path;
  }
};

TEST_F(HostFiles, OnlyBoundedRegularFilesAreRead) {
  const std::string fifo = Fifo("pipe.pem");
  const std::string huge = Huge("huge.pem", off_t{1} << 30);
  const std::string dir = area_ / "certs";
  struct Case {
    const char* what;
    std::string path;
  };
  const std::vector<Case> cases = {{"fifo", fifo}, {"/dev/zero", "/dev/zero"}, {"1 GiB", huge}, {"a directory", dir}};
  std::vector<char> transfer(16904);
  for (const Case& c : cases) {
    const char* path = c.path.c_str();
    EXPECT_EQ(AnswerWithin(5, [&] { return api().IncludePublicKey(engine(), path); }), -111) << c.what;
    EXPECT_EQ(AnswerWithin(5, [&] { return api().IncludeCRL(engine(), path); }), -124) << c.what;
    EXPECT_EQ(AnswerWithin(5, [&] { return api().GetPublicKeyTransferByFile(engine(), transfer.data(), path); }), -107)
        << c.what;
  }
  EXPECT_TRUE(area_.Exists("huge.pem")) << "a refused file is not moved";
}

TEST_F(HostFiles, ATransferFileIsReadUpToTheRecordSize) {
  const std::string certificate = FakeCertificate("/C=RU/CN=Carol");
  struct Case {
    size_t size;
    int32_t code;
  };
  // Up to the record size the file is read (and its data must fit the
  // record's 8192 bytes); one byte more is not read at all.
  for (const Case c : {Case{8192, 0}, Case{8452, -101}, Case{8453, -107}}) {
    area_.WriteFile("carol.pem", certificate + std::string(c.size - certificate.size(), '\n'));
    std::vector<char> transfer(16904);
    EXPECT_EQ(api().GetPublicKeyTransferByFile(engine(), transfer.data(), (area_ / "carol.pem").c_str()), c.code)
        << c.size;
  }
}

// ------------------------------------------------- CA certificates by transfer

using CaTransfer = StoreTest;

TEST_F(CaTransfer, OnlyWhatTheModuleReadsAsACertificateIsFiled) {
  const std::vector<std::string> bogus = {"", "garbage, not a certificate", "FAKE CRL\nIssuer: /CN=CA\n"};
  for (const std::string& content : bogus) {
    const std::string text = SignedText(Record("Bank CA", content, static_cast<int32_t>(content.size())));
    EXPECT_EQ(api().IncludeCACertificateFromTransfer(engine(), text.c_str()), -112) << content;
  }
  EXPECT_FALSE(area_.Exists("keys/CA/ca.pem"));
  const std::string real = FakeCertificate("/C=RU/CN=Bank CA");
  const std::string text = SignedText(Record("Bank CA", real, static_cast<int32_t>(real.size())));
  ASSERT_EQ(api().IncludeCACertificateFromTransfer(engine(), text.c_str()), 0);
  EXPECT_EQ(area_.ReadFile("keys/CA/ca.pem"), real);
}

// ------------------------------------------------------------ backups

using Backups = StoreTest;

TEST_F(Backups, AHolderWithAThousandBackupsIsStillUpdated) {
  for (int number = 1; number <= 999; ++number) {
    char name[32];
    std::snprintf(name, sizeof name, "certs/Bob.%03d", number);
    area_.WriteFile(name, "old " + std::to_string(number));
  }
  for (const char* tag : {"1", "2"}) {
    area_.WriteFile("bob.pem", FakeCertificate(kBobSubject) + tag);
    ASSERT_EQ(api().IncludePublicKey(engine(), (area_ / "bob.pem").c_str()), 0) << tag;
  }
  EXPECT_EQ(area_.ReadFile("certs/Bob.1000"), FakeCertificate(kBobSubject));
  EXPECT_EQ(area_.ReadFile("certs/Bob.1001"), FakeCertificate(kBobSubject) + "1");
  EXPECT_EQ(area_.ReadFile("certs/Bob.pem"), FakeCertificate(kBobSubject) + "2");
  EXPECT_EQ(area_.ReadFile("certs/Bob.999"), "old 999") << "existing backups stay as they are";
}

// The cost of finding the next number beside thousands of backups is measured
// by bench/ (a timed assertion here would fail on a busy machine); this keeps
// what such a directory must still give: the next number after the largest.
TEST_F(Backups, ThousandsOfBackupsStillGiveTheNextNumber) {
  for (int number = 1; number <= 3000; ++number) area_.WriteFile("certs/Dave." + std::to_string(1000 + number), "");
  for (int round = 0; round < 8; ++round) {
    area_.WriteFile("in.pem", FakeCertificate("/CN=Dave") + std::to_string(round));
    EXPECT_EQ(api().IncludePublicKey(engine(), (area_ / "in.pem").c_str()), 0);
  }
  EXPECT_TRUE(area_.Exists("certs/Dave.4007")) << "numbered past the largest backup";
}

// ---------------------------------------------------- the vendor's text

using VendorText = StoreTest;

TEST_F(VendorText, TheLastFailureIsExplainedWhateverTheContextLifetime) {
  for (const char* lifetime : {"", "0", "3600"}) {
    SetParam(22, lifetime);
    char garbage[64] = "not an envelope at all";
    int32_t length = 22;
    char uid[40];
    const int32_t failure = api().DecodeData(engine(), garbage, &length, uid);
    ASSERT_GT(failure, 1000) << lifetime;
    std::vector<char> text(1024, '\0');
    api().GetLastErrorMessage(engine(), text.data());
    EXPECT_THAT(std::string(text.data()), Not(IsEmpty())) << lifetime;
    EXPECT_EQ(std::string(text.data()), ErrorText(failure)) << lifetime;
  }
}

TEST_F(VendorText, EachThreadReadsItsOwnFailure) {
  char garbage[64] = "not an envelope at all";
  int32_t length = 22;
  char uid[40];
  const int32_t failure = api().DecodeData(engine(), garbage, &length, uid);
  // The other thread's call fails in the module too, with another text (a
  // thread that saw no vendor failure reads the shared context's word, which
  // may well be this thread's failure while that context lives).
  std::string otherThread = "unset";
  int32_t otherFailure = 0;
  std::thread([&] {
    std::vector<char> text(1024, '\0');
    char signature[] = "not a signature either";
    char signer[40];
    otherFailure = api().VerifyData(engine(), "data", 4, signature, 22, signer);
    api().GetLastErrorMessage(engine(), text.data());
    otherThread = text.data();
  }).join();
  std::vector<char> text(1024, '\0');
  api().GetLastErrorMessage(engine(), text.data());
  EXPECT_EQ(std::string(text.data()), ErrorText(failure));
  ASSERT_GT(otherFailure, 1000);
  ASSERT_NE(ErrorText(otherFailure), ErrorText(failure)) << "the two failures must be told apart";
  EXPECT_EQ(otherThread, ErrorText(otherFailure));
}

// ------------------------------------------------------- open contexts

using OpenContexts = StoreTest;

TEST_F(OpenContexts, TenThousandRecipientsLeaveFewContextsOpen) {
  constexpr int kRecipients = 10000;
  std::string list;
  for (int number = 0; number < kRecipients; ++number) {
    const std::string uid = "R" + std::to_string(number);
    area_.WriteFile("certs/" + uid + ".pem", FakeCertificate("/CN=" + uid));
    list += uid + ";";
  }
  // Every recipient's certificate is read; the unknown last one ends the
  // call before the module searches the directory for each of them.
  list += "Nobody";
  api().ClearCash(engine());
  const int32_t before = Hooks().OpenContexts();
  char data[64] = "payload";
  int32_t length = 7;
  ASSERT_EQ(api().EncodeData(engine(), data, &length, list.c_str()), -113);
  EXPECT_EQ(Hooks().Calls("InitCrypto").size(), static_cast<size_t>(kRecipients)) << "one reading per recipient";
  EXPECT_LE(Hooks().OpenContexts() - before, 4) << "contexts of recipients read before stayed open";
}

}  // namespace
}  // namespace cryptlib::test
