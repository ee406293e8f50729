// The binding against the fake module of version 1.1.0.0: thread-safe for
// variants 1 and 2; a file loaded by a variant 0 binding is never checked.
#include <gtest/gtest.h>

#include "binding/binding_state.h"
#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v1100";

namespace {

TEST(BindingV1100Test, VersionIsCheckedOnlyForLaterVariants) {
  {
    TMProDLL first(0);
    ASSERT_TRUE(first.Bound());
    EXPECT_FALSE(Binding().libraryThreadSafe);
    EXPECT_FALSE(first.ThreadSafe());
  }
  TMProDLL pse(1);
  ASSERT_TRUE(pse.Bound());
  EXPECT_TRUE(Binding().libraryThreadSafe);
  EXPECT_TRUE(pse.ThreadSafe());
  EXPECT_FALSE(pse.Is2x());
  // One flag for the process, but variant 0 is never thread-safe.
  EXPECT_FALSE(TMProDLL(0).ThreadSafe());
  EXPECT_TRUE(TMProDLL(2).Is2x());
}

}  // namespace
}  // namespace cryptlib
