// Built with -ffp-contract=off: distance_to must round every product and sum
// to float32 on its own, with no fused multiply-add.
#include "atom.hpp"

#include <fmt/format.h>

#include <cmath>
#include <string>

#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/float_text.hpp"

namespace crivane_rs::molecule {
namespace {

using crivane::atom::Atom;

constexpr py::Signature kNew{"PyAtom.__new__",
                             {py::arg("x"), py::arg("y"), py::arg("z"), py::arg("atomic_number")}};
constexpr py::Signature kDistanceTo{"PyAtom.distance_to", {py::arg("other")}};

PyObject* atom_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::Args<4> a;
  if (!kNew.bind(args, kwargs, a)) return nullptr;
  Atom atom{};
  if (!py::extract_arg(a[0], "x", atom.position[0]) ||
      !py::extract_arg(a[1], "y", atom.position[1]) ||
      !py::extract_arg(a[2], "z", atom.position[2]) ||
      !py::extract_arg(a[3], "atomic_number", atom.atomic_number)) {
    return nullptr;
  }
  return py::Class<Atom>::create_in(type, atom);
}

PyObject* atom_repr(PyAtomObject* self) {
  const Atom& atom = self->value();
  std::string text =
      fmt::format("Atom(x={}, y={}, z={}, atomic_number={})", py::format_f32(atom.position[0]),
                  py::format_f32(atom.position[1]), py::format_f32(atom.position[2]),
                  static_cast<unsigned>(atom.atomic_number));
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* atom_position(PyAtomObject* self) {
  const auto& p = self->value().position;
  return Py_BuildValue("(ddd)", static_cast<double>(p[0]), static_cast<double>(p[1]),
                       static_cast<double>(p[2]));
}

PyObject* atom_atomic_number(PyAtomObject* self) {
  return PyLong_FromLong(self->value().atomic_number);
}

PyObject* atom_distance_to(PyAtomObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  py::Args<1> a;
  if (!kDistanceTo.bind(args, nargs, kwnames, a)) return nullptr;
  PyAtomObject* other = py_atom_class().extract_arg(a[0], "other");
  if (other == nullptr) return nullptr;
  const auto& p = self->value().position;
  const auto& q = other->value().position;
  float dx = p[0] - q[0];
  float dy = p[1] - q[1];
  float dz = p[2] - q[2];
  float sum = (dx * dx + dy * dy) + dz * dz;
  return PyFloat_FromDouble(static_cast<double>(std::sqrt(sum)));
}

constexpr py::NoParams kPosition{"PyAtom.position"};

PyMethodDef methods[] = {
    py::method<&atom_position, kPosition>(
        "position", "position($self)\n--\n\nGet the position as a tuple (x, y, z)"),
    py::method<&atom_distance_to>(
        "distance_to", "distance_to($self, other)\n--\n\nCalculate distance to another atom"),
    py::kEndMethods,
};

PyGetSetDef properties[] = {
    py::property<&atom_atomic_number>("atomic_number", "Get the atomic number"),
    py::kEndProperties,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PyAtom(x, y, z, atomic_number)\n--\n\nPython wrapper for Atom")},
    {Py_tp_new, py::slot<&atom_new>()},
    {Py_tp_dealloc, py::Class<Atom>::dealloc_slot()},
    {Py_tp_repr, py::slot<&atom_repr>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyAtom", sizeof(PyAtomObject), 0, Py_TPFLAGS_DEFAULT, slots};

py::Class<Atom> atom_class{&spec};

}  // namespace

py::Class<Atom>& py_atom_class() { return atom_class; }

PyObject* new_py_atom(const Atom& atom) { return atom_class.create(atom); }

}  // namespace crivane_rs::molecule
