// Keys under a passphrase in the reference module: each PIN source of
// parameter 8 (pinentry through a scripted stand-in that speaks Assuan), a
// wrong or missing passphrase, containers of the old kind, how long the
// passphrase and the keys it opened are kept, and the passphrase utility,
// also interrupted by a power cut at every file change.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/test_dir.h"
#include "reference/module.h"
#include "reference/parse_cache.h"
#include "reference/testing/reference_harness.h"

namespace {

namespace fs = std::filesystem;
using cryptlib::test::TestDir;
using namespace reftest;

constexpr int kPinSource = 8;
constexpr char kKeyKind[] = "ECDSA-SHA256";
constexpr char kLifetimeVariable[] = "CRYPTLIB_REF_PASSPHRASE_SECONDS";

std::string Tool() {
  return std::string(CRYPTLIB_REFERENCE_DIR) + "/cryptlib-ref-passwd";
}

// Every file of the tree with its contents.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path().string());
  }
  return files;
}

// A pinentry stand-in: answers every command OK, GETPIN with $TEST_PIN
// (percent-escaped as Assuan escapes it), and logs the commands it got.
// SETREPEAT is refused when $TEST_NO_REPEAT is set; GETPIN is refused
// (cancelled) when $TEST_CANCEL is set; a second GETPIN answers
// $TEST_PIN_AGAIN when that is set.
constexpr char kPinentryScript[] = R"SH(#!/bin/sh
echo "OK Pleased to meet you"
asked=0
repeat=
while IFS= read -r line; do
  echo "$line" >> "$TEST_PINENTRY_LOG"
  case "$line" in
    SETREPEAT*) if [ -n "$TEST_NO_REPEAT" ]; then echo "ERR 275 Unknown command"; else repeat=1; echo OK; fi ;;
    GETPIN)
      if [ -n "$TEST_CANCEL" ]; then echo "ERR 83886179 Operation cancelled"; continue; fi
      asked=$((asked + 1))
      pin="$TEST_PIN"
      if [ "$asked" -gt 1 ] && [ -n "$TEST_PIN_AGAIN" ]; then pin="$TEST_PIN_AGAIN"; fi
      [ -n "$repeat" ] && echo "S PIN_REPEATED"
      printf 'D %s\nOK\n' "$(printf '%s' "$pin" | sed 's/%/%25/g')" ;;
    BYE) echo OK; exit 0 ;;
    *) echo OK ;;
  esac
done
)SH";

class ReferencePassphraseTest : public testing::Test {
 protected:
  void SetUp() override {
    // Nothing kept between calls, unless a test says otherwise: every open
    // asks the source.
    ::setenv(kLifetimeVariable, "0", 1);
    ::setenv("TEST_PINENTRY_LOG", (dir_ / "pinentry.log").c_str(), 1);
    pinentry_ = dir_ / "bin/pinentry";
    fs::create_directories(dir_ / "bin");
    WriteFile(pinentry_, kPinentryScript);
    fs::permissions(pinentry_, fs::perms::owner_all);
    for (const char* name : {"TEST_PIN", "TEST_PIN_AGAIN", "TEST_NO_REPEAT", "TEST_CANCEL", "PASS_A", "PASS_B"}) {
      ::unsetenv(name);
    }
  }
  void TearDown() override { ::unsetenv(kLifetimeVariable); }

  // Alice's keys made with a PIN source and her certificate issued.
  int32_t Enroll(const std::string& source) {
    alice_.name = "Alice";
    alice_.keyDirectory = bank_.Path("Alice/keys");
    alice_.request = bank_.Path("Alice/request.pem");
    alice_.certificate = bank_.Path("certs/Alice.pem");
    Session generation;
    generation.Set(kKeyDir, alice_.keyDirectory)
        .Set(kRequestFile, alice_.request)
        .Set(kSignature, kKeyKind)
        .Set(kCommonName, "Alice")
        .Set(kPinSource, source);
    char text[260] = "";
    int32_t code = generation.module().GenerateNewSEK(generation.handle(), text);
    lastError_ = generation.LastError();
    if (code == 0 && !bank_.ca().Issue(alice_.request, alice_.certificate, 0x3A01)) code = -1;
    return code;
  }

