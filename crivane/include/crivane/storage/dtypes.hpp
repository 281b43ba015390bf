// Type tags of record sections, their element sizes and value payloads, the
// tensor payload and the builtin dtype rules of record format 2.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/types.hpp"

namespace crivane::storage::dtypes {

// Type tags (u8). Tags above MAX_TYPE_TAG are undefined.
namespace tag {
inline constexpr std::uint8_t F64 = 0;        // one f64
inline constexpr std::uint8_t I64 = 1;        // one i64
inline constexpr std::uint8_t STRING = 2;     // UTF-8 bytes
inline constexpr std::uint8_t F64_ARRAY = 3;  // n x f64
inline constexpr std::uint8_t VEC3_F32 = 4;   // n x 3 f32
inline constexpr std::uint8_t I64_ARRAY = 5;  // n x i64
inline constexpr std::uint8_t F32_ARRAY = 6;  // n x f32
inline constexpr std::uint8_t VEC3_F64 = 7;   // n x 3 f64
inline constexpr std::uint8_t I32_ARRAY = 8;  // n x i32
inline constexpr std::uint8_t BOOL3 = 9;      // 3 bytes, 0 or 1
inline constexpr std::uint8_t MAT3_F64 = 10;  // 9 x f64, row-major
inline constexpr std::uint8_t F32 = 11;       // one f32
inline constexpr std::uint8_t MAT3_F32 = 12;  // 9 x f32, row-major
inline constexpr std::uint8_t NONE = 13;      // empty
inline constexpr std::uint8_t TENSOR_F32 = 14;
inline constexpr std::uint8_t TENSOR_F64 = 15;
inline constexpr std::uint8_t TENSOR_I32 = 16;
inline constexpr std::uint8_t TENSOR_I64 = 17;
}  // namespace tag

inline constexpr std::uint8_t MAX_TYPE_TAG = tag::TENSOR_I64;
inline constexpr std::size_t MAX_TENSOR_RANK = 255;

// Element size in bytes by tag; 0 marks a variable-length payload.
inline constexpr std::array<std::size_t, MAX_TYPE_TAG + 1> ELEMENT_SIZES = {
    8, 8, 0, 8, 12, 8, 4, 24, 4, 3, 72, 4, 36, 0, 4, 8, 4, 8};

constexpr bool is_known_type_tag(std::uint8_t t) { return t <= MAX_TYPE_TAG; }
constexpr bool is_tensor_tag(std::uint8_t t) {
  return t >= tag::TENSOR_F32 && t <= tag::TENSOR_I64;
}
// Tags whose payload is a run of fixed-size elements: all up to MAT3_F32 but text.
constexpr bool is_fixed_size_tag(std::uint8_t t) { return t <= tag::MAT3_F32 && t != tag::STRING; }
// Precondition: is_known_type_tag(t).
constexpr std::size_t element_size(std::uint8_t t) { return ELEMENT_SIZES[t]; }

// The tag a custom property value is stored under.
std::uint8_t property_type_tag(const types::PropertyValue& value);

// The payload length of a value, computed without encoding it. For a tensor
// this is 1 + 4 * rank + values * element size, whether or not its shape and
// values agree.
std::uint64_t property_payload_size(const types::PropertyValue& value);

// Writes the payload of a value to `out`, exactly property_payload_size(value)
// bytes. Precondition: a tensor's shape has passed validate_tensor_data_shape.
void write_property_payload(std::uint8_t* out, const types::PropertyValue& value);

// The payload bytes of a value; fails only for a tensor whose shape and values
// disagree (validate_tensor_data_shape's error).
Result<Bytes> property_value_to_bytes(const types::PropertyValue& value);

// The product of the dimensions (1 for rank 0); fails on 64-bit overflow.
Result<std::uint64_t> tensor_value_count(std::span<const std::uint64_t> shape);

// Checks that a shape is storable and holds exactly `value_count` values.
Result<void> validate_tensor_data_shape(std::span<const std::uint64_t> shape,
                                        std::uint64_t value_count);

struct TensorPayloadShape {
  std::vector<std::uint64_t> shape;
  std::size_t value_offset;  // 1 + 4 * rank
  friend bool operator==(const TensorPayloadShape&, const TensorPayloadShape&) = default;
};

// Parses and checks the head of a stored tensor payload against its length.
Result<TensorPayloadShape> tensor_shape_from_payload(std::uint8_t type_tag, ByteSpan payload);

// Refuses builtin sections whose dtype the record format cannot hold.
Result<void> validate_builtin_type_tag_for_record_format(std::uint32_t record_format,
                                                         std::string_view key,
                                                         std::uint8_t type_tag);

// "[2, 3]": the shape form used in every message.
std::string format_shape(std::span<const std::uint64_t> shape);

}  // namespace crivane::storage::dtypes
