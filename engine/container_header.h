// The checks of a container's 18 bytes before its stream, shared by Unpack
// and the ContainerDecoder so that both take and refuse the same bodies.
// For the engine's own files only: it brings in liblzma's header.
#pragma once

#include <lzma.h>

#include <cstdint>

namespace engine {

// The LZMA1 options for the stream of a container whose first 18 bytes are
// `header`, for a file listed with `size` bytes: the stated properties, the
// stated dictionary (at least 4 KiB, never larger than the listed size),
// exactly `size` bytes out. False when the bytes are no container of that
// size, or state a dictionary over kMaxDictionaryBytes (container.h).
bool ContainerStreamOptions(const std::uint8_t* header, std::int32_t size, lzma_options_lzma& options);

}  // namespace engine
