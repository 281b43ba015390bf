#include "py/errors.hpp"

#include <fmt/format.h>

namespace crivane_rs::py {

Ref fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void restore_error(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

namespace {

// The UTF-8 text of a str, or the fallback when it cannot be encoded.
std::string utf8_or(PyObject* str, std::string_view fallback) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::string(fallback);
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string str_of(PyObject* obj) {
  Ref text = Ref::steal(PyObject_Str(obj));
  if (!text) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return utf8_or(text.get(), "<unprintable object>");
}

}  // namespace

std::string take_error_text() {
  Ref exc = fetch_error();
  if (!exc) return std::string();
  return type_name(exc.get()) + ": " + str_of(exc.get());
}

std::string type_name(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return type->tp_name;
  }
  return utf8_or(name.get(), type->tp_name);
}

void set_downcast_error(PyObject* obj, std::string_view target) {
  std::string message =
      fmt::format("'{}' object cannot be converted to '{}'", type_name(obj), target);
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

Raised raise_error(PyObject* exc_type, std::string_view text) {
  PyObject* message =
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (message == nullptr) return Raised();
  PyErr_SetObject(exc_type, message);
  Py_DECREF(message);
  return Raised();
}

Raised raise_value_error(std::string_view text) { return raise_error(PyExc_ValueError, text); }

bool drop_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

Raised raise_engine_error(const crivane::Error& error) {
  if (error.is_out_of_memory()) {
    PyErr_NoMemory();
    return Raised();
  }
  return raise_value_error(error.to_string());
}

void remap_arg_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original = fetch_error();
  std::string message = fmt::format("argument '{}': {}", name, str_of(original.get()));
  raise_with_cause(PyExc_TypeError, message, Ref::steal(PyException_GetCause(original.get())));
}

void raise_with_cause(PyObject* exc_type, std::string_view message, Ref cause) {
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(exc_type, text.get()));
  if (!exc) return;
  if (cause) PyException_SetCause(exc.get(), cause.release());
  restore_error(std::move(exc));
}

PyObject* panic_exception_type() {
  // Kept for the rest of the process; filled under the interpreter lock.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc(
        "crivane.PanicException",
        "A failure inside the extension module that it cannot report as an ordinary error.",
        PyExc_BaseException, nullptr);
    if (made == nullptr) return nullptr;
    if (type == nullptr) {
      type = made;
    } else {
      Py_DECREF(made);
    }
  }
  return type;
}

void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  Ref text = Ref::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void raise_panic_after_pending(std::string_view message) {
  if (PyErr_Occurred()) PyErr_PrintEx(0);
  raise_panic(message);
}

void raise_internal_error(const char* what) {
  PyErr_Format(PyExc_SystemError, "internal error in crivane: %s", what);
}

}  // namespace crivane_rs::py
