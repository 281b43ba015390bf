#include "molecule/molecule_object.hpp"

#include <utility>

namespace crivane_rs::molecule {

using crivane::atom::Molecule;

std::size_t MoleculeBacking::n_atoms() const {
  if (const Owned* m = owned()) return m->n_atoms();
  return view()->n_atoms();
}

crivane::Result<Molecule*> ensure_owned(MoleculeBacking& backing) {
  if (Molecule* m = backing.owned()) return m;
  auto made = backing.view()->materialize();
  if (!made) return crivane::unexpected(std::move(made).error());
  backing.become_owned(std::move(made).value());
  return backing.owned();
}

crivane::Result<Molecule> clone_as_owned(const MoleculeBacking& backing) {
  if (const Molecule* m = backing.owned()) return Molecule(*m);
  return backing.view()->materialize();
}

}  // namespace crivane_rs::molecule
