// Random holders end to end with the reference module: random sequences of
// certificate inclusions and removals, transfers, encryptions, signatures and
// remote key replacements (the one-call start, the bank's answer, the finish)
// among a bank and three abonents whose UIDs are random (1 to 120 bytes of
// Latin and Cyrillic letters, digits, spaces and punctuation a file name
// allows, letter-case variants and long shared beginnings of other holders'
// UIDs). After each step:
//   - the latest inclusion per case-folded UID in a store (one party's per
//     step) can be encrypted for and decrypts for its holder (while the
//     holder still has that key);
//   - a signature verifies as its true signer or not at all;
//   - every party keeps its own certificate and keys, and the engine names
//     it by its current UID;
//   - nothing is left in the temporary directory (TMPDIR points inside the
//     installation root), and the process's own temporary directory holds
//     nothing but the test's roots;
//   - no file in a key directory is readable by group or others.
//
// Key generation is slow, so the parties are enrolled once into a pool that
// every case starts from (a copy); only remote replacements make new keys.
// CRYPTLIB_PROPERTY_REFERENCE_CASES sets the number of cases (default 3, or
// a twentieth of CRYPTLIB_PROPERTY_CASES when that is larger),
// CRYPTLIB_PROPERTY_SEED the first seed (default 1), which also makes the
// pool. A failed case prints how to replay it and the steps it took.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bank_desk.h"
#include "common/test_os.h"
#include "host/support/random_uids.h"
#include "param_numbers.h"
#include "support/e2e_world.h"

namespace cryptlib::e2e {
namespace {

namespace fs = std::filesystem;
using test::FoldUid;
using test::HostCut;

// An X.509 common name holds at most 64 characters.
constexpr size_t kMaxUidCharacters = 64;
constexpr int kStepsPerCase = 14;
constexpr size_t kAbonents = 3;

int EnvironmentNumber(const char* name, int fallback) {
  const std::string value = test::GetEnv(name);
  return value.empty() ? fallback : std::atoi(value.c_str());
}

// A case here costs what twenty of the fake module's property test do: a
// run that asks for more of those (CI's sanitizer job) gets a twentieth of
// them here, unless it names a number for this test.
int ReferenceCases() {
  const int fakeCases = EnvironmentNumber("CRYPTLIB_PROPERTY_CASES", 0);
  return EnvironmentNumber("CRYPTLIB_PROPERTY_REFERENCE_CASES", std::max(3, fakeCases / 20));
}

// The process's temporary directory, private to this program: whatever the
// engine or the module writes outside the installation root while TMPDIR
// points there shows up here. Made before the installation root, which it
// then holds.
const test::TestDir& ProcessTemp() {
  static const test::TestDir* temp = [] {
    auto* made = new test::TestDir();
    test::SetEnv("TMPDIR", made->path());
    return made;
  }();
  return *temp;
}
const bool kProcessTempMade = (ProcessTemp(), true);

using namespace host::param;

// The UID the engine knows a common name by: the module writes "%", "/" and
// "\" inside subject values as "%25", "%2F" and "%5C".
std::string UidOfCommonName(const std::string& commonName) {
  std::string uid;
  for (char c : commonName) {
    if (c == '%')
      uid += "%25";
    else if (c == '/')
      uid += "%2F";
    else if (c == '\\')
      uid += "%5C";
    else
      uid += c;
  }
  return uid;
}

// One party's directories below the case's world and what the model knows
// of it: its common name, the UID the engine makes of it and how many keys
// it has had.
struct Holder {
  std::string home;
  std::string commonName;
  std::string uid;
  int generation = 0;

  std::string Path(const std::string& relative) const { return home + "/" + relative; }
};

// A certificate a store holds: whose, and of which of his keys.
struct Filed {
  std::string spelling;
  size_t holder;
  int generation;
};
using StoreModel = std::map<std::string, Filed>;  // by case-folded UID

class ReferenceProperty : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    first_ = EnvironmentNumber("CRYPTLIB_PROPERTY_SEED", 1);
    world_ = new test::TestDir();
    ca_ = new host::BankCa();
    ASSERT_TRUE(ca_->Create(*world_ / "BankCA", "Demo Bank", "Demo Bank CA")) << ca_->error();
    std::mt19937 random(static_cast<uint32_t>(first_));
    test::UidGenerator uids(random, kMaxUidCharacters);
    std::vector<std::string> names;
    for (size_t party = 0; party <= kAbonents; ++party) names.push_back(uids.Next(names));
    poolHolders_ = new std::vector<Holder>();
    poolStores_ = new std::vector<StoreModel>(names.size());
    for (size_t party = 0; party < names.size(); ++party) ASSERT_NO_FATAL_FAILURE(Enroll(party, names[party]));
    ASSERT_NO_FATAL_FAILURE(ExchangePoolTransfers());
  }
  static void TearDownTestSuite() {
    delete ca_;
    delete poolHolders_;
    delete poolStores_;
    delete world_;
  }

