// The structure-of-arrays record layout: its constants, section kinds,
// builtin key lookup, limits and the positions dtype rule, on top of the
// format numbers and builtin keys of storage/record_format.hpp. Every reader
// and writer of records (the record reader, record/writer.hpp) builds on these.
//
// Record (little-endian, packed): u32 n_atoms, n x positions row (12 or 24
// bytes), n x u8 atomic numbers, u16 section count, then sections of
// u8 kind, u8 key length L, key, u8 type tag, u32 payload length P, payload.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "crivane/error.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/record_format.hpp"

namespace crivane::storage::soa {

// Section kinds (u8 in the record).
namespace SectionKind {
inline constexpr std::uint8_t Builtin = 0;
inline constexpr std::uint8_t AtomProperty = 1;      // atom_properties
inline constexpr std::uint8_t MoleculeProperty = 2;  // properties
}  // namespace SectionKind

namespace detail {
template <std::size_t... I>
constexpr std::optional<BuiltinKey> find_builtin_key(std::string_view key,
                                                     std::index_sequence<I...>) {
  std::optional<BuiltinKey> found;
  (void)((key == kBuiltinKeys[I] && (found = static_cast<BuiltinKey>(I), true)) || ...);
  return found;
}
}  // namespace detail

// The builtin a kind-0 section key names: exact bytes, case-sensitive. The
// lookup runs for every kind-0 section of every record read, so it is
// unrolled over the table and each comparison has a length known at compile time.
constexpr std::optional<BuiltinKey> find_builtin_key(std::string_view key) {
  return detail::find_builtin_key(key, std::make_index_sequence<kBuiltinKeys.size()>());
}

// Forces, charges and velocities hold one element per atom.
constexpr bool is_per_atom_builtin(std::string_view key) {
  return key == key_of(BuiltinKey::Forces) || key == key_of(BuiltinKey::Charges) ||
         key == key_of(BuiltinKey::Velocities);
}

// Whether a section holds one element per atom: every atom property, and the
// per-atom builtins. Other kinds are per molecule.
constexpr bool is_per_atom_section(std::uint8_t kind, std::string_view key) {
  return kind == SectionKind::AtomProperty ||
         (kind == SectionKind::Builtin && is_per_atom_builtin(key));
}

// The layout's limits. A record's atom count is a u32, and so is its index
// entry's: kMaxRecordAtoms bounds both.
inline constexpr std::uint64_t kMaxRecordAtoms = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::size_t kMaxSections = std::numeric_limits<std::uint16_t>::max();
inline constexpr std::size_t kMaxKeyBytes = std::numeric_limits<std::uint8_t>::max();
inline constexpr std::uint64_t kMaxPayloadBytes = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::size_t kRecordHeadBytes = 6;     // n_atoms + section count
inline constexpr std::size_t kSectionHeaderBytes = 7;  // kind, L, tag, P

// Bytes per atom of the positions (and of any 3-vector section) for tag
// kVec3F32 (12) or kVec3F64 (24); 0 for any other tag.
constexpr std::size_t positions_row_bytes(std::uint8_t positions_tag) {
  return positions_tag == dtypes::tag::kVec3F32 || positions_tag == dtypes::tag::kVec3F64
             ? dtypes::element_size(positions_tag)
             : 0;
}

// Refuses atom counts that a record's u32 cannot hold.
Result<void> check_atom_count(std::uint64_t n_atoms);

// Refuses a section whose key or payload length the layout cannot hold.
Result<void> check_section_limits(std::string_view key, std::uint64_t payload_len);

// The positions tag records of this format use: 4 under format 2, the known
// type under format 3 (returned unchecked).
Result<std::uint8_t> resolve_positions_type(std::uint32_t record_format,
                                            std::optional<std::uint8_t> positions_type);

}  // namespace crivane::storage::soa
