// The binding against a fake module without the optional functions.
#include <gtest/gtest.h>

#include <string>

#include "binding/context_cache.h"
#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "nooptional";

namespace {

class BindingNoOptionalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hooks_.Available());
    binding_.ClearContexts();
    hooks_.Reset();
  }

  test::FakeHooks hooks_;
  TMProDLL binding_{2};
  ParamSnapshot snapshot_ = test::Snapshot(26, "3600");
};

TEST_F(BindingNoOptionalTest, BindsWithoutThem) {
  EXPECT_TRUE(binding_.Bound());
  const MPlugFunctions& vendor = binding_.Functions();
  EXPECT_EQ(vendor.VerifyDataIgnoreTime, nullptr);
  EXPECT_EQ(vendor.LoadCertificate, nullptr);
  EXPECT_EQ(vendor.GetCertInfoEx, nullptr);
  EXPECT_EQ(vendor.FreeCertInfo, nullptr);
  EXPECT_EQ(vendor.GetReqInfo, nullptr);
  EXPECT_EQ(vendor.FreeReqInfo, nullptr);
}

TEST_F(BindingNoOptionalTest, MissingFunctionsAnswerWithoutCalls) {
  char uid[256];
  int32_t length = 1;
  std::string text = "stale";
  EXPECT_EQ(binding_.VerifyDataIgnoreTime(snapshot_, "d", &length, "s", 1, uid), kBindingNotInitialized);
  EXPECT_EQ(binding_.CertInfoText(snapshot_, "c", 1, text), kBindingNotInitialized);
  EXPECT_EQ(text, "");
  EXPECT_EQ(binding_.RequestInfoText(snapshot_, "r", 1, text), kBindingNotInitialized);
  EXPECT_EQ(hooks_.Log(), "");
}

TEST_F(BindingNoOptionalTest, CertificateLoadClearsTheCacheInstead) {
  char uid[256];
  binding_.GetCurrentUID(snapshot_, uid);
  ASSERT_EQ(CachedContextCount(), 1u);
  const int32_t context = hooks_.Opened().at(0);
  EXPECT_EQ(binding_.LoadCertificateIntoContext(snapshot_, "c", 1), 0);
  EXPECT_EQ(CachedContextCount(), 0u);
  EXPECT_EQ(hooks_.FirstArguments("DoneCrypto"), std::vector<int32_t>{context});
}

}  // namespace
}  // namespace cryptlib
