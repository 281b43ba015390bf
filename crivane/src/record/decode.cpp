// Payload decoders and materialization of a view into an owned molecule.
#include <cstring>

#include <fmt/format.h>

#include "crivane/record/decode.hpp"
#include "crivane/record/view.hpp"
#include "crivane/storage/utf8.hpp"
#include "text.hpp"

namespace crivane::storage::soa {

using atom::Molecule;
using types::FloatArrayData;
using types::Mat3Data;
using types::Mat3F32;
using types::Mat3F64;
using types::PropertyValue;
using types::Tensor;
using types::TensorData;
using types::Vec3Data;
using types::Vec3F32;
using types::Vec3F64;
namespace property = types::property;
namespace tag = dtypes::tag;

namespace {

Unexpected<Error> decode_failure(std::string message) {
  return unexpected(Error::decode(std::move(message)));
}

// Copies whole elements out of possibly unaligned bytes. The host is
// little-endian like the records, so one memcpy per run is the decode.
// Callers have checked that `src` holds whole elements.
template <class T>
std::vector<T> copy_elements(ByteSpan src) {
  std::vector<T> out(src.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), src.data(), out.size() * sizeof(T));
  return out;
}

// Whether a payload holds whole elements of T, as every array decoder
// checks before it copies.
template <class T>
bool whole_elements(ByteSpan src) {
  return src.size() % sizeof(T) == 0;
}

template <class T>
T copy_value(ByteSpan src) {
  T value;
  std::memcpy(&value, src.data(), sizeof value);
  return value;
}

Result<PropertyValue> decode_tensor(std::uint8_t type_tag, ByteSpan payload) {
  auto header = tensor_shape_from_payload(type_tag, payload);
  if (!header) return unexpected(std::move(header).error());
  const ByteSpan values = payload.subspan(header->value_offset);
  auto make = [&]<class T>(std::in_place_type_t<T>) {
    return PropertyValue(std::in_place_index<property::Tensor>,
                         TensorData(Tensor<T>{std::move(header->shape), copy_elements<T>(values)}));
  };
  switch (type_tag) {
    case tag::kTensorF32:
      return make(std::in_place_type<float>);
    case tag::kTensorF64:
      return make(std::in_place_type<double>);
    case tag::kTensorI32:
      return make(std::in_place_type<std::int32_t>);
    default:
      return make(std::in_place_type<std::int64_t>);
  }
}

}  // namespace

Result<PropertyValue> decode_property_value(std::uint8_t type_tag, ByteSpan payload) {
  const std::size_t n = payload.size();
  auto fail = [](const char* message) { return decode_failure(message); };
  switch (type_tag) {
    case tag::kF64:
      if (n != sizeof(double)) return fail("Invalid f64 payload length");
      return PropertyValue(std::in_place_index<property::Float>, copy_value<double>(payload));
    case tag::kI64:
      if (n != sizeof(std::int64_t)) return fail("Invalid i64 payload length");
      return PropertyValue(std::in_place_index<property::Int>, copy_value<std::int64_t>(payload));
    case tag::kString:
      if (!utf8::is_valid(as_text(payload))) {
        return fail("Invalid UTF-8 in string property");
      }
      return PropertyValue(std::in_place_index<property::String>, as_text(payload));
    case tag::kF64Array:
      if (!whole_elements<double>(payload)) return fail("Invalid f64 array payload length");
      return PropertyValue(std::in_place_index<property::FloatArray>,
                           copy_elements<double>(payload));
    case tag::kVec3F32:
      if (!whole_elements<Vec3F32>(payload)) return fail("Invalid vec3<f32> payload length");
      return PropertyValue(std::in_place_index<property::Vec3Array>,
                           copy_elements<Vec3F32>(payload));
    case tag::kI64Array:
      if (!whole_elements<std::int64_t>(payload)) return fail("Invalid i64 array payload length");
      return PropertyValue(std::in_place_index<property::IntArray>,
                           copy_elements<std::int64_t>(payload));
    case tag::kF32Array:
      if (!whole_elements<float>(payload)) return fail("Invalid f32 array payload length");
      return PropertyValue(std::in_place_index<property::Float32Array>,
                           copy_elements<float>(payload));
    case tag::kVec3F64:
      if (!whole_elements<Vec3F64>(payload)) return fail("Invalid vec3<f64> payload length");
      return PropertyValue(std::in_place_index<property::Vec3ArrayF64>,
                           copy_elements<Vec3F64>(payload));
    case tag::kI32Array:
      if (!whole_elements<std::int32_t>(payload)) return fail("Invalid i32 array payload length");
      return PropertyValue(std::in_place_index<property::Int32Array>,
                           copy_elements<std::int32_t>(payload));
    case tag::kNone:
      if (n != 0) return fail("Null property payload must be empty");
      return PropertyValue(std::in_place_index<property::None>);
    case tag::kTensorF32:
    case tag::kTensorF64:
    case tag::kTensorI32:
    case tag::kTensorI64:
      return decode_tensor(type_tag, payload);
    default:
      return decode_failure(fmt::format("Unsupported property type tag {}", unsigned{type_tag}));
  }
}

