// Tensor payloads (tags 14-17): the header reader and the value decoder must
// agree on every input.
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "crivane/record/decode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t tag = 14 + (data[0] & 3);
  const crivane::Bytes payload(data + 1, data + size);
  auto header = crivane::storage::soa::tensor_shape_from_payload(tag, payload);
  auto value = crivane::storage::soa::decode_property_value(tag, payload);
  if (header.has_value() != value.has_value()) std::abort();
  if (!header) {
    if (value.error() != header.error()) std::abort();
    return 0;
  }
  if (value->index() != crivane::types::property::Tensor) std::abort();
  const auto& tensor = std::get<crivane::types::property::Tensor>(*value);
  if (tensor.index() != static_cast<std::size_t>(tag - 14)) std::abort();
  std::visit(
      [&](const auto& t) {
        std::uint64_t count = 1;
        for (auto d : t.shape) count *= d;
        if (t.shape != header->shape || t.values.size() != count ||
            header->value_offset + count * sizeof(t.values[0]) != payload.size()) {
          std::abort();
        }
      },
      tensor);
  return 0;
}
