// AtomDatabase lifecycle: create, open, commit and the cut of an uncommitted
// tail. Appending is database_append.cpp, reading database_read.cpp.
#include "crivane/storage/database.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "crivane/storage/header.hpp"
#include "database_io.hpp"

namespace crivane::storage {
namespace {

using compression::CompressionType;
using header::HeaderSlot;

constexpr std::uint8_t kMagic[4] = {'C', 'R', 'V', 'N'};

CompressionType normalized(CompressionType c) {
  // Only zstd has a level; the header stores 0 for the others, so keep the
  // in-memory value equal to what an open will read back.
  return c.codec == CompressionType::Codec::Zstd ? c : CompressionType{c.codec, 0};
}

bool names_index(const HeaderSlot& slot) { return slot.index_offset != 0 && slot.index_len != 0; }
bool names_schema(const HeaderSlot& slot) {
  return slot.schema_offset != 0 && slot.schema_len != 0;
}

// Where the committed state ends: the index blob's end, or the data start
// when there is none. A schema blob a foreign writer put after the index (or
// without one) counts as well, so that a tail cut never removes a blob the
// chosen slot names; this system's commits write it first, so for its own
// files the index end is the answer. A valid slot keeps both ends in the file.
std::uint64_t committed_end_of(const HeaderSlot& slot) {
  std::uint64_t end = slot.data_start;
  if (names_index(slot)) end = std::max(end, slot.index_offset + slot.index_len);
  if (names_schema(slot)) end = std::max(end, slot.schema_offset + slot.schema_len);
  return end;
}

}  // namespace

Result<AtomDatabase> AtomDatabase::create_with_format(const std::filesystem::path& path,
                                                      CompressionType compression) {
  compression = normalized(compression);
  CRIVANE_ASSIGN_OR_RETURN(File out, File::create(path));
  HeaderSlot slot;
  slot.compression = compression;
  const header::SlotBytes bytes = header::encode_header_slot(slot);
  CRIVANE_TRY(write_all(out, bytes));
  CRIVANE_TRY(write_all(out, bytes));
  CRIVANE_TRY(fsync(out));

  AtomDatabase db(path, compression);
  db.committed_end_ = header::kDataStart;
  return db;
}

Result<AtomDatabase> AtomDatabase::open_with_options(const std::filesystem::path& path, bool mmap,
                                                     bool populate) {
  CRIVANE_ASSIGN_OR_RETURN(File file, File::open_read(path));
  std::uint8_t head[8];
  CRIVANE_TRY(read_exact(file, head));
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0) {
    return unexpected(Error::invalid_data("Invalid file format"));
  }
  const std::uint32_t version = bytes::load_u32(head + 4);
  if (version != header::kVersion) {
    return unexpected(Error::invalid_data(fmt::format(
        "Unsupported file format version {} (expected {})", version, header::kVersion)));
  }
  return open_v1(path, std::move(file), mmap, populate);
}

