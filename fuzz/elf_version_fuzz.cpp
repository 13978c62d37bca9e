// ELF images come from the installation folder and may be damaged or
// hostile. Looks for our version section in the bytes; what is found must be
// bytes of the image, no larger than the limit.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/version_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that a read past the end is caught.
  std::unique_ptr<char[]> copy(new char[size ? size : 1]);
  if (size) std::memcpy(copy.get(), data, size);
  std::string_view image(copy.get(), size);

  std::optional<std::string> found = platform::FindElfVersionSection(image);
  if (found) {
    if (found->size() > platform::kMaxVersionResourceBytes) abort();
    if (image.find(*found) == std::string_view::npos) abort();
  }
  return 0;
}
