// The custom property columns of add_arrays_batch: one column per entry of
// `properties` and `atom_properties`, each holding that section's payload
// for every molecule, in the payload encodings a single molecule's value of
// the same form gets.
#include <fmt/format.h>

#include <cstring>
#include <limits>
#include <set>

#include "crivane/storage/dtypes.hpp"
#include "database/database_batch.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace crivane_rs::database::batch {
namespace {

using py::Ref;
using py_dtypes::FloatKind;
using py_dtypes::PyFloatArray3;
namespace tag = crivane::storage::dtypes::tag;
constexpr std::uint8_t kMoleculeProperty = soa::SectionKind::MoleculeProperty;
constexpr std::uint8_t kAtomProperty = soa::SectionKind::AtomProperty;

// Record tags of the four element types a column keeps.
template <class T>
struct Element;
template <>
struct Element<float> {
  static constexpr std::uint8_t array_tag = tag::kF32Array;
  static constexpr std::uint8_t vec3_tag = tag::kVec3F32;
  static constexpr std::uint8_t tensor_tag = tag::kTensorF32;
};
template <>
struct Element<double> {
  static constexpr std::uint8_t array_tag = tag::kF64Array;
  static constexpr std::uint8_t vec3_tag = tag::kVec3F64;
  static constexpr std::uint8_t tensor_tag = tag::kTensorF64;
};
template <>
struct Element<std::int32_t> {
  static constexpr std::uint8_t array_tag = tag::kI32Array;
  static constexpr std::uint8_t tensor_tag = tag::kTensorI32;
};
template <>
struct Element<std::int64_t> {
  static constexpr std::uint8_t array_tag = tag::kI64Array;
  static constexpr std::uint8_t tensor_tag = tag::kTensorI64;
};

constexpr const char* kUnsupportedProperty =
    "Unsupported batched property '{}' type. Supported: list[str], 1D numeric arrays, 2D numeric "
    "arrays, 3D float arrays with trailing dimension 3, or stacked tensor ndarrays with dtype "
    "float32, float64, int32, or int64";
constexpr const char* kUnsupportedAtomProperty =
    "Unsupported batched atom property '{}' type. Supported: 2D numeric arrays with shape (batch, "
    "n_atoms), 3D float arrays with shape (batch, n_atoms, 3), or stacked tensor ndarrays with "
    "dtype float32, float64, int32, or int64";
constexpr const char* kListOrTuple =
    "custom property '{}' must be a stacked ndarray tensor for add_arrays_batch; list/tuple tensor "
    "inputs are not supported. Ragged tensors should use per-molecule construction plus "
    "add_molecules(...) and non-flat retrieval with get_molecule(s).";

template <class T>
bool has_element(PyArrayObject* array) {
  return py_dtypes::dtype_is(array, py::numpy::type_num<T>());
}

py::Raised not_contiguous(std::string_view key) {
  return py::raise_value_error(fmt::format("custom property '{}' must be C-contiguous", key));
}

// Only reachable with a batch of 0, whose array holds no bytes whatever its
// other dimensions say.
py::Raised stride_overflow(std::string_view key) {
  return py::raise_value_error(fmt::format("custom property '{}' payload length overflow", key));
}

// A (batch, k) array, row i being molecule i's payload.
template <class T>
bool extract_matrix_column(PyArrayObject* array, std::size_t batch, std::string_view key,
                           std::uint8_t kind, std::optional<BatchSectionColumn>& out) {
  if (dim(array, 0) != batch) {
    return py::raise_value_error(
        fmt::format("custom property '{}' must have shape ({}, k)", key, batch));
  }
  if (!PyArray_IS_C_CONTIGUOUS(array)) return not_contiguous(key);
  std::size_t stride = 0;
  if (__builtin_mul_overflow(dim(array, 1), sizeof(T), &stride)) return stride_overflow(key);
  Bytes data;
  if (!copy_contiguous(array, data)) return false;
  out = BatchSectionColumn{std::string(key),     std::move(data), std::nullopt, stride, kind,
                           Element<T>::array_tag};
  return true;
}

// A (batch, k, 3) float array, k xyz triples per molecule.
template <class T>
bool extract_vec3_column(PyArrayObject* array, std::size_t k, std::string_view key,
                         std::uint8_t kind, std::optional<BatchSectionColumn>& out) {
  if (!PyArray_IS_C_CONTIGUOUS(array)) return not_contiguous(key);
  std::size_t stride = 0;
  if (__builtin_mul_overflow(k, 3 * sizeof(T), &stride)) return stride_overflow(key);
  Bytes data;
  if (!copy_contiguous(array, data)) return false;
  out = BatchSectionColumn{std::string(key),    std::move(data), std::nullopt, stride, kind,
                           Element<T>::vec3_tag};
  return true;
}

// One value per molecule, any strides, widened to the 8-byte scalar `Wide`.
template <class T, class Wide>
bool extract_scalar_column(PyArrayObject* array, std::size_t batch, std::string_view key,
                           std::uint8_t type_tag, std::optional<BatchSectionColumn>& out) {
  const std::size_t length = dim(array, 0);
  if (length != batch) {
    return py::raise_value_error(fmt::format(
        "custom property '{}' length ({}) doesn't match batch size ({})", key, length, batch));
  }
  if (!check_in_place(array)) return false;
  Bytes data(batch * sizeof(Wide));
  const char* base = PyArray_BYTES(array);
  const npy_intp step = PyArray_STRIDE(array, 0);
  for (std::size_t i = 0; i < batch; ++i) {
    T value;
    std::memcpy(&value, base + static_cast<npy_intp>(i) * step, sizeof value);
    crivane::bytes::store<Wide>(data.data() + i * sizeof(Wide), static_cast<Wide>(value));
  }
  out = BatchSectionColumn{std::string(key), std::move(data),   std::nullopt,
                           sizeof(Wide),     kMoleculeProperty, type_tag};
  return true;
}

// Every item of a sequence (not a str itself) as UTF-8 text. False for
// anything else: with no exception left when reading failed in an ordinary
// way, with the exception pending when it must not be swallowed
// (KeyboardInterrupt, MemoryError).
bool read_string_sequence(PyObject* value, std::vector<std::string>& out) {
  if (PyUnicode_Check(value) || !PySequence_Check(value)) return false;
  Ref iter = Ref::steal(PyObject_GetIter(value));
  if (!iter) {
    py::drop_ordinary_error();
    return false;
  }
  std::vector<std::string> strings;
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!PyUnicode_Check(item.get())) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (data == nullptr) {
      py::drop_ordinary_error();
      return false;
    }
    strings.emplace_back(data, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) {
    py::drop_ordinary_error();
    return false;
  }
  out = std::move(strings);
  return true;
}

