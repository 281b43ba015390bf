// The record encoder of a Molecule and the record format rules it follows.
// It writes through the one record writer (record/writer.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "crivane/atom.hpp"
#include "crivane/error.hpp"
#include "crivane/record/layout.hpp"
#include "crivane/record/writer.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

// The positions tag of a molecule: kVec3F32 or kVec3F64 by its variant.
std::uint8_t positions_type_tag(const atom::Molecule& molecule);

// The builtin fields present in a molecule, in record order, each with the
// tag of its variant; payloads point into the molecule.
BuiltinSections builtin_sections(const atom::Molecule& molecule);

// Refuses a molecule whose positions or builtin dtypes the format cannot hold.
Result<void> validate_record_format_compat(const atom::Molecule& molecule,
                                           std::uint32_t record_format);

// 2 when the molecule fits record format 2, else 3.
std::uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule);

// Encodes a molecule into one record. Custom sections follow the builtins,
// atom properties first, each map in byte-wise key order, so equal molecules
// give equal bytes. Keys and strings must be UTF-8; the encoder does not check.
Result<Bytes> serialize_molecule_soa(const atom::Molecule& molecule, std::uint32_t record_format);

}  // namespace crivane::storage::soa
