// The gather of the flat export: many stored records of one database
// scattered into output columns allocated once at their final size, on the
// worker pool, plus the stacking of tensor columns into one buffer. The
// extension module turns the columns into NumPy arrays without copying them;
// the fuzz targets drive the gather alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/record/flat.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/dtypes.hpp"

namespace crivane::storage {
class AtomDatabase;
}

namespace crivane::storage::soa {

// The memory of an output column, which NumPy adopts as it is. Nothing is
// constructed byte by byte (a std::vector would, a pass of minutes over a
// large column in an unoptimized build): a column whose every byte the
// scatter writes comes from malloc, one that some record may leave unfilled
// from calloc, which gives a large column fresh zero pages without a
// clearing pass.
class ColumnBytes {
 public:
  ColumnBytes() = default;
  ColumnBytes(ColumnBytes&& other) noexcept
      : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
  ColumnBytes& operator=(ColumnBytes&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  // Error::out_of_memory() when the memory is not there.
  static Result<ColumnBytes> allocate(std::size_t size, bool zeroed);

  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::uint8_t* begin() { return data(); }
  std::uint8_t* end() { return data() + size_; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> data_;
  std::size_t size_ = 0;
};

// The positions column: T rows of the database's positions row (float32
// triples for kVec3F32, float64 triples for kVec3F64).
struct FlatPositions {
  std::uint8_t type_tag = dtypes::tag::kVec3F32;
  ColumnBytes bytes;
};

// The storage of one column, chosen by its reference entry.
struct FlatSectionBuffer {
  enum class Storage : std::uint8_t { None, Numeric, String, Tensor };

  Storage storage = Storage::None;
  // Numeric: elem_bytes per atom, or slot_bytes per molecule.
  ColumnBytes numeric;
  // String and tensor columns: one cell per molecule, empty until filled;
  // a tensor cell holds the molecule's whole tensor payload.
  std::vector<std::optional<std::string>> strings;
  std::vector<std::optional<Bytes>> tensors;
  // Guards the string or tensor cells while workers fill them.
  std::unique_ptr<std::mutex> lock;
};

// What the gather hands to the dict: columns in reference order.
struct GatherResult {
  bool empty = true;  // no indices: nothing else is set
  FlatPositions positions;
  std::vector<std::uint32_t> n_atoms;
  ColumnBytes atomic_numbers;
  std::vector<SectionSchema> reference;
  std::vector<FlatSectionBuffer> columns;
  std::uint64_t total_atoms = 0;
  bool uniform_schema = true;  // the ordered scatter was used
};

// Fetches the selected records of `db` and scatters them into the columns,
// on the worker pool. A scatter failure is the one of the lowest failing
// selection position; allocation failure anywhere is Error::out_of_memory().
Result<GatherResult> gather(const AtomDatabase& db, std::span<const std::size_t> indices);

// One tensor column stacked: every molecule's values back to back, and the
// dims of the stack (n followed by the common shape, or total_atoms followed
// by the common per-atom suffix).
struct StackedTensor {
  ColumnBytes values;
  std::vector<std::size_t> dims;
};

// Stacks the tensor cells of `buffer` (reference entry `column`), checking
// that every molecule has one and that their shapes agree; `n_atoms` are the
// selection's atom counts. The shape and missing-tensor failures are
// Error::decode; a damaged tensor header keeps its kind.
Result<StackedTensor> stack_tensor_column(const SectionSchema& column,
                                          const FlatSectionBuffer& buffer,
                                          std::span<const std::uint32_t> n_atoms,
                                          std::uint64_t total_atoms);

// The failures of tensor stacking for selection position k.
Error missing_tensor_error(std::string_view key, std::size_t k);
Error invalid_atom_tensor_shape_error(std::string_view key, std::span<const std::uint64_t> shape,
                                      std::optional<std::uint64_t> first_dim,
                                      std::uint64_t n_atoms);

}  // namespace crivane::storage::soa
