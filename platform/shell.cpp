// The parts of the shell service that are the same on every system.
#include "platform/shell.h"

#include "base/ascii_text.h"

namespace platform {
namespace {

constexpr std::size_t kMaxLinkLength = 2048;

using base::StartsWithIgnoringCase;

}  // namespace

std::optional<std::string> WebAddressOfLink(std::string_view link) {
  if (link.empty() || link.size() > kMaxLinkLength) return std::nullopt;
  for (char c : link) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) return std::nullopt;
  }
  for (std::string_view scheme : {"http://", "https://", "mailto:"}) {
    if (StartsWithIgnoringCase(link, scheme) && link.size() > scheme.size()) return std::string(link);
  }
  if (StartsWithIgnoringCase(link, "www.") && link.size() > 4) return "http://" + std::string(link);
  return std::nullopt;
}

}  // namespace platform
