#include "database/database_batch.hpp"

#include <fmt/format.h>

#include <cstring>
#include <tuple>
#include <utility>

#include "crivane/parallel.hpp"
#include "crivane/record/writer.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/dtypes.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"

namespace crivane_rs::database::batch {
namespace {

using crivane::Error;
using crivane::unexpected;
using crivane::storage::DatabaseSchema;
using crivane::storage::OwnedRecord;
using py_dtypes::FloatKind;
using py_dtypes::PyFloatArray1;
using py_dtypes::PyFloatArray2;
using py_dtypes::PyFloatArray3;
using soa::RawPayload;
using soa::SoaBuiltinPayloads;
using soa::SoaCustomSection;
namespace dtypes = crivane::storage::dtypes;
namespace tag = crivane::storage::dtypes::tag;
using soa::BuiltinKey;
using soa::key_of;
constexpr std::uint8_t kBuiltin = soa::SectionKind::Builtin;

// Smaller batches are built on the calling thread: handing them to the pool
// costs more than it saves.
constexpr std::size_t kParallelRecordsFrom = 1024;

bool is_array_of(PyObject* obj, int ndim, int typenum) {
  return PyArray_Check(obj) && PyArray_NDIM(as_array(obj)) == ndim &&
         py_dtypes::dtype_is(as_array(obj), typenum);
}

bool c_contiguous(PyArrayObject* array) { return PyArray_IS_C_CONTIGUOUS(array); }

constexpr std::string_view kInputsChanged =
    "input arrays changed while add_arrays_batch was reading them";

// ---- Checks shared by both paths, in the order they run -----------------------
//
// The extract_* checks convert an input into the float array they checked
// (`out`, empty until then), the check_* ones check an array in place.

bool extract_positions(PyObject* obj, std::optional<PyFloatArray3>& out) {
  auto array = obj != nullptr ? PyFloatArray3::from_any(obj) : std::nullopt;
  if (!array) {
    return py::raise_value_error(
        "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)");
  }
  if (array->dim(2) != 3) {
    return py::raise_value_error("positions must have shape (batch, n_atoms, 3)");
  }
  if (!c_contiguous(array->array())) {
    return py::raise_value_error("positions must be C-contiguous");
  }
  out = std::move(array);
  return true;
}

bool check_atomic_numbers(PyArrayObject* array, std::size_t batch, std::size_t n_atoms) {
  if (dim(array, 0) != batch || dim(array, 1) != n_atoms) {
    return py::raise_value_error(
        fmt::format("atomic_numbers must have shape ({}, {})", batch, n_atoms));
  }
  if (!c_contiguous(array)) return py::raise_value_error("atomic_numbers must be C-contiguous");
  return true;
}

bool extract_energy(PyObject* obj, std::size_t batch, std::optional<PyFloatArray1>& out) {
  auto array = PyFloatArray1::from_any(obj);
  if (!array) {
    return py::raise_value_error("energy must be a float32 or float64 ndarray with shape (batch,)");
  }
  if (array->dim(0) != batch) {
    return py::raise_value_error(
        fmt::format("energy length ({}) doesn't match batch size ({})", array->dim(0), batch));
  }
  if (!c_contiguous(array->array())) return py::raise_value_error("energy must be C-contiguous");
  out = std::move(array);
  return true;
}

bool extract_vec3(PyObject* obj, std::string_view key, std::size_t batch, std::size_t n_atoms,
                  std::optional<PyFloatArray3>& out) {
  auto array = PyFloatArray3::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        fmt::format("{} must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)", key));
  }
  if (array->dim(0) != batch || array->dim(1) != n_atoms || array->dim(2) != 3) {
    return py::raise_value_error(
        fmt::format("{} must have shape ({}, {}, 3)", key, batch, n_atoms));
  }
  if (!c_contiguous(array->array())) {
    return py::raise_value_error(fmt::format("{} must be C-contiguous", key));
  }
  out = std::move(array);
  return true;
}

