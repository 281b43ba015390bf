#define CRIVANE_RS_NUMPY_TABLE_OWNER
#include "py/numpy.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "py/errors.hpp"

namespace crivane_rs::py {
namespace {

// The buffer hook that every class defining __buffer__ in Python shares
// (Python 3.12 on; null before). Found before any array is read, since
// making a class can run Python code.
void* python_buffer_hook = nullptr;

bool find_python_buffer_hook() {
  Ref dict = Ref::steal(Py_BuildValue("{s:O}", "__buffer__", Py_None));
  if (!dict) return false;
  Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                               "python_exporter", dict.get()));
  if (!probe) return false;
  python_buffer_hook =
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(probe.get()), Py_bf_getbuffer);
  return true;
}

}  // namespace

bool ensure_numpy() {
  // Set only after a complete import: _import_array can fail after storing
  // the table (a version mismatch), and a later call must fail again.
  static bool ready = false;
  if (ready) return true;
  if (_import_array() < 0 || !find_python_buffer_hook()) return false;
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

// Addresses [lo, hi).
struct Extent {
  std::uintptr_t lo = 0;
  std::uintptr_t hi = 0;

  bool empty() const { return lo == hi; }
  bool holds(const Extent& inner) const { return lo <= inner.lo && inner.hi <= hi; }
};

// The bytes that the elements of a strided layout cover; empty when it has
// no element.
template <class Int>
Extent cover(const void* data, int ndim, const Int* shape, const Int* strides,
             std::size_t itemsize) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  Extent out{start, start + itemsize};
  for (int i = 0; i < ndim; ++i) {
    if (shape[i] == 0) return {start, start};
    const Int reach = (shape[i] - 1) * strides[i];
    if (reach < 0) {
      out.lo -= static_cast<std::uintptr_t>(-reach);
    } else {
      out.hi += static_cast<std::uintptr_t>(reach);
    }
  }
  return out;
}

// Whether the memory `exporter` hands out now holds `need`. An exporter that
// refuses (a released memoryview, a closed mmap) has no memory left to read.
bool buffer_holds(PyObject* exporter, const Extent& need) {
  Py_buffer view;
  if (PyObject_GetBuffer(exporter, &view, PyBUF_FULL_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const auto start = reinterpret_cast<std::uintptr_t>(view.buf);
  const Extent have = view.strides == nullptr
                          ? Extent{start, start + static_cast<std::uintptr_t>(view.len)}
                          : cover(view.buf, view.ndim, view.shape, view.strides,
                                  static_cast<std::size_t>(view.itemsize));
  const bool held = view.suboffsets == nullptr && have.holds(need);
  PyBuffer_Release(&view);
  return held;
}

// Whether asking obj for its buffer would run Python code.
bool python_exporter(PyObject* obj) {
  return python_buffer_hook != nullptr &&
         PyType_GetSlot(Py_TYPE(obj), Py_bf_getbuffer) == python_buffer_hook;
}

// The array an __array_interface__ holder was made from, as NumPy's
// as_strided and sliding_window_view leave it in the holder's `base`
// attribute; null if it names none. Read from the instance dict itself, so
// no Python code runs.
PyObject* interface_source(PyObject* holder) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(holder, nullptr));
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyDict_Check(dict.get())) return nullptr;
  Py_ssize_t at = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.get(), &at, &key, &value)) {
    // The holder keeps its dict, and the dict keeps the value.
    if (PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, "base") == 0) {
      return PyArray_Check(value) ? value : nullptr;
    }
  }
  return nullptr;
}

}  // namespace

