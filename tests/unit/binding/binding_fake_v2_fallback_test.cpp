// Finding the module file: nowhere on the search path gives an unloaded
// binding (and a later binding tries again); beside the engine library it is
// found.
#include <gtest/gtest.h>

#include "binding/binding_state.h"
#include "binding/mprodll.h"
#include "common/test_dir.h"
#include "unit/harness/binding_fake_harness.h"

namespace cryptlib {

const char* const test::kFakeFlavour = "v2";

namespace {

TEST(BindingSearchTest, MissingFileThenFileBesideTheEngine) {
  test::TestDir empty;
  test::Host().hostPath = empty.path() + "/host";
  test::Host().enginePath = empty.path() + "/CryptLib.so";
  {
    TMProDLL binding(2);
    EXPECT_FALSE(binding.Loaded());
    EXPECT_FALSE(binding.Bound());
    // Nothing to clear and nothing to ask without the file.
    binding.ClearContexts();
    char text[16] = "untouched";
    binding.ErrorText(text, sizeof text, 1001);
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '\0'));
  }
  EXPECT_FALSE(Binding().IsLoaded(2));

  test::Host().enginePath = test::FakeModuleDir() + "/CryptLib.so";
  TMProDLL binding(2);
  EXPECT_TRUE(binding.Loaded());
  EXPECT_TRUE(binding.Bound());
  EXPECT_TRUE(binding.ThreadSafe());
}

}  // namespace
}  // namespace cryptlib
