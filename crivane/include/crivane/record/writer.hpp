// The record writer of the stacked-array batch: one record from the slices of
// one molecule, without a Molecule in between. It writes the engine's record
// layout with the builtins in the engine's order, so a molecule without custom
// properties gives the engine encoder's bytes; custom sections keep the order
// they are given in. The batch builds records on the worker pool, and the
// fuzz target drives the writer alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::soa {

// One builtin section's payload and the type tag it is written with.
struct RawPayload {
  ByteSpan bytes;
  std::uint8_t type_tag;
};

// The builtin sections of one record; absent ones are not written.
struct SoaBuiltinPayloads {
  std::optional<RawPayload> energy;
  std::optional<RawPayload> forces;
  std::optional<RawPayload> charges;
  std::optional<RawPayload> velocities;
  std::optional<RawPayload> cell;
  std::optional<RawPayload> stress;
  std::optional<ByteSpan> name;                    // UTF-8, tag STRING
  std::optional<std::array<std::uint8_t, 3>> pbc;  // 0 or 1 each, tag BOOL3
};

// One custom section, borrowed from its column.
struct SoaCustomSection {
  std::string_view key;
  ByteSpan payload;
  std::uint8_t kind;
  std::uint8_t type_tag;
};

// One record: the positions (VEC3_F32: 12 bytes per atom, VEC3_F64: 24), the atomic
// numbers (one byte per atom), the builtins present in record order, then the
// custom sections in the order given. Every input is checked before the
// record's one exact-size allocation; the first failure is invalid data:
// "Unsupported positions type tag {}", "positions payload length ({}) is not
// a multiple of {}", "Atomic numbers length ({}) doesn't match atom count
// ({})", "Too many SOA sections", then per section in write order "Section
// key '{}' is too long" and "Section '{}' payload is too large".
Result<Bytes> build_soa_record_unchecked(std::uint8_t positions_tag, ByteSpan positions,
                                         ByteSpan atomic_numbers,
                                         const SoaBuiltinPayloads& builtins,
                                         std::span<const SoaCustomSection> custom);

// Appends one section (kind, key length, key, tag, payload length, payload) to
// a record buffer, or refuses a key of 256 bytes or more or a payload of 2^32
// bytes or more with the section texts above, leaving the buffer unchanged.
Result<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key,
                                   std::uint8_t type_tag, ByteSpan payload);

}  // namespace crivane::storage::soa