DataState data_state(PyArrayObject* array) {
  const Extent need =
      cover(PyArray_DATA(array), PyArray_NDIM(array), PyArray_DIMS(array), PyArray_STRIDES(array),
            static_cast<std::size_t>(PyArray_ITEMSIZE(array)));
  if (need.empty()) return DataState::InPlace;
  auto holds = [&need](bool held) { return held ? DataState::InPlace : DataState::Gone; };
  PyObject* holder = reinterpret_cast<PyObject*>(array);
  // Holders can name each other in a ring; real ones are a step or two deep.
  int sources_followed = 0;
  for (;;) {
    if (PyArray_Check(holder)) {
      auto* a = reinterpret_cast<PyArrayObject*>(holder);
      // An owner's allocation, whatever shape or strides it has been given since.
      if (PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA)) {
        const auto start = reinterpret_cast<std::uintptr_t>(PyArray_DATA(a));
        return holds(
            Extent{start, start + static_cast<std::uintptr_t>(PyArray_NBYTES(a))}.holds(need));
      }
      holder = PyArray_BASE(a);
    } else if (PyMemoryView_Check(holder)) {
      // Its copy of the exporter's buffer, then the exporter as it is now.
      if (!buffer_holds(holder, need)) return DataState::Gone;
      holder = PyMemoryView_GET_BASE(holder);
    } else if (PyCapsule_IsValid(holder, kBufferCapsule)) {
      // Memory this module handed out (adopt): freed only with the capsule,
      // which the array keeps alive.
      return DataState::InPlace;
    } else if (!PyObject_CheckBuffer(holder)) {
      // An __array_interface__ holder keeps the array it was made from alive,
      // but not that array's memory: look at the array.
      if (++sources_followed > 32) return DataState::Unverifiable;
      holder = interface_source(holder);
    } else {
      if (python_exporter(holder)) return DataState::Unverifiable;
      return holds(buffer_holds(holder, need));
    }
    // Memory whose owner, if any, is not in sight.
    if (holder == nullptr) return DataState::Unverifiable;
  }
}

namespace {

// No hook of a subclass runs, and no Python code at all for a dtype that
// holds no objects.
Ref owned_copy(PyArrayObject* array) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  const int ndim = PyArray_NDIM(array);
  Ref copy;
  if (PyArray_IS_C_CONTIGUOUS(array)) {
    Py_INCREF(descr);  // each NewFromDescr takes one
    copy = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, PyArray_DIMS(array), nullptr,
                                           nullptr, 0, nullptr));
  } else {
    // Every other element of a last dimension twice as long: not
    // C-contiguous either, as the array has two elements or more.
    npy_intp dims[NPY_MAXDIMS];
    npy_intp strides[NPY_MAXDIMS];
    std::memcpy(dims, PyArray_DIMS(array), sizeof(npy_intp) * static_cast<std::size_t>(ndim));
    if (__builtin_mul_overflow(dims[ndim - 1], 2, &dims[ndim - 1])) {
      PyErr_NoMemory();
      return Ref();
    }
    Py_INCREF(descr);
    Ref padded = Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, nullptr, nullptr, 0, nullptr));
    if (!padded) return padded;
    auto* p = reinterpret_cast<PyArrayObject*>(padded.get());
    std::memcpy(strides, PyArray_STRIDES(p), sizeof(npy_intp) * static_cast<std::size_t>(ndim));
    strides[ndim - 1] *= 2;
    Py_INCREF(descr);
    copy = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, ndim, PyArray_DIMS(array), strides,
                                           PyArray_DATA(p), NPY_ARRAY_WRITEABLE, nullptr));
    if (!copy) return copy;
    // Takes the reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(copy.get()), padded.release()) < 0) {
      return Ref();
    }
  }
  if (!copy || PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(copy.get()), array) < 0) {
    return Ref();
  }
  return copy;
}

}  // namespace

bool AcceptedArrays::accept(PyObject*& obj) {
  PyObject* seen = read_as(obj);
  if (seen != obj || !PyArray_Check(obj)) {
    obj = seen;
    return true;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyDataType_REFCHK(PyArray_DESCR(array)) || data_state(array) != DataState::Unverifiable) {
    return true;
  }
  Ref copy = owned_copy(array);
  if (!copy) return false;
  obj = copy.get();
  copies_.emplace_back(Ref::new_ref(reinterpret_cast<PyObject*>(array)), std::move(copy));
  return true;
}

PyObject* AcceptedArrays::read_as(PyObject* obj) const {
  for (const auto& [array, copy] : copies_) {
    if (array.get() == obj) return copy.get();
  }
  return obj;
}

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
