// PyMolecule, its NumPy array output and the value conversion from Python,
// inside an embedded interpreter: the parts that Python code cannot reach on
// its own yet (view-state molecules over hand-made records, borrow conflicts,
// the property value parser).
#include "py/python.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "atom.hpp"
#include "crivane/atom.hpp"
#include "crivane/record/encoder.hpp"
#include "crivane/storage/bytes.hpp"
#include "crivane/storage/mmap.hpp"
#include "molecule/molecule.hpp"
#include "molecule/molecule_helpers.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"
#include "soa.hpp"

namespace crivane_rs {
namespace {

using crivane::Bytes;
using crivane::atom::Molecule;
using crivane::types::FloatArrayData;
using crivane::types::FloatScalarData;
using crivane::types::Mat3Data;
using crivane::types::Mat3F32;
using crivane::types::Mat3F64;
using crivane::types::PropertyValue;
using crivane::types::Tensor;
using crivane::types::TensorData;
using crivane::types::Vec3Data;
using crivane::types::Vec3F32;
using crivane::types::Vec3F64;
using molecule::MoleculeBacking;
using molecule::PyMoleculeObject;
using py::Ref;
using soa::SoaBytes;
using soa::SoaMoleculeView;
namespace property = crivane::types::property;

// ---- records by hand ---------------------------------------------------------

template <class T>
Bytes le(std::initializer_list<T> values) {
  Bytes out;
  for (T v : values) crivane::bytes::put(out, v);
  return out;
}

Bytes filled(std::size_t n, std::uint8_t byte = 0x11) { return Bytes(n, byte); }

// Atom count, positions, atomic numbers, section count, sections.
class Record {
 public:
  // n float32 atoms at (i, i + 0.5, -i) with atomic number i + 1.
  static Record f32(std::uint32_t n) {
    Record r(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      for (float v : {float(i), float(i) + 0.5f, -float(i)}) crivane::bytes::put(r.head_, v);
    }
    for (std::uint32_t i = 0; i < n; ++i) r.head_.push_back(static_cast<std::uint8_t>(i + 1));
    return r;
  }
  // The same atoms with float64 positions shifted by a third, so that they
  // are not float32 values.
  static Record f64(std::uint32_t n) {
    Record r(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      for (double v : {i + 1.0 / 3, i + 0.5, -(i + 1.0 / 3)}) crivane::bytes::put(r.head_, v);
    }
    for (std::uint32_t i = 0; i < n; ++i) r.head_.push_back(static_cast<std::uint8_t>(i + 1));
    return r;
  }

  Record& section(std::uint8_t kind, std::string_view key, std::uint8_t tag, const Bytes& payload) {
    Bytes& s = sections_.emplace_back();
    s.push_back(kind);
    s.push_back(static_cast<std::uint8_t>(key.size()));
    s.insert(s.end(), key.begin(), key.end());
    s.push_back(tag);
    crivane::bytes::put(s, static_cast<std::uint32_t>(payload.size()));
    s.insert(s.end(), payload.begin(), payload.end());
    return *this;
  }
  Record& builtin(std::string_view key, std::uint8_t tag, const Bytes& payload) {
    return section(0, key, tag, payload);
  }

  Bytes build() const {
    Bytes out;
    crivane::bytes::put(out, n_);
    out.insert(out.end(), head_.begin(), head_.end());
    crivane::bytes::put(out, static_cast<std::uint16_t>(sections_.size()));
    for (const Bytes& s : sections_) out.insert(out.end(), s.begin(), s.end());
    return out;
  }

 private:
  explicit Record(std::uint32_t n) : n_(n) {}
  std::uint32_t n_;
  Bytes head_;
  std::vector<Bytes> sections_;
};

SoaMoleculeView parse(Bytes record, std::size_t stride = 12, std::uint8_t positions_type = 4) {
  auto view = SoaMoleculeView::from_storage(SoaBytes(std::move(record)), stride, positions_type);
  EXPECT_TRUE(view.has_value()) << view.error().to_string();
  return std::move(view).value();
}

// A molecule with every builtin field and a property of each scope, float32
// or float64 throughout (energy in the precision asked for too).
Molecule sample_molecule(bool f64) {
  Molecule m =
      f64 ? *Molecule::create_f64({{0.1, 0.2, 0.3}, {1e-300, -2.5, 7}, {-7.5, 4, 5}}, {1, 6, 8})
          : *Molecule::create({{0.1f, 0.2f, 0.3f}, {1e-30f, -2.5f, 7}, {-7.5f, 4, 5}}, {1, 6, 8});
  m.name = "sample";
  if (f64) {
    m.forces.emplace(std::in_place_index<1>,
                     std::vector<Vec3F64>{{1, 2, 3}, {4, 5, 6}, {7, 8, 0.1}});
    m.energy.emplace(std::in_place_index<1>, -0.1);
    m.charges.emplace(std::in_place_index<1>, std::vector<double>{-0.5, 0.25, 1.0 / 3});
    m.velocities.emplace(std::in_place_index<1>,
                         std::vector<Vec3F64>{{0, 0, 1}, {0, 1, 0}, {1, 0, 0.7}});
    m.cell.emplace(std::in_place_index<1>, Mat3F64{{{10, 0, 0}, {0.5, 11, 0}, {0, 0, 12.1}}});
    m.stress.emplace(std::in_place_index<1>, Mat3F64{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9.9}}});
  } else {
    m.forces.emplace(std::in_place_index<0>,
                     std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}, {7, 8, 0.1f}});
    m.energy.emplace(std::in_place_index<0>, -0.1f);
    m.charges.emplace(std::in_place_index<0>, std::vector<float>{-0.5f, 0.25f, 1.0f / 3});
    m.velocities.emplace(std::in_place_index<0>,
                         std::vector<Vec3F32>{{0, 0, 1}, {0, 1, 0}, {1, 0, 0.7f}});
    m.cell.emplace(std::in_place_index<0>, Mat3F32{{{10, 0, 0}, {0.5f, 11, 0}, {0, 0, 12.1f}}});
    m.stress.emplace(std::in_place_index<0>, Mat3F32{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9.9f}}});
  }
  m.pbc = std::array<bool, 3>{true, false, true};
  m.properties["step"] = PropertyValue(std::in_place_index<property::Int>, 42);
  m.atom_properties["mass"] =
      PropertyValue(std::in_place_index<property::FloatArray>, std::vector<double>{1, 12, 16});
  return m;
}

