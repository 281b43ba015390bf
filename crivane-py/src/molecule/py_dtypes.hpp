// Python and NumPy values into model values: positions and the builtin fields
// of a molecule, and custom property values.
//
// Arrays are matched by exact dtype (nothing is cast; byte-swapped arrays are
// refused), read in any memory layout by logical index, and always copied.
// Every parser returns false with a Python exception set: a ValueError with a
// bare text for a refused value, or whatever NumPy's import raised.
//
// Input arrays are not registered with any cross-extension borrow registry:
// nothing here ever writes to an input array or keeps it past the call.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/dtypes.hpp"
#include "crivane/types.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"

namespace crivane_rs::py_dtypes {

// Whether the array's dtype is equivalent to the native type `typenum`
// (NumPy's equivalence test: no cast, so byte-swapped dtypes differ).
bool dtype_is(PyArrayObject* array, int typenum);

// Whether the array's memory is still there to read; else false with
// ValueError set. Python code run earlier in the call (a conversion hook)
// can have freed or moved the buffer under a view. The parsers below check
// it right before they copy. An array whose memory cannot be checked is
// read: a call that runs such code first accepts its arrays before it
// (py::numpy::AcceptedArrays).
bool check_in_place(PyArrayObject* array);

// Copies every element of the array into `out` in C order of logical
// indices, whatever the strides: one block copy for a C-contiguous array.
// `out` holds PyArray_SIZE(array) * PyArray_ITEMSIZE(array) bytes. Call
// check_in_place first, with no Python code between.
void copy_array_values(PyArrayObject* array, void* out);

enum class FloatKind { F32, F64 };

// A float32 or float64 ndarray of exactly D dimensions, held by a new
// reference. No data is copied until a parser reads it.
template <int D>
class PyFloatArray {
 public:
  // The array when obj is a D-dimensional float32 array, else a float64 one;
  // nothing otherwise. Precondition: py::ensure_numpy() has succeeded.
  static std::optional<PyFloatArray> from_any(PyObject* obj);

  FloatKind kind() const { return kind_; }
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(array_.get()); }
  std::size_t dim(int i) const { return static_cast<std::size_t>(PyArray_DIM(array(), i)); }
  std::size_t size() const { return static_cast<std::size_t>(PyArray_SIZE(array())); }

  // Rows of three in the array's precision. A second dimension other than 3,
  // or a row count other than `expected`, fails with "{} must have shape
  // ({}, 3)" (the expected count, or n when none is expected).
  bool parse_vec3_data(std::string_view field, std::optional<std::size_t> expected,
                       crivane::types::Vec3Data& out) const requires(D == 2);

 private:
  PyFloatArray(py::Ref array, FloatKind kind) : array_(std::move(array)), kind_(kind) {}
  py::Ref array_;
  FloatKind kind_;
};

using PyFloatArray1 = PyFloatArray<1>;
using PyFloatArray2 = PyFloatArray<2>;
using PyFloatArray3 = PyFloatArray<3>;

// (n, 3) float array for any n.
bool parse_positions_field(PyObject* obj, crivane::types::Vec3Data& out);
// (n, 3) float array for the given n.
bool parse_vec3_field(PyObject* obj, std::string_view field, std::size_t n,
                      crivane::types::Vec3Data& out);
// (3, 3) float array, element [i][j] from row i, column j.
bool parse_mat3_field(PyObject* obj, std::string_view field, crivane::types::Mat3Data& out);
// (n,) float array for the given n.
bool parse_float_array_field(PyObject* obj, std::string_view field, std::size_t n,
                             crivane::types::FloatArrayData& out);

// Any supported Python value: None, an integer, a float, a str, or a
// float32/float64/int32/int64 ndarray.
bool parse_property_value(PyObject* obj, crivane::types::PropertyValue& out);
// An ndarray of a tensor dtype (float32, float64, int32, int64 tried in that
// order) as a Tensor; `out` stays empty for anything else.
bool parse_tensor_property_value(PyObject* obj, std::optional<crivane::types::PropertyValue>& out);

// Checks tensor dimensions against a value count and copies them. Touches
// no Python object: a refusal comes back as an Error with the bare text,
// which the caller raises.
crivane::Result<std::vector<std::uint64_t>> tensor_shape(std::span<const std::uint64_t> dims,
                                                         std::size_t value_count);

}  // namespace crivane_rs::py_dtypes
