// Random holders against the certificate store, over the fake 2.x module:
// random sequences of inclusions, transfers, encryptions, signatures and
// removals with random UIDs (1 to 120 bytes: Latin and Cyrillic letters,
// digits, inner spaces, punctuation a file name allows, letter-case variants
// and long shared beginnings of other holders' UIDs), checking after each step
// that
//   - the latest inclusion per case-folded UID is what an encryption for that
//     UID (full, cut as the host sees it, or in another case) reaches, and it
//     decrypts for that holder;
//   - a signature verifies as its true signer;
//   - no user's own certificate is ever lost;
//   - nothing is left behind in the temporary directory or the store.
//
// CRYPTLIB_PROPERTY_CASES sets the number of cases (default 12) and
// CRYPTLIB_PROPERTY_SEED the first seed (default 1); a failure names its seed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/test_os.h"
#include "host/support/fake_root.h"
#include "host/support/random_uids.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

namespace fs = std::filesystem;

int EnvironmentNumber(const char* name, int fallback) {
  const std::string value = GetEnv(name);
  return value.empty() ? fallback : std::atoi(value.c_str());
}

std::string Fold(const std::string& text) {
  return FoldUid(text);
}

// The store as the engine should keep it: per case-folded UID the spelling
// its file has and the party whose certificate was included last.
struct Filed {
  std::string spelling;
  size_t party;
};

class PropertyNames : public FakeEngineTest {
 protected:
  void SetUp() override {
    FakeEngineTest::SetUp();
    certs_.MakeDir("own");
    certs_.MakeDir("store");
    certs_.MakeDir("tmp");
    savedTemp_ = GetEnv(kTempVariable);
    SetEnv(kTempVariable, certs_ / "tmp");
    SetParam(2, certs_ / "store");
  }
  void TearDown() override {
    SetEnv(kTempVariable, savedTemp_);
    FakeEngineTest::TearDown();
  }

  void RunCase(uint32_t seed, int steps) {
    random_.seed(seed);
    parties_.clear();
    filed_.clear();
    SetParam(1, "");
    current_.reset();
    fs::remove_all(certs_ / "store");
    certs_.MakeDir("store");
    UidGenerator uids(random_);
    for (int party = 0; party < 3; ++party) AddParty(uids.Next(parties_));
    for (int step = 0; step < steps && !HasFailure(); ++step) {
      switch (Pick(7)) {
        case 0:
          AddParty(uids.Next(parties_));
          break;
        case 1:
        case 2:
          Include(Pick(parties_.size()));
          break;
        case 3:
          EncryptAndDecrypt();
          break;
        case 4:
          SignAndVerify(Pick(parties_.size()));
          break;
        case 5:
          TransferOwn(Pick(parties_.size()));
          break;
        default:
          RemoveAttempts(Pick(parties_.size()));
          break;
      }
      CheckInvariants();
    }
  }

 private:
  size_t Pick(size_t count) { return std::uniform_int_distribution<size_t>(0, count - 1)(random_); }
  std::string OwnFile(size_t party) const { return certs_ / ("own/" + std::to_string(party) + ".pem"); }
  std::string Certificate(size_t party) const { return FakeCertificate("/C=RU/O=Bank/CN=" + parties_[party]); }

  void AddParty(const std::string& uid) {
    parties_.push_back(uid);
    certs_.WriteFile("own/" + std::to_string(parties_.size() - 1) + ".pem", Certificate(parties_.size() - 1));
    Include(parties_.size() - 1);
  }
  void Become(size_t party) {
    SetParam(1, OwnFile(party));
    current_ = party;
  }

  // Another holder's certificate under the current user's own UID in another
  // letter case is refused (-110): it would stand in for his own. The same
  // spelling is the same fake certificate, his own.
  int32_t FilingCode(size_t party) const {
    if (!current_) return 0;
    const std::string& own = parties_[*current_];
    return Fold(parties_[party]) == Fold(own) && parties_[party] != own ? -110 : 0;
  }

  void Include(size_t party) {
    certs_.WriteFile("in.pem", Certificate(party));
    const int32_t expected = FilingCode(party);
    ASSERT_EQ(api().IncludePublicKey(engine(), (certs_ / "in.pem").c_str()), expected) << Trace(party);
    if (expected != 0) {
      fs::remove(certs_ / "in.pem");
      return;
    }
    auto [entry, added] = filed_.try_emplace(Fold(parties_[party]), Filed{parties_[party], party});
    if (!added) entry->second.party = party;
  }

  // The code an operation on spelling must give, and the filed entry it
  // reaches on success.
  int32_t Expected(const std::string& spelling, const Filed*& target) const {
    target = nullptr;
    if (auto exact = filed_.find(Fold(spelling)); exact != filed_.end()) {
      target = &exact->second;
      return 0;
    }
    std::vector<const Filed*> matches;
    for (const auto& [folded, entry] : filed_) {
      if (entry.spelling.size() > spelling.size() && Fold(HostCut(entry.spelling)) == Fold(spelling))
        matches.push_back(&entry);
    }
    if (matches.size() > 1) return -110;
    if (matches.empty()) return -113;
    target = matches.front();
    return 0;
  }

