#include "molecule/py_dtypes.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstring>
#include <limits>
#include <string>

namespace crivane_rs::py_dtypes {
namespace {

using crivane::types::FloatArrayData;
using crivane::types::Mat3Data;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::PropertyValue;
using crivane::types::Tensor;
using crivane::types::TensorData;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;
namespace property = crivane::types::property;
using crivane::storage::dtypes::kMaxTensorRank;

constexpr const char* kUnsupported =
    "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype "
    "float32, float64, int32, or int64";

// The innermost dimension of a strided copy, with the element size known at
// compile time so that each element is one load and one store.
template <std::size_t S>
char* copy_row(const char* src, npy_intp stride, npy_intp n, char* dst) {
  for (npy_intp i = 0; i < n; ++i) {
    std::memcpy(dst, src + i * stride, S);
    dst += S;
  }
  return dst;
}

char* copy_row_any(const char* src, npy_intp stride, npy_intp n, std::size_t size, char* dst) {
  switch (size) {
    case 1:
      return copy_row<1>(src, stride, n, dst);
    case 4:
      return copy_row<4>(src, stride, n, dst);
    case 8:
      return copy_row<8>(src, stride, n, dst);
    default:
      for (npy_intp i = 0; i < n; ++i) {
        std::memcpy(dst, src + i * stride, size);
        dst += size;
      }
      return dst;
  }
}

template <class T>
std::vector<T> copy_values_as(PyArrayObject* array, std::size_t count) {
  std::vector<T> out(count);
  if (count != 0) copy_array_values(array, out.data());
  return out;
}

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

// Integer conversion of the object itself (int, bool, __index__): the value,
// or nothing when the conversion failed in an ordinary way (no integer,
// beyond 64 bits, a hook that raised). False with the exception pending when
// it must reach the caller (KeyboardInterrupt, MemoryError).
bool try_int(PyObject* obj, std::optional<std::int64_t>& out) {
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    out.reset();
    return py::drop_ordinary_error();
  }
  out = static_cast<std::int64_t>(value);
  return true;
}

// Python's float conversion (__float__, else __index__), the same way.
bool try_float(PyObject* obj, std::optional<double>& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    out.reset();
    return py::drop_ordinary_error();
  }
  out = value;
  return true;
}

template <class T>
bool make_tensor(PyArrayObject* array, PropertyValue& out) {
  if (!check_in_place(array)) return false;
  const int nd = PyArray_NDIM(array);
  std::vector<std::uint64_t> dims(static_cast<std::size_t>(nd));
  for (int i = 0; i < nd; ++i) dims[i] = static_cast<std::uint64_t>(PyArray_DIM(array, i));
  const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
  auto shape = tensor_shape(dims, count);
  if (!shape) return py::raise_engine_error(shape.error());
  out.emplace<property::Tensor>(
      TensorData(Tensor<T>{std::move(shape).value(), copy_values_as<T>(array, count)}));
  return true;
}

}  // namespace

bool check_in_place(PyArrayObject* array) {
  if (py::numpy::data_state(array) != py::numpy::DataState::Gone) return true;
  return py::raise_value_error(
      "input array changed while it was being read: its memory was freed or moved; keep input "
      "arrays and the buffers they view unchanged until the call returns");
}

bool dtype_is(PyArrayObject* array, int typenum) {
  PyArray_Descr* have = PyArray_DESCR(array);
  PyArray_Descr* want = PyArray_DescrFromType(typenum);
  if (want == nullptr) {
    PyErr_Clear();
    return false;
  }
  const py::Ref owner = py::Ref::steal(reinterpret_cast<PyObject*>(want));
  return have == want || PyArray_EquivTypes(have, want);
}

void copy_array_values(PyArrayObject* array, void* out) {
  const npy_intp count = PyArray_SIZE(array);
  if (count == 0) return;
  const auto item = static_cast<std::size_t>(PyArray_ITEMSIZE(array));
  const char* base = PyArray_BYTES(array);
  const int nd = PyArray_NDIM(array);
  if (nd == 0 || PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(out, base, static_cast<std::size_t>(count) * item);
    return;
  }
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  // An odometer over every dimension but the last, which is copied as a row.
  std::vector<npy_intp> index(static_cast<std::size_t>(nd), 0);
  char* dst = static_cast<char*>(out);
  const npy_intp row = dims[nd - 1];
  const npy_intp row_stride = strides[nd - 1];
  for (;;) {
    const char* src = base;
    for (int k = 0; k + 1 < nd; ++k) src += index[k] * strides[k];
    dst = copy_row_any(src, row_stride, row, item, dst);
    int k = nd - 2;
    while (k >= 0 && ++index[k] == dims[k]) index[k--] = 0;
    if (k < 0) return;
  }
}

