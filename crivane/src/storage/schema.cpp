#include "crivane/storage/schema.hpp"

#include <fmt/format.h>

namespace crivane::storage::schema {
namespace {

Error invalid(std::string text) { return Error::invalid_data(std::move(text)); }

}  // namespace

std::string SchemaEntry::debug() const {
  return fmt::format("SchemaEntry {{ type_tag: {}, per_atom: {}, elem_bytes: {}, slot_bytes: {} }}",
                     type_tag, per_atom, elem_bytes, slot_bytes);
}

Result<void> merge_schema_lock(SchemaLock& target, const SchemaLock& incoming) {
  if (target.positions_type && incoming.positions_type &&
      *target.positions_type != *incoming.positions_type) {
    return unexpected(invalid(fmt::format("Position dtype mismatch: expected type tag {}, got {}",
                                          *target.positions_type, *incoming.positions_type)));
  }
  if (!target.positions_type) target.positions_type = incoming.positions_type;
  for (const auto& [k, e] : incoming.entries) {
    auto it = target.entries.lower_bound(k);
    if (it == target.entries.end() || it->first != k) {
      target.entries.emplace_hint(it, k, e);
    } else if (it->second != e) {
      return unexpected(invalid(fmt::format("Schema mismatch for section '{}': expected {}, got {}",
                                            k.second, it->second.debug(), e.debug())));
    }
  }
  return {};
}

}  // namespace crivane::storage::schema

namespace crivane::storage {

DatabaseSchema database_schema_from_lock(const schema::SchemaLock& lock) {
  DatabaseSchema out;
  out.positions_type = lock.positions_type;
  out.sections.reserve(lock.entries.size());
  for (const auto& [k, e] : lock.entries) {
    out.sections.push_back({k.second, e.elem_bytes, e.slot_bytes, e.per_atom, k.first, e.type_tag});
  }
  return out;
}

schema::SchemaLock schema_lock_from_database_schema(const DatabaseSchema& in) {
  // Assigning in the given order keeps the last of equal (kind, key), as a
  // stable sort followed by keeping the last duplicate would.
  schema::SchemaLock lock;
  lock.positions_type = in.positions_type;
  for (const DatabaseSchemaSection& s : in.sections) {
    lock.entries.insert_or_assign(
        schema::SchemaKey{s.kind, s.key},
        schema::SchemaEntry{s.type_tag, s.per_atom, s.elem_bytes, s.slot_bytes});
  }
  return lock;
}

}  // namespace crivane::storage
