// An owning PyObject pointer, so that class and method code never counts
// references by hand.
#pragma once

#include "py/python.hpp"

#include <utility>

namespace crivane_rs::py {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference, typically a C-API result (which may be null).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Takes a new reference to a borrowed pointer.
  static Ref new_ref(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  // The pointer for a call that borrows it; this Ref keeps the reference.
  PyObject* get() const { return p_; }
  // Hands the reference to the caller (a function returning a new reference,
  // or a stealing C-API call); this Ref is empty afterwards.
  PyObject* release() { return std::exchange(p_, nullptr); }
  void reset() { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace crivane_rs::py
