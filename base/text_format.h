// Texts that take one value. They come from language files, so they are
// never handed to printf whole: "%%" gives "%", the first conversion of the
// expected kind takes the value, and any other "%" stands for itself.
#pragma once

#include <string>
#include <string_view>

namespace base {

// The first of %f %F %e %E %g %G (with flags, width and precision) takes
// `value`.
std::string FormatWithNumber(std::string_view format, double value);
// The first plain %s takes `value`.
std::string FormatWithText(std::string_view format, std::string_view value);

}  // namespace base