Error invalid_section_error(std::string_view field) {
  return Error::decode(fmt::format("Invalid {} section", field));
}

Error element_length_error(std::size_t length, std::size_t element_size) {
  return Error::decode(
      fmt::format("Byte length {} is not a multiple of element size {}", length, element_size));
}

Error property_payload_error(std::uint8_t type_tag, ByteSpan payload) {
  const std::size_t n = payload.size();
  switch (type_tag) {
    case tag::kF64:
      return Error::decode("Invalid f64 payload length");
    case tag::kI64:
      return Error::decode("Invalid i64 payload length");
    case tag::kString:
      return Error::decode("Invalid UTF-8 in string property");
    case tag::kF64Array:
    case tag::kI64Array:
      return element_length_error(n, 8);
    case tag::kF32Array:
    case tag::kI32Array:
      return element_length_error(n, 4);
    case tag::kVec3F32:
      return Error::decode("Invalid vec3<f32> payload length");
    case tag::kVec3F64:
      return Error::decode("Invalid vec3<f64> payload length");
    case tag::kNone:
      return Error::decode("Null property payload must be empty");
    default:
      return Error::decode(fmt::format("Unsupported property type tag {}", unsigned{type_tag}));
  }
}

Result<Vec3Data> py_decode_vec3_data(ByteSpan payload, std::uint8_t type_tag,
                                     std::string_view field_name) {
  switch (type_tag) {
    case tag::kVec3F32:
      if (!whole_elements<Vec3F32>(payload)) {
        return decode_failure("Invalid vec3<f32> payload length");
      }
      return Vec3Data(std::in_place_index<0>, copy_elements<Vec3F32>(payload));
    case tag::kVec3F64:
      if (!whole_elements<Vec3F64>(payload)) {
        return decode_failure("Invalid vec3<f64> payload length");
      }
      return Vec3Data(std::in_place_index<1>, copy_elements<Vec3F64>(payload));
    default:
      return decode_failure(
          fmt::format("Unsupported {} type tag {}", field_name, unsigned{type_tag}));
  }
}

Result<Mat3Data> py_decode_mat3_data(ByteSpan payload, std::uint8_t type_tag,
                                     std::string_view field_name) {
  switch (type_tag) {
    case tag::kMat3F64:
      if (payload.size() != sizeof(Mat3F64)) {
        return decode_failure("Invalid mat3x3<f64> payload length");
      }
      return Mat3Data(std::in_place_index<1>, copy_value<Mat3F64>(payload));
    case tag::kMat3F32:
      if (payload.size() != sizeof(Mat3F32)) {
        return decode_failure("Invalid mat3x3<f32> payload length");
      }
      return Mat3Data(std::in_place_index<0>, copy_value<Mat3F32>(payload));
    default:
      return decode_failure(
          fmt::format("Unsupported {} type tag {}", field_name, unsigned{type_tag}));
  }
}

