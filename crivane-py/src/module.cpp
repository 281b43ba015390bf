// The start-up of the extension module _crivane_rs (imported as
// crivane._crivane_rs): single-phase initialization, one interpreter per
// process, registrations in a fixed order.
#include "py/python.hpp"

#include <atomic>
#include <cstdint>

#include "atom.hpp"
#include "database/database.hpp"
#include "molecule/molecule.hpp"
#include "py/class.hpp"
#include "py/errors.hpp"
#include "py/once.hpp"
#include "py/ref.hpp"

namespace crivane_rs {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_crivane_rs",
    "The Python module\n\nThis function defines what's available when you `import crivane` in "
    "Python",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first owns it for the rest of the
// process; the class objects and the cached module belong to it. -1 until
// the first import.
std::atomic<std::int64_t> claimed_interpreter{-1};

// The module object after a successful start-up; empty after a failed one,
// so that the next import runs the body again.
py::OnceCell module_cell;

// The module body, in this order; the first failure ends it.
using Registration = bool (*)(PyObject* module);
const Registration registrations[] = {
    [](PyObject* m) { return py::add_class(m, molecule::py_atom_class()); },
    [](PyObject* m) { return py::add_class(m, molecule::py_molecule_class()); },
    [](PyObject* m) { return py::add_class(m, database::py_database_class()); },
    [](PyObject* m) { return py::add_function(m, molecule::molecule_from_pickle_bytes_def()); },
};

bool claim_interpreter() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return false;
  std::int64_t expected = -1;
  if (claimed_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "crivane._crivane_rs does not support sub-interpreters: it is already in use by "
                  "another interpreter of this process");
  return false;
}

PyObject* create_module() {
  py::Ref module = py::Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  for (Registration add : registrations) {
    if (!add(module.get())) return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace crivane_rs

PyMODINIT_FUNC PyInit__crivane_rs() {
  using namespace crivane_rs;
  return py::boundary([]() -> PyObject* {
    if (!claim_interpreter()) return nullptr;
    return Py_XNewRef(module_cell.get_or_try_init(create_module));
  });
}
