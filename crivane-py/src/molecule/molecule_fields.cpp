// The builtin fields of PyMolecule: getters that read an owned molecule or
// decode one section of a view, and setters that materialize a view first.
#include <string_view>

#include "molecule/molecule_helpers.hpp"
#include "molecule/molecule_internal.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"

namespace crivane_rs::molecule::internal {

using crivane::atom::Molecule;
using crivane::types::FloatArrayData;
using crivane::types::FloatScalarData;
using crivane::types::Mat3Data;
using crivane::types::Vec3Data;
using View = MoleculeBacking::View;

bool present(PyObject* obj) { return obj != nullptr && obj != Py_None; }

// ---- Getters ---------------------------------------------------------------

namespace {

template <class Field>
using FromOwned = PyObject* (*)(const Field&);
using FromSlot = PyObject* (*)(const View&, const soa::BuiltinSlot&, std::string_view);
using SlotOf = const std::optional<soa::BuiltinSlot>& (View::*)() const;

// One optional array field: None when absent, else a new array.
template <class Field>
PyObject* builtin_array(PyMoleculeObject* self, std::optional<Field> Molecule::*field,
                        FromOwned<Field> from_owned, SlotOf slot_of, FromSlot from_slot,
                        std::string_view name) {
  auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  if (const Molecule* m = b.owned()) {
    const std::optional<Field>& value = m->*field;
    return value ? from_owned(*value) : Py_NewRef(Py_None);
  }
  const View& view = *b.view();
  const std::optional<soa::BuiltinSlot>& slot = (view.*slot_of)();
  return slot ? from_slot(view, *slot, name) : Py_NewRef(Py_None);
}

}  // namespace

PyObject* get_forces(PyMoleculeObject* self) {
  return builtin_array<Vec3Data>(self, &Molecule::forces, &helpers::owned_vec3_array,
                                 &View::forces_slot, &helpers::view_builtin_vec3_slot_py, "forces");
}

PyObject* get_charges(PyMoleculeObject* self) {
  return builtin_array<FloatArrayData>(self, &Molecule::charges, &helpers::owned_float_array,
                                       &View::charges_slot,
                                       &helpers::view_builtin_float_array_slot_py, "charges");
}

PyObject* get_velocities(PyMoleculeObject* self) {
  return builtin_array<Vec3Data>(self, &Molecule::velocities, &helpers::owned_vec3_array,
                                 &View::velocities_slot, &helpers::view_builtin_vec3_slot_py,
                                 "velocities");
}

PyObject* get_cell(PyMoleculeObject* self) {
  return builtin_array<Mat3Data>(self, &Molecule::cell, &helpers::owned_mat3x3_array,
                                 &View::cell_slot, &helpers::view_builtin_mat3_slot_py, "cell");
}

PyObject* get_stress(PyMoleculeObject* self) {
  return builtin_array<Mat3Data>(self, &Molecule::stress, &helpers::owned_mat3x3_array,
                                 &View::stress_slot, &helpers::view_builtin_mat3_slot_py, "stress");
}

PyObject* get_energy(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  std::optional<double> energy;
  if (const Molecule* m = b.owned()) {
    if (m->energy) energy = std::visit([](auto v) { return static_cast<double>(v); }, *m->energy);
  } else {
    auto read = b.view()->energy();
    if (!read) return py::raise_engine_error(read.error());
    energy = *read;
  }
  return energy ? PyFloat_FromDouble(*energy) : Py_NewRef(Py_None);
}

PyObject* get_pbc(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  std::optional<std::array<bool, 3>> pbc;
  if (const Molecule* m = b.owned()) {
    pbc = m->pbc;
  } else {
    auto read = b.view()->pbc();
    if (!read) return py::raise_engine_error(read.error());
    pbc = *read;
  }
  if (!pbc) return Py_NewRef(Py_None);
  auto flag = [](bool v) { return v ? Py_True : Py_False; };
  return PyTuple_Pack(3, flag((*pbc)[0]), flag((*pbc)[1]), flag((*pbc)[2]));
}

PyObject* get_positions(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  if (const Molecule* m = b.owned()) return helpers::owned_vec3_array(m->positions);
  const View& view = *b.view();
  return helpers::view_vec3_payload_py(view.positions_bytes(), view.positions_type(),
                                       view.n_atoms(), "positions");
}

PyObject* get_atomic_numbers(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  if (const Molecule* m = b.owned()) {
    return helpers::pyarray1_copy(m->atomic_numbers.data(), m->atomic_numbers.size());
  }
  const crivane::ByteSpan numbers = b.view()->atomic_numbers_bytes();
  return helpers::pyarray1_copy(numbers.data(), numbers.size());
}

// ---- Setters ---------------------------------------------------------------

Molecule* owned_for_change(PyMoleculeObject* self) {
  auto m = ensure_owned(self->value());
  if (!m) return py::raise_engine_error(m.error());
  return *m;
}

int set_energy(PyMoleculeObject* self, PyObject* value) {
  if (value == nullptr) return py::raise_cant_delete();
  std::optional<double> energy;
  if (!py::extract_arg(value, "energy", energy)) return -1;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  if (energy) {
    m->energy = FloatScalarData(std::in_place_index<1>, *energy);
  } else {
    m->energy.reset();
  }
  return 0;
}

int set_pbc(PyMoleculeObject* self, PyObject* value) {
  if (value == nullptr) return py::raise_cant_delete();
  std::optional<std::array<bool, 3>> pbc;
  if (value != Py_None && !py::extract_tuple_arg(value, "pbc", pbc.emplace())) return -1;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  m->pbc = pbc;
  return 0;
}

// forces, velocities: parsed against the current atom count before a view
// is materialized.
namespace {

int set_vec3(PyMoleculeObject* self, PyObject* value, std::optional<Vec3Data> Molecule::*field,
             std::string_view name) {
  if (value == nullptr) return py::raise_cant_delete();
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  Vec3Data parsed;
  if (!py_dtypes::parse_vec3_field(value, name, self->value().n_atoms(), parsed)) return -1;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  m->*field = std::move(parsed);
  return 0;
}

}  // namespace

int set_forces(PyMoleculeObject* self, PyObject* value) {
  return set_vec3(self, value, &Molecule::forces, "Forces");
}

int set_velocities(PyMoleculeObject* self, PyObject* value) {
  return set_vec3(self, value, &Molecule::velocities, "Velocities");
}

int set_charges(PyMoleculeObject* self, PyObject* value) {
  if (value == nullptr) return py::raise_cant_delete();
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  FloatArrayData parsed;
  if (!py_dtypes::parse_float_array_field(value, "Charges", self->value().n_atoms(), parsed)) {
    return -1;
  }
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  m->charges = std::move(parsed);
  return 0;
}

int set_cell(PyMoleculeObject* self, PyObject* value) {
  if (value == nullptr) return py::raise_cant_delete();
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  Mat3Data parsed;
  if (!py_dtypes::parse_mat3_field(value, "Cell", parsed)) return -1;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  m->cell = parsed;
  return 0;
}

// The builtin stress supersedes a per-molecule custom property of that name,
// which records written elsewhere may carry.
int set_stress(PyMoleculeObject* self, PyObject* value) {
  if (value == nullptr) return py::raise_cant_delete();
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return -1;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return -1;
  Mat3Data parsed;
  if (!py_dtypes::parse_mat3_field(value, "Stress", parsed)) return -1;
  m->stress = parsed;
  m->properties.erase(std::string(soa::key_of(soa::BuiltinKey::Stress)));
  return 0;
}

}  // namespace crivane_rs::molecule::internal
