// Helpers the database's lifecycle, append and read files share.
#pragma once

#include <cstdint>

#include "crivane/compression.hpp"
#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/file.hpp"
#include "crivane/storage/index.hpp"

namespace crivane::storage::detail {

inline constexpr const char* kMappedIndexFlush =
    "Cannot flush a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write.";

// The end of [offset, offset + len), or nothing when it passes 2^64 - 1.
inline bool range_end(std::uint64_t offset, std::uint64_t len, std::uint64_t& end) {
  return !__builtin_add_overflow(offset, len, &end);
}

// Reads the stored bytes of `entry` from a file of `file_len` bytes. A range
// past the end fails as the short read would, before any allocation: an
// entry from disk must not size a buffer the file cannot fill.
Result<Bytes> read_stored_record(const File& file, std::uint64_t file_len,
                                 const index::MoleculeIndex& entry);

// The record bytes of stored bytes the caller owns. Codec none gives them
// back as they are, which saves the copy decompress() would make.
Result<Bytes> record_from_stored(Bytes stored, compression::CompressionType compression,
                                 std::uint32_t uncompressed_len);

}  // namespace crivane::storage::detail