  void SetUp() override {
    if (poolHolders_ == nullptr || poolHolders_->size() != kAbonents + 1) GTEST_SKIP() << "no pool of parties";
    fs::create_directories(TempInsideRoot());
    savedTemp_ = test::GetEnv("TMPDIR");
    test::SetEnv("TMPDIR", TempInsideRoot());
  }
  void TearDown() override {
    if (!savedTemp_.empty()) test::SetEnv("TMPDIR", savedTemp_);
  }

  static std::string TempInsideRoot() { return InstallationRoot() / "tmp"; }
  static std::string PoolDir() { return *world_ / "pool"; }
  static std::string CaseDir() { return *world_ / "case"; }

  static std::unique_ptr<EngineClient> OpenEngine(const Holder& holder, std::string& error) {
    auto engine = std::make_unique<EngineClient>(test::Api(), InstallationRoot().path());
    const Algorithms algorithms = AlgorithmsNamed("ecdsa");
    const std::vector<std::pair<int32_t, std::string>> parameters = {{kOwnCertificate, holder.Path("own.pem")},
                                                                     {kCertificateDir, holder.Path("certs")},
                                                                     {kKeyDir, holder.Path("keys")},
                                                                     {kCipher, algorithms.cipher},
                                                                     {kSignature, algorithms.signature},
                                                                     {kRequestFile, holder.Path("request.pem")},
                                                                     {kCountry, "RU"},
                                                                     {kOrganisation, "Demo Bank"},
                                                                     {kCommonName, holder.commonName},
                                                                     {kKeyMedia, holder.Path("keys")},
                                                                     {kCaDir, holder.Path("keys/CA")},
                                                                     {kCrlDir, holder.Path("keys/CRL")}};
    for (const auto& [number, value] : parameters) {
      const host::Status status = engine->SetParam(number, value);
      if (!status.ok()) {
        error = "parameter " + std::to_string(number) + ": " + engine->Explain(status);
        return nullptr;
      }
    }
    engine->SetRemotePath(holder.Path("remote"));
    return engine;
  }

  // Keys, request, certificate and directories of a pool party.
  static void Enroll(size_t party, const std::string& commonName) {
    const std::string uid = UidOfCommonName(commonName);
    Holder holder{PoolDir() + "/" + std::to_string(party), commonName, uid, 0};
    fs::create_directories(holder.Path("inbox"));
    fs::create_directories(holder.Path("remote"));
    std::string error;
    std::unique_ptr<EngineClient> engine = OpenEngine(holder, error);
    ASSERT_NE(engine, nullptr) << error;
    ASSERT_EQ(engine->GenerateKeys().code, kGeneratedAwaitingCertificate) << "'" << uid << "': " << engine->LastError();
    long serial = 0;
    ASSERT_TRUE(ca_->Issue(holder.Path("request.pem"), holder.Path("inbox/issued.pem"), 365, serial)) << ca_->error();
    const host::Status status = engine->CreateDirs(holder.Path("inbox/issued.pem"), ca_->CertificatePath());
    ASSERT_TRUE(status.ok()) << "'" << uid << "': " << engine->Explain(status);
    (*poolStores_)[party][FoldUid(uid)] = Filed{uid, party, 0};
    poolHolders_->push_back(holder);
  }

