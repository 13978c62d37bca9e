// Binary patches: the bytes that turn one version of a file into the next.
// A release may offer, beside a changed file, one patch per earlier version
// of it; an updater whose installed file is that earlier version fetches
// the patch instead of the file and builds the new file from the installed
// one (engine/download_worker.cpp), and falls back to the whole file when
// anything about the patch is wrong.
//
// The format follows bsdiff's idea: the new file is a sequence of steps,
// each "add" (bytes of the old file plus difference bytes, which are mostly
// zero where code merely moved) then "copy" (extra bytes that are new), then
// a seek in the old file. All numbers little-endian:
//
//   "HBPATCH1"                                8 bytes
//   new size, control, difference and extra stream lengths: 4 x 64-bit
//   control stream     .xz: steps of three signed 64-bit numbers
//                      (add length, copy length, old file seek)
//   difference stream  .xz: the difference bytes of every add, in order
//   extra stream       .xz: the bytes of every copy, in order
//
// Applying is bounded whatever the patch says: the new size must be the
// one the list gives (refused before anything is allocated), every step is
// checked against the old and the new size before it is used, each .xz
// decoder may use at most kPatchDecoderMemory (a stream that asks for a
// larger dictionary is refused), and the old file is read piece by piece
// where the steps point, never held whole. Peak memory of one apply is the
// three decoders (their dictionaries, at most 8 MiB each, are the format's
// window) and a few fixed pieces: under 30 MiB, which a patch cannot raise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace engine {

inline constexpr std::string_view kPatchMagic = "HBPATCH1";
inline constexpr std::size_t kPatchHeaderSize = 40;
// The dictionary a patch stream is written with at most, and what one
// stream's decoder may use (the dictionary and the decoder's own state).
inline constexpr std::uint32_t kPatchDictionaryBytes = 8u << 20;
inline constexpr std::uint64_t kPatchDecoderMemory = kPatchDictionaryBytes + (1u << 20);
// Bytes of one control step.
inline constexpr std::size_t kPatchStepSize = 24;

// Reads up to `size` bytes at `offset`; the count read (less only at the
// end) or -1 on an error.
using ReadAt = std::function<std::int64_t(std::uint64_t offset, std::uint8_t* buffer, std::size_t size)>;

struct PatchSource {
  ReadAt read;
  std::uint64_t size = 0;
  // All `size` bytes in memory (a mapped file), when they are: read then
  // in place.
  const std::uint8_t* memory = nullptr;
};

enum class PatchOutcome {
  kApplied,
  kMalformed,   // not a patch, another new size, a step out of bounds, a damaged or cut stream
  kReadFailed,  // the old file or the patch could not be read
  kRefused,     // the output said no
  kStopped,     // `keepGoing` said no
};

// Builds the new file of `newSize` bytes from `old` and `patch`, handing it
// to `out` piece by piece in order. `keepGoing` is asked before every piece
// (a stop, a hold waited out). Applied means every byte of the new file
// went out and every stream of the patch was used up exactly.
PatchOutcome ApplyPatch(const PatchSource& patch, const PatchSource& old, std::uint64_t newSize,
                        const std::function<bool(const std::uint8_t* data, std::size_t size)>& out,
                        const std::function<bool()>& keepGoing = {});
// The same with the patch and the old file read from the disk; kReadFailed
// also when either cannot be opened.
PatchOutcome ApplyPatchFiles(const std::string& patchPath, const std::string& oldPath, std::uint64_t newSize,
                             const std::function<bool(const std::uint8_t* data, std::size_t size)>& out,
                             const std::function<bool()>& keepGoing = {});

}  // namespace engine
