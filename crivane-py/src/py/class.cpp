#include "py/class.hpp"

#include <fmt/format.h>

#include <cstring>

namespace crivane_rs::py {

PyTypeObject* ClassCell::get() {
  if (type_ != nullptr) return type_;
  PyObject* made = PyType_FromSpec(spec_);
  if (made == nullptr) return nullptr;
  // Making the type can run Python code (the collector); another thread may
  // have filled the cell meanwhile, and the first object stays.
  if (type_ == nullptr) {
    type_ = reinterpret_cast<PyTypeObject*>(made);
  } else {
    Py_DECREF(made);
  }
  return type_;
}

const char* ClassCell::name() const {
  const char* dot = std::strrchr(spec_->name, '.');
  return dot != nullptr ? dot + 1 : spec_->name;
}

bool ClassCell::check(PyObject* obj) {
  PyTypeObject* type = get();
  if (type == nullptr) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, type);
}

int raise_cant_delete() {
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

bool add_to_module(PyObject* module, PyObject* name, PyObject* obj) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, obj) == 0;
}

bool add_class(PyObject* module, ClassCell& cls) {
  PyTypeObject* type = cls.get();
  if (type == nullptr) {
    Ref cause = fetch_error();
    raise_with_cause(PyExc_RuntimeError,
                     fmt::format("An error occurred while initializing class {}", cls.name()),
                     std::move(cause));
    return false;
  }
  Ref name = Ref::steal(PyUnicode_FromString(cls.name()));
  if (!name) return false;
  return add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  return add_to_module(module, name.get(), function.get());
}

}  // namespace crivane_rs::py