Bytes encode(const Molecule& m) {
  auto record = soa::serialize_molecule_soa(m, 3);
  EXPECT_TRUE(record.has_value()) << record.error().to_string();
  return std::move(record).value();
}

// A file of our own, removed at the end.
class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "py_molecule_test.XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    path_ = pattern;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

constexpr const char* kPrelude = R"(
import numpy as np
ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"]

def same_bits(a, b):
    return (a is None and b is None) or (
        a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes())

def same_content(a, b):
    for f in ARRAY_FIELDS:
        assert same_bits(getattr(a, f), getattr(b, f)), f
    assert a.energy == b.energy, (a.energy, b.energy)
    assert a.pbc == b.pbc
    assert len(a) == len(b) and repr(a) == repr(b)
    assert repr(a.atoms()) == repr(b.atoms())
)";

class Molecules : public ::testing::Test {
 protected:
  void SetUp() override {
    globals_ = Ref::steal(PyDict_New());
    ASSERT_TRUE(globals_);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    set("PyMolecule", reinterpret_cast<PyObject*>(molecule::py_molecule_class().get()));
    set("PyAtom", reinterpret_cast<PyObject*>(molecule::py_atom_class().get()));
    set("PanicException", py::panic_exception_type());
    ASSERT_EQ(run(kPrelude), "");
  }
  void TearDown() override { EXPECT_FALSE(PyErr_Occurred()); }

  void set(const char* name, PyObject* obj) {
    ASSERT_NE(obj, nullptr) << py::take_error_text();
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), name, obj), 0);
  }
  void set(const char* name, Ref obj) { set(name, obj.get()); }
  PyObject* get(const char* name) { return PyDict_GetItemString(globals_.get(), name); }

  // A view-state molecule bound to `name`; returns the object (borrowed).
  PyMoleculeObject* bind_view(const char* name, SoaMoleculeView view) {
    Ref obj = Ref::steal(molecule::new_view_molecule(std::move(view)));
    EXPECT_TRUE(obj) << py::take_error_text();
    set(name, obj.get());
    return reinterpret_cast<PyMoleculeObject*>(get(name));
  }
  PyMoleculeObject* bind_owned(const char* name, Molecule m) {
    Ref obj = Ref::steal(molecule::new_owned_molecule(std::move(m)));
    EXPECT_TRUE(obj) << py::take_error_text();
    set(name, obj.get());
    return reinterpret_cast<PyMoleculeObject*>(get(name));
  }

  // Runs statements; "" or the error as "Type: message".
  std::string run(const std::string& code) {
    Ref result =
        Ref::steal(PyRun_String(code.c_str(), Py_file_input, globals_.get(), globals_.get()));
    return result ? std::string() : py::take_error_text();
  }
  // The repr of an expression's value, or its error as "Type: message".
  std::string eval(const std::string& expr) {
    Ref result =
        Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals_.get(), globals_.get()));
    if (!result) return py::take_error_text();
    Ref text = Ref::steal(PyObject_Repr(result.get()));
    return text ? PyUnicode_AsUTF8(text.get()) : py::take_error_text();
  }
  Ref eval_object(const std::string& expr) {
    Ref result =
        Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals_.get(), globals_.get()));
    EXPECT_TRUE(result) << expr << ": " << py::take_error_text();
    return result;
  }

  Ref globals_;
};

// ---- parse_property_value ----------------------------------------------------

PropertyValue none() { return PropertyValue(std::in_place_index<property::None>); }
PropertyValue int_value(std::int64_t v) {
  return PropertyValue(std::in_place_index<property::Int>, v);
}
PropertyValue float_value(double v) {
  return PropertyValue(std::in_place_index<property::Float>, v);
}
PropertyValue string_value(std::string v) {
  return PropertyValue(std::in_place_index<property::String>, std::move(v));
}
template <std::size_t I, class T>
PropertyValue list(std::vector<T> v) {
  return PropertyValue(std::in_place_index<I>, std::move(v));
}
template <class T>
PropertyValue tensor(std::vector<std::uint64_t> shape, std::vector<T> values) {
  return PropertyValue(std::in_place_index<property::Tensor>,
                       TensorData(Tensor<T>{std::move(shape), std::move(values)}));
}

constexpr const char* kUnsupported =
    "ValueError: Unsupported property type. Supported: None, float, int, str, and numeric ndarray "
    "with dtype float32, float64, int32, or int64";

