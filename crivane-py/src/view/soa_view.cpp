#include "view/soa_view.hpp"

#include <cstring>

#include <fmt/format.h>

#include "crivane/storage/database.hpp"
#include "crivane/storage/utf8.hpp"
#include "view/soa_local.hpp"

namespace crivane_rs::soa {

using crivane::Error;
using crivane::unexpected;
namespace bytes = crivane::bytes;

crivane::Result<SoaContext> SoaContext::from_parts(std::uint32_t record_format,
                                                   std::optional<std::uint8_t> lock_positions_type,
                                                   bool has_lock) {
  if (record_format == 2) return SoaContext{12, 4};
  if (record_format != 3) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}", record_format)));
  }
  if (!has_lock || !lock_positions_type) {
    return unexpected(Error::invalid_data("Missing positions dtype for record format 3"));
  }
  switch (*lock_positions_type) {
    case 4:
      return SoaContext{12, 4};
    case 7:
      return SoaContext{24, 7};
    default:
      return unexpected(Error::invalid_data(
          fmt::format("Unsupported positions type tag {}", unsigned{*lock_positions_type})));
  }
}

crivane::Result<SoaContext> SoaContext::from_database(const crivane::storage::AtomDatabase& db) {
  return from_parts(db.record_format(), db.positions_type(), db.has_schema_lock());
}

ByteSpan SoaBytes::span() const {
  if (const auto* owned = std::get_if<0>(&storage_)) return ByteSpan(owned->data(), owned->size());
  return std::get<1>(storage_).as_slice();
}

namespace {

Error invalid(const char* message) { return Error::invalid_data(message); }

bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}
bool checked_add(std::size_t a, std::size_t b, std::size_t* out) {
  return !__builtin_add_overflow(a, b, out);
}

// Which builtin slot a kind-0 key fills, if any.
std::optional<BuiltinSlot>* builtin_slot_for(
    std::string_view key, std::optional<BuiltinSlot>& forces, std::optional<BuiltinSlot>& energy,
    std::optional<BuiltinSlot>& cell, std::optional<BuiltinSlot>& stress,
    std::optional<BuiltinSlot>& charges, std::optional<BuiltinSlot>& velocities,
    std::optional<BuiltinSlot>& pbc, std::optional<BuiltinSlot>& name) {
  if (key == "forces") return &forces;
  if (key == "energy") return &energy;
  if (key == "cell") return &cell;
  if (key == "stress") return &stress;
  if (key == "charges") return &charges;
  if (key == "velocities") return &velocities;
  if (key == "pbc") return &pbc;
  if (key == "name") return &name;
  return nullptr;
}

}  // namespace

crivane::Result<SoaMoleculeView> SoaMoleculeView::from_storage(SoaBytes bytes, std::size_t stride,
                                                               std::uint8_t positions_type) {
  SoaMoleculeView view(std::move(bytes));
  const ByteSpan rec = view.bytes_.span();
  const std::uint8_t* data = rec.data();
  const std::size_t len = rec.size();

  if (len < 6) return unexpected(invalid("SOA record too small"));
  const std::size_t n = bytes::load_u32(data);

  std::size_t positions_len = 0;
  std::size_t positions_end = 0;
  if (!checked_mul(n, stride, &positions_len) || !checked_add(positions_len, 4, &positions_end)) {
    return unexpected(invalid("SOA positions overflow"));
  }
  if (len < positions_end) return unexpected(invalid("SOA record truncated at positions"));
  std::size_t numbers_end = 0;
  if (!checked_add(positions_end, n, &numbers_end)) {
    return unexpected(invalid("SOA atomic_numbers overflow"));
  }
  // The section count's two bytes are part of this check.
  if (len < numbers_end || len - numbers_end < 2) {
    return unexpected(invalid("SOA record truncated at atomic_numbers"));
  }

  const std::size_t count = bytes::load_u16(data + numbers_end);
  std::size_t p = numbers_end + 2;
  for (std::size_t s = 0; s < count; ++s) {
    // p <= len holds throughout, so every `len - p` below is exact.
    if (len - p < 2) return unexpected(invalid("SOA section header truncated"));
    const std::uint8_t kind = data[p];
    const std::size_t key_len = data[p + 1];
    const std::size_t key_offset = p + 2;
    if (len - key_offset < key_len) return unexpected(invalid("SOA section key truncated"));
    const std::size_t tag_offset = key_offset + key_len;
    if (len - tag_offset < 5) return unexpected(invalid("SOA section header truncated"));
    const std::uint8_t tag = data[tag_offset];
    const std::size_t payload_len = bytes::load_u32(data + tag_offset + 1);
    const std::size_t q = tag_offset + 5;
    std::size_t payload_end = 0;
    if (!checked_add(q, payload_len, &payload_end)) {
      return unexpected(invalid("SOA section payload overflow"));
    }
    if (len < payload_end) return unexpected(invalid("SOA section payload truncated"));

    std::optional<BuiltinSlot>* slot = nullptr;
    if (kind == 0) {
      const std::string_view key(reinterpret_cast<const char*>(data + key_offset), key_len);
      slot = builtin_slot_for(key, view.forces_, view.energy_, view.cell_, view.stress_,
                              view.charges_, view.velocities_, view.pbc_, view.name_);
    }
    if (slot != nullptr) {
      *slot = BuiltinSlot{q, payload_len, tag};
    } else {
      view.custom_.push_back(
          LazySection{key_offset, q, payload_len, kind, static_cast<std::uint8_t>(key_len), tag});
    }
    p = payload_end;
  }

  view.n_atoms_ = n;
  view.positions_offset_ = 4;
  view.positions_len_ = positions_len;
  view.atomic_numbers_offset_ = positions_end;
  view.positions_type_ = positions_type;
  return view;
}

