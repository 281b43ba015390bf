// The index: one 20-byte entry per stored record, in record order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/mmap.hpp"

namespace crivane::storage::index {

// Packed so that it is byte for byte the entry of the index blob: entries are
// copied straight out of a mapping. Read and write the fields by value only;
// a reference or pointer to a packed member may be misaligned.
#pragma pack(push, 1)
struct MoleculeIndex {
  std::uint64_t offset;
  std::uint32_t compressed_len;
  std::uint32_t uncompressed_len;
  std::uint32_t n_atoms;
};
#pragma pack(pop)

// An index blob is a u64 entry count, then the entries.
inline constexpr std::uint64_t kCountSize = 8;
inline constexpr std::uint64_t kEntrySize = 20;
static_assert(sizeof(MoleculeIndex) == kEntrySize);

inline constexpr const char* kMappedIndexAppend =
    "Cannot add molecules to a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write.";

inline bool operator==(const MoleculeIndex& a, const MoleculeIndex& b) {
  return a.offset == b.offset && a.compressed_len == b.compressed_len &&
         a.uncompressed_len == b.uncompressed_len && a.n_atoms == b.n_atoms;
}

Bytes encode_index(std::span<const MoleculeIndex> entries);
Result<std::vector<MoleculeIndex>> decode_index(ByteSpan bytes);

// The index of an open database: in memory (the only form that takes new
// entries), or read in place from a read-only mapping of the file that this
// index alone holds.
class IndexStorage {
 public:
  struct Owned {
    std::vector<MoleculeIndex> entries;
  };
  struct Mapped {
    std::uint64_t index_offset = 0;  // where the committed index blob starts
    std::uint64_t record_count = 0;  // from the header slot; the blob's count is never read
    std::shared_ptr<const Mapping> index_mapping;
  };

  IndexStorage() : storage_(Owned{}) {}
  IndexStorage(Owned owned) : storage_(std::move(owned)) {}
  IndexStorage(Mapped mapped) : storage_(std::move(mapped)) {}
  IndexStorage(IndexStorage&&) = default;
  IndexStorage& operator=(IndexStorage&&) = default;
  IndexStorage(const IndexStorage&) = delete;
  IndexStorage& operator=(const IndexStorage&) = delete;

  std::size_t len() const;
  // Entry i, or nothing past the end (or, mapped, past the mapping's end).
  std::optional<MoleculeIndex> entry(std::size_t i) const;
  // Appends entries; a mapped index refuses, and an index that cannot grow
  // fails with Error::out_of_memory(), both unchanged.
  Result<void> extend(std::span<const MoleculeIndex> entries);

  bool is_mapped() const { return std::holds_alternative<Mapped>(storage_); }
  // The in-memory entries, or null for a mapped index.
  const Owned* owned() const { return std::get_if<Owned>(&storage_); }
  const Mapped* mapped() const { return std::get_if<Mapped>(&storage_); }

 private:
  std::variant<Owned, Mapped> storage_;
};

}  // namespace crivane::storage::index
