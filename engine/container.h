// Packed update files. The server may send any file as it is or packed in a
// container: the five bytes "LZMA" and 0, then a standard .lzma header
// (properties byte, 32-bit dictionary size, 64-bit uncompressed size, which
// must be stated) and the LZMA1 stream. Whether a received body is packed is
// told by its length alone: a body as long as the listed size is plain.
//
// Unpacking works memory to memory into exactly the listed size. The
// header's dictionary field is a size the server chooses, so it never
// chooses our memory alone: a container that states more than
// kMaxDictionaryBytes is refused (a failed transfer), and the dictionary is
// never larger than the listed size either. A stated size below 4 KiB is
// read as 4 KiB, the smallest dictionary of the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/byte_buffer.h"

namespace engine {

inline constexpr std::size_t kContainerHeaderSize = 18;  // "LZMA", 0, 13-byte .lzma header
// The largest dictionary a container may state: 64 MiB, the largest that
// any xz/LZMA preset writes (level 9). A packer that needs more is none we
// publish with, and a stated 4 GiB must not become a 4 GiB allocation.
inline constexpr std::uint32_t kMaxDictionaryBytes = 64u << 20;

// Whether a body of `bodyLength` bytes for a file listed with `size` bytes is
// used as it is: the lengths are equal. For an empty file only an empty body
// is; any other is a container (of nothing).
bool IsPlainBody(std::int32_t bodyLength, std::int32_t size);

// The unpacked `size` bytes of a container, or empty optional when the body
// is no container, states another size, is damaged or cut short.
std::optional<ByteBuffer> Unpack(const std::uint8_t* body, std::int32_t bodyLength, std::int32_t size);

}  // namespace engine
