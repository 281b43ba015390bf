#include "crivane/storage/index.hpp"

#include <cstring>

#include <fmt/format.h>

namespace crivane::storage::index {

Bytes encode_index(std::span<const MoleculeIndex> entries) {
  Bytes out;
  out.reserve(kCountSize + kEntrySize * entries.size());
  bytes::put<std::uint64_t>(out, entries.size());
  bytes::put_bytes(out, entries.data(), entries.size_bytes());
  return out;
}

Result<std::vector<MoleculeIndex>> decode_index(ByteSpan bytes) {
  ByteReader r(bytes);
  const auto n = r.read<std::uint64_t>();
  if (!n) return unexpected(Error::invalid_data("Index too small"));
  std::uint64_t entries_len;
  if (__builtin_mul_overflow(*n, kEntrySize, &entries_len)) {
    return unexpected(Error::invalid_data("Index length overflow"));
  }
  const std::uint64_t expected = entries_len + kCountSize;  // cannot wrap: n * 20 <= 2^64 - 16
  if (bytes.size() != expected) {
    return unexpected(Error::invalid_data(
        fmt::format("Index length mismatch (expected {}, got {})", expected, bytes.size())));
  }
  // n now agrees with the bytes present, so it may size the allocation.
  const ByteSpan raw = *r.take(entries_len);
  std::vector<MoleculeIndex> entries(*n);
  if (!raw.empty()) std::memcpy(entries.data(), raw.data(), raw.size());
  return entries;
}

std::size_t IndexStorage::len() const {
  if (const auto* m = mapped()) return m->record_count;
  return owned()->entries.size();
}

std::optional<MoleculeIndex> IndexStorage::entry(std::size_t i) const {
  if (const auto* o = owned()) {
    if (i >= o->entries.size()) return std::nullopt;
    return o->entries[i];
  }
  const Mapped& m = *mapped();
  if (i >= m.record_count || !m.index_mapping) return std::nullopt;
  std::uint64_t rel, start, end;
  if (__builtin_mul_overflow(std::uint64_t{i}, kEntrySize, &rel) ||
      __builtin_add_overflow(rel, m.index_offset, &start) ||
      __builtin_add_overflow(start, kCountSize, &start) ||
      __builtin_add_overflow(start, kEntrySize, &end) || end > m.index_mapping->size()) {
    return std::nullopt;
  }
  MoleculeIndex e;
  std::memcpy(&e, m.index_mapping->data() + start, sizeof e);
  return e;
}

Result<void> IndexStorage::extend(std::span<const MoleculeIndex> entries) {
  auto* o = std::get_if<Owned>(&storage_);
  if (o == nullptr) {
    return unexpected(Error::invalid_data(kMappedIndexAppend));
  }
  // The append that calls this has written its records already: a failure
  // must come back as a value for it to cut them. A failed insert leaves the
  // entries as they were.
  return catch_allocation_failure([&]() -> Result<void> {
    o->entries.insert(o->entries.end(), entries.begin(), entries.end());
    return {};
  });
}

}  // namespace crivane::storage::index
