// Header slots straight from a file. Input: the slot's 4096 bytes (shorter
// inputs are zero-padded), then optionally the file length (u64) and a byte
// whose low bit reseals the checksum, so that mutations get past it to the
// field rules.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "crivane/storage/header.hpp"

using namespace crivane;
using namespace crivane::storage::header;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SlotBytes slot{};
  std::memcpy(slot.data(), data, std::min(size, kSlotSize));
  std::uint64_t file_len = std::numeric_limits<std::uint64_t>::max();
  if (size >= kSlotSize + 8) file_len = bytes::load_u64(data + kSlotSize);
  if (size >= kSlotSize + 9 && (data[kSlotSize + 8] & 1)) {
    bytes::store<std::uint32_t>(slot.data() + kSlotSize - 4,
                                adler32(ByteSpan(slot.data(), kSlotSize - 4)));
  }

  const auto decoded = decode_header_slot(slot, file_len);
  if (!decoded) return 0;

  // A valid slot survives a re-encode, and the fields it keeps come back in
  // the same bytes (reserved bytes, and the level of codecs 0 and 1, are not kept).
  const SlotBytes again = encode_header_slot(*decoded);
  const auto redecoded = decode_header_slot(again, file_len);
  if (!redecoded || !(*redecoded == *decoded)) std::abort();
  const bool zstd = slot[48] == 2;
  if (std::memcmp(slot.data(), again.data(), 49) != 0) std::abort();
  if (zstd && std::memcmp(slot.data() + 52, again.data() + 52, 4) != 0) std::abort();
  if (std::memcmp(slot.data() + 56, again.data() + 56, 76 - 56) != 0) std::abort();
  return 0;
}
