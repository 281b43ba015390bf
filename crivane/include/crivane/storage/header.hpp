// The two 4096-byte header slots at the start of a database file. A commit
// rewrites one of them; a reader takes the valid slot with the larger
// generation, so a torn slot write falls back to the previous commit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "crivane/compression.hpp"
#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/file.hpp"
#include "crivane/storage/record_format.hpp"

namespace crivane::storage::header {

// The first bytes of every slot, and so of every database file.
inline constexpr std::array<std::uint8_t, 4> kMagic = {'C', 'R', 'V', 'N'};
inline constexpr std::size_t kSlotSize = 4096;
// Records start after both slots.
inline constexpr std::uint64_t kDataStart = 2 * kSlotSize;
inline constexpr std::uint32_t kVersion = 2;

// The decoded form of one valid slot.
struct HeaderSlot {
  compression::CompressionType compression;
  std::uint64_t generation = 0;
  std::uint64_t data_start = kDataStart;
  std::uint64_t record_count = 0;
  std::uint64_t schema_offset = 0;
  std::uint64_t schema_len = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t index_len = 0;
  std::uint32_t record_format = soa::kRecordFormatFixedDtypes;

  friend bool operator==(const HeaderSlot&, const HeaderSlot&) = default;
};

using SlotBytes = std::array<std::uint8_t, kSlotSize>;

// Standard Adler-32 (starts at 1).
std::uint32_t adler32(ByteSpan data);

// The 4096 slot bytes, checksum included.
SlotBytes encode_header_slot(const HeaderSlot& slot);

// The slot when it is valid for a file of `file_len` bytes, else nothing.
std::optional<HeaderSlot> decode_header_slot(std::span<const std::uint8_t, kSlotSize> bytes,
                                             std::uint64_t file_len);

// Reads both slots and returns the one to trust.
Result<HeaderSlot> read_best_header(File& file);

}  // namespace crivane::storage::header
