#include "crivane/storage/dtypes.hpp"

#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "crivane/storage/record_format.hpp"

namespace crivane::storage::dtypes {
namespace {

using types::PropertyValue;
using types::TensorData;

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

static_assert(sizeof(types::Vec3F32) == 12 && sizeof(types::Vec3F64) == 24,
              "3-vectors must be packed for block copies");

template <class T>
std::uint64_t tensor_payload_size(const types::Tensor<T>& t) {
  return 1 + 4 * static_cast<std::uint64_t>(t.shape.size()) +
         static_cast<std::uint64_t>(t.values.size()) * sizeof(T);
}

template <class T>
void write_tensor_payload(std::uint8_t* out, const types::Tensor<T>& t) {
  *out++ = static_cast<std::uint8_t>(t.shape.size());
  for (std::uint64_t d : t.shape) {
    bytes::store<std::uint32_t>(out, static_cast<std::uint32_t>(d));
    out += 4;
  }
  if (!t.values.empty()) std::memcpy(out, t.values.data(), t.values.size() * sizeof(T));
}

std::size_t tensor_len(const TensorData& t) {
  return std::visit([](const auto& x) { return x.values.size(); }, t);
}

const std::vector<std::uint64_t>& tensor_shape(const TensorData& t) {
  return std::visit([](const auto& x) -> const std::vector<std::uint64_t>& { return x.shape; }, t);
}

// Contiguous values of the fixed-size variants, as raw bytes.
template <class V>
std::pair<const void*, std::size_t> raw_bytes(const V& v) {
  using T = std::decay_t<V>;
  if constexpr (std::is_arithmetic_v<T>) {
    return {&v, sizeof v};
  } else {
    return {v.data(), v.size() * sizeof(typename T::value_type)};
  }
}

}  // namespace

std::uint8_t property_type_tag(const PropertyValue& value) {
  switch (value.index()) {
    case types::property::None:
      return tag::kNone;
    case types::property::Float:
      return tag::kF64;
    case types::property::Int:
      return tag::kI64;
    case types::property::String:
      return tag::kString;
    case types::property::FloatArray:
      return tag::kF64Array;
    case types::property::Vec3Array:
      return tag::kVec3F32;
    case types::property::IntArray:
      return tag::kI64Array;
    case types::property::Float32Array:
      return tag::kF32Array;
    case types::property::Vec3ArrayF64:
      return tag::kVec3F64;
    case types::property::Int32Array:
      return tag::kI32Array;
    default:
      break;
  }
  return static_cast<std::uint8_t>(tag::kTensorF32 +
                                   std::get<types::property::Tensor>(value).index());
}

std::uint64_t property_payload_size(const PropertyValue& value) {
  return std::visit(
      [](const auto& v) -> std::uint64_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, TensorData>) {
          return std::visit([](const auto& t) { return tensor_payload_size(t); }, v);
        } else {
          return raw_bytes(v).second;
        }
      },
      value);
}

void write_property_payload(std::uint8_t* out, const PropertyValue& value) {
  std::visit(
      [out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return;
        } else if constexpr (std::is_same_v<T, TensorData>) {
          std::visit([out](const auto& t) { write_tensor_payload(out, t); }, v);
        } else {
          const auto [data, n] = raw_bytes(v);
          if (n != 0) std::memcpy(out, data, n);
        }
      },
      value);
}

Result<Bytes> property_value_to_bytes(const PropertyValue& value) {
  if (const auto* t = std::get_if<types::property::Tensor>(&value)) {
    CRIVANE_TRY(validate_tensor_data_shape(tensor_shape(*t), tensor_len(*t)));
  }
  Bytes out;
  out.resize(property_payload_size(value));
  write_property_payload(out.data(), value);
  return out;
}

Result<std::uint64_t> tensor_value_count(std::span<const std::uint64_t> shape) {
  std::uint64_t count = 1;
  for (std::uint64_t d : shape) {
    if (__builtin_mul_overflow(count, d, &count)) {
      return unexpected(Error::invalid_data("Tensor shape overflows usize"));
    }
  }
  return count;
}