  // Another party encrypts for a filed UID spelled as given, cut or in
  // another case; the party included last under it decrypts.
  void EncryptAndDecrypt() {
    auto entry = std::next(filed_.begin(), static_cast<long>(Pick(filed_.size())));
    const std::string full = entry->second.spelling;
    const std::string spellings[] = {full, HostCut(full), Fold(full)};
    const std::string spelling = spellings[Pick(3)];
    const Filed* target = nullptr;
    const int32_t expected = Expected(spelling, target);
    Become(Pick(parties_.size()));
    std::string data = "document for " + spelling;
    const size_t plainLength = data.size();
    data.resize(plainLength + 8192);
    auto length = static_cast<int32_t>(plainLength);
    ASSERT_EQ(api().EncodeData(engine(), data.data(), &length, spelling.c_str()), expected) << Trace(spelling);
    if (expected != 0) return;
    Become(target->party);
    char uid[40];
    ASSERT_EQ(api().DecodeData(engine(), data.data(), &length, uid), 0) << Trace(spelling);
    EXPECT_EQ(std::string(data.data(), static_cast<size_t>(length)), "document for " + spelling);
    EXPECT_EQ(std::string(uid), HostCut(parties_[target->party])) << Trace(spelling);
  }

  void SignAndVerify(size_t signer) {
    Become(signer);
    std::vector<char> signature(4096);
    auto length = static_cast<int32_t>(signature.size());
    ASSERT_EQ(api().SignData(engine(), "data", 4, signature.data(), &length, ""), 0) << Trace(signer);
    Become(Pick(parties_.size()));
    char uid[40];
    ASSERT_EQ(api().VerifyData(engine(), "data", 4, signature.data(), length, uid), 0) << Trace(signer);
    EXPECT_EQ(std::string(uid), HostCut(parties_[signer])) << Trace(signer);
  }

  // A party whose certificate is the latest under its UID sends its own
  // transfer; another files it.
  void TransferOwn(size_t party) {
    const auto entry = filed_.find(Fold(parties_[party]));
    if (entry == filed_.end() || entry->second.party != party) return;
    Become(party);
    std::vector<char> transfer(16904, '\0');
    ASSERT_EQ(api().ExcludeSelfPublicKeyTransfer(engine(), transfer.data()), 0) << Trace(party);
    Become(Pick(parties_.size()));
    ASSERT_EQ(api().IncludePublicKeyTransfer(engine(), transfer.data()), FilingCode(party)) << Trace(party);
  }

  // The own certificate under any of its spellings is refused; another
  // holder's, spelled in full, goes.
  void RemoveAttempts(size_t party) {
    Become(party);
    const std::string own = parties_[party];
    char current[40];
    ASSERT_EQ(api().GetCurrentUserUID(engine(), current), 0);
    ASSERT_EQ(std::string(current), HostCut(own)) << Trace(party);
    for (const std::string& spelling : {own, HostCut(own), Fold(own)})
      EXPECT_EQ(api().RemoveCertificate(engine(), spelling.c_str()), -120)
          << Trace(spelling) << ", own UID '" << own << "' (" << own.size() << " bytes)";
    auto other = std::next(filed_.begin(), static_cast<long>(Pick(filed_.size())));
    if (other->first == Fold(own) || Fold(HostCut(own)) == other->first) return;
    ASSERT_EQ(api().RemoveCertificate(engine(), other->second.spelling.c_str()), 0) << Trace(other->second.spelling);
    filed_.erase(other);
    if (filed_.empty()) Include(party);
  }

  void CheckInvariants() {
    for (size_t party = 0; party < parties_.size(); ++party)
      EXPECT_TRUE(fs::exists(OwnFile(party))) << "own certificate lost: " << Trace(party);
    EXPECT_TRUE(fs::is_empty(certs_ / "tmp")) << "left in the temporary directory";
    size_t certificates = 0;
    for (const auto& file : fs::directory_iterator(certs_ / "store")) {
      const std::string name = file.path().filename().string();
      EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
      EXPECT_NE(name.rfind("crt", 0), 0u) << "a received certificate left unfiled: " << name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0) ++certificates;
    }
    EXPECT_EQ(certificates, filed_.size()) << "one certificate file per case-folded UID";
  }

  std::string Trace(size_t party) const { return Trace(parties_[party]); }
  std::string Trace(const std::string& uid) const {
    return "seed " + std::to_string(seed_) + ", UID '" + uid + "' (" + std::to_string(uid.size()) + " bytes)";
  }

 protected:
  uint32_t seed_ = 0;

 private:
  std::mt19937 random_;
  std::vector<std::string> parties_;
  std::map<std::string, Filed> filed_;
  std::optional<size_t> current_;  // whose own certificate parameter 1 names
  std::string savedTemp_;
};

TEST_F(PropertyNames, RandomHoldersReachTheirLatestCertificate) {
  const int cases = EnvironmentNumber("CRYPTLIB_PROPERTY_CASES", 12);
  const int first = EnvironmentNumber("CRYPTLIB_PROPERTY_SEED", 1);
  for (int index = 0; index < cases && !HasFailure(); ++index) {
    seed_ = static_cast<uint32_t>(first + index);
    RunCase(seed_, 25);
  }
}

}  // namespace
}  // namespace cryptlib::test