bool reject_list_or_tuple_tensor_column(PyObject* value, std::string_view key) {
  if (PyList_Check(value) || PyTuple_Check(value)) {
    return py::raise_value_error(fmt::format(kListOrTuple, key));
  }
  return true;
}

bool push_unique_key(std::set<std::string, std::less<>>& keys, std::string_view key,
                     std::string_view what) {
  if (!keys.emplace(key).second) {
    return py::raise_value_error(
        fmt::format("Duplicate custom key '{}' across batched {} inputs", key, what));
  }
  return true;
}

template <class T>
bool try_matrix(PyArrayObject* array, std::size_t batch, std::string_view key, std::uint8_t kind,
                std::optional<BatchSectionColumn>& out, bool& taken) {
  if (taken || !has_element<T>(array)) return true;
  taken = true;
  return extract_matrix_column<T>(array, batch, key, kind, out);
}

// Forms 7 to 10 of either dict: a 2-D array of float32, float64, int64 or
// int32, in that order. `taken` tells whether one matched.
bool matrix_column(PyArrayObject* array, std::size_t batch, std::string_view key, std::uint8_t kind,
                   std::optional<BatchSectionColumn>& out, bool& taken) {
  taken = false;
  return try_matrix<float>(array, batch, key, kind, out, taken) &&
         try_matrix<double>(array, batch, key, kind, out, taken) &&
         try_matrix<std::int64_t>(array, batch, key, kind, out, taken) &&
         try_matrix<std::int32_t>(array, batch, key, kind, out, taken);
}

