#include "engine/binary_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "tools/publish/patch_maker.h"

namespace {

using engine::PatchOutcome;
using Bytes = std::vector<std::uint8_t>;

engine::PatchSource Source(const std::string& bytes) {
  return {[&bytes](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) -> std::int64_t {
            if (offset > bytes.size()) return -1;
            std::size_t n = std::min<std::size_t>(size, bytes.size() - offset);
            std::memcpy(buffer, bytes.data() + offset, n);
            return static_cast<std::int64_t>(n);
          },
          bytes.size()};
}

PatchOutcome Apply(const std::string& patch, const std::string& old, std::uint64_t newSize, std::string& out) {
  out.clear();
  return engine::ApplyPatch(Source(patch), Source(old), newSize, [&out](const std::uint8_t* data, std::size_t size) {
    out.append(reinterpret_cast<const char*>(data), size);
    return true;
  });
}

std::string Patch(const std::string& old, const std::string& updated) {
  auto patch = publish::MakePatch({reinterpret_cast<const std::uint8_t*>(old.data()), old.size()},
                                  {reinterpret_cast<const std::uint8_t*>(updated.data()), updated.size()});
  EXPECT_TRUE(patch.has_value());
  return patch.value_or("");
}

// Something like a program: repeated records with addresses that shift
// when code is inserted before them.
std::string Program(std::uint32_t seed, std::size_t records, std::uint32_t shift) {
  std::mt19937 random(seed);
  std::string out;
  for (std::size_t i = 0; i < records; ++i) {
    std::uint32_t address = static_cast<std::uint32_t>(i * 64 + (i > records / 3 ? shift : 0));
    out.append(reinterpret_cast<const char*>(&address), 4);
    for (int j = 0; j < 12; ++j) out.push_back(static_cast<char>("mov add jmp call"[(i + j) % 16]));
    if (random() % 50 == 0) out.push_back(static_cast<char>(random()));
  }
  return out;
}

std::string Random(std::uint32_t seed, std::size_t size) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

struct Pair {
  const char* name;
  std::string old, updated;
};

class PatchRoundTrip : public testing::TestWithParam<Pair> {};

TEST_P(PatchRoundTrip, GivesTheNewFileByteForByte) {
  const Pair& pair = GetParam();
  std::string patch = Patch(pair.old, pair.updated), out;
  ASSERT_EQ(Apply(patch, pair.old, pair.updated.size(), out), PatchOutcome::kApplied);
  EXPECT_TRUE(out == pair.updated);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PatchRoundTrip,
    testing::Values(Pair{"shifted_code", Program(1, 40000, 0), Program(1, 40000, 96) + "new tail"},
                    Pair{"from_nothing", "", Random(2, 70000)}, Pair{"to_nothing", Random(3, 5000), ""},
                    Pair{"same", Random(4, 300000), Random(4, 300000)},
                    Pair{"unrelated", Random(5, 20000), Random(6, 90000)},
                    Pair{"cut_and_moved", Random(7, 600000),
                         Random(7, 600000).substr(300000) + Random(8, 1000) + Random(7, 600000).substr(0, 250000)}),
    [](const testing::TestParamInfo<Pair>& p) { return std::string(p.param.name); });

TEST(PatchRoundTrip, IsSmallForASmallChange) {
  std::string old = Program(9, 60000, 0), updated = Program(9, 60000, 32);
  EXPECT_LT(Patch(old, updated).size(), updated.size() / 20);
}

// A hostile or damaged patch never gives bytes beyond the new size, never
// reads outside the old file, and is reported, never applied.
TEST(HostilePatch, IsRefused) {
  const std::string old = Program(11, 20000, 0), updated = Program(11, 20000, 64);
  const std::string good = Patch(old, updated);
  auto step = [](std::uint64_t add, std::int64_t copy, std::int64_t seek) {
    Bytes out;
    for (std::int64_t v : {static_cast<std::int64_t>(add), copy, seek})
      for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i)));
    return out;
  };
  auto made = [&](std::uint64_t newSize, Bytes control, Bytes difference, Bytes extra,
                  std::uint32_t dictionary = engine::kPatchDictionaryBytes) {
    return publish::WritePatch(newSize, {std::move(control), std::move(difference), std::move(extra)}, dictionary)
        .value();
  };
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x20;
  std::string longer = good;
  longer.push_back('x');
  struct Case {
    const char* what;
    std::string patch;
    std::uint64_t newSize;
  };
  const Case cases[] = {
      {"cut short", good.substr(0, good.size() - 1), updated.size()},
      {"only a header", good.substr(0, engine::kPatchHeaderSize), updated.size()},
      {"a byte changed", flipped, updated.size()},
      {"a byte more", longer, updated.size()},
      {"another new size", good, updated.size() + 1},
      {"not a patch", updated, updated.size()},
      {"adds past the old file", made(old.size() + 1, step(old.size() + 1, 0, 0), Bytes(old.size() + 1), {}),
       old.size() + 1},
      {"writes past the new size", made(100, step(50, 60, 0), Bytes(50), Bytes(60)), 100},
      {"a huge copy", made(100, step(0, INT64_MAX, 0), {}, Bytes(100)), 100},
      {"seeks before the old file", made(100, step(10, 0, -11), Bytes(10), {}), 100},
      {"seeks past the old file", made(100, step(0, 0, INT64_MAX), {}, {}), 100},
      {"too few difference bytes", made(100, step(100, 0, 0), Bytes(99), {}), 100},
      {"difference bytes left over", made(100, step(0, 100, 0), Bytes(1), Bytes(100)), 100},
      {"steps left over", made(10, [&] {
         Bytes c = step(0, 10, 0), d = step(0, 0, 0);
         c.insert(c.end(), d.begin(), d.end());
         return c;
       }(), {}, Bytes(10)), 10},
      {"too few steps", made(100, step(0, 50, 0), {}, Bytes(100)), 100},
      {"asks for a larger dictionary", made(9u << 20, step(0, 9u << 20, 0), {}, Bytes(9u << 20), 64u << 20), 9u << 20},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Apply(c.patch, old, c.newSize, out), PatchOutcome::kMalformed) << c.what;
    EXPECT_LE(out.size(), c.newSize) << c.what;
  }
  // The crafted ones are sound apart from their fault.
  std::string out;
  EXPECT_EQ(Apply(made(100, step(10, 90, 5), Bytes(10), Bytes(90)), old, 100, out), PatchOutcome::kApplied);
}

}  // namespace
