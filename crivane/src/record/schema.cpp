#include "crivane/record/schema.hpp"

#include <algorithm>
#include <variant>

#include <fmt/format.h>

#include "crivane/record/encoder.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/dtypes.hpp"
#include "reader.hpp"
#include "text.hpp"

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

// record_schema's texts for a read that failed. It wants the head's 6 bytes
// before the atom count, and a section's whole fixed part (7 bytes) before
// its key.
Error record_read_error(const soa::RecordFailure& f, std::size_t record_size) {
  using soa::RecordField;
  if (record_size < soa::kRecordHeadBytes) return invalid("SOA record too small");
  switch (f.field) {
    case RecordField::AtomCount:
    case RecordField::Positions:
      return invalid("SOA record truncated at positions");
    case RecordField::AtomicNumbers:
      return invalid("SOA record truncated at atomic_numbers");
    case RecordField::SectionCount:
      return invalid("SOA record truncated at n_sections");
    case RecordField::Payload:
      return invalid("SOA section payload truncated");
    default:
      break;
  }
  if (f.section_bytes >= soa::kSectionHeaderBytes && f.field == RecordField::Key) {
    return invalid(f.problem == soa::RecordProblem::InvalidUtf8 ? "Invalid UTF-8 in section key"
                                                                : "SOA section key truncated");
  }
  return invalid("SOA section header truncated");
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
  if (type_tag >= tag::kF64Array && type_tag <= tag::kI32Array) {
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

  soa::RecordReader r(record, soa::RecordReader::Keys::Utf8);
  soa::RecordHead head;
  if (!r.read_head(s, head)) return unexpected(record_read_error(r.failure(), record.size()));
  const std::uint32_t n = head.n_atoms;

  SchemaLock lock;
  lock.positions_type = pt;
  soa::RecordSection section;
  for (std::uint16_t i = 0; i < head.section_count; ++i) {
    if (!r.read_section(section)) {
      return unexpected(record_read_error(r.failure(), record.size()));
    }
    const std::string_view key = soa::as_text(section.key);
    if (section.kind == Builtin) {
      CRIVANE_TRY(dtypes::validate_builtin_type_tag_for_record_format(record_format, key,
                                                                      section.type_tag));
    }
    std::optional<ByteSpan> tensor_payload;
    if (dtypes::is_tensor_tag(section.type_tag)) tensor_payload = section.payload;
    CRIVANE_TRY(insert_schema_entry(lock.entries, section.kind, key, section.type_tag,
                                    section.payload.size(), tensor_payload, n));
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
