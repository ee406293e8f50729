// The binding against the fake module of version 1.0.0.1: the smallest
// version above the first release is thread-safe.
#include <gtest/gtest.h>

#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v1001";

namespace {

TEST(BindingV1001Test, SmallestLaterVersionIsThreadSafe) {
  TMProDLL binding(2);
  ASSERT_TRUE(binding.Bound());
  EXPECT_TRUE(binding.ThreadSafe());
  EXPECT_TRUE(binding.Is2x());
}

}  // namespace
}  // namespace cryptlib
