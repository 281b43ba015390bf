#include "crivane/record/encoder.hpp"

#include <cassert>
#include <cstring>
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
BuiltinSection vec3_section(std::string_view key, const V& v) {
  return std::visit(
      [&](const auto& rows) {
        constexpr bool f32 =
            std::is_same_v<std::decay_t<decltype(rows)>, std::vector<types::Vec3F32>>;
        return BuiltinSection{key, f32 ? tag::VEC3_F32 : tag::VEC3_F64,
                              reinterpret_cast<const std::uint8_t*>(rows.data()),
                              rows.size() * sizeof(rows[0])};
      },
      v);
}

BuiltinSection mat3_section(std::string_view key, const types::Mat3Data& m) {
  return std::visit(
      [&](const auto& mat) {
        constexpr bool f32 = std::is_same_v<std::decay_t<decltype(mat)>, types::Mat3F32>;
        return BuiltinSection{key, f32 ? tag::MAT3_F32 : tag::MAT3_F64,
                              reinterpret_cast<const std::uint8_t*>(&mat), sizeof mat};
      },
      m);
}

// Writes kind, key length, key, tag and payload length; returns where the
// payload goes.
std::uint8_t* put_section_header(std::uint8_t* p, std::uint8_t kind, std::string_view key,
                                 std::uint8_t type_tag, std::uint64_t payload_len) {
  *p++ = kind;
  *p++ = static_cast<std::uint8_t>(key.size());
  if (!key.empty()) std::memcpy(p, key.data(), key.size());
  p += key.size();
  *p++ = type_tag;
  bytes::store<std::uint32_t>(p, static_cast<std::uint32_t>(payload_len));
  return p + 4;
}

// Key, tensor shape and payload limits of the custom sections of one map;
// adds their encoded size to `total`.
Result<void> check_custom_sections(const PropertyMap& map, std::uint64_t& total) {
  for (const auto& [key, value] : map) {
    if (key.size() > MAX_KEY_BYTES) {
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
    total += SECTION_HEADER_BYTES + key.size() + size;
  }
  return {};
}

std::uint8_t* write_custom_sections(std::uint8_t* p, std::uint8_t kind, const PropertyMap& map) {
  for (const auto& [key, value] : map) {
    const std::uint64_t size = dtypes::property_payload_size(value);
    p = put_section_header(p, kind, key, dtypes::property_type_tag(value), size);
    dtypes::write_property_payload(p, value);
    p += size;
  }
  return p;
}

}  // namespace

std::uint8_t positions_type_tag(const Molecule& m) {
  return m.positions.index() == 0 ? tag::VEC3_F32 : tag::VEC3_F64;
}

BuiltinSections builtin_sections(const Molecule& m) {
  BuiltinSections out;
  auto add = [&](const BuiltinSection& s) { out.items[out.count++] = s; };
  if (m.charges) {
    std::visit(
        [&](const auto& vals) {
          constexpr bool f32 = std::is_same_v<std::decay_t<decltype(vals)>, std::vector<float>>;
          add({key_of(BuiltinKey::Charges), f32 ? tag::F32_ARRAY : tag::F64_ARRAY,
               reinterpret_cast<const std::uint8_t*>(vals.data()), vals.size() * sizeof(vals[0])});
        },
        *m.charges);
  }
  if (m.cell) add(mat3_section(key_of(BuiltinKey::Cell), *m.cell));
  if (m.energy) {
    std::visit(
        [&](const auto& e) {
          constexpr bool f32 = std::is_same_v<std::decay_t<decltype(e)>, float>;
          add({key_of(BuiltinKey::Energy), f32 ? tag::F32 : tag::F64,
               reinterpret_cast<const std::uint8_t*>(&e), sizeof e});
        },
        *m.energy);
  }
  if (m.forces) add(vec3_section(key_of(BuiltinKey::Forces), *m.forces));
  if (m.name) {
    add({key_of(BuiltinKey::Name), tag::STRING,
         reinterpret_cast<const std::uint8_t*>(m.name->data()), m.name->size()});
  }
  if (m.pbc)
    add({key_of(BuiltinKey::Pbc), tag::BOOL3, reinterpret_cast<const std::uint8_t*>(m.pbc->data()),
         3});
  if (m.stress) add(mat3_section(key_of(BuiltinKey::Stress), *m.stress));
  if (m.velocities) add(vec3_section(key_of(BuiltinKey::Velocities), *m.velocities));
  return out;
}

