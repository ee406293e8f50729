// The certificate store when the file system fails: every write, rename,
// read, delete and directory creation of an operation is failed in turn
// (once, and from then on), over the fake 2.x module. After each failure the
// store must hold the previous state or the complete new one (no lost or
// truncated certificate, list or CA file, no temporary left behind), the
// answer must be a failure code, the engine must still encrypt for the
// holders, and a retry without faults must succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_dir.h"
#include "common/test_os.h"
#include "engine/mpro_2x.h"
#include "unit/harness/binding_fake_harness.h"
#include "unit/harness/fault_platform.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

namespace fs = std::filesystem;
using test::FaultSweep;
using test::TestDir;
using Tree = test::FileTree;

// A replaced certificate's numbered backup ("Bob.001").
bool IsBackupName(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot != std::string::npos && name.size() - dot == 4 &&
         std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

Tree Without(const Tree& tree, bool backups) {
  Tree part;
  for (const auto& [name, contents] : tree)
    if (IsBackupName(name) == backups) part[name] = contents;
  return part;
}

std::vector<std::string> Contents(const Tree& tree) {
  std::vector<std::string> values;
  for (const auto& [name, contents] : tree) values.push_back(contents);
  return values;
}

bool Holds(const std::vector<std::string>& values, const std::string& value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

std::string Describe(const Tree& tree) {
  std::string text;
  for (const auto& [name, contents] : tree) text += "  " + name + " (" + std::to_string(contents.size()) + " bytes)\n";
  return text.empty() ? "  (nothing)\n" : text;
}

// Each file is the previous one or the new one: a file in both states is
// never missing, and nothing else is there.
void ExpectEachFileOldOrNew(const Tree& tree, const Tree& before, const Tree& after) {
  for (const auto& [name, contents] : tree) {
    const bool old = before.contains(name) && before.at(name) == contents;
    const bool now = after.contains(name) && after.at(name) == contents;
    EXPECT_TRUE(old || now) << name << " is neither the previous nor the new file";
  }
  for (const auto& [name, contents] : before)
    if (after.contains(name)) {
      EXPECT_TRUE(tree.contains(name)) << name << " is missing";
    }
}

std::string Certificate(const std::string& subject, const std::string& key) {
  return "-----BEGIN CERTIFICATE-----\nFAKE CERTIFICATE\nSubject: " + subject + "\nPublicKey: " + key +
         "\n-----END CERTIFICATE-----\n";
}

std::string Crl(const std::string& issuer, const std::string& tag) {
  return "FAKE CRL\nIssuer: " + issuer + "\nTag: " + tag + "\n";
}

const std::string kAlice = Certificate("/C=RU/O=Bank/CN=Alice", "a11ce0");
const std::string kOldBob = Certificate("/C=RU/O=Bank/CN=Bob", "b0b001");
const std::string kOldBobCer = Certificate("/C=RU/O=Bank/CN=Bob", "b0bcee");
const std::string kNewBob = Certificate("/C=RU/O=Bank/CN=Bob", "b0b002");
const std::string kOldCa = Certificate("/C=RU/CN=Bank CA", "ca0001");
const std::string kNewCa = Certificate("/C=RU/CN=Bank CA 2", "ca0002");
const std::string kOldList = Crl("/C=RU/CN=Bank CA", "old");
const std::string kOtherList = Crl("/C=RU/CN=Other CA", "other");
const std::string kNewList = Crl("/C=RU/CN=Bank CA", "new");

// The user Alice with her certificate filed, the holder Bob, over a fresh
// engine per run; the fault platform stands in front of the test host.
class StoreFaults : public ::testing::Test {
 protected:
  // The engine's scratch directories go to a temporary directory of the
  // test's own: a scratch directory whose removal fails on purpose would
  // otherwise stay in the system's, and after a thousand runs no scratch
  // number would be free there.
  void SetUp() override {
    hadTemp_ = test::HasEnv(test::kTempVariable);
    savedTemp_ = test::GetEnv(test::kTempVariable);
    test::SetEnv(test::kTempVariable, temp_.path());
    platform::SetPlatformForTesting(&faults_);
  }
  void TearDown() override {
    engine_.reset();
    platform::SetPlatformForTesting(&test::Host());
    if (hadTemp_)
      test::SetEnv(test::kTempVariable, savedTemp_);
    else
      test::UnsetEnv(test::kTempVariable);
  }

  std::string Certs() const { return area_ / "certs"; }
  std::string Keys() const { return area_ / "keys"; }
  std::string Incoming(const std::string& name) const { return area_ / ("in/" + name); }

  // The files below a directory. While deletes are failing on purpose a
  // clean-up cannot remove what it made, so the temporaries of the atomic
  // replacement ("*.tmp") and a saved transfer ("crt*.pem") may stay then;
  // at any other time they count like every other file.
  Tree Files(const std::string& root) const {
    Tree tree = test::ReadFileTree(root);
    if (faults_.Injected(test::FaultOp::kDelete) == 0) return tree;
    std::erase_if(tree, [](const auto& entry) {
      const std::string name = fs::path(entry.first).filename().string();
      return name.ends_with(".tmp") || (name.starts_with("crt") && name.ends_with(".pem"));
    });
    return tree;
  }
  Tree CertTree() const { return Files(Certs()); }
  void ExpectNoTemporaries() const {
    for (const auto& [name, contents] : Files(area_.path()))
      EXPECT_FALSE(name.ends_with(".tmp")) << name << " left behind";
  }

  // Empties the area and writes files (relative path -> contents).
  void Reset(const Tree& files) {
    engine_.reset();
    for (const auto& entry : fs::directory_iterator(area_.path())) fs::remove_all(entry.path());
    area_.MakeDir("in");
    for (const auto& [name, contents] : files) area_.WriteFile(name, contents);
    NewEngine();
  }
  void NewEngine(const std::string& ownCertificate = "", const std::string& certs = "") {
    engine_ = std::make_unique<TMPro2xCryptoEngine>();
    ASSERT_EQ(
        engine_->SetCryptoParamValue(1, (ownCertificate.empty() ? Certs() + "/Alice.pem" : ownCertificate).c_str()), 0);
    ASSERT_EQ(engine_->SetCryptoParamValue(2, (certs.empty() ? Certs() : certs).c_str()), 0);
    ASSERT_EQ(engine_->SetCryptoParamValue(3, Keys().c_str()), 0);
    // Contexts of an earlier run hold that run's certificates.
    engine_->ClearCash();
  }

  // The engine still finds the holder: it encrypts for him.
  void ExpectEncryptsFor(const std::string& uid) {
    engine_->ClearCash();
    std::vector<char> buffer(16384, 'x');
    int32_t length = 16;
    EXPECT_EQ(engine_->EncodeData(buffer.data(), &length, uid.c_str()), 0) << "encryption for " << uid;
  }

  // The transfer the engine makes of a file (made without faults).
  std::string TransferOf(const std::string& path) {
    std::vector<char> text(kMaxPublicKeyTransferSize, '\0');
    EXPECT_EQ(engine_->GetPublicKeyTransferByFile(text.data(), path.c_str()), 0) << path;
    return text.data();
  }

  // minimum: the faults the operation must at least meet, a check that the
  // sweep reached the disk at all.
  void Sweep(const FaultSweep& sweep, int minimum) {
    EXPECT_GE(test::RunFaultSweeps(faults_, sweep), minimum) << "faults injected";
  }

  TestDir area_;
  TestDir temp_;
  bool hadTemp_ = false;
  std::string savedTemp_;
  test::FaultPlatform faults_{test::Host()};
  std::unique_ptr<TMPro2xCryptoEngine> engine_;
};

// --------------------------------------------------------- certificates

// A holder's certificate replaced by a file (moved in) or a transfer.
class CertificateFaults : public StoreFaults, public ::testing::WithParamInterface<bool> {
 protected:
  // With the parameter the holder has a ".cer" beside his ".pem".
  Tree OldStore() const {
    Tree files = {{"certs/Alice.pem", kAlice}, {"certs/Bob.pem", kOldBob}};
    if (GetParam()) files["certs/Bob.cer"] = kOldBobCer;
    return files;
  }
  std::vector<std::string> OldBobContents() const {
    return GetParam() ? std::vector<std::string>{kOldBob, kOldBobCer} : std::vector<std::string>{kOldBob};
  }

  // Shared checks: each active file is the previous or the new one, backups
  // hold only certificates of the holder, no previous certificate is lost,
  // and the engine still encrypts for both users.
  void CheckStore(const Tree& oldActive, const Tree& newActive, bool failed, bool sourceGiven) {
    const Tree tree = CertTree();
    const Tree active = Without(tree, false);
    ExpectNoTemporaries();
    if (failed) {
      ExpectEachFileOldOrNew(active, oldActive, newActive);
      // A new certificate that is not filed is still where it came from.
      if (sourceGiven && active.at("Bob.pem") == kOldBob) {
        EXPECT_EQ(area_.ReadFile("in/Bob.pem"), kNewBob);
      }
    } else {
      EXPECT_EQ(active, newActive) << "the store after success:\n" << Describe(tree);
    }
    for (const std::string& backup : Contents(Without(tree, true)))
      EXPECT_TRUE(Holds(OldBobContents(), backup) || backup == kNewBob) << "a backup holds what was never filed";
    const std::vector<std::string> everything = Contents(tree);
    for (const std::string& old : OldBobContents())
      EXPECT_TRUE(Holds(everything, old)) << "a previous certificate of Bob is lost:\n" << Describe(tree);
    if (::testing::Test::HasFailure()) ADD_FAILURE() << "the store:\n" << Describe(tree);
    ExpectEncryptsFor("Bob");
    ExpectEncryptsFor("Alice");
  }
};

TEST_P(CertificateFaults, IncludePublicKeyKeepsTheOldCertificateOrFilesTheNewOne) {
  Tree files = OldStore();
  files["in/Bob.pem"] = kNewBob;
  Tree before;
  const Tree after = {{"Alice.pem", kAlice}, {"Bob.pem", kNewBob}};
  FaultSweep sweep;
  sweep.name = GetParam() ? "IncludePublicKey (.pem and .cer)" : "IncludePublicKey";
  sweep.prepare = [&] {
    Reset(files);
    before = Without(CertTree(), false);
  };
  sweep.run = [&] { return engine_->IncludePublicKey(Incoming("Bob.pem").c_str()); };
  sweep.retry = [&] {
    // The host fetches the file again when the failed attempt took it.
    if (!area_.Exists("in/Bob.pem")) area_.WriteFile("in/Bob.pem", kNewBob);
    return engine_->IncludePublicKey(Incoming("Bob.pem").c_str());
  };
  sweep.checkFailed = [&](int32_t) { CheckStore(before, after, true, true); };
  sweep.checkSucceeded = [&] {
    CheckStore(before, after, false, true);
    EXPECT_FALSE(area_.Exists("in/Bob.pem")) << "the file is moved in";
  };
  Sweep(sweep, 20);
}

TEST_P(CertificateFaults, IncludePublicKeyTransferKeepsTheOldCertificateOrFilesTheNewOne) {
  Tree files = OldStore();
  files["in/Bob.pem"] = kNewBob;
  Reset(files);
  const std::string transfer = TransferOf(Incoming("Bob.pem"));
  Tree before;
  // Only the first of the holder's files is moved aside.
  Tree after = {{"Alice.pem", kAlice}, {"Bob.pem", kNewBob}};
  if (GetParam()) after["Bob.cer"] = kOldBobCer;
  FaultSweep sweep;
  sweep.name = GetParam() ? "IncludePublicKeyTransfer (.pem and .cer)" : "IncludePublicKeyTransfer";
  sweep.prepare = [&] {
    Reset(files);
    before = Without(CertTree(), false);
  };
  sweep.run = [&] { return engine_->IncludePublicKeyTransfer(transfer.c_str()); };
  sweep.checkFailed = [&](int32_t) { CheckStore(before, after, true, false); };
  sweep.checkSucceeded = [&] { CheckStore(before, after, false, false); };
  Sweep(sweep, 25);
}

TEST_P(CertificateFaults, RemoveCertificateRemovesEachFileWholeAndReportsWhatRemains) {
  Tree files = OldStore();
  files["certs/Bob.001"] = kOldBob;
  FaultSweep sweep;
  sweep.name = GetParam() ? "RemoveCertificate (.pem and .cer)" : "RemoveCertificate";
  sweep.prepare = [&] { Reset(files); };
  sweep.run = [&] { return engine_->RemoveCertificate("Bob"); };
  sweep.checkFailed = [&](int32_t) {
    const Tree tree = CertTree();
    ExpectNoTemporaries();
    EXPECT_EQ(tree.at("Alice.pem"), kAlice);
    EXPECT_EQ(tree.at("Bob.001"), kOldBob) << "backups stay";
    // Each file is either untouched or gone, and something is left to remove.
    EXPECT_TRUE(tree.contains("Bob.pem") || tree.contains("Bob.cer")) << "failure answered for a full removal";
    if (tree.contains("Bob.pem")) {
      EXPECT_EQ(tree.at("Bob.pem"), kOldBob);
    }
    if (tree.contains("Bob.cer")) {
      EXPECT_EQ(tree.at("Bob.cer"), kOldBobCer);
    }
    ExpectEncryptsFor("Alice");
  };
  sweep.checkSucceeded = [&] {
    const Tree expected = {{"Alice.pem", kAlice}, {"Bob.001", kOldBob}};
    EXPECT_EQ(CertTree(), expected);
    ExpectEncryptsFor("Alice");
  };
  Sweep(sweep, 4);
}

INSTANTIATE_TEST_SUITE_P(Holder, CertificateFaults, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "PemAndCer" : "PemOnly"); });

