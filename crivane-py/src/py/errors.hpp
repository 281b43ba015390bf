// Raising and reshaping Python exceptions, and the wall that keeps C++
// exceptions out of the interpreter.
//
// Failure in the binding follows CPython: a function that makes an object
// returns a new reference (PyObject* or Ref) or null with the exception set;
// one that only succeeds or fails returns bool, false with the exception set
// (int -1 only where a C-API slot asks for it). An engine Result is raised
// with raise_engine_error where the binding receives it. Helpers that touch
// no Python object (byte runs, tensor shapes, records built or loaded
// without the interpreter lock) return the engine's Result instead, since
// they may run where no exception can be set.
#pragma once

#include "py/python.hpp"

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "crivane/error.hpp"
#include "py/ref.hpp"

namespace crivane_rs::py {

// Takes the pending exception (normalized, traceback attached) out of the
// interpreter; empty when none is pending.
Ref fetch_error();
// Makes an exception instance the pending exception again.
void restore_error(Ref exc);
// "TypeError: message": the pending exception's type name and text, taking
// it out of the interpreter. Empty when none is pending.
std::string take_error_text();

// The name that conversion messages give an object's type: its __qualname__
// ("int", "NoneType", "ndarray").
std::string type_name(PyObject* obj);

// TypeError "'{}' object cannot be converted to '{}'" with obj's type name
// and the target type's name.
void set_downcast_error(PyObject* obj, std::string_view target);

// Ends a failed conversion attempt ("an int? a float? a str?"). An ordinary
// exception, whatever the object's own hook raised, only means "not this kind
// of value": it is dropped (true) so that the next kind can be tried.
// MemoryError and what does not derive from Exception (KeyboardInterrupt,
// SystemExit, PanicException) say nothing about the value and stay pending
// (false).
bool drop_ordinary_error();

// Rewrites a pending TypeError as TypeError "argument '{}': {}" with the
// parameter name; other pending exceptions (OverflowError, ValueError, ...)
// pass unchanged.
void remap_arg_error(const char* name);

// What the raise helpers below return, so that a function ends a failure
// with `return py::raise_value_error(...)`: it converts to the failure value
// of the function's result, false for a status, nullptr for an object (or
// any pointer), an empty Ref. Any other conversion does not compile, so an
// int slot writes its -1 out and no optional or number can carry a failure.
class Raised {
 public:
  constexpr operator bool() const { return false; }
  template <class T>
  constexpr operator T*() const {
    return nullptr;
  }
  operator Ref() const { return Ref(); }
  template <class T>
  operator T() const = delete;
};

// Raises exc_type(text), keeping any byte of text (it need not be a C
// string).
Raised raise_error(PyObject* exc_type, std::string_view text);
// Raises ValueError(text): the bare texts of the binding's own checks.
Raised raise_value_error(std::string_view text);

// Raises an engine error the way every class reports one: MemoryError for
// allocation failure, else ValueError with the error's display text ("IO
// error: ...", "Invalid data: ..."). An engine Result is raised with this
// where the binding receives it.
Raised raise_engine_error(const crivane::Error& error);

// Raises exc_type(message) with cause (may be empty) as its __cause__.
void raise_with_cause(PyObject* exc_type, std::string_view message, Ref cause);

// PanicException, derived from BaseException so that `except Exception`
// does not swallow it. Created at first use, never added to the module.
// Borrowed; nullptr with an exception set if it cannot be created.
PyObject* panic_exception_type();
// Raises PanicException(message).
void raise_panic(std::string_view message);
// Writes the pending exception to standard error, then raises
// PanicException(message).
void raise_panic_after_pending(std::string_view message);

// SystemError for a C++ exception that reached the boundary.
void raise_internal_error(const char* what);

template <class R>
constexpr R error_result() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    static_assert(std::is_integral_v<R>, "C-API results are pointers or integers");
    return static_cast<R>(-1);
  }
}

// Inside a handler: whether the exception being handled is not a C++ one,
// above all the unwind that ends a thread (pthread_exit), which must be
// rethrown. (Catching that by its type, abi::__forced_unwind&, binds a null
// reference.) No exception_ptr can hold a foreign exception.
inline bool foreign_exception() { return !std::current_exception(); }

// Runs f() for a C-API entry point: a C++ exception (only allocation failure
// is expected) becomes a Python exception and the C-API error result
// (nullptr or -1) is returned instead. Not noexcept, and neither are the
// entry points: the one unwind let through is a thread's own end
// (pthread_exit, which CPython uses on daemon threads at interpreter exit),
// and that must reach the thread's start.
template <class F>
auto boundary(F&& f) -> decltype(f()) {
  using R = decltype(f());
  try {
    return f();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_error(e.what());
  } catch (...) {
    if (foreign_exception()) throw;
    raise_internal_error("unknown C++ exception");
  }
  return error_result<R>();
}

}  // namespace crivane_rs::py