bool vec3_column(const PyFloatArray3& array, std::size_t k, std::string_view key, std::uint8_t kind,
                 std::optional<BatchSectionColumn>& out) {
  return array.kind() == FloatKind::F32
             ? extract_vec3_column<float>(array.array(), k, key, kind, out)
             : extract_vec3_column<double>(array.array(), k, key, kind, out);
}

bool property_column(PyObject* value, std::size_t batch, std::string_view key,
                     std::optional<BatchSectionColumn>& out) {
  std::vector<std::string> strings;
  const bool is_strings = read_string_sequence(value, strings);
  if (PyErr_Occurred()) return false;
  if (is_strings) {
    if (strings.size() != batch) {
      return py::raise_value_error(
          fmt::format("custom property '{}' length ({}) doesn't match batch size ({})", key,
                      strings.size(), batch));
    }
    out = BatchSectionColumn{std::string(key),  Bytes(),     std::move(strings), 0,
                             kMoleculeProperty, tag::kString};
    return true;
  }
  if (!reject_list_or_tuple_tensor_column(value, key)) return false;
  if (PyArray_Check(value)) {
    PyArrayObject* array = as_array(value);
    if (PyArray_NDIM(array) == 1) {
      if (has_element<float>(array)) {
        return extract_scalar_column<float, double>(array, batch, key, tag::kF64, out);
      }
      if (has_element<double>(array)) {
        return extract_scalar_column<double, double>(array, batch, key, tag::kF64, out);
      }
      if (has_element<std::int32_t>(array)) {
        return extract_scalar_column<std::int32_t, std::int64_t>(array, batch, key, tag::kI64, out);
      }
      if (has_element<std::int64_t>(array)) {
        return extract_scalar_column<std::int64_t, std::int64_t>(array, batch, key, tag::kI64, out);
      }
    } else if (PyArray_NDIM(array) == 2) {
      bool taken = false;
      if (!matrix_column(array, batch, key, kMoleculeProperty, out, taken)) return false;
      if (taken) return true;
    }
  }
  if (auto array = PyFloatArray3::from_any(value)) {
    if (array->dim(0) == batch && array->dim(2) == 3) {
      return vec3_column(*array, array->dim(1), key, kMoleculeProperty, out);
    }
  }
  if (!extract_stacked_tensor_column(value, batch, std::nullopt, key, kMoleculeProperty, out)) {
    return false;
  }
  if (!out) return py::raise_value_error(fmt::format(kUnsupportedProperty, key));
  return true;
}

bool atom_property_column(PyObject* value, std::size_t batch, std::size_t n_atoms,
                          std::string_view key, std::optional<BatchSectionColumn>& out) {
  if (!reject_list_or_tuple_tensor_column(value, key)) return false;
  if (PyArray_Check(value) && PyArray_NDIM(as_array(value)) == 2) {
    PyArrayObject* array = as_array(value);
    bool taken = false;
    if (!matrix_column(array, batch, key, kAtomProperty, out, taken)) return false;
    if (taken) {
      if (dim(array, 1) != n_atoms) {
        out.reset();
        return py::raise_value_error(
            fmt::format("atom property '{}' must have shape ({}, {})", key, batch, n_atoms));
      }
      return true;
    }
  }
  if (auto array = PyFloatArray3::from_any(value)) {
    if (array->dim(0) == batch && array->dim(1) == n_atoms && array->dim(2) == 3) {
      return vec3_column(*array, n_atoms, key, kAtomProperty, out);
    }
  }
  if (!extract_stacked_tensor_column(value, batch, n_atoms, key, kAtomProperty, out)) return false;
  if (!out) return py::raise_value_error(fmt::format(kUnsupportedAtomProperty, key));
  return true;
}