TEST_F(StoreFaults, SavePublicKeyFromTransferReplacesTheReceivedFileWhole) {
  const Tree files = {{"certs/Alice.pem", kAlice}, {"in/Bob.pem", kNewBob}, {"received/Tmp_cert.pem", kOldBob}};
  Reset(files);
  const std::string transfer = TransferOf(Incoming("Bob.pem"));
  const std::string received = area_ / "received";
  FaultSweep sweep;
  sweep.name = "SavePublicKeyFromTransfer";
  sweep.prepare = [&] { Reset(files); };
  sweep.run = [&] { return engine_->SavePublicKeyFromTransfer(received.c_str(), transfer.c_str()); };
  sweep.checkFailed = [&](int32_t) {
    const Tree tree = Files(received);
    EXPECT_TRUE((tree == Tree{{"Tmp_cert.pem", kOldBob}}) || (tree == Tree{{"Tmp_cert.pem", kNewBob}}))
        << Describe(tree);
  };
  sweep.checkSucceeded = [&] { EXPECT_EQ(Files(received), (Tree{{"Tmp_cert.pem", kNewBob}})); };
  Sweep(sweep, 8);
}

// ------------------------------------------------------ CA certificates

class CaFaults : public StoreFaults, public ::testing::WithParamInterface<bool> {};

