// The codec of a database and the per-record compress / decompress pair.
// Codec contexts are kept per thread and reset before each use, so any number
// of threads may call at once and every call starts from a fresh state.
#pragma once

#include <cstdint>
#include <optional>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"

namespace crivane::compression {

// None, Lz4, or Zstd with a level. Build values through the factories, which
// keep `level` at 0 for the codecs that have none.
struct CompressionType {
  enum class Codec : std::uint8_t { None = 0, Lz4 = 1, Zstd = 2 };

  Codec codec = Codec::None;
  std::int32_t level = 0;

  static constexpr CompressionType None() { return {Codec::None, 0}; }
  static constexpr CompressionType Lz4() { return {Codec::Lz4, 0}; }
  static constexpr CompressionType Zstd(std::int32_t level) { return {Codec::Zstd, level}; }
  // The codec for a header's codec byte; the level counts for zstd only.
  static std::optional<CompressionType> from_codec_code(std::uint8_t code, std::int32_t level);

  // 0, 1 or 2, as stored in a header slot.
  std::uint8_t codec_code() const { return static_cast<std::uint8_t>(codec); }

  friend bool operator==(const CompressionType&, const CompressionType&) = default;
};

// The stored bytes of one record. Both directions report allocation failure
// as Error::out_of_memory().
Result<Bytes> compress(ByteSpan data, CompressionType compression);

// The record bytes back. `size_hint` is the record's known length; the output
// may be shorter, never longer.
Result<Bytes> decompress(ByteSpan data, CompressionType compression,
                         std::optional<std::size_t> size_hint);

// The most bytes decompress() can give back for `stored_len` stored bytes
// and `size_hint`, judged without decoding them: never more than the hint,
// nor than the codec can expand that many bytes to.
std::uint64_t decompressed_size_bound(std::uint64_t stored_len, CompressionType compression,
                                      std::uint64_t size_hint);

}  // namespace crivane::compression