bool extract_charges(PyObject* obj, std::size_t batch, std::size_t n_atoms,
                     std::optional<PyFloatArray2>& out) {
  auto array = PyFloatArray2::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        "charges must be a float32 or float64 ndarray with shape (batch, n_atoms)");
  }
  if (array->dim(0) != batch || array->dim(1) != n_atoms) {
    return py::raise_value_error(fmt::format("charges must have shape ({}, {})", batch, n_atoms));
  }
  if (!c_contiguous(array->array())) return py::raise_value_error("charges must be C-contiguous");
  out = std::move(array);
  return true;
}

// Shape and layout of a float array of three dimensions (cell, stress).
bool check_mat3(PyArrayObject* array, std::size_t batch, std::string_view key) {
  if (dim(array, 0) != batch || dim(array, 1) != 3 || dim(array, 2) != 3) {
    return py::raise_value_error(fmt::format("{} must have shape ({}, 3, 3)", key, batch));
  }
  if (!c_contiguous(array)) {
    return py::raise_value_error(fmt::format("{} must be C-contiguous", key));
  }
  return true;
}

bool extract_mat3(PyObject* obj, std::size_t batch, std::string_view key,
                  std::optional<PyFloatArray3>& out) {
  auto array = PyFloatArray3::from_any(obj);
  if (!array) {
    return py::raise_value_error(
        fmt::format("{} must be a float32 or float64 ndarray with shape (batch, 3, 3)", key));
  }
  if (!check_mat3(array->array(), batch, key)) return false;
  out = std::move(array);
  return true;
}

bool check_pbc(PyArrayObject* array, std::size_t batch, bool need_contiguous) {
  if (dim(array, 0) != batch || dim(array, 1) != 3) {
    return py::raise_value_error(fmt::format("pbc must have shape ({}, 3)", batch));
  }
  if (need_contiguous && !c_contiguous(array)) {
    return py::raise_value_error("pbc must be C-contiguous");
  }
  return true;
}

bool check_names(const std::optional<std::vector<std::string>>& names, std::size_t batch) {
  if (names && names->size() != batch) {
    return py::raise_value_error(
        fmt::format("name length ({}) doesn't match batch size ({})", names->size(), batch));
  }
  return true;
}

// A record's atom count and its index entry's are u32.
bool check_atom_count(std::size_t n_atoms) {
  if (n_atoms > soa::kMaxRecordAtoms) {
    return py::raise_value_error(
        fmt::format("n_atoms ({}) exceeds the largest atom count a record holds ({})", n_atoms,
                    soa::kMaxRecordAtoms));
  }
  return true;
}

// ---- Records ----------------------------------------------------------------

// Molecule i's payload of one input: bytes [i * stride, (i + 1) * stride).
struct Slices {
  const std::uint8_t* base = nullptr;
  std::size_t stride = 0;
  std::uint8_t type_tag = 0;

  ByteSpan at(std::size_t i) const { return ByteSpan(base + i * stride, stride); }
};

// The arrays the fast path reads in place, each with the slices that will
// read it. They are checked before the custom columns, which run Python code
// (a value's sequence protocol) that can shrink or replace an array
// (ndarray.__setstate__, resize without refcheck) or free the memory under a
// view (the same done to its base, ctypes.resize). So the slices get their
// data pointers only once that code has run, from arrays still as checked,
// and no Python code runs from there to the last record.
class InPlaceArrays {
 public:
  void add(PyArrayObject* array, Slices& slices) {
    seen_.push_back({array, PyArray_DATA(array), PyArray_NBYTES(array), &slices});
  }
  bool take() const {
    for (const Seen& s : seen_) {
      if (PyArray_DATA(s.array) != s.data || PyArray_NBYTES(s.array) != s.nbytes ||
          !c_contiguous(s.array) ||
          py::numpy::data_state(s.array) != py::numpy::DataState::InPlace) {
        return py::raise_value_error(kInputsChanged);
      }
    }
    for (const Seen& s : seen_) s.slices->base = static_cast<const std::uint8_t*>(s.data);
    return true;
  }

 private:
  struct Seen {
    PyArrayObject* array;
    const void* data;  // as checked
    npy_intp nbytes;
    Slices* slices;
  };
  std::vector<Seen> seen_;
};

