// get_molecules_flat: many stored records as one dict of NumPy arrays
// concatenated over the selection. The gather (database_flat_gather.cpp)
// fetches the records and scatters them into columns allocated once at their
// final size, on the worker pool and without the interpreter lock; the dict
// (database_flat.cpp) then hands those columns to NumPy without copying them.
#pragma once

#include "py/python.hpp"

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
#include "crivane/storage/database.hpp"
#include "crivane/storage/dtypes.hpp"
#include "database.hpp"

namespace crivane_rs::database::flat {

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

  // Throws std::bad_alloc when the memory is not there.
  static ColumnBytes allocate(std::size_t size, bool zeroed);

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
// triples for VEC3_F32, float64 triples for VEC3_F64).
struct FlatPositions {
  std::uint8_t type_tag = crivane::storage::dtypes::tag::VEC3_F32;
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
  std::vector<std::optional<crivane::Bytes>> tensors;
  // Guards the string or tensor cells while workers fill them.
  std::unique_ptr<std::mutex> lock;
};

// What the gather hands to the dict: columns in reference order.
struct GatherResult {
  bool empty = true;  // no indices: nothing else is set
  FlatPositions positions;
  std::vector<std::uint32_t> n_atoms;
  ColumnBytes atomic_numbers;
  std::vector<soa::SectionSchema> reference;
  std::vector<FlatSectionBuffer> columns;
  std::uint64_t total_atoms = 0;
  bool uniform_schema = true;  // the ordered scatter was used
};

// Fetches the selected records and scatters them into the columns. Touches
// no Python object; run it with the interpreter lock released. A scatter
// failure is the one of the lowest failing selection position. An allocation
// that fails throws std::bad_alloc (on the calling thread, also when a worker
// met it).
crivane::Result<GatherResult> gather(const crivane::storage::AtomDatabase& db,
                                     std::span<const std::size_t> indices);

// The whole export for a database the caller holds borrowed: the gather with
// the interpreter lock released, then the dict. A new dict, or nullptr with
// ValueError (or MemoryError) set.
PyObject* get_molecules_flat_soa_impl(const PyAtomDatabase& database,
                                      std::span<const std::size_t> indices);

// A new array of the tensor tag's dtype (TENSOR_F32 float32, TENSOR_F64
// float64, TENSOR_I32 int32, TENSOR_I64 int64) and shape `dims`, adopting
// `values` (their count fills dims).
PyObject* tensor_array_from_bytes(std::uint8_t type_tag, ColumnBytes values,
                                  std::span<const std::size_t> dims);

// The ValueErrors of tensor stacking; both return nullptr.
PyObject* missing_tensor_error(std::string_view key, std::size_t k);
PyObject* invalid_atom_tensor_shape_error(std::string_view key,
                                          std::span<const std::uint64_t> shape,
                                          std::optional<std::uint64_t> first_dim,
                                          std::uint64_t n_atoms);

// PyAtomDatabase.get_molecules_flat, for the class's method table.
PyObject* database_get_molecules_flat(PyAtomDatabaseObject* self, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames);
extern const char kGetMoleculesFlatDoc[];

}  // namespace crivane_rs::database::flat
