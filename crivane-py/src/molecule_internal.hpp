// What the files of PyMolecule share: small error helpers and the functions
// each file contributes to the class's method and property tables, which
// molecule.cpp assembles.
#pragma once

#include "py/python.hpp"

#include <string_view>

#include "crivane/atom.hpp"
#include "molecule.hpp"

namespace crivane_rs::molecule::internal {

// Whether an optional argument was given as something other than None.
bool present(PyObject* obj);
// ValueError(text), with the error result of a setter (-1) or a call (nullptr).
int setter_failed(std::string_view text);
PyObject* call_failed(std::string_view text);

// The owned molecule of a caller that holds the exclusive borrow; nullptr
// with materialize's ValueError set when a view does not materialize.
crivane::atom::Molecule* owned_for_setter(PyMoleculeObject* self);

// Builtin fields (molecule_fields.cpp).
PyObject* get_forces(PyMoleculeObject* self);
PyObject* get_charges(PyMoleculeObject* self);
PyObject* get_velocities(PyMoleculeObject* self);
PyObject* get_cell(PyMoleculeObject* self);
PyObject* get_stress(PyMoleculeObject* self);
PyObject* get_energy(PyMoleculeObject* self);
PyObject* get_pbc(PyMoleculeObject* self);
PyObject* get_positions(PyMoleculeObject* self);
PyObject* get_atomic_numbers(PyMoleculeObject* self);
int set_forces(PyMoleculeObject* self, PyObject* value);
int set_energy(PyMoleculeObject* self, PyObject* value);
int set_charges(PyMoleculeObject* self, PyObject* value);
int set_velocities(PyMoleculeObject* self, PyObject* value);
int set_cell(PyMoleculeObject* self, PyObject* value);
int set_stress(PyMoleculeObject* self, PyObject* value);
int set_pbc(PyMoleculeObject* self, PyObject* value);

}  // namespace crivane_rs::molecule::internal
