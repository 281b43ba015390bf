// PyMolecule: one molecule for Python, either owning a Molecule it can change
// or lazily viewing one stored record. Reads never change the state; the
// first mutation turns a view into an owned molecule in place.
#pragma once

#include "py/python.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <variant>

#include "crivane/atom.hpp"
#include "py/class.hpp"
#include "py/numpy.hpp"
#include "soa.hpp"

namespace crivane_rs::molecule {

// What a PyMolecule holds: MoleculeBacking::Owned or MoleculeBacking::View.
class MoleculeBacking {
 public:
  using Owned = crivane::atom::Molecule;
  using View = soa::SoaMoleculeView;

  explicit MoleculeBacking(Owned molecule) : state_(std::move(molecule)) {}
  explicit MoleculeBacking(View view) : state_(std::move(view)) {}

  bool is_view() const { return state_.index() == 1; }
  // The owned molecule, or nullptr in the view state.
  Owned* owned() { return std::get_if<Owned>(&state_); }
  const Owned* owned() const { return std::get_if<Owned>(&state_); }
  // The view, or nullptr in the owned state.
  const View* view() const { return std::get_if<View>(&state_); }

  // The number of positions, or the record's atom count.
  std::size_t n_atoms() const;

  // Replaces a view by its materialized molecule; see ensure_owned.
  void become_owned(Owned molecule) { state_.emplace<Owned>(std::move(molecule)); }

 private:
  std::variant<Owned, View> state_;
};

using PyMoleculeObject = py::Instance<MoleculeBacking>;

// The class object (type checks and argument extraction:
// py_molecule_class().extract_arg(obj, "molecule")). Callers that read an
// instance's backing take its borrow flag first, shared for reads
// (py::SharedBorrow::take(self->borrow)), then use self->value().
py::Class<MoleculeBacking>& py_molecule_class();

// New PyMolecule objects, or nullptr with an exception set.
PyObject* new_owned_molecule(crivane::atom::Molecule molecule);
PyObject* new_view_molecule(soa::SoaMoleculeView view);

// The owned molecule for changing in place. A view is materialized and
// dropped; on failure the error is materialize's and the backing stays the
// unchanged view. Callers hold the object's exclusive borrow.
crivane::Result<crivane::atom::Molecule*> ensure_owned(MoleculeBacking& backing);
// A private owned copy (a materialized view, or a deep copy); the backing is
// unchanged. Callers hold the shared borrow.
crivane::Result<crivane::atom::Molecule> clone_as_owned(const MoleculeBacking& backing);

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
