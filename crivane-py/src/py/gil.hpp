// Releasing the interpreter lock around work that touches no Python object.
#pragma once

#include "py/python.hpp"

#include <utility>

namespace crivane_rs::py {

// Releases the lock for the guard's lifetime and takes it back at the end.
// Nothing inside may touch a Python object or raise a Python error.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;
  ~AllowThreads() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs f() without the lock and returns its result.
template <class F>
decltype(auto) allow_threads(F&& f) {
  AllowThreads released;
  return std::forward<F>(f)();
}

}  // namespace crivane_rs::py
