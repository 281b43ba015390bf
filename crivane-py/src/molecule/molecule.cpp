#include "molecule/molecule.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "atom.hpp"
#include "molecule/molecule_helpers.hpp"
#include "molecule/molecule_internal.hpp"
#include "molecule/py_dtypes.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/ref.hpp"

namespace crivane_rs::molecule {

using crivane::atom::Molecule;
using crivane::types::FloatArrayData;
using crivane::types::FloatScalarData;
using crivane::types::Mat3Data;
using crivane::types::Vec3Data;
using View = MoleculeBacking::View;
using namespace internal;

namespace {

// A one-dimensional array whose dtype is equivalent to uint8, any stride.
PyArrayObject* extract_atomic_numbers(PyObject* obj) {
  if (!py::ensure_numpy()) return nullptr;
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) == 1 && py_dtypes::dtype_is(array, NPY_UINT8)) return array;
  }
  py::set_downcast_error(obj, "PyArray<T, D>");
  py::remap_arg_error("atomic_numbers");
  return nullptr;
}

}  // namespace

bool molecule_from_numpy_arrays(PyObject* positions, PyArrayObject* atomic_numbers, Molecule& out) {
  if (!py_dtypes::check_in_place(atomic_numbers)) return false;
  std::vector<std::uint8_t> numbers(static_cast<std::size_t>(PyArray_SIZE(atomic_numbers)));
  if (!numbers.empty()) py_dtypes::copy_array_values(atomic_numbers, numbers.data());
  Vec3Data rows;
  if (!py_dtypes::parse_positions_field(positions, rows)) return false;
  auto made = std::visit(
      [&]<class Row>(std::vector<Row>& r) {
        if constexpr (std::is_same_v<Row, crivane::types::Vec3F32>) {
          return Molecule::create(std::move(r), std::move(numbers));
        } else {
          return Molecule::create_f64(std::move(r), std::move(numbers));
        }
      },
      rows);
  if (!made) return py::raise_value_error(made.error());
  out = std::move(made).value();
  return true;
}

bool from_arrays_impl(PyObject* positions, PyArrayObject* atomic_numbers,
                      std::optional<double> energy, PyObject* forces, PyObject* charges,
                      PyObject* velocities, PyObject* cell, PyObject* stress,
                      std::optional<std::array<bool, 3>> pbc, std::optional<std::string> name,
                      Molecule& out) {
  Molecule m;
  if (!molecule_from_numpy_arrays(positions, atomic_numbers, m)) return false;
  m.name = std::move(name);
  if (energy) m.energy = FloatScalarData(std::in_place_index<1>, *energy);
  m.pbc = pbc;
  const std::size_t n = m.n_atoms();
  if (present(forces)) {
    if (!py_dtypes::parse_vec3_field(forces, "forces", n, m.forces.emplace())) return false;
  }
  if (present(charges)) {
    if (!py_dtypes::parse_float_array_field(charges, "charges", n, m.charges.emplace())) {
      return false;
    }
  }
  if (present(velocities)) {
    if (!py_dtypes::parse_vec3_field(velocities, "velocities", n, m.velocities.emplace())) {
      return false;
    }
  }
  if (present(cell)) {
    if (!py_dtypes::parse_mat3_field(cell, "cell", m.cell.emplace())) return false;
  }
  if (present(stress)) {
    if (!py_dtypes::parse_mat3_field(stress, "stress", m.stress.emplace())) return false;
  }
  out = std::move(m);
  return true;
}

namespace {

// ---- Construction ----------------------------------------------------------

#define CRIVANE_RS_MOLECULE_PARAMS                                                             \
  {                                                                                            \
    py::arg("positions"), py::arg("atomic_numbers"), py::kwarg("energy"), py::kwarg("forces"), \
        py::kwarg("charges"), py::kwarg("velocities"), py::kwarg("cell"), py::kwarg("stress"), \
        py::kwarg("pbc"), py::kwarg("name")                                                    \
  }
constexpr py::Signature kNew{"PyMolecule.__new__", CRIVANE_RS_MOLECULE_PARAMS};
constexpr py::Signature kFromArrays{"PyMolecule.from_arrays", CRIVANE_RS_MOLECULE_PARAMS};
#undef CRIVANE_RS_MOLECULE_PARAMS
using ConstructorArgs = py::Args<kNew.size()>;

// Converts in the order atomic_numbers, energy, pbc, name; the array fields
// are parsed by from_arrays_impl.
bool construct(const ConstructorArgs& a, Molecule& out) {
  PyArrayObject* numbers = extract_atomic_numbers(a[1]);
  if (numbers == nullptr) return false;
  // energy's conversion can run the caller's code (__float__), and every
  // array is read after it.
  py::numpy::AcceptedArrays accepted;
  PyObject* arrays[] = {a[0], reinterpret_cast<PyObject*>(numbers), a[3], a[4], a[5], a[6], a[7]};
  for (PyObject*& array : arrays) {
    if (array != nullptr && !accepted.accept(array)) return false;
  }
  std::optional<double> energy;
  if (!py::extract_arg(a[2], "energy", energy)) return false;
  std::optional<std::array<bool, 3>> pbc;
  if (present(a[8]) && !py::extract_tuple_arg(a[8], "pbc", pbc.emplace())) return false;
  std::optional<std::string> name;
  if (!py::extract_arg(a[9], "name", name)) return false;
  return from_arrays_impl(arrays[0], reinterpret_cast<PyArrayObject*>(arrays[1]), energy, arrays[2],
                          arrays[3], arrays[4], arrays[5], arrays[6], pbc, std::move(name), out);
}

PyObject* molecule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ConstructorArgs a;
  if (!kNew.bind(args, kwargs, a)) return nullptr;
  Molecule m;
  if (!construct(a, m)) return nullptr;
  return py::Class<MoleculeBacking>::create_in(type, std::move(m));
}