  // Every pool party files every other's transfer, in the order of the pool.
  static void ExchangePoolTransfers() {
    std::vector<std::string> transfers;
    for (const Holder& holder : *poolHolders_) {
      std::string error, transfer;
      std::unique_ptr<EngineClient> engine = OpenEngine(holder, error);
      ASSERT_NE(engine, nullptr) << error;
      ASSERT_TRUE(engine->OwnTransfer(transfer).ok()) << engine->LastError();
      transfers.push_back(transfer);
    }
    for (size_t receiver = 0; receiver < poolHolders_->size(); ++receiver) {
      std::string error;
      std::unique_ptr<EngineClient> engine = OpenEngine((*poolHolders_)[receiver], error);
      for (size_t sender = 0; sender < transfers.size(); ++sender) {
        if (sender == receiver) continue;
        const host::Status status = engine->ImportTransfer(transfers[sender]);
        const Filed filed{(*poolHolders_)[sender].uid, sender, 0};
        FileInModel((*poolStores_)[receiver], receiver, (*poolHolders_)[receiver].uid, filed, status.code,
                    engine->Explain(status));
      }
    }
  }

  // --- one case ---

  void RunCase(uint32_t seed, int index) {
    seed_ = seed;
    index_ = index;
    random_.seed(seed);
    steps_.clear();
    ASSERT_NO_FATAL_FAILURE(RestorePool());
    test::UidGenerator uids(random_, kMaxUidCharacters);
    for (int step = 0; step < kStepsPerCase && !HasFailure(); ++step) {
      switch (Pick(8)) {
        case 0:
          IncludeFile(Pick(holders_.size()), Pick(holders_.size()));
          break;
        case 1:
          TransferOwn(Pick(holders_.size()), Pick(holders_.size()));
          break;
        case 2:
        case 3:
          EncryptAndDecrypt(Pick(holders_.size()));
          break;
        case 4:
          SignAndVerify(Pick(holders_.size()), Pick(holders_.size()));
          break;
        case 5:
          RemoveAttempts(Pick(holders_.size()));
          break;
        default:
          ReplaceKeys(1 + Pick(kAbonents), uids.Next(EveryCommonName()));
          break;
      }
      if (!HasFailure()) CheckInvariants();
    }
    if (HasFailure()) PrintReplay();
  }

  // The case's world: a copy of the pool (keys, certificates, stores).
  void RestorePool() {
    fs::remove_all(CaseDir());
    fs::copy(PoolDir(), CaseDir(), fs::copy_options::recursive);
    holders_ = *poolHolders_;
    for (Holder& holder : holders_) holder.home = CaseDir() + holder.home.substr(PoolDir().size());
    stores_ = *poolStores_;
  }

