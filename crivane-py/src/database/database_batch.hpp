// PyAtomDatabase.add_arrays_batch: a whole batch of molecules of one atom
// count appended straight from stacked NumPy arrays (one row per molecule),
// with no Python object per molecule.
//
// Canonical dtypes (float32 positions, forces and velocities, float64 energy
// and charges) take the fast path, which reads the arrays in place while the
// records are built; anything else takes the general path, which copies each
// input once into a column. Both check their inputs in one fixed order and
// build nothing before every check has passed; records are built with the
// interpreter lock held (on the worker pool from 1024 molecules on) and
// appended in one call with the lock released.
//
// Functions returning bool return false with a Python exception set.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "crivane/storage/bytes.hpp"
#include "crivane/storage/schema.hpp"
#include "database/database_object.hpp"
#include "py/numpy.hpp"

namespace crivane_rs::database::batch {

using crivane::Bytes;
using crivane::ByteSpan;

// One section key across the whole batch: molecule i's payload is bytes
// [i * stride, (i + 1) * stride) of `data` (fixed stride), or entry i of
// `molecule_payloads` (ragged: texts, stride 0, `data` empty). Owns every
// byte, so records can be cut from it on worker threads.
struct BatchSectionColumn {
  std::string key;
  Bytes data;
  std::optional<std::vector<std::string>> molecule_payloads;
  std::uint64_t stride = 0;
  std::uint8_t kind = 0;
  std::uint8_t type_tag = 0;

  ByteSpan payload(std::size_t i) const;
};

// A C-contiguous (batch, 3, 3) cell or stress array read in place by the
// fast path; molecule i's matrix is values [9i, 9i + 9).
class FastMat3Slice {
 public:
  using F32 = std::span<const float>;
  using F64 = std::span<const double>;

  // The slice of a float32 / float64 array of three dimensions into `out`,
  // once its shape ("{} must have shape ({}, 3, 3)") and its layout ("{}
  // must be C-contiguous") are checked.
  static bool from_f32(PyArrayObject* array, std::size_t batch, std::string_view key,
                       std::optional<FastMat3Slice>& out);
  static bool from_f64(PyArrayObject* array, std::size_t batch, std::string_view key,
                       std::optional<FastMat3Slice>& out);

  std::uint8_t type_tag() const;      // kMat3F32 or kMat3F64
  std::size_t matrix_bytes() const;   // the tag's element size
  const std::uint8_t* bytes() const;  // molecule 0's matrix

  std::variant<F32, F64> values;
};

// The arguments of add_arrays_batch after conversion. Absent optional inputs
// (None or not given) are nullptr; arrays are borrowed from the call, or are
// the copies `accepted` made of them.
struct BatchInputs {
  PyObject* positions = nullptr;
  PyArrayObject* atomic_numbers = nullptr;  // uint8, two dimensions
  PyObject* energy = nullptr;
  PyObject* forces = nullptr;
  PyObject* charges = nullptr;
  PyObject* velocities = nullptr;
  PyObject* cell = nullptr;
  PyObject* stress = nullptr;
  PyArrayObject* pbc = nullptr;  // bool, two dimensions
  std::optional<std::vector<std::string>> name;
  PyObject* properties = nullptr;       // a dict
  PyObject* atom_properties = nullptr;  // a dict
  // Every array argument and every array in the two dicts, taken before the
  // first Python code of the caller that the call runs (the names). A
  // custom column reads its value through read_as.
  py::numpy::AcceptedArrays accepted;
};

// Array access shared by the batch's files.
inline PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }
inline std::size_t dim(PyArrayObject* array, int i) {
  return static_cast<std::size_t>(PyArray_DIM(array, i));
}
// Whether the array's memory is still there to read; else false with
// ValueError set. Python code that the call ran (a value's sequence
// protocol, an earlier column) can have freed or moved the buffer under a
// view. An array whose memory could not be checked was copied when the call
// took it, so one that cannot be checked now has changed since. Read right
// after, with no Python code between.
bool check_in_place(PyArrayObject* array);
// A copy of the whole buffer of a C-contiguous array, after check_in_place.
bool copy_contiguous(PyArrayObject* array, Bytes& out);

// The method, for PyAtomDatabase's method table.
PyObject* add_arrays_batch(PyAtomDatabaseObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
extern const char kAddArraysBatchDoc[];

// The body, given the database exclusively: the fast path, else the general.
bool add_arrays_batch_impl(PyAtomDatabase& database, BatchInputs& inputs);

enum class FastPath { Declined, Done, Failed };
// Declined: an input is not of a canonical dtype (nothing checked or done).
FastPath try_add_arrays_batch_fast_canonical(PyAtomDatabase& database, const BatchInputs& inputs);
// The general path, which takes every input the method accepts; the names
// move into their column.
bool add_arrays_batch_general(PyAtomDatabase& database, BatchInputs& inputs);

// Builtin columns of the general path; `out` stays empty for an absent input.
bool extract_optional_builtin_vec3_column(PyObject* array, std::size_t batch, std::size_t n_atoms,
                                          std::string_view key,
                                          std::optional<BatchSectionColumn>& out);
bool extract_optional_builtin_float_array_column(PyObject* array, std::size_t batch,
                                                 std::size_t n_atoms,
                                                 std::optional<BatchSectionColumn>& out);
bool extract_optional_builtin_mat3_column(PyObject* array, std::size_t batch, std::string_view key,
                                          std::optional<BatchSectionColumn>& out);
// Any strides; each flag becomes one byte, 1 or 0.
bool extract_builtin_pbc_column(PyArrayObject* array, std::size_t batch,
                                std::optional<BatchSectionColumn>& out);
bool extract_builtin_name_column(std::optional<std::vector<std::string>> names, std::size_t batch,
                                 std::optional<BatchSectionColumn>& out);

// Custom property columns (database_batch_columns.cpp): the columns of
// `properties` (MoleculeProperty sections), then of `atom_properties`
// (AtomProperty), each in dict order, each value read as `accepted` has it.
// Either dict may be nullptr.
bool extract_custom_columns(PyObject* properties, PyObject* atom_properties,
                            const py::numpy::AcceptedArrays& accepted, std::size_t batch,
                            std::size_t n_atoms, std::vector<BatchSectionColumn>& out);
// A stacked tensor: `out` stays empty when `value` is not an array of
// float32, float64, int32 or int64. `n_atoms` is given for per-atom values.
bool extract_stacked_tensor_column(PyObject* value, std::size_t batch,
                                   std::optional<std::size_t> n_atoms, std::string_view key,
                                   std::uint8_t kind, std::optional<BatchSectionColumn>& out);
// The tensor payload header (rank, then each dimension as u32), or an Error
// with the bare text of the rank or dimension refusal, every dimension
// examined first. Touches no Python object.
crivane::Result<Bytes> tensor_payload_header(std::span<const std::size_t> dims,
                                             std::string_view key);

// Schema sections of the batch, as the engine derives them for the written
// sections, given the bytes of each molecule's payload (`stride`, 0 when
// they vary): a per-atom section's slot is one element, a per-molecule one's
// the whole payload, and text, null and tensors have none.
crivane::storage::DatabaseSchemaSection schema_section(std::uint8_t kind, std::string_view key,
                                                       std::uint8_t type_tag, std::size_t stride);
crivane::storage::DatabaseSchemaSection schema_section_from_column(
    const BatchSectionColumn& column);

}  // namespace crivane_rs::database::batch
