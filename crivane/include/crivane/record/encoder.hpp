// The record encoder of a Molecule and the record format rules it follows.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "crivane/atom.hpp"
#include "crivane/error.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

// The positions tag of a molecule: VEC3_F32 or VEC3_F64 by its variant.
std::uint8_t positions_type_tag(const atom::Molecule& molecule);

// A builtin field present in a molecule: its key, the tag of its variant and
// its raw little-endian payload, which points into the molecule.
struct BuiltinSection {
  std::string_view key;
  std::uint8_t type_tag;
  const std::uint8_t* data;
  std::uint64_t size;
};

// The builtins present in a molecule, in record order.
struct BuiltinSections {
  std::array<BuiltinSection, BUILTIN_KEYS.size()> items;
  std::size_t count = 0;
  const BuiltinSection* begin() const { return items.data(); }
  const BuiltinSection* end() const { return items.data() + count; }
  std::size_t size() const { return count; }
};
BuiltinSections builtin_sections(const atom::Molecule& molecule);

// Refuses a molecule whose positions or builtin dtypes the format cannot hold.
Result<void> validate_record_format_compat(const atom::Molecule& molecule,
                                           std::uint32_t record_format);

// 2 when the molecule fits record format 2, else 3.
std::uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule);

// Appends one section to a record buffer. Precondition: check_section_limits
// accepts the key and payload.
void write_section(Bytes& buffer, std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                   ByteSpan payload);

// Encodes a molecule into one record. Custom sections follow the builtins,
// atom properties first, each map in byte-wise key order, so equal molecules
// give equal bytes. Keys and strings must be UTF-8; the encoder does not check.
Result<Bytes> serialize_molecule_soa(const atom::Molecule& molecule, std::uint32_t record_format);

}  // namespace crivane::storage::soa