Result<void> validate_record_format_compat(const Molecule& m, std::uint32_t record_format) {
  if (record_format != 2 && record_format != 3) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
  if (record_format == 3) return {};
  if (positions_type_tag(m) != tag::VEC3_F32) {
    return unexpected(Error::invalid_data("record format 2 does not support float64 positions"));
  }
  for (const BuiltinSection& s : builtin_sections(m)) {
    // name and pbc have one dtype only; the rule accepts them anyway.
    CRIVANE_TRY(dtypes::validate_builtin_type_tag_for_record_format(2, s.key, s.type_tag));
  }
  return {};
}

std::uint32_t minimum_record_format_for_molecule(const Molecule& m) {
  return validate_record_format_compat(m, 2).has_value() ? 2 : 3;
}

void write_section(Bytes& buffer, std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                   ByteSpan payload) {
  assert(key.size() <= MAX_KEY_BYTES && payload.size() <= MAX_PAYLOAD_BYTES);
  const std::size_t old = buffer.size();
  buffer.resize(old + SECTION_HEADER_BYTES + key.size() + payload.size());
  std::uint8_t* p = put_section_header(buffer.data() + old, kind, key, type_tag, payload.size());
  if (!payload.empty()) std::memcpy(p, payload.data(), payload.size());
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
  if (builtins.size() + m.atom_properties.size() + m.properties.size() > MAX_SECTIONS) {
    return unexpected(Error::invalid_data("Too many SOA sections"));
  }

  // Every check and the exact size first, so the buffer is allocated once and
  // nothing is written for a molecule that fails.
  const std::size_t row = positions_row_bytes(positions_type_tag(m));
  std::uint64_t total = RECORD_HEAD_BYTES + static_cast<std::uint64_t>(n) * (row + 1);
  for (const BuiltinSection& s : builtins) {
    CRIVANE_TRY(check_section_limits(s.key, s.size));
    total += SECTION_HEADER_BYTES + s.key.size() + s.size;
  }
  CRIVANE_TRY(check_custom_sections(m.atom_properties, total));
  CRIVANE_TRY(check_custom_sections(m.properties, total));

  Bytes out;
  out.resize(total);
  std::uint8_t* p = out.data();
  bytes::store<std::uint32_t>(p, static_cast<std::uint32_t>(n));
  p += 4;
  std::visit(
      [&](const auto& rows) {
        if (n != 0) std::memcpy(p, rows.data(), n * row);
      },
      m.positions);
  p += n * row;
  if (n != 0) std::memcpy(p, m.atomic_numbers.data(), n);
  p += n;
  const std::size_t n_sections = builtins.size() + m.atom_properties.size() + m.properties.size();
  bytes::store<std::uint16_t>(p, static_cast<std::uint16_t>(n_sections));
  p += 2;
  for (const BuiltinSection& s : builtins) {
    p = put_section_header(p, SectionKind::Builtin, s.key, s.type_tag, s.size);
    if (s.size != 0) std::memcpy(p, s.data, s.size);
    p += s.size;
  }
  // std::map<std::string, ...> iterates in byte-wise key order already.
  p = write_custom_sections(p, SectionKind::AtomProperty, m.atom_properties);
  p = write_custom_sections(p, SectionKind::MoleculeProperty, m.properties);
  assert(p == out.data() + out.size());
  (void)p;
  return out;
}

}  // namespace crivane::storage::soa