// Calls entry(key, value) for each item of a dict (subclasses included) in
// its iteration order, holding both. A dict that changes while it is walked
// ends the call with PanicException carrying the interpreter's text.
template <class F>
bool walk_dict(PyObject* dict, F&& entry) {
  Ref items = Ref::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyDict_Type), "items", "O", dict));
  if (!items) return false;
  Ref iter = Ref::steal(PyObject_GetIter(items.get()));
  if (!iter) return false;
  while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
    if (!entry(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1))) return false;
  }
  if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_RuntimeError)) {
    Ref error = py::fetch_error();
    Ref text = Ref::steal(PyObject_Str(error.get()));
    std::string_view message;
    if (!text || !py::extract(text.get(), message)) return false;
    py::raise_panic(message);
  }
  return !PyErr_Occurred();
}

// The key's text, refusing the builtin stress field's name.
bool entry_key(PyObject* obj, std::string_view& key) {
  if (!py::extract(obj, key)) return false;
  if (key == soa::key_of(soa::BuiltinKey::Stress)) {
    return py::raise_value_error(
        "'stress' is a reserved field; use the builtin stress argument instead");
  }
  return true;
}

template <class T>
bool tensor_column(PyArrayObject* array, std::size_t batch, std::optional<std::size_t> n_atoms,
                   std::string_view key, std::uint8_t kind,
                   std::optional<BatchSectionColumn>& out) {
  const int ndim = PyArray_NDIM(array);
  if (ndim < 3 || dim(array, 0) != batch) {
    return py::raise_value_error(
        fmt::format("custom property '{}' must have stacked tensor shape ({}, ...)", key, batch));
  }
  if (n_atoms && dim(array, 1) != *n_atoms) {
    return py::raise_value_error(fmt::format(
        "atom property '{}' must have stacked tensor shape ({}, {}, ...)", key, batch, *n_atoms));
  }
  std::vector<std::size_t> dims;
  dims.reserve(static_cast<std::size_t>(ndim - 1));
  for (int i = 1; i < ndim; ++i) dims.push_back(dim(array, i));
  std::size_t values = 1;
  for (std::size_t d : dims) {
    if (__builtin_mul_overflow(values, d, &values))
      return py::raise_value_error("Tensor shape overflows usize");
  }
  constexpr std::size_t kMaxValues = std::size_t{1} << (sizeof(T) == 4 ? 62 : 61);
  if (values >= kMaxValues) return py::raise_value_error("Tensor byte length overflow");
  const std::size_t value_bytes = values * sizeof(T);
  auto header = tensor_payload_header(dims, key);
  if (!header) return py::raise_engine_error(header.error());
  std::size_t stride = 0;
  if (__builtin_add_overflow(header->size(), value_bytes, &stride)) {
    return py::raise_value_error("Tensor payload length overflow");
  }
  if (!PyArray_IS_C_CONTIGUOUS(array)) return not_contiguous(key);
  std::size_t total = 0;
  if (__builtin_mul_overflow(batch, stride, &total)) {
    return py::raise_value_error("Tensor batch payload length overflow");
  }
  if (!check_in_place(array)) return false;
  Bytes data(total);
  const auto* source = static_cast<const std::uint8_t*>(PyArray_DATA(array));
  std::uint8_t* target = data.data();
  for (std::size_t i = 0; i < batch; ++i) {
    std::size_t first = 0, end = 0;
    if (__builtin_mul_overflow(i, values, &first) || __builtin_add_overflow(first, values, &end)) {
      return py::raise_value_error("Tensor value offset overflow");
    }
    std::memcpy(target, header->data(), header->size());
    target += header->size();
    if (value_bytes != 0) std::memcpy(target, source + first * sizeof(T), value_bytes);
    target += value_bytes;
  }
  out = BatchSectionColumn{std::string(key),      std::move(data), std::nullopt, stride, kind,
                           Element<T>::tensor_tag};
  return true;
}

}  // namespace