// With the parameter the CA directory exists with an earlier CA certificate;
// without, the operation creates it.
TEST_P(CaFaults, IncludeCACertificateFromTransferAddsTheWholeFileOrNothing) {
  Tree files = {{"certs/Alice.pem", kAlice}, {"in/ca.pem", kNewCa}};
  if (GetParam()) files["keys/CA/ca.pem"] = kOldCa;
  Reset(files);
  const std::string transfer = TransferOf(Incoming("ca.pem"));
  const Tree before = GetParam() ? Tree{{"ca.pem", kOldCa}} : Tree{};
  const Tree after = GetParam() ? Tree{{"ca.pem", kOldCa}, {"ca00001.pem", kNewCa}} : Tree{{"ca.pem", kNewCa}};
  FaultSweep sweep;
  sweep.name = GetParam() ? "IncludeCACertificateFromTransfer" : "IncludeCACertificateFromTransfer (no CA directory)";
  sweep.prepare = [&] {
    Reset(files);
    area_.MakeDir("keys");
  };
  sweep.run = [&] { return engine_->IncludeCACertificateFromTransfer(transfer.c_str()); };
  sweep.checkFailed = [&](int32_t) {
    const Tree tree = Files(Keys() + "/CA");
    EXPECT_TRUE(tree == before || tree == after) << Describe(tree);
  };
  sweep.checkSucceeded = [&] { EXPECT_EQ(Files(Keys() + "/CA"), after); };
  Sweep(sweep, 10);
}

