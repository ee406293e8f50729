// An installation without a vendor module: every operation answers -127, on
// every call, and the host can still read why.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/support/fake_root.h"

namespace cryptlib::test {

const char* const kFakeFlavour = nullptr;

namespace {

using NoModule = FakeEngineTest;

TEST_F(NoModule, EveryOperationAnswersMinus127AgainAndAgain) {
  char data[64] = "data";
  int32_t length = 4;
  char uid[40];
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice"), -127);
  EXPECT_EQ(api().EncodeData(engine(), data, &length, "Alice"), -127);
  EXPECT_EQ(api().DecodeData(engine(), data, &length, uid), -127);
  EXPECT_EQ(api().SignData(engine(), data, 4, data, &length, nullptr), -127);
  EXPECT_EQ(api().VerifyData(engine(), data, 4, data, 4, uid), -127);
  EXPECT_EQ(api().AddSign(engine(), data, &length, nullptr), -127);
  EXPECT_EQ(api().RemoveSign(engine(), data, &length, uid), -127);
  EXPECT_EQ(api().GetCurrentUserUID(engine(), uid), -127);
  EXPECT_EQ(api().SetCryptoParamValue(engine(), 4, "DES-EDE3-CBC"), -127);
  EXPECT_EQ(length, 4);
}

TEST_F(NoModule, SizesAreZeroAndTheSignAdditionItsEnvelope) {
  EXPECT_EQ(api().GetMaxEncodeAddition(engine()), 0);
  EXPECT_EQ(api().GetMaxSignatureLength(engine()), 0);
  EXPECT_EQ(api().GetMaxErrorStringLength(engine()), 0);
  EXPECT_EQ(api().GetCryptoParamNumber(engine()), 0);
  EXPECT_EQ(api().GetMaxSignAddition(engine()), 332);
  EXPECT_EQ(api().GetMaxUIDLength(engine()), 40);
  // Descriptions need no module, except of the parameters a module may lack.
  int32_t kind = 0, size = 0;
  EXPECT_EQ(api().GetParamInfo(engine(), 19, &kind, nullptr, &size), 0);
  EXPECT_EQ(api().GetParamInfo(engine(), 20, &kind, nullptr, &size), -126);
}

TEST_F(NoModule, TheEnginesOwnTextsStayReadable) {
  EXPECT_EQ(ErrorText(-127), "Unable to load mplug*.dll");
  EXPECT_EQ(ErrorText(-128), "Unable to retrive all necessary functionns from mplug*.dll");
  EXPECT_EQ(ErrorText(-100), "Library not initialized ");
  // Only the text and its terminator are written: the host cannot learn a
  // buffer size while no module is bound.
  char text[64];
  std::memset(text, 'z', sizeof(text));
  api().GetCryptoErrorString(engine(), -127, text);
  EXPECT_STREQ(text, "Unable to load mplug*.dll");
  EXPECT_EQ(text[26], 'z');
  std::memset(text, 'z', sizeof(text));
  api().GetCryptoErrorString(engine(), 1005, text);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], 'z');
  std::memset(text, 'z', sizeof(text));
  api().GetLastErrorMessage(engine(), text);
  EXPECT_EQ(text[0], 'z');
}

}  // namespace
}  // namespace cryptlib::test
