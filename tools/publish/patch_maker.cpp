#include "tools/publish/patch_maker.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "engine/binary_patch.h"

#if HARBINOR_HAVE_DIVSUFSORT
#include <divsufsort.h>
#endif

namespace publish {
namespace {

using Bytes = std::span<const std::uint8_t>;

void Put64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void Put64(std::vector<std::uint8_t>& out, std::int64_t value) {
  auto u = static_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>((u >> (8 * i)) & 0xFF));
}

// One .xz stream (LZMA2, level 9, CRC32) with a dictionary no larger than
// the updater's decoder takes, nor than the bytes need.
std::optional<std::string> Pack(const std::vector<std::uint8_t>& bytes, std::uint32_t dictionaryBytes) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 9)) return std::nullopt;
  options.dict_size = static_cast<std::uint32_t>(
      std::clamp<std::size_t>(bytes.size(), LZMA_DICT_SIZE_MIN, dictionaryBytes));
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::string out(lzma_stream_buffer_bound(bytes.size()), '\0');
  std::size_t used = 0;
  if (lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC32, nullptr, bytes.data(), bytes.size(),
                                reinterpret_cast<std::uint8_t*>(out.data()), &used, out.size()) != LZMA_OK)
    return std::nullopt;
  out.resize(used);
  return out;
}

std::size_t MatchLength(Bytes a, Bytes b) {
  std::size_t n = std::min(a.size(), b.size()), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

#if HARBINOR_HAVE_DIVSUFSORT
// The longest match of the start of `wanted` in `old`, by binary search in
// its suffix array; its length, and where it starts in `pos`. Every suffix
// between the two bounds starts with as many bytes of `wanted` as the
// bound that shares fewer: each comparison starts after those.
std::size_t LongestMatch(const std::vector<saidx_t>& suffixes, Bytes old, Bytes wanted, std::size_t& pos) {
  std::size_t st = 0, en = suffixes.size() - 1;
  auto shared = [&](std::size_t index, std::size_t from) {
    std::size_t at = static_cast<std::size_t>(suffixes[index]) + from;
    return from + MatchLength(old.subspan(at), wanted.subspan(from));
  };
  std::size_t sharedSt = shared(st, 0), sharedEn = shared(en, 0);
  while (en - st >= 2) {
    std::size_t x = st + (en - st) / 2;
    std::size_t at = static_cast<std::size_t>(suffixes[x]);
    std::size_t n = shared(x, std::min(sharedSt, sharedEn));
    // Whether the suffix at x sorts before `wanted` (a suffix that is all
    // of a prefix of it, or the other way round, does not).
    if (n < std::min(old.size() - at, wanted.size()) && old[at + n] < wanted[n]) {
      st = x;
      sharedSt = n;
    } else {
      en = x;
      sharedEn = n;
    }
  }
  pos = static_cast<std::size_t>(sharedSt > sharedEn ? suffixes[st] : suffixes[en]);
  return std::max(sharedSt, sharedEn);
}
#endif

}  // namespace

std::optional<std::string> WritePatch(std::uint64_t newSize, const PatchStreams& streams,
                                      std::uint32_t dictionaryBytes) {
  std::string patch(engine::kPatchMagic);
  Put64(patch, newSize);
  std::string packed[3];
  const std::vector<std::uint8_t>* parts[3] = {&streams.control, &streams.difference, &streams.extra};
  for (int i = 0; i < 3; ++i) {
    auto stream = Pack(*parts[i], dictionaryBytes);
    if (!stream) return std::nullopt;
    packed[i] = std::move(*stream);
    Put64(patch, packed[i].size());
  }
  return patch + packed[0] + packed[1] + packed[2];
}

bool CanMakePatches() { return HARBINOR_HAVE_DIVSUFSORT != 0; }

