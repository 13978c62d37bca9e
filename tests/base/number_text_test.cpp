#include "base/number_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();

struct Case {
  std::string_view text;
  std::int32_t as32;
  std::int64_t as64;
};

// Views with explicit sizes so that embedded zero bytes stay in the input.
constexpr Case kCases[] = {
    {"", 0, 0},
    {"0", 0, 0},
    {"42", 42, 42},
    {"-0", 0, 0},
    {"+0", 0, 0},
    {"+17", 17, 17},
    {"-17", -17, -17},
    {"007", 7, 7},
    {"0000000000000000000000000000123", 123, 123},
    // Leading white space of every C kind, but nothing else.
    {" \t\n\v\f\r 99", 99, 99},
    {"\xA0" "5", 0, 0},
    // No digits.
    {"abc", 0, 0},
    {"+", 0, 0},
    {"-", 0, 0},
    {"   ", 0, 0},
    {"++5", 0, 0},
    {"+-5", 0, 0},
    {"- 5", 0, 0},
    {"=5", 0, 0},
    {"0x1F", 0, 0},
    // Digits end at the first other character.
    {"12abc", 12, 12},
    {"12 34", 12, 12},
    {"1.9", 1, 1},
    {"-3=x", -3, -3},
    {"105 =text", 105, 105},
    {std::string_view("7\0" "9", 3), 7, 7},
    // Around the 32-bit limits.
    {"2147483647", kMax32, 2147483647LL},
    {"2147483648", kMax32, 2147483648LL},
    {"-2147483648", kMin32, -2147483648LL},
    {"-2147483649", kMin32, -2147483649LL},
    {"4294967295", kMax32, 4294967295LL},
    {"21474836470", kMax32, 21474836470LL},
    {"-21474836480", kMin32, -21474836480LL},
    {"2147483648xyz", kMax32, 2147483648LL},
    // Around the 64-bit limits.
    {"9223372036854775807", kMax32, kMax64},
    {"9223372036854775808", kMax32, kMax64},
    {"-9223372036854775808", kMin32, kMin64},
    {"-9223372036854775809", kMin32, kMin64},
    {"99999999999999999999999999999999999999", kMax32, kMax64},
    {"-99999999999999999999999999999999999999", kMin32, kMin64},
    {"  +000009223372036854775807", kMax32, kMax64},
};

TEST(NumberText, ParsesLikeAtoiAndSaturates) {
  for (const Case& c : kCases) {
    SCOPED_TRACE("input \"" + std::string(c.text) + "\" (" + std::to_string(c.text.size()) + " bytes)");
    EXPECT_EQ(base::ParseAtoi(c.text), c.as32);
    EXPECT_EQ(base::ParseAtoi64(c.text), c.as64);
  }
}

TEST(NumberText, ReadsOnlyInsideTheView) {
  // The bytes after the view are digits; a parser that reads past the end
  // of the view (or relies on a terminator) would take them in.
  const std::string backing = "12345";
  EXPECT_EQ(base::ParseAtoi(std::string_view(backing).substr(0, 2)), 12);
  EXPECT_EQ(base::ParseAtoi64(std::string_view(backing).substr(0, 3)), 123);
  EXPECT_EQ(base::ParseAtoi(std::string_view(backing).substr(0, 0)), 0);
  const std::string sign = "-9";
  EXPECT_EQ(base::ParseAtoi(std::string_view(sign).substr(0, 1)), 0);
}

}  // namespace
