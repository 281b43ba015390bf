#include "py/convert.hpp"

#include <fmt/format.h>

#include <cstring>
#include <limits>

namespace crivane_rs::py {
namespace {

void raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

// Any integer (after __index__) as a signed 64-bit value; overflow is
// reported as -1/+1 in `overflow` instead of an exception.
bool index_as_i64(PyObject* obj, std::int64_t& out, int& overflow) {
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

template <class T>
bool extract_narrow(PyObject* obj, T& out) {
  std::int64_t value = 0;
  int overflow = 0;
  if (!index_as_i64(obj, value, overflow)) return false;
  if (overflow != 0 || value < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
      value > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
    raise_out_of_range();
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

}  // namespace

bool extract(PyObject* obj, double& out) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool extract(PyObject* obj, float& out) {
  double value = 0;
  if (!extract(obj, value)) return false;
  out = static_cast<float>(value);
  return true;
}

bool extract(PyObject* obj, std::int64_t& out) {
  std::int64_t value = 0;
  int overflow = 0;
  if (!index_as_i64(obj, value, overflow)) return false;
  if (overflow != 0) {
    raise_out_of_range();
    return false;
  }
  out = value;
  return true;
}

bool extract(PyObject* obj, std::int32_t& out) { return extract_narrow(obj, out); }
bool extract(PyObject* obj, std::uint8_t& out) { return extract_narrow(obj, out); }
bool extract(PyObject* obj, std::uint32_t& out) { return extract_narrow(obj, out); }

bool extract(PyObject* obj, std::size_t& out) {
  std::int64_t value = 0;
  int overflow = 0;
  if (!index_as_i64(obj, value, overflow)) return false;
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    raise_out_of_range();
    return false;
  }
  if (overflow == 0) {
    out = static_cast<std::size_t>(value);
    return true;
  }
  // Above the signed range: the unsigned conversion needs an int object.
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    raise_out_of_range();
    return false;
  }
  out = static_cast<std::size_t>(wide);
  return true;
}

bool is_numpy_bool(PyObject* obj) {
  // Matched by name so that a conversion never has to import NumPy: an
  // object of this type exists only once NumPy is loaded. NumPy 2 renamed
  // the type from bool_ to bool.
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool extract(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  set_downcast_error(obj, "PyBool");
  return false;
}

bool extract(PyObject* obj, std::string_view& out) {
  if (!expect_str(obj)) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool extract(PyObject* obj, std::string& out) {
  std::string_view view;
  if (!extract(obj, view)) return false;
  out.assign(view);
  return true;
}

bool extract(PyObject* obj, Ref& out) {
  out = Ref::new_ref(obj);
  return true;
}

namespace {
bool expect(bool ok, PyObject* obj, const char* target) {
  if (!ok) set_downcast_error(obj, target);
  return ok;
}
}  // namespace

bool expect_tuple(PyObject* obj) { return expect(PyTuple_Check(obj), obj, "PyTuple"); }
bool expect_dict(PyObject* obj) { return expect(PyDict_Check(obj), obj, "PyDict"); }
bool expect_bytes(PyObject* obj) { return expect(PyBytes_Check(obj), obj, "PyBytes"); }
bool expect_str(PyObject* obj) { return expect(PyUnicode_Check(obj), obj, "PyString"); }

namespace detail {

Ref sequence_iter(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return Ref();
  }
  if (!PySequence_Check(obj)) {
    set_downcast_error(obj, "Sequence");
    return Ref();
  }
  return Ref::steal(PyObject_GetIter(obj));
}

void raise_tuple_length(std::size_t expected, Py_ssize_t got) {
  std::string message =
      fmt::format("expected tuple of length {}, but got tuple of length {}", expected, got);
  PyErr_SetString(PyExc_ValueError, message.c_str());
}

}  // namespace detail
}  // namespace crivane_rs::py
