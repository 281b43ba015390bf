#include "crivane/record/schema.hpp"

#include <algorithm>
#include <variant>

#include <fmt/format.h>

#include "crivane/record/encoder.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/utf8.hpp"

namespace crivane::storage::schema {
namespace {

namespace tag = dtypes::tag;
using soa::SectionKind::AtomProperty;
using soa::SectionKind::Builtin;
using soa::SectionKind::MoleculeProperty;

static_assert(sizeof(std::size_t) == 8, "record offsets are computed in 64 bits");

Error invalid(std::string text) { return Error::invalid_data(std::move(text)); }

// The per-atom rules of a tensor whose shape is already known to be sound.
Result<void> check_tensor_scope(std::string_view key, bool per_atom,
                                std::span<const std::uint64_t> shape, std::uint64_t n_atoms) {
  if (!per_atom) return {};
  if (shape.empty()) {
    return unexpected(
        invalid(fmt::format("Atom tensor property '{}' must have at least one dimension", key)));
  }
  if (shape[0] != n_atoms) {
    return unexpected(invalid(
        fmt::format("Atom tensor property '{}' first dimension ({}) doesn't match atom count ({})",
                    key, shape[0], n_atoms)));
  }
  return {};
}

Error length_mismatch(std::string_view key, std::uint64_t got, std::uint64_t expected) {
  return invalid(
      fmt::format("Section '{}' payload length {} does not match expected {}", key, got, expected));
}

// The entry of one custom property; tensors are checked from their shape
// without encoding their values.
Result<void> insert_property_entry(SchemaEntries& entries, std::uint8_t kind,
                                   const std::string& key, const types::PropertyValue& value,
                                   std::uint64_t n_atoms) {
  const std::uint8_t t = dtypes::property_type_tag(value);
  const auto* tensor = std::get_if<types::property::Tensor>(&value);
  if (tensor == nullptr) {
    return insert_schema_entry(entries, kind, key, t, dtypes::property_payload_size(value),
                               std::nullopt, n_atoms);
  }
  const auto& shape = std::visit(
      [](const auto& x) -> const std::vector<std::uint64_t>& { return x.shape; }, *tensor);
  const std::size_t count = std::visit([](const auto& x) { return x.values.size(); }, *tensor);
  CRIVANE_TRY(dtypes::validate_tensor_data_shape(shape, count));
  const bool per_atom = soa::is_per_atom_section(kind, key);
  CRIVANE_TRY(check_tensor_scope(key, per_atom, shape, n_atoms));
  entries.insert_or_assign(SchemaKey{kind, key},
                           SchemaEntry{t, per_atom, dtypes::element_size(t), 0});
  return {};
}

}  // namespace

Result<SchemaEntry> schema_entry(std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                                 std::uint64_t payload_len, std::optional<ByteSpan> payload,
                                 std::uint64_t n_atoms) {
  const bool per_atom = soa::is_per_atom_section(kind, key);
  if (!dtypes::is_known_type_tag(type_tag)) {
    return unexpected(invalid(fmt::format("Unsupported section type tag {}", type_tag)));
  }
  SchemaEntry e{type_tag, per_atom, dtypes::element_size(type_tag), 0};
  if (dtypes::is_tensor_tag(type_tag)) {
    if (!payload) {
      return unexpected(invalid(fmt::format("Tensor section '{}' is missing payload", key)));
    }
    CRIVANE_ASSIGN_OR_RETURN(const auto parsed,
                             dtypes::tensor_shape_from_payload(type_tag, *payload));
    CRIVANE_TRY(check_tensor_scope(key, per_atom, parsed.shape, n_atoms));
    return e;
  }
  if (!dtypes::is_fixed_size_tag(type_tag)) {  // text and null
    if (per_atom && payload_len != 0) return unexpected(length_mismatch(key, payload_len, 0));
    return e;
  }
  if (!per_atom) {
    e.slot_bytes = payload_len;
    return e;
  }
  std::uint64_t expected;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(e.elem_bytes), n_atoms, &expected)) {
    return unexpected(invalid(fmt::format("Schema overflow for section '{}'", key)));
  }
  if (payload_len != expected) return unexpected(length_mismatch(key, payload_len, expected));
  if (type_tag >= tag::F64_ARRAY && type_tag <= tag::I32_ARRAY) {
    e.slot_bytes = e.elem_bytes;
  } else {
    // Scalars, pbc and matrices given per atom: one slot per atom, 0 without atoms.
    e.slot_bytes = payload_len / std::max<std::uint64_t>(n_atoms, 1);
  }
  return e;
}

