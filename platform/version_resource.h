// Finding the version resource (the raw VS_VERSIONINFO bytes) in an
// executable image without loading it: in a PE image the first resource of
// type 16 from its resource directory, in an ELF image the section named
// resources::kVersionSectionName that our own executables carry. The image
// is untrusted: every offset and size is checked against its size, and a
// resource larger than kMaxVersionResourceBytes is refused. The image is read
// through a random-access source, so a file is never read whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr std::size_t kMaxVersionResourceBytes = 1 << 20;

// Random access to the bytes of an image.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  // Reads exactly `size` bytes at `offset`; false when they are not all there.
  virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
};

std::optional<std::string> FindPeVersionResource(ByteSource& image);
std::optional<std::string> FindElfVersionSection(ByteSource& image);
// Either of the two, chosen by the image's first bytes ("MZ" or "\x7F" "ELF").
std::optional<std::string> FindVersionResource(ByteSource& image);

// The same over an image held in memory.
std::optional<std::string> FindPeVersionResource(std::string_view image);
std::optional<std::string> FindElfVersionSection(std::string_view image);

}  // namespace platform
