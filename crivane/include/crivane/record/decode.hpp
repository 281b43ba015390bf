// Decoders of stored section payloads: into owned values of the data model,
// and into checked runs of values that a caller copies out of the record
// once (the extension module's array getters). A payload that does not fit its type
// tag is an Error::decode with the decoder's own text; a tensor header error
// keeps its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crivane/error.hpp"
#include "crivane/record/view.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/utf8.hpp"
#include "crivane/types.hpp"

namespace crivane::storage::soa {

// The element types of numeric section payloads.
enum class ElementType : std::uint8_t { F32, F64, I32, I64 };

constexpr std::size_t element_bytes(ElementType type) {
  return type == ElementType::F32 || type == ElementType::I32 ? 4 : 8;
}

// A whole number of little-endian values of one element type, in place in
// record bytes, at any alignment. The host is little-endian like the
// records: a caller copies the bytes once, as they are, into an array of the
// element type.
struct PayloadValues {
  ElementType type;
  ByteSpan bytes;

  std::size_t count() const { return bytes.size() / element_bytes(type); }
};

// The failures of the array reads below, built out of line.
Error invalid_section_error(std::string_view field);
Error element_length_error(std::size_t length, std::size_t element_size);

// The payload as values of `type`, which it must hold whole: "Byte length {}
// is not a multiple of element size {}".
inline Result<PayloadValues> payload_values(ElementType type, ByteSpan payload) {
  if (payload.size() % element_bytes(type) != 0) {
    return unexpected(element_length_error(payload.size(), element_bytes(type)));
  }
  return PayloadValues{type, payload};
}

// The values of a 3-vector payload (kVec3F32 or kVec3F64; "Invalid {}
// section" with `field` for another tag), which must be whole elements. Its
// length is not compared with an atom count.
inline Result<PayloadValues> vec3_payload_values(ByteSpan payload, std::uint8_t type_tag,
                                                 std::string_view field) {
  switch (type_tag) {
    case dtypes::tag::kVec3F32:
      return payload_values(ElementType::F32, payload);
    case dtypes::tag::kVec3F64:
      return payload_values(ElementType::F64, payload);
    default:
      return unexpected(invalid_section_error(field));
  }
}

// A builtin slot of a view, its tag and length checked against the field's
// layout and the view's atom count n before any byte is read: "Invalid {}
// section" with `field` otherwise. Inline: the array getters call these for
// every molecule they read.
//
// kVec3F32 with n x 12 bytes or kVec3F64 with n x 24: 3n values.
inline Result<PayloadValues> builtin_vec3_values(const SoaMoleculeView& view,
                                                 const BuiltinSlot& slot, std::string_view field) {
  // A 3-vector row has the size of a positions row of the same dtype; 0 for
  // any other tag. n is a u32 count, so n * row cannot overflow.
  const std::size_t row = positions_row_bytes(slot.type_tag);
  if (row == 0 || slot.payload_len != view.n_atoms() * row) {
    return unexpected(invalid_section_error(field));
  }
  CRIVANE_ASSIGN_OR_RETURN(const ByteSpan payload, view.builtin_payload(slot));
  return vec3_payload_values(payload, slot.type_tag, field);
}

// kMat3F32 with 36 bytes or kMat3F64 with 72: nine values, row-major.
inline Result<PayloadValues> builtin_mat3_values(const SoaMoleculeView& view,
                                                 const BuiltinSlot& slot, std::string_view field) {
  const bool f32 = slot.type_tag == dtypes::tag::kMat3F32 &&
                   slot.payload_len == dtypes::element_size(dtypes::tag::kMat3F32);
  const bool f64 = slot.type_tag == dtypes::tag::kMat3F64 &&
                   slot.payload_len == dtypes::element_size(dtypes::tag::kMat3F64);
  if (!f32 && !f64) return unexpected(invalid_section_error(field));
  CRIVANE_ASSIGN_OR_RETURN(const ByteSpan payload, view.builtin_payload(slot));
  return PayloadValues{f32 ? ElementType::F32 : ElementType::F64, payload};
}

// kF32Array with n x 4 bytes or kF64Array with n x 8: n values.
inline Result<PayloadValues> builtin_float_array_values(const SoaMoleculeView& view,
                                                        const BuiltinSlot& slot,
                                                        std::string_view field) {
  const std::size_t n = view.n_atoms();
  const bool f32 = slot.type_tag == dtypes::tag::kF32Array && slot.payload_len == n * 4;
  const bool f64 = slot.type_tag == dtypes::tag::kF64Array && slot.payload_len == n * 8;
  if (!f32 && !f64) return unexpected(invalid_section_error(field));
  CRIVANE_ASSIGN_OR_RETURN(const ByteSpan payload, view.builtin_payload(slot));
  return PayloadValues{f32 ? ElementType::F32 : ElementType::F64, payload};
}

// One custom section's payload, checked for reading out one value: a scalar
// or text in place, numeric arrays as values, 3-vectors as rows of three.
// Unlike decode_property_value it measures arrays by element only ("Byte
// length {} is not a multiple of element size {}") and 3-vectors by row
// ("Invalid vec3<f32> payload length"). Tensor payloads are not looked at:
// decode_property_value reads them.
struct PropertyPayload {
  enum class Kind : std::uint8_t { None, Float, Int, String, Array, Vec3Rows, Tensor };

