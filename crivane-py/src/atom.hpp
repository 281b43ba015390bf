// PyAtom: one atom (a float32 position and an atomic number) as an immutable
// Python value.
#pragma once

#include "py/python.hpp"

#include "crivane/atom.hpp"
#include "py/class.hpp"

namespace crivane_rs::molecule {

using PyAtomObject = py::Instance<crivane::atom::Atom>;

py::Class<crivane::atom::Atom>& py_atom_class();

// A new PyAtom, or nullptr with an exception set.
PyObject* new_py_atom(const crivane::atom::Atom& atom);

}  // namespace crivane_rs::molecule
