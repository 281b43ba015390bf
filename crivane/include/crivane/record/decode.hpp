// Decoders of stored section payloads into owned values of the data model.
// A payload that does not fit its type tag is an Error::decode with the
// decoder's own text; a tensor header error keeps its kind.
#pragma once

#include <cstdint>
#include <string_view>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/types.hpp"

namespace crivane::storage::soa {

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
