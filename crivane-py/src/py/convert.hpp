// Converters from Python objects to C++ values. Each returns false with a
// Python exception set when the object does not convert; the texts are the
// interpreter's own or "'{}' object cannot be converted to '{}'". Wrap a
// parameter's conversion in extract_arg to get "argument '{}': {}".
#pragma once

#include "py/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace crivane_rs::py {

// Declared first so that the templates below compose in any nesting
// (an optional vector, a vector of optionals).
template <class T>
bool extract(PyObject* obj, std::optional<T>& out);
template <class T>
bool extract(PyObject* obj, std::vector<T>& out);

// Python's float conversion: float, or __float__, or __index__.
bool extract(PyObject* obj, double& out);
// As double, then rounded to the nearest float32 (beyond its range: an
// infinity of the sign).
bool extract(PyObject* obj, float& out);

// Integers: int, bool, or __index__ (a float is refused with the
// interpreter's TypeError). A value outside the target type raises
// OverflowError "out of range integral type conversion attempted".
bool extract(PyObject* obj, std::int64_t& out);
bool extract(PyObject* obj, std::int32_t& out);
bool extract(PyObject* obj, std::uint8_t& out);
bool extract(PyObject* obj, std::uint32_t& out);
bool extract(PyObject* obj, std::size_t& out);

// A Python bool or a NumPy bool scalar; nothing else ("PyBool").
bool extract(PyObject* obj, bool& out);
bool is_numpy_bool(PyObject* obj);

// A str (subclasses included; "PyString"), as UTF-8. The string_view form
// borrows the str object's own UTF-8 buffer: valid while obj lives.
bool extract(PyObject* obj, std::string& out);
bool extract(PyObject* obj, std::string_view& out);

// Any object, as a new reference.
bool extract(PyObject* obj, Ref& out);

// Type checks with the conversion message ("PyTuple", "PyDict", "PyBytes",
// "PyString"); subclasses pass.
bool expect_tuple(PyObject* obj);
bool expect_dict(PyObject* obj);
bool expect_bytes(PyObject* obj);
bool expect_str(PyObject* obj);

// Absent (nullptr) or None gives nullopt; anything else converts as T.
template <class T>
bool extract(PyObject* obj, std::optional<T>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!extract(obj, value)) return false;
  out = std::move(value);
  return true;
}

namespace detail {
// The str refusal ("Can't extract `str` to `Vec`"), the sequence check
// ("Sequence") and an iterator over obj.
Ref sequence_iter(PyObject* obj);
void raise_tuple_length(std::size_t expected, Py_ssize_t got);
}  // namespace detail

// A sequence (anything passing the sequence protocol check except a str),
// each item converted by item(PyObject*, T&) in iteration order.
template <class T, class F>
bool extract_sequence(PyObject* obj, std::vector<T>& out, F&& item) {
  static_assert(!std::is_same_v<T, std::string_view>, "items would outlive their str objects");
  Ref iter = detail::sequence_iter(obj);
  if (!iter) return false;
  std::vector<T> values;
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    values.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
  }
  while (Ref next = Ref::steal(PyIter_Next(iter.get()))) {
    T value{};
    if (!item(next.get(), value)) return false;
    values.push_back(std::move(value));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(values);
  return true;
}

template <class T>
bool extract(PyObject* obj, std::vector<T>& out) {
  return extract_sequence(obj, out, [](PyObject* item, T& value) { return extract(item, value); });
}

// A tuple of exactly N items ("PyTuple"; another length: ValueError
// "expected tuple of length {}, but got tuple of length {}").
template <class T, std::size_t N>
bool extract_tuple(PyObject* obj, std::array<T, N>& out) {
  if (!expect_tuple(obj)) return false;
  Py_ssize_t size = PyTuple_GET_SIZE(obj);
  if (size != static_cast<Py_ssize_t>(N)) {
    detail::raise_tuple_length(N, size);
    return false;
  }
  std::array<T, N> values{};
  for (std::size_t i = 0; i < N; ++i) {
    if (!extract(PyTuple_GET_ITEM(obj, static_cast<Py_ssize_t>(i)), values[i])) return false;
  }
  out = std::move(values);
  return true;
}

// The conversion of one parameter: a TypeError becomes "argument '{}': {}".
template <class T>
bool extract_arg(PyObject* obj, const char* name, T& out) {
  if (extract(obj, out)) return true;
  remap_arg_error(name);
  return false;
}

template <class T, std::size_t N>
bool extract_tuple_arg(PyObject* obj, const char* name, std::array<T, N>& out) {
  if (extract_tuple(obj, out)) return true;
  remap_arg_error(name);
  return false;
}

}  // namespace crivane_rs::py
