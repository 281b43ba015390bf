#include "molecule_helpers.hpp"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py_dtypes.hpp"

namespace crivane_rs::molecule::helpers {
namespace {

using crivane::types::FloatArrayData;
using crivane::types::Mat3Data;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;


template <class T>
constexpr int npy_type_of();
template <>
constexpr int npy_type_of<std::uint8_t>() {
  return NPY_UINT8;
}
template <>
constexpr int npy_type_of<std::int32_t>() {
  return NPY_INT32;
}
template <>
constexpr int npy_type_of<std::int64_t>() {
  return NPY_INT64;
}
template <>
constexpr int npy_type_of<float>() {
  return NPY_FLOAT32;
}
template <>
constexpr int npy_type_of<double>() {
  return NPY_FLOAT64;
}

PyObject* array_creation_failed() {
  py::raise_panic_after_pending("Failed to create NumPy array");
  return nullptr;
}

template <class T>
PyObject* new_array1(std::size_t n) {
  if (!py::ensure_numpy()) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  PyObject* array = PyArray_SimpleNew(1, dims, npy_type_of<T>());
  return array != nullptr ? array : array_creation_failed();
}

constexpr const char* kBufferCapsule = "crivane_rs.array_buffer";

template <class T>
void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

// Reshapes a contiguous one-dimensional array (the reference is taken over)
// into a C-order view of shape (rows, cols) whose base is that array.
PyObject* reshape2(PyObject* flat, std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyArray_Dims shape = {dims, 2};
  PyObject* out = PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat), &shape, NPY_CORDER);
  Py_DECREF(flat);
  if (out == nullptr) {
    std::string text = py::take_error_text();
    py_dtypes::raise_value_error(text);
  }
  return out;
}

PyObject* fail(std::string_view text) {
  py_dtypes::raise_value_error(text);
  return nullptr;
}

PyObject* invalid_section(std::string_view field) {
  return fail(fmt::format("Invalid {} section", field));
}

// The slot's bytes, or nothing with ValueError set.
std::optional<ByteSpan> slot_range(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot) {
  auto range = view.builtin_payload(slot);
  if (!range) {
    py_dtypes::raise_value_error(range.error());
    return std::nullopt;
  }
  return *range;
}

template <class T>
PyObject* array1_from_cow(CowSlice<T> run) {
  if (run.is_owned()) return pyarray1_adopt(std::move(run).take_owned());
  return pyarray1_copy(run.data(), run.size());
}

template <class T>
PyObject* mat3_array(ByteSpan range) {
  auto run = cast_or_decode<T>(range);
  if (!run) return fail(run.error());
  return pyarray2_from_cow(std::move(run).value(), 3, 3);
}

template <class T>
PyObject* vec3_array(ByteSpan range, std::size_t n) {
  auto run = cast_or_decode<T>(range);
  if (!run) return fail(run.error());
  return pyarray2_from_cow(std::move(run).value(), n, 3);
}

template <class T>
PyObject* float_array(ByteSpan range) {
  auto run = cast_or_decode<T>(range);
  if (!run) return fail(run.error());
  return array1_from_cow(std::move(run).value());
}

}  // namespace

template <class T>
soa::PyResult<CowSlice<T>> cast_or_decode(ByteSpan bytes) {
  constexpr std::size_t s = sizeof(T);
  if (bytes.size() % s != 0) {
    return crivane::unexpected(
        fmt::format("Byte length {} is not a multiple of element size {}", bytes.size(), s));
  }
  const std::size_t n = bytes.size() / s;
  if (n == 0) return CowSlice<T>::borrowed(nullptr, 0);
  if (reinterpret_cast<std::uintptr_t>(bytes.data()) % s == 0) {
    return CowSlice<T>::borrowed(reinterpret_cast<const T*>(bytes.data()), n);
  }
  std::vector<T> copy(n);
  std::memcpy(copy.data(), bytes.data(), bytes.size());
  return CowSlice<T>::owned(std::move(copy));
}

template <class T>
PyObject* pyarray1_copy(const T* values, std::size_t n) {
  PyObject* array = new_array1<T>(n);
  if (array != nullptr && n != 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values, n * sizeof(T));
  }
  return array;
}

template <class T>
PyObject* pyarray1_adopt(std::vector<T> values) {
  // An empty vector has no buffer to hand over.
  if (values.empty()) return new_array1<T>(0);
  if (!py::ensure_numpy()) return nullptr;
  auto* owner = new std::vector<T>(std::move(values));
  PyObject* capsule = PyCapsule_New(owner, kBufferCapsule, &free_buffer<T>);
  if (capsule == nullptr) {
    delete owner;
    return array_creation_failed();
  }
  npy_intp dims[1] = {static_cast<npy_intp>(owner->size())};
  PyObject* array = PyArray_SimpleNewFromData(1, dims, npy_type_of<T>(), owner->data());
  if (array == nullptr) {
    Py_DECREF(capsule);
    return array_creation_failed();
  }
  // Takes the capsule's reference even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return array_creation_failed();
  }
  return array;
}