INSTANTIATE_TEST_SUITE_P(Directory, CaFaults, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Existing" : "Missing"); });

// ------------------------------------------------------ revocation lists

TEST_F(StoreFaults, IncludeCrlLeavesTheOldListOrTheNewOneNeverNeither) {
  const Tree files = {{"certs/Alice.pem", kAlice},
                      {"keys/CRL/crl1.pem", kOldList},
                      {"keys/CRL/crl2.pem", kOtherList},
                      {"in/new.crl", kNewList}};
  const Tree before = {{"crl1.pem", kOldList}, {"crl2.pem", kOtherList}};
  const Tree after = {{"crl2.pem", kOtherList}, {"crl3.pem", kNewList}};
  FaultSweep sweep;
  sweep.name = "IncludeCRL";
  sweep.prepare = [&] { Reset(files); };
  sweep.run = [&] { return engine_->IncludeCRL(Incoming("new.crl").c_str()); };
  sweep.retry = [&] {
    if (!area_.Exists("in/new.crl")) area_.WriteFile("in/new.crl", kNewList);
    return engine_->IncludeCRL(Incoming("new.crl").c_str());
  };
  sweep.checkFailed = [&](int32_t) {
    const Tree tree = Files(Keys() + "/CRL");
    ExpectNoTemporaries();
    // Whole lists only, and the issuer keeps one. A transient failure leaves
    // exactly one state; once every later operation fails as well, the way
    // back may be cut and both lists can stay.
    ExpectEachFileOldOrNew(tree, before, after);
    EXPECT_TRUE(tree.contains("crl1.pem") || tree.contains("crl3.pem")) << "the issuer has no list";
    if (faults_.Mode() == test::FaultMode::kOnce) {
      EXPECT_TRUE(tree == before || tree == after) << "the revocation lists after the failure:\n" << Describe(tree);
    }
    if (tree == before) {
      EXPECT_EQ(area_.ReadFile("in/new.crl"), kNewList) << "the new list is kept where it was";
    }
  };
  sweep.checkSucceeded = [&] {
    const Tree tree = Files(Keys() + "/CRL");
    if (faults_.Injected() == 0 || faults_.Mode() == test::FaultMode::kOnce) {
      EXPECT_EQ(tree, after);
    } else {
      // After both lists had to stay, the retry replaces the older one: the
      // issuer's lists are all the new one.
      EXPECT_EQ(tree.at("crl2.pem"), kOtherList);
      for (const auto& [name, contents] : tree) EXPECT_TRUE(contents == kNewList || name == "crl2.pem") << name;
    }
    EXPECT_FALSE(area_.Exists("in/new.crl")) << "the list is moved in";
    ExpectNoTemporaries();
  };
  Sweep(sweep, 8);
}

// ------------------------------------------------------- directory tree

TEST_F(StoreFaults, CreateDirStructureLeavesOnlyWholeFilesAndARetryCompletesIt) {
  const std::string ownParam = Keys() + "/Alice.pem";
  const Tree files = {{"in/Alice.pem", kAlice}, {"in/ca1.pem", kOldCa}, {"in/ca2.pem", kNewCa}};
  const std::string caList = Incoming("ca1.pem") + ";" + Incoming("ca2.pem") + ";";
  const std::vector<std::string> sources = {kAlice, kOldCa, kNewCa};
  FaultSweep sweep;
  sweep.name = "CreateDirStructure";
  sweep.prepare = [&] {
    Reset(files);
    NewEngine(ownParam, area_ / "tree/certs");
  };
  sweep.run = [&] { return engine_->CreateDirStructure(Incoming("Alice.pem").c_str(), caList.c_str()); };
  sweep.checkFailed = [&](int32_t) {
    ExpectNoTemporaries();
    // Whatever was made is whole; the sources stay.
    for (const auto& [name, contents] : Files(area_.path()))
      EXPECT_TRUE(Holds(sources, contents)) << name << " is not a whole copy";
    EXPECT_EQ(test::ReadFileTree(area_ / "in"),
              (Tree{{"Alice.pem", kAlice}, {"ca1.pem", kOldCa}, {"ca2.pem", kNewCa}}));
  };
  sweep.checkSucceeded = [&] {
    ExpectNoTemporaries();
    EXPECT_EQ(area_.ReadFile("keys/Alice.pem"), kAlice);
    EXPECT_EQ(Without(Files(area_ / "tree/certs"), false), (Tree{{"Alice.pem", kAlice}}));
    // A retry after a partial copy may add the same CA certificate again
    // under the next number; each list entry is there, whole.
    const std::vector<std::string> ca = Contents(Files(Keys() + "/CA"));
    EXPECT_TRUE(Holds(ca, kOldCa) && Holds(ca, kNewCa));
    for (const std::string& contents : ca) EXPECT_TRUE(contents == kOldCa || contents == kNewCa);
    ExpectEncryptsFor("Alice");
  };
  Sweep(sweep, 60);
}

// ------------------------------------------------------------ power cut

// The power fails before each file change of an operation in turn, and once
// more right after it answered: what is on the disk then (what was synced)
// holds the previous certificate or list or the new one, whole; after an
// answer of 0 the new one. A new engine (the next start) then repeats the
// operation and succeeds.
class PowerCuts : public StoreFaults {
 protected:
  void SetUp() override { platform::SetPlatformForTesting(&cuts_); }

  struct CutSweep {
    std::string name;
    Tree files;
    std::function<int32_t()> run;
    // The store after a cut; done tells whether the run answered 0 first.
    std::function<void(bool done)> check;
  };

  void SweepCuts(const CutSweep& sweep) {
    SCOPED_TRACE(sweep.name);
    cuts_.Arm(-1);
    Reset(sweep.files);
    ASSERT_EQ(sweep.run(), 0) << "without a cut";
    const int changes = cuts_.Changes();
    ASSERT_GT(changes, 0);
    for (int cutAt = 0; cutAt <= changes; ++cutAt) {
      SCOPED_TRACE("power cut after " + std::to_string(cutAt) + " of " + std::to_string(changes) + " changes");
      cuts_.Arm(-1);
      Reset(sweep.files);
      cuts_.Arm(cutAt);
      const int32_t code = sweep.run();
      const bool done = code == 0 && !cuts_.IsCut();
      cuts_.Cut();
      sweep.check(done);
      // The next start: a new engine, the power back.
      cuts_.Arm(-1);
      NewEngine();
      if (!done) {
        EXPECT_EQ(sweep.run(), 0) << "the retry after the cut";
      }
      sweep.check(true);
      if (HasFailure()) return;
    }
    std::printf("[ power    ] %s: %d file changes, %d cuts\n", sweep.name.c_str(), changes, changes + 1);
  }

  test::PowerCutPlatform cuts_{test::Host()};
};

TEST_F(PowerCuts, CertificatesAndListsAreOldOrNewAndAnAnsweredCallIsOnTheDisk) {
  const Tree store = {{"certs/Alice.pem", kAlice}, {"certs/Bob.pem", kOldBob}, {"in/Bob.pem", kNewBob}};
  const auto checkBob = [&](bool done) {
    const Tree active = Without(test::ReadFileTree(Certs()), false);
    std::string bob = active.contains("Bob.pem") ? active.at("Bob.pem") : "(missing)";
    if (done) {
      EXPECT_EQ(bob, kNewBob) << "an answered inclusion is lost";
    } else {
      EXPECT_TRUE(bob == kOldBob || bob == kNewBob) << "Bob's certificate is " << bob;
    }
    EXPECT_EQ(active.at("Alice.pem"), kAlice);
  };
  SweepCuts({"IncludePublicKey", store,
             [&] {
               if (!area_.Exists("in/Bob.pem")) area_.WriteFile("in/Bob.pem", kNewBob);
               return engine_->IncludePublicKey(Incoming("Bob.pem").c_str());
             },
             checkBob});

  Reset(store);
  const std::string transfer = TransferOf(Incoming("Bob.pem"));
  SweepCuts({"IncludePublicKeyTransfer", store, [&] { return engine_->IncludePublicKeyTransfer(transfer.c_str()); },
             checkBob});

  SweepCuts({"RemoveCertificate", store, [&] { return engine_->RemoveCertificate("Bob"); },
             [&](bool done) {
               const Tree active = Without(test::ReadFileTree(Certs()), false);
               if (done) {
                 EXPECT_FALSE(active.contains("Bob.pem")) << "an answered removal is undone";
               } else if (active.contains("Bob.pem")) {
                 EXPECT_EQ(active.at("Bob.pem"), kOldBob);
               }
             }});

  const Tree lists = {{"certs/Alice.pem", kAlice},
                      {"keys/CRL/crl1.pem", kOldList},
                      {"keys/CRL/crl2.pem", kOtherList},
                      {"in/new.crl", kNewList}};
  SweepCuts({"IncludeCRL", lists,
             [&] {
               if (!area_.Exists("in/new.crl")) area_.WriteFile("in/new.crl", kNewList);
               return engine_->IncludeCRL(Incoming("new.crl").c_str());
             },
             [&](bool done) {
               const std::vector<std::string> found = Contents(test::ReadFileTree(Keys() + "/CRL"));
               EXPECT_TRUE(Holds(found, kOtherList));
               if (done) {
                 EXPECT_TRUE(Holds(found, kNewList) && !Holds(found, kOldList)) << "an answered filing is undone";
               } else {
                 EXPECT_TRUE(Holds(found, kNewList) || Holds(found, kOldList)) << "the issuer has no list";
               }
               for (const std::string& list : found) EXPECT_FALSE(list.empty()) << "an empty list";
             }});
}

}  // namespace
}  // namespace cryptlib
