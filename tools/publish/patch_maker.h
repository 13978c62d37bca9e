// Makes the binary patches a release offers for files that changed since an
// earlier one (the format: engine/binary_patch.h). The steps are found as
// bsdiff finds them: a suffix array of the old file (libdivsufsort) gives,
// for each place in the new file, the longest match in the old one; a match
// is taken when it is longer by more than 8 bytes than what the current
// alignment of the two files already shares, and around it the aligned
// bytes go into the difference stream as long as that saves more than it
// costs. Memory: the old and the new file and 4 bytes per old byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/binary_patch.h"

namespace publish {

// The three streams of a patch before they are packed
// (engine/binary_patch.h).
struct PatchStreams {
  std::vector<std::uint8_t> control, difference, extra;
};
// The patch file for a new file of `newSize` bytes: the header, then the
// streams packed as .xz with a dictionary of at most `dictionaryBytes`.
std::optional<std::string> WritePatch(std::uint64_t newSize, const PatchStreams& streams,
                                      std::uint32_t dictionaryBytes = engine::kPatchDictionaryBytes);

// Whether this build can make patches at all.
bool CanMakePatches();

// The patch that turns `old` into `updated`; empty when one cannot be made
// (a file of 2 GiB or more, or no memory for it).
std::optional<std::string> MakePatch(std::span<const std::uint8_t> old, std::span<const std::uint8_t> updated);

}  // namespace publish
