// Two host processes sharing one installation root and one certificate store:
// each files, replaces and removes certificates and files revocation lists
// for a bounded time, and checks after every call that answered 0 that the
// store holds what the call claims. Numbered names (backups, lists) are
// picked by both: without a lock across processes both pick one number and
// one process's file replaces the other's. Over the fake 2.x module (POSIX:
// fork).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

namespace fs = std::filesystem;

constexpr auto kRunTime = std::chrono::seconds(3);
constexpr int kOwnHolders = 4;

std::string Certificate(const std::string& subject, const std::string& key) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject + "\nPublicKey: " + key +
         "\n-----END CERTIFICATE-----\n";
}
std::string Crl(const std::string& issuer, const std::string& tag) {
  return "FAKE CRL\nIssuer: " + issuer + "\nTag: " + tag + "\n";
}

bool ReadWhole(const fs::path& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  contents = text.str();
  return true;
}

void Write(const fs::path& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

// What one process found wrong, and how much it did.
struct Tally {
  int calls = 0;
  int failed = 0;      // calls that answered non-zero
  int violations = 0;  // calls that answered 0 without leaving their state
};

class TwoProcessStore : public StoreTest {
 protected:
  // One process's work: its own holders and its own issuer (so that what a
  // call claims can be checked), a holder both replace, and Alice as user.
  Tally Work(int process) {
    Tally tally;
    const fs::path area = area_.path();
    const fs::path in = area / ("in" + std::to_string(process));
    fs::create_directories(in);
    CRYPT_HANDLE h = api().GetCryptObj();
    api().SetRootPath(h, ProgramRoot().path().c_str());
    api().SetCryptoParamValue(h, 1, (Certs() + "/Alice.pem").c_str());
    api().SetCryptoParamValue(h, 2, Certs().c_str());
    api().SetCryptoParamValue(h, 3, (area_ / "keys").c_str());
    const std::string issuer = "/C=RU/CN=CA " + std::to_string(process);
    const auto end = std::chrono::steady_clock::now() + kRunTime;
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
      const std::string tag = std::to_string(process) + "-" + std::to_string(i);
      const std::string holder = "H" + std::to_string(process) + "_" + std::to_string(i % kOwnHolders);
      const std::string own = Certificate("/C=RU/O=Bank/CN=" + holder, tag);
      const std::string shared = Certificate("/C=RU/O=Bank/CN=Shared", tag);
      const std::string list = Crl(issuer, tag);
      Write(in / "own.pem", own);
      Write(in / "shared.pem", shared);
      Write(in / "list.crl", list);
      std::string contents;

      Count(tally, api().IncludePublicKey(h, (in / "own.pem").c_str()),
            [&] { return ReadWhole(fs::path(Certs()) / (holder + ".pem"), contents) && contents == own; });
      Count(tally, api().IncludePublicKey(h, (in / "shared.pem").c_str()), [&] {
        // The other process may have replaced it since: a whole Shared one.
        return ReadWhole(fs::path(Certs()) / "Shared.pem", contents) &&
               contents.find("CN=Shared\nPublicKey: ") != std::string::npos;
      });
      const std::string removed = "H" + std::to_string(process) + "_" + std::to_string((i + 2) % kOwnHolders);
      Count(tally, api().RemoveCertificate(h, removed.c_str()),
            [&] { return !fs::exists(fs::path(Certs()) / (removed + ".pem")); });
      Count(tally, api().IncludeCRL(h, (in / "list.crl").c_str()), [&] { return OnlyList(issuer, list); });
    }
    api().DoneEngine(h);
    return tally;
  }

  template <typename Check>
  static void Count(Tally& tally, int32_t code, Check check) {
    ++tally.calls;
    if (code != 0) {
      ++tally.failed;
    } else if (!check()) {
      ++tally.violations;
    }
  }

  // The issuer's only list in the list directory is list.
  bool OnlyList(const std::string& issuer, const std::string& list) const {
    int found = 0;
    bool same = false;
    for (const auto& entry : fs::directory_iterator(area_ / "keys/CRL")) {
      std::string contents;
      if (!ReadWhole(entry.path(), contents) || contents.find("Issuer: " + issuer + "\n") == std::string::npos)
        continue;
      ++found;
      same = contents == list;
    }
    return found == 1 && same;
  }
};

TEST_F(TwoProcessStore, EveryCallThatAnswersZeroLeavesTheStateItClaims) {
  area_.MakeDir("keys/CRL");
  pid_t children[2];
  int pipes[2][2];
  for (int process = 0; process < 2; ++process) {
    ASSERT_EQ(pipe(pipes[process]), 0);
    children[process] = fork();
    ASSERT_GE(children[process], 0);
    if (children[process] == 0) {
      const Tally tally = Work(process);
      const ssize_t written = write(pipes[process][1], &tally, sizeof tally);
      _exit(written == sizeof tally ? 0 : 1);
    }
    close(pipes[process][1]);
  }
  for (int process = 0; process < 2; ++process) {
    Tally tally;
    const ssize_t got = read(pipes[process][0], &tally, sizeof tally);
    close(pipes[process][0]);
    int status = 0;
    ASSERT_EQ(waitpid(children[process], &status, 0), children[process]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << process << " did not finish";
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof tally));
    std::printf("[ process  ] %d: %d calls, %d failed, %d answered 0 without their state\n", process, tally.calls,
                tally.failed, tally.violations);
    EXPECT_GT(tally.calls, 20) << "process " << process << " hardly ran";
    EXPECT_EQ(tally.failed, 0) << "process " << process;
    EXPECT_EQ(tally.violations, 0) << "process " << process;
  }
  // Nothing half-filed is left: every certificate is whole.
  for (const auto& entry : fs::directory_iterator(Certs())) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".pem")) continue;
    std::string contents;
    ASSERT_TRUE(ReadWhole(entry.path(), contents));
    EXPECT_TRUE(contents.ends_with("-----END CERTIFICATE-----\n")) << name << " is not whole";
  }
}

}  // namespace
}  // namespace cryptlib::test
