// NumPy's C API for the Python layer, and the one place that makes NumPy
// arrays. The API table is fetched at the first array operation
// (ensure_numpy), never at module import, so importing the module does not
// import NumPy.
//
// Every translation unit that uses PyArray_* includes this header; they all
// share the one table defined in numpy.cpp.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "py/ref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL crivane_rs_PyArray_API
#ifndef CRIVANE_RS_NUMPY_TABLE_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace crivane_rs::py {

// Fetches the API table if that has not happened yet (importing NumPy's
// core module). Call it before any PyArray_* use; false with an exception
// set when NumPy cannot be imported.
bool ensure_numpy();

namespace numpy {

// The NumPy type number of an element type. Bool arrays are built from
// one-byte values (0 or 1): pass `bool_type` where the element is uint8.
template <class T>
constexpr int type_num();
template <>
constexpr int type_num<std::uint8_t>() {
  return NPY_UINT8;
}
template <>
constexpr int type_num<std::uint32_t>() {
  return NPY_UINT32;
}
template <>
constexpr int type_num<std::int32_t>() {
  return NPY_INT32;
}
template <>
constexpr int type_num<std::int64_t>() {
  return NPY_INT64;
}
template <>
constexpr int type_num<float>() {
  return NPY_FLOAT32;
}
template <>
constexpr int type_num<double>() {
  return NPY_FLOAT64;
}
inline constexpr int bool_type = NPY_BOOL;

// Dimensions of a C-order (row-major) array.
using Shape = std::span<const std::size_t>;

// Every function below runs with the interpreter lock held and returns a new
// array, or an empty Ref with an exception set: NumPy's import error, or
// PanicException "Failed to create NumPy array" (the pending error having
// been written to standard error) when NumPy cannot make the array.

// A new writeable C-order array in NumPy's memory; its bytes are
// uninitialized, for the caller to fill through data().
Ref empty(int typenum, Shape shape);
inline Ref empty(int typenum, std::initializer_list<std::size_t> shape) {
  return empty(typenum, Shape(shape.begin(), shape.size()));
}

// A new array holding a copy of the values (one block copy). `values` holds
// the product of `shape` elements of the type's size.
Ref copy(int typenum, const void* values, Shape shape);
template <class T>
Ref copy(const T* values, Shape shape) {
  return copy(type_num<T>(), values, shape);
}
template <class T>
Ref copy(const T* values, std::initializer_list<std::size_t> shape) {
  return copy(type_num<T>(), values, Shape(shape.begin(), shape.size()));
}

namespace detail {
// An owned buffer kept alive by the array's base object.
struct Buffer {
  virtual ~Buffer() = default;
};
template <class V>
struct OwnedBuffer final : Buffer {
  explicit OwnedBuffer(V v) : values(std::move(v)) {}
  V values;
};
// Wraps `data` (owned by `owner`) as an array whose base object frees the
// owner once the array and every view of it are gone.
Ref adopt(int typenum, void* data, Shape shape, std::unique_ptr<Buffer> owner);
}  // namespace detail

// An owned buffer (any movable type with data()) as a writeable C-order
// array of `shape` and `typenum`, without a copy; the array's base object
// owns the buffer, which holds the product of `shape` elements.
template <class B>
Ref adopt_buffer(B buffer, Shape shape, int typenum) {
  auto owner = std::make_unique<detail::OwnedBuffer<B>>(std::move(buffer));
  void* data = owner->values.data();
  return detail::adopt(typenum, data, shape, std::move(owner));
}

// The same for a vector. `typenum` defaults to the element type's (pass
// bool_type for a vector of one-byte booleans).
template <class T, class A>
Ref adopt(std::vector<T, A> values, Shape shape, int typenum = type_num<T>()) {
  return adopt_buffer(std::move(values), shape, typenum);
}
template <class T, class A>
Ref adopt(std::vector<T, A> values, std::initializer_list<std::size_t> shape,
          int typenum = type_num<T>()) {
  return adopt(std::move(values), Shape(shape.begin(), shape.size()), typenum);
}
// A one-dimensional array over the whole vector.
template <class T, class A>
Ref adopt(std::vector<T, A> values, int typenum = type_num<T>()) {
  const std::size_t n = values.size();
  return adopt(std::move(values), {n}, typenum);
}

// A C-order view of another shape over a contiguous array (the reference is
// taken over; the view keeps it as its base). A size mismatch raises
// ValueError with NumPy's error written as "TypeName: message".
Ref reshape(Ref array, Shape shape);
inline Ref reshape(Ref array, std::initializer_list<std::size_t> shape) {
  return reshape(std::move(array), Shape(shape.begin(), shape.size()));
}

// Where an array's elements stand now, as far as what owns their memory can
// tell without running Python code. A view keeps its data pointer when
// Python code frees or moves the buffer under it (ndarray.__setstate__ or
// resize(refcheck=False) of its base, ctypes.resize of the object it was
// made from), so the view can look intact over freed memory.
enum class DataState {
  InPlace,  // every byte lies in memory that its owner holds
  Gone,     // the owner freed or moved them
  // Only Python code could tell: the owner is an object that exports no
  // buffer and names no source array under `base` (another library's
  // __array_interface__ holder), a buffer exporter written in Python, a
  // chain of holders longer than real ones are, or nothing at all.
  Unverifiable,
};

// Runs no Python code: check right before reading, with no Python code
// between the check and the last read.
DataState data_state(PyArrayObject* array);

// Arrays that a call takes before any Python code of the caller runs and
// reads after such code may have run (a conversion hook, a sequence
// protocol), which can free the memory under them. One whose memory can be
// checked is read as it is, once data_state says it is still there; one
// whose owner cannot be checked is copied when it is taken, and the copy is
// read in its place: a plain ndarray in memory of its own, C-contiguous
// exactly when the array is, so that layout checks come out the same.
// Precondition: ensure_numpy() has succeeded.
class AcceptedArrays {
 public:
  // Replaces obj by its copy when it needs one (not for a dtype that holds
  // objects: none is read); anything but an array stays. False with the
  // exception set when the copy cannot be made.
  bool accept(PyObject*& obj);
  // The copy accept made for obj, else obj.
  PyObject* read_as(PyObject* obj) const;

 private:
  std::vector<std::pair<Ref, Ref>> copies_;  // an accepted array, its copy
};

// The first byte of an array's data.
inline void* data(const Ref& array) {
  return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
}

}  // namespace numpy
}  // namespace crivane_rs::py
