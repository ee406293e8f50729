// Engines on several threads over a module that is not thread-safe (file
// version 1.0.0.0): every module call is serialised, none overlaps another.
#include "host/support/concurrent_engines.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v1000";

namespace {

TEST_F(ConcurrentEngines, EncryptSignAndVerifyAtOnceWithoutOverlap) {
  Hooks().SetCallDelay(200);
  RunAll();
  Hooks().SetCallDelay(0);
  EXPECT_EQ(Hooks().Overlaps(), 0);
}

}  // namespace
}  // namespace cryptlib::test
