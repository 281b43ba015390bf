// PyMolecule: what one instance of the Python class holds, either an owned
// Molecule it can change or a lazy view of one stored record, with the
// instance layout that carries the borrow flag. Reads never change the
// state; the first mutation turns a view into an owned molecule in place.
//
// The class object and its method table are molecule.hpp's; the files that
// contribute methods (molecule_internal.hpp) include only this header.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <variant>

#include "crivane/atom.hpp"
#include "py/class.hpp"
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

// The instance. Callers that read an instance's backing take its borrow
// flag first, shared for reads (py::SharedBorrow::take(self->borrow)), then
// use self->value().
using PyMoleculeObject = py::Instance<MoleculeBacking>;

// The owned molecule for changing in place. A view is materialized and
// dropped; on failure the error is materialize's and the backing stays the
// unchanged view. Callers hold the object's exclusive borrow.
crivane::Result<crivane::atom::Molecule*> ensure_owned(MoleculeBacking& backing);
// A private owned copy (a materialized view, or a deep copy); the backing is
// unchanged. Callers hold the shared borrow.
crivane::Result<crivane::atom::Molecule> clone_as_owned(const MoleculeBacking& backing);

}  // namespace crivane_rs::molecule
