// Engines on several threads over the thread-safe module: the module's calls
// really run side by side, and every result is right.
#include "host/support/concurrent_engines.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "v2";

namespace {

TEST_F(ConcurrentEngines, EncryptSignAndVerifyAtOnce) {
  RunAll();
}

}  // namespace
}  // namespace cryptlib::test
