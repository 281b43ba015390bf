// Pickling of PyMolecule: __reduce__ hands pickle (and copy) the module
// function _molecule_from_pickle_bytes with the molecule's payload, which
// that function decodes into a new owned molecule.
#include <optional>
#include <string>
#include <utility>

#include "crivane/record/pickle.hpp"
#include "molecule/molecule.hpp"
#include "molecule/molecule_internal.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/class.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace crivane_rs::molecule {

using crivane::atom::Molecule;

namespace internal {
namespace {

// A new bytes object holding the molecule's payload, written in place at
// its exact size.
py::Ref payload_bytes(const Molecule& m) {
  const std::size_t size = soa::pickle_payload_size(m);
  py::Ref bytes = py::Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return bytes;
  soa::write_pickle_payload(m, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
  return bytes;
}

// An interned str made at first use and kept for the process, so that each
// pickle looks the module and its function up without making new strings.
PyObject* interned(const char* text, PyObject*& cell) {
  if (cell == nullptr) cell = PyUnicode_InternFromString(text);
  return cell;
}

}  // namespace

PyObject* molecule_reduce(PyMoleculeObject* self) {
  py::Ref payload;
  {
    auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
    if (!borrow) return nullptr;
    const MoleculeBacking& b = self->value();
    if (const Molecule* m = b.owned()) {
      // Encoding runs no Python code, so the owned molecule is written
      // directly instead of through a private copy.
      payload = payload_bytes(*m);
    } else {
      auto copy = clone_as_owned(b);
      if (!copy) return py::raise_engine_error(copy.error());
      payload = payload_bytes(*copy);
    }
  }
  if (!payload) return nullptr;
  static PyObject* module_name = nullptr;
  static PyObject* function_name = nullptr;
  if (interned("crivane._crivane_rs", module_name) == nullptr ||
      interned("_molecule_from_pickle_bytes", function_name) == nullptr) {
    return nullptr;
  }
  py::Ref module = py::Ref::steal(PyImport_Import(module_name));
  if (!module) return nullptr;
  py::Ref function = py::Ref::steal(PyObject_GetAttr(module.get(), function_name));
  if (!function) return nullptr;
  py::Ref args = py::Ref::steal(PyTuple_Pack(1, payload.get()));
  if (!args) return nullptr;
  return PyTuple_Pack(2, function.get(), args.get());
}

}  // namespace internal

namespace {

constexpr py::Signature kFromPickleBytes{"_molecule_from_pickle_bytes", {py::arg("payload")}};

PyObject* molecule_from_pickle_bytes(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  py::Args<kFromPickleBytes.size()> a;
  if (!kFromPickleBytes.bind(args, nargs, kwnames, a)) return nullptr;
  if (!py::expect_bytes(a[0])) {
    py::remap_arg_error("payload");
    return nullptr;
  }
  // Read in place from the bytes object, which the caller keeps alive.
  const crivane::ByteSpan payload(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[0])),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(a[0])));
  auto molecule = soa::decode_pickle_payload(payload);
  if (!molecule) {
    const crivane::Error& error = molecule.error();
    return error.is_out_of_memory()
               ? py::raise_engine_error(error)
               : py::raise_value_error("Failed to deserialize molecule: " + error.message());
  }
  return new_owned_molecule(std::move(molecule).value());
}

PyMethodDef from_pickle_bytes_def = py::function<&molecule_from_pickle_bytes>(
    "_molecule_from_pickle_bytes", "_molecule_from_pickle_bytes(payload)\n--\n\n");

}  // namespace

PyMethodDef* molecule_from_pickle_bytes_def() { return &from_pickle_bytes_def; }

}  // namespace crivane_rs::molecule
