// The certificate store when the process dies: a child process runs one
// store operation and is killed (SIGKILL) before its N-th file change, for
// every N; with the N-th write torn in half first; and with every write from
// the N-th on failing for lack of space. After each, the store holds the
// previous certificate, CA certificate or list or the new one, whole, never
// neither; the host's retry answers 0 and leaves the new state; the engine
// still encrypts for the holders. Over the fake 2.x module.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/crash_child.h"
#include "host/support/store_fixture.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

namespace fs = std::filesystem;

std::string Certificate(const std::string& subject, const std::string& key) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject + "\nPublicKey: " + key +
         "\n-----END CERTIFICATE-----\n";
}
std::string Crl(const std::string& issuer, const std::string& tag) {
  return "FAKE CRL\nIssuer: " + issuer + "\nTag: " + tag + "\n";
}

const std::string kOldBob = Certificate(kBobSubject, "b0b001");
const std::string kNewBob = Certificate(kBobSubject, "b0b002");
const std::string kCa = Certificate("/C=RU/CN=Bank CA", "ca0001");
const std::string kOldList = Crl("/C=RU/CN=Bank CA", "old");
const std::string kNewList = Crl("/C=RU/CN=Bank CA", "new");
const std::string kOtherList = Crl("/C=RU/CN=Other CA", "other");

// A temporary of an atomic replacement; one a killed process could not
// remove may stay, and never counts as a certificate or a list.
bool IsTemporary(const std::string& name) {
  return name.ends_with(".tmp");
}

// One store operation swept: the state before, the operation, what must hold
// after a crash at any point, and what must hold once it answered 0.
struct CrashCase {
  std::string name;
  std::function<void()> prepare;
  std::function<int()> run;
  std::function<void()> checkCrashed;
  std::function<void()> checkDone;
  // Whether every file is made owner-only first (the operation copies only
  // from files, so nothing may end up more open).
  bool privateFiles = true;
};