Slices slices_of(const BatchSectionColumn& column) {
  return {column.data.data(), static_cast<std::size_t>(column.stride), column.type_tag};
}

// Where each molecule's bytes come from: the input arrays (fast path) or the
// columns (general path). Read by several worker threads at once.
struct RecordSources {
  std::size_t n_atoms = 0;
  std::uint8_t positions_tag = 0;
  Slices positions;
  Slices atomic_numbers;
  std::optional<Slices> energy, forces, charges, velocities, cell, stress, pbc;
  const std::vector<std::string>* names = nullptr;
  std::span<const BatchSectionColumn> custom;
};

crivane::Result<OwnedRecord> build_record(const RecordSources& s, std::size_t i) {
  auto payload = [i](const std::optional<Slices>& src) -> std::optional<RawPayload> {
    if (!src) return std::nullopt;
    return RawPayload{src->at(i), src->type_tag};
  };
  SoaBuiltinPayloads builtins;
  builtins.energy = payload(s.energy);
  builtins.forces = payload(s.forces);
  builtins.charges = payload(s.charges);
  builtins.velocities = payload(s.velocities);
  builtins.cell = payload(s.cell);
  builtins.stress = payload(s.stress);
  if (s.pbc) {
    // A NumPy bool may hold any byte; the record holds 1 or 0.
    const ByteSpan flags = s.pbc->at(i);
    builtins.pbc = {{flags[0] != 0, flags[1] != 0, flags[2] != 0}};
  }
  if (s.names != nullptr) {
    const std::string& name = (*s.names)[i];
    builtins.name = ByteSpan(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  }
  std::vector<SoaCustomSection> custom;
  custom.reserve(s.custom.size());
  for (const BatchSectionColumn& c : s.custom) {
    custom.push_back({c.key, c.payload(i), c.kind, c.type_tag});
  }
  auto record = soa::build_soa_record_unchecked(s.positions_tag, s.positions.at(i),
                                                s.atomic_numbers.at(i), builtins, custom);
  if (!record) return unexpected(std::move(record).error());
  return OwnedRecord{std::move(record).value(), s.n_atoms};
}

// Every record in batch order, on the calling thread for small batches, else
// on the worker pool. Allocation failure is Error::out_of_memory() either way.
crivane::Result<std::vector<OwnedRecord>> build_records(const RecordSources& sources,
                                                        std::size_t batch) {
  auto step = [&](std::size_t i) { return build_record(sources, i); };
  if (batch >= kParallelRecordsFrom)
    return crivane::parallel::parallel_map<OwnedRecord>(batch, step);
  return crivane::catch_allocation_failure([&]() -> crivane::Result<std::vector<OwnedRecord>> {
    std::vector<OwnedRecord> records;
    records.reserve(batch);
    for (std::size_t i = 0; i < batch; ++i) {
      CRIVANE_ASSIGN_OR_RETURN(OwnedRecord record, step(i));
      records.push_back(std::move(record));
    }
    return records;
  });
}

// Builds every record with the interpreter lock held, then appends them in
// one call with it released.
bool build_and_append(PyAtomDatabase& database, const RecordSources& sources, std::size_t batch,
                      const DatabaseSchema& schema) {
  auto records = build_records(sources, batch);
  if (!records) {
    // A record the writer refuses is reported by its bare text.
    const Error& error = records.error();
    return error.is_out_of_memory() ? py::raise_engine_error(error)
                                    : py::raise_value_error(error.message());
  }
  auto appended = py::allow_threads([&] {
    return database.db.add_owned_soa_records_with_schema(std::move(records).value(), schema);
  });
  if (!appended) return py::raise_engine_error(appended.error());
  return true;
}

void add_column_section(DatabaseSchema& schema, const std::optional<BatchSectionColumn>& column) {
  if (column) schema.sections.push_back(schema_section_from_column(*column));
}

std::optional<Slices> column_slices(const std::optional<BatchSectionColumn>& column) {
  if (!column) return std::nullopt;
  return slices_of(*column);
}

// ---- Argument conversion ---------------------------------------------------------

constexpr py::Signature kAddArraysBatch{
    "PyAtomDatabase.add_arrays_batch",
    {py::arg("positions"), py::arg("atomic_numbers"), py::kwarg("energy"), py::kwarg("forces"),
     py::kwarg("charges"), py::kwarg("velocities"), py::kwarg("cell"), py::kwarg("stress"),
     py::kwarg("pbc"), py::kwarg("name"), py::kwarg("properties"), py::kwarg("atom_properties")}};

PyObject* given(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// A NumPy array of the dtype and number of dimensions, else the conversion's
// TypeError naming the parameter.
PyArrayObject* array_arg(PyObject* obj, const char* name, int typenum) {
  if (is_array_of(obj, 2, typenum)) return as_array(obj);
  py::set_downcast_error(obj, "PyArray<T, D>");
  py::remap_arg_error(name);
  return nullptr;
}

PyObject* dict_arg(PyObject* obj, const char* name) {
  if (obj == nullptr || py::expect_dict(obj)) return obj;
  py::remap_arg_error(name);
  return nullptr;
}

// Every array the call may read, into in.accepted: the array arguments and
// the values of the two dicts (walked without running Python code).
bool accept_arrays(const py::Args<kAddArraysBatch.size()>& a, BatchInputs& in) {
  auto accept = [&in](PyObject*& obj) { return obj == nullptr || in.accepted.accept(obj); };
  for (PyObject** arg :
       {&in.positions, &in.energy, &in.forces, &in.charges, &in.velocities, &in.cell, &in.stress}) {
    if (!accept(*arg)) return false;
  }
  for (PyArrayObject** array : {&in.atomic_numbers, &in.pbc}) {
    PyObject* obj = reinterpret_cast<PyObject*>(*array);
    if (!accept(obj)) return false;
    *array = as_array(obj);
  }
  for (PyObject* dict : {given(a[10]), given(a[11])}) {
    if (dict == nullptr || !PyDict_Check(dict)) continue;
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &at, &key, &value)) {
      if (!in.accepted.accept(value)) return false;
    }
  }
  return true;
}

