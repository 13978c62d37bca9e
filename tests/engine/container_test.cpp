#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/container.h"
#include "engine/container_stream.h"
#include "engine/digest.h"
#include "tests/support/temp_folder.h"
#include "tools/publish/packer.h"

namespace {

using engine::Unpack;

std::string Sample(std::size_t size) {
  std::string s;
  s.reserve(size);
  std::uint32_t x = 12345;
  while (s.size() < size) {
    x = x * 1103515245 + 12345;
    s.push_back(static_cast<char>("abcdefgh 0123\n"[(x >> 16) % 14]));
  }
  return s;
}

std::optional<std::string> UnpackText(const std::string& body, std::int32_t size) {
  auto out = Unpack(reinterpret_cast<const std::uint8_t*>(body.data()), static_cast<std::int32_t>(body.size()), size);
  if (!out) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out->data()), out->size());
}

TEST(ContainerTest, PlainOrPacked) {
  EXPECT_TRUE(engine::IsPlainBody(100, 100));
  EXPECT_TRUE(engine::IsPlainBody(0, 0));
  EXPECT_FALSE(engine::IsPlainBody(23, 0)) << "an empty file's container";
  EXPECT_FALSE(engine::IsPlainBody(99, 100));
  EXPECT_FALSE(engine::IsPlainBody(0, 1));
}

TEST(ContainerTest, UnpacksStreamsWithAndWithoutEndMarker) {
  for (std::size_t size : {0u, 1u, 4096u, 300000u}) {
    std::string data = Sample(size);
    for (bool endMarker : {false, true}) {
      auto packed = publish::PackContainer(data, {6, endMarker});
      ASSERT_TRUE(packed);
      EXPECT_EQ(UnpackText(*packed, static_cast<std::int32_t>(size)), data)
          << "size " << size << (endMarker ? " with" : " without") << " end marker";
    }
  }
}

// The body in pieces, as it comes off the network, gives what Unpack gives:
// every size of piece, with and without an end marker, and a body cut short
// by one byte is refused.
TEST(ContainerTest, DecodesABodyInPiecesAsUnpackDoes) {
  for (std::size_t size : {0u, 1u, 4096u, 300000u}) {
    std::string data = Sample(size);
    for (bool endMarker : {false, true}) {
      std::string packed = *publish::PackContainer(data, {6, endMarker});
      for (std::size_t piece : {1u, 3u, 7u, 4096u, 65536u}) {
        for (std::size_t cut : {0u, 1u}) {
          engine::ContainerDecoder decoder(static_cast<std::int32_t>(size));
          std::string out;
          auto collect = [&](const std::uint8_t* p, std::size_t n) {
            out.append(reinterpret_cast<const char*>(p), n);
            return true;
          };
          const auto* bytes = reinterpret_cast<const std::uint8_t*>(packed.data());
          std::size_t length = packed.size() - cut;
          bool fed = true;
          for (std::size_t at = 0; fed && at < length; at += piece)
            fed = decoder.Feed(bytes + at, std::min(piece, length - at), collect);
          bool done = fed && decoder.Finish(collect);
          SCOPED_TRACE("size " + std::to_string(size) + " piece " + std::to_string(piece) +
                       (endMarker ? " end marker" : "") + (cut ? " cut" : ""));
          EXPECT_EQ(done, !cut);
          if (!cut) {
            EXPECT_TRUE(out == data);
          }
        }
      }
    }
  }
}

