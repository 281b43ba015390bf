// add_arrays_batch inside an embedded interpreter: what Python code cannot
// tell apart on its own (which path took a batch, whether the two paths
// write the same bytes) and the custom columns against the single-molecule
// conversion and the engine's payload encoder.
#include "py/python.hpp"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "crivane/compression.hpp"
#include "crivane/record/schema.hpp"
#include "crivane/storage/database.hpp"
#include "crivane/storage/dtypes.hpp"
#include "database/database.hpp"
#include "database/database_batch.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"

namespace crivane_rs::database::batch {
namespace {

using crivane::compression::CompressionType;
using crivane::storage::AtomDatabase;
using crivane::types::PropertyValue;
using py::Ref;
namespace dtypes = crivane::storage::dtypes;

constexpr const char* kPrelude = R"(
import numpy as np

def batch(B, N, seed=0):
    rng = np.random.default_rng(seed)
    flags = rng.integers(0, 3, size=(B, 3)).astype(np.uint8) * 127  # bytes 0, 127 and 254
    return dict(
        positions=rng.normal(size=(B, N, 3)).astype(np.float32),
        atomic_numbers=rng.integers(1, 100, size=(B, N)).astype(np.uint8),
        energy=rng.normal(size=B),
        forces=rng.normal(size=(B, N, 3)).astype(np.float32),
        charges=rng.normal(size=(B, N)),
        velocities=rng.normal(size=(B, N, 3)).astype(np.float32),
        cell=rng.normal(size=(B, 3, 3)),
        stress=rng.normal(size=(B, 3, 3)).astype(np.float32),
        pbc=flags.view(np.bool_),
        name=[f"m{i}" * (i % 3) for i in range(B)],
        properties={"b": rng.normal(size=B).astype(np.float32), "a": [str(i) for i in range(B)],
                    "t": rng.integers(0, 9, size=(B, 2, 3)).astype(np.int32)},
        atom_properties={"q": rng.normal(size=(B, N)).astype(np.float32),
                         "v": rng.normal(size=(B, N, 3))},
    )
)";

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(py::ensure_numpy()) << py::take_error_text();
    globals_ = Ref::steal(PyDict_New());
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    ASSERT_EQ(run(kPrelude), "");
    std::string pattern =
        (std::filesystem::temp_directory_path() / "py_batch_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    EXPECT_FALSE(PyErr_Occurred()) << py::take_error_text();
    std::filesystem::remove_all(dir_);
  }

  std::string run(const std::string& code) {
    Ref result =
        Ref::steal(PyRun_String(code.c_str(), Py_file_input, globals_.get(), globals_.get()));
    return result ? std::string() : py::take_error_text();
  }
  PyObject* get(const char* name) { return PyDict_GetItemString(globals_.get(), name); }

  PyAtomDatabase new_database(const std::string& name) {
    auto db = AtomDatabase::create_with_format(dir_ / name, CompressionType::None());
    EXPECT_TRUE(db);
    return PyAtomDatabase(std::move(db).value());
  }

  // The inputs bound to `name` in the interpreter (a dict from batch()).
  BatchInputs inputs(const char* name) {
    PyObject* d = get(name);
    EXPECT_NE(d, nullptr);
    auto item = [&](const char* key) {
      PyObject* v = PyDict_GetItemString(d, key);
      return v == Py_None ? nullptr : v;
    };
    BatchInputs in;
    in.positions = item("positions");
    in.atomic_numbers = reinterpret_cast<PyArrayObject*>(item("atomic_numbers"));
    in.energy = item("energy");
    in.forces = item("forces");
    in.charges = item("charges");
    in.velocities = item("velocities");
    in.cell = item("cell");
    in.stress = item("stress");
    in.pbc = reinterpret_cast<PyArrayObject*>(item("pbc"));
    if (PyObject* names = item("name")) {
      std::vector<std::string> list;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        list.emplace_back(PyUnicode_AsUTF8(PyList_GET_ITEM(names, i)));
      }
      in.name = std::move(list);
    }
    in.properties = item("properties");
    in.atom_properties = item("atom_properties");
    return in;
  }

  static std::vector<crivane::Bytes> records(const PyAtomDatabase& database) {
    std::vector<std::size_t> all(database.db.len());
    std::iota(all.begin(), all.end(), std::size_t{0});
    auto raw = database.db.get_raw_bytes(all);
    EXPECT_TRUE(raw);
    return raw ? std::move(raw).value() : std::vector<crivane::Bytes>{};
  }

  Ref globals_;
  std::filesystem::path dir_;
};