bool convert_arguments(const py::Args<kAddArraysBatch.size()>& a, BatchInputs& in) {
  if (!py::ensure_numpy()) return false;
  in.positions = a[0];
  in.atomic_numbers = array_arg(a[1], "atomic_numbers", NPY_UINT8);
  if (in.atomic_numbers == nullptr) return false;
  if (PyObject* pbc = given(a[8])) {
    in.pbc = array_arg(pbc, "pbc", NPY_BOOL);
    if (in.pbc == nullptr) return false;
  }
  in.energy = given(a[2]);
  in.forces = given(a[3]);
  in.charges = given(a[4]);
  in.velocities = given(a[5]);
  in.cell = given(a[6]);
  in.stress = given(a[7]);
  // The names are the first Python code of the caller that runs (a
  // sequence's protocol); the custom columns run more.
  if (!accept_arrays(a, in)) return false;
  if (!py::extract_arg(given(a[9]), "name", in.name)) return false;
  in.properties = dict_arg(given(a[10]), "properties");
  if (given(a[10]) != nullptr && in.properties == nullptr) return false;
  in.atom_properties = dict_arg(given(a[11]), "atom_properties");
  if (given(a[11]) != nullptr && in.atom_properties == nullptr) return false;
  return true;
}

}  // namespace

// ---- Columns and views ----------------------------------------------------------

bool check_in_place(PyArrayObject* array) {
  if (py::numpy::data_state(array) == py::numpy::DataState::InPlace) return true;
  return py::raise_value_error(kInputsChanged);
}

bool copy_contiguous(PyArrayObject* array, Bytes& out) {
  if (!check_in_place(array)) return false;
  const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(array));
  out.assign(data, data + PyArray_NBYTES(array));
  return true;
}

ByteSpan BatchSectionColumn::payload(std::size_t i) const {
  if (molecule_payloads) {
    const std::string& p = (*molecule_payloads)[i];
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(p.data()), p.size());
  }
  return slices_of(*this).at(i);
}

