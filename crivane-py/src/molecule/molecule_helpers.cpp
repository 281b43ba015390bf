#include "molecule/molecule_helpers.hpp"

#include <fmt/format.h>

#include <array>
#include <cstring>
#include <string>
#include <variant>

#include "py/errors.hpp"
#include "py/numpy.hpp"

namespace crivane_rs::molecule::helpers {
namespace {

using crivane::types::FloatArrayData;
using crivane::types::Mat3Data;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;

// Reshapes a contiguous one-dimensional array (the reference is taken over)
// into a C-order view of shape (rows, cols) whose base is that array.
PyObject* reshape2(py::Ref flat, std::size_t rows, std::size_t cols) {
  return py::numpy::reshape(std::move(flat), {rows, cols}).release();
}

int type_num_of(soa::ElementType type) {
  switch (type) {
    case soa::ElementType::F32:
      return py::numpy::type_num<float>();
    case soa::ElementType::F64:
      return py::numpy::type_num<double>();
    case soa::ElementType::I32:
      return py::numpy::type_num<std::int32_t>();
    case soa::ElementType::I64:
      break;
  }
  return py::numpy::type_num<std::int64_t>();
}

}  // namespace

template <class T>
crivane::Result<CowSlice<T>> cast_or_decode(ByteSpan bytes) {
  constexpr std::size_t s = sizeof(T);
  if (bytes.size() % s != 0) {
    return crivane::unexpected(crivane::Error::decode(
        fmt::format("Byte length {} is not a multiple of element size {}", bytes.size(), s)));
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
  return py::numpy::copy(values, {n}).release();
}

template <class T>
PyObject* pyarray2_from_cow(CowSlice<T> run, std::size_t rows, std::size_t cols) {
  if (run.is_owned()) return pyarray2_from_flat(std::move(run).take_owned(), rows, cols);
  py::Ref flat = py::numpy::copy(run.data(), {run.size()});
  if (!flat) return nullptr;
  return reshape2(std::move(flat), rows, cols);
}

template <class T>
PyObject* pyarray2_from_flat(std::vector<T> values, std::size_t rows, std::size_t cols) {
  py::Ref flat = py::numpy::adopt(std::move(values));
  if (!flat) return nullptr;
  return reshape2(std::move(flat), rows, cols);
}

#define CRIVANE_RS_ARRAY_TYPES(X) \
  X(std::int32_t)                 \
  X(std::int64_t)                 \
  X(float)                        \
  X(double)
#define CRIVANE_RS_INSTANTIATE(T)                                                 \
  template crivane::Result<CowSlice<T>> cast_or_decode<T>(ByteSpan);              \
  template PyObject* pyarray1_copy<T>(const T*, std::size_t);                     \
  template PyObject* pyarray2_from_cow<T>(CowSlice<T>, std::size_t, std::size_t); \
  template PyObject* pyarray2_from_flat<T>(std::vector<T>, std::size_t, std::size_t);
CRIVANE_RS_ARRAY_TYPES(CRIVANE_RS_INSTANTIATE)
#undef CRIVANE_RS_INSTANTIATE
#undef CRIVANE_RS_ARRAY_TYPES
template PyObject* pyarray1_copy<std::uint8_t>(const std::uint8_t*, std::size_t);

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

PyObject* array_from_values(const soa::PayloadValues& values) {
  const std::size_t shape[] = {values.count()};
  return py::numpy::copy(type_num_of(values.type), values.bytes.data(), py::numpy::Shape(shape))
      .release();
}

PyObject* array2_from_values(const soa::PayloadValues& values, std::size_t rows, std::size_t cols) {
  py::Ref flat = py::Ref::steal(array_from_values(values));
  if (!flat) return nullptr;
  return reshape2(std::move(flat), rows, cols);
}

PyObject* view_vec3_payload_py(ByteSpan range, std::uint8_t type_tag, std::size_t n,
                               std::string_view field) {
  auto values = soa::vec3_payload_values(range, type_tag, field);
  if (!values) return py::raise_engine_error(values.error());
  return array2_from_values(*values, n, 3);
}

PyObject* view_builtin_vec3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field) {
  auto values = soa::builtin_vec3_values(view, slot, field);
  if (!values) return py::raise_engine_error(values.error());
  return array2_from_values(*values, view.n_atoms(), 3);
}

PyObject* view_builtin_mat3_slot_py(const soa::SoaMoleculeView& view, const soa::BuiltinSlot& slot,
                                    std::string_view field) {
  auto values = soa::builtin_mat3_values(view, slot, field);
  if (!values) return py::raise_engine_error(values.error());
  return array2_from_values(*values, 3, 3);
}

PyObject* view_builtin_float_array_slot_py(const soa::SoaMoleculeView& view,
                                           const soa::BuiltinSlot& slot, std::string_view field) {
  auto values = soa::builtin_float_array_values(view, slot, field);
  if (!values) return py::raise_engine_error(values.error());
  return array_from_values(*values);
}

}  // namespace crivane_rs::molecule::helpers
