// A cell that holds one Python object for the rest of the process, filled by
// the first initialization that succeeds.
#pragma once

#include "py/python.hpp"

#include <atomic>
#include <mutex>

#include "py/gil.hpp"

namespace crivane_rs::py {

class OnceCell {
 public:
  // The stored object (borrowed; the cell keeps it), or nullptr.
  PyObject* get() const { return value_.load(std::memory_order_acquire); }

  // The stored object, running init() first if the cell is empty. init
  // returns a new reference, which the cell keeps, or nullptr with an
  // exception set, which leaves the cell empty for a later attempt. One
  // thread initializes at a time; the others wait without the interpreter
  // lock. init must not re-enter the same cell.
  template <class F>
  PyObject* get_or_try_init(F&& init) {
    if (PyObject* value = get()) return value;
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    allow_threads([&] { lock.lock(); });
    if (PyObject* value = get()) return value;
    PyObject* made = init();
    if (made != nullptr) value_.store(made, std::memory_order_release);
    return made;
  }

 private:
  std::mutex mutex_;
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace crivane_rs::py