bool FastMat3Slice::from_f32(PyArrayObject* array, std::size_t batch, std::string_view key,
                             std::optional<FastMat3Slice>& out) {
  if (!check_mat3(array, batch, key)) return false;
  out = FastMat3Slice{F32(static_cast<const float*>(PyArray_DATA(array)), batch * 9)};
  return true;
}

bool FastMat3Slice::from_f64(PyArrayObject* array, std::size_t batch, std::string_view key,
                             std::optional<FastMat3Slice>& out) {
  if (!check_mat3(array, batch, key)) return false;
  out = FastMat3Slice{F64(static_cast<const double*>(PyArray_DATA(array)), batch * 9)};
  return true;
}

std::uint8_t FastMat3Slice::type_tag() const {
  return values.index() == 0 ? tag::kMat3F32 : tag::kMat3F64;
}

std::size_t FastMat3Slice::matrix_bytes() const {
  return crivane::storage::dtypes::element_size(type_tag());
}

const std::uint8_t* FastMat3Slice::bytes() const {
  return std::visit([](const auto& v) { return reinterpret_cast<const std::uint8_t*>(v.data()); },
                    values);
}

bool extract_optional_builtin_vec3_column(PyObject* array, std::size_t batch, std::size_t n_atoms,
                                          std::string_view key,
                                          std::optional<BatchSectionColumn>& out) {
  if (array == nullptr) return true;
  std::optional<PyFloatArray3> checked;
  if (!extract_vec3(array, key, batch, n_atoms, checked)) return false;
  const std::uint8_t t = checked->kind() == FloatKind::F32 ? tag::kVec3F32 : tag::kVec3F64;
  Bytes data;
  if (!copy_contiguous(checked->array(), data)) return false;
  out = BatchSectionColumn{std::string(key), std::move(data),
                           std::nullopt,     n_atoms * dtypes::element_size(t),
                           kBuiltin,         t};
  return true;
}

bool extract_optional_builtin_float_array_column(PyObject* array, std::size_t batch,
                                                 std::size_t n_atoms,
                                                 std::optional<BatchSectionColumn>& out) {
  if (array == nullptr) return true;
  std::optional<PyFloatArray2> checked;
  if (!extract_charges(array, batch, n_atoms, checked)) return false;
  const std::uint8_t t = checked->kind() == FloatKind::F32 ? tag::kF32Array : tag::kF64Array;
  Bytes data;
  if (!copy_contiguous(checked->array(), data)) return false;
  out = BatchSectionColumn{std::string(key_of(BuiltinKey::Charges)), std::move(data), std::nullopt,
                           n_atoms * dtypes::element_size(t),        kBuiltin,        t};
  return true;
}

bool extract_optional_builtin_mat3_column(PyObject* array, std::size_t batch, std::string_view key,
                                          std::optional<BatchSectionColumn>& out) {
  if (array == nullptr) return true;
  std::optional<PyFloatArray3> checked;
  if (!extract_mat3(array, batch, key, checked)) return false;
  const std::uint8_t t = checked->kind() == FloatKind::F32 ? tag::kMat3F32 : tag::kMat3F64;
  Bytes data;
  if (!copy_contiguous(checked->array(), data)) return false;
  out = BatchSectionColumn{std::string(key),        std::move(data), std::nullopt,
                           dtypes::element_size(t), kBuiltin,        t};
  return true;
}

bool extract_builtin_pbc_column(PyArrayObject* array, std::size_t batch,
                                std::optional<BatchSectionColumn>& out) {
  if (!check_pbc(array, batch, false) || !check_in_place(array)) return false;
  Bytes flags(batch * 3);
  const char* base = PyArray_BYTES(array);
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  for (std::size_t i = 0; i < batch; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      const char* flag =
          base + static_cast<npy_intp>(i) * row_stride + static_cast<npy_intp>(j) * col_stride;
      flags[i * 3 + j] = *flag != 0 ? 1 : 0;
    }
  }
  out = BatchSectionColumn{std::string(key_of(BuiltinKey::Pbc)), std::move(flags), std::nullopt,
                           dtypes::element_size(tag::kBool3),    kBuiltin,         tag::kBool3};
  return true;
}

