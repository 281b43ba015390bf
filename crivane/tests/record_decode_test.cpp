// The checks the array getters and get_property make on a view's sections
// before any byte is copied out of the record.
#include "crivane/record/decode.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/le_bytes.hpp"

namespace crivane::storage::soa {
namespace {

using crivane::testing::LeBytes;

// A view of two float32 atoms with one builtin section.
SoaMoleculeView two_atoms_with(std::string_view key, std::uint8_t tag, std::size_t payload_len) {
  std::vector<std::uint8_t> payload(payload_len);
  for (std::size_t i = 0; i < payload_len; ++i) payload[i] = static_cast<std::uint8_t>(i);
  const auto bytes = LeBytes()
                         .u32(2)
                         .fill(24, 0)
                         .u8(1)
                         .u8(6)
                         .u16(1)
                         .section(SectionKind::Builtin, key, tag, payload)
                         .bytes();
  auto view = SoaMoleculeView::from_storage(SoaBytes(Bytes(bytes.begin(), bytes.end())), 12,
                                            dtypes::tag::kVec3F32);
  EXPECT_TRUE(view.has_value());
  return std::move(view).value();
}

TEST(BuiltinArrayValues, TagAndLengthMustFitTheField) {
  using Read =
      Result<PayloadValues> (*)(const SoaMoleculeView&, const BuiltinSlot&, std::string_view);
  struct Case {
    const char* key;
    Read read;
    std::uint8_t tag;
    std::size_t payload_len;
    std::optional<ElementType> type;  // none: "Invalid {} section"
  };
  const Case cases[] = {
      {"forces", &builtin_vec3_values, 4, 24, ElementType::F32},
      {"forces", &builtin_vec3_values, 7, 48, ElementType::F64},
      {"forces", &builtin_vec3_values, 4, 48, std::nullopt},
      {"forces", &builtin_vec3_values, 3, 16, std::nullopt},
      {"cell", &builtin_mat3_values, 12, 36, ElementType::F32},
      {"cell", &builtin_mat3_values, 10, 72, ElementType::F64},
      {"cell", &builtin_mat3_values, 10, 36, std::nullopt},
      {"charges", &builtin_float_array_values, 6, 8, ElementType::F32},
      {"charges", &builtin_float_array_values, 3, 16, ElementType::F64},
      {"charges", &builtin_float_array_values, 5, 16, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " tag " + std::to_string(c.tag));
    const SoaMoleculeView view = two_atoms_with(c.key, c.tag, c.payload_len);
    const BuiltinSlot& slot = *view.builtin_slot(*find_builtin_key(c.key));
    auto values = c.read(view, slot, c.key);
    if (!c.type) {
      ASSERT_FALSE(values.has_value());
      EXPECT_EQ(values.error(), Error::decode("Invalid " + std::string(c.key) + " section"));
      continue;
    }
    ASSERT_TRUE(values.has_value()) << values.error().debug();
    EXPECT_EQ(values->type, *c.type);
    // The payload in place, whole.
    EXPECT_EQ(values->bytes.data(), view.record().data() + slot.payload_offset);
    EXPECT_EQ(values->bytes.size(), slot.payload_len);
  }
}

TEST(BuiltinArrayValues, PositionsAreMeasuredByElementOnly) {
  const std::vector<std::uint8_t> bytes(20);
  auto f64 = vec3_payload_values(ByteSpan(bytes.data(), 16), dtypes::tag::kVec3F64, "positions");
  ASSERT_TRUE(f64.has_value());
  EXPECT_EQ(f64->count(), 2u);
  EXPECT_EQ(
      vec3_payload_values(ByteSpan(bytes.data(), 20), dtypes::tag::kVec3F64, "positions").error(),
      Error::decode("Byte length 20 is not a multiple of element size 8"));
  EXPECT_EQ(vec3_payload_values(ByteSpan(bytes.data(), 12), 9, "positions").error(),
            Error::decode("Invalid positions section"));
}

TEST(PropertySectionPayload, EachTagChecksItsPayload) {
  struct Case {
    std::uint8_t tag;
    std::vector<std::uint8_t> payload;
    std::optional<PropertyPayload::Kind> kind;
    std::string error;  // display text when kind is none
  };
  const std::vector<std::uint8_t> twelve(12);
  const Case cases[] = {
      {0, LeBytes().f64(2.5).bytes(), PropertyPayload::Kind::Float, ""},
      {0, twelve, std::nullopt, "Invalid f64 payload length"},
      {1, twelve, std::nullopt, "Invalid i64 payload length"},
      {2, {0xC3, 0xA9}, PropertyPayload::Kind::String, ""},
      {2, {0xC3}, std::nullopt, "Invalid UTF-8 in string property"},
      // Arrays by element, 3-vectors by row.
      {3, twelve, std::nullopt, "Byte length 12 is not a multiple of element size 8"},
      {8, twelve, PropertyPayload::Kind::Array, ""},
      {4, twelve, PropertyPayload::Kind::Vec3Rows, ""},
      {7, twelve, std::nullopt, "Invalid vec3<f64> payload length"},
      {13, {}, PropertyPayload::Kind::None, ""},
      {13, {0}, std::nullopt, "Null property payload must be empty"},
      // Tensors are left to decode_property_value.
      {14, {2}, PropertyPayload::Kind::Tensor, ""},
      {9, {1, 0, 1}, std::nullopt, "Unsupported property type tag 9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.tag));
    auto payload = property_section_payload(c.tag, ByteSpan(c.payload.data(), c.payload.size()));
    if (!c.kind) {
      ASSERT_FALSE(payload.has_value());
      EXPECT_EQ(payload.error().to_string(), c.error);
      continue;
    }
    ASSERT_TRUE(payload.has_value()) << payload.error().debug();
    EXPECT_EQ(payload->kind, *c.kind);
  }
  const Bytes two_and_a_half{0, 0, 0, 0, 0, 0, 0x04, 0x40};
  EXPECT_EQ(property_section_payload(0, as_span(two_and_a_half))->float_value, 2.5);
  // Text is read in place.
  const Bytes hi{'h', 'i'};
  EXPECT_EQ(property_section_payload(2, as_span(hi))->text.data(),
            reinterpret_cast<const char*>(hi.data()));
}

}  // namespace
}  // namespace crivane::storage::soa
