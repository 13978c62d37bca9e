// Our own Linux executables carry their version resource in an ELF section.
#include <optional>
#include <string>
#include <string_view>

#include "platform/version_resource.h"

std::optional<std::string> FindOwnVersionResource(std::string_view image) {
  return platform::FindElfVersionSection(image);
}
