// The binding against the fake module of version 2.0.0.0 (thread-safe, 26
// parameters, every optional function).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "binding/binding_state.h"
#include "binding/context_cache.h"
#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

using test::FakeHooks;
using test::Host;
using test::Snapshot;

constexpr int32_t kParamCount = 26;

class BindingV2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hooks_.Available());
    ASSERT_TRUE(binding_.Bound());
    binding_.ClearContexts();
    hooks_.Reset();
  }
  void TearDown() override { hooks_.ClearScripts(); }

  int32_t Call(const ParamSnapshot& snapshot) { return binding_.GetCurrentUID(snapshot, uid_); }
  std::vector<int32_t> Used() const { return hooks_.FirstArguments("GetCurrentUID"); }

  FakeHooks hooks_;
  TMProDLL binding_{2};
  char uid_[512] = {};
};

// Variant 1 (mplugf) is loaded by this test only.
TEST(BindingLoadTest, TwoBindingsShareOneLoadAndOneSymbolLookup) {
  const int loadsBefore = Host().loads;
  const int lookupsBefore = Host().lookups;
  TMProDLL first(1);
  const int lookupsOfFirst = Host().lookups - lookupsBefore;
  TMProDLL second(1);
  EXPECT_TRUE(first.Loaded() && first.Bound());
  EXPECT_TRUE(second.Loaded() && second.Bound());
  EXPECT_EQ(Host().loads - loadsBefore, 1);
  EXPECT_EQ(lookupsOfFirst, MPLUG_FUNCTION_COUNT);
  EXPECT_EQ(Host().lookups - lookupsBefore, lookupsOfFirst);
  EXPECT_EQ(std::memcmp(&first.Functions(), &second.Functions(), sizeof(MPlugFunctions)), 0);
}

TEST(BindingLoadTest, VersionAboveFirstReleaseIsThreadSafeExceptForVariant0) {
  TMProDLL modern(2);
  TMProDLL first(0);
  EXPECT_TRUE(modern.ThreadSafe());
  EXPECT_TRUE(modern.Is2x());
  EXPECT_TRUE(first.Bound());
  EXPECT_FALSE(first.ThreadSafe());
  EXPECT_FALSE(first.Is2x());
  // The first generation never offers "VerifyDataIgnoreTime", exported or not.
  EXPECT_NE(modern.Functions().VerifyDataIgnoreTime, nullptr);
  EXPECT_EQ(first.Functions().VerifyDataIgnoreTime, nullptr);
}

TEST_F(BindingV2Test, ContextIsReusedWithinItsLifetimeAndReplacedAfter) {
  const ParamSnapshot snapshot = Snapshot(kParamCount, "3600");
  Call(snapshot);
  Host().Advance(3599);
  Call(snapshot);
  ASSERT_EQ(hooks_.Opened().size(), 1u);
  Host().Advance(2);
  Call(snapshot);
  const std::vector<int32_t> opened = hooks_.Opened();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(Used(), (std::vector<int32_t>{opened[0], opened[0], opened[1]}));
  EXPECT_EQ(hooks_.FirstArguments("DoneCrypto"), std::vector<int32_t>{opened[0]});
  EXPECT_EQ(CachedContextCount(), 1u);
}

TEST_F(BindingV2Test, NewContextIsGivenItsParametersAndRenewed) {
  Call(Snapshot(kParamCount, "60", "last"));
  const std::vector<std::string> sets = hooks_.Calls("SetCryptoParamValue");
  ASSERT_EQ(sets.size(), static_cast<size_t>(kParamCount));
  const int32_t context = hooks_.Opened().at(0);
  const std::string prefix = "SetCryptoParamValue(" + std::to_string(context) + ", ";
  EXPECT_EQ(sets.front().rfind(prefix + "0, \"v1\")", 0), 0u) << sets.front();
  EXPECT_EQ(sets[21].rfind(prefix + "21, \"60\")", 0), 0u) << sets[21];
  EXPECT_EQ(sets.back().rfind(prefix + "25, \"last\")", 0), 0u) << sets.back();
  EXPECT_EQ(hooks_.FirstArguments("KeysRenewal"), std::vector<int32_t>{context});
  // Renewal comes after the parameters, before the first use.
  const std::string log = hooks_.Log();
  EXPECT_LT(log.rfind("SetCryptoParamValue"), log.find("KeysRenewal"));
  EXPECT_LT(log.find("KeysRenewal"), log.find("GetCurrentUID"));
}

TEST_F(BindingV2Test, UnusableLifetimesMeanOneTickOnly) {
  for (const char* lifetime : {"", "-5", "abc"}) {
    hooks_.Reset();
    const ParamSnapshot snapshot = Snapshot(kParamCount, lifetime);
    Call(snapshot);
    Call(snapshot);
    Host().Advance(1);
    Call(snapshot);
    const std::vector<int32_t> opened = hooks_.Opened();
    ASSERT_EQ(opened.size(), 2u) << '"' << lifetime << '"';
    EXPECT_EQ(Used(), (std::vector<int32_t>{opened[0], opened[0], opened[1]}));
    // The first is closed when the second opens; an expired context of the
    // round before (another lifetime, another key) is closed with it.
    const std::vector<int32_t> closed = hooks_.FirstArguments("DoneCrypto");
    EXPECT_NE(std::find(closed.begin(), closed.end(), opened[0]), closed.end());
    EXPECT_EQ(std::find(closed.begin(), closed.end(), opened[1]), closed.end());
  }
}

