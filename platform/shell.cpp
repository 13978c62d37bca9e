// The parts of the shell service that are the same on every system.
#include "platform/shell.h"

#include <cctype>

namespace platform {
namespace {

constexpr std::size_t kMaxLinkLength = 2048;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> WebAddressOfLink(std::string_view link) {
  if (link.empty() || link.size() > kMaxLinkLength) return std::nullopt;
  for (char c : link) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return std::nullopt;
  }
  for (std::string_view scheme : {"http://", "https://", "ftp://", "mailto:"}) {
    if (StartsWithNoCase(link, scheme) && link.size() > scheme.size()) return std::string(link);
  }
  if (StartsWithNoCase(link, "www.") && link.size() > 4) return "http://" + std::string(link);
  return std::nullopt;
}

}  // namespace platform
