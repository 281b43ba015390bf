#define CRIVANE_RS_NUMPY_TABLE_OWNER
#include "py/numpy.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "py/errors.hpp"

namespace crivane_rs::py {

bool ensure_numpy() {
  // Set only after a complete import: _import_array can fail after storing
  // the table (a version mismatch), and a later call must fail again.
  static bool ready = false;
  if (ready) return true;
  if (_import_array() < 0) return false;
  ready = true;
  return true;
}

namespace numpy {
namespace {

constexpr const char* kBufferCapsule = "crivane_rs.array_buffer";

Ref creation_failed() {
  raise_panic_after_pending("Failed to create NumPy array");
  return Ref();
}

void free_buffer(PyObject* capsule) {
  delete static_cast<detail::Buffer*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// NumPy's dimensions; false when one does not fit npy_intp (NumPy itself
// then refuses the array, as it would for any oversized request).
bool to_dims(Shape shape, npy_intp* dims) {
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] > static_cast<std::size_t>(std::numeric_limits<npy_intp>::max())) return false;
    dims[i] = static_cast<npy_intp>(shape[i]);
  }
  return true;
}

}  // namespace

Ref empty(int typenum, Shape shape) {
  if (!ensure_numpy()) return Ref();
  npy_intp dims[NPY_MAXDIMS];
  if (shape.size() > NPY_MAXDIMS || !to_dims(shape, dims)) {
    PyErr_NoMemory();
    return creation_failed();
  }
  Ref array = Ref::steal(PyArray_SimpleNew(static_cast<int>(shape.size()), dims, typenum));
  return array ? std::move(array) : creation_failed();
}

Ref copy(int typenum, const void* values, Shape shape) {
  Ref array = empty(typenum, shape);
  if (!array) return array;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const std::size_t n = static_cast<std::size_t>(PyArray_NBYTES(a));
  if (n != 0) std::memcpy(PyArray_DATA(a), values, n);
  return array;
}

namespace detail {

Ref adopt(int typenum, void* data, Shape shape, std::unique_ptr<Buffer> owner) {
  if (!ensure_numpy()) return Ref();
  npy_intp dims[NPY_MAXDIMS];
  if (shape.size() > NPY_MAXDIMS || !to_dims(shape, dims)) {
    PyErr_NoMemory();
    return creation_failed();
  }
  // An empty buffer may have no address to hand over; NumPy makes its own.
  std::size_t count = 1;
  for (std::size_t d : shape) count *= d;
  if (count == 0) return empty(typenum, shape);
  Ref capsule = Ref::steal(PyCapsule_New(owner.get(), kBufferCapsule, &free_buffer));
  if (!capsule) return creation_failed();
  owner.release();  // the capsule frees it from now on
  Ref array =
      Ref::steal(PyArray_SimpleNewFromData(static_cast<int>(shape.size()), dims, typenum, data));
  if (!array) return creation_failed();
  // Takes the capsule's reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) {
    return creation_failed();
  }
  return array;
}

}  // namespace detail

Ref reshape(Ref array, Shape shape) {
  npy_intp dims[NPY_MAXDIMS];
  if (shape.size() > NPY_MAXDIMS || !to_dims(shape, dims)) {
    raise_value_error("cannot reshape array: dimension out of range");
    return Ref();
  }
  PyArray_Dims newshape = {dims, static_cast<int>(shape.size())};
  Ref out = Ref::steal(
      PyArray_Newshape(reinterpret_cast<PyArrayObject*>(array.get()), &newshape, NPY_CORDER));
  if (!out) raise_value_error(take_error_text());
  return out;
}

}  // namespace numpy
}  // namespace crivane_rs::py
