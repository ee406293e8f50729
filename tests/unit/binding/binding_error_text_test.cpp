// The binding's own error texts and their truncation rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "binding/error_text.h"
#include "binding/mprodll.h"

namespace cryptlib {
namespace {

// Without a module file: the binding answers its own codes from its table.
constexpr int32_t kNoModule = 99;

class ErrorTextTest : public ::testing::Test {
 protected:
  ErrorTextTest() { std::memset(buffer_, 'X', sizeof buffer_); }
  std::string Untouched(size_t from) const {
    std::string rest;
    for (size_t i = from; i < sizeof buffer_; ++i) rest += buffer_[i];
    return rest;
  }

  TMProDLL binding_{kNoModule};
  char buffer_[128];
};

TEST_F(ErrorTextTest, EveryBindingCodeHasItsText) {
  const std::pair<int32_t, const char*> texts[] = {
      {-1, "Library not initialized"}, {-2, "An exception - "},     {-3, "Bad parameters passed"},
      {-4, "Can't get sign context"},  {-5, "Signature not found"}, {-6, "Unable to load private key for operation"},
      {-100, "Function not finalize"}};
  for (const auto& [code, text] : texts) {
    EXPECT_STREQ(BindingErrorText(code), text);
    binding_.ErrorText(buffer_, 100, code);
    EXPECT_STREQ(buffer_, text) << code;
  }
  EXPECT_EQ(BindingErrorText(-7), nullptr);
  EXPECT_EQ(BindingErrorText(-101), nullptr);
}

TEST_F(ErrorTextTest, LongTextFillsTheBufferWithoutTerminator) {
  binding_.ErrorText(buffer_, 10, -5);
  EXPECT_EQ(std::string(buffer_, 10), "Signature ");
  EXPECT_EQ(Untouched(10), std::string(sizeof buffer_ - 10, 'X'));
  // Exactly the text's length: no room for the terminator either.
  binding_.ErrorText(buffer_, 19, -5);
  EXPECT_EQ(std::string(buffer_, 19), "Signature not found");
  EXPECT_EQ(buffer_[19], 'X');
}

TEST_F(ErrorTextTest, ShortTextIsFollowedByZeros) {
  binding_.ErrorText(buffer_, 100, -5);
  EXPECT_EQ(std::string(buffer_), "Signature not found");
  for (size_t i = 19; i < 100; ++i) ASSERT_EQ(buffer_[i], '\0') << i;
  EXPECT_EQ(Untouched(100), std::string(sizeof buffer_ - 100, 'X'));
}

TEST_F(ErrorTextTest, CodeZeroOrNoRoomLeavesTheBufferAlone) {
  binding_.ErrorText(buffer_, 100, 0);
  binding_.ErrorText(buffer_, 0, -5);
  binding_.ErrorText(buffer_, -3, -5);
  EXPECT_EQ(Untouched(0), std::string(sizeof buffer_, 'X'));
}

TEST_F(ErrorTextTest, OtherCodesWithoutModuleOnlyClearTheBuffer) {
  binding_.ErrorText(buffer_, 20, 12345);
  EXPECT_EQ(std::string(buffer_, 20), std::string(20, '\0'));
  EXPECT_EQ(buffer_[20], 'X');
}

}  // namespace
}  // namespace cryptlib
