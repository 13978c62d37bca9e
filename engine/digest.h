// MD5 digests (RFC 1321) as text: 32 upper-case hexadecimal digits. The
// update list gives one per file; texts compare without regard to letter
// case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::size_t kDigestTextLength = 32;

std::string DigestText(const std::uint8_t* data, std::size_t length);
// The digest text of a file's whole content; empty optional when the file
// cannot be opened or read.
std::optional<std::string> FileDigestText(const std::string& path);
// Whether two digest texts agree in their first 32 characters, ignoring
// letter case; texts shorter than 32 characters never agree.
bool DigestsMatch(std::string_view a, std::string_view b);

}  // namespace engine