TEST(ContainerTest, DamagedContainersFailCleanly) {
  const std::string data = Sample(200000);
  const std::string packed = *publish::PackContainer(data);
  const std::int32_t size = static_cast<std::int32_t>(data.size());

  auto with = [&](std::size_t offset, char value) {
    std::string c = packed;
    c[offset] = value;
    return c;
  };
  struct Case {
    std::string body;
    std::int32_t size;
    const char* why;
  } cases[] = {
      {packed, size + 1, "states another size than listed"},
      {packed, size - 1, "states another size than listed"},
      {with(14, 1), size, "high size bytes not zero"},
      {with(4, 'x'), size, "no zero after the magic"},
      {with(0, 'l'), size, "magic in lower case"},
      {with(5, static_cast<char>(225)), size, "properties byte 225"},
      {with(5, static_cast<char>(255)), size, "properties byte 255"},
      {with(5, static_cast<char>(4 + 9 * 1)), size, "lc + lp above 4"},
      {packed.substr(0, 17), size, "17 bytes: no complete header"},
      {packed.substr(0, 18), size, "header without stream"},
      {packed.substr(0, packed.size() / 2), size, "stream cut short"},
      {packed.substr(0, packed.size() - 1), size, "last byte missing"},
      {with(packed.size() / 2, static_cast<char>(packed[packed.size() / 2] ^ 0x55)), size, "damaged stream"},
      {"<html>404 Not Found</html>", size, "an error page"},
  };
  for (const Case& c : cases) {
    auto out = UnpackText(c.body, c.size);
    // A damaged stream may still decode to the right length by chance; it
    // must then differ from the original, which the digest check catches.
    if (out) {
      EXPECT_NE(*out, data) << c.why;
      EXPECT_EQ(out->size(), static_cast<std::size_t>(c.size)) << c.why;
    } else {
      SUCCEED();
    }
  }
  EXPECT_FALSE(UnpackText(with(14, 1), size)) << "high size bytes must fail before decoding";
  EXPECT_FALSE(UnpackText(packed.substr(0, 17), size));
  EXPECT_FALSE(UnpackText(packed.substr(0, packed.size() / 2), size));
  EXPECT_FALSE(UnpackText(with(5, static_cast<char>(225)), size));
  EXPECT_FALSE(UnpackText(packed, size + 1));
  EXPECT_FALSE(UnpackText(packed, -5)) << "a negative listed size";
}

// The dictionary size a container states: below 4 KiB it is read as 4 KiB,
// up to our bound it is taken (the decoder still needs no more than the
// file's size), above it the container is refused, whole or in pieces.
TEST(ContainerTest, StatedDictionarySize) {
  // No match reaches back further than 4 KiB in a file this short, so the
  // stream is whole with the smallest dictionary too.
  std::string data = Sample(4000);
  std::string packed = *publish::PackContainer(data);
  struct Case {
    std::uint32_t stated;
    bool taken;
  } cases[] = {{0, true}, {4095, true}, {engine::kMaxDictionaryBytes, true},
               {engine::kMaxDictionaryBytes + 1, false}, {0xFFFFFFFFu, false}};
  for (const Case& c : cases) {
    for (int i = 0; i < 4; ++i) packed[6 + i] = static_cast<char>(c.stated >> (8 * i));
    const auto size = static_cast<std::int32_t>(data.size());
    EXPECT_EQ(UnpackText(packed, size).has_value(), c.taken) << c.stated;
    engine::ContainerDecoder decoder(size);
    auto discard = [](const std::uint8_t*, std::size_t) { return true; };
    bool fed = decoder.Feed(reinterpret_cast<const std::uint8_t*>(packed.data()), packed.size(), discard);
    EXPECT_EQ(fed && decoder.Finish(discard), c.taken) << c.stated << " (in pieces)";
  }
}

TEST(DigestTest, KnownDigestsInUpperCase) {
  auto text = [](std::string s) {
    return engine::DigestText(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  EXPECT_EQ(text(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(text("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(text("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(text(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
  EXPECT_TRUE(engine::DigestsMatch("f96b697d7cb7938d525a2f31aaf161d0", text("message digest")));
  EXPECT_TRUE(engine::DigestsMatch("F96B697D7CB7938D525A2F31AAF161D0trailing", text("message digest")));
  EXPECT_FALSE(engine::DigestsMatch("F96B697D7CB7938D525A2F31AAF161D", text("message digest")));
  EXPECT_FALSE(engine::DigestsMatch(std::string("F96B697D7CB7938D525A2F31AAF161D\0", 32), text("message digest")));
  EXPECT_FALSE(engine::DigestsMatch("", ""));
}

TEST(DigestTest, FileDigest) {
  testsupport::TempFolder tmp;
  std::string big = Sample(3 * 1024 * 1024 + 17);  // crosses the read pieces
  testsupport::WriteFile(tmp / "big", big);
  EXPECT_EQ(engine::FileDigestText(tmp / "big"),
            engine::DigestText(reinterpret_cast<const std::uint8_t*>(big.data()), big.size()));
  testsupport::WriteFile(tmp / "empty", "");
  EXPECT_EQ(engine::FileDigestText(tmp / "empty"), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_FALSE(engine::FileDigestText(tmp / "missing"));
  EXPECT_FALSE(engine::FileDigestText(""));
  EXPECT_FALSE(engine::FileDigestText(tmp.path())) << "a folder has no digest";
}

}  // namespace