Result<AtomDatabase> AtomDatabase::open_v1(std::filesystem::path path, File file, bool mmap,
                                           bool populate) {
  CRIVANE_ASSIGN_OR_RETURN(const HeaderSlot slot, header::read_best_header(file));
  if (slot.record_format != 2 && slot.record_format != 3) {
    return unexpected(
        Error::invalid_data(fmt::format("Unsupported record format {}.", slot.record_format)));
  }
  const std::uint64_t committed_end = committed_end_of(slot);
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t file_len, file_length(file));

  AtomDatabase db(std::move(path), slot.compression);
  if (mmap) {
    CRIVANE_ASSIGN_OR_RETURN(db.data_mmap_, Mapping::map_path(db.path_));
    if (populate) (void)db.data_mmap_->populate_read();  // only advice; old kernels refuse it
    if (names_index(slot)) {
      // A mapping of its own, so the index never depends on the data mapping's shares.
      CRIVANE_ASSIGN_OR_RETURN(auto index_mapping, Mapping::map_path(db.path_));
      db.index_ = index::IndexStorage::Mapped{slot.index_offset, slot.record_count,
                                              std::move(index_mapping)};
    }
    // A mapped open never cuts: the mapping would lose the pages under it.
    db.has_uncommitted_tail_ = false;
  } else {
    db.has_uncommitted_tail_ = file_len > committed_end;
    if (names_index(slot)) {
      // The slot was validated against the file length, so the blob exists.
      Bytes blob;
      blob.resize(slot.index_len);
      CRIVANE_TRY(seek(file, slot.index_offset));
      CRIVANE_TRY(read_exact(file, blob));
      CRIVANE_ASSIGN_OR_RETURN(auto entries, index::decode_index(blob));
      db.index_ = index::IndexStorage::Owned{std::move(entries)};
    }
  }
  if (names_schema(slot)) {
    Bytes blob;
    blob.resize(slot.schema_len);
    CRIVANE_TRY(seek(file, slot.schema_offset));
    CRIVANE_TRY(read_exact(file, blob));
    CRIVANE_ASSIGN_OR_RETURN(db.schema_lock_, schema::decode_schema_lock(blob));
  }

  db.generation_ = slot.generation;
  db.committed_end_ = committed_end;
  db.record_format_ = slot.record_format;
  db.file_ = std::move(file);
  return db;
}

Result<void> AtomDatabase::flush() {
  if (index_.is_mapped()) return unexpected(Error::invalid_data(detail::kMappedIndexFlush));
  CRIVANE_TRY(truncate_uncommitted_tail_if_needed());

  const auto& entries = index_.owned()->entries;
  const Bytes index_blob = index::encode_index(entries);
  std::optional<Bytes> schema_blob;
  if (schema_lock_) {
    CRIVANE_ASSIGN_OR_RETURN(schema_blob, schema::encode_schema_lock(*schema_lock_));
  }

  CRIVANE_ASSIGN_OR_RETURN(File out, File::open_write(path_));
  HeaderSlot slot;
  slot.compression = compression_;
  slot.record_count = entries.size();
  slot.record_format = record_format_;
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t schema_offset, seek_end(out));
  if (schema_blob) {
    CRIVANE_TRY(write_all(out, *schema_blob));
    slot.schema_offset = schema_offset;
    slot.schema_len = schema_blob->size();
  }
  CRIVANE_ASSIGN_OR_RETURN(slot.index_offset, seek_end(out));
  CRIVANE_TRY(write_all(out, index_blob));
  slot.index_len = index_blob.size();
  // Records and blobs must be on disk before a header names them.
  CRIVANE_TRY(fdatasync(out));

  constexpr std::uint64_t kMaxGeneration = std::numeric_limits<std::uint64_t>::max();
  slot.generation = generation_ == kMaxGeneration ? kMaxGeneration : generation_ + 1;
  // Alternate slots, so a torn write leaves the previous commit in the other.
  CRIVANE_TRY(seek(out, (slot.generation % 2) * header::kSlotSize));
  CRIVANE_TRY(write_all(out, header::encode_header_slot(slot)));
  CRIVANE_TRY(fsync(out));

  generation_ = slot.generation;
  committed_end_ = slot.index_offset + slot.index_len;
  has_uncommitted_tail_ = false;
  return {};
}

Result<void> AtomDatabase::truncate_uncommitted_tail_if_needed() {
  if (!has_uncommitted_tail_) return {};
  CRIVANE_ASSIGN_OR_RETURN(File out, File::open_write(path_));
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t len, file_length(out));
  if (len > committed_end_) {
    CRIVANE_TRY(truncate(out, committed_end_));
    CRIVANE_TRY(fsync(out));
  }
  has_uncommitted_tail_ = false;
  file_.reset();
  return {};
}

std::optional<std::uint8_t> AtomDatabase::positions_type() const {
  if (!schema_lock_) return std::nullopt;
  return schema_lock_->positions_type;
}

}  // namespace crivane::storage
