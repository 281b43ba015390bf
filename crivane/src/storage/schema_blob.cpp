// The schema blob: how a lock is stored at commit and read back at open.
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "crivane/storage/dtypes.hpp"
#include "crivane/storage/schema.hpp"
#include "crivane/storage/utf8.hpp"

namespace crivane::storage::schema {
namespace {

constexpr std::size_t kHeaderBytes = 9;
constexpr std::size_t kEntryHeaderBytes = 13;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

Error invalid(std::string text) { return Error::invalid_data(std::move(text)); }

bool is_positions_tag(std::uint8_t t) {
  return t == dtypes::tag::kVec3F32 || t == dtypes::tag::kVec3F64;
}

}  // namespace

Result<Bytes> encode_schema_lock(const SchemaLock& lock) {
  // The blob must always decode again, or the database it is committed to
  // could not be opened: refuse what the decoder would refuse.
  if (lock.positions_type && !is_positions_tag(*lock.positions_type)) {
    return unexpected(
        invalid(fmt::format("Unsupported schema positions type tag {}", *lock.positions_type)));
  }
  std::size_t total = kHeaderBytes;
  for (const auto& [k, e] : lock.entries) {
    const std::string& key = k.second;
    if (key.size() > std::numeric_limits<std::uint16_t>::max()) {
      return unexpected(invalid(fmt::format("Schema key '{}' is too long", key)));
    }
    if (e.elem_bytes > kU32Max) {
      return unexpected(invalid(fmt::format("Schema elem_bytes overflow for '{}'", key)));
    }
    if (e.slot_bytes > kU32Max) {
      return unexpected(invalid(fmt::format("Schema slot_bytes overflow for '{}'", key)));
    }
    if (!utf8::is_valid(key)) return unexpected(invalid("Invalid UTF-8 in schema key"));
    total += kEntryHeaderBytes + key.size();
  }

  Bytes out;
  out.resize(total);
  std::uint8_t* p = out.data();
  bytes::store<std::uint32_t>(p, kSchemaBlobVersion);
  p[4] = lock.positions_type.value_or(kSchemaPositionsUnknown);
  bytes::store<std::uint32_t>(p + 5, static_cast<std::uint32_t>(lock.entries.size()));
  p += kHeaderBytes;
  for (const auto& [k, e] : lock.entries) {
    const std::string& key = k.second;
    p[0] = k.first;
    p[1] = e.type_tag;
    p[2] = e.per_atom ? 1 : 0;
    bytes::store<std::uint16_t>(p + 3, static_cast<std::uint16_t>(key.size()));
    bytes::store<std::uint32_t>(p + 5, static_cast<std::uint32_t>(e.elem_bytes));
    bytes::store<std::uint32_t>(p + 9, static_cast<std::uint32_t>(e.slot_bytes));
    if (!key.empty()) std::memcpy(p + kEntryHeaderBytes, key.data(), key.size());
    p += kEntryHeaderBytes + key.size();
  }
  return out;
}

Result<SchemaLock> decode_schema_lock(ByteSpan blob) {
  ByteReader r(blob);
  if (r.left() < kHeaderBytes) return unexpected(invalid("Schema blob too small"));
  const std::uint32_t version = *r.read<std::uint32_t>();
  if (version != kSchemaBlobVersion) {
    return unexpected(invalid(fmt::format("Unsupported schema blob version {}", version)));
  }
  SchemaLock lock;
  const std::uint8_t positions = *r.read<std::uint8_t>();
  if (is_positions_tag(positions)) {
    lock.positions_type = positions;
  } else if (positions != kSchemaPositionsUnknown) {
    return unexpected(invalid(fmt::format("Unsupported schema positions type tag {}", positions)));
  }
  // The count is untrusted: every entry is checked against the bytes left,
  // and nothing is sized by it.
  const std::uint32_t count = *r.read<std::uint32_t>();
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto entry = r.read_fields<std::uint8_t, std::uint8_t, std::uint8_t, std::uint16_t,
                                     std::uint32_t, std::uint32_t>();
    if (!entry) return unexpected(invalid("Schema blob truncated"));
    const auto [kind, type_tag, per_atom, key_len, elem_bytes, slot_bytes] = *entry;
    if (per_atom > 1) return unexpected(invalid("Invalid schema per_atom flag"));
    const auto key_bytes = r.take(key_len);
    if (!key_bytes) return unexpected(invalid("Schema blob truncated at key"));
    const std::string_view key(reinterpret_cast<const char*>(key_bytes->data()), key_len);
    if (!utf8::is_valid(key)) return unexpected(invalid("Invalid UTF-8 in schema key"));
    lock.entries.insert_or_assign(SchemaKey{kind, std::string(key)},
                                  SchemaEntry{type_tag, per_atom == 1, elem_bytes, slot_bytes});
  }
  if (!r.empty()) return unexpected(invalid("Schema blob trailing bytes"));
  return lock;
}

}  // namespace crivane::storage::schema
