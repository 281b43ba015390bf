// What the storage primitives know of the record format: the format numbers
// (a header slot holds the database's) and the builtin section keys (the
// format-2 dtype rules of dtypes name them). The record layout
// (record/layout.hpp) builds on these; nothing here depends on it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace crivane::storage::soa {

// Record formats: the database's record_format, held in its header.
// Fixed dtypes: float32 positions, forces and velocities; float64 charges,
// energy, cell and stress.
inline constexpr std::uint32_t kRecordFormatFixedDtypes = 2;
// Float32 or float64 for each builtin; the positions dtype is the database's
// (its schema lock's positions type).
inline constexpr std::uint32_t kRecordFormatMixedDtypes = 3;

constexpr bool is_known_record_format(std::uint32_t format) {
  return format == kRecordFormatFixedDtypes || format == kRecordFormatMixedDtypes;
}

// The builtin (kind 0) sections, in the order they are written; each names
// its entry of kBuiltinKeys.
enum class BuiltinKey : std::uint8_t {
  Charges,
  Cell,
  Energy,
  Forces,
  Name,
  Pbc,
  Stress,
  Velocities
};

inline constexpr std::array<std::string_view, 8> kBuiltinKeys = {
    "charges", "cell", "energy", "forces", "name", "pbc", "stress", "velocities"};
static_assert(static_cast<std::size_t>(BuiltinKey::Velocities) + 1 == kBuiltinKeys.size());

constexpr std::string_view key_of(BuiltinKey b) {
  return kBuiltinKeys[static_cast<std::size_t>(b)];
}

}  // namespace crivane::storage::soa