TEST_F(Molecules, ParsePropertyValue) {
  ASSERT_EQ(run(R"(
class NotANumber:
    def __index__(self): raise TypeError("index")
    def __float__(self): raise TypeError("float")
class Custom(Exception): pass
class IndexRaises:
    def __init__(self, exc): self.exc = exc
    def __index__(self): raise self.exc
    def __float__(self): return 1.0
class FloatRaises:
    def __init__(self, exc): self.exc = exc
    def __float__(self): raise self.exc
class OnlyFloat:
    def __float__(self): return 2.25
class OnlyIndex:
    def __index__(self): return -9
)"),
            "");
  struct Case {
    const char* expr;
    std::optional<PropertyValue> value;
    const char* error = nullptr;
  };
  const Case cases[] = {
      {"None", none()},
      {"True", int_value(1)},
      {"3", int_value(3)},
      {"-2**63", int_value(std::numeric_limits<std::int64_t>::min())},
      {"2**63", float_value(9.223372036854776e18)},
      {"10**400", std::nullopt, kUnsupported},
      {"OnlyIndex()", int_value(-9)},
      {"OnlyFloat()", float_value(2.25)},
      // Any ordinary failure of a conversion hook moves on to the next kind;
      // KeyboardInterrupt and MemoryError are raised.
      {"NotANumber()", std::nullopt, kUnsupported},
      {"IndexRaises(OverflowError('big'))", float_value(1.0)},
      {"IndexRaises(KeyboardInterrupt('stop'))", std::nullopt, "KeyboardInterrupt: stop"},
      {"IndexRaises(MemoryError('full'))", std::nullopt, "MemoryError: full"},
      {"IndexRaises(Custom('index'))", float_value(1.0)},
      {"IndexRaises(ValueError('index'))", float_value(1.0)},
      {"FloatRaises(KeyboardInterrupt('stop'))", std::nullopt, "KeyboardInterrupt: stop"},
      {"FloatRaises(MemoryError('full'))", std::nullopt, "MemoryError: full"},
      {"FloatRaises(Custom('float'))", std::nullopt, kUnsupported},
      {"FloatRaises(TypeError('float'))", std::nullopt, kUnsupported},
      {"np.int32(-5)", int_value(-5)},
      {"np.uint64(2**64 - 1)", float_value(18446744073709551615.0)},
      {"np.float32(0.1)", float_value(static_cast<double>(0.1f))},
      {"np.float64(0.1)", float_value(0.1)},
      {"1.5", float_value(1.5)},
      {"float('nan')", std::nullopt},  // checked below: NaN != NaN
      {"'h\\u00e9llo'", string_value("h\xc3\xa9llo")},
      {"''", string_value("")},
      {"'\\ud800'", std::nullopt, kUnsupported},
      {"b'abc'", std::nullopt, kUnsupported},
      {"[1.0, 2.0]", std::nullopt, kUnsupported},
      {"(1, 2)", std::nullopt, kUnsupported},
      {"{}", std::nullopt, kUnsupported},
      // 0-D arrays and one-element arrays are scalars to Python's conversions.
      {"np.array(7)", int_value(7)},
      {"np.array(7, np.uint8)", int_value(7)},
      {"np.array(2.5)", float_value(2.5)},
      {"np.array(2.5, np.float32)", float_value(2.5)},
      {"np.array([2.5])", float_value(2.5)},
      {"np.array([4], np.int64)", float_value(4.0)},
      {"np.array([1.5, -2], np.float32)",
       list<property::Float32Array>(std::vector<float>{1.5f, -2})},
      {"np.array([1.5, -2])", list<property::FloatArray>(std::vector<double>{1.5, -2})},
      {"np.array([1, -2], np.int32)", list<property::Int32Array>(std::vector<std::int32_t>{1, -2})},
      {"np.array([1, -2], np.longlong)",
       list<property::IntArray>(std::vector<std::int64_t>{1, -2})},
      {"np.arange(6.0)[::-2]", list<property::FloatArray>(std::vector<double>{5, 3, 1})},
      {"np.zeros(0, np.int32)", list<property::Int32Array>(std::vector<std::int32_t>{})},
      {"np.arange(6, dtype=np.float32).reshape(2, 3)",
       list<property::Vec3Array>(std::vector<Vec3F32>{{0, 1, 2}, {3, 4, 5}})},
      {"np.arange(6.0).reshape(3, 2).T",
       list<property::Vec3ArrayF64>(std::vector<Vec3F64>{{0, 2, 4}, {1, 3, 5}})},
      {"np.zeros((0, 3), np.float32)", list<property::Vec3Array>(std::vector<Vec3F32>{})},
      {"np.zeros((0, 3))", list<property::Vec3ArrayF64>(std::vector<Vec3F64>{})},
      {"np.arange(8, dtype=np.float32).reshape(2, 4)",
       tensor<float>({2, 4}, {0, 1, 2, 3, 4, 5, 6, 7})},
      {"np.arange(6, dtype=np.int32).reshape(2, 3)",
       tensor<std::int32_t>({2, 3}, {0, 1, 2, 3, 4, 5})},
      {"np.arange(6).reshape(3, 2)[::-1]", tensor<std::int64_t>({3, 2}, {4, 5, 2, 3, 0, 1})},
      {"np.arange(8.0).reshape(2, 2, 2).transpose(2, 0, 1)",
       tensor<double>({2, 2, 2}, {0, 2, 4, 6, 1, 3, 5, 7})},
      {"np.zeros((0, 2, 5), np.float32)", tensor<float>({0, 2, 5}, {})},
      {"np.zeros(3, np.uint8)", std::nullopt, kUnsupported},
      {"np.zeros((2, 3), np.uint8)", std::nullopt, kUnsupported},
      {"np.zeros(3, bool)", std::nullopt, kUnsupported},
      {"np.zeros((2, 2), np.float16)", std::nullopt, kUnsupported},
      {"np.zeros(3, '>f8')", std::nullopt, kUnsupported},
      {"np.zeros((2, 3), '>f4')", std::nullopt, kUnsupported},
      {"np.zeros((2, 2, 2), '>i8')", std::nullopt, kUnsupported},
      {"np.zeros(3, np.complex128)", std::nullopt, kUnsupported},
      {"np.zeros(3, np.uint32)", std::nullopt, kUnsupported},
      {"np.zeros((0, 4294967296), np.int64)", std::nullopt,
       "ValueError: Tensor dimensions must fit in u32 for storage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expr);
    Ref obj = eval_object(c.expr);
    ASSERT_TRUE(obj);
    PropertyValue got;
    const bool ok = py_dtypes::parse_property_value(obj.get(), got);
    if (c.error != nullptr) {
      ASSERT_FALSE(ok);
      EXPECT_EQ(py::take_error_text(), c.error);
      continue;
    }
    ASSERT_TRUE(ok) << py::take_error_text();
    EXPECT_FALSE(PyErr_Occurred());
    if (c.value) {
      EXPECT_EQ(got.index(), c.value->index());
      EXPECT_TRUE(got == *c.value);
    } else {
      ASSERT_EQ(got.index(), property::Float);
      EXPECT_TRUE(std::isnan(std::get<property::Float>(got)));
    }
  }
}

TEST_F(Molecules, ParseTensorPropertyValueLeavesOtherObjectsAlone) {
  for (const char* expr : {"1.5", "'x'", "np.zeros(3, np.uint8)", "[1, 2]"}) {
    SCOPED_TRACE(expr);
    Ref obj = eval_object(expr);
    std::optional<PropertyValue> out = int_value(1);
    ASSERT_TRUE(py_dtypes::parse_tensor_property_value(obj.get(), out));
    EXPECT_FALSE(out.has_value());
  }
  // One-dimensional and scalar arrays are tensors here too.
  Ref scalar = eval_object("np.array(3.5, np.float32)");
  std::optional<PropertyValue> out;
  ASSERT_TRUE(py_dtypes::parse_tensor_property_value(scalar.get(), out));
  ASSERT_TRUE(out.has_value());
  EXPECT_TRUE(*out == tensor<float>({}, {3.5f}));
}

TEST(TensorShape, ChecksInOrder) {
  const std::vector<std::uint64_t> ones255(255, 1), ones256(256, 1);
  const std::uint64_t big = 4294967296;
  std::string ones256_text = "1";
  for (int i = 1; i < 256; ++i) ones256_text += ", 1";
  struct Case {
    std::vector<std::uint64_t> dims;
    std::size_t count;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {{2, 3}, 6, ""},
      {{}, 1, ""},
      {{0, 7}, 0, ""},
      {{4294967295}, 4294967295, ""},
      {ones255, 1, ""},
      {{}, 0, "Tensor shape [] expects 1 values, got 0"},
      {{2, 3}, 5, "Tensor shape [2, 3] expects 6 values, got 5"},
      {{big, big}, 0, "Tensor shape overflows usize"},
      {ones256, 1, "Tensor rank 256 exceeds maximum 255"},
      // The count is compared before the rank and the dimensions.
      {ones256, 2, "Tensor shape [" + ones256_text + "] expects 1 values, got 2"},
      {{0, big}, 0, "Tensor dimensions must fit in u32 for storage"},
      {{0, big}, 3, "Tensor shape [0, 4294967296] expects 0 values, got 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dims.size() << " dimensions, " << c.count << " values");
    auto shape = py_dtypes::tensor_shape(c.dims, c.count);
    if (c.error.empty()) {
      ASSERT_TRUE(shape.has_value()) << shape.error().to_string();
      EXPECT_EQ(*shape, c.dims);
    } else {
      ASSERT_FALSE(shape.has_value());
      EXPECT_EQ(shape.error().to_string(), c.error);
    }
  }
}

TEST_F(Molecules, FloatArrayClassifiers) {
  ASSERT_TRUE(py::ensure_numpy());
  struct Case {
    const char* expr;
    std::optional<py_dtypes::FloatKind> kind;
  };
  const Case cases[] = {
      {"np.zeros((2, 3, 4), np.float32)", py_dtypes::FloatKind::F32},
      {"np.zeros((2, 3, 4))", py_dtypes::FloatKind::F64},
      {"np.zeros((2, 3, 4), '<f8')", py_dtypes::FloatKind::F64},
      {"np.zeros((2, 3, 4), '>f4')", std::nullopt},
      {"np.zeros((2, 3, 4), np.int32)", std::nullopt},
      {"np.zeros((2, 3))", std::nullopt},
      {"[[[1.0]]]", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expr);
    Ref obj = eval_object(c.expr);
    auto array = py_dtypes::PyFloatArray3::from_any(obj.get());
    ASSERT_EQ(array.has_value(), c.kind.has_value());
    if (array) {
      EXPECT_EQ(array->kind(), *c.kind);
    }
  }
  // Values come out in C order of logical indices whatever the layout.
  Ref transposed = eval_object("np.arange(24.0).reshape(2, 3, 4).transpose(1, 2, 0)");
  auto array = py_dtypes::PyFloatArray3::from_any(transposed.get());
  ASSERT_TRUE(array.has_value());
  EXPECT_EQ(array->dim(0), 3u);
  std::vector<double> values(array->size());
  py_dtypes::copy_array_values(array->array(), values.data());
  Ref expected = eval_object(
      "np.ascontiguousarray(np.arange(24.0).reshape(2, 3, 4).transpose(1, 2, 0)).ravel().tolist()");
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i], PyFloat_AsDouble(PyList_GET_ITEM(expected.get(), i)));
  }
}

