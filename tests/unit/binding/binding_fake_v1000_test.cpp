// The binding against the fake module of version 1.0.0.0: not thread-safe,
// so every vendor call of the process is serialised.
#include <gtest/gtest.h>

#include "binding/mprodll.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v1000";

namespace {

TEST(BindingV1000Test, FirstReleaseIsNotThreadSafe) {
  TMProDLL binding(2);
  ASSERT_TRUE(binding.Bound());
  EXPECT_FALSE(binding.ThreadSafe());
  EXPECT_FALSE(binding.Is2x());
}

TEST(BindingV1000Test, CallsNeverOverlap) {
  test::FakeHooks hooks;
  ASSERT_TRUE(hooks.Available());
  TMProDLL binding(2);
  binding.ClearContexts();
  hooks.Reset();
  // Every call takes a while in the module, so that unserialised calls meet.
  hooks.SetCallDelay(20);
  test::RunCallsWhileClearing(binding, hooks);
  EXPECT_EQ(hooks.Overlaps(), 0);
  hooks.Reset();
}

}  // namespace
}  // namespace cryptlib