Result<void> insert_schema_entry(SchemaEntries& entries, std::uint8_t kind, std::string_view key,
                                 std::uint8_t type_tag, std::uint64_t payload_len,
                                 std::optional<ByteSpan> payload, std::uint64_t n_atoms) {
  CRIVANE_ASSIGN_OR_RETURN(const SchemaEntry e,
                           schema_entry(kind, key, type_tag, payload_len, payload, n_atoms));
  entries.insert_or_assign(SchemaKey{kind, std::string(key)}, e);
  return {};
}

Result<SchemaLock> schema_from_molecule(const atom::Molecule& m) {
  for (const auto& [key, value] : m.atom_properties) {
    if (m.properties.contains(key)) {
      return unexpected(invalid(
          fmt::format("Custom property '{}' exists in both atom and molecule scopes", key)));
    }
  }
  SchemaLock lock;
  lock.positions_type = soa::positions_type_tag(m);
  const std::uint64_t n = m.n_atoms();
  for (const soa::BuiltinSection& s : soa::builtin_sections(m)) {
    CRIVANE_TRY(
        insert_schema_entry(lock.entries, Builtin, s.key, s.type_tag, s.size, std::nullopt, n));
  }
  for (const auto& [key, value] : m.atom_properties) {
    CRIVANE_TRY(insert_property_entry(lock.entries, AtomProperty, key, value, n));
  }
  for (const auto& [key, value] : m.properties) {
    CRIVANE_TRY(insert_property_entry(lock.entries, MoleculeProperty, key, value, n));
  }
  return lock;
}

Result<SchemaLock> record_schema(ByteSpan record, std::uint32_t record_format,
                                 std::optional<std::uint8_t> positions_type) {
  CRIVANE_ASSIGN_OR_RETURN(const std::uint8_t pt,
                           soa::resolve_positions_type(record_format, positions_type));
  const std::uint64_t s = soa::positions_row_bytes(pt);
  if (s == 0) return unexpected(invalid(fmt::format("Unsupported positions type tag {}", pt)));

  ByteReader r(record);
  if (r.left() < soa::RECORD_HEAD_BYTES) return unexpected(invalid("SOA record too small"));
  const std::uint32_t n = *r.read<std::uint32_t>();
  // n < 2^32 and s <= 24: the positions block's size cannot overflow.
  if (!r.take_array(n, s)) return unexpected(invalid("SOA record truncated at positions"));
  if (!r.skip(n)) return unexpected(invalid("SOA record truncated at atomic_numbers"));
  const auto n_sections = r.read<std::uint16_t>();
  if (!n_sections) return unexpected(invalid("SOA record truncated at n_sections"));

  SchemaLock lock;
  lock.positions_type = pt;
  for (std::uint16_t i = 0; i < *n_sections; ++i) {
    // The whole fixed part must be there before the key is looked at.
    if (r.left() < soa::SECTION_HEADER_BYTES) {
      return unexpected(invalid("SOA section header truncated"));
    }
    const auto [kind, key_len] = *r.read_fields<std::uint8_t, std::uint8_t>();
    const auto key_bytes = r.take(key_len);
    if (!key_bytes) return unexpected(invalid("SOA section key truncated"));
    const std::string_view key(reinterpret_cast<const char*>(key_bytes->data()), key_len);
    if (!utf8::is_valid(key)) return unexpected(invalid("Invalid UTF-8 in section key"));
    const auto tail = r.read_fields<std::uint8_t, std::uint32_t>();
    if (!tail) return unexpected(invalid("SOA section header truncated"));
    const auto [type_tag, payload_len] = *tail;
    const auto payload = r.take(payload_len);
    if (!payload) return unexpected(invalid("SOA section payload truncated"));
    if (kind == Builtin) {
      CRIVANE_TRY(
          dtypes::validate_builtin_type_tag_for_record_format(record_format, key, type_tag));
    }
    std::optional<ByteSpan> tensor_payload;
    if (dtypes::is_tensor_tag(type_tag)) tensor_payload = *payload;
    CRIVANE_TRY(
        insert_schema_entry(lock.entries, kind, key, type_tag, payload_len, tensor_payload, n));
  }
  return lock;  // bytes after the last section are not ours to judge
}

Result<void> validate_schema_lock_for_record_format(std::uint32_t record_format,
                                                    const SchemaLock& lock) {
  CRIVANE_ASSIGN_OR_RETURN(const std::uint8_t pt,
                           soa::resolve_positions_type(record_format, lock.positions_type));
  if (soa::positions_row_bytes(pt) == 0) {
    return unexpected(invalid(fmt::format("Unsupported positions type tag {}", pt)));
  }
  for (const auto& [k, e] : lock.entries) {
    if (k.first != Builtin) break;  // kind 0 sorts first
    CRIVANE_TRY(
        dtypes::validate_builtin_type_tag_for_record_format(record_format, k.second, e.type_tag));
  }
  return {};
}

}  // namespace crivane::storage::schema