class CrashStore : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (!KillShimAvailable()) GTEST_SKIP() << "the kill shim is not in this build (sanitizers)";
  }

  // Empties the area and lays out Alice, Bob and the key tree.
  void Reset() {
    for (const auto& entry : fs::directory_iterator(area_.path())) fs::remove_all(entry.path());
    area_.MakeDir("in");
    area_.MakeDir("keys/CA");
    area_.MakeDir("keys/CRL");
    area_.WriteFile("certs/Alice.pem", FakeCertificate(kAliceSubject));
    area_.WriteFile("certs/Bob.pem", kOldBob);
  }

  // The files of a directory but the temporaries a kill leaves.
  FileTree Files(const std::string& relative) const {
    FileTree tree = ReadFileTree(area_ / relative);
    std::erase_if(tree, [](const auto& entry) { return IsTemporary(entry.first); });
    return tree;
  }

  void ExpectEncryptsFor(const std::string& uid) {
    api().ClearCash(engine());
    std::vector<char> buffer(16384, 'x');
    int32_t length = 16;
    EXPECT_EQ(api().EncodeData(engine(), buffer.data(), &length, uid.c_str()), 0) << "encryption for " << uid;
  }

  // Makes every file of the area owner-only, as key material would be.
  void MakeAllPrivate() {
    for (const auto& entry : fs::recursive_directory_iterator(area_.path()))
      if (entry.is_regular_file()) fs::permissions(entry.path(), fs::perms::owner_read | fs::perms::owner_write);
  }

  // What a killed process left beside the store's files: temporaries (and
  // the claims of received certificates) and received certificates never
  // filed ("crt*.pem"). The retry's change of each directory removes them.
  void ExpectNoLeftovers() {
    for (const auto& entry : fs::recursive_directory_iterator(area_.path())) {
      const std::string name = entry.path().filename().string();
      if (entry.path().parent_path().filename() == "in") continue;
      EXPECT_FALSE(IsTemporary(name) || (name.starts_with("crt") && name.ends_with(".pem")))
          << entry.path() << " was left by the killed process";
    }
  }

  // After MakeAllPrivate: a copy, a backup or a temporary is never more open
  // than its source, not even for a moment (the lock files hold nothing).
  void ExpectNothingOpened() {
    for (const auto& entry : fs::recursive_directory_iterator(area_.path())) {
      if (!entry.is_regular_file() || entry.path().filename() == ".lock") continue;
      struct stat st;
      ASSERT_EQ(stat(entry.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others";
    }
  }

  // Sweeps one mode over every file change of the operation.
  void Sweep(const CrashCase& c, int mode) {
    SCOPED_TRACE(c.name + ", mode " + std::to_string(mode));
    const auto prepare = [&] {
      c.prepare();
      if (c.privateFiles) MakeAllPrivate();
    };
    prepare();
    const long operations = CountOperations(c.run);
    ASSERT_GT(operations, 0) << "the operation fails or changes nothing without faults";
    c.checkDone();
    long killed = 0;
    for (long at = 1; at <= operations; ++at) {
      SCOPED_TRACE("file change " + std::to_string(at) + " of " + std::to_string(operations));
      prepare();
      const ChildOutcome outcome = RunInChild(at, mode, c.run);
      killed += outcome.killed ? 1 : 0;
      if (mode != KILL_SHIM_NO_SPACE) {
        EXPECT_TRUE(outcome.killed);
      }
      if (!outcome.killed && outcome.exitCode == 0) {
        c.checkDone();
      } else {
        c.checkCrashed();
      }
      if (c.privateFiles) ExpectNothingOpened();
      // What the host does next: the same operation again.
      ASSERT_EQ(c.run(), 0) << "the retry";
      c.checkDone();
      ExpectNoLeftovers();
      if (HasFailure()) return;
    }
    std::printf("[ crash    ] %s mode %d: %ld file changes, %ld killed\n", c.name.c_str(), mode, operations, killed);
  }

  void SweepAll(const CrashCase& c) {
    for (int mode : {KILL_SHIM_KILL_BEFORE, KILL_SHIM_TEAR, KILL_SHIM_NO_SPACE}) {
      Sweep(c, mode);
      if (HasFailure()) return;
    }
  }
};

TEST_F(CrashStore, IncludePublicKeyLeavesTheOldOrTheNewCertificate) {
  CrashCase c;
  c.name = "IncludePublicKey";
  c.prepare = [&] {
    Reset();
    area_.WriteFile("in/bob.pem", kNewBob);
  };
  c.run = [&] {
    // The host hands the file in again when it is still there.
    if (!area_.Exists("in/bob.pem")) area_.WriteFile("in/bob.pem", kNewBob);
    return api().IncludePublicKey(engine(), (area_ / "in/bob.pem").c_str());
  };
  c.checkCrashed = [&] {
    const FileTree certs = Files("certs");
    ASSERT_TRUE(certs.contains("Bob.pem")) << "Bob's certificate is lost";
    EXPECT_TRUE(certs.at("Bob.pem") == kOldBob || certs.at("Bob.pem") == kNewBob);
    // Either the new certificate is filed or its source is still there.
    EXPECT_TRUE(certs.at("Bob.pem") == kNewBob ||
                (area_.Exists("in/bob.pem") && area_.ReadFile("in/bob.pem") == kNewBob));
  };
  c.checkDone = [&] {
    EXPECT_EQ(Files("certs").at("Bob.pem"), kNewBob);
    ExpectEncryptsFor("Bob");
    ExpectEncryptsFor("Alice");
  };
  SweepAll(c);
}

TEST_F(CrashStore, IncludePublicKeyTransferLeavesTheOldOrTheNewCertificate) {
  area_.WriteFile("in/bob.pem", kNewBob);
  const std::string transfer = TransferOfFile(area_ / "in/bob.pem");
  CrashCase c;
  c.name = "IncludePublicKeyTransfer";
  // A certificate from a transfer is a new file: it gets the default access.
  c.privateFiles = false;
  c.prepare = [&] { Reset(); };
  c.run = [&] { return api().IncludePublicKeyTransfer(engine(), transfer.c_str()); };
  c.checkCrashed = [&] {
    const FileTree certs = Files("certs");
    ASSERT_TRUE(certs.contains("Bob.pem")) << "Bob's certificate is lost";
    EXPECT_TRUE(certs.at("Bob.pem") == kOldBob || certs.at("Bob.pem") == kNewBob);
    for (const auto& [name, contents] : certs) EXPECT_FALSE(contents.empty()) << name << " is empty";
  };
  c.checkDone = [&] {
    EXPECT_EQ(Files("certs").at("Bob.pem"), kNewBob);
    ExpectEncryptsFor("Bob");
  };
  SweepAll(c);
}

TEST_F(CrashStore, IncludeCrlLeavesTheIssuersOldOrNewListWhole) {
  CrashCase c;
  c.name = "IncludeCRL";
  c.prepare = [&] {
    Reset();
    area_.WriteFile("keys/CRL/crl1.pem", kOldList);
    area_.WriteFile("keys/CRL/crl2.pem", kOtherList);
    area_.WriteFile("in/new.crl", kNewList);
  };
  c.run = [&] {
    if (!area_.Exists("in/new.crl")) area_.WriteFile("in/new.crl", kNewList);
    return api().IncludeCRL(engine(), (area_ / "in/new.crl").c_str());
  };
  const auto lists = [&] {
    std::vector<std::string> found;
    for (const auto& [name, contents] : Files("keys/CRL")) found.push_back(contents);
    return found;
  };
  c.checkCrashed = [&] {
    const std::vector<std::string> found = lists();
    EXPECT_EQ(std::count(found.begin(), found.end(), kOtherList), 1) << "the other issuer's list";
    const bool newIn = std::count(found.begin(), found.end(), kNewList) == 1;
    const bool oldIn = std::count(found.begin(), found.end(), kOldList) == 1;
    EXPECT_TRUE(newIn || oldIn) << "the issuer has no list";
    EXPECT_TRUE(newIn || (area_.Exists("in/new.crl") && area_.ReadFile("in/new.crl") == kNewList))
        << "the new list is lost";
    for (const std::string& list : found) EXPECT_TRUE(list == kOldList || list == kNewList || list == kOtherList);
  };
  c.checkDone = [&] {
    std::vector<std::string> found = lists();
    std::sort(found.begin(), found.end());
    std::vector<std::string> expected = {kNewList, kOtherList};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected) << "a retry after a crash removes every older list of the issuer";
  };
  SweepAll(c);
}