  size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }

  std::unique_ptr<EngineClient> Engine(size_t party) {
    std::string error;
    std::unique_ptr<EngineClient> engine = OpenEngine(holders_[party], error);
    EXPECT_NE(engine, nullptr) << error << Trace();
    return engine;
  }

  std::vector<std::string> EveryCommonName() const {
    std::vector<std::string> names;
    for (const Holder& holder : holders_) names.push_back(holder.commonName);
    return names;
  }

  // Filing another holder's certificate under the receiver's own UID (in any
  // letter case) is refused (-110): it would stand in for his own in the
  // store. Anything else is filed over the entry of its folded UID.
  static void FileInModel(StoreModel& store, size_t receiver, const std::string& receiverUid, const Filed& filed,
                          int32_t code, const std::string& explanation) {
    const bool stranger = filed.holder != receiver && FoldUid(filed.spelling) == FoldUid(receiverUid);
    EXPECT_EQ(code, stranger ? -110 : 0) << "filing '" << filed.spelling << "': " << explanation;
    if (code == 0) store[FoldUid(filed.spelling)] = filed;
  }

  void Filing(size_t receiver, size_t holder, int32_t code, const std::string& explanation) {
    const Filed filed{holders_[holder].uid, holder, holders_[holder].generation};
    FileInModel(stores_[receiver], receiver, holders_[receiver].uid, filed, code, explanation + Trace());
  }

  void IncludeFile(size_t receiver, size_t holder) {
    Note("include file of " + Name(holder) + " into " + Name(receiver));
    const std::string incoming = holders_[receiver].Path("inbox/in.pem");
    fs::copy_file(holders_[holder].Path("own.pem"), incoming, fs::copy_options::overwrite_existing);
    auto engine = Engine(receiver);
    if (!engine) return;
    const host::Status status = engine->IncludeCertificate(incoming);
    Filing(receiver, holder, status.code, engine->Explain(status));
  }

  void TransferOwn(size_t sender, size_t receiver) {
    Note("transfer of " + Name(sender) + " to " + Name(receiver));
    std::string transfer;
    auto from = Engine(sender);
    auto to = Engine(receiver);
    if (!from || !to) return;
    ASSERT_TRUE(from->OwnTransfer(transfer).ok()) << from->LastError() << Trace();
    const host::Status status = to->ImportTransfer(transfer);
    Filing(receiver, sender, status.code, to->Explain(status));
  }

  // The filed holder an operation on spelling reaches, or the code it must
  // answer instead: exact first, then the one longer UID the host's cut
  // stands for (several: -110; none: -113).
  int32_t Expected(const StoreModel& store, const std::string& spelling, const Filed*& target) const {
    target = nullptr;
    if (auto exact = store.find(FoldUid(spelling)); exact != store.end()) {
      target = &exact->second;
      return 0;
    }
    std::vector<const Filed*> matches;
    for (const auto& [folded, entry] : store)
      if (entry.spelling.size() > spelling.size() && FoldUid(HostCut(entry.spelling)) == FoldUid(spelling))
        matches.push_back(&entry);
    if (matches.size() > 1) return -110;
    if (matches.empty()) return -113;
    target = matches.front();
    return 0;
  }

  // sender encrypts for a holder of his store, spelled in full, cut as the
  // host sees it or in capitals; the holder decrypts while he has the key,
  // another party never does.
  void EncryptAndDecrypt(size_t sender) {
    const StoreModel& store = stores_[sender];
    const auto entry = std::next(store.begin(), static_cast<long>(Pick(store.size())));
    const std::string full = entry->second.spelling;
    const std::string spelling = std::vector<std::string>{full, HostCut(full), FoldUid(full)}[Pick(3)];
    Note(Name(sender) + " encrypts for '" + spelling + "'");
    EncryptFor(sender, spelling, Pick(holders_.size()));
  }

  // sender encrypts for spelling: the answer the model expects, the holder
  // it reaches decrypts while he has that key, outsider (unless he is that
  // holder) does not.
  void EncryptFor(size_t sender, const std::string& spelling, size_t outsider) {
    const Filed* target = nullptr;
    const int32_t expected = Expected(stores_[sender], spelling, target);
    const std::string document = "document " + std::to_string(seed_) + " for " + spelling;
    std::string data = document;
    auto engine = Engine(sender);
    if (!engine) return;
    const host::Status status = engine->Encrypt(data, spelling);
    ASSERT_EQ(status.code, expected) << "for '" << spelling << "': " << engine->Explain(status) << Trace();
    if (expected != 0) return;
    if (outsider != target->holder) {
      std::string copy = data, recipient;
      EXPECT_FALSE(Engine(outsider)->Decrypt(copy, recipient).ok()) << Name(outsider) << " decrypted" << Trace();
    }
    if (target->generation != holders_[target->holder].generation) return;
    std::string recipient;
    auto holder = Engine(target->holder);
    const host::Status decrypted = holder->Decrypt(data, recipient);
    ASSERT_TRUE(decrypted.ok()) << holder->Explain(decrypted) << Trace();
    EXPECT_EQ(data, document) << Trace();
    EXPECT_EQ(recipient, HostCut(holders_[target->holder].uid)) << Trace();
  }

  // A signature verifies as its signer or not at all; it verifies whenever
  // the verifier has the signer's current certificate filed.
  void SignAndVerify(size_t signer, size_t verifier) {
    Note(Name(signer) + " signs, " + Name(verifier) + " verifies");
    const std::string document = "order " + std::to_string(seed_);
    std::string signature, named;
    auto engine = Engine(signer);
    if (!engine) return;
    const host::Status signedStatus = engine->Sign(document, signature, "");
    ASSERT_TRUE(signedStatus.ok()) << engine->Explain(signedStatus) << Trace();
    auto checker = Engine(verifier);
    const host::Status status = checker->Verify(document, signature, named, false);
    const Holder& holder = holders_[signer];
    if (status.ok()) {
      EXPECT_EQ(named, HostCut(holder.uid)) << "verified as another signer" << Trace();
    }
    if (Knows(verifier, signer)) {
      EXPECT_TRUE(status.ok()) << checker->Explain(status) << Trace();
    }
  }

  // The own certificate under any spelling is refused; another filed
  // holder, spelled in full, goes.
  void RemoveAttempts(size_t party) {
    const std::string own = holders_[party].uid;
    Note(Name(party) + " removes");
    auto engine = Engine(party);
    if (!engine) return;
    for (const std::string& spelling : {own, HostCut(own), FoldUid(own)})
      EXPECT_EQ(engine->RemoveCertificate(spelling).code, -120) << "own UID as '" << spelling << "'" << Trace();
    StoreModel& store = stores_[party];
    const auto other = std::next(store.begin(), static_cast<long>(Pick(store.size())));
    if (other->first == FoldUid(own) || other->first == FoldUid(HostCut(own))) return;
    Note("  removes '" + other->second.spelling + "'");
    const host::Status status = engine->RemoveCertificate(other->second.spelling);
    ASSERT_TRUE(status.ok()) << engine->Explain(status) << Trace();
    store.erase(other);
  }

  // The abonent's one-call remote start under a new key name, the bank's
  // answer, the finish; the bank then files the new certificate.
  void ReplaceKeys(size_t party, const std::string& keyName) {
    Note(Name(party) + " replaces his keys as '" + keyName + "'");
    const std::string newUid = UidOfCommonName(keyName);
    std::string request;
    int calls = 0;
    uint32_t step = 0;
    auto abonent = Engine(party);
    if (!abonent) return;
    host::Status status = abonent->RemoteStart(false, keyName, request, calls, step);
    ASSERT_TRUE(status.ok()) << abonent->Explain(status) << Trace();
    CheckKeyFilesPrivate(party);
    host::BankAnswer answer;
    const std::string desk = CaseDir() + "/desk";
    fs::create_directories(desk);
    const bool answered = host::AnswerRequestTransfer(*Engine(0), *ca_, request, desk, 365, answer);
    fs::remove_all(desk);
    // The bank checks the request's signature with the abonent's
    // certificate, the abonent the answer's with the bank's.
    if (!Knows(0, party) || !Knows(party, 0)) {
      Note(answered ? "  answered" : "  the bank refused: " + answer.error);
      if (!answered) return;
    }
    ASSERT_TRUE(answered) << answer.error << Trace();
    status = abonent->RemoteFinish(answer.transfer, step);
    if (!Knows(party, 0) && !status.ok()) {
      Note("  the abonent refused the answer");
      return;
    }
    ASSERT_TRUE(status.ok()) << abonent->Explain(status) << Trace();
    Holder& holder = holders_[party];
    holder.commonName = keyName;
    holder.uid = newUid;
    ++holder.generation;
    stores_[party][FoldUid(newUid)] = Filed{newUid, party, holder.generation};
    TransferOwn(party, 0);
  }

  // Whether party's store holds holder's current certificate.
  bool Knows(size_t party, size_t holder) const {
    const auto filed = stores_[party].find(FoldUid(holders_[holder].uid));
    return filed != stores_[party].end() && filed->second.holder == holder &&
           filed->second.generation == holders_[holder].generation;
  }

  // --- invariants ---

  void CheckInvariants() {
    for (size_t party = 0; party < holders_.size(); ++party) {
      CheckOwnIdentity(party);
      CheckKeyFilesPrivate(party);
    }
    CheckStoreReachesLatest(Pick(holders_.size()));
    EXPECT_TRUE(fs::is_empty(TempInsideRoot())) << "left in the temporary directory" << Trace();
    CheckProcessTempHoldsOnlyRoots();
  }

  // Every holder one party's store has filed: the latest inclusion under
  // each folded UID is what an encryption for it reaches. One party per
  // step keeps a case within seconds.
  void CheckStoreReachesLatest(size_t party) {
    const StoreModel store = stores_[party];
    for (const auto& [folded, entry] : store) EncryptFor(party, entry.spelling, entry.holder);
  }

  void CheckOwnIdentity(size_t party) {
    const Holder& holder = holders_[party];
    EXPECT_TRUE(fs::exists(holder.Path("own.pem"))) << Name(party) << ": own certificate lost" << Trace();
    EXPECT_TRUE(fs::exists(holder.Path("keys/mk.db3"))) << Name(party) << ": key container lost" << Trace();
    std::string uid;
    auto engine = Engine(party);
    if (!engine) return;
    EXPECT_TRUE(engine->CurrentUid(uid).ok()) << Name(party) << ": " << engine->LastError() << Trace();
    EXPECT_EQ(uid, HostCut(holder.uid)) << Trace();
  }

  // Key containers, their backups and the remote generation's new keys;
  // not the authorities and lists filed beside them, certificates and
  // requests (public) nor a directory's empty lock file.
  void CheckKeyFilesPrivate(size_t party) {
    for (const char* directory : {"keys", "remote"}) {
      const std::string root = holders_[party].Path(directory);
      if (!fs::exists(root)) continue;
      for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && (name == "CA" || name == "CRL")) it.disable_recursion_pending();
        const bool publicFile = name == ".lock" || (name.size() > 4 && name.substr(name.size() - 4) == ".pem");
        if (!it->is_regular_file() || publicFile) continue;
        const fs::perms others = fs::perms::group_read | fs::perms::others_read;
        EXPECT_EQ(it->status().permissions() & others, fs::perms::none)
            << it->path() << " readable by others" << Trace();
      }
    }
  }

  // The process's own temporary directory holds the roots this program made
  // and nothing else.
  void CheckProcessTempHoldsOnlyRoots() {
    for (const auto& entry : fs::directory_iterator(ProcessTemp().path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_EQ(name.rfind("cryptlib-test-", 0), 0u)
          << "left in the process's temporary directory: " << name << Trace();
    }
  }

  // --- reporting ---

  std::string Name(size_t party) const {
    return (party == 0 ? "bank '" : "abonent " + std::to_string(party) + " '") + holders_[party].uid + "'";
  }
  void Note(const std::string& step) { steps_.push_back(step); }
  std::string Trace() const {
    return " (seed " + std::to_string(seed_) + ", step " + std::to_string(steps_.size()) + ": " +
           (steps_.empty() ? "" : steps_.back()) + ")";
  }
  void PrintReplay() const {
    std::printf("Replay: CRYPTLIB_PROPERTY_SEED=%d CRYPTLIB_PROPERTY_REFERENCE_CASES=%d (case seed %u)\n", first_,
                index_ + 1, seed_);
    for (size_t party = 0; party < poolHolders_->size(); ++party)
      std::printf("  pool party %zu: '%s' (%zu bytes)\n", party, (*poolHolders_)[party].uid.c_str(),
                  (*poolHolders_)[party].uid.size());
    for (size_t step = 0; step < steps_.size(); ++step) std::printf("  step %zu: %s\n", step + 1, steps_[step].c_str());
  }

  static inline int first_ = 1;
  static inline test::TestDir* world_ = nullptr;
  static inline host::BankCa* ca_ = nullptr;
  static inline std::vector<Holder>* poolHolders_ = nullptr;
  static inline std::vector<StoreModel>* poolStores_ = nullptr;

  uint32_t seed_ = 0;
  int index_ = 0;
  std::mt19937 random_;
  std::vector<Holder> holders_;
  std::vector<StoreModel> stores_;
  std::vector<std::string> steps_;
  std::string savedTemp_;
};

