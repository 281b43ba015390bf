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

// Type tags (u8). Tags above kMaxTypeTag are undefined.
namespace tag {
inline constexpr std::uint8_t kF64 = 0;       // one f64
inline constexpr std::uint8_t kI64 = 1;       // one i64
inline constexpr std::uint8_t kString = 2;    // UTF-8 bytes
inline constexpr std::uint8_t kF64Array = 3;  // n x f64
inline constexpr std::uint8_t kVec3F32 = 4;   // n x 3 f32
inline constexpr std::uint8_t kI64Array = 5;  // n x i64
inline constexpr std::uint8_t kF32Array = 6;  // n x f32
inline constexpr std::uint8_t kVec3F64 = 7;   // n x 3 f64
inline constexpr std::uint8_t kI32Array = 8;  // n x i32
inline constexpr std::uint8_t kBool3 = 9;     // 3 bytes, 0 or 1
inline constexpr std::uint8_t kMat3F64 = 10;  // 9 x f64, row-major
inline constexpr std::uint8_t kF32 = 11;      // one f32
inline constexpr std::uint8_t kMat3F32 = 12;  // 9 x f32, row-major
inline constexpr std::uint8_t kNone = 13;     // empty
inline constexpr std::uint8_t kTensorF32 = 14;
inline constexpr std::uint8_t kTensorF64 = 15;
inline constexpr std::uint8_t kTensorI32 = 16;
inline constexpr std::uint8_t kTensorI64 = 17;
}  // namespace tag

inline constexpr std::uint8_t kMaxTypeTag = tag::kTensorI64;
inline constexpr std::size_t kMaxTensorRank = 255;

// Element size in bytes by tag; 0 marks a variable-length payload.
inline constexpr std::array<std::size_t, kMaxTypeTag + 1> kElementSizes = {
    8, 8, 0, 8, 12, 8, 4, 24, 4, 3, 72, 4, 36, 0, 4, 8, 4, 8};

constexpr bool is_known_type_tag(std::uint8_t t) { return t <= kMaxTypeTag; }
constexpr bool is_tensor_tag(std::uint8_t t) {
  return t >= tag::kTensorF32 && t <= tag::kTensorI64;
}
// Tags whose payload is a run of fixed-size elements: all up to kMat3F32 but text.
constexpr bool is_fixed_size_tag(std::uint8_t t) { return t <= tag::kMat3F32 && t != tag::kString; }
// Precondition: is_known_type_tag(t).
constexpr std::size_t element_size(std::uint8_t t) { return kElementSizes[t]; }

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
