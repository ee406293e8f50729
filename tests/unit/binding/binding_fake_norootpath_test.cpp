// The binding against a fake module without "SetRootPath": a mandatory
// function is missing although the engine never calls it.
#include <gtest/gtest.h>

#include "binding/mprodll.h"
#include "support/exceptions.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "norootpath";

namespace {

TEST(BindingNoRootPathTest, LoadsButDoesNotBind) {
  TMProDLL binding(2);
  EXPECT_TRUE(binding.Loaded());
  EXPECT_FALSE(binding.Bound());
  EXPECT_EQ(binding.Functions().SetRootPath, nullptr);
  EXPECT_EQ(binding.Functions().VerifyDataIgnoreTime, nullptr);
  // Its context calls are refused rather than made through missing entries.
  char uid[64];
  EXPECT_THROW(binding.GetCurrentUID(test::Snapshot(26), uid), Exception);
}

}  // namespace
}  // namespace cryptlib
