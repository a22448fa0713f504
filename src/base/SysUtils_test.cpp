#include "base/SysUtils.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(TrimTest, RemovesBlanksAndControlCharactersButKeepsHighBytes) {
  EXPECT_EQ(Trim(" \t\r\nabc \x01"), "abc");
  EXPECT_EQ(Trim("a b"), "a b");
  EXPECT_EQ(Trim("\xe3\x81\x82 "), "\xe3\x81\x82");
  EXPECT_EQ(Trim("   "), "");
}

TEST(TryStrToIntTest, AcceptsOnlyAnOptionallySignedRunOfDigits) {
  struct Case {
    const char* text;
    std::optional<int> value;
  } cases[] = {
      {"7", 7},
      {" 42 ", 42},
      {"-3", -3},
      {"+5", 5},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"1 2", std::nullopt},
      {"0x10", std::nullopt},
      {"12a", std::nullopt},
      {"2\n3", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TryStrToInt(c.text), c.value) << "text: " << c.text;
  }
}

TEST(SameTextTest, IgnoresAsciiCaseOnly) {
  EXPECT_TRUE(SameText("LocalHost", "LOCALHOST"));
  EXPECT_FALSE(SameText("localhost", "localhos"));
  EXPECT_TRUE(StartsText("received:", "Received: from x"));
  EXPECT_FALSE(StartsText("received:", "X-Received: from x"));
}

}  // namespace
}  // namespace quillbox
