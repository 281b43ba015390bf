#include "record/reader.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/le_bytes.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::testing::LeBytes;

// One atom, then the sections "ab" (kind 2, tag 0, 8 bytes) and "c" (kind 1,
// tag 13, empty).
std::vector<std::uint8_t> two_sections() {
  return LeBytes()
      .u32(1)
      .f32s({1, 2, 3})
      .u8(8)
      .u16(2)
      .section(2, "ab", 0, LeBytes().f64(1.5).bytes())
      .section(1, "c", 13, {})
      .bytes();
}

// Reads head and sections; the failure of the first read that fails.
std::optional<RecordFailure> read_all(ByteSpan record, std::size_t row,
                                      RecordReader::Keys keys = RecordReader::Keys::Unchecked) {
  RecordReader r(record, keys);
  RecordHead head;
  if (!r.read_head(row, head)) return r.failure();
  RecordSection s;
  for (std::size_t i = 0; i < head.section_count; ++i) {
    if (!r.read_section(s)) return r.failure();
  }
  return std::nullopt;
}

TEST(RecordReader, ReadsHeadAndSectionsInPlace) {
  const auto bytes = two_sections();
  const ByteSpan record(bytes.data(), bytes.size());
  RecordReader r(record);
  RecordHead head;
  ASSERT_TRUE(r.read_head(12, head));
  EXPECT_EQ(head.n_atoms, 1u);
  EXPECT_EQ(r.offset_of(head.positions), 4u);
  EXPECT_EQ(head.positions.size(), 12u);
  EXPECT_EQ(r.offset_of(head.atomic_numbers), 16u);
  EXPECT_EQ(head.section_count, 2);
  RecordSection s;
  ASSERT_TRUE(r.read_section(s));
  EXPECT_EQ(s.kind, 2);
  EXPECT_EQ(s.type_tag, 0);
  EXPECT_EQ(std::string(s.key.begin(), s.key.end()), "ab");
  EXPECT_EQ(r.offset_of(s.key), 21u);
  EXPECT_EQ(r.offset_of(s.payload), 28u);
  EXPECT_EQ(s.payload.size(), 8u);
  ASSERT_TRUE(r.read_section(s));
  EXPECT_EQ(s.kind, 1);
  EXPECT_EQ(s.type_tag, 13);
  EXPECT_TRUE(s.payload.empty());
  EXPECT_EQ(r.left(), 0u);
}

// A record cut inside each field fails at that field, and a section's
// failure tells how many bytes its section had.
TEST(RecordReader, NamesTheFieldWhereTheRecordEnds) {
  const auto bytes = two_sections();
  struct Case {
    std::size_t length;
    RecordField field;
    std::size_t section_bytes;
  };
  const Case cases[] = {
      {0, RecordField::AtomCount, 0},     {3, RecordField::AtomCount, 0},
      {15, RecordField::Positions, 0},    {16, RecordField::AtomicNumbers, 0},
      {18, RecordField::SectionCount, 0}, {19, RecordField::Kind, 0},
      {20, RecordField::KeyLength, 1},    {22, RecordField::Key, 3},
      {23, RecordField::TypeTag, 4},      {27, RecordField::PayloadLength, 8},
      {35, RecordField::Payload, 16},     {36, RecordField::Kind, 0},
      {38, RecordField::Key, 2},          {42, RecordField::PayloadLength, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const auto failure = read_all(ByteSpan(bytes.data(), c.length), 12);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, (RecordFailure{c.field, RecordProblem::Missing, c.section_bytes}));
  }
  EXPECT_FALSE(read_all(ByteSpan(bytes.data(), bytes.size()), 12).has_value());
}

TEST(RecordReader, SizesThatOverflowAndKeysThatAreNotText) {
  // Rows of SIZE_MAX bytes: the block's size overflows; rows of SIZE_MAX / 2
  // bytes for 2 atoms fit, but not the offset of their end.
  const auto two_atoms = LeBytes().u32(2).fill(30, 0).bytes();
  const ByteSpan record(two_atoms.data(), two_atoms.size());
  EXPECT_EQ(read_all(record, SIZE_MAX),
            (RecordFailure{RecordField::Positions, RecordProblem::SizeOverflow, 0}));
  EXPECT_EQ(read_all(record, SIZE_MAX / 2),
            (RecordFailure{RecordField::Positions, RecordProblem::EndOverflow, 0}));

  const auto bad_key = LeBytes().u32(0).u16(1).section(2, "\xff", 13, {}).bytes();
  const ByteSpan bad(bad_key.data(), bad_key.size());
  EXPECT_FALSE(read_all(bad, 12).has_value());
  EXPECT_EQ(read_all(bad, 12, RecordReader::Keys::Utf8),
            (RecordFailure{RecordField::Key, RecordProblem::InvalidUtf8, 8}));
}

}  // namespace
}  // namespace crivane::storage::soa
