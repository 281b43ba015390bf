// AtomDatabase reads: record bytes by index, through the data mapping where
// it holds them and through the file otherwise; many at once are fetched and
// decompressed in parallel. Nothing here changes the database, so reads may
// run on several threads at once.
#include <fmt/format.h>

#include "crivane/parallel.hpp"
#include "crivane/storage/database.hpp"
#include "database_io.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using index::MoleculeIndex;

// The stored range [offset, end) of `e` when it lies wholly inside `size` bytes.
std::optional<std::pair<std::size_t, std::size_t>> range_within(const MoleculeIndex& e,
                                                                std::size_t size) {
  std::uint64_t end;
  if (!detail::range_end(e.offset, e.compressed_len, end) || end > size) return std::nullopt;
  const std::uint64_t start = e.offset;  // packed: read fields by value
  return std::pair<std::size_t, std::size_t>(start, end);
}

}  // namespace

bool AtomDatabase::in_record_region(const MoleculeIndex& e) const {
  std::uint64_t end;
  return e.offset >= data_start_ && detail::range_end(e.offset, e.compressed_len, end) &&
         end <= records_end_;
}

Result<void> AtomDatabase::check_record_region(std::size_t i, const MoleculeIndex& e,
                                               std::uint64_t held) const {
  if (in_record_region(e) || !range_within(e, held)) return {};
  const std::uint64_t offset = e.offset;  // packed: read fields by value
  return unexpected(Error::invalid_data(fmt::format(
      "Index entry {} names {} bytes at offset {}, outside the records (bytes {} to {}); the "
      "database's index is damaged",
      i, std::uint32_t{e.compressed_len}, offset, data_start_, records_end_)));
}

Result<std::vector<MoleculeIndex>> AtomDatabase::look_up(
    std::span<const std::size_t> indices) const {
  // Every index is looked up before anything is read, so "out of bounds"
  // names the first one missing, whatever else is wrong.
  std::vector<MoleculeIndex> entries;
  entries.reserve(indices.size());
  for (const std::size_t i : indices) {
    const std::optional<MoleculeIndex> e = index_.entry(i);
    if (!e) return unexpected(Error::invalid_data(fmt::format("Index {} out of bounds", i)));
    entries.push_back(*e);
  }
  for (std::size_t k = 0; k < indices.size(); ++k) {
    const MoleculeIndex& e = entries[k];
    if (in_record_region(e)) continue;
    // Only a damaged index gets here. What the read takes the entry from:
    // the mapping when it holds the range, else the file as it is now.
    std::uint64_t held = 0;
    if (data_mmap_ && range_within(e, data_mmap_->size())) {
      held = data_mmap_->size();
    } else {
      CRIVANE_ASSIGN_OR_RETURN(held, file_length(file_));
    }
    CRIVANE_TRY(check_record_region(indices[k], e, held));
  }
  return entries;
}

namespace detail {

Result<Bytes> read_stored_record(const File& file, std::uint64_t file_len,
                                 const MoleculeIndex& entry) {
  std::uint64_t end;
  if (!range_end(entry.offset, entry.compressed_len, end) || end > file_len) {
    return unexpected(Error::io("failed to fill whole buffer"));
  }
  Bytes stored;
  stored.resize(entry.compressed_len);
  CRIVANE_TRY(pread_exact(file, stored, entry.offset));
  return stored;
}

Result<Bytes> record_from_stored(Bytes stored, CompressionType compression,
                                 std::uint32_t uncompressed_len) {
  if (compression.codec == CompressionType::Codec::None) return stored;
  return compression::decompress(stored, compression, uncompressed_len);
}

}  // namespace detail

Result<std::vector<Bytes>> AtomDatabase::get_raw_bytes(std::span<const std::size_t> indices) const {
  return catch_allocation_failure([&]() -> Result<std::vector<Bytes>> {
    CRIVANE_ASSIGN_OR_RETURN(const std::vector<MoleculeIndex> entries, look_up(indices));
    return decompress_entries_parallel(entries);
  });
}

Result<DecompressedRecords> AtomDatabase::read_decompress_parallel(
    std::span<const std::size_t> indices) const {
  return catch_allocation_failure([&]() -> Result<DecompressedRecords> {
    CRIVANE_ASSIGN_OR_RETURN(const std::vector<MoleculeIndex> entries, look_up(indices));
    DecompressedRecords out;
    CRIVANE_ASSIGN_OR_RETURN(out.records, decompress_entries_parallel(entries));
    out.n_atoms.reserve(entries.size());
    for (const MoleculeIndex& e : entries) out.n_atoms.push_back(std::uint32_t{e.n_atoms});
    return out;
  });
}