bool extract_builtin_name_column(std::optional<std::vector<std::string>> names, std::size_t batch,
                                 std::optional<BatchSectionColumn>& out) {
  if (!names) return true;
  if (!check_names(names, batch)) return false;
  out = BatchSectionColumn{
      std::string(key_of(BuiltinKey::Name)), Bytes(), std::move(names), 0, kBuiltin, tag::kString};
  return true;
}

// ---- Schema sections ----------------------------------------------------------

crivane::storage::DatabaseSchemaSection schema_section(std::uint8_t kind, std::string_view key,
                                                       std::uint8_t type_tag, std::size_t stride) {
  const std::size_t elem = dtypes::is_known_type_tag(type_tag) ? dtypes::element_size(type_tag) : 0;
  const bool per_atom = soa::is_per_atom_section(kind, key);
  // Text, null and tensor payloads vary in length: no slot.
  std::size_t slot = 0;
  if (dtypes::is_fixed_size_tag(type_tag)) slot = per_atom ? elem : stride;
  return {std::string(key), elem, slot, per_atom, kind, type_tag};
}

crivane::storage::DatabaseSchemaSection schema_section_from_column(
    const BatchSectionColumn& column) {
  return schema_section(column.kind, column.key, column.type_tag,
                        static_cast<std::size_t>(column.stride));
}

// ---- The two paths --------------------------------------------------------------

