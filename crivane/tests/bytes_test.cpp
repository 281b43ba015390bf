#include "crivane/storage/bytes.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

namespace crivane {
namespace {

TEST(ByteReader, ReadsLittleEndianFieldsInOrder) {
  const std::array<std::uint8_t, 11> raw = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34,
                                            0x12, 'a',  'b',  'c',  0xFF};
  ByteReader r{ByteSpan(raw)};
  EXPECT_EQ(r.read<std::uint8_t>(), 1);
  EXPECT_EQ(r.read<std::uint16_t>(), 0x1234);
  EXPECT_EQ(r.read<std::uint32_t>(), 0x12345678u);
  EXPECT_EQ(r.offset(), 7u);
  auto key = r.take(3);
  ASSERT_TRUE(key);
  EXPECT_EQ(std::string(key->begin(), key->end()), "abc");
  EXPECT_EQ(r.left(), 1u);
  EXPECT_FALSE(r.empty());
  EXPECT_TRUE(r.skip(1));
  EXPECT_TRUE(r.empty());
}

TEST(ByteReader, MissingBytesYieldNothingAndLeaveTheCursor) {
  const std::array<std::uint8_t, 3> raw = {1, 2, 3};
  ByteReader r{ByteSpan(raw)};
  ASSERT_TRUE(r.skip(1));
  EXPECT_FALSE(r.read<std::uint32_t>());
  EXPECT_FALSE(r.take(3));
  EXPECT_FALSE(r.skip(3));
  // An element count from the bytes whose product overflows is refused, not wrapped.
  EXPECT_FALSE(r.take_array(std::numeric_limits<std::uint64_t>::max() / 2 + 1, 2));
  EXPECT_FALSE(r.take_array(2, 2));
  EXPECT_EQ(r.offset(), 1u);
  EXPECT_EQ(r.read<std::uint16_t>(), 0x0302);
  EXPECT_TRUE(r.take(0));
  EXPECT_FALSE(r.read<std::uint8_t>());
}

TEST(ByteReader, ReadsAGroupOfFieldsWholeOrNotAtAll) {
  const std::array<std::uint8_t, 8> raw = {7, 0x78, 0x56, 0x34, 0x12, 0x34, 0x12, 9};
  ByteReader r{ByteSpan(raw)};
  const auto head = r.read_fields<std::uint8_t, std::uint32_t, std::uint16_t>();
  ASSERT_TRUE(head);
  const auto [a, b, c] = *head;
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 0x12345678u);
  EXPECT_EQ(c, 0x1234);
  EXPECT_EQ(r.offset(), 7u);
  // One byte is left: a two-byte group is refused and nothing is consumed.
  EXPECT_FALSE((r.read_fields<std::uint8_t, std::uint8_t>()));
  EXPECT_EQ(r.offset(), 7u);
  EXPECT_EQ(r.read<std::uint8_t>(), 9);
}

}  // namespace
}  // namespace crivane