Result<std::vector<Bytes>> AtomDatabase::decompress_entries_parallel(
    std::span<const MoleculeIndex> entries) const {
  if (entries.empty()) return std::vector<Bytes>{};
  const Mapping* mapping = data_mmap_.get();

  // Entries the mapping does not hold whole (appended after a mapped open,
  // or from a damaged index) are read through the file, never around the
  // mapping. The database's own handle serves every task: pread takes its
  // own offset, so tasks do not contend for a file position.
  bool needs_file = mapping == nullptr;
  for (std::size_t i = 0; i < entries.size() && !needs_file; ++i) {
    needs_file = !range_within(entries[i], mapping->size());
  }
  std::uint64_t file_len = 0;
  if (needs_file) {
    CRIVANE_ASSIGN_OR_RETURN(file_len, file_length(file_));
  }

  const CompressionType codec = compression_;
  return parallel::parallel_map<Bytes>(entries.size(), [&](std::size_t i) -> Result<Bytes> {
    const MoleculeIndex e = entries[i];
    if (mapping != nullptr) {
      if (const auto range = range_within(e, mapping->size())) {
        const ByteSpan stored(mapping->data() + range->first, range->second - range->first);
        return compression::decompress(stored, codec, std::size_t{e.uncompressed_len});
      }
    }
    CRIVANE_ASSIGN_OR_RETURN(Bytes stored, detail::read_stored_record(file_, file_len, e));
    return detail::record_from_stored(std::move(stored), codec, e.uncompressed_len);
  });
}

std::optional<std::uint32_t> AtomDatabase::uncompressed_size(std::size_t i) const {
  const auto e = index_.entry(i);
  if (!e) return std::nullopt;
  return std::uint32_t{e->uncompressed_len};
}

std::optional<std::uint32_t> AtomDatabase::num_atoms(std::size_t i) const {
  const auto e = index_.entry(i);
  if (!e) return std::nullopt;
  return std::uint32_t{e->n_atoms};
}

std::optional<MoleculeIndex> AtomDatabase::index_entry(std::size_t i) const {
  return index_.entry(i);
}

std::optional<std::pair<std::size_t, std::size_t>> AtomDatabase::mapped_range(
    const MoleculeIndex& e) const {
  if (!data_mmap_ || !in_record_region(e)) return std::nullopt;
  return range_within(e, data_mmap_->size());
}

std::optional<ByteSpan> AtomDatabase::get_compressed_slice(std::size_t i) const {
  const auto e = index_.entry(i);
  if (!e) return std::nullopt;
  const auto range = mapped_range(*e);
  if (!range) return std::nullopt;
  return ByteSpan(data_mmap_->data() + range->first, range->second - range->first);
}

Result<std::uint64_t> AtomDatabase::stored_length() const { return file_length(file_); }

std::optional<SharedMmapBytes> AtomDatabase::get_shared_mmap_bytes(std::size_t i) const {
  const auto e = index_.entry(i);
  if (!e) return std::nullopt;
  const auto range = mapped_range(*e);
  if (!range) return std::nullopt;
  return SharedMmapBytes(data_mmap_, range->first, range->second);
}

namespace {

Error missing_mapped_record(std::size_t i) {
  return Error::invalid_data(fmt::format("Missing mmap bytes for molecule {}", i));
}

Error missing_compressed_record(std::size_t i) {
  return Error::invalid_data(fmt::format("Missing compressed bytes for molecule {}", i));
}

}  // namespace

// Runs for every record of a batch and on every single read: the entry is
// looked up and placed once.
Result<AtomDatabase::MappedRecord> AtomDatabase::mapped_record(std::size_t i) const {
  const std::optional<MoleculeIndex> e = index_.entry(i);
  std::optional<std::pair<std::size_t, std::size_t>> range;
  if (e && data_mmap_) {
    if (in_record_region(*e)) {
      range = range_within(*e, data_mmap_->size());
    } else {
      CRIVANE_TRY(check_record_region(i, *e, data_mmap_->size()));
    }
  }
  if (!range) {
    return unexpected(compression_.codec == CompressionType::Codec::None
                          ? missing_mapped_record(i)
                          : missing_compressed_record(i));
  }
  return MappedRecord{range->first, range->second, e->uncompressed_len};
}

Result<RecordBytes> AtomDatabase::record_bytes(std::size_t i) const {
  return catch_allocation_failure([&]() -> Result<RecordBytes> {
    CRIVANE_ASSIGN_OR_RETURN(const MappedRecord at, mapped_record(i));
    const ByteSpan stored(data_mmap_->data() + at.start, at.end - at.start);
    if (compression_.codec == CompressionType::Codec::None) return RecordBytes(stored);
    CRIVANE_ASSIGN_OR_RETURN(Bytes record,
                             compression::decompress(stored, compression_, at.uncompressed_len));
    return RecordBytes(std::move(record));
  });
}

Result<SharedRecordBytes> AtomDatabase::shared_record_bytes(std::size_t i) const {
  return catch_allocation_failure([&]() -> Result<SharedRecordBytes> {
    CRIVANE_ASSIGN_OR_RETURN(const MappedRecord at, mapped_record(i));
    if (compression_.codec == CompressionType::Codec::None) {
      return SharedRecordBytes(SharedMmapBytes(data_mmap_, at.start, at.end));
    }
    const ByteSpan stored(data_mmap_->data() + at.start, at.end - at.start);
    CRIVANE_ASSIGN_OR_RETURN(Bytes record,
                             compression::decompress(stored, compression_, at.uncompressed_len));
    return SharedRecordBytes(std::move(record));
  });
}

std::optional<DatabaseSchema> AtomDatabase::schema_info() const {
  if (!schema_lock_) return std::nullopt;
  return database_schema_from_lock(*schema_lock_);
}

}  // namespace crivane::storage
