// Schema derivation: the schema lock entries that molecules and stored
// records stand for, and the record format's rules for a whole lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "crivane/atom.hpp"
#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/schema.hpp"

namespace crivane::storage::schema {

// The entry of one section with payload length `payload_len` in a record of
// `n_atoms` atoms. `payload` is needed for tensor tags only.
Result<SchemaEntry> schema_entry(std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                                 std::uint64_t payload_len, std::optional<ByteSpan> payload,
                                 std::uint64_t n_atoms);

// schema_entry, then inserts under (kind, key), replacing an entry there.
Result<void> insert_schema_entry(SchemaEntries& entries, std::uint8_t kind, std::string_view key,
                                 std::uint8_t type_tag, std::uint64_t payload_len,
                                 std::optional<ByteSpan> payload, std::uint64_t n_atoms);

// The lock of one molecule; checks per-atom lengths and that no key is in
// both property maps.
Result<SchemaLock> schema_from_molecule(const atom::Molecule& molecule);

// Validates one uncompressed record and returns its lock. Safe on any bytes.
Result<SchemaLock> record_schema(ByteSpan record, std::uint32_t record_format,
                                 std::optional<std::uint8_t> positions_type);

// Refuses a lock whose positions type or builtin dtypes the format cannot
// hold.
Result<void> validate_schema_lock_for_record_format(std::uint32_t record_format,
                                                    const SchemaLock& lock);

}  // namespace crivane::storage::schema