// ---- array output primitives -------------------------------------------------

TEST_F(Molecules, CastOrDecodeBorrowsAlignedRunsAndCopiesOthers) {
  alignas(8) std::uint8_t buffer[40];
  for (std::size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<std::uint8_t>(i);

  auto aligned = molecule::helpers::cast_or_decode_f64(crivane::ByteSpan(buffer, 32));
  ASSERT_TRUE(aligned.has_value());
  EXPECT_FALSE(aligned->is_owned());
  EXPECT_EQ(static_cast<const void*>(aligned->data()), buffer);
  EXPECT_EQ(aligned->size(), 4u);

  auto shifted = molecule::helpers::cast_or_decode_f64(crivane::ByteSpan(buffer + 4, 32));
  ASSERT_TRUE(shifted.has_value());
  EXPECT_TRUE(shifted->is_owned());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(shifted->data()) % 8, 0u);
  EXPECT_EQ(std::memcmp(shifted->data(), buffer + 4, 32), 0);

  auto i32 = molecule::helpers::cast_or_decode_i32(crivane::ByteSpan(buffer + 2, 8));
  ASSERT_TRUE(i32.has_value());
  EXPECT_TRUE(i32->is_owned());
  EXPECT_EQ(i32->data()[0], 0x05040302);

  auto empty = molecule::helpers::cast_or_decode_f32(crivane::ByteSpan(buffer + 1, 0));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->size(), 0u);

  auto ragged = molecule::helpers::cast_or_decode_f32(crivane::ByteSpan(buffer, 10));
  ASSERT_FALSE(ragged.has_value());
  EXPECT_EQ(ragged.error().to_string(), "Byte length 10 is not a multiple of element size 4");
  auto ragged64 = molecule::helpers::cast_or_decode_i64(crivane::ByteSpan(buffer + 1, 12));
  ASSERT_FALSE(ragged64.has_value());
  EXPECT_EQ(ragged64.error().to_string(), "Byte length 12 is not a multiple of element size 8");
}

