// Argument binding: maps the positional and keyword arguments of a call onto
// a fixed parameter list, with the TypeErrors Python users expect from a
// function of that signature.
#pragma once

#include "py/python.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace crivane_rs::py {

struct Param {
  enum class Kind : unsigned char { Positional, KeywordOnly };
  const char* name;
  Kind kind;
  bool required;
};

// Positional-or-keyword, required.
constexpr Param arg(const char* name) { return {name, Param::Kind::Positional, true}; }
// Positional-or-keyword with a default (the method applies it).
constexpr Param opt(const char* name) { return {name, Param::Kind::Positional, false}; }
// Keyword-only with a default.
constexpr Param kwarg(const char* name) { return {name, Param::Kind::KeywordOnly, false}; }
// Keyword-only, required.
constexpr Param kwarg_required(const char* name) { return {name, Param::Kind::KeywordOnly, true}; }

namespace detail {

struct SignatureView {
  const char* callable;  // "PyAtom.__new__": class, point, method name
  std::span<const Param> params;
  std::size_t n_positional;
  std::size_t n_required_positional;
};

bool bind_vector(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out);
bool bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace detail

// The parameter list of one callable. Positional parameters come first, the
// required ones before those with defaults, then the keyword-only ones; the
// constructor refuses any other order at compile time.
//
//   constexpr py::Signature kDistanceTo{"PyAtom.distance_to", {py::arg("other")}};
//   py::Args<1> a;
//   if (!kDistanceTo.bind(args, nargs, kwnames, a)) return nullptr;
//
// After a successful bind, out[i] is the argument of params[i] (borrowed for
// the duration of the call) or nullptr when it was not given.
template <std::size_t N>
class Signature {
 public:
  constexpr Signature(const char* callable, const Param (&params)[N]) : callable_(callable) {
    std::size_t i = 0;
    while (i < N && params[i].kind == Param::Kind::Positional && params[i].required) ++i;
    n_required_positional_ = i;
    while (i < N && params[i].kind == Param::Kind::Positional && !params[i].required) ++i;
    n_positional_ = i;
    while (i < N && params[i].kind == Param::Kind::KeywordOnly) ++i;
    if (i != N) throw "parameters out of order: required, optional, keyword-only";
    for (std::size_t k = 0; k < N; ++k) params_[k] = params[k];
  }

  static constexpr std::size_t size() { return N; }
  const char* callable() const { return callable_; }

  // METH_FASTCALL | METH_KEYWORDS arguments.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            std::array<PyObject*, N>& out) const {
    return detail::bind_vector(view(), args, nargs, kwnames, out.data());
  }
  // tp_new / tp_init arguments: a tuple and a dict or nullptr.
  bool bind(PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& out) const {
    return detail::bind_tuple(view(), args, kwargs, out.data());
  }

 private:
  detail::SignatureView view() const {
    return {callable_, std::span<const Param>(params_), n_positional_, n_required_positional_};
  }

  const char* callable_;
  std::array<Param, N> params_{};
  std::size_t n_positional_ = 0;
  std::size_t n_required_positional_ = 0;
};

template <std::size_t N>
using Args = std::array<PyObject*, N>;

// The parameter list of a callable that takes no arguments, so that a stray
// argument gets the same wording as with every other callable:
// "PyAtom.position() takes 0 positional arguments but 1 was given".
class NoParams {
 public:
  constexpr explicit NoParams(const char* callable) : callable_(callable) {}
  const char* callable() const { return callable_; }

  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    return detail::bind_vector({callable_, {}, 0, 0}, args, nargs, kwnames, nullptr);
  }

 private:
  const char* callable_;
};

}  // namespace crivane_rs::py