TEST_F(BindingV2Test, OnlyALastValueChangeSharesTheContext) {
  Call(Snapshot(kParamCount, "3600", "a"));
  Call(Snapshot(kParamCount, "3600", "b"));
  EXPECT_EQ(hooks_.Opened().size(), 1u);

  ParamSnapshot split1 = Snapshot(kParamCount, "3600");
  split1[0] = "ab";
  split1[1] = "c";
  ParamSnapshot split2 = split1;
  split2[0] = "a";
  split2[1] = "bc";
  ParamSnapshot upper = split1;
  upper[0] = "AB";
  Call(split1);
  Call(split2);
  Call(upper);
  const std::vector<int32_t> opened = hooks_.Opened();
  ASSERT_EQ(opened.size(), 4u);
  EXPECT_EQ(Used(), (std::vector<int32_t>{opened[0], opened[0], opened[1], opened[2], opened[3]}));
}

TEST_F(BindingV2Test, AKeptKeyServesOnlyTheParameterCountItWasMadeFor) {
  const ParamSnapshot values = Snapshot(kParamCount, "3600");
  const KeyedSnapshot kept = MakeKeyedSnapshot(values, kParamCount);
  Call(values);
  binding_.GetCurrentUID(kept, uid_);
  ASSERT_EQ(hooks_.Opened().size(), 1u);

  // A key made for another count is not trusted: the values decide.
  KeyedSnapshot stale = kept;
  stale.values[10] = "other";
  stale.keyCount = 5;
  binding_.GetCurrentUID(stale, uid_);
  const std::vector<int32_t> opened = hooks_.Opened();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(Used(), (std::vector<int32_t>{opened[0], opened[0], opened[1]}));
}

TEST_F(BindingV2Test, NoContextGivesEachWrappersPreset) {
  hooks_.Script("InitCrypto", 0, -1);
  const ParamSnapshot snapshot = Snapshot(kParamCount, "3600");
  char buffer[300] = {};
  int32_t length = 4;
  std::string text = "stale";
  EXPECT_EQ(binding_.EncodeData(snapshot, buffer, &length, "UID"), kBindingNoContext);
  EXPECT_EQ(binding_.GenerateNewSEK(snapshot), kBindingNoContext);
  EXPECT_FALSE(binding_.CertificateAndRequestMatch(snapshot, "a.pem", "b.pem"));
  EXPECT_EQ(binding_.GetLastErrorMessage(snapshot, buffer), 0);
  EXPECT_EQ(binding_.CertInfoText(snapshot, "x", 1, text), kBindingNotInitialized);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(hooks_.Calls("EncodeData").empty());
  EXPECT_TRUE(hooks_.Calls("GetLastErrorMessage").empty());
  EXPECT_TRUE(hooks_.Calls("GetCertInfoEx").empty());
}

TEST_F(BindingV2Test, GenerationAnsweredWithZeroIsReportedAsNotFinalized) {
  const ParamSnapshot snapshot = Snapshot(kParamCount, "3600");
  hooks_.Script("GenerateNewSEK", 0, 1);
  EXPECT_EQ(binding_.GenerateNewSEK(snapshot), kBindingNotFinalized);
  hooks_.Script("GenerateNewSEK", 5, 1);
  EXPECT_EQ(binding_.GenerateNewSEK(snapshot), 5);
  hooks_.Script("GenerateNewSSK", 0, 1);
  EXPECT_EQ(binding_.GenerateNewSSK(snapshot), kBindingNotFinalized);
  hooks_.Script("CertificateAndRequestMatch", 7, 1);
  EXPECT_TRUE(binding_.CertificateAndRequestMatch(snapshot, "a.pem", "b.pem"));
  hooks_.Script("CertificateAndRequestMatch", 0, 1);
  EXPECT_FALSE(binding_.CertificateAndRequestMatch(snapshot, "a.pem", "b.pem"));
}

const char kCertificate[] =
    "-----BEGIN CERTIFICATE-----\n"
    "FAKE CERTIFICATE\n"
    "Subject: /C=RU/O=Bank/CN=Alice\n"
    "Issuer: /O=Bank/CN=Root\n"
    "Serial: 0a:1b\n"
    "NotBefore: 05.03.2004 10:11:12\n"
    "NotAfter: 31.12.2099 23:59:59\n"
    "PublicKey: 00ff\n"
    "-----END CERTIFICATE-----\n";

TEST_F(BindingV2Test, CertificateReportFromTheRecord) {
  std::string text;
  ASSERT_EQ(binding_.CertInfoText(Snapshot(kParamCount), kCertificate, sizeof kCertificate - 1, text), 0);
  EXPECT_EQ(text.substr(0, text.find("PKey=")),
            "SN=0a:1b\r\nICN=Root\r\nIO=Bank\r\nCN=Alice\r\nC=RU\r\nO=Bank\r\n"
            "NotBefore=05-03-04 10:11:12\r\nNotAfter=31-12-99 23:59:59\r\nPKeyAlg=rsaEncryption\r\n");
  EXPECT_TRUE(text.ends_with("\r\n\r\n"));
  EXPECT_EQ(hooks_.Calls("FreeCertInfo").size(), 1u);
}

