#include "base/number_text.h"

#include <limits>

namespace base {
namespace {

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

template <typename Int>
Int Parse(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate towards the negative side, which holds one more value.
  constexpr Int kMin = std::numeric_limits<Int>::min();
  constexpr Int kMax = std::numeric_limits<Int>::max();
  Int value = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    Int digit = static_cast<Int>(text[i] - '0');
    if (value < (kMin + digit) / 10) {
      saturated = true;
      break;
    }
    value = static_cast<Int>(value * 10 - digit);
  }
  if (saturated) return negative ? kMin : kMax;
  if (negative) return value;
  return value == kMin ? kMax : static_cast<Int>(-value);
}

}  // namespace

std::int32_t ParseAtoi(std::string_view text) { return Parse<std::int32_t>(text); }
std::int64_t ParseAtoi64(std::string_view text) { return Parse<std::int64_t>(text); }

}  // namespace base
