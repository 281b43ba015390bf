#include "crivane/record/view.hpp"

#include <cstring>

#include <fmt/format.h>

#include "crivane/storage/database.hpp"
#include "crivane/storage/utf8.hpp"
#include "reader.hpp"
#include "text.hpp"

namespace crivane::storage::soa {

namespace tag = dtypes::tag;

Result<SoaContext> SoaContext::from_parts(std::uint32_t record_format,
                                          std::optional<std::uint8_t> lock_positions_type,
                                          bool has_lock) {
  if (record_format == kRecordFormatFixedDtypes) {
    return SoaContext{positions_row_bytes(tag::kVec3F32), tag::kVec3F32};
  }
  if (record_format != kRecordFormatMixedDtypes) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
  if (!has_lock || !lock_positions_type) {
    return unexpected(Error::invalid_data("Missing positions dtype for record format 3"));
  }
  const std::uint8_t positions_type = *lock_positions_type;
  const std::size_t stride = positions_row_bytes(positions_type);
  if (stride == 0) {
    return unexpected(Error::invalid_data(
        fmt::format("Unsupported positions type tag {}", unsigned{positions_type})));
  }
  return SoaContext{stride, positions_type};
}

Result<SoaContext> SoaContext::from_database(const AtomDatabase& db) {
  return from_parts(db.record_format(), db.positions_type(), db.has_schema_lock());
}

namespace {

Error invalid(const char* message) { return Error::invalid_data(message); }

// The lazy reader's texts for a read that failed. It wants the head's 6
// bytes first, and its own words for sizes that overflow.
Error view_read_error(const RecordFailure& f, std::size_t record_size) {
  if (record_size < kRecordHeadBytes) return invalid("SOA record too small");
  const bool missing = f.problem == RecordProblem::Missing;
  switch (f.field) {
    case RecordField::AtomCount:
      return invalid("SOA record too small");
    case RecordField::Positions:
      return invalid(missing ? "SOA record truncated at positions" : "SOA positions overflow");
    case RecordField::AtomicNumbers:
      return invalid(missing ? "SOA record truncated at atomic_numbers"
                             : "SOA atomic_numbers overflow");
    // The section count has no text of its own.
    case RecordField::SectionCount:
      return invalid("SOA record truncated at atomic_numbers");
    case RecordField::Key:
      return invalid("SOA section key truncated");
    case RecordField::Payload:
      return invalid(missing ? "SOA section payload truncated" : "SOA section payload overflow");
    default:
      return invalid("SOA section header truncated");
  }
}

Unexpected<Error> decode_failure(std::string message) {
  return unexpected(Error::decode(std::move(message)));
}

bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}

}  // namespace

Result<SoaMoleculeView> SoaMoleculeView::from_storage(SoaBytes bytes, std::size_t stride,
                                                      std::uint8_t positions_type) {
  SoaMoleculeView view(std::move(bytes));
  const ByteSpan record = view.bytes_.span();
  // Keys are checked when they are used, not here.
  RecordReader r(record);
  RecordHead head;
  if (!r.read_head(stride, head)) return unexpected(view_read_error(r.failure(), record.size()));

  RecordSection s;
  for (std::size_t i = 0; i < head.section_count; ++i) {
    if (!r.read_section(s)) return unexpected(view_read_error(r.failure(), record.size()));
    const std::size_t q = r.offset_of(s.payload);
    const auto builtin =
        s.kind == SectionKind::Builtin ? find_builtin_key(as_text(s.key)) : std::nullopt;
    if (builtin) {
      view.builtins_[static_cast<std::size_t>(*builtin)] =
          BuiltinSlot{q, s.payload.size(), s.type_tag};
    } else {
      view.custom_.push_back(LazySection{r.offset_of(s.key), q, s.payload.size(), s.kind,
                                         static_cast<std::uint8_t>(s.key.size()), s.type_tag});
    }
  }

  view.n_atoms_ = head.n_atoms;
  view.positions_offset_ = r.offset_of(head.positions);
  view.positions_len_ = head.positions.size();
  view.atomic_numbers_offset_ = r.offset_of(head.atomic_numbers);
  view.positions_type_ = positions_type;
  return view;
}