  // Seals data for Alice (needs no key of hers) and opens it in a new
  // context with the source; the code.
  int32_t Open(const std::string& source) {
    Session session;
    bank_.Configure(session, alice_, "AES-256-CBC", kKeyKind);
    session.Set(kPinSource, source);
    const std::string plain = "for alice";
    std::vector<char> data(plain.size() + static_cast<size_t>(session.module().GetMaxEncodeAddition()));
    std::memcpy(data.data(), plain.data(), plain.size());
    int32_t length = static_cast<int32_t>(plain.size());
    if (int32_t code = session.module().EncodeData(session.handle(), data.data(), &length, "")) return code;
    char uid[1024] = "";
    int32_t code = session.module().DecodeData(session.handle(), data.data(), &length, uid);
    lastError_ = session.LastError();
    if (code == 0 && std::string(data.data(), static_cast<size_t>(length)) != plain) return -1;
    return code;
  }

  // The passphrase utility; its exit status, or -SIGKILL when it was killed.
  int RunTool(const std::string& current, const std::string& next, const std::string& environment = "") {
    const std::string command =
        environment + " '" + Tool() + "' '" + alice_.keyDirectory + "' '" + current + "' '" + next + "' 2>/dev/null";
    int status = std::system(command.c_str());
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGKILL) return -SIGKILL;  // the shell reports it so
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  bool KeyFilesUnderPassphrase() {
    for (const auto& entry : fs::directory_iterator(alice_.keyDirectory + "/KEYS")) {
      if (ReadFile(entry.path().string()).rfind("Passphrase: pin.opq\n", 0) != 0) return false;
    }
    return true;
  }

  TestDir dir_;
  Bank bank_{dir_.path()};
  Abonent alice_;
  std::string pinentry_;
  std::string lastError_;
};

