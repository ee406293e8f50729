// A module that lacks a mandatory function: the engine refuses it with -128
// on every call and never calls into it.
#include <gtest/gtest.h>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = "norootpath";

namespace {

using IncompleteModule = EngineTest;

TEST_F(IncompleteModule, EveryOperationAnswersMinus128) {
  api().SetRootPath(engine(), ProgramRoot().path().c_str());
  char data[64] = "data";
  int32_t length = 4;
  char uid[40];
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 2, "x"), -128);
  EXPECT_EQ(api().EncodeData(engine(), data, &length, nullptr), -128);
  EXPECT_EQ(api().VerifyData(engine(), data, 4, data, 4, uid), -128);
  EXPECT_EQ(api().GetCurrentUserUID(engine(), uid), -128);
  EXPECT_EQ(api().GetMaxEncodeAddition(engine()), 0);
  EXPECT_EQ(api().GetCryptoParamNumber(engine()), 0);
  EXPECT_EQ(ErrorText(-128), "Unable to retrive all necessary functionns from mplug*.dll");
  EXPECT_TRUE(Hooks().Log().empty()) << Hooks().Log();
}

}  // namespace
}  // namespace cryptlib::test