Result<SoaMoleculeView> SoaMoleculeView::from_bytes(Bytes bytes, const SoaContext& context) {
  return from_storage(SoaBytes(std::move(bytes)), context.stride, context.positions_type);
}

Result<void> SoaMoleculeView::check_index_atoms(const AtomDatabase& db, std::size_t index) const {
  const std::optional<std::uint32_t> entry = db.num_atoms(index);
  if (!entry) {
    return unexpected(Error::invalid_data(fmt::format("Index {} out of bounds", index)));
  }
  if (*entry == n_atoms_) return {};
  return unexpected(Error::invalid_data(fmt::format(
      "Record {} holds {} atoms, but its index entry says {}; the database's index is damaged",
      index, n_atoms_, *entry)));
}

Result<ByteSpan> SoaMoleculeView::builtin_payload(std::size_t payload_offset,
                                                  std::size_t payload_len) const {
  const ByteSpan rec = record();
  if (payload_offset > rec.size() || payload_len > rec.size() - payload_offset) {
    return decode_failure("Section range lies outside the record");
  }
  return rec.subspan(payload_offset, payload_len);
}

Result<std::string_view> SoaMoleculeView::lazy_section_key(const LazySection& section) const {
  auto key = builtin_payload(section.key_offset, section.key_len);
  if (!key) return unexpected(std::move(key).error());
  if (!utf8::is_valid(as_text(*key))) {
    return decode_failure("Invalid UTF-8 in section key");
  }
  return as_text(*key);
}

Result<std::optional<LazySection>> SoaMoleculeView::find_custom_section(
    std::uint8_t kind, std::string_view key) const {
  for (const LazySection& section : custom_) {
    if (section.kind != kind) continue;
    auto section_key = lazy_section_key(section);
    if (!section_key) return unexpected(std::move(section_key).error());
    if (*section_key == key) return std::optional<LazySection>(section);
  }
  return std::optional<LazySection>();
}

Result<std::optional<std::array<bool, 3>>> SoaMoleculeView::pbc() const {
  using Out = std::optional<std::array<bool, 3>>;
  const std::optional<BuiltinSlot>& pbc = pbc_slot();
  if (!pbc) return Out();
  auto payload = builtin_payload(*pbc);
  if (!payload) return unexpected(std::move(payload).error());
  if (payload->size() != dtypes::element_size(tag::kBool3)) {
    return decode_failure("Invalid pbc payload length");
  }
  const ByteSpan b = *payload;
  return Out(std::array<bool, 3>{b[0] != 0, b[1] != 0, b[2] != 0});
}

Result<std::optional<double>> SoaMoleculeView::energy() const {
  const std::optional<BuiltinSlot>& energy = energy_slot();
  if (!energy) return std::optional<double>();
  const BuiltinSlot& slot = *energy;
  auto payload = builtin_payload(slot);
  if (!payload) return unexpected(std::move(payload).error());
  switch (slot.type_tag) {
    case tag::kF64:
      if (payload->size() != sizeof(double)) {
        return decode_failure("Invalid f64 payload length");
      }
      return std::optional<double>(bytes::load_f64(payload->data()));
    case tag::kF32:
      if (payload->size() != sizeof(float)) {
        return decode_failure("Invalid f32 payload length");
      }
      return std::optional<double>(static_cast<double>(bytes::load_f32(payload->data())));
    default:
      return decode_failure(fmt::format("Unsupported energy type tag {}", unsigned{slot.type_tag}));
  }
}

Result<std::size_t> SoaMoleculeView::checked_positions_row() const {
  const std::size_t row = positions_row_bytes(positions_type_);
  if (row == 0) {
    return decode_failure(
        fmt::format("Unsupported positions type tag {}", unsigned{positions_type_}));
  }
  // The reader takes the stride on trust; a stride that disagrees with the
  // positions type would make rows run past the positions block.
  if (positions_len_ != n_atoms_ * row) {
    return decode_failure(fmt::format("Positions block does not match positions type tag {}",
                                      unsigned{positions_type_}));
  }
  return row;
}

