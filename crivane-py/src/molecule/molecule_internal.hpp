// What the files of PyMolecule share: the functions each file contributes to
// the class's method and property tables, which molecule.cpp assembles.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "crivane/atom.hpp"
#include "molecule/molecule_object.hpp"
#include "py/errors.hpp"

namespace crivane_rs::molecule::internal {

// Whether an optional argument was given as something other than None.
bool present(PyObject* obj);

// The owned molecule for a change in place (a setter, set_property,
// delete_property): ensure_owned, whose failure is raised, nullptr then.
// Callers hold the exclusive borrow.
crivane::atom::Molecule* owned_for_change(PyMoleculeObject* self);

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

// Pickling (molecule_pickle.cpp).
PyObject* molecule_reduce(PyMoleculeObject* self);

// The ASE payload (molecule_ase.cpp); two names for one operation.
PyObject* ase_builtin_tuple_fast(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* ase_payload(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// Custom properties and item access (molecule_properties.cpp).
PyObject* get_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* set_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* property_keys(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* has_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* delete_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* molecule_getitem(PyMoleculeObject* self, PyObject* key);

}  // namespace crivane_rs::molecule::internal

namespace crivane_rs::molecule {

// Which map of custom properties a call looks at: `properties` (section
// kind 2), `atom_properties` (kind 1), or both.
enum class PropertyScope { Molecule, Atom, Either };

// None gives Either, "molecule" and "atom" their scope; any other text
// raises ValueError "scope must be 'molecule' or 'atom', got '{}'".
bool parse_custom_property_scope(std::optional<std::string_view> scope, PropertyScope& out);

// Raises ValueError "Atom property '{}' first dimension ({}) doesn't match
// atom count ({})".
py::Raised atom_property_shape_error(std::string_view key, std::uint64_t first_dimension,
                                     std::size_t n_atoms);

}  // namespace crivane_rs::molecule

namespace crivane_rs::molecule::helpers {

// A custom property value as a new Python object: None, float, int, str, or
// a new NumPy array of the value's dtype and shape that aliases nothing.
// A tensor whose shape does not fit its values (possible only for a pickled
// one) raises NumPy's reshape error as ValueError.
PyObject* property_value_to_pyobject(const crivane::types::PropertyValue& value);

// The same straight from a view's custom section, decoding only its payload;
// a payload that does not fit its type tag raises ValueError.
PyObject* property_section_to_pyobject(const soa::SoaMoleculeView& view,
                                       const soa::LazySection& section);

// The number of elements of an array-like value (rows of a vec3 array);
// nothing for scalars, text, null and tensors.
inline std::optional<std::size_t> array_like_length(const crivane::types::PropertyValue& value) {
  namespace property = crivane::types::property;
  switch (value.index()) {
    case property::FloatArray:
      return std::get<property::FloatArray>(value).size();
    case property::Vec3Array:
      return std::get<property::Vec3Array>(value).size();
    case property::IntArray:
      return std::get<property::IntArray>(value).size();
    case property::Float32Array:
      return std::get<property::Float32Array>(value).size();
    case property::Vec3ArrayF64:
      return std::get<property::Vec3ArrayF64>(value).size();
    case property::Int32Array:
      return std::get<property::Int32Array>(value).size();
    default:
      return std::nullopt;
  }
}

// Custom property keys that never go into the ASE arrays dict: the names of
// ASE's own per-atom arrays and builtin fields.
bool is_reserved_ase_array_key(std::string_view key);

}  // namespace crivane_rs::molecule::helpers
