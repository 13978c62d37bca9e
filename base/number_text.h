// Reading numbers from untrusted text the way the C library's atoi reads
// them (leading white space, an optional sign, decimal digits up to the first
// other character, 0 without digits), but with a defined result on overflow:
// the value saturates at the limits of the result type.
#pragma once

#include <cstdint>
#include <string_view>

namespace base {

std::int32_t ParseAtoi(std::string_view text);
std::int64_t ParseAtoi64(std::string_view text);

}  // namespace base
