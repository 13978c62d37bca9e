// Our own Windows executables carry a real version resource.
#include <optional>
#include <string>
#include <string_view>

#include "platform/version_resource.h"

std::optional<std::string> FindOwnVersionResource(std::string_view image) {
  return platform::FindPeVersionResource(image);
}
