#include "crivane/storage/header.hpp"

#include <cassert>
#include <cstring>

#include <zlib.h>

#include "crivane/storage/index.hpp"

namespace crivane::storage::header {
namespace {

// Field offsets within a slot.
constexpr std::size_t kVersionAt = 4;
constexpr std::size_t kGenerationAt = 8;
constexpr std::size_t kDataStartAt = 16;
constexpr std::size_t kIndexOffsetAt = 24;
constexpr std::size_t kIndexLenAt = 32;
constexpr std::size_t kRecordCountAt = 40;
constexpr std::size_t kCodecAt = 48;
constexpr std::size_t kLevelAt = 52;
constexpr std::size_t kRecordFormatAt = 56;
constexpr std::size_t kSchemaOffsetAt = 60;
constexpr std::size_t kSchemaLenAt = 68;
constexpr std::size_t kChecksumAt = kSlotSize - 4;

// A blob [offset, offset + len) that lies past the data start and inside the file.
bool blob_in_file(std::uint64_t offset, std::uint64_t len, std::uint64_t data_start,
                  std::uint64_t file_len) {
  std::uint64_t end;
  if (__builtin_add_overflow(offset, len, &end)) return false;
  return offset >= data_start && end <= file_len;
}

}  // namespace

std::uint32_t adler32(ByteSpan data) {
  const uLong start = ::adler32_z(0, nullptr, 0);
  if (data.empty()) return static_cast<std::uint32_t>(start);
  return static_cast<std::uint32_t>(::adler32_z(start, data.data(), data.size()));
}

SlotBytes encode_header_slot(const HeaderSlot& slot) {
  SlotBytes out{};
  std::uint8_t* p = out.data();
  std::memcpy(p, kMagic.data(), kMagic.size());
  bytes::store<std::uint32_t>(p + kVersionAt, kVersion);
  bytes::store<std::uint64_t>(p + kGenerationAt, slot.generation);
  bytes::store<std::uint64_t>(p + kDataStartAt, slot.data_start);
  bytes::store<std::uint64_t>(p + kIndexOffsetAt, slot.index_offset);
  bytes::store<std::uint64_t>(p + kIndexLenAt, slot.index_len);
  bytes::store<std::uint64_t>(p + kRecordCountAt, slot.record_count);
  p[kCodecAt] = slot.compression.codec_code();
  const bool zstd = slot.compression.codec == compression::CompressionType::Codec::Zstd;
  bytes::store<std::int32_t>(p + kLevelAt, zstd ? slot.compression.level : 0);
  bytes::store<std::uint32_t>(p + kRecordFormatAt, slot.record_format);
  bytes::store<std::uint64_t>(p + kSchemaOffsetAt, slot.schema_offset);
  bytes::store<std::uint64_t>(p + kSchemaLenAt, slot.schema_len);
  bytes::store<std::uint32_t>(p + kChecksumAt, adler32(ByteSpan(p, kChecksumAt)));
  return out;
}

std::optional<HeaderSlot> decode_header_slot(std::span<const std::uint8_t, kSlotSize> bytes,
                                             std::uint64_t file_len) {
  // A slot has a fixed size that holds every field, so none of the reads
  // below can come up short; they walk the fields in layout order.
  ByteReader slot_bytes{ByteSpan(bytes)};
  const ByteSpan covered = *slot_bytes.take(kChecksumAt);
  const std::uint32_t checksum = *slot_bytes.read<std::uint32_t>();

  ByteReader r(covered);
  const ByteSpan magic = *r.take(kMagic.size());
  const std::uint32_t version = *r.read<std::uint32_t>();
  if (std::memcmp(magic.data(), kMagic.data(), kMagic.size()) != 0) return std::nullopt;
  if (version != kVersion) return std::nullopt;
  if (checksum != adler32(covered)) return std::nullopt;

  HeaderSlot slot;
  slot.generation = *r.read<std::uint64_t>();
  slot.data_start = *r.read<std::uint64_t>();
  slot.index_offset = *r.read<std::uint64_t>();
  slot.index_len = *r.read<std::uint64_t>();
  slot.record_count = *r.read<std::uint64_t>();
  const std::uint8_t codec = *r.read<std::uint8_t>();
  r.skip(3);  // reserved
  const std::int32_t level = *r.read<std::int32_t>();
  slot.record_format = *r.read<std::uint32_t>();
  slot.schema_offset = *r.read<std::uint64_t>();
  slot.schema_len = *r.read<std::uint64_t>();
  assert(r.offset() == kSchemaLenAt + 8);

  const auto compression = compression::CompressionType::from_codec_code(codec, level);
  if (!compression) return std::nullopt;
  slot.compression = *compression;

  if (slot.data_start < kDataStart || slot.data_start > file_len) return std::nullopt;

  if (slot.schema_offset == 0) {
    if (slot.schema_len != 0) return std::nullopt;
  } else if (slot.schema_len == 0 ||
             !blob_in_file(slot.schema_offset, slot.schema_len, slot.data_start, file_len)) {
    return std::nullopt;
  }

  if (slot.index_offset != 0 && slot.index_len != 0) {
    std::uint64_t entries_len;
    if (__builtin_mul_overflow(slot.record_count, index::kEntrySize, &entries_len)) {
      return std::nullopt;
    }
    std::uint64_t expected_len;
    if (__builtin_add_overflow(entries_len, index::kCountSize, &expected_len) ||
        slot.index_len != expected_len) {
      return std::nullopt;
    }
    if (!blob_in_file(slot.index_offset, slot.index_len, slot.data_start, file_len)) {
      return std::nullopt;
    }
  } else if (slot.index_offset != 0 || slot.index_len != 0 || slot.record_count != 0) {
    return std::nullopt;
  }
  return slot;
}

Result<HeaderSlot> read_best_header(File& file) {
  CRIVANE_ASSIGN_OR_RETURN(const std::uint64_t file_len, file_length(file));
  SlotBytes slots[2];
  for (std::size_t i = 0; i < 2; ++i) {
    CRIVANE_TRY(seek(file, i * kSlotSize));
    CRIVANE_TRY(read_exact(file, slots[i]));
  }
  const auto slot0 = decode_header_slot(slots[0], file_len);
  const auto slot1 = decode_header_slot(slots[1], file_len);
  if (slot0 && slot1) return slot1->generation > slot0->generation ? *slot1 : *slot0;
  if (slot0) return *slot0;
  if (slot1) return *slot1;
  return unexpected(Error::invalid_data("Invalid or corrupted header (no valid header slots)"));
}

}  // namespace crivane::storage::header
