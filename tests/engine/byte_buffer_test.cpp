#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/byte_buffer.h"

namespace {

std::string Contents(const engine::ByteBuffer& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

TEST(ByteBufferTest, GrowsBySizePlusTheLargerOfSizeAndAppend) {
  engine::ByteBuffer b;
  EXPECT_EQ(b.capacity(), 0u);
  ASSERT_TRUE(b.Append("abc", 3));
  EXPECT_EQ(b.capacity(), 3u) << "a new buffer takes exactly what is appended";
  ASSERT_TRUE(b.Append("d", 1));
  EXPECT_EQ(b.capacity(), 6u);
  ASSERT_TRUE(b.Append("efghijklmn", 10));
  EXPECT_EQ(b.capacity(), 14u);
  ASSERT_TRUE(b.Append("o", 1));
  EXPECT_EQ(b.capacity(), 28u);
  EXPECT_EQ(Contents(b), "abcdefghijklmno");

  // Emptying keeps the storage for the next transfer.
  b.Clear();
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(b.capacity(), 28u);
  ASSERT_TRUE(b.Append("xyz", 3));
  EXPECT_EQ(Contents(b), "xyz");
  EXPECT_EQ(b.capacity(), 28u);
}

TEST(ByteBufferTest, ManySmallAppendsReallocateLogarithmically) {
  engine::ByteBuffer b;
  int reallocations = 0;
  std::size_t last = 0;
  std::string expected;
  for (int i = 0; i < 100000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(b.Append(&c, 1));
    expected.push_back(c);
    if (b.capacity() != last) {
      ++reallocations;
      last = b.capacity();
    }
  }
  EXPECT_EQ(Contents(b), expected);
  EXPECT_LE(reallocations, 18);
}

TEST(ByteBufferTest, ReserveTakesRoomOnce) {
  engine::ByteBuffer b;
  b.Append("ab", 2);
  ASSERT_TRUE(b.Reserve(5000));
  EXPECT_EQ(b.capacity(), 5000u);
  const std::uint8_t* storage = b.data();
  std::string chunk(1000, 'x');
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(b.Append(chunk.data(), chunk.size()));
  EXPECT_EQ(b.data(), storage) << "appends within the reservation must not move the bytes";
  EXPECT_EQ(Contents(b), "ab" + std::string(4000, 'x'));
  EXPECT_TRUE(b.Reserve(10)) << "a smaller reservation changes nothing";
  EXPECT_EQ(b.capacity(), 5000u);
}

TEST(ByteBufferTest, ZeroedAndSwap) {
  auto z = engine::ByteBuffer::Zeroed(5);
  ASSERT_EQ(z.size(), 5u);
  EXPECT_EQ(std::memcmp(z.data(), "\0\0\0\0\0", 5), 0);
  engine::ByteBuffer other;
  other.Append("hello", 5);
  const std::uint8_t* storage = other.data();
  z.Swap(other);
  EXPECT_EQ(Contents(z), "hello");
  EXPECT_EQ(z.data(), storage) << "swapping must not copy";
  EXPECT_EQ(other.size(), 5u);
  EXPECT_EQ(engine::ByteBuffer::Zeroed(0).size(), 0u);
  // An impossible size is a clean failure, not an exception.
  EXPECT_FALSE(z.Append("x", SIZE_MAX - 2));
  EXPECT_EQ(Contents(z), "hello");
}

}  // namespace