template <class T>
PyObject* pyarray2_from_cow(CowSlice<T> run, std::size_t rows, std::size_t cols) {
  if (run.is_owned()) return pyarray2_from_flat(std::move(run).take_owned(), rows, cols);
  PyObject* flat = pyarray1_copy(run.data(), run.size());
  if (flat == nullptr) return nullptr;
  return reshape2(flat, rows, cols);
}

template <class T>
PyObject* pyarray2_from_flat(std::vector<T> values, std::size_t rows, std::size_t cols) {
  PyObject* flat = pyarray1_adopt(std::move(values));
  if (flat == nullptr) return nullptr;
  return reshape2(flat, rows, cols);
}

#define CRIVANE_RS_ARRAY_TYPES(X) \
  X(std::int32_t)                 \
  X(std::int64_t)                 \
  X(float)                        \
  X(double)
#define CRIVANE_RS_INSTANTIATE(T)                                                 \
  template soa::PyResult<CowSlice<T>> cast_or_decode<T>(ByteSpan);                \
  template PyObject* pyarray1_copy<T>(const T*, std::size_t);                     \
  template PyObject* pyarray1_adopt<T>(std::vector<T>);                           \
  template PyObject* pyarray2_from_cow<T>(CowSlice<T>, std::size_t, std::size_t); \
  template PyObject* pyarray2_from_flat<T>(std::vector<T>, std::size_t, std::size_t);
CRIVANE_RS_ARRAY_TYPES(CRIVANE_RS_INSTANTIATE)
#undef CRIVANE_RS_INSTANTIATE
#undef CRIVANE_RS_ARRAY_TYPES
template PyObject* pyarray1_copy<std::uint8_t>(const std::uint8_t*, std::size_t);
template PyObject* pyarray1_adopt<std::uint8_t>(std::vector<std::uint8_t>);

PyObject* owned_vec3_array(const Vec3Data& data) {
  return std::visit(
      []<class Row>(const std::vector<Row>& rows) {
        using T = typename Row::value_type;
        std::vector<T> flat(rows.size() * 3);
        if (!rows.empty()) std::memcpy(flat.data(), rows.data(), flat.size() * sizeof(T));
        return pyarray2_from_flat(std::move(flat), rows.size(), 3);
      },
      data);
}

PyObject* owned_float_array(const FloatArrayData& data) {
  return std::visit(
      []<class T>(const std::vector<T>& values) {
        return pyarray1_copy(values.data(), values.size());
      },
      data);
}

PyObject* owned_mat3x3_array(const Mat3Data& data) {
  return std::visit(
      []<class Row>(const std::array<Row, 3>& m) {
        using T = typename Row::value_type;
        std::vector<T> flat(9);
        std::memcpy(flat.data(), m.data(), sizeof m);
        return pyarray2_from_flat(std::move(flat), 3, 3);
      },
      data);
}

PyObject* view_vec3_payload_py(ByteSpan range, std::uint8_t type_tag, std::size_t n,
                               std::string_view field) {
  switch (type_tag) {
    case 4:
      return vec3_array<float>(range, n);
    case 7:
      return vec3_array<double>(range, n);
    default:
      return invalid_section(field);
  }
}

PyObject* view_builtin_vec3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field) {
  const std::size_t n = view.n_atoms();
  const std::size_t row = slot.type_tag == 4 ? 12 : slot.type_tag == 7 ? 24 : 0;
  // n is a u32 count, so n * 24 cannot overflow.
  if (row == 0 || slot.payload_len != n * row) return invalid_section(field);
  auto range = slot_range(view, slot);
  if (!range) return nullptr;
  return view_vec3_payload_py(*range, slot.type_tag, n, field);
}

PyObject* view_builtin_mat3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field) {
  const bool f32 = slot.type_tag == 12 && slot.payload_len == 36;
  const bool f64 = slot.type_tag == 10 && slot.payload_len == 72;
  if (!f32 && !f64) return invalid_section(field);
  auto range = slot_range(view, slot);
  if (!range) return nullptr;
  return f32 ? mat3_array<float>(*range) : mat3_array<double>(*range);
}

PyObject* view_builtin_float_array_slot_py(const soa::SoaMoleculeView& view,
                                           const soa::BuiltinSlot& slot, std::string_view field) {
  const std::size_t n = view.n_atoms();
  const bool f32 = slot.type_tag == 6 && slot.payload_len == n * 4;
  const bool f64 = slot.type_tag == 3 && slot.payload_len == n * 8;
  if (!f32 && !f64) return invalid_section(field);
  auto range = slot_range(view, slot);
  if (!range) return nullptr;
  return f32 ? float_array<float>(*range) : float_array<double>(*range);
}

}  // namespace crivane_rs::molecule::helpers