std::optional<std::string> MakePatch(Bytes old, Bytes updated) {
#if HARBINOR_HAVE_DIVSUFSORT
  constexpr std::size_t kLimit = std::numeric_limits<saidx_t>::max();
  if (old.size() >= kLimit || updated.size() >= kLimit) return std::nullopt;
  PatchStreams streams;
  auto& [control, difference, extra] = streams;
  try {
    std::vector<saidx_t> suffixes(std::max<std::size_t>(old.size(), 1));
    if (!old.empty() && divsufsort(old.data(), suffixes.data(), static_cast<saidx_t>(old.size())) != 0)
      return std::nullopt;
    difference.reserve(updated.size());

    // Signed positions, as the scan's arithmetic compares sums that may be
    // negative.
    const auto oldSize = static_cast<std::int64_t>(old.size());
    const auto newSize = static_cast<std::int64_t>(updated.size());
    auto oldAt = [&](std::int64_t i) { return old[static_cast<std::size_t>(i)]; };
    auto newAt = [&](std::int64_t i) { return updated[static_cast<std::size_t>(i)]; };
    std::int64_t scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0, lastOffset = 0;
    while (scan < newSize) {
      std::int64_t oldScore = 0;
      std::int64_t scsc = scan += len;
      for (; scan < newSize; ++scan) {
        std::size_t found = 0;
        len = old.empty() ? 0
                          : static_cast<std::int64_t>(LongestMatch(
                                suffixes, old, updated.subspan(static_cast<std::size_t>(scan)), found));
        pos = static_cast<std::int64_t>(found);
        for (; scsc < scan + len; ++scsc)
          if (scsc + lastOffset < oldSize && oldAt(scsc + lastOffset) == newAt(scsc)) ++oldScore;
        if ((len == oldScore && len != 0) || len > oldScore + 8) break;
        if (scan + lastOffset < oldSize && oldAt(scan + lastOffset) == newAt(scan)) --oldScore;
      }
      if (len == oldScore && scan != newSize) continue;

      // How far the last match extends forward, and this one backward,
      // while at least half of the bytes agree.
      std::int64_t lenF = 0;
      for (std::int64_t i = 0, s = 0, best = 0; lastScan + i < scan && lastPos + i < oldSize;) {
        if (oldAt(lastPos + i) == newAt(lastScan + i)) ++s;
        ++i;
        if (s * 2 - i > best * 2 - lenF) {
          best = s;
          lenF = i;
        }
      }
      std::int64_t lenB = 0;
      if (scan < newSize) {
        for (std::int64_t i = 1, s = 0, best = 0; scan >= lastScan + i && pos >= i; ++i) {
          if (oldAt(pos - i) == newAt(scan - i)) ++s;
          if (s * 2 - i > best * 2 - lenB) {
            best = s;
            lenB = i;
          }
        }
      }
      if (lastScan + lenF > scan - lenB) {
        const std::int64_t overlap = (lastScan + lenF) - (scan - lenB);
        std::int64_t s = 0, best = 0, lenS = 0;
        for (std::int64_t i = 0; i < overlap; ++i) {
          if (newAt(lastScan + lenF - overlap + i) == oldAt(lastPos + lenF - overlap + i)) ++s;
          if (newAt(scan - lenB + i) == oldAt(pos - lenB + i)) --s;
          if (s > best) {
            best = s;
            lenS = i + 1;
          }
        }
        lenF += lenS - overlap;
        lenB -= lenS;
      }
      for (std::int64_t i = 0; i < lenF; ++i)
        difference.push_back(static_cast<std::uint8_t>(newAt(lastScan + i) - oldAt(lastPos + i)));
      const std::int64_t copy = (scan - lenB) - (lastScan + lenF);
      for (std::int64_t i = 0; i < copy; ++i) extra.push_back(newAt(lastScan + lenF + i));
      Put64(control, lenF);
      Put64(control, copy);
      Put64(control, (pos - lenB) - (lastPos + lenF));
      lastScan = scan - lenB;
      lastPos = pos - lenB;
      lastOffset = pos - scan;
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  return WritePatch(updated.size(), streams);
#else
  (void)old;
  (void)updated;
  return std::nullopt;
#endif
}

}  // namespace publish
