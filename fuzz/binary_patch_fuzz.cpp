// Patches from the network: ApplyPatch on any bytes. The first eight input
// bytes give the new size the list would state (below 1 MiB, so memory
// stays bounded) and the old file's length; the old file follows, then the
// patch. Whatever the patch says, no more than the new size comes out,
// every read of the old file stays inside it, and an applied patch gave
// exactly the new size.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/binary_patch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint32_t newSize, oldLength;
  std::memcpy(&newSize, data, 4);
  std::memcpy(&oldLength, data + 4, 4);
  newSize %= 1u << 20;
  oldLength = static_cast<std::uint32_t>(oldLength % (size - 8 + 1));
  const std::uint8_t* old = data + 8;
  const std::uint8_t* patch = old + oldLength;
  const std::size_t patchLength = size - 8 - oldLength;

  auto source = [](const std::uint8_t* bytes, std::size_t length) {
    return engine::PatchSource{[bytes, length](std::uint64_t offset, std::uint8_t* buffer, std::size_t n) {
                                 if (offset > length) std::abort();  // a read outside the file
                                 std::size_t take = std::min<std::size_t>(n, length - offset);
                                 std::memcpy(buffer, bytes + offset, take);
                                 return static_cast<std::int64_t>(take);
                               },
                               length};
  };
  std::uint64_t out = 0;
  auto outcome = engine::ApplyPatch(source(patch, patchLength), source(old, oldLength), newSize,
                                    [&out, newSize](const std::uint8_t*, std::size_t n) {
                                      out += n;
                                      if (out > newSize) std::abort();
                                      return true;
                                    });
  if (outcome == engine::PatchOutcome::kApplied && out != newSize) std::abort();
  return 0;
}