Result<Molecule> SoaMoleculeView::materialize() const {
  const ByteSpan rec = record();
  std::vector<std::uint8_t> numbers(atomic_numbers_bytes().begin(), atomic_numbers_bytes().end());

  auto row = checked_positions_row();
  if (!row) return unexpected(std::move(row).error());
  Expected<Molecule, std::string> built =
      positions_type_ == tag::kVec3F32
          ? Molecule::create(copy_elements<Vec3F32>(positions_bytes()), std::move(numbers))
          : Molecule::create_f64(copy_elements<Vec3F64>(positions_bytes()), std::move(numbers));
  if (!built) return decode_failure(std::move(built).error());
  Molecule mol = std::move(built).value();

  // Slots come from this view's parse, so their ranges are inside `rec`.
  auto payload_of = [&](const BuiltinSlot& slot) {
    return rec.subspan(slot.payload_offset, slot.payload_len);
  };
  if (const auto& charges = charges_slot()) {
    const ByteSpan p = payload_of(*charges);
    switch (charges->type_tag) {
      case tag::kF64Array:
        if (!whole_elements<double>(p)) {
          return decode_failure("Invalid f64 array payload length");
        }
        mol.charges = FloatArrayData(std::in_place_index<1>, copy_elements<double>(p));
        break;
      case tag::kF32Array:
        if (!whole_elements<float>(p)) {
          return decode_failure("Invalid f32 array payload length");
        }
        mol.charges = FloatArrayData(std::in_place_index<0>, copy_elements<float>(p));
        break;
      default:
        return decode_failure(
            fmt::format("Unsupported {} type tag {}", "charges", unsigned{charges->type_tag}));
    }
  }
  if (const auto& slot = cell_slot()) {
    auto cell = py_decode_mat3_data(payload_of(*slot), slot->type_tag, "cell");
    if (!cell) return unexpected(std::move(cell).error());
    mol.cell = *cell;
  }
  if (const auto& energy = energy_slot()) {
    const ByteSpan p = payload_of(*energy);
    switch (energy->type_tag) {
      case tag::kF64:
        if (p.size() != sizeof(double)) {
          return decode_failure("Invalid f64 payload length");
        }
        mol.energy.emplace(std::in_place_index<1>, copy_value<double>(p));
        break;
      case tag::kF32:
        if (p.size() != sizeof(float)) return decode_failure("Invalid f32 payload length");
        mol.energy.emplace(std::in_place_index<0>, copy_value<float>(p));
        break;
      default:
        return decode_failure(
            fmt::format("Unsupported {} type tag {}", "energy", unsigned{energy->type_tag}));
    }
  }
  if (const auto& slot = forces_slot()) {
    auto forces = py_decode_vec3_data(payload_of(*slot), slot->type_tag, "forces");
    if (!forces) return unexpected(std::move(forces).error());
    mol.forces = std::move(forces).value();
  }
  if (const auto& slot = name_slot()) {
    const ByteSpan p = payload_of(*slot);
    if (!utf8::is_valid(as_text(p))) {
      return decode_failure("Invalid UTF-8 in name");
    }
    mol.name.emplace(as_text(p));
  }
  if (const auto& slot = pbc_slot()) {
    const ByteSpan p = payload_of(*slot);
    if (p.size() != dtypes::element_size(tag::kBool3)) {
      return decode_failure("Invalid pbc payload length");
    }
    mol.pbc = std::array<bool, 3>{p[0] != 0, p[1] != 0, p[2] != 0};
  }
  if (const auto& slot = stress_slot()) {
    auto stress = py_decode_mat3_data(payload_of(*slot), slot->type_tag, "stress");
    if (!stress) return unexpected(std::move(stress).error());
    mol.stress = *stress;
  }
  if (const auto& slot = velocities_slot()) {
    auto velocities = py_decode_vec3_data(payload_of(*slot), slot->type_tag, "velocities");
    if (!velocities) return unexpected(std::move(velocities).error());
    mol.velocities = std::move(velocities).value();
  }

  for (const LazySection& section : custom_) {
    auto key = lazy_section_key(section);
    if (!key) return unexpected(std::move(key).error());
    const bool atom = section.kind == SectionKind::AtomProperty;
    if (!atom && section.kind != SectionKind::MoleculeProperty) continue;
    auto value = decode_property_value(section.type_tag,
                                       rec.subspan(section.payload_offset, section.payload_len));
    if (!value) return unexpected(std::move(value).error());
    auto& map = atom ? mol.atom_properties : mol.properties;
    map.insert_or_assign(std::string(*key), std::move(value).value());
  }
  return mol;
}

}  // namespace crivane::storage::soa