FastPath try_add_arrays_batch_fast_canonical(PyAtomDatabase& database, const BatchInputs& in) {
  auto canonical = [](PyObject* obj, int ndim, int typenum) {
    return obj == nullptr || is_array_of(obj, ndim, typenum);
  };
  if (in.positions == nullptr || !is_array_of(in.positions, 3, NPY_FLOAT32) ||
      !canonical(in.energy, 1, NPY_FLOAT64) || !canonical(in.forces, 3, NPY_FLOAT32) ||
      !canonical(in.charges, 2, NPY_FLOAT64) || !canonical(in.velocities, 3, NPY_FLOAT32)) {
    return FastPath::Declined;
  }
  std::optional<PyFloatArray3> positions;
  if (!extract_positions(in.positions, positions)) return FastPath::Failed;
  const std::size_t batch = positions->dim(0);
  const std::size_t n_atoms = positions->dim(1);
  if (!check_atomic_numbers(in.atomic_numbers, batch, n_atoms)) return FastPath::Failed;

  InPlaceArrays arrays;
  RecordSources sources;
  sources.n_atoms = n_atoms;
  sources.positions_tag = tag::kVec3F32;
  // Molecule i's payload of an array holding `count` elements of the tag per
  // molecule, read once the custom columns are done.
  auto in_place = [&](PyArrayObject* array, std::size_t count, std::uint8_t type_tag, Slices& out) {
    out = Slices{nullptr, count * dtypes::element_size(type_tag), type_tag};
    arrays.add(array, out);
  };
  auto optional_in_place = [&](PyArrayObject* array, std::size_t count, std::uint8_t type_tag,
                               std::optional<Slices>& out) {
    in_place(array, count, type_tag, out.emplace());
  };
  in_place(positions->array(), n_atoms, tag::kVec3F32, sources.positions);
  sources.atomic_numbers = Slices{nullptr, n_atoms, 0};
  arrays.add(in.atomic_numbers, sources.atomic_numbers);
  if (in.energy != nullptr) {
    std::optional<PyFloatArray1> energy;
    if (!extract_energy(in.energy, batch, energy)) return FastPath::Failed;
    optional_in_place(energy->array(), 1, tag::kF64, sources.energy);
  }
  if (in.forces != nullptr) {
    std::optional<PyFloatArray3> forces;
    if (!extract_vec3(in.forces, key_of(BuiltinKey::Forces), batch, n_atoms, forces)) {
      return FastPath::Failed;
    }
    optional_in_place(forces->array(), n_atoms, tag::kVec3F32, sources.forces);
  }
  if (in.charges != nullptr) {
    std::optional<PyFloatArray2> charges;
    if (!extract_charges(in.charges, batch, n_atoms, charges)) return FastPath::Failed;
    optional_in_place(charges->array(), n_atoms, tag::kF64Array, sources.charges);
  }
  if (in.velocities != nullptr) {
    std::optional<PyFloatArray3> velocities;
    if (!extract_vec3(in.velocities, key_of(BuiltinKey::Velocities), batch, n_atoms, velocities)) {
      return FastPath::Failed;
    }
    optional_in_place(velocities->array(), n_atoms, tag::kVec3F32, sources.velocities);
  }

  // Cell and stress may be of either precision; anything else is the general
  // path's to report.
  std::optional<FastMat3Slice> cell, stress;
  for (auto [obj, key, out] : {std::tuple(in.cell, key_of(BuiltinKey::Cell), &cell),
                               std::tuple(in.stress, key_of(BuiltinKey::Stress), &stress)}) {
    if (obj == nullptr) continue;
    auto array = PyFloatArray3::from_any(obj);
    if (!array) return FastPath::Declined;
    const bool made = array->kind() == FloatKind::F32
                          ? FastMat3Slice::from_f32(array->array(), batch, key, *out)
                          : FastMat3Slice::from_f64(array->array(), batch, key, *out);
    if (!made) return FastPath::Failed;
  }
  if (cell) optional_in_place(as_array(in.cell), 1, cell->type_tag(), sources.cell);
  if (stress) optional_in_place(as_array(in.stress), 1, stress->type_tag(), sources.stress);

  if (in.pbc != nullptr) {
    if (!check_pbc(in.pbc, batch, true)) return FastPath::Failed;
    optional_in_place(in.pbc, 1, tag::kBool3, sources.pbc);
  }
  if (!check_names(in.name, batch)) return FastPath::Failed;
  if (in.name) sources.names = &*in.name;

  std::vector<BatchSectionColumn> custom;
  if (!extract_custom_columns(in.properties, in.atom_properties, in.accepted, batch, n_atoms,
                              custom)) {
    return FastPath::Failed;
  }
  if (!check_atom_count(n_atoms)) return FastPath::Failed;
  // The last Python code of the call has run.
  if (!arrays.take()) return FastPath::Failed;
  sources.custom = custom;

  DatabaseSchema schema;
  schema.positions_type = tag::kVec3F32;
  auto builtin = [&](const std::optional<Slices>& s, BuiltinKey key) {
    if (s) schema.sections.push_back(schema_section(kBuiltin, key_of(key), s->type_tag, s->stride));
  };
  builtin(sources.energy, BuiltinKey::Energy);
  builtin(sources.forces, BuiltinKey::Forces);
  builtin(sources.charges, BuiltinKey::Charges);
  builtin(sources.velocities, BuiltinKey::Velocities);
  builtin(sources.cell, BuiltinKey::Cell);
  builtin(sources.stress, BuiltinKey::Stress);
  builtin(sources.pbc, BuiltinKey::Pbc);
  if (sources.names != nullptr)
    schema.sections.push_back(schema_section(kBuiltin, key_of(BuiltinKey::Name), tag::kString, 0));
  for (const BatchSectionColumn& c : custom)
    schema.sections.push_back(schema_section_from_column(c));

  return build_and_append(database, sources, batch, schema) ? FastPath::Done : FastPath::Failed;
}

