// PyMolecule, the Python class: its class object, made from the method and
// property tables of molecule.cpp (the entries themselves come from the
// files declared in molecule_internal.hpp), new instances, and construction.
#pragma once

#include "py/python.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "crivane/atom.hpp"
#include "molecule/molecule_object.hpp"
#include "py/class.hpp"
#include "py/numpy.hpp"
#include "soa.hpp"

namespace crivane_rs::molecule {

// The class object (type checks and argument extraction:
// py_molecule_class().extract_arg(obj, "molecule")).
py::Class<MoleculeBacking>& py_molecule_class();

// New PyMolecule objects, or nullptr with an exception set.
PyObject* new_owned_molecule(crivane::atom::Molecule molecule);
PyObject* new_view_molecule(soa::SoaMoleculeView view);

// The module function _molecule_from_pickle_bytes(payload), which unpickles
// a molecule from the payload that __reduce__ writes.
PyMethodDef* molecule_from_pickle_bytes_def();

// Construction. Return false with a Python exception set on failure.
//
// Positions (parse_positions_field) and the one-dimensional uint8 array of
// atomic numbers, checked against each other's count.
bool molecule_from_numpy_arrays(PyObject* positions, PyArrayObject* atomic_numbers,
                                crivane::atom::Molecule& out);
// The common body of PyMolecule(...) and PyMolecule.from_arrays(...). The
// array fields are unconverted objects; nullptr or None means absent.
bool from_arrays_impl(PyObject* positions, PyArrayObject* atomic_numbers,
                      std::optional<double> energy, PyObject* forces, PyObject* charges,
                      PyObject* velocities, PyObject* cell, PyObject* stress,
                      std::optional<std::array<bool, 3>> pbc, std::optional<std::string> name,
                      crivane::atom::Molecule& out);

}  // namespace crivane_rs::molecule
