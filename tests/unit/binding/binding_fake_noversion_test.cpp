// The binding against a fake module without a file version: it binds, but
// its calls are serialised.
#include <gtest/gtest.h>

#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "noversion";

namespace {

TEST(BindingNoVersionTest, BindsButIsNotThreadSafe) {
  TMProDLL binding(2);
  EXPECT_TRUE(binding.Loaded());
  EXPECT_TRUE(binding.Bound());
  EXPECT_FALSE(binding.ThreadSafe());
  EXPECT_FALSE(binding.Is2x());
}

}  // namespace
}  // namespace cryptlib
