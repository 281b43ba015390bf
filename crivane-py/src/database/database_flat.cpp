// get_molecules_flat: the method entry and the dict built from the gather's
// columns, with the interpreter lock held. The columns become arrays without
// a copy; only "n_atoms", strings and stacked tensors are copied here.
#include "database/database_flat.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "crivane/storage/dtypes.hpp"
#include "molecule/molecule_helpers.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"

namespace crivane_rs::database::flat {

const char kGetMoleculesFlatDoc[] =
    "get_molecules_flat($self, indices)\n--\n\n"
    "Get multiple molecules as batched numpy arrays (zero-copy fast path).\n\n"
    "Returns a dict with contiguous arrays instead of per-molecule Python objects.\n"
    "This is the fastest way to load training batches.\n\n"
    "The dict always contains:\n"
    "  \"n_atoms\":        uint32 (n_molecules,)\n"
    "  \"positions\":      float32 (total_atoms, 3)\n"
    "  \"atomic_numbers\": uint8 (total_atoms,)\n\n"
    "Optional builtin fields (present if the first molecule has them):\n"
    "  \"energy\":     float64 (n_molecules,)\n"
    "  \"forces\":     float32 (total_atoms, 3)\n"
    "  \"charges\":    float64 (total_atoms,)\n"
    "  \"velocities\": float32 (total_atoms, 3)\n"
    "  \"cell\":       float64 (n_molecules, 3, 3)\n"
    "  \"stress\":     float64 (n_molecules, 3, 3)\n"
    "  \"pbc\":        bool (n_molecules, 3)\n\n"
    "Custom properties are in nested dicts:\n"
    "  \"atom_properties\": {key: array, ...}\n"
    "  \"properties\":      {key: array, ...}";

namespace {

using crivane::ByteSpan;
using soa::ColumnBytes;
using soa::FlatSectionBuffer;
using soa::GatherResult;
using soa::SectionSchema;
namespace dtypes = crivane::storage::dtypes;
namespace tag = crivane::storage::dtypes::tag;
namespace helpers = molecule::helpers;

constexpr std::string_view kNotBatchable =
    "it cannot be flat-batched/concatenated. Retrieve molecules individually with "
    "get_molecule(s) instead.";

// A one-dimensional array of `count` elements over the column's memory.
py::Ref adopt_1d(ColumnBytes bytes, int typenum, std::size_t count) {
  const std::size_t shape[] = {count};
  return py::numpy::adopt_buffer(std::move(bytes), py::numpy::Shape(shape), typenum);
}

// The column as `count` elements of `typenum`, reshaped to `shape` when
// given. The shape's first dimension is whatever the count leaves (NumPy's
// reshape refuses a count that does not fill it).
py::Ref column_array(ColumnBytes bytes, int typenum, std::size_t count,
                     std::initializer_list<std::size_t> inner) {
  py::Ref flat = adopt_1d(std::move(bytes), typenum, count);
  if (!flat || inner.size() == 0) return flat;
  std::size_t per_row = 1;
  for (std::size_t d : inner) per_row *= d;
  std::array<std::size_t, 3> shape{count / per_row, 0, 0};
  std::size_t rank = 1;
  for (std::size_t d : inner) shape[rank++] = d;
  return py::numpy::reshape(std::move(flat), py::numpy::Shape(shape.data(), rank));
}

// The column as values of T, reshaped to `inner` when given, or an empty Ref
// with ValueError set when its bytes are not whole values.
template <class T>
py::Ref typed_column(ColumnBytes bytes, std::initializer_list<std::size_t> inner) {
  auto run = helpers::cast_or_decode<T>(ByteSpan(bytes.data(), bytes.size()));
  if (!run) return py::raise_engine_error(run.error());
  const std::size_t count = bytes.size() / sizeof(T);
  return column_array(std::move(bytes), py::numpy::type_num<T>(), count, inner);
}

// The array of a numeric column by its tag (the fixed-size tags) into
// `out`, which stays empty for tags that yield none.
bool numeric_array(const SectionSchema& column, ColumnBytes bytes, py::Ref& out) {
  const std::uint8_t type_tag = column.type_tag;
  py::Ref array;
  switch (type_tag) {
    case tag::kF64:
    case tag::kF64Array:
      array = typed_column<double>(std::move(bytes), {});
      break;
    case tag::kI64:
    case tag::kI64Array:
      array = typed_column<std::int64_t>(std::move(bytes), {});
      break;
    case tag::kF32Array:
    case tag::kF32:
      array = typed_column<float>(std::move(bytes), {});
      break;
    case tag::kI32Array:
      array = typed_column<std::int32_t>(std::move(bytes), {});
      break;
    case tag::kVec3F32:
      array = typed_column<float>(std::move(bytes), {3});
      break;
    case tag::kVec3F64:
      array = typed_column<double>(std::move(bytes), {3});
      break;
    case tag::kMat3F64:
      array = typed_column<double>(std::move(bytes), {3, 3});
      break;
    case tag::kMat3F32:
      array = typed_column<float>(std::move(bytes), {3, 3});
      break;
    case tag::kBool3: {
      for (std::uint8_t& b : bytes) b = b != 0;
      const std::size_t count = bytes.size();
      array = column_array(std::move(bytes), py::numpy::bool_type, count, {3});
      break;
    }
    default:
      return true;
  }
  if (!array) return false;
  // Each molecule's (or atom's) share of the column must itself be whole
  // values: a cell of 3 bytes read as float64 would otherwise yield values
  // that straddle molecules whenever the column's total happens to divide.
  const std::size_t unit = dtypes::element_size(type_tag);
  const std::size_t width = column.per_atom ? column.elem_bytes : column.slot_bytes;
  if (width % unit != 0) {
    return py::raise_value_error(
        fmt::format("Byte length {} is not a multiple of element size {}", width, unit));
  }
  out = std::move(array);
  return true;
}

PyObject* string_list(const std::vector<std::optional<std::string>>& cells) {
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(cells.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    PyObject* item;
    if (cells[k]) {
      item =
          PyUnicode_FromStringAndSize(cells[k]->data(), static_cast<Py_ssize_t>(cells[k]->size()));
      if (item == nullptr) return nullptr;
    } else {
      item = Py_NewRef(Py_None);
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
  }
  return list.release();
}

// Stacks one tensor column: per-molecule tensors of one shape into
// (n, shape...), per-atom tensors of one suffix into (total_atoms, suffix...).
PyObject* stack_tensors(const SectionSchema& column, const FlatSectionBuffer& buffer,
                        const std::vector<std::uint32_t>& n_atoms, std::uint64_t total_atoms) {
  auto stacked = soa::stack_tensor_column(column, buffer, n_atoms, total_atoms);
  if (!stacked) return py::raise_engine_error(stacked.error());
  return tensor_array_from_bytes(column.type_tag, std::move(stacked->values), stacked->dims);
}

// The column's key where its kind puts it; a top-level column may not take
// the place of one of the dict's own entries.
constexpr std::array<std::string_view, 5> kOwnKeys = {"n_atoms", "positions", "atomic_numbers",
                                                      "atom_properties", "properties"};

PyObject* build_dict(GatherResult& gathered) {
  using py::numpy::type_num;
  py::Ref result = py::Ref::steal(PyDict_New());
  if (!result) return nullptr;
  auto set = [](const py::Ref& dict, const char* key, py::Ref value) {
    return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
  };

  if (gathered.empty) {
    if (!set(result, "n_atoms", py::numpy::empty(type_num<std::uint32_t>(), {0})) ||
        !set(result, "positions", py::numpy::empty(type_num<float>(), {0, 3})) ||
        !set(result, "atomic_numbers", py::numpy::empty(type_num<std::uint8_t>(), {0}))) {
      return nullptr;
    }
    return result.release();
  }

  const std::size_t n = gathered.n_atoms.size();
  const auto total = static_cast<std::size_t>(gathered.total_atoms);
  const int positions_type =
      gathered.positions.type_tag == tag::kVec3F64 ? type_num<double>() : type_num<float>();
  if (!set(result, "n_atoms", py::numpy::copy(gathered.n_atoms.data(), {n})) ||
      !set(result, "positions",
           column_array(std::move(gathered.positions.bytes), positions_type, 3 * total, {3})) ||
      !set(result, "atomic_numbers",
           adopt_1d(std::move(gathered.atomic_numbers), type_num<std::uint8_t>(), total))) {
    return nullptr;
  }

  py::Ref atom_properties = py::Ref::steal(PyDict_New());
  py::Ref properties = py::Ref::steal(PyDict_New());
  if (!atom_properties || !properties) return nullptr;
  for (std::size_t i = 0; i < gathered.reference.size(); ++i) {
    const SectionSchema& column = gathered.reference[i];
    FlatSectionBuffer& buffer = gathered.columns[i];
    py::Ref value;
    if (dtypes::is_tensor_tag(column.type_tag)) {
      if (buffer.storage != FlatSectionBuffer::Storage::Tensor) continue;
      value = py::Ref::steal(stack_tensors(column, buffer, gathered.n_atoms, gathered.total_atoms));
    } else if (column.slot_bytes == 0) {
      if (buffer.storage != FlatSectionBuffer::Storage::String) continue;
      value = py::Ref::steal(string_list(buffer.strings));
    } else {
      if (!numeric_array(column, std::move(buffer.numeric), value)) return nullptr;
      if (!value) continue;
    }
    if (!value) return nullptr;

    const py::Ref* target = &result;
    if (column.kind == soa::SectionKind::AtomProperty) {
      target = &atom_properties;
    } else if (column.kind == soa::SectionKind::MoleculeProperty) {
      target = &properties;
    } else if (std::find(kOwnKeys.begin(), kOwnKeys.end(), column.key) != kOwnKeys.end()) {
      return py::raise_value_error(
          fmt::format("Section '{}' of kind {} would replace the flat export's own '{}' entry; {}",
                      column.key, unsigned{column.kind}, column.key, kNotBatchable));
    }
    py::Ref key = py::Ref::steal(
        PyUnicode_FromStringAndSize(column.key.data(), static_cast<Py_ssize_t>(column.key.size())));
    if (!key || PyDict_SetItem(target->get(), key.get(), value.get()) < 0) return nullptr;
  }
  if (PyDict_GET_SIZE(atom_properties.get()) > 0 &&
      !set(result, "atom_properties", std::move(atom_properties))) {
    return nullptr;
  }
  if (PyDict_GET_SIZE(properties.get()) > 0 && !set(result, "properties", std::move(properties))) {
    return nullptr;
  }
  return result.release();
}

constexpr py::Signature kGetMoleculesFlat{"PyAtomDatabase.get_molecules_flat",
                                          {py::arg("indices")}};

}  // namespace

PyObject* tensor_array_from_bytes(std::uint8_t type_tag, ColumnBytes values,
                                  std::span<const std::size_t> dims) {
  using py::numpy::type_num;
  int typenum = type_num<float>();
  switch (type_tag) {
    case tag::kTensorF64:
      typenum = type_num<double>();
      break;
    case tag::kTensorI32:
      typenum = type_num<std::int32_t>();
      break;
    case tag::kTensorI64:
      typenum = type_num<std::int64_t>();
      break;
    default:
      break;
  }
  const std::size_t count = values.size() / dtypes::element_size(type_tag);
  py::Ref flat = adopt_1d(std::move(values), typenum, count);
  if (!flat) return nullptr;
  return py::numpy::reshape(std::move(flat), dims).release();
}

PyObject* get_molecules_flat_soa_impl(const PyAtomDatabase& database,
                                      std::span<const std::size_t> indices) {
  auto gathered = py::allow_threads([&] { return soa::gather(database.db, indices); });
  if (!gathered) return py::raise_engine_error(gathered.error());
  return build_dict(*gathered);
}

PyObject* database_get_molecules_flat(PyAtomDatabaseObject* self, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
  py::Args<kGetMoleculesFlat.size()> a;
  if (!kGetMoleculesFlat.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  std::vector<std::size_t> indices;
  if (!py::extract_arg(a[0], "indices", indices)) return nullptr;
  return get_molecules_flat_soa_impl(self->value(), indices);
}

}  // namespace crivane_rs::database::flat