Result<void> validate_tensor_data_shape(std::span<const std::uint64_t> shape,
                                        std::uint64_t value_count) {
  if (shape.size() > kMaxTensorRank) {
    return unexpected(Error::invalid_data(
        fmt::format("Tensor rank {} exceeds maximum {}", shape.size(), kMaxTensorRank)));
  }
  for (std::uint64_t d : shape) {
    if (d > kU32Max) {
      return unexpected(Error::invalid_data("Tensor dimensions must fit in u32 for storage"));
    }
  }
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t expected, tensor_value_count(shape));
  if (expected != value_count) {
    return unexpected(Error::invalid_data(fmt::format("Tensor shape {} expects {} values, got {}",
                                                      format_shape(shape), expected, value_count)));
  }
  return {};
}

Result<TensorPayloadShape> tensor_shape_from_payload(std::uint8_t type_tag, ByteSpan payload) {
  if (!is_tensor_tag(type_tag)) {
    return unexpected(Error::invalid_data(fmt::format("Type tag {} is not a tensor", type_tag)));
  }
  ByteReader r(payload);
  const auto rank = r.read<std::uint8_t>();
  if (!rank) return unexpected(Error::invalid_data("Tensor payload missing rank"));
  const auto dims = r.take_array(*rank, sizeof(std::uint32_t));
  if (!dims) return unexpected(Error::invalid_data("Tensor payload truncated at shape"));
  const std::size_t value_bytes = r.left();
  const std::size_t elem = element_size(type_tag);
  if (value_bytes % elem != 0) {
    return unexpected(Error::invalid_data(fmt::format(
        "Tensor payload length {} is not divisible by element size {}", value_bytes, elem)));
  }
  // Rank is at most 255 and the bytes are there: this allocation is bounded.
  TensorPayloadShape out{std::vector<std::uint64_t>(*rank), r.offset()};
  ByteReader dim_bytes(*dims);
  for (std::uint64_t& d : out.shape) d = *dim_bytes.read<std::uint32_t>();
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t expected, tensor_value_count(out.shape));
  const std::uint64_t got = value_bytes / elem;
  if (expected != got) {
    return unexpected(Error::invalid_data(fmt::format("Tensor shape {} expects {} values, got {}",
                                                      format_shape(out.shape), expected, got)));
  }
  return out;
}

Result<void> validate_builtin_type_tag_for_record_format(std::uint32_t record_format,
                                                         std::string_view key,
                                                         std::uint8_t type_tag) {
  if (record_format == soa::kRecordFormatMixedDtypes) return {};
  if (record_format != soa::kRecordFormatFixedDtypes) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
  using soa::BuiltinKey;
  struct Rule {
    BuiltinKey key;
    std::uint8_t required;
    const char* message;
  };
  static constexpr Rule rules[] = {
      {BuiltinKey::Charges, tag::kF64Array, "record format 2 does not support float32 charges"},
      {BuiltinKey::Cell, tag::kMat3F64, "record format 2 does not support float32 cell"},
      {BuiltinKey::Energy, tag::kF64, "record format 2 does not support float32 energy"},
      {BuiltinKey::Forces, tag::kVec3F32, "record format 2 does not support float64 forces"},
      {BuiltinKey::Stress, tag::kMat3F64, "record format 2 does not support float32 stress"},
      {BuiltinKey::Velocities, tag::kVec3F32,
       "record format 2 does not support float64 velocities"},
  };
  for (const Rule& r : rules) {
    if (soa::key_of(r.key) == key) {
      if (type_tag != r.required) return unexpected(Error::invalid_data(r.message));
      return {};
    }
  }
  return {};
}

std::string format_shape(std::span<const std::uint64_t> shape) {
  return fmt::format("[{}]", fmt::join(shape, ", "));
}

}  // namespace crivane::storage::dtypes