PyObject* molecule_from_arrays(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ConstructorArgs a;
  if (!kFromArrays.bind(args, nargs, kwnames, a)) return nullptr;
  Molecule m;
  if (!construct(a, m)) return nullptr;
  return new_owned_molecule(std::move(m));
}

// ---- Slots and methods -----------------------------------------------------

Py_ssize_t molecule_len(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(self->value().n_atoms());
}

PyObject* molecule_repr(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  bool has_forces, has_energy;
  if (const Molecule* m = b.owned()) {
    has_forces = m->forces.has_value();
    has_energy = m->energy.has_value();
  } else {
    has_forces = b.view()->forces_slot().has_value();
    has_energy = b.view()->energy_slot().has_value();
  }
  std::string text = fmt::format("Molecule(n_atoms={}, has_forces={}, has_energy={})", b.n_atoms(),
                                 has_forces, has_energy);
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* molecule_atoms(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  const MoleculeBacking& b = self->value();
  std::vector<crivane::atom::Atom> atoms;
  if (const Molecule* m = b.owned()) {
    atoms = m->to_atoms();
  } else {
    // The whole record, custom sections included: a record that does not
    // materialize has no atoms to give either.
    auto copy = clone_as_owned(b);
    if (!copy) return py::raise_engine_error(copy.error());
    atoms = copy->to_atoms();
  }
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(atoms.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    PyObject* atom = new_py_atom(atoms[i]);
    if (atom == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), atom);
  }
  return list.release();
}

PyObject* molecule_to_owned(PyMoleculeObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  auto copy = clone_as_owned(self->value());
  if (!copy) return py::raise_engine_error(copy.error());
  return new_owned_molecule(std::move(copy).value());
}

// ---- The class -------------------------------------------------------------

constexpr py::NoParams kAtoms{"PyMolecule.atoms"};
constexpr py::NoParams kToOwned{"PyMolecule.to_owned"};
constexpr py::NoParams kReduce{"PyMolecule.__reduce__"};

PyMethodDef methods[] = {
    py::method<&molecule_from_arrays>(
        "from_arrays",
        "from_arrays(positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
        "velocities=None, cell=None, stress=None, pbc=None, name=None)\n--\n\n"
        "Create a molecule from numpy arrays."),
    py::method<&molecule_atoms, kAtoms>("atoms", "atoms($self)\n--\n\nGet atoms as a list"),
    py::method<&molecule_to_owned, kToOwned>(
        "to_owned",
        "to_owned($self)\n--\n\nMaterialize the molecule into an owned, self-contained object."),
    py::method<&molecule_reduce, kReduce>("__reduce__", "__reduce__($self)\n--\n\n"),
    py::method<&ase_builtin_tuple_fast>(
        "_ase_builtin_tuple_fast",
        "_ase_builtin_tuple_fast($self, *, copy_info=True, copy_arrays=True)\n--\n\n"),
    py::method<&ase_payload>("_ase_payload",
                             "_ase_payload($self, *, copy_info=True, copy_arrays=True)\n--\n\n"),
    py::method<&get_property>("get_property",
                              "get_property($self, key)\n--\n\nGet a custom property by key"),
    py::method<&set_property>(
        "set_property",
        "set_property($self, key, value, *, scope=None)\n--\n\nSet a custom property"),
    py::method<&property_keys>("property_keys",
                               "property_keys($self, *, scope=None)\n--\n\nGet all property keys"),
    py::method<&has_property>(
        "has_property",
        "has_property($self, key, *, scope=None)\n--\n\nCheck if a property exists"),
    py::method<&delete_property>(
        "delete_property", "delete_property($self, key)\n--\n\nDelete a custom property by key."),
    py::kEndMethods,
};

PyGetSetDef properties[] = {
    py::property<&get_forces, &set_forces>("forces", "forces property (getter)"),
    py::property<&get_energy, &set_energy>("energy", "Get energy"),
    py::property<&get_charges, &set_charges>("charges", "charges property (getter)"),
    py::property<&get_velocities, &set_velocities>("velocities", "velocities property (getter)"),
    py::property<&get_cell, &set_cell>("cell", "cell property (getter)"),
    py::property<&get_stress, &set_stress>("stress", "stress property (getter)"),
    py::property<&get_pbc, &set_pbc>("pbc", "pbc property (getter)"),
    py::property<&get_positions>("positions", "positions property (read-only)"),
    py::property<&get_atomic_numbers>("atomic_numbers", "atomic_numbers property (read-only)"),
    py::kEndProperties,
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PyMolecule(positions, atomic_numbers, *, energy=None, forces=None, "
                       "charges=None, velocities=None, cell=None, stress=None, pbc=None, "
                       "name=None)\n--\n\nPython wrapper for Molecule")},
    {Py_tp_new, py::slot<&molecule_new>()},
    {Py_tp_dealloc, py::Class<MoleculeBacking>::dealloc_slot()},
    {Py_tp_repr, py::slot<&molecule_repr>()},
    {Py_sq_length, py::slot<&molecule_len>()},
    {Py_mp_subscript, py::slot<&molecule_getitem>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyMolecule", sizeof(PyMoleculeObject), 0, Py_TPFLAGS_DEFAULT, slots};

py::Class<MoleculeBacking> the_class{&spec};

}  // namespace

py::Class<MoleculeBacking>& py_molecule_class() { return the_class; }

PyObject* new_owned_molecule(Molecule molecule) { return the_class.create(std::move(molecule)); }

PyObject* new_view_molecule(soa::SoaMoleculeView view) { return the_class.create(std::move(view)); }

}  // namespace crivane_rs::molecule