TEST_F(Molecules, TwoDimensionalArraysFromRuns) {
  using molecule::helpers::CowSlice;
  const double values[6] = {1, 2, 3, 4, 5, 6};
  set("borrowed",
      molecule::helpers::pyarray2_from_cow(CowSlice<double>::borrowed(values, 6), 2, 3));
  set("owned",
      molecule::helpers::pyarray2_from_cow(CowSlice<float>::owned({1, 2, 3, 4, 5, 6}), 3, 2));
  set("flat", molecule::helpers::pyarray2_from_flat(std::vector<std::int64_t>{7, 8}, 1, 2));
  EXPECT_EQ(eval("borrowed.tolist(), borrowed.dtype.name, borrowed.flags.writeable"),
            "([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], 'float64', True)");
  EXPECT_EQ(eval("owned.tolist(), owned.dtype.name, owned.flags.writeable"),
            "([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]], 'float32', True)");
  EXPECT_EQ(eval("flat.tolist(), flat.dtype.name"), "([[7, 8]], 'int64')");
  // A borrowed run is copied once into memory NumPy owns; an owned one is
  // adopted, its base being the object that frees it.
  EXPECT_EQ(eval("borrowed.base.ndim, borrowed.base.flags.owndata"), "(1, True)");
  EXPECT_EQ(eval("owned.base.ndim, owned.base.flags.owndata, type(owned.base.base).__name__"),
            "(1, False, 'PyCapsule')");
  // The borrowed bytes are not aliased.
  Ref address = eval_object("borrowed.__array_interface__['data'][0]");
  EXPECT_NE(PyLong_AsVoidPtr(address.get()), static_cast<const void*>(values));

  for (bool owned : {false, true}) {
    SCOPED_TRACE(owned);
    const double five[5] = {1, 2, 3, 4, 5};
    PyObject* r =
        owned ? molecule::helpers::pyarray2_from_cow(CowSlice<double>::owned({1, 2, 3, 4, 5}), 2, 3)
              : molecule::helpers::pyarray2_from_cow(CowSlice<double>::borrowed(five, 5), 2, 3);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(py::take_error_text(),
              "ValueError: ValueError: cannot reshape array of size 5 into shape (2,3)");
  }
}

TEST_F(Molecules, OwnedContainerArrays) {
  set("v",
      molecule::helpers::owned_vec3_array(Vec3Data(std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}})));
  set("e", molecule::helpers::owned_vec3_array(Vec3Data(std::vector<Vec3F64>{})));
  set("c", molecule::helpers::owned_float_array(FloatArrayData(std::vector<double>{0.5, -1})));
  set("m",
      molecule::helpers::owned_mat3x3_array(Mat3Data(Mat3F64{{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}})));
  EXPECT_EQ(eval("v.tolist(), v.dtype.name"), "([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], 'float32')");
  EXPECT_EQ(eval("e.shape, e.dtype.name"), "((0, 3), 'float64')");
  EXPECT_EQ(eval("c.tolist(), c.dtype.name, c.base"), "([0.5, -1.0], 'float64', None)");
  EXPECT_EQ(eval("m[0, 1], m[1, 0], m.dtype.name"), "(2.0, 4.0, 'float64')");
}

// ---- view-state molecules ----------------------------------------------------

TEST_F(Molecules, ViewGettersEqualTheMaterializedCopy) {
  for (bool f64 : {false, true}) {
    SCOPED_TRACE(f64 ? "float64" : "float32");
    const Molecule m = sample_molecule(f64);
    PyMoleculeObject* view = bind_view("view", parse(encode(m), f64 ? 24 : 12, f64 ? 7 : 4));
    bind_owned("owned", m);
    EXPECT_EQ(run("same_content(view, owned)"), "");
    EXPECT_EQ(run("same_content(view, view.to_owned())"), "");
    const std::string dtype = f64 ? "float64" : "float32";
    EXPECT_EQ(
        eval("sorted({getattr(view, f).dtype.name for f in ARRAY_FIELDS[2:] + ['positions']})"),
        "['" + dtype + "']");
    EXPECT_EQ(eval("view.energy == float(np.float32(-0.1))"), f64 ? "False" : "True");
    EXPECT_EQ(eval("view.pbc"), "(True, False, True)");
    EXPECT_EQ(eval("view.atomic_numbers.tolist(), view.atomic_numbers.dtype.name"),
              "([1, 6, 8], 'uint8')");
    EXPECT_EQ(eval("len(view), repr(view)"),
              "(3, 'Molecule(n_atoms=3, has_forces=true, has_energy=true)')");
    // Reading decoded nothing into the object: it is still the same view.
    EXPECT_TRUE(view->value().is_view());
  }
}

TEST_F(Molecules, ViewOfAnEmptyRecord) {
  bind_view("view", parse(Record::f32(0).build()));
  EXPECT_EQ(eval("len(view), bool(view), repr(view)"),
            "(0, False, 'Molecule(n_atoms=0, has_forces=false, has_energy=false)')");
  EXPECT_EQ(eval("view.positions.shape, view.atomic_numbers.shape, view.atoms()"),
            "((0, 3), (0,), [])");
  EXPECT_EQ(eval("[getattr(view, f) for f in ('forces', 'energy', 'charges', 'velocities', "
                 "'cell', 'stress', 'pbc')]"),
            "[None, None, None, None, None, None, None]");
  bind_view("view",
            parse(Record::f32(0).builtin("forces", 4, {}).builtin("charges", 3, {}).build()));
  EXPECT_EQ(eval("view.forces.shape, view.charges.shape"), "((0, 3), (0,))");
}

