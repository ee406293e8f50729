// Cache keys and lifetimes of parameter snapshots.
#include <gtest/gtest.h>

#include "binding/context_cache.h"

namespace cryptlib {
namespace {

TEST(ContextKeyTest, LastValueDoesNotSelectAnotherContext) {
  EXPECT_EQ(ContextKey({"a", "b", "x"}, 3), ContextKey({"a", "b", "y"}, 3));
  EXPECT_NE(ContextKey({"a", "b", "x"}, 3), ContextKey({"a", "c", "x"}, 3));
}

TEST(ContextKeyTest, ValuesAreNotConfusedAcrossBoundaries) {
  EXPECT_NE(ContextKey({"ab", "c", ""}, 3), ContextKey({"a", "bc", ""}, 3));
  EXPECT_NE(ContextKey({"", "ab", ""}, 3), ContextKey({"ab", "", ""}, 3));
  // A value that looks like a length prefix.
  EXPECT_NE(ContextKey({"1:a", "", ""}, 3), ContextKey({"", "1:a", ""}, 3));
}

TEST(ContextKeyTest, LetterCaseSelectsAnotherContext) {
  EXPECT_NE(ContextKey({"Ivanov", ""}, 2), ContextKey({"IVANOV", ""}, 2));
}

TEST(ContextKeyTest, OnlyTheModulesParametersCount) {
  // Values beyond the module's count are not handed to it.
  EXPECT_EQ(ContextKey({"a", "b", "c", "d"}, 2), ContextKey({"a", "x", "y"}, 2));
  // A snapshot shorter than the count is keyed by what it has.
  EXPECT_EQ(ContextKey({"a"}, 5), ContextKey({"a"}, 9));
}

TEST(ContextKeyTest, NoKeyedValuesGiveTheFixedKey) {
  EXPECT_EQ(ContextKey({"only"}, 1), "UnknownParamNode");
  EXPECT_EQ(ContextKey({}, 22), "UnknownParamNode");
  EXPECT_EQ(ContextKey({"a", "b"}, 0), "UnknownParamNode");
  // Empty values are values: they do not fall back to the fixed key.
  EXPECT_NE(ContextKey({"", ""}, 2), "UnknownParamNode");
}

ParamSnapshot WithLifetime(const std::string& value) {
  ParamSnapshot snapshot(22);
  snapshot[21] = value;
  return snapshot;
}

TEST(ContextLifetimeTest, DecimalSecondsFromValue22) {
  EXPECT_EQ(ContextLifetime(WithLifetime("3600")), 3600);
  EXPECT_EQ(ContextLifetime(WithLifetime("+7")), 7);
  EXPECT_EQ(ContextLifetime(WithLifetime("2147483640")), 2147483640);
}

TEST(ContextLifetimeTest, UnusableValuesGiveZero) {
  for (const char* value : {"", "-5", "abc", "12abc", " 1", "99999999999", "+", "-"})
    EXPECT_EQ(ContextLifetime(WithLifetime(value)), 0) << '"' << value << '"';
  EXPECT_EQ(ContextLifetime(ParamSnapshot(21, "60")), 0);
}

}  // namespace
}  // namespace cryptlib
