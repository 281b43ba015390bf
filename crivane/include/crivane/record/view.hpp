// Lazy views of stored records: a record parsed once into offsets, each
// section decoded only when asked for (record/decode.hpp). The extension
// module wraps these, and the fuzz targets drive them alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "crivane/atom.hpp"
#include "crivane/error.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/mmap.hpp"
#include "crivane/storage/record_bytes.hpp"
#include "crivane/storage/schema.hpp"

namespace crivane::storage {
class AtomDatabase;
}

namespace crivane::storage::soa {

// What a database's records need for parsing: positions row size and tag.
struct SoaContext {
  std::size_t stride;           // positions_row_bytes(positions_type)
  std::uint8_t positions_type;  // kVec3F32 or kVec3F64

  // The reader's side of the positions dtype rule, from the database's
  // record format and its schema lock (if any) with its positions type.
  static Result<SoaContext> from_parts(std::uint32_t record_format,
                                       std::optional<std::uint8_t> lock_positions_type,
                                       bool has_lock);
  // The same rule applied to an open database.
  static Result<SoaContext> from_database(const AtomDatabase& db);

  friend bool operator==(const SoaContext&, const SoaContext&) = default;
};

// The bytes of one record: an owned buffer or a share of the file mapping,
// as the database hands them out.
using SoaBytes = SharedRecordBytes;

// Where one builtin section's payload lies in the record.
struct BuiltinSlot {
  std::size_t payload_offset;
  std::size_t payload_len;
  std::uint8_t type_tag;
  friend bool operator==(const BuiltinSlot&, const BuiltinSlot&) = default;
};

// One custom section (or a kind-0 section whose key is not a builtin name).
struct LazySection {
  std::size_t key_offset;
  std::size_t payload_offset;
  std::size_t payload_len;
  std::uint8_t kind;
  std::uint8_t key_len;
  std::uint8_t type_tag;
  friend bool operator==(const LazySection&, const LazySection&) = default;
};

// A parsed record held as offsets into its bytes. Immutable after parsing;
// every range it holds lies inside the record. Accessor failures are
// Error::decode, shown by their bare text.
class SoaMoleculeView {
 public:
  // The lazy record reader. The bytes are taken over (and released on
  // failure); nothing is decoded and keys are not checked.
  static Result<SoaMoleculeView> from_storage(SoaBytes bytes, std::size_t stride,
                                              std::uint8_t positions_type);
  // As from_storage over an owned buffer.
  static Result<SoaMoleculeView> from_bytes(Bytes bytes, const SoaContext& context);

  // Read access for the array getters and the database class.
  const SoaBytes& bytes() const { return bytes_; }
  ByteSpan record() const { return bytes_.span(); }
  std::size_t n_atoms() const { return n_atoms_; }
  std::size_t positions_offset() const { return positions_offset_; }
  std::size_t positions_len() const { return positions_len_; }
  std::size_t atomic_numbers_offset() const { return atomic_numbers_offset_; }
  std::uint8_t positions_type() const { return positions_type_; }
  ByteSpan positions_bytes() const { return record().subspan(positions_offset_, positions_len_); }
  ByteSpan atomic_numbers_bytes() const {
    return record().subspan(atomic_numbers_offset_, n_atoms_);
  }
  const std::optional<BuiltinSlot>& builtin_slot(BuiltinKey key) const {
    return builtins_[static_cast<std::size_t>(key)];
  }
  const std::optional<BuiltinSlot>& forces_slot() const { return builtin_slot(BuiltinKey::Forces); }
  const std::optional<BuiltinSlot>& energy_slot() const { return builtin_slot(BuiltinKey::Energy); }
  const std::optional<BuiltinSlot>& cell_slot() const { return builtin_slot(BuiltinKey::Cell); }
  const std::optional<BuiltinSlot>& stress_slot() const { return builtin_slot(BuiltinKey::Stress); }
  const std::optional<BuiltinSlot>& charges_slot() const {
    return builtin_slot(BuiltinKey::Charges);
  }
  const std::optional<BuiltinSlot>& velocities_slot() const {
    return builtin_slot(BuiltinKey::Velocities);
  }
  const std::optional<BuiltinSlot>& pbc_slot() const { return builtin_slot(BuiltinKey::Pbc); }
  const std::optional<BuiltinSlot>& name_slot() const { return builtin_slot(BuiltinKey::Name); }
  const std::vector<LazySection>& custom() const { return custom_; }

  // The bytes [payload_offset, payload_offset + payload_len) of the record.
  // Ranges taken from this view always succeed.
  Result<ByteSpan> builtin_payload(std::size_t payload_offset, std::size_t payload_len) const;
  Result<ByteSpan> builtin_payload(const BuiltinSlot& slot) const {
    return builtin_payload(slot.payload_offset, slot.payload_len);
  }
  Result<ByteSpan> custom_payload(const LazySection& section) const {
    return builtin_payload(section.payload_offset, section.payload_len);
  }

  // The section's key, borrowed from the record and checked as UTF-8 on every
  // call: "Invalid UTF-8 in section key".
  Result<std::string_view> lazy_section_key(const LazySection& section) const;
  // First custom section of `kind` whose key is `key`. A key of that kind that
  // is not UTF-8 ends the search with the lazy_section_key error.
  Result<std::optional<LazySection>> find_custom_section(std::uint8_t kind,
                                                         std::string_view key) const;
  Result<std::optional<std::array<bool, 3>>> pbc() const;
  Result<std::optional<double>> energy() const;  // a float32 energy widened
  // Atom i with its position narrowed to float32; nothing for i >= n_atoms.
  Result<std::optional<atom::Atom>> atom_at(std::size_t i) const;
  // Whether a record with this layout appends under the same schema.
  Result<bool> same_schema_as(const SoaMoleculeView& other) const;
  Result<DatabaseSchema> database_schema() const;

  // Refuses this view as record `index` of `db` when the record's atom count
  // is not its index entry's (Error::invalid_data): one of the two is
  // damaged, and readers trust the entry's count.
  Result<void> check_index_atoms(const AtomDatabase& db, std::size_t index) const;

  // The whole record as a new owned molecule; the view is unchanged. A
  // tensor header error keeps its kind (its text reads "Invalid data: ...").
  Result<atom::Molecule> materialize() const;

 private:
  explicit SoaMoleculeView(SoaBytes bytes) : bytes_(std::move(bytes)) {}

  // Bytes per positions row by positions_type, checked against the parsed
  // positions block so that no reader steps outside it.
  Result<std::size_t> checked_positions_row() const;

  SoaBytes bytes_;
  // One slot per builtin key, indexed by BuiltinKey.
  std::array<std::optional<BuiltinSlot>, kBuiltinKeys.size()> builtins_;
  std::vector<LazySection> custom_;
  std::size_t n_atoms_ = 0;
  std::size_t positions_offset_ = 4;
  std::size_t positions_len_ = 0;
  std::size_t atomic_numbers_offset_ = 4;
  std::uint8_t positions_type_ = 0;
};

// The schema section a stored section stands for, as the engine would
// derive it from the same bytes (tensor payloads are not parsed).
Result<DatabaseSchemaSection> database_schema_section(std::uint8_t kind, std::string_view key,
                                                      std::uint8_t type_tag,
                                                      std::size_t payload_len, std::size_t n_atoms);

}  // namespace crivane::storage::soa