template <int D>
std::optional<PyFloatArray<D>> PyFloatArray<D>::from_any(PyObject* obj) {
  if (!PyArray_Check(obj) || PyArray_NDIM(as_array(obj)) != D) return std::nullopt;
  if (dtype_is(as_array(obj), NPY_FLOAT32)) {
    return PyFloatArray(py::Ref::new_ref(obj), FloatKind::F32);
  }
  if (dtype_is(as_array(obj), NPY_FLOAT64)) {
    return PyFloatArray(py::Ref::new_ref(obj), FloatKind::F64);
  }
  return std::nullopt;
}

template <int D>
bool PyFloatArray<D>::parse_vec3_data(std::string_view field, std::optional<std::size_t> expected,
                                      Vec3Data& out) const requires(D == 2) {
  const std::size_t rows = dim(0);
  if (dim(1) != 3 || (expected && rows != *expected)) {
    return py::raise_value_error(expected
                                     ? fmt::format("{} must have shape ({}, 3)", field, *expected)
                                     : fmt::format("{} must have shape (n, 3)", field));
  }
  if (!check_in_place(array())) return false;
  if (kind_ == FloatKind::F32) {
    out = copy_values_as<Vec3F32>(array(), rows);
  } else {
    out = copy_values_as<Vec3F64>(array(), rows);
  }
  return true;
}

template class PyFloatArray<1>;
template class PyFloatArray<2>;
template class PyFloatArray<3>;

bool parse_positions_field(PyObject* obj, Vec3Data& out) {
  if (!py::ensure_numpy()) return false;
  auto array = PyFloatArray2::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)");
  }
  return array->parse_vec3_data("positions", std::nullopt, out);
}

bool parse_vec3_field(PyObject* obj, std::string_view field, std::size_t n, Vec3Data& out) {
  if (!py::ensure_numpy()) return false;
  auto array = PyFloatArray2::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        fmt::format("{} must be a float32 or float64 ndarray with shape ({}, 3)", field, n));
  }
  return array->parse_vec3_data(field, n, out);
}

bool parse_mat3_field(PyObject* obj, std::string_view field, Mat3Data& out) {
  if (!py::ensure_numpy()) return false;
  auto array = PyFloatArray2::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        fmt::format("{} must be a float32 or float64 ndarray with shape (3, 3)", field));
  }
  if (array->dim(0) != 3 || array->dim(1) != 3) {
    return py::raise_value_error(fmt::format("{} must have shape (3, 3)", field));
  }
  if (!check_in_place(array->array())) return false;
  if (array->kind() == FloatKind::F32) {
    Mat3F32 m;
    copy_array_values(array->array(), m.data());
    out = m;
  } else {
    Mat3F64 m;
    copy_array_values(array->array(), m.data());
    out = m;
  }
  return true;
}

bool parse_float_array_field(PyObject* obj, std::string_view field, std::size_t n,
                             FloatArrayData& out) {
  if (!py::ensure_numpy()) return false;
  auto array = PyFloatArray1::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        fmt::format("{} must be a float32 or float64 ndarray with shape ({},)", field, n));
  }
  const std::size_t length = array->size();
  if (length != n) {
    return py::raise_value_error(
        fmt::format("{} length ({}) doesn't match atom count ({})", field, length, n));
  }
  if (!check_in_place(array->array())) return false;
  if (array->kind() == FloatKind::F32) {
    out = copy_values_as<float>(array->array(), length);
  } else {
    out = copy_values_as<double>(array->array(), length);
  }
  return true;
}

bool parse_tensor_property_value(PyObject* obj, std::optional<PropertyValue>& out) {
  out.reset();
  if (!py::ensure_numpy()) return false;
  if (!PyArray_Check(obj)) return true;
  PyArrayObject* array = as_array(obj);
  PropertyValue value;
  bool ok;
  if (dtype_is(array, NPY_FLOAT32)) {
    ok = make_tensor<float>(array, value);
  } else if (dtype_is(array, NPY_FLOAT64)) {
    ok = make_tensor<double>(array, value);
  } else if (dtype_is(array, NPY_INT32)) {
    ok = make_tensor<std::int32_t>(array, value);
  } else if (dtype_is(array, NPY_INT64)) {
    ok = make_tensor<std::int64_t>(array, value);
  } else {
    return true;
  }
  if (!ok) return false;
  out = std::move(value);
  return true;
}