Result<std::optional<atom::Atom>> SoaMoleculeView::atom_at(std::size_t i) const {
  using Out = std::optional<atom::Atom>;
  if (i >= n_atoms_) return Out();
  auto row = checked_positions_row();
  if (!row) return unexpected(std::move(row).error());
  const ByteSpan rec = record();
  const std::uint8_t* p = rec.data() + positions_offset_ + i * *row;
  atom::Atom atom;
  atom.atomic_number = rec[atomic_numbers_offset_ + i];
  const bool f32 = positions_type_ == tag::kVec3F32;
  for (std::size_t k = 0; k < 3; ++k) {
    atom.position[k] = f32 ? bytes::load_f32(p + sizeof(float) * k)
                           : static_cast<float>(bytes::load_f64(p + sizeof(double) * k));
  }
  return Out(atom);
}

Result<bool> SoaMoleculeView::same_schema_as(const SoaMoleculeView& other) const {
  if (positions_type_ != other.positions_type_) return false;
  // Both absent, or both with equal offset, length and tag.
  if (builtins_ != other.builtins_) return false;
  if (custom_.size() != other.custom_.size()) return false;
  for (std::size_t i = 0; i < custom_.size(); ++i) {
    const LazySection& a = custom_[i];
    const LazySection& b = other.custom_[i];
    if (a.kind != b.kind || a.type_tag != b.type_tag || a.payload_len != b.payload_len) {
      return false;
    }
    auto key_a = lazy_section_key(a);
    if (!key_a) return unexpected(std::move(key_a).error());
    auto key_b = other.lazy_section_key(b);
    if (!key_b) return unexpected(std::move(key_b).error());
    if (*key_a != *key_b) return false;
  }
  return true;
}

Result<DatabaseSchema> SoaMoleculeView::database_schema() const {
  // The order decides which failing builtin is reported.
  static constexpr BuiltinKey kOrder[] = {
      BuiltinKey::Energy, BuiltinKey::Forces, BuiltinKey::Charges, BuiltinKey::Velocities,
      BuiltinKey::Cell,   BuiltinKey::Stress, BuiltinKey::Pbc,     BuiltinKey::Name};
  static_assert(std::size(kOrder) == kBuiltinKeys.size());
  DatabaseSchema schema;
  schema.positions_type = positions_type_;
  for (const BuiltinKey key : kOrder) {
    const std::optional<BuiltinSlot>& slot = builtin_slot(key);
    if (!slot) continue;
    auto section = database_schema_section(SectionKind::Builtin, key_of(key), slot->type_tag,
                                           slot->payload_len, n_atoms_);
    if (!section) return unexpected(std::move(section).error());
    schema.sections.push_back(std::move(section).value());
  }
  for (const LazySection& custom : custom_) {
    auto key = lazy_section_key(custom);
    if (!key) return unexpected(std::move(key).error());
    auto section =
        database_schema_section(custom.kind, *key, custom.type_tag, custom.payload_len, n_atoms_);
    if (!section) return unexpected(std::move(section).error());
    schema.sections.push_back(std::move(section).value());
  }
  return schema;
}

Result<DatabaseSchemaSection> database_schema_section(std::uint8_t kind, std::string_view key,
                                                      std::uint8_t type_tag,
                                                      std::size_t payload_len,
                                                      std::size_t n_atoms) {
  const bool per_atom = is_per_atom_section(kind, key);
  if (!dtypes::is_known_type_tag(type_tag)) {
    return decode_failure(
        fmt::format("Unsupported section type tag {} for '{}'", unsigned{type_tag}, key));
  }
  const std::size_t elem = dtypes::element_size(type_tag);
  std::size_t slot_bytes = 0;
  // Text, null and tensor payloads are neither measured nor parsed.
  if (dtypes::is_fixed_size_tag(type_tag)) {
    if (per_atom) {
      std::size_t expected = 0;
      if (!checked_mul(n_atoms, elem, &expected)) {
        return decode_failure(fmt::format("Section '{}' payload length overflow", key));
      }
      if (payload_len != expected) {
        return decode_failure(
            fmt::format("Section '{}' has invalid payload length {} (expected {})", key,
                        payload_len, expected));
      }
      slot_bytes = elem;
    } else {
      slot_bytes = payload_len;
    }
  }
  return DatabaseSchemaSection{std::string(key), elem, slot_bytes, per_atom, kind, type_tag};
}

}  // namespace crivane::storage::soa
