#include "py/args.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

namespace crivane_rs::py::detail {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': the interpreter's own wording.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void raise_missing(const SignatureView& sig, const char* kind,
                   const std::vector<const char*>& names) {
  std::string message =
      fmt::format("{}() missing {} required {} {}: {}", sig.callable, names.size(), kind,
                  names.size() == 1 ? "argument" : "arguments", quoted_list(names));
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_too_many_positional(const SignatureView& sig, Py_ssize_t nargs) {
  const char* verb = nargs == 1 ? "was" : "were";
  std::string message =
      sig.n_required_positional == sig.n_positional
          ? fmt::format("{}() takes {} positional arguments but {} {} given", sig.callable,
                        sig.n_positional, nargs, verb)
          : fmt::format("{}() takes from {} to {} positional arguments but {} {} given",
                        sig.callable, sig.n_required_positional, sig.n_positional, nargs, verb);
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool place_positional(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject** out) {
  if (static_cast<std::size_t>(nargs) > sig.n_positional) {
    raise_too_many_positional(sig, nargs);
    return false;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  return true;
}

bool place_keyword(const SignatureView& sig, PyObject* name, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.callable,
                   sig.params[i].name);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.callable, name);
  return false;
}

bool check_required(const SignatureView& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.n_required_positional; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    raise_missing(sig, "positional", missing);
    return false;
  }
  for (std::size_t i = sig.n_positional; i < sig.params.size(); ++i) {
    if (sig.params[i].required && out[i] == nullptr) missing.push_back(sig.params[i].name);
  }
  if (!missing.empty()) {
    raise_missing(sig, "keyword-only", missing);
    return false;
  }
  return true;
}

}  // namespace

bool bind_vector(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out) {
  if (!place_positional(sig, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
      if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  if (!place_positional(sig, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), out)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!place_keyword(sig, name, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

}  // namespace crivane_rs::py::detail