TEST_F(Molecules, MalformedSectionsFailOnlyTheirOwnGetter) {
  constexpr std::uint32_t n = 2;
  struct Case {
    const char* key;
    std::uint8_t tag;
    std::size_t payload_len;
    const char* error;
  };
  const Case cases[] = {
      {"forces", 4, n * 24, "ValueError: Invalid forces section"},
      {"forces", 7, n * 12, "ValueError: Invalid forces section"},
      {"forces", 3, n * 8, "ValueError: Invalid forces section"},
      {"forces", 4, 0, "ValueError: Invalid forces section"},
      {"velocities", 7, n * 24 + 1, "ValueError: Invalid velocities section"},
      {"velocities", 12, 36, "ValueError: Invalid velocities section"},
      {"cell", 10, 36, "ValueError: Invalid cell section"},
      {"cell", 12, 72, "ValueError: Invalid cell section"},
      {"stress", 11, 4, "ValueError: Invalid stress section"},
      {"stress", 0, 72, "ValueError: Invalid stress section"},
      {"charges", 5, n * 8, "ValueError: Invalid charges section"},
      {"charges", 3, n * 4, "ValueError: Invalid charges section"},
      {"charges", 6, n * 8, "ValueError: Invalid charges section"},
      {"energy", 11, 8, "ValueError: Invalid f32 payload length"},
      {"energy", 0, 4, "ValueError: Invalid f64 payload length"},
      {"energy", 3, 8, "ValueError: Unsupported energy type tag 3"},
      {"pbc", 9, 4, "ValueError: Invalid pbc payload length"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.key << " tag " << int(c.tag) << " length " << c.payload_len);
    Record r = Record::f32(n);
    r.builtin("energy", 0, le<double>({-3.5}));
    if (std::string_view(c.key) != "cell") r.builtin("cell", 12, filled(36, 0));
    r.builtin(c.key, c.tag, filled(c.payload_len));
    bind_view("mol", parse(r.build()));
    EXPECT_EQ(eval(std::string("mol.") + c.key), c.error);
    EXPECT_EQ(eval("mol.positions.tolist()"), "[[0.0, 0.5, -0.0], [1.0, 1.5, -1.0]]");
    EXPECT_EQ(eval("mol.atomic_numbers.tolist(), len(mol)"), "([1, 2], 2)");
    if (std::string_view(c.key) != "energy") {
      EXPECT_EQ(eval("mol.energy"), "-3.5");
    }
    if (std::string_view(c.key) != "cell") {
      EXPECT_EQ(eval("mol.cell.shape"), "(3, 3)");
    }
    const bool forces = std::string_view(c.key) == "forces";
    EXPECT_EQ(eval("repr(mol)"), std::string("'Molecule(n_atoms=2, has_forces=") +
                                     (forces ? "true" : "false") + ", has_energy=true)'");
  }
  // Positions of a type the view does not know.
  bind_view("mol", parse(Record::f32(1).build(), 12, 9));
  EXPECT_EQ(eval("mol.positions"), "ValueError: Invalid positions section");
  EXPECT_EQ(eval("len(mol), mol.atomic_numbers.tolist()"), "(1, [1])");
}

// Views hold their payloads at whatever address the record puts them; a
// padding section in front moves every builtin payload through all
// alignments of its start.
TEST_F(Molecules, UnalignedPayloadsGiveTheSameValues) {
  constexpr std::uint32_t n = 3;
  const Bytes forces = le<double>({0.1, 0.2, 0.3, 1e300, -0.0, NAN, 7, 8, 9});
  const Bytes cell = le<double>({1, 2, 3, 4, 5, 6, 7, 8, 1.0 / 3});
  const Bytes charges = le<double>({-1.5, 0.5, 1.0 / 7});
  const Bytes velocities = le<float>({1, 2, 3, 4, 5, 6, 7, 8, 0.1f});
  const Bytes stress = le<float>({9, 8, 7, 6, 5, 4, 3, 2, 0.1f});
  std::string first;
  for (std::size_t pad = 0; pad < 8; ++pad) {
    SCOPED_TRACE(testing::Message() << "padding " << pad);
    Record r = Record::f64(n);
    r.section(2, "pad", 2, filled(pad, 'a'))
        .builtin("forces", 7, forces)
        .builtin("cell", 10, cell)
        .builtin("charges", 3, charges)
        .builtin("velocities", 4, velocities)
        .builtin("stress", 12, stress);
    PyMoleculeObject* obj = bind_view("mol", parse(r.build(), 24, 7));
    const crivane::ByteSpan record = obj->value().view()->record();
    const std::string values = eval("[getattr(mol, f).tobytes() for f in ARRAY_FIELDS]");
    if (pad == 0) first = values;
    EXPECT_EQ(values, first);
    // No array shares memory with the record.
    for (const char* field : {"positions", "forces", "cell", "charges", "velocities", "stress"}) {
      SCOPED_TRACE(field);
      Ref array = eval_object(std::string("mol.") + field);
      auto* a = reinterpret_cast<PyArrayObject*>(array.get());
      const auto* data = static_cast<const std::uint8_t*>(PyArray_DATA(a));
      EXPECT_TRUE(data + PyArray_NBYTES(a) <= record.data() ||
                  data >= record.data() + record.size());
    }
  }
  // The values are the payload bytes, bit for bit.
  auto as_bytes = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
  Ref got = eval_object(
      "mol.forces.tobytes() + mol.cell.tobytes() + mol.charges.tobytes() + "
      "mol.velocities.tobytes() + mol.stress.tobytes()");
  EXPECT_EQ(std::string(PyBytes_AsString(got.get()), PyBytes_Size(got.get())),
            as_bytes(forces) + as_bytes(cell) + as_bytes(charges) + as_bytes(velocities) +
                as_bytes(stress));
  EXPECT_EQ(eval("mol.positions[:, 0].tolist()"),
            "[0.3333333333333333, 1.3333333333333333, 2.3333333333333335]");
}