TEST_F(CrashStore, RemoveCertificateRemovesOrKeepsTheWholeFile) {
  CrashCase c;
  c.name = "RemoveCertificate";
  c.prepare = [&] {
    Reset();
    area_.WriteFile("certs/Bob.cer", kOldBob);
  };
  c.run = [&] { return api().RemoveCertificate(engine(), "Bob"); };
  c.checkCrashed = [&] {
    for (const auto& [name, contents] : Files("certs")) EXPECT_FALSE(contents.empty()) << name;
    EXPECT_EQ(Files("certs").at("Alice.pem"), FakeCertificate(kAliceSubject));
  };
  c.checkDone = [&] {
    EXPECT_EQ(Files("certs"), (FileTree{{"Alice.pem", FakeCertificate(kAliceSubject)}}));
    ExpectEncryptsFor("Alice");
  };
  SweepAll(c);
}

TEST_F(CrashStore, CreateDirStructureLeavesWholeFilesAndARetryCompletesIt) {
  CrashCase c;
  c.name = "CreateDirStructure";
  c.prepare = [&] {
    Reset();
    fs::remove_all(area_ / "keys");
    area_.WriteFile("in/own.pem", FakeCertificate(kAliceSubject));
    area_.WriteFile("in/ca.pem", kCa);
  };
  c.run = [&] {
    // A retry starts from a fresh CA directory, as an installation does.
    fs::remove_all(area_ / "keys/CA");
    return api().CreateDirStructure(engine(), (area_ / "in/own.pem").c_str(), (area_ / "in/ca.pem").c_str());
  };
  c.checkCrashed = [&] {
    for (const char* directory : {"certs", "keys"})
      for (const auto& [name, contents] : Files(directory)) {
        EXPECT_TRUE(contents == FakeCertificate(kAliceSubject) || contents == kCa || contents == kOldBob)
            << name << " is torn or empty";
      }
  };
  c.checkDone = [&] {
    EXPECT_EQ(Files("keys/CA"), (FileTree{{"ca1.pem", kCa}}));
    EXPECT_EQ(Files("certs").at("Alice.pem"), FakeCertificate(kAliceSubject));
    ExpectEncryptsFor("Alice");
  };
  SweepAll(c);
}

}  // namespace
}  // namespace cryptlib::test
