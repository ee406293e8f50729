#include "support/mimecode.h"

#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace cryptlib {
namespace {

// The codec's outputs as strings; nullopt for a failure. A failure must come
// as null and 0 together, a success as a buffer and a positive length.
std::optional<std::string> Encode(const std::string& bytes) {
  char* text = reinterpret_cast<char*>(1);
  int32_t length = -1;
  Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()), text, length);
  if (text == nullptr) {
    EXPECT_EQ(length, 0);
    return std::nullopt;
  }
  EXPECT_GT(length, 0);
  std::string result(text, static_cast<size_t>(length));
  delete[] text;
  return result;
}

std::optional<std::string> Decode(const std::string& text) {
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  int32_t length = -1;
  Base64Decode(text.data(), static_cast<int32_t>(text.size()), bytes, length);
  if (bytes == nullptr) {
    EXPECT_EQ(length, 0);
    return std::nullopt;
  }
  EXPECT_GT(length, 0);
  std::string result(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
  delete[] bytes;
  return result;
}

TEST(Base64Test, EncodesWholeAndShortGroupsWithPadding) {
  EXPECT_EQ(Encode("abc"), "YWJj");
  EXPECT_EQ(Encode("ab"), "YWI=");
  EXPECT_EQ(Encode("a"), "YQ==");
  EXPECT_EQ(Encode("abcd"), "YWJjZA==");
  EXPECT_EQ(Encode(std::string("\xFB\xFF\xBF\x00", 4)), "+/+/AA==");
}

TEST(Base64Test, EncodeOfNothingFails) {
  EXPECT_EQ(Encode(""), std::nullopt);
  char* text = reinterpret_cast<char*>(1);
  int32_t length = 7;
  Base64Encode(nullptr, 3, text, length);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0);
  Base64Encode("abc", -3, text, length);
  EXPECT_EQ(text, nullptr);
}

TEST(Base64Test, DecodesWholeAndPaddedGroups) {
  EXPECT_EQ(Decode("YWJj"), "abc");
  EXPECT_EQ(Decode("YWI="), "ab");
  EXPECT_EQ(Decode("YQ=="), "a");
  EXPECT_EQ(Decode("+/+/AA=="), std::string("\xFB\xFF\xBF\x00", 4));
}

TEST(Base64Test, DecodeNeedsWholeGroupsCountingEveryCharacter) {
  EXPECT_EQ(Decode("YWJ"), std::nullopt);
  EXPECT_EQ(Decode("YWI\n"), "ab");
  EXPECT_EQ(Decode("YWI\n\n"), std::nullopt);
  EXPECT_EQ(Decode(""), std::nullopt);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  int32_t length = 7;
  Base64Decode(nullptr, 4, bytes, length);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 0);
  Base64Decode("YWJj", -4, bytes, length);
  EXPECT_EQ(bytes, nullptr);
}

TEST(Base64Test, DecodeFailsWhenNoByteResults) {
  EXPECT_EQ(Decode("===="), std::nullopt);
  EXPECT_EQ(Decode("Y==="), std::nullopt);  // six bits make no byte
  EXPECT_EQ(Decode("\r\n\r\n"), std::nullopt);
}

TEST(Base64Test, DecodeStopsAtFirstPad) {
  EXPECT_EQ(Decode("YWI=YWJj"), "ab");
  EXPECT_EQ(Decode("YQ==!!!!"), "a");
  // Five alphabet characters: 24 bits give abc, the six left over give none.
  EXPECT_EQ(Decode("YWJjY==="), "abc");
}

TEST(Base64Test, DecodeSkipsCharactersOutsideTheAlphabet) {
  // Valued as 63 instead of skipped, "*" or a byte above 127 would change the
  // result; read as a signed char it would index outside a table.
  EXPECT_EQ(Decode("Y*WJj==="), "abc");
  EXPECT_EQ(Decode("YW\xFFJj==="), "abc");
  EXPECT_EQ(Decode("YWJj\r\nYWI=\n\n"), "abcab");
  // A skipped character shifts the following groups; bits still add up in
  // order of the alphabet characters.
  EXPECT_EQ(Decode(" YWJjYWJj   "), "abcabc");
}

// Text wrapped into MIME lines and padded with spaces to whole groups, so
// that the fast and the character-by-character decoding alternate.
std::string WrapLines(const std::string& text) {
  std::string wrapped;
  for (size_t i = 0; i < text.size(); i += 76) wrapped += text.substr(i, 76) + "\r\n";
  wrapped.append((4 - wrapped.size() % 4) % 4, ' ');
  return wrapped;
}

// Every length from 0 to 3000 bytes, which covers decoded sizes around the
// 1024-byte staging area and its multiples.
TEST(Base64Test, RandomBytesRoundTripForEveryLength) {
  std::mt19937 random(20240607);
  for (size_t size = 1; size <= 3000; ++size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    const std::optional<std::string> text = Encode(bytes);
    ASSERT_TRUE(text.has_value()) << size;
    ASSERT_EQ(text->size(), (size + 2) / 3 * 4) << size;
    ASSERT_EQ(Decode(*text), bytes) << size;
    ASSERT_EQ(Decode(WrapLines(*text)), bytes) << size;
  }
}

TEST(Base64Test, CharAndValueMapTheAlphabet) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t value = 0; value < 64; ++value) {
    EXPECT_EQ(Base64Char(value), alphabet[value]);
    EXPECT_EQ(Base64Value(alphabet[value]), value);
  }
  EXPECT_EQ(Base64Char(64), '/');
  EXPECT_EQ(Base64Char(255), '/');
  EXPECT_EQ(Base64Value('='), 63);
  EXPECT_EQ(Base64Value('\n'), 63);
  EXPECT_EQ(Base64Value('\xC1'), 63);
  EXPECT_EQ(Base64Value('\0'), 63);
}

}  // namespace
}  // namespace cryptlib
