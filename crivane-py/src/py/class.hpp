// Python classes over C++ values: the instance layout, the class objects
// (heap types made once, at first use), the trampolines that turn plain C++
// functions into C-API slots and method entries, and module registration.
//
// A class is a PyType_Spec named "builtins.<Name>" with the default flags
// only: no Py_TPFLAGS_BASETYPE (no subclassing), no __dict__ or weak
// reference slots, and not tracked by the cyclic collector (instances hold
// no Python references).
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/errors.hpp"

namespace crivane_rs::py {

namespace detail {
template <class F>
void* as_slot(F* f) {
  return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
}  // namespace detail

// The object layout of every class: the Python header, the borrow flag and
// the C++ value, constructed in place when the instance is made.
template <class T>
struct Instance {
  PyObject ob_base;  // PyObject_HEAD
  BorrowFlag borrow;
  alignas(T) unsigned char storage[sizeof(T)];

  T& value() { return *std::launder(reinterpret_cast<T*>(storage)); }
  PyObject* object() { return &ob_base; }
  static Instance* of(PyObject* obj) { return reinterpret_cast<Instance*>(obj); }
};

// The class object of one spec, created at first use and kept for the rest
// of the process. Filled under the interpreter lock; the first object stored
// wins.
class ClassCell {
 public:
  constexpr explicit ClassCell(PyType_Spec* spec) : spec_(spec) {}
  ClassCell(const ClassCell&) = delete;
  ClassCell& operator=(const ClassCell&) = delete;

  // Borrowed; nullptr with an exception set if the class cannot be made.
  PyTypeObject* get();
  // The class name without "builtins.".
  const char* name() const;
  // Whether obj is an instance; false when the class cannot be made (the
  // error is then cleared, since no instance can exist).
  bool check(PyObject* obj);

 private:
  PyType_Spec* spec_;
  PyTypeObject* type_ = nullptr;
};

template <class T>
class Class : public ClassCell {
 public:
  using Object = Instance<T>;
  static_assert(alignof(T) <= alignof(std::max_align_t));

  constexpr explicit Class(PyType_Spec* spec) : ClassCell(spec) {}

  // A new instance holding T(args...), or nullptr with an exception set.
  template <class... A>
  PyObject* create(A&&... args) {
    PyTypeObject* type = get();
    if (type == nullptr) return nullptr;
    return create_in(type, std::forward<A>(args)...);
  }

  // For tp_new, which is handed the type.
  template <class... A>
  static PyObject* create_in(PyTypeObject* type, A&&... args) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    Object* self = Object::of(obj);
    new (&self->borrow) BorrowFlag();
    try {
      new (self->storage) T(std::forward<A>(args)...);
    } catch (...) {
      // Never seen by Python and holding no value yet: free it directly.
      type->tp_free(obj);
      Py_DECREF(type);
      throw;
    }
    return obj;
  }

  // The instance behind obj ("'{}' object cannot be converted to '{}'" with
  // the class name when it is not one).
  Object* extract(PyObject* obj) {
    if (check(obj)) return Object::of(obj);
    if (!PyErr_Occurred()) set_downcast_error(obj, name());
    return nullptr;
  }

  // The same for a parameter: "argument '{}': {}" around that text.
  Object* extract_arg(PyObject* obj, const char* param) {
    Object* self = extract(obj);
    if (self == nullptr) remap_arg_error(param);
    return self;
  }

  // Py_tp_dealloc: PyType_Slot{Py_tp_dealloc, Class<T>::dealloc_slot()}.
  static void* dealloc_slot() { return detail::as_slot(&dealloc); }

  static void dealloc(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    Object* self = Object::of(obj);
    self->value().~T();
    self->borrow.~BorrowFlag();
    type->tp_free(obj);
    Py_DECREF(type);
  }
};

// ---- Trampolines -----------------------------------------------------------
//
// Class code writes plain functions whose first parameter is the instance
// type (Instance<T>* or PyObject*); the trampolines cast self, call them
// inside boundary() and present the C-API signature. They are not noexcept:
// see boundary().

namespace detail {

template <auto F>
struct Fn;

// PyObject* f(Self*): tp_repr, tp_str, getters, and methods without
// parameters (see method<F, Sig> below).
template <class S, PyObject* (*F)(S*)>
struct Fn<F> {
  using Self = S;
  static PyObject* unary(PyObject* self) {
    return boundary([&] { return F(reinterpret_cast<Self*>(self)); });
  }
  static PyObject* getter(PyObject* self, void*) { return unary(self); }
};

// A method without parameters still goes through the binder, for its
// argument-error texts.
template <auto F, const NoParams& Sig>
struct NoArgsMethod {
  static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      if (!Sig.bind(args, nargs, kwnames)) return nullptr;
      return F(reinterpret_cast<typename Fn<F>::Self*>(self));
    });
  }
};