  Kind kind = Kind::None;
  double float_value = 0;
  std::int64_t int_value = 0;
  std::string_view text;   // String: checked UTF-8, in place
  PayloadValues values{};  // Array and Vec3Rows
};

// The failure of property_section_payload for a tag and payload it refuses.
Error property_payload_error(std::uint8_t type_tag, ByteSpan payload);

// Inline: get_property and the ASE payload call it for every property read.
inline Result<PropertyPayload> property_section_payload(std::uint8_t type_tag, ByteSpan payload) {
  namespace tag = dtypes::tag;
  using Kind = PropertyPayload::Kind;
  PropertyPayload out;
  const std::size_t n = payload.size();
  switch (type_tag) {
    case tag::kF64:
      if (n != sizeof(double)) break;
      out.kind = Kind::Float;
      out.float_value = bytes::load_f64(payload.data());
      return out;
    case tag::kI64:
      if (n != sizeof(std::int64_t)) break;
      out.kind = Kind::Int;
      out.int_value = bytes::load_i64(payload.data());
      return out;
    case tag::kString:
      out.text = std::string_view(reinterpret_cast<const char*>(payload.data()), n);
      if (!utf8::is_valid(out.text)) break;
      out.kind = Kind::String;
      return out;
    case tag::kF64Array:
    case tag::kI64Array:
    case tag::kF32Array:
    case tag::kI32Array: {
      const ElementType type = type_tag == tag::kF64Array   ? ElementType::F64
                               : type_tag == tag::kI64Array ? ElementType::I64
                               : type_tag == tag::kF32Array ? ElementType::F32
                                                            : ElementType::I32;
      if (n % element_bytes(type) != 0) break;
      out.kind = Kind::Array;
      out.values = PayloadValues{type, payload};
      return out;
    }
    case tag::kVec3F32:
    case tag::kVec3F64: {
      const ElementType type = type_tag == tag::kVec3F32 ? ElementType::F32 : ElementType::F64;
      if (n % (3 * element_bytes(type)) != 0) break;
      out.kind = Kind::Vec3Rows;
      out.values = PayloadValues{type, payload};
      return out;
    }
    case tag::kNone:
      if (n != 0) break;
      return out;
    case tag::kTensorF32:
    case tag::kTensorF64:
    case tag::kTensorI32:
    case tag::kTensorI64:
      out.kind = Kind::Tensor;
      return out;
    default:
      break;
  }
  return unexpected(property_payload_error(type_tag, payload));
}

// One custom section's payload as a property value.
Result<types::PropertyValue> decode_property_value(std::uint8_t type_tag, ByteSpan payload);
Result<types::Vec3Data> py_decode_vec3_data(ByteSpan payload, std::uint8_t type_tag,
                                            std::string_view field_name);
Result<types::Mat3Data> py_decode_mat3_data(ByteSpan payload, std::uint8_t type_tag,
                                            std::string_view field_name);

// The header of a tensor payload: its dimensions and where the values start.
using TensorHeader = dtypes::TensorPayloadShape;
using dtypes::tensor_shape_from_payload;

}  // namespace crivane::storage::soa