bool add_arrays_batch_general(PyAtomDatabase& database, BatchInputs& in) {
  std::optional<PyFloatArray3> positions;
  if (!extract_positions(in.positions, positions)) return false;
  const std::size_t batch = positions->dim(0);
  const std::size_t n_atoms = positions->dim(1);
  const bool f32_positions = positions->kind() == FloatKind::F32;
  const std::uint8_t positions_tag = f32_positions ? tag::kVec3F32 : tag::kVec3F64;
  Bytes positions_bytes;
  if (!copy_contiguous(positions->array(), positions_bytes)) return false;

  if (!check_atomic_numbers(in.atomic_numbers, batch, n_atoms)) return false;
  Bytes numbers;
  if (!copy_contiguous(in.atomic_numbers, numbers)) return false;

  std::optional<BatchSectionColumn> energy, forces, charges, velocities, cell, stress, pbc, name;
  if (in.energy != nullptr) {
    std::optional<PyFloatArray1> checked;
    if (!extract_energy(in.energy, batch, checked)) return false;
    const std::uint8_t t = checked->kind() == FloatKind::F32 ? tag::kF32 : tag::kF64;
    Bytes data;
    if (!copy_contiguous(checked->array(), data)) return false;
    energy = BatchSectionColumn{std::string(key_of(BuiltinKey::Energy)),
                                std::move(data),
                                std::nullopt,
                                dtypes::element_size(t),
                                kBuiltin,
                                t};
  }
  if (!extract_optional_builtin_vec3_column(in.forces, batch, n_atoms, key_of(BuiltinKey::Forces),
                                            forces) ||
      !extract_optional_builtin_float_array_column(in.charges, batch, n_atoms, charges) ||
      !extract_optional_builtin_vec3_column(in.velocities, batch, n_atoms,
                                            key_of(BuiltinKey::Velocities), velocities) ||
      !extract_optional_builtin_mat3_column(in.cell, batch, key_of(BuiltinKey::Cell), cell) ||
      !extract_optional_builtin_mat3_column(in.stress, batch, key_of(BuiltinKey::Stress), stress)) {
    return false;
  }
  if (in.pbc != nullptr && !extract_builtin_pbc_column(in.pbc, batch, pbc)) return false;
  if (!extract_builtin_name_column(std::move(in.name), batch, name)) return false;

  std::vector<BatchSectionColumn> custom;
  if (!extract_custom_columns(in.properties, in.atom_properties, in.accepted, batch, n_atoms,
                              custom)) {
    return false;
  }
  std::size_t positions_stride = 0;
  if (__builtin_mul_overflow(n_atoms, soa::positions_row_bytes(positions_tag), &positions_stride)) {
    return py::raise_value_error("positions byte length overflow");
  }
  if (!check_atom_count(n_atoms)) return false;

  DatabaseSchema schema;
  schema.positions_type = positions_tag;
  for (const auto* column :
       {&energy, &forces, &charges, &velocities, &cell, &stress, &pbc, &name}) {
    add_column_section(schema, *column);
  }
  for (const BatchSectionColumn& c : custom)
    schema.sections.push_back(schema_section_from_column(c));

  RecordSources sources;
  sources.n_atoms = n_atoms;
  sources.positions_tag = positions_tag;
  sources.positions = {positions_bytes.data(), positions_stride, positions_tag};
  sources.atomic_numbers = {numbers.data(), n_atoms, 0};
  sources.energy = column_slices(energy);
  sources.forces = column_slices(forces);
  sources.charges = column_slices(charges);
  sources.velocities = column_slices(velocities);
  sources.cell = column_slices(cell);
  sources.stress = column_slices(stress);
  sources.pbc = column_slices(pbc);
  if (name) sources.names = &*name->molecule_payloads;
  sources.custom = custom;
  return build_and_append(database, sources, batch, schema);
}

bool add_arrays_batch_impl(PyAtomDatabase& database, BatchInputs& inputs) {
  switch (try_add_arrays_batch_fast_canonical(database, inputs)) {
    case FastPath::Done:
      return true;
    case FastPath::Failed:
      return false;
    case FastPath::Declined:
      break;
  }
  return add_arrays_batch_general(database, inputs);
}

const char kAddArraysBatchDoc[] =
    "add_arrays_batch($self, positions, atomic_numbers, *, energy=None, forces=None, "
    "charges=None, velocities=None, cell=None, stress=None, pbc=None, name=None, "
    "properties=None, atom_properties=None)\n--\n\n"
    "Add a batch of molecules from stacked numpy arrays.\n\n"
    "This avoids creating one Python Molecule object per record.";

PyObject* add_arrays_batch(PyAtomDatabaseObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  py::Args<kAddArraysBatch.size()> a;
  if (!kAddArraysBatch.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  BatchInputs inputs;
  if (!convert_arguments(a, inputs)) return nullptr;
  if (!add_arrays_batch_impl(self->value(), inputs)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace crivane_rs::database::batch