// PyObject* f(Self*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames):
// METH_FASTCALL | METH_KEYWORDS methods, and module functions (Self = PyObject,
// self = the module).
template <class Self, PyObject* (*F)(Self*, PyObject* const*, Py_ssize_t, PyObject*)>
struct Fn<F> {
  static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return boundary([&] { return F(reinterpret_cast<Self*>(self), args, nargs, kwnames); });
  }
  static constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS;
  static PyCFunction method() { return as_cfunction(&fastcall); }
};

// PyObject* f(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames):
// static methods.
template <PyObject* (*F)(PyObject* const*, Py_ssize_t, PyObject*)>
struct Fn<F> {
  static PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&] { return F(args, nargs, kwnames); });
  }
  static constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
  static PyCFunction method() { return as_cfunction(&fastcall); }
};

// Py_ssize_t f(Self*): sq_length / mp_length.
template <class Self, Py_ssize_t (*F)(Self*)>
struct Fn<F> {
  static Py_ssize_t len(PyObject* self) {
    return boundary([&] { return F(reinterpret_cast<Self*>(self)); });
  }
  static void* slot() { return as_slot(&len); }
};

// PyObject* f(Self*, PyObject*): mp_subscript and other binary slots.
template <class Self, PyObject* (*F)(Self*, PyObject*)>
struct Fn<F> {
  static PyObject* binary(PyObject* self, PyObject* arg) {
    return boundary([&] { return F(reinterpret_cast<Self*>(self), arg); });
  }
  static void* slot() { return as_slot(&binary); }
};

// int f(Self*, PyObject* value): property setters; value is nullptr for del.
template <class Self, int (*F)(Self*, PyObject*)>
struct Fn<F> {
  static int setter(PyObject* self, PyObject* value, void*) {
    return boundary([&] { return F(reinterpret_cast<Self*>(self), value); });
  }
};

// PyObject* f(PyTypeObject*, PyObject* args, PyObject* kwargs): tp_new.
template <PyObject* (*F)(PyTypeObject*, PyObject*, PyObject*)>
struct Fn<F> {
  static PyObject* new_(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&] { return F(type, args, kwargs); });
  }
  static void* slot() { return as_slot(&new_); }
};

}  // namespace detail

// A method table entry; the kind (no arguments, fastcall, static) follows
// from F's signature. doc carries the text signature:
// "name($self, a, b)\n--\n\nDocstring".
template <auto F>
PyMethodDef method(const char* name, const char* doc) {
  using T = detail::Fn<F>;
  return {name, T::method(), T::method_flags, doc};
}

// A method entry for PyObject* f(Self*), which takes no arguments; Sig names
// it for the binder's messages:
//   constexpr py::NoParams kPosition{"PyAtom.position"};
//   py::method<&atom_position, kPosition>("position", "position($self)\n--\n\n...")
template <auto F, const NoParams& Sig>
PyMethodDef method(const char* name, const char* doc) {
  return {name, detail::as_cfunction(&detail::NoArgsMethod<F, Sig>::fastcall),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

// A module-level function (F takes the module as self).
template <auto F>
PyMethodDef function(const char* name, const char* doc) {
  return method<F>(name, doc);
}

constexpr PyMethodDef kEndMethods = {nullptr, nullptr, 0, nullptr};

// A read-only property.
template <auto Get>
PyGetSetDef property(const char* name, const char* doc) {
  return {name, &detail::Fn<Get>::getter, nullptr, doc, nullptr};
}
// A property with a setter; the setter is also called for `del` with a
// nullptr value (see raise_cant_delete).
template <auto Get, auto Set>
PyGetSetDef property(const char* name, const char* doc) {
  return {name, &detail::Fn<Get>::getter, &detail::Fn<Set>::setter, doc, nullptr};
}

constexpr PyGetSetDef kEndProperties = {nullptr, nullptr, nullptr, nullptr, nullptr};

// AttributeError "can't delete attribute"; returns -1 for a setter.
int raise_cant_delete();

// A type slot for a function: tp_new, tp_repr, sq_length/mp_length,
// mp_subscript (PyType_Slot{Py_tp_repr, py::slot<&repr>()}).
template <auto F>
void* slot() {
  if constexpr (requires { detail::Fn<F>::slot(); }) {
    return detail::Fn<F>::slot();
  } else {
    return detail::as_slot(&detail::Fn<F>::unary);
  }
}

// ---- Module registration ---------------------------------------------------

// Appends name to the module's __all__ (created as an empty list by the
// first registration), then sets the attribute.
bool add_to_module(PyObject* module, PyObject* name, PyObject* obj);

// Registers a class under its name; a class that cannot be made fails with
// RuntimeError "An error occurred while initializing class {}", the error
// chained as its cause.
bool add_class(PyObject* module, ClassCell& cls);

// Registers a builtin function bound to the module, under its __name__.
bool add_function(PyObject* module, PyMethodDef* def);

}  // namespace crivane_rs::py