TEST_F(Batch, FastAndGeneralPathsWriteTheSameRecords) {
  // 1500 molecules are built on the worker pool, 5 on the calling thread.
  for (int count : {5, 1500}) {
    ASSERT_EQ(run("inputs = batch(" + std::to_string(count) + ", 4)"), "");
    PyAtomDatabase fast = new_database("fast" + std::to_string(count));
    PyAtomDatabase general = new_database("general" + std::to_string(count));
    BatchInputs in = inputs("inputs");
    ASSERT_EQ(try_add_arrays_batch_fast_canonical(fast, in), FastPath::Done)
        << py::take_error_text();
    ASSERT_TRUE(add_arrays_batch_general(general, in)) << py::take_error_text();

    EXPECT_EQ(fast.db.len(), static_cast<std::size_t>(count));
    EXPECT_EQ(records(fast), records(general));
    EXPECT_EQ(fast.db.schema_info(), general.db.schema_info());
    EXPECT_EQ(fast.db.record_format(), general.db.record_format());
  }
}

TEST_F(Batch, FastPathDeclinesOnlyBeforeItRaises) {
  struct Case {
    const char* change;  // applied to a canonical batch of 2 molecules, 3 atoms
    FastPath expected;
    const char* error;  // "" when none
  };
  const Case cases[] = {
      {"", FastPath::Done, ""},
      {"d['energy'] = d['energy'].astype(np.float32)", FastPath::Declined, ""},
      {"d['charges'] = d['charges'].astype(np.float32)", FastPath::Declined, ""},
      {"d['positions'] = d['positions'].astype(np.float64)", FastPath::Declined, ""},
      {"d['forces'] = d['forces'].tolist()", FastPath::Declined, ""},
      {"d['cell'] = d['cell'].tolist()", FastPath::Declined, ""},
      {"d['stress'] = d['stress'].astype(np.int64)", FastPath::Declined, ""},
      // Steps before cell raise even when cell would make the path decline.
      {"d['forces'] = d['forces'][:1]; d['cell'] = d['cell'].tolist()", FastPath::Failed,
       "ValueError: forces must have shape (2, 3, 3)"},
      {"d['cell'] = d['cell'][:1]; d['stress'] = None", FastPath::Failed,
       "ValueError: cell must have shape (2, 3, 3)"},
      {"d['pbc'] = np.ones((2, 4), bool)[:, :3]", FastPath::Failed,
       "ValueError: pbc must be C-contiguous"},
      {"d['name'] = ['x']", FastPath::Failed,
       "ValueError: name length (1) doesn't match batch size (2)"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(run(std::string("d = batch(2, 3)\n") + c.change), "") << c.change;
    PyAtomDatabase database = new_database("db" + std::to_string(n++));
    const FastPath got = try_add_arrays_batch_fast_canonical(database, inputs("d"));
    EXPECT_EQ(got, c.expected) << c.change;
    EXPECT_EQ(py::take_error_text(), c.error) << c.change;
    EXPECT_EQ(database.db.len(), c.expected == FastPath::Done ? 2u : 0u) << c.change;
  }
}

TEST_F(Batch, CustomColumnsMatchTheSingleMoleculeConversion) {
  struct Case {
    bool per_atom;
    const char* stacked;  // three molecules of two atoms
  };
  const Case cases[] = {
      {false, "['a', 'bc', '']"},
      {false, "('\\u00e9', 'x', 'yy')"},
      {false, "np.array(['x', 'yy', 'zzz'])"},
      {false, "np.array([1.5, -2, 3], np.float32)"},
      {false, "np.arange(6.0)[::-2]"},
      {false, "np.array([-1, 2, 3], np.int32)"},
      {false, "np.array([2**40, -5, 0], np.int64)"},
      {false, "np.arange(6, dtype=np.float32).reshape(3, 2)"},
      {false, "np.arange(6.0).reshape(3, 2)"},
      {false, "np.arange(6, dtype=np.int64).reshape(3, 2)"},
      {false, "np.arange(6, dtype=np.int32).reshape(3, 2)"},
      {false, "np.arange(18, dtype=np.float32).reshape(3, 2, 3)"},
      {false, "np.arange(18.0).reshape(3, 2, 3)"},
      {false, "np.arange(12, dtype=np.float32).reshape(3, 2, 2)"},
      {false, "np.arange(18, dtype=np.int32).reshape(3, 2, 3)"},
      {false, "np.arange(48.0).reshape(3, 2, 2, 4)"},
      {false, "np.arange(24, dtype=np.int64).reshape(3, 2, 4)"},
      {false, "np.zeros((3, 3, 0), np.float32)"},
      {true, "np.arange(6, dtype=np.float32).reshape(3, 2)"},
      {true, "np.arange(6.0).reshape(3, 2)"},
      {true, "np.arange(6, dtype=np.int64).reshape(3, 2)"},
      {true, "np.arange(6, dtype=np.int32).reshape(3, 2)"},
      {true, "np.arange(18, dtype=np.float32).reshape(3, 2, 3)"},
      {true, "np.arange(18.0).reshape(3, 2, 3)"},
      {true, "np.arange(24.0).reshape(3, 2, 2, 2)"},
      {true, "np.arange(24, dtype=np.float32).reshape(3, 2, 4)"},
      {true, "np.arange(12, dtype=np.int32).reshape(3, 2, 2)"},
      {true, "np.arange(18, dtype=np.int64).reshape(3, 2, 3)"},
  };
  constexpr std::size_t kBatch = 3, kAtoms = 2;
  for (const Case& c : cases) {
    ASSERT_EQ(run(std::string("value = ") + c.stacked + "\nd = {'k': value}"), "") << c.stacked;
    std::vector<BatchSectionColumn> columns;
    ASSERT_TRUE(extract_custom_columns(c.per_atom ? nullptr : get("d"),
                                       c.per_atom ? get("d") : nullptr, py::numpy::AcceptedArrays(),
                                       kBatch, kAtoms, columns))
        << c.stacked << ": " << py::take_error_text();
    ASSERT_EQ(columns.size(), 1u);
    const BatchSectionColumn& column = columns[0];
    const std::uint8_t kind = c.per_atom ? 1 : 2;
    EXPECT_EQ(column.kind, kind);
    const auto section = schema_section_from_column(column);
    for (std::size_t i = 0; i < kBatch; ++i) {
      Ref index = Ref::steal(PyLong_FromSize_t(i));
      Ref slice = Ref::steal(PyObject_GetItem(get("value"), index.get()));
      ASSERT_TRUE(slice);
      PropertyValue value;
      ASSERT_TRUE(py_dtypes::parse_property_value(slice.get(), value)) << py::take_error_text();
      EXPECT_EQ(column.type_tag, dtypes::property_type_tag(value)) << c.stacked;
      const crivane::Bytes expected = dtypes::property_value_to_bytes(value).value();
      const ByteSpan got = column.payload(i);
      EXPECT_EQ(crivane::Bytes(got.begin(), got.end()), expected) << c.stacked << " [" << i << "]";
      // The entry the engine derives for the written section merges with it.
      auto entry = crivane::storage::schema::schema_entry(kind, "k", column.type_tag, got.size(),
                                                          got, kAtoms);
      ASSERT_TRUE(entry) << c.stacked << ": " << entry.error().to_string();
      EXPECT_EQ((crivane::storage::schema::SchemaEntry{section.type_tag, section.per_atom,
                                                       section.elem_bytes, section.slot_bytes}),
                *entry)
          << c.stacked;
    }
  }
}

TEST_F(Batch, StackedTensorOfNoMolecules) {
  ASSERT_EQ(run("value = np.zeros((0, 2, 2), np.float32)"), "");
  std::optional<BatchSectionColumn> column;
  ASSERT_TRUE(extract_stacked_tensor_column(get("value"), 0, std::nullopt, "t", 2, column));
  ASSERT_TRUE(column);
  EXPECT_TRUE(column->data.empty());
  EXPECT_EQ(column->stride, 25u);
  EXPECT_EQ(column->type_tag, dtypes::tag::kTensorF32);
  // Not an array of a tensor dtype: no column, and no error.
  ASSERT_EQ(run("value = np.zeros((2, 2, 2), np.float16)"), "");
  ASSERT_TRUE(extract_stacked_tensor_column(get("value"), 2, std::nullopt, "t", 2, column));
  EXPECT_FALSE(column);
}

TEST(TensorPayloadHeader, ChecksEveryDimensionBeforeWritingOne) {
  const std::vector<std::size_t> rank_256(256, 1);
  std::vector<std::size_t> rank_256_too_wide = rank_256;
  rank_256_too_wide[0] = std::size_t{1} << 32;
  auto too_many = tensor_payload_header(rank_256_too_wide, "t");
  ASSERT_FALSE(too_many);
  EXPECT_EQ(too_many.error().to_string(),
            "custom property 't' tensor rank 256 exceeds maximum 255");
  auto wide = tensor_payload_header(std::vector<std::size_t>{2, std::size_t{1} << 32}, "t");
  ASSERT_FALSE(wide);
  EXPECT_EQ(wide.error().to_string(),
            "custom property 't' tensor dimensions must fit in u32 for storage");
  auto header = tensor_payload_header(std::vector<std::size_t>{2, 0xFFFFFFFF}, "t");
  ASSERT_TRUE(header);
  EXPECT_EQ(*header, (crivane::Bytes{2, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*tensor_payload_header({}, "t"), (crivane::Bytes{0}));
}

}  // namespace
}  // namespace crivane_rs::database::batch