TEST_F(Molecules, UndecodableCustomSectionFailsEveryMutationAndLeavesTheView) {
  Record r = Record::f32(2);
  r.builtin("energy", 0, le<double>({1.25}))
      .builtin("forces", 4, filled(24, 0))
      .section(2, "bad", 9, filled(3));
  PyMoleculeObject* obj = bind_view("mol", parse(r.build()));
  const char* error = "ValueError: Unsupported property type tag 9";
  EXPECT_EQ(eval("mol.atoms()"), error);
  EXPECT_EQ(eval("mol.to_owned()"), error);
  const char* setters[] = {
      "mol.forces = np.ones((2, 3))",
      "mol.velocities = np.ones((2, 3), np.float32)",
      "mol.charges = np.ones(2)",
      "mol.cell = np.eye(3)",
      "mol.stress = np.eye(3)",
      "mol.energy = 2.0",
      "mol.energy = None",
      "mol.pbc = (True, True, True)",
      "mol.pbc = None",
      // stress materializes before it parses its value
      "mol.stress = None",
  };
  for (const char* setter : setters) {
    SCOPED_TRACE(setter);
    EXPECT_EQ(run(setter), error);
    EXPECT_TRUE(obj->value().is_view());
  }
  // The other setters parse first.
  EXPECT_EQ(run("mol.cell = None"),
            "ValueError: Cell must be a float32 or float64 ndarray with shape (3, 3)");
  EXPECT_EQ(run("mol.forces = np.ones((3, 3))"), "ValueError: Forces must have shape (2, 3)");
  EXPECT_TRUE(obj->value().is_view());
  EXPECT_EQ(eval("len(mol), mol.energy, mol.forces.tolist(), mol.positions.shape, mol.pbc"),
            "(2, 1.25, [[0.0, 0.0, 0.0], [0.0, 0.0, 0.0]], (2, 3), None)");
  EXPECT_EQ(eval("repr(mol)"), "'Molecule(n_atoms=2, has_forces=true, has_energy=true)'");
}

TEST_F(Molecules, FirstMutationMaterializesTheView) {
  const Molecule m = sample_molecule(true);
  struct Case {
    const char* statement;
    bool owned_after;
  };
  const Case cases[] = {
      {"mol.energy = 5.0", true},
      {"mol.pbc = None", true},
      {"mol.forces = np.zeros((3, 3), np.float32)", true},
      {"mol.cell = np.eye(3)", true},
      // A refused value leaves the view, except for stress, which
      // materializes before it parses.
      {"mol.cell = np.eye(2)", false},
      {"mol.charges = np.zeros(4)", false},
      {"mol.energy = 'x'", false},
      {"mol.stress = np.eye(2)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement);
    PyMoleculeObject* obj = bind_view("mol", parse(encode(m), 24, 7));
    run(c.statement);
    PyErr_Clear();
    EXPECT_EQ(!obj->value().is_view(), c.owned_after);
    if (c.owned_after) {
      const Molecule* owned = obj->value().owned();
      ASSERT_NE(owned, nullptr);
      // Everything the record held is there, custom properties included.
      EXPECT_EQ(owned->properties, m.properties);
      EXPECT_EQ(owned->atom_properties, m.atom_properties);
      EXPECT_EQ(owned->name, m.name);
      EXPECT_EQ(owned->positions, m.positions);
    }
  }
  bind_view("mol", parse(encode(m), 24, 7));
  EXPECT_EQ(run("mol.energy = 5\nassert mol.energy == 5.0\nassert mol.forces.dtype == np.float64"),
            "");
}

TEST_F(Molecules, StressSetterDropsOnlyThePerMoleculeStressProperty) {
  Record r = Record::f32(2);
  r.section(1, "stress", 3, le<double>({1, 2}))
      .section(2, "stress", 0, le<double>({4.5}))
      .section(2, "strain", 0, le<double>({0.5}));
  PyMoleculeObject* view = bind_view("mol", parse(r.build()));
  ASSERT_EQ(run("mol.stress = np.eye(3, dtype=np.float32)"), "");
  const Molecule* m = view->value().owned();
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->properties.count("stress"), 0u);
  EXPECT_EQ(m->properties.count("strain"), 1u);
  ASSERT_EQ(m->atom_properties.count("stress"), 1u);
  EXPECT_TRUE(m->atom_properties.at("stress") ==
              list<property::FloatArray>(std::vector<double>{1, 2}));
  EXPECT_EQ(eval("mol.stress.dtype.name, mol.stress[2, 2]"), "('float32', 1.0)");

  // The same on an owned molecule; a refused value removes nothing.
  Molecule owned = *Molecule::create({{0, 0, 0}}, {1});
  owned.properties["stress"] = float_value(1);
  PyMoleculeObject* obj = bind_owned("own", owned);
  EXPECT_EQ(run("own.stress = np.eye(4)"), "ValueError: Stress must have shape (3, 3)");
  EXPECT_EQ(obj->value().owned()->properties.count("stress"), 1u);
  ASSERT_EQ(run("own.stress = np.eye(3)"), "");
  EXPECT_EQ(obj->value().owned()->properties.count("stress"), 0u);
  // Other setters leave such a property alone.
  bind_owned("own", owned);
  ASSERT_EQ(run("own.cell = np.eye(3)"), "");
  EXPECT_EQ(
      reinterpret_cast<PyMoleculeObject*>(get("own"))->value().owned()->properties.count("stress"),
      1u);
}