PyResult<SoaMoleculeView> SoaMoleculeView::from_bytes(Bytes bytes, const SoaContext& context) {
  auto view = from_storage(SoaBytes(std::move(bytes)), context.stride, context.positions_type);
  if (!view) return unexpected(view.error().to_string());
  return std::move(view).value();
}

PyResult<ByteSpan> SoaMoleculeView::builtin_payload(std::size_t payload_offset,
                                                    std::size_t payload_len) const {
  const ByteSpan rec = record();
  if (payload_offset > rec.size() || payload_len > rec.size() - payload_offset) {
    return unexpected(std::string("Section range lies outside the record"));
  }
  return rec.subspan(payload_offset, payload_len);
}

PyResult<std::string_view> SoaMoleculeView::lazy_section_key(const LazySection& section) const {
  auto key = builtin_payload(section.key_offset, section.key_len);
  if (!key) return unexpected(std::move(key).error());
  if (!crivane::utf8::is_valid(local::as_text(*key))) {
    return unexpected(std::string("Invalid UTF-8 in section key"));
  }
  return local::as_text(*key);
}

PyResult<std::optional<LazySection>> SoaMoleculeView::find_custom_section(
    std::uint8_t kind, std::string_view key) const {
  for (const LazySection& section : custom_) {
    if (section.kind != kind) continue;
    auto section_key = lazy_section_key(section);
    if (!section_key) return unexpected(std::move(section_key).error());
    if (*section_key == key) return std::optional<LazySection>(section);
  }
  return std::optional<LazySection>();
}

PyResult<std::optional<std::array<bool, 3>>> SoaMoleculeView::pbc() const {
  using Out = std::optional<std::array<bool, 3>>;
  if (!pbc_) return Out();
  auto payload = builtin_payload(*pbc_);
  if (!payload) return unexpected(std::move(payload).error());
  if (payload->size() != 3) return unexpected(std::string("Invalid pbc payload length"));
  const ByteSpan b = *payload;
  return Out(std::array<bool, 3>{b[0] != 0, b[1] != 0, b[2] != 0});
}

PyResult<std::optional<double>> SoaMoleculeView::energy() const {
  if (!energy_) return std::optional<double>();
  auto payload = builtin_payload(*energy_);
  if (!payload) return unexpected(std::move(payload).error());
  switch (energy_->type_tag) {
    case 0:
      if (payload->size() != 8) return unexpected(std::string("Invalid f64 payload length"));
      return std::optional<double>(bytes::load_f64(payload->data()));
    case 11:
      if (payload->size() != 4) return unexpected(std::string("Invalid f32 payload length"));
      return std::optional<double>(static_cast<double>(bytes::load_f32(payload->data())));
    default:
      return unexpected(fmt::format("Unsupported energy type tag {}", unsigned{energy_->type_tag}));
  }
}