crivane::Result<Bytes> tensor_payload_header(std::span<const std::size_t> dims,
                                             std::string_view key) {
  if (dims.size() > crivane::storage::dtypes::kMaxTensorRank) {
    return crivane::unexpected(crivane::Error::decode(
        fmt::format("custom property '{}' tensor rank {} exceeds maximum {}", key, dims.size(),
                    crivane::storage::dtypes::kMaxTensorRank)));
  }
  for (std::size_t d : dims) {
    if (d > std::numeric_limits<std::uint32_t>::max()) {
      return crivane::unexpected(crivane::Error::decode(
          fmt::format("custom property '{}' tensor dimensions must fit in u32 for storage", key)));
    }
  }
  Bytes header;
  header.reserve(1 + 4 * dims.size());
  header.push_back(static_cast<std::uint8_t>(dims.size()));
  for (std::size_t d : dims) crivane::bytes::put(header, static_cast<std::uint32_t>(d));
  return header;
}

bool extract_stacked_tensor_column(PyObject* value, std::size_t batch,
                                   std::optional<std::size_t> n_atoms, std::string_view key,
                                   std::uint8_t kind, std::optional<BatchSectionColumn>& out) {
  out.reset();
  if (!PyArray_Check(value)) return true;
  PyArrayObject* array = as_array(value);
  if (has_element<float>(array)) return tensor_column<float>(array, batch, n_atoms, key, kind, out);
  if (has_element<double>(array)) {
    return tensor_column<double>(array, batch, n_atoms, key, kind, out);
  }
  if (has_element<std::int32_t>(array)) {
    return tensor_column<std::int32_t>(array, batch, n_atoms, key, kind, out);
  }
  if (has_element<std::int64_t>(array)) {
    return tensor_column<std::int64_t>(array, batch, n_atoms, key, kind, out);
  }
  return true;
}

bool extract_custom_columns(PyObject* properties, PyObject* atom_properties,
                            const py::numpy::AcceptedArrays& accepted, std::size_t batch,
                            std::size_t n_atoms, std::vector<BatchSectionColumn>& out) {
  if (!py::ensure_numpy()) return false;
  std::vector<BatchSectionColumn> columns;
  std::set<std::string, std::less<>> keys;
  auto add = [&](PyObject* dict, std::string_view what, auto&& column_of) {
    if (dict == nullptr) return true;
    return walk_dict(dict, [&](PyObject* key_obj, PyObject* value) {
      std::string_view key;
      if (!entry_key(key_obj, key) || !push_unique_key(keys, key, what)) return false;
      // Trying an array as a sequence of str reads its elements.
      value = accepted.read_as(value);
      if (PyArray_Check(value) && !check_in_place(as_array(value))) return false;
      std::optional<BatchSectionColumn> column;
      if (!column_of(value, key, column)) return false;
      columns.push_back(std::move(*column));
      return true;
    });
  };
  const bool ok =
      add(properties, "property",
          [&](PyObject* value, std::string_view key, std::optional<BatchSectionColumn>& column) {
            return property_column(value, batch, key, column);
          }) &&
      add(atom_properties, "atom property",
          [&](PyObject* value, std::string_view key, std::optional<BatchSectionColumn>& column) {
            return atom_property_column(value, batch, n_atoms, key, column);
          });
  if (!ok) return false;
  out = std::move(columns);
  return true;
}

}  // namespace crivane_rs::database::batch