bool parse_property_value(PyObject* obj, PropertyValue& out) {
  if (obj == Py_None) {
    out.emplace<property::None>();
    return true;
  }
  // The int and float attempts run the value's own hooks, which a class
  // written in Python can define for an array (a subclass): an array is read
  // as accepted before them.
  py::numpy::AcceptedArrays accepted;
  PyObject* source = obj;
  if (PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE)) {
    if (!py::ensure_numpy() || !accepted.accept(source)) return false;
  }
  std::optional<std::int64_t> int_value;
  if (!try_int(obj, int_value)) return false;
  if (int_value) {
    out.emplace<property::Int>(*int_value);
    return true;
  }
  std::optional<double> float_value;
  if (!try_float(obj, float_value)) return false;
  if (float_value) {
    out.emplace<property::Float>(*float_value);
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data != nullptr) {
      out.emplace<property::String>(data, static_cast<std::size_t>(size));
      return true;
    }
    // Lone surrogates have no UTF-8 form, so the str is unsupported.
    if (!py::drop_ordinary_error()) return false;
  }
  if (!py::ensure_numpy()) return false;
  if (PyArray_Check(obj)) {
    PyArrayObject* array = as_array(source);
    // The int and float attempts above may have run the array's own hooks.
    if (!check_in_place(array)) return false;
    const auto count = static_cast<std::size_t>(PyArray_SIZE(array));
    if (PyArray_NDIM(array) == 1) {
      if (dtype_is(array, NPY_FLOAT32)) {
        out.emplace<property::Float32Array>(copy_values_as<float>(array, count));
        return true;
      }
      if (dtype_is(array, NPY_FLOAT64)) {
        out.emplace<property::FloatArray>(copy_values_as<double>(array, count));
        return true;
      }
      if (dtype_is(array, NPY_INT32)) {
        out.emplace<property::Int32Array>(copy_values_as<std::int32_t>(array, count));
        return true;
      }
      if (dtype_is(array, NPY_INT64)) {
        out.emplace<property::IntArray>(copy_values_as<std::int64_t>(array, count));
        return true;
      }
    }
    if (PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) == 3) {
      const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
      if (dtype_is(array, NPY_FLOAT32)) {
        out.emplace<property::Vec3Array>(copy_values_as<Vec3F32>(array, rows));
        return true;
      }
      if (dtype_is(array, NPY_FLOAT64)) {
        out.emplace<property::Vec3ArrayF64>(copy_values_as<Vec3F64>(array, rows));
        return true;
      }
    }
    std::optional<PropertyValue> tensor;
    if (!parse_tensor_property_value(source, tensor)) return false;
    if (tensor) {
      out = std::move(*tensor);
      return true;
    }
  }
  return py::raise_value_error(kUnsupported);
}

crivane::Result<std::vector<std::uint64_t>> tensor_shape(std::span<const std::uint64_t> dims,
                                                         std::size_t value_count) {
  std::uint64_t product = 1;
  for (std::uint64_t d : dims) {
    if (__builtin_mul_overflow(product, d, &product)) {
      return crivane::unexpected(crivane::Error::decode("Tensor shape overflows usize"));
    }
  }
  if (product != value_count) {
    return crivane::unexpected(
        crivane::Error::decode(fmt::format("Tensor shape [{}] expects {} values, got {}",
                                           fmt::join(dims, ", "), product, value_count)));
  }
  if (dims.size() > kMaxTensorRank) {
    return crivane::unexpected(crivane::Error::decode(
        fmt::format("Tensor rank {} exceeds maximum {}", dims.size(), kMaxTensorRank)));
  }
  for (std::uint64_t d : dims) {
    if (d > std::numeric_limits<std::uint32_t>::max()) {
      return crivane::unexpected(
          crivane::Error::decode("Tensor dimensions must fit in u32 for storage"));
    }
  }
  return std::vector<std::uint64_t>(dims.begin(), dims.end());
}

}  // namespace crivane_rs::py_dtypes
