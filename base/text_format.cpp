#include "base/text_format.h"

#include <cctype>
#include <algorithm>
#include <cstdio>

namespace base {
namespace {

struct Conversion {
  std::size_t length = 0;  // of the whole "%...x", 0 when there is none here
  char kind = 0;
};

Conversion ReadConversion(std::string_view text, std::size_t at) {
  std::size_t i = at + 1;
  while (i < text.size() && std::string_view("-+ #0").find(text[i]) != std::string_view::npos) ++i;
  std::size_t digits = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 3) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 3) ++i, ++digits;
  }
  if (i >= text.size()) return {};
  return {i + 1 - at, text[i]};
}

template <typename Substitute>
std::string FormatOne(std::string_view format, std::string_view kinds, Substitute substitute) {
  std::string out;
  bool used = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    Conversion c = ReadConversion(format, i);
    if (!used && c.length != 0 && kinds.find(c.kind) != std::string_view::npos) {
      out += substitute(std::string(format.substr(i, c.length)));
      used = true;
      i += c.length - 1;
      continue;
    }
    out += '%';
  }
  return out;
}

}  // namespace

std::string FormatWithNumber(std::string_view format, double value) {
  return FormatOne(format, "fFeEgG", [value](const std::string& conversion) {
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, conversion.c_str(), value);
    return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
  });
}

std::string FormatWithText(std::string_view format, std::string_view value) {
  return FormatOne(format, "s", [value](const std::string& conversion) {
    return conversion == "%s" ? std::string(value) : conversion;
  });
}

}  // namespace base
