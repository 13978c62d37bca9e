// Packed update files. The server may send any file as it is or packed in a
// container: the five bytes "LZMA" and 0, then a standard .lzma header
// (properties byte, 32-bit dictionary size, 64-bit uncompressed size, which
// must be stated) and the LZMA1 stream. Whether a received body is packed is
// told by its length alone: a body as long as the listed size is plain.
//
// Unpacking works memory to memory into exactly the listed size. The
// decoder's memory is bounded by that size, never by the header's
// dictionary field, so a lying container cannot make it allocate more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/byte_buffer.h"

namespace engine {

inline constexpr std::size_t kContainerHeaderSize = 18;  // "LZMA", 0, 13-byte .lzma header

// Whether a body of `bodyLength` bytes for a file listed with `size` bytes is
// used as it is: the lengths are equal. For an empty file only an empty body
// is; any other is a container (of nothing).
bool IsPlainBody(std::int32_t bodyLength, std::int32_t size);

// The unpacked `size` bytes of a container, or empty optional when the body
// is no container, states another size, is damaged or cut short.
std::optional<ByteBuffer> Unpack(const std::uint8_t* body, std::int32_t bodyLength, std::int32_t size);

}  // namespace engine