TEST_F(ReferencePassphraseTest, EachPinSourceLocksTheKeysItMade) {
  const std::string passphrase = "correct horse % battery";
  ::setenv("PASS_A", passphrase.c_str(), 1);
  ::setenv("TEST_PIN", passphrase.c_str(), 1);
  ::setenv("PATH", (dir_.path() + "/bin:" + std::getenv("PATH")).c_str(), 1);
  WriteFile(dir_ / "pass.txt", passphrase + "\nsecond line is not part of it\n");
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const std::string lines = passphrase + "\n" + passphrase + "\n";
  ASSERT_EQ(::write(pipeEnds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  struct Case {
    std::string source;
    std::string relativeFile;  // written into the key directory first
  } cases[] = {
      {"env:PASS_A", ""},
      {"file:" + (dir_ / "pass.txt"), ""},
      {"file:pin.txt", "pin.txt"},
      {"fd:" + std::to_string(pipeEnds[0]), ""},
      {"pinentry", ""},
      {"pinentry:" + pinentry_, ""},
  };
  for (const Case& source : cases) {
    SCOPED_TRACE(source.source);
    fs::remove_all(bank_.Path("Alice"));
    if (!source.relativeFile.empty()) {
      fs::create_directories(bank_.Path("Alice/keys"));
      WriteFile(bank_.Path("Alice/keys/") + source.relativeFile, passphrase + "\n");
    }
    ASSERT_EQ(Enroll(source.source), 0) << lastError_;
    EXPECT_TRUE(KeyFilesUnderPassphrase());
    EXPECT_NE(ReadFile(alice_.keyDirectory + "/pin.opq").find("kdf scrypt 16384 8 5"), std::string::npos);
    EXPECT_EQ(Open(source.source), 0) << lastError_;
    EXPECT_EQ(Open(""), ref::kErrPassphraseUnavailable);
  }
  ::close(pipeEnds[1]);
  ::close(pipeEnds[0]);
  // The stand-in was asked for the new passphrase with its repeat, and for
  // the passphrase without.
  const std::string log = ReadFile(dir_ / "pinentry.log");
  EXPECT_NE(log.find("SETREPEAT"), std::string::npos);
  EXPECT_NE(log.find("SETDESC The passphrase of the key container"), std::string::npos) << log;
  for (const auto& [path, contents] : Snapshot(dir_.path())) {
    if (path.find("pass.txt") != std::string::npos || path.find("pin.txt") != std::string::npos) continue;
    EXPECT_EQ(contents.find(passphrase), std::string::npos) << "the passphrase is in " << path;
    EXPECT_EQ(contents.find("BEGIN PRIVATE KEY"), std::string::npos) << "a plain key is in " << path;
  }
}

TEST_F(ReferencePassphraseTest, PinentryRefusalsAndDifferingEntriesMakeNothing) {
  ::setenv("TEST_PIN", "first", 1);
  struct Case {
    const char* what;
    const char* variable;
    const char* value;
  } cases[] = {
      {"cancelled", "TEST_CANCEL", "1"},
      {"repeat differs (no SETREPEAT)", "TEST_NO_REPEAT", "1"},
  };
  ::setenv("TEST_PIN_AGAIN", "second", 1);
  for (const Case& refusal : cases) {
    SCOPED_TRACE(refusal.what);
    ::setenv(refusal.variable, refusal.value, 1);
    EXPECT_EQ(Enroll("pinentry:" + pinentry_), ref::kErrPassphraseUnavailable);
    ::unsetenv(refusal.variable);
    EXPECT_FALSE(fs::exists(alice_.keyDirectory + "/pin.opq"));
    EXPECT_TRUE(fs::is_empty(alice_.keyDirectory + "/KEYS"));
  }
  // Without its own repeat pinentry is asked twice; equal entries pass.
  ::setenv("TEST_NO_REPEAT", "1", 1);
  ::unsetenv("TEST_PIN_AGAIN");
  EXPECT_EQ(Enroll("pinentry:" + pinentry_), 0) << lastError_;
  EXPECT_EQ(Enroll("pinentry:" + (dir_ / "missing-program")), ref::kErrPassphraseUnavailable);
}

TEST_F(ReferencePassphraseTest, WrongOrMissingPassphraseHasItsOwnCodeAndChangesNothing) {
  ::setenv("PASS_A", "right", 1);
  ASSERT_EQ(Enroll("env:PASS_A"), 0) << lastError_;
  const auto before = Snapshot(bank_.Path("Alice/keys"));
  ::setenv("PASS_B", "wrong", 1);
  struct Case {
    std::string source;
    int32_t code;
  } cases[] = {
      {"env:PASS_B", ref::kErrWrongPassphrase},
      {"env:UNSET_VARIABLE", ref::kErrPassphraseUnavailable},
      {"file:missing.txt", ref::kErrPassphraseUnavailable},
      {"", ref::kErrPassphraseUnavailable},
      {"fd:987", ref::kErrPassphraseUnavailable},
      {"keyring:alice", ref::kErrPassphraseUnavailable},
  };
  for (const Case& wrong : cases) {
    SCOPED_TRACE(wrong.source);
    EXPECT_EQ(Open(wrong.source), wrong.code);
    // A new key into the container needs its passphrase too.
    EXPECT_EQ(Enroll(wrong.source), wrong.code);
    EXPECT_EQ(Snapshot(bank_.Path("Alice/keys")), before);
  }
  char text[1024] = "";
  Session session;
  session.module().GetCryptoErrorString(ref::kErrWrongPassphrase, text);
  EXPECT_STREQ(text, "Wrong passphrase for the key container");
  EXPECT_EQ(Open("env:PASS_A"), 0) << "the right one still opens after the wrong ones";
}

TEST_F(ReferencePassphraseTest, PinFileWithoutAnyKeyIsMadeAgainByTheNextGeneration) {
  // What a first generation cut short between pin.opq and the key file leaves.
  ::setenv("PASS_A", "first", 1);
  ASSERT_EQ(Enroll("env:PASS_A"), 0) << lastError_;
  for (const auto& entry : fs::directory_iterator(alice_.keyDirectory + "/KEYS")) fs::remove(entry.path());
  ::setenv("PASS_B", "second", 1);
  ASSERT_EQ(Enroll("env:PASS_B"), 0) << lastError_;
  EXPECT_EQ(Open("env:PASS_B"), 0) << lastError_;
  EXPECT_EQ(Open("env:PASS_A"), ref::kErrWrongPassphrase);
}

TEST_F(ReferencePassphraseTest, ContainerOfTheOldKindNeedsNoPassphrase) {
  ASSERT_EQ(bank_.Enroll(alice_, "Alice", 0x3A02, kKeyKind), 0);
  const auto before = Snapshot(bank_.Path("Alice/keys"));
  ::setenv("PASS_A", "unused", 1);
  EXPECT_EQ(Open(""), 0);
  EXPECT_EQ(Open("env:PASS_A"), 0) << "a source is asked only for keys under a passphrase";
  EXPECT_EQ(Snapshot(bank_.Path("Alice/keys")), before);
}

TEST_F(ReferencePassphraseTest, PassphraseAndTheKeysItOpenedAreForgottenAfterTheirTime) {
  ::setenv(kLifetimeVariable, "1", 1);
  ::setenv("PASS_A", "right", 1);
  ASSERT_EQ(Enroll("env:PASS_A"), 0) << lastError_;
  ::setenv("PASS_A", "changed", 1);
  EXPECT_EQ(Open("env:PASS_A"), 0) << "within its time the passphrase read at generation serves";
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(Open("env:PASS_A"), ref::kErrWrongPassphrase) << "neither the passphrase nor the keys are kept";
  ::setenv(kLifetimeVariable, "100000", 1);
  ::setenv("PASS_A", "right", 1);
  EXPECT_EQ(Open("env:PASS_A"), 0);
  ::setenv("PASS_A", "changed", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(Open("env:PASS_A"), 0) << "a lifetime beyond the bound is cut to it, not to nothing";
}

TEST(ReferenceSharedParses, ValuesWithAnExpiryAreKeptOnlyUntilThen) {
  struct Opened {
    std::chrono::steady_clock::time_point expires;
  };
  ref::SharedParses<Opened> parses(4);
  ref::FileSet files;  // no files: settled
  const auto now = std::chrono::steady_clock::now();
  int loads = 0;
  auto load = [&](std::chrono::steady_clock::duration life) {
    return [&loads, now, life] {
      ++loads;
      return std::make_shared<const Opened>(Opened{now + life});
    };
  };
  parses.Get("past", files, load(-std::chrono::seconds(1)));
  EXPECT_EQ(parses.Size(), 0u) << "an expired value is never kept";
  parses.Get("soon", files, load(std::chrono::milliseconds(200)));
  parses.Get("soon", files, load(std::chrono::milliseconds(200)));
  EXPECT_EQ(loads, 2) << "kept while valid";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  parses.DropExpired();
  EXPECT_EQ(parses.Size(), 0u);
  parses.Get("soon", files, load(std::chrono::milliseconds(200)));
  EXPECT_EQ(loads, 3);
}

TEST_F(ReferencePassphraseTest, UtilitySetsChangesAndRemovesThePassphrase) {
  ASSERT_EQ(bank_.Enroll(alice_, "Alice", 0x3A03, kKeyKind), 0);
  ::setenv("PASS_A", "first passphrase", 1);
  ::setenv("PASS_B", "second passphrase", 1);
  ASSERT_EQ(RunTool("-", "env:PASS_A"), 0);
  EXPECT_TRUE(KeyFilesUnderPassphrase());
  EXPECT_EQ(Open(""), ref::kErrPassphraseUnavailable);
  EXPECT_EQ(Open("env:PASS_A"), 0);

  EXPECT_EQ(RunTool("env:PASS_B", "env:PASS_A"), 2) << "wrong current passphrase";
  const std::string keyFiles = ReadFile(fs::directory_iterator(alice_.keyDirectory + "/KEYS")->path());
  ASSERT_EQ(RunTool("env:PASS_A", "env:PASS_B"), 0);
  EXPECT_EQ(ReadFile(fs::directory_iterator(alice_.keyDirectory + "/KEYS")->path()), keyFiles)
      << "a change rewrites pin.opq only";
  EXPECT_EQ(Open("env:PASS_A"), ref::kErrWrongPassphrase);
  EXPECT_EQ(Open("env:PASS_B"), 0);

  ASSERT_EQ(RunTool("env:PASS_B", "-"), 0);
  EXPECT_FALSE(fs::exists(alice_.keyDirectory + "/pin.opq"));
  EXPECT_EQ(Open(""), 0);
  EXPECT_EQ(RunTool("-", "env:UNSET_VARIABLE"), 3);
  const int usage = std::system(("'" + Tool() + "' " + alice_.keyDirectory + " 2>/dev/null").c_str());
  EXPECT_TRUE(WIFEXITED(usage) && WEXITSTATUS(usage) == 64);
}

// The utility cut by a power loss before each of its file changes: the old
// or the new passphrase opens the keys, never neither, and running it again
// completes the change.
TEST_F(ReferencePassphraseTest, UtilityInterruptedAtEveryFileChangeLeavesOldOrNew) {
  ASSERT_EQ(bank_.Enroll(alice_, "Alice", 0x3A04, kKeyKind), 0);
  ::setenv("PASS_A", "first passphrase", 1);
  ::setenv("PASS_B", "second passphrase", 1);
  struct Step {
    const char* current;
    const char* next;
  } steps[] = {{"-", "env:PASS_A"}, {"env:PASS_A", "env:PASS_B"}, {"env:PASS_B", "-"}};
  for (const Step& step : steps) {
    const std::string oldSource = std::strcmp(step.current, "-") == 0 ? "" : step.current;
    const std::string newSource = std::strcmp(step.next, "-") == 0 ? "" : step.next;
    long cuts = 0;
    for (long at = 1; at < 100; ++at, ++cuts) {
      SCOPED_TRACE(std::string(step.current) + " -> " + step.next + ", power cut at " + std::to_string(at));
      const std::string backup = dir_ / "backup";
      fs::remove_all(backup);
      fs::copy(alice_.keyDirectory, backup, fs::copy_options::recursive);
      const int status = RunTool(step.current, step.next, "CRYPTLIB_REF_POWER_CUT=" + std::to_string(at));
      if (status == 0) break;
      ASSERT_EQ(status, -SIGKILL);
      const bool oldOpens = Open(oldSource) == 0;
      const bool newOpens = Open(newSource) == 0;
      EXPECT_TRUE(oldOpens || newOpens) << lastError_;
      // Running it again completes the change; then back to the state before
      // the cut for the next point.
      ASSERT_EQ(RunTool(newOpens && !oldOpens ? step.next : step.current, step.next), 0);
      EXPECT_EQ(Open(newSource), 0) << lastError_;
      fs::remove_all(alice_.keyDirectory);
      fs::rename(backup, alice_.keyDirectory);
    }
    EXPECT_GE(cuts, 3);
    EXPECT_EQ(Open(newSource), 0) << "the run that no cut reached completed the change";
  }
}

}  // namespace