TEST_F(Molecules, ViewOverAMappingOutlivesIt) {
  const Molecule m = sample_molecule(true);
  const Bytes record = encode(m);
  // Four bytes in front put the float64 positions on an 8-byte boundary of
  // the mapping; none leaves them off it.
  for (std::size_t front : {0, 4, 3}) {
    SCOPED_TRACE(testing::Message() << front << " bytes in front");
    Bytes file(front, 0xee);
    file.insert(file.end(), record.begin(), record.end());
    TempFile tmp(file);
    auto mapping = crivane::storage::Mapping::map_path(tmp.path());
    ASSERT_TRUE(mapping.has_value()) << mapping.error().to_string();
    std::shared_ptr<const crivane::storage::Mapping> handle = std::move(mapping).value();
    std::weak_ptr<const crivane::storage::Mapping> watch = handle;
    auto view = SoaMoleculeView::from_storage(
        SoaBytes(crivane::storage::SharedMmapBytes(handle, front, front + record.size())), 24, 7);
    ASSERT_TRUE(view.has_value()) << view.error().to_string();
    handle.reset();
    bind_view("mapped", std::move(view).value());
    bind_owned("owned", m);
    ASSERT_EQ(run("same_content(mapped, owned)\n"
                  "arrays = [getattr(mapped, f) for f in ARRAY_FIELDS]\n"
                  "expected = [a.copy() for a in arrays]\n"
                  "del mapped"),
              "");
    // The molecule held the last share: the file is unmapped, and the arrays
    // still read their own memory.
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(run("assert all(same_bits(a, e) for a, e in zip(arrays, expected))\n"
                  "for a in arrays: a[...] = 0\n"
                  "del arrays, expected"),
              "");
  }
}

// ---- borrow conflicts --------------------------------------------------------

TEST_F(Molecules, BorrowConflicts) {
  for (bool view : {false, true}) {
    SCOPED_TRACE(view ? "view" : "owned");
    const Molecule m = sample_molecule(false);
    PyMoleculeObject* obj = view ? bind_view("mol", parse(encode(m))) : bind_owned("mol", m);

    // While a setter holds the exclusive borrow (as Python code run from
    // inside one would see it).
    ASSERT_TRUE(obj->borrow.try_exclusive());
    for (const char* expr : {"len(mol)", "repr(mol)", "mol.atoms()", "mol.to_owned()", "mol.energy",
                             "mol.pbc", "bool(mol)"}) {
      SCOPED_TRACE(expr);
      EXPECT_EQ(eval(expr), "RuntimeError: Already mutably borrowed");
    }
    for (const char* field :
         {"positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"}) {
      SCOPED_TRACE(field);
      EXPECT_EQ(eval(std::string("mol.") + field), "PanicException: Already mutably borrowed");
    }
    obj->borrow.release_exclusive();

    // While a reader holds the shared borrow: other readers go ahead, writers
    // are refused. energy and pbc convert their value first.
    ASSERT_TRUE(obj->borrow.try_shared());
    EXPECT_EQ(eval("len(mol), mol.energy is not None, mol.positions.shape"), "(3, True, (3, 3))");
    for (const char* statement :
         {"mol.forces = np.zeros((3, 3))", "mol.velocities = 'x'", "mol.charges = None",
          "mol.cell = np.eye(3)", "mol.stress = np.eye(3)", "mol.energy = 1.0", "mol.energy = None",
          "mol.pbc = (True, True, True)", "mol.pbc = None"}) {
      SCOPED_TRACE(statement);
      EXPECT_EQ(run(statement), "RuntimeError: Already borrowed");
    }
    EXPECT_EQ(run("mol.energy = 'x'"),
              "TypeError: argument 'energy': must be real number, not str");
    EXPECT_EQ(run("mol.pbc = (1, 2, 3)"),
              "TypeError: argument 'pbc': 'int' object cannot be converted to 'PyBool'");
    // Deletion is refused before anything else.
    EXPECT_EQ(run("del mol.forces"), "AttributeError: can't delete attribute");
    obj->borrow.release_shared();
    EXPECT_TRUE(obj->borrow.is_free());
    EXPECT_EQ(obj->value().is_view(), view);
    EXPECT_EQ(run("mol.energy = 1.0"), "");
  }
}

// ---- the C++ surface for the database class ----------------------------------

TEST_F(Molecules, BackingAccessForTheDatabase) {
  const Molecule m = sample_molecule(false);
  const Bytes record = encode(m);
  bind_view("view", parse(record));
  bind_owned("owned", m);
  set("other", Ref::steal(molecule::new_py_atom({{0, 0, 0}, 1})));

  auto& cls = molecule::py_molecule_class();
  PyMoleculeObject* v = cls.extract_arg(get("view"), "molecule");
  ASSERT_NE(v, nullptr);
  ASSERT_TRUE(v->value().is_view());
  const SoaMoleculeView& view = *v->value().view();
  EXPECT_EQ(Bytes(view.record().begin(), view.record().end()), record);
  EXPECT_EQ(view.n_atoms(), 3u);
  EXPECT_EQ(v->value().n_atoms(), 3u);

  PyMoleculeObject* o = cls.extract_arg(get("owned"), "molecule");
  ASSERT_NE(o, nullptr);
  ASSERT_NE(o->value().owned(), nullptr);
  EXPECT_EQ(*o->value().owned(), m);

  EXPECT_EQ(cls.extract_arg(get("other"), "molecule"), nullptr);
  EXPECT_EQ(py::take_error_text(),
            "TypeError: argument 'molecule': 'PyAtom' object cannot be converted to 'PyMolecule'");
  EXPECT_TRUE(cls.check(get("view")));
  EXPECT_FALSE(cls.check(get("other")));

  // ensure_owned and clone_as_owned give the record's molecule.
  MoleculeBacking backing(parse(record));
  auto copy = molecule::clone_as_owned(backing);
  ASSERT_TRUE(copy.has_value()) << copy.error().to_string();
  EXPECT_TRUE(backing.is_view());
  auto owned = molecule::ensure_owned(backing);
  ASSERT_TRUE(owned.has_value()) << owned.error().to_string();
  EXPECT_FALSE(backing.is_view());
  EXPECT_EQ(**owned, *copy);
  EXPECT_EQ(*copy, *parse(record).materialize());
}

}  // namespace
}  // namespace crivane_rs