// The new key waits in the remote directory protected for the old
// certificate and is restored into the key directory at the finish: both
// files are key material.
TEST_F(ReferenceProperty, ReplacedKeysAreOwnerOnly) {
  ASSERT_NO_FATAL_FAILURE(RestorePool());
  ReplaceKeys(1, "Replaced");
  ASSERT_FALSE(HasFailure());
  CheckKeyFilesPrivate(1);
  const fs::perms others = fs::perms::group_read | fs::perms::others_read;
  EXPECT_EQ(fs::status(holders_[1].Path("keys/mk.db3")).permissions() & others, fs::perms::none);
}

// A holder whose UID differs from a user's own only in letter case is not
// filed in that user's store: it would replace the store's copy of his own
// certificate, and his remote start and own transfer would then find a
// certificate his keys do not fit.
TEST_F(ReferenceProperty, AnotherHolderSpelledAsTheOwnUidIsRefused) {
  ASSERT_NO_FATAL_FAILURE(RestorePool());
  std::string variant = holders_[2].commonName;
  for (char& c : variant)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  ReplaceKeys(1, variant);
  TransferOwn(1, 2);
  IncludeFile(2, 1);
  ASSERT_FALSE(HasFailure());
  std::string transfer;
  EXPECT_TRUE(Engine(2)->OwnTransfer(transfer).ok());
  ReplaceKeys(2, "Renamed");
  CheckInvariants();
}

TEST_F(ReferenceProperty, RandomHoldersKeepTheirKeysAndReachTheirLatestCertificate) {
  const int cases = ReferenceCases();
  for (int index = 0; index < cases && !HasFailure(); ++index) RunCase(static_cast<uint32_t>(first_ + index), index);
}

}  // namespace
}  // namespace cryptlib::e2e
