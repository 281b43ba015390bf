// The schema lock: the type of every (kind, key) section a database has
// stored, the merge rule and the schema blob. Deriving a lock from molecules
// and records is the record format's (crivane/record/schema.hpp).
//
// Schema blob v1 (little-endian, packed): u32 version = 1, u8 positions type
// (4, 7, or 255 for unknown), u32 entry count, then per entry u8 kind,
// u8 type_tag, u8 per_atom, u16 key length L, u32 elem_bytes, u32 slot_bytes,
// L key bytes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::storage::schema {

struct SchemaEntry {
  std::uint8_t type_tag = 0;
  bool per_atom = false;
  std::size_t elem_bytes = 0;
  std::size_t slot_bytes = 0;

  // SchemaEntry { type_tag: 4, per_atom: true, elem_bytes: 12, slot_bytes: 12 }
  std::string debug() const;
  friend bool operator==(const SchemaEntry&, const SchemaEntry&) = default;
};

// (kind, key); std::pair and std::string order this by kind, then by the
// key's bytes as unsigned values, a prefix first.
using SchemaKey = std::pair<std::uint8_t, std::string>;
using SchemaEntries = std::map<SchemaKey, SchemaEntry>;

struct SchemaLock {
  SchemaEntries entries;
  std::optional<std::uint8_t> positions_type;  // 4 or 7; empty while unknown
  friend bool operator==(const SchemaLock&, const SchemaLock&) = default;
};

inline constexpr std::uint32_t kSchemaBlobVersion = 1;
inline constexpr std::uint8_t kSchemaPositionsUnknown = 255;

// Merges `incoming` into `target`. On failure `target` holds what was merged
// before the failing entry; callers merge into a copy.
Result<void> merge_schema_lock(SchemaLock& target, const SchemaLock& incoming);

Result<Bytes> encode_schema_lock(const SchemaLock& lock);

// Parses a schema blob. Safe on any bytes.
Result<SchemaLock> decode_schema_lock(ByteSpan blob);

}  // namespace crivane::storage::schema

namespace crivane::storage {

// The exchange form of a schema for callers outside the storage engine.
struct DatabaseSchemaSection {
  std::string key;
  std::size_t elem_bytes = 0;
  std::size_t slot_bytes = 0;
  bool per_atom = false;
  std::uint8_t kind = 0;
  std::uint8_t type_tag = 0;
  friend bool operator==(const DatabaseSchemaSection&, const DatabaseSchemaSection&) = default;
};

struct DatabaseSchema {
  std::vector<DatabaseSchemaSection> sections;
  std::optional<std::uint8_t> positions_type;
  friend bool operator==(const DatabaseSchema&, const DatabaseSchema&) = default;
};

// One section per entry, in lock order.
DatabaseSchema database_schema_from_lock(const schema::SchemaLock& lock);

// Sections taken as given, unchecked; of sections with equal (kind, key) the
// last one wins.
schema::SchemaLock schema_lock_from_database_schema(const DatabaseSchema& schema);

}  // namespace crivane::storage