PyResult<std::size_t> SoaMoleculeView::positions_row_bytes() const {
  std::size_t row;
  switch (positions_type_) {
    case 4:
      row = 12;
      break;
    case 7:
      row = 24;
      break;
    default:
      return unexpected(
          fmt::format("Unsupported positions type tag {}", unsigned{positions_type_}));
  }
  // The reader takes the stride on trust; a stride that disagrees with the
  // positions type would make rows run past the positions block.
  if (positions_len_ != n_atoms_ * row) {
    return unexpected(fmt::format("Positions block does not match positions type tag {}",
                                  unsigned{positions_type_}));
  }
  return row;
}

PyResult<std::optional<crivane::atom::Atom>> SoaMoleculeView::atom_at(std::size_t i) const {
  using Out = std::optional<crivane::atom::Atom>;
  if (i >= n_atoms_) return Out();
  auto row = positions_row_bytes();
  if (!row) return unexpected(std::move(row).error());
  const ByteSpan rec = record();
  const std::uint8_t* p = rec.data() + positions_offset_ + i * *row;
  crivane::atom::Atom atom;
  atom.atomic_number = rec[atomic_numbers_offset_ + i];
  for (std::size_t k = 0; k < 3; ++k) {
    atom.position[k] =
        *row == 12 ? bytes::load_f32(p + 4 * k) : static_cast<float>(bytes::load_f64(p + 8 * k));
  }
  return Out(atom);
}

PyResult<bool> SoaMoleculeView::same_schema_as(const SoaMoleculeView& other) const {
  if (positions_type_ != other.positions_type_) return false;
  const std::optional<BuiltinSlot> SoaMoleculeView::*const slots[] = {
      &SoaMoleculeView::energy_,     &SoaMoleculeView::forces_, &SoaMoleculeView::charges_,
      &SoaMoleculeView::velocities_, &SoaMoleculeView::cell_,   &SoaMoleculeView::stress_,
      &SoaMoleculeView::pbc_,        &SoaMoleculeView::name_};
  for (auto slot : slots) {
    if (this->*slot != other.*slot) return false;
  }
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

PyResult<crivane::storage::DatabaseSchema> SoaMoleculeView::database_schema() const {
  struct Builtin {
    const char* key;
    const std::optional<BuiltinSlot>* slot;
  };
  const Builtin builtins[] = {{"energy", &energy_},   {"forces", &forces_},
                              {"charges", &charges_}, {"velocities", &velocities_},
                              {"cell", &cell_},       {"stress", &stress_},
                              {"pbc", &pbc_},         {"name", &name_}};
  crivane::storage::DatabaseSchema schema;
  schema.positions_type = positions_type_;
  for (const Builtin& b : builtins) {
    if (!*b.slot) continue;
    const BuiltinSlot& slot = **b.slot;
    auto section = database_schema_section(0, b.key, slot.type_tag, slot.payload_len, n_atoms_);
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

PyResult<crivane::storage::DatabaseSchemaSection> database_schema_section(std::uint8_t kind,
                                                                          std::string_view key,
                                                                          std::uint8_t type_tag,
                                                                          std::size_t payload_len,
                                                                          std::size_t n_atoms) {
  const bool per_atom =
      kind == 1 || (kind == 0 && (key == "forces" || key == "charges" || key == "velocities"));
  if (!crivane::storage::dtypes::is_known_type_tag(type_tag)) {
    return unexpected(
        fmt::format("Unsupported section type tag {} for '{}'", unsigned{type_tag}, key));
  }
  const std::size_t elem = crivane::storage::dtypes::element_size(type_tag);
  std::size_t slot_bytes = 0;
  const bool variable = type_tag == 2 || type_tag == 13 || type_tag >= 14;
  if (!variable) {
    if (per_atom) {
      std::size_t expected = 0;
      if (!checked_mul(n_atoms, elem, &expected)) {
        return unexpected(fmt::format("Section '{}' payload length overflow", key));
      }
      if (payload_len != expected) {
        return unexpected(fmt::format("Section '{}' has invalid payload length {} (expected {})",
                                      key, payload_len, expected));
      }
      slot_bytes = elem;
    } else {
      slot_bytes = payload_len;
    }
  }
  return crivane::storage::DatabaseSchemaSection{std::string(key), elem, slot_bytes,
                                                 per_atom,         kind, type_tag};
}

}  // namespace crivane_rs::soa
