#include "crivane/record/encoder.hpp"

#include <variant>

#include <fmt/format.h>

#include "crivane/storage/dtypes.hpp"

namespace crivane::storage::soa {
namespace {

using atom::Molecule;
using atom::PropertyMap;
namespace tag = dtypes::tag;

static_assert(sizeof(bool) == 1, "pbc flags are copied as bytes");
static_assert(sizeof(types::Mat3F32) == 36 && sizeof(types::Mat3F64) == 72);

template <class V>
void add_vec3(BuiltinSections& out, BuiltinKey key, const V& v) {
  std::visit(
      [&](const auto& rows) {
        constexpr bool f32 =
            std::is_same_v<std::decay_t<decltype(rows)>, std::vector<types::Vec3F32>>;
        out.add(key, f32 ? tag::kVec3F32 : tag::kVec3F64,
                reinterpret_cast<const std::uint8_t*>(rows.data()), rows.size() * sizeof(rows[0]));
      },
      v);
}

void add_mat3(BuiltinSections& out, BuiltinKey key, const types::Mat3Data& m) {
  std::visit(
      [&](const auto& mat) {
        constexpr bool f32 = std::is_same_v<std::decay_t<decltype(mat)>, types::Mat3F32>;
        out.add(key, f32 ? tag::kMat3F32 : tag::kMat3F64,
                reinterpret_cast<const std::uint8_t*>(&mat), sizeof mat);
      },
      m);
}

// Key, tensor shape and payload limits of the custom sections of one map;
// adds their encoded size to `total`.
Result<void> check_custom_sections(const PropertyMap& map, std::uint64_t& total) {
  for (const auto& [key, value] : map) {
    if (key.size() > kMaxKeyBytes) {
      return unexpected(Error::invalid_data(fmt::format("Section key '{}' is too long", key)));
    }
    if (const auto* t = std::get_if<types::property::Tensor>(&value)) {
      CRIVANE_TRY(std::visit(
          [](const auto& x) {
            return dtypes::validate_tensor_data_shape(x.shape, x.values.size());
          },
          *t));
    }
    const std::uint64_t size = dtypes::property_payload_size(value);
    CRIVANE_TRY(check_section_limits(key, size));
    total += section_size(key, size);
  }
  return {};
}

// Payloads are encoded straight into the record.
void write_custom_sections(RecordWriter& w, std::uint8_t kind, const PropertyMap& map) {
  for (const auto& [key, value] : map) {
    const std::uint64_t size = dtypes::property_payload_size(value);
    dtypes::write_property_payload(
        w.section_header(kind, key, dtypes::property_type_tag(value), size), value);
  }
}

}  // namespace

std::uint8_t positions_type_tag(const Molecule& m) {
  return m.positions.index() == 0 ? tag::kVec3F32 : tag::kVec3F64;
}

BuiltinSections builtin_sections(const Molecule& m) {
  BuiltinSections out;
  if (m.charges) {
    std::visit(
        [&](const auto& vals) {
          constexpr bool f32 = std::is_same_v<std::decay_t<decltype(vals)>, std::vector<float>>;
          out.add(BuiltinKey::Charges, f32 ? tag::kF32Array : tag::kF64Array,
                  reinterpret_cast<const std::uint8_t*>(vals.data()),
                  vals.size() * sizeof(vals[0]));
        },
        *m.charges);
  }
  if (m.cell) add_mat3(out, BuiltinKey::Cell, *m.cell);
  if (m.energy) {
    std::visit(
        [&](const auto& e) {
          constexpr bool f32 = std::is_same_v<std::decay_t<decltype(e)>, float>;
          out.add(BuiltinKey::Energy, f32 ? tag::kF32 : tag::kF64,
                  reinterpret_cast<const std::uint8_t*>(&e), sizeof e);
        },
        *m.energy);
  }
  if (m.forces) add_vec3(out, BuiltinKey::Forces, *m.forces);
  if (m.name) {
    out.add(BuiltinKey::Name, tag::kString, reinterpret_cast<const std::uint8_t*>(m.name->data()),
            m.name->size());
  }
  if (m.pbc) {
    out.add(BuiltinKey::Pbc, tag::kBool3, reinterpret_cast<const std::uint8_t*>(m.pbc->data()), 3);
  }
  if (m.stress) add_mat3(out, BuiltinKey::Stress, *m.stress);
  if (m.velocities) add_vec3(out, BuiltinKey::Velocities, *m.velocities);
  return out;
}

Result<void> validate_record_format_compat(const Molecule& m, std::uint32_t record_format) {
  if (!is_known_record_format(record_format)) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
  if (record_format == kRecordFormatMixedDtypes) return {};
  if (positions_type_tag(m) != tag::kVec3F32) {
    return unexpected(Error::invalid_data("record format 2 does not support float64 positions"));
  }
  for (const BuiltinSection& s : builtin_sections(m)) {
    // name and pbc have one dtype only; the rule accepts them anyway.
    CRIVANE_TRY(dtypes::validate_builtin_type_tag_for_record_format(kRecordFormatFixedDtypes, s.key,
                                                                    s.type_tag));
  }
  return {};
}

std::uint32_t minimum_record_format_for_molecule(const Molecule& m) {
  return validate_record_format_compat(m, kRecordFormatFixedDtypes).has_value()
             ? kRecordFormatFixedDtypes
             : kRecordFormatMixedDtypes;
}

Result<Bytes> serialize_molecule_soa(const Molecule& m, std::uint32_t record_format) {
  CRIVANE_TRY(validate_record_format_compat(m, record_format));
  const std::size_t n = m.n_atoms();
  if (m.atomic_numbers.size() != n) {
    return unexpected(Error::invalid_data(fmt::format(
        "Atomic numbers length ({}) doesn't match atom count ({})", m.atomic_numbers.size(), n)));
  }
  CRIVANE_TRY(check_atom_count(n));

  const BuiltinSections builtins = builtin_sections(m);
  const std::size_t n_sections = builtins.size() + m.atom_properties.size() + m.properties.size();
  CRIVANE_TRY(check_section_count(n_sections));

  // Every check and the exact size first, so the buffer is allocated once and
  // nothing is written for a molecule that fails.
  const std::size_t row = positions_row_bytes(positions_type_tag(m));
  std::uint64_t total = kRecordHeadBytes + static_cast<std::uint64_t>(n) * (row + 1);
  for (const BuiltinSection& s : builtins) {
    CRIVANE_TRY(check_section_limits(s.key, s.size));
    total += section_size(s.key, s.size);
  }
  CRIVANE_TRY(check_custom_sections(m.atom_properties, total));
  CRIVANE_TRY(check_custom_sections(m.properties, total));

  RecordWriter w(total);
  const ByteSpan positions = std::visit(
      [&](const auto& rows) {
        return ByteSpan(reinterpret_cast<const std::uint8_t*>(rows.data()), n * row);
      },
      m.positions);
  w.head(static_cast<std::uint32_t>(n), positions, ByteSpan(m.atomic_numbers.data(), n),
         static_cast<std::uint16_t>(n_sections));
  w.builtins(builtins);
  // std::map<std::string, ...> iterates in byte-wise key order already.
  write_custom_sections(w, SectionKind::AtomProperty, m.atom_properties);
  write_custom_sections(w, SectionKind::MoleculeProperty, m.properties);
  return std::move(w).finish();
}

}  // namespace crivane::storage::soa
