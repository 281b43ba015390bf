#include "crivane/storage/dtypes.hpp"

#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "support/expect.hpp"
#include "support/le_bytes.hpp"

namespace crivane::storage::dtypes {
namespace {

using crivane::testing::fails_with;
using crivane::testing::LeBytes;
using crivane::testing::succeeds;
using crivane::testing::to_vec;
using types::PropertyValue;
using types::Tensor;
using types::TensorData;
using Shape = std::vector<std::uint64_t>;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

PropertyValue tensor(TensorData t) { return PropertyValue(std::in_place_index<10>, std::move(t)); }

TEST(PropertyPayloadTest, EveryVariantEncodesUnderItsTag) {
  struct Case {
    const char* name;
    PropertyValue value;
    std::uint8_t tag;
    std::vector<std::uint8_t> payload;
  };
  const Case cases[] = {
      {"None", PropertyValue(), 13, {}},
      {"Float", PropertyValue(1.5), 0, LeBytes().f64(1.5).bytes()},
      {"Int", PropertyValue(std::int64_t{-2}), 1, LeBytes().i64(-2).bytes()},
      {"String", PropertyValue(std::string("h\xc3\xa9")), 2, {'h', 0xc3, 0xa9}},
      {"empty String", PropertyValue(std::string()), 2, {}},
      {"FloatArray", PropertyValue(std::vector<double>{1.0, -2.0}), 3,
       LeBytes().f64s({1.0, -2.0}).bytes()},
      {"Vec3Array", PropertyValue(std::vector<types::Vec3F32>{{1, 2, 3}, {4, 5, 6}}), 4,
       LeBytes().f32s({1, 2, 3, 4, 5, 6}).bytes()},
      {"IntArray", PropertyValue(std::vector<std::int64_t>{7, -8}), 5,
       LeBytes().i64(7).i64(-8).bytes()},
      {"Float32Array", PropertyValue(std::vector<float>{0.5f}), 6, LeBytes().f32(0.5f).bytes()},
      {"Vec3ArrayF64", PropertyValue(std::vector<types::Vec3F64>{{1, 2, 3}}), 7,
       LeBytes().f64s({1, 2, 3}).bytes()},
      {"Int32Array", PropertyValue(std::vector<std::int32_t>{-1, 2}), 8,
       LeBytes().i32(-1).i32(2).bytes()},
      {"F64 scalar tensor", tensor(Tensor<double>{{}, {2.5}}), 15,
       LeBytes().u8(0).f64(2.5).bytes()},
      {"I32 [2, 3] tensor", tensor(Tensor<std::int32_t>{{2, 3}, {1, 2, 3, 4, 5, 6}}), 16,
       LeBytes().u8(2).u32(2).u32(3).i32(1).i32(2).i32(3).i32(4).i32(5).i32(6).bytes()},
      {"F32 tensor with a zero dimension", tensor(Tensor<float>{{3, 0}, {}}), 14,
       LeBytes().u8(2).u32(3).u32(0).bytes()},
      {"I64 tensor", tensor(Tensor<std::int64_t>{{1}, {-5}}), 17,
       LeBytes().u8(1).u32(1).i64(-5).bytes()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(property_type_tag(c.value), c.tag);
    EXPECT_EQ(property_payload_size(c.value), c.payload.size());
    auto bytes = property_value_to_bytes(c.value);
    ASSERT_TRUE(succeeds(bytes));
    EXPECT_EQ(to_vec(*bytes), c.payload);
  }
  // The two byte strings of the edge cases, spelled out.
  EXPECT_EQ(property_value_to_bytes(tensor(Tensor<double>{{}, {2.5}}))->size(), 9u);
  EXPECT_EQ(
      property_value_to_bytes(tensor(Tensor<std::int32_t>{{2, 3}, {1, 2, 3, 4, 5, 6}}))->size(),
      33u);
}

TEST(TensorShapeTest, ValidateDataShape) {
  Shape rank256(256, kU32Max + 1);  // the rank is refused before any dimension
  struct Case {
    Shape shape;
    std::uint64_t values;
    const char* error;  // nullptr: valid
  };
  const Case cases[] = {
      {{}, 1, nullptr},
      {{2, 3}, 6, nullptr},
      {{4, 0, 7}, 0, nullptr},
      {Shape(255, 1), 1, nullptr},
      {rank256, 0, "Tensor rank 256 exceeds maximum 255"},
      {{2, kU32Max + 1}, 0, "Tensor dimensions must fit in u32 for storage"},
      {{kU32Max, kU32Max, kU32Max}, 0, "Tensor shape overflows usize"},
      {{2, 3}, 5, "Tensor shape [2, 3] expects 6 values, got 5"},
      {{}, 0, "Tensor shape [] expects 1 values, got 0"},
      {{0}, 1, "Tensor shape [0] expects 0 values, got 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.size() > 8 ? std::to_string(c.shape.size()) + " dimensions"
                                    : format_shape(c.shape));
    auto r = validate_tensor_data_shape(c.shape, c.values);
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
    } else {
      EXPECT_TRUE(succeeds(r));
    }
  }
}

TEST(TensorShapeTest, ValueCount) {
  EXPECT_EQ(*tensor_value_count(Shape{}), 1u);
  EXPECT_EQ(*tensor_value_count(Shape{2, 3, 4}), 24u);
  // A zero met first keeps the product at zero.
  EXPECT_EQ(*tensor_value_count(Shape{0, kU32Max, kU32Max, kU32Max}), 0u);
  EXPECT_TRUE(fails_with(tensor_value_count(Shape{1ull << 32, 1ull << 32}),
                         "Tensor shape overflows usize"));
}

TEST(TensorShapeTest, BadTensorGivesNoBytes) {
  auto r = property_value_to_bytes(tensor(Tensor<std::int32_t>{{2, 3}, {1, 2, 3, 4, 5}}));
  EXPECT_TRUE(fails_with(r, "Tensor shape [2, 3] expects 6 values, got 5"));
}

TEST(TensorShapeTest, FromPayload) {
  struct Case {
    const char* name;
    std::uint8_t tag;
    std::vector<std::uint8_t> payload;
    const char* error;  // nullptr: valid, with `shape`
    Shape shape;
  };
  const Case cases[] = {
      {"not a tensor tag", 13, {0}, "Type tag 13 is not a tensor", {}},
      {"tag above the table", 18, {0}, "Type tag 18 is not a tensor", {}},
      {"empty", 14, {}, "Tensor payload missing rank", {}},
      {"rank 2, one dimension",
       15,
       LeBytes().u8(2).u32(2).bytes(),
       "Tensor payload truncated at shape",
       {}},
      {"12 value bytes of f64",
       15,
       LeBytes().u8(1).u32(2).fill(12, 0).bytes(),
       "Tensor payload length 12 is not divisible by element size 8",
       {}},
      {"16 value bytes of f64", 15, LeBytes().u8(1).u32(2).f64s({1, 2}).bytes(), nullptr, {2}},
      {"24 value bytes of f64",
       15,
       LeBytes().u8(1).u32(2).f64s({1, 2, 3}).bytes(),
       "Tensor shape [2] expects 2 values, got 3",
       {}},
      {"rank 0, no value", 14, {0}, "Tensor shape [] expects 1 values, got 0", {}},
      {"rank 0, one i32", 16, LeBytes().u8(0).i32(9).bytes(), nullptr, {}},
      {"zero dimension", 17, LeBytes().u8(2).u32(5).u32(0).bytes(), nullptr, {5, 0}},
      {"6 value bytes of f32",
       14,
       LeBytes().u8(1).u32(1).fill(6, 0).bytes(),
       "Tensor payload length 6 is not divisible by element size 4",
       {}},
      {"overflowing shape",
       16,
       LeBytes().u8(3).u32(~0u).u32(~0u).u32(~0u).bytes(),
       "Tensor shape overflows usize",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = tensor_shape_from_payload(c.tag, ByteSpan(c.payload.data(), c.payload.size()));
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
    } else {
      ASSERT_TRUE(succeeds(r));
      EXPECT_EQ(r->shape, c.shape);
      EXPECT_EQ(r->value_offset, 1 + 4 * c.shape.size());
    }
  }
}

TEST(TensorShapeTest, PayloadRoundTrip) {
  const auto value = tensor(Tensor<float>{{2, 1, 2}, {1, 2, 3, 4}});
  auto bytes = property_value_to_bytes(value);
  ASSERT_TRUE(succeeds(bytes));
  auto parsed = tensor_shape_from_payload(14, as_span(*bytes));
  ASSERT_TRUE(succeeds(parsed));
  EXPECT_EQ(parsed->shape, (Shape{2, 1, 2}));
  EXPECT_EQ(parsed->value_offset, 13u);
  EXPECT_EQ(bytes::load_f32(bytes->data() + parsed->value_offset + 12), 4.0f);
}

TEST(BuiltinDtypeRuleTest, RecordFormats) {
  struct Case {
    std::uint32_t format;
    const char* key;
    std::uint8_t tag;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {2, "charges", 3, nullptr},
      {2, "charges", 6, "record format 2 does not support float32 charges"},
      {2, "cell", 10, nullptr},
      {2, "cell", 12, "record format 2 does not support float32 cell"},
      {2, "cell", 0, "record format 2 does not support float32 cell"},
      {2, "energy", 0, nullptr},
      {2, "energy", 11, "record format 2 does not support float32 energy"},
      {2, "forces", 4, nullptr},
      {2, "forces", 7, "record format 2 does not support float64 forces"},
      {2, "stress", 10, nullptr},
      {2, "stress", 12, "record format 2 does not support float32 stress"},
      {2, "velocities", 4, nullptr},
      {2, "velocities", 7, "record format 2 does not support float64 velocities"},
      {2, "name", 13, nullptr},
      {2, "pbc", 4, nullptr},
      {2, "Forces", 7, nullptr},  // exact key comparison
      {2, "custom", 200, nullptr},
      {3, "forces", 7, nullptr},
      {3, "charges", 255, nullptr},
      {1, "name", 2, "Unsupported record format 1"},
      {4, "forces", 4, "Unsupported record format 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " tag " + std::to_string(c.tag) + " format " +
                 std::to_string(c.format));
    auto r = validate_builtin_type_tag_for_record_format(c.format, c.key, c.tag);
    if (c.error) {
      EXPECT_TRUE(fails_with(r, c.error));
    } else {
      EXPECT_TRUE(succeeds(r));
    }
  }
}

TEST(FormatShapeTest, BracketsAndCommas) {
  EXPECT_EQ(format_shape(Shape{}), "[]");
  EXPECT_EQ(format_shape(Shape{7}), "[7]");
  EXPECT_EQ(format_shape(Shape{2, 3, 4294967295}), "[2, 3, 4294967295]");
}

}  // namespace
}  // namespace crivane::storage::dtypes
