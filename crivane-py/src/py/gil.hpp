// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include "py/python.hpp"

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "py/errors.hpp"

namespace crivane_rs::py {

// Runs f() without the interpreter lock and returns its result; f must not
// touch a Python object or raise a Python error. An exception thrown by f is
// rethrown once the lock is held again.
//
// The lock is taken back by an ordinary call in this frame, never by a
// destructor: when the interpreter is finalizing, CPython ends a daemon
// thread inside that call by unwinding its stack (pthread_exit), and an
// unwind that meets a noexcept frame on its way to the thread's start aborts
// the process. Everything between a method's entry and this call may unwind.
template <class F>
auto allow_threads(F&& f) -> decltype(f()) {
  using R = decltype(f());
  static_assert(!std::is_reference_v<R>, "the result must outlive f's frame");
  std::exception_ptr thrown;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<R>) {
      std::forward<F>(f)();
    } else {
      result.emplace(std::forward<F>(f)());
    }
  } catch (...) {
    if (foreign_exception()) throw;  // the thread is ending
    thrown = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (thrown) std::rethrow_exception(thrown);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

}  // namespace crivane_rs::py