TEST_F(BindingV2Test, FailedRecordIsReleasedAndGivesNoText) {
  hooks_.Script("GetCertInfoEx", 7, 1);
  std::string text = "stale";
  EXPECT_EQ(binding_.CertInfoText(Snapshot(kParamCount), kCertificate, sizeof kCertificate - 1, text), 7);
  EXPECT_EQ(text, "");
  EXPECT_EQ(hooks_.Calls("FreeCertInfo").size(), 1u);
  hooks_.Script("GetReqInfo", 8, 1);
  EXPECT_EQ(binding_.RequestInfoText(Snapshot(kParamCount), "x", 1, text), 8);
  EXPECT_EQ(hooks_.Calls("FreeReqInfo").size(), 1u);
}

TEST_F(BindingV2Test, CertificateGoesOnlyIntoALiveContext) {
  const ParamSnapshot snapshot = Snapshot(kParamCount, "3600");
  EXPECT_EQ(binding_.LoadCertificateIntoContext(snapshot, kCertificate, sizeof kCertificate - 1), 0);
  EXPECT_TRUE(hooks_.Opened().empty());
  EXPECT_TRUE(hooks_.Calls("LoadCertificate").empty());
  Call(snapshot);
  hooks_.Script("LoadCertificate", 9, 1);
  EXPECT_EQ(binding_.LoadCertificateIntoContext(snapshot, kCertificate, sizeof kCertificate - 1), 9);
  EXPECT_EQ(CachedContextCount(), 1u);
}

TEST_F(BindingV2Test, ClearingClosesEveryCachedContext) {
  const int32_t openBefore = hooks_.OpenContexts();
  for (const char* last : {"x", "y"}) {
    ParamSnapshot snapshot = Snapshot(kParamCount, "3600", last);
    snapshot[0] = last;
    Call(snapshot);
  }
  EXPECT_EQ(hooks_.OpenContexts(), openBefore + 2);
  EXPECT_EQ(CachedContextCount(), 2u);
  binding_.ClearContexts();
  EXPECT_EQ(hooks_.OpenContexts(), openBefore);
  EXPECT_EQ(CachedContextCount(), 0u);
}

TEST_F(BindingV2Test, OwnContextIsOpenedOnceAndClosedWithTheBinding) {
  int32_t own = 0;
  {
    TMProDLL binding(2);
    char name[128];
    binding.GetParamName(0, name);
    binding.GetParamName(1, name);
    own = binding.Context();
    EXPECT_EQ(hooks_.Opened(), std::vector<int32_t>{own});
    EXPECT_EQ(hooks_.FirstArguments("GetCryptoParamName"), (std::vector<int32_t>{own, own}));
    EXPECT_TRUE(hooks_.Calls("SetCryptoParamValue").empty());
  }
  EXPECT_EQ(hooks_.FirstArguments("DoneCrypto"), std::vector<int32_t>{own});
}

TEST_F(BindingV2Test, RequestIsMadeOnAPrivateContext) {
  hooks_.Script("MakeRequestForPSE", 4, 1);
  PseRequest request;
  request.keyDirectory = "KEYS";
  request.subject = {"CN", "RU", "S", "L", "O", "OU", "E", "T"};
  request.requestFile = "req.pem";
  request.flag = "CN";
  EXPECT_EQ(binding_.RequestForPSE(request), 4);
  const int32_t context = hooks_.Opened().at(0);
  std::vector<int32_t> indexes;
  for (const std::string& line : hooks_.Calls("SetCryptoParamValue")) {
    EXPECT_EQ(std::stoi(line.substr(20)), context) << line;
    indexes.push_back(std::stoi(line.substr(line.find(", ") + 2)));
  }
  EXPECT_EQ(indexes, (std::vector<int32_t>{2, 15, 10, 11, 12, 13, 14, 16, 23, 20}));
  EXPECT_EQ(hooks_.FirstArguments("DoneCrypto"), std::vector<int32_t>{context});
  EXPECT_EQ(CachedContextCount(), 0u);
}

TEST_F(BindingV2Test, OtherCodesAreAskedOfTheModule) {
  char buffer[64];
  binding_.ErrorText(buffer, sizeof buffer, 1001);
  EXPECT_EQ(hooks_.FirstArguments("GetCryptoErrorString"), std::vector<int32_t>{1001});
  EXPECT_NE(buffer[0], '\0');
  binding_.ErrorText(buffer, sizeof buffer, -6);
  EXPECT_EQ(hooks_.Calls("GetCryptoErrorString").size(), 1u);
}

TEST_F(BindingV2Test, ConcurrentCallsNeverSeeAClosedContext) {
  test::RunCallsWhileClearing(binding_, hooks_);
}

}  // namespace
}  // namespace cryptlib
