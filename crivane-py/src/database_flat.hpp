// get_molecules_flat: many stored records as one dict of NumPy arrays
// concatenated over the selection. The gather (database_flat_gather.cpp)
// fetches the records and scatters them into columns allocated once at their
// final size, on the worker pool and without the interpreter lock; the dict
// (database_flat.cpp) then hands those columns to NumPy without copying them.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/dtypes.hpp"
#include "database.hpp"
#include "view/soa_flat.hpp"

namespace crivane_rs::database::flat {

// The memory of an output column, which NumPy adopts as it is. Elements are
// written before they are read, so nothing is value-initialized; only a
// column that some record may leave unfilled asks for zeroed memory, which
// calloc gives large columns as fresh pages without a clearing pass.
template <class T>
struct ColumnAllocator {
  using value_type = T;
  // The state only says whether to zero; any instance frees any memory.
  using is_always_equal = std::true_type;

  ColumnAllocator() = default;
  explicit ColumnAllocator(bool zeroed) : zeroed(zeroed) {}
  template <class U>
  ColumnAllocator(const ColumnAllocator<U>& other) noexcept : zeroed(other.zeroed) {}

  T* allocate(std::size_t n);
  void deallocate(T* p, std::size_t n) noexcept;
  // Elements are written before they are read: no value-initialization pass.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  friend bool operator==(const ColumnAllocator&, const ColumnAllocator<U>&) {
    return true;  // every instance frees what any other allocated
  }

  bool zeroed = false;
};

namespace detail {
void* allocate_column(std::size_t bytes, bool zeroed);
void free_column(void* p, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
T* ColumnAllocator<T>::allocate(std::size_t n) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(n, sizeof(T), &bytes)) throw std::bad_alloc();
  return static_cast<T*>(detail::allocate_column(bytes, zeroed));
}

template <class T>
void ColumnAllocator<T>::deallocate(T* p, std::size_t n) noexcept {
  detail::free_column(p, n * sizeof(T));
}

using ColumnBytes = std::vector<std::uint8_t, ColumnAllocator<std::uint8_t>>;

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
