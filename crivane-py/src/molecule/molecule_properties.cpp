// Custom properties of PyMolecule in two scopes (per molecule and per atom),
// item access, and the conversion of property values into Python objects.
// Reads on a view decode only the section asked for; writes materialize it.
#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <string>
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
using crivane::atom::PropertyMap;
using crivane::types::PropertyValue;
using crivane::types::TensorData;
using soa::BuiltinKey;
using soa::key_of;
using View = MoleculeBacking::View;
namespace property = crivane::types::property;

bool parse_custom_property_scope(std::optional<std::string_view> scope, PropertyScope& out) {
  if (!scope) {
    out = PropertyScope::Either;
  } else if (*scope == "atom") {
    out = PropertyScope::Atom;
  } else if (*scope == "molecule") {
    out = PropertyScope::Molecule;
  } else {
    return py::raise_value_error(
        fmt::format("scope must be 'molecule' or 'atom', got '{}'", *scope));
  }
  return true;
}

py::Raised atom_property_shape_error(std::string_view key, std::uint64_t first_dimension,
                                     std::size_t n_atoms) {
  return py::raise_value_error(
      fmt::format("Atom property '{}' first dimension ({}) doesn't match atom "
                  "count ({})",
                  key, first_dimension, n_atoms));
}

// ---- values to Python objects ------------------------------------------------

namespace helpers {
namespace {

PyObject* text_object(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

template <class T>
PyObject* array1(const std::vector<T>& values) {
  return pyarray1_copy(values.data(), values.size());
}

// Rows of three are packed, so they copy as one block into an (n, 3) array.
template <class Row>
PyObject* rows_array(const std::vector<Row>& rows) {
  return py::numpy::copy(rows.empty() ? nullptr : rows.front().data(),
                         {rows.size(), std::size_t{3}})
      .release();
}

template <class T>
PyObject* tensor_array(const crivane::types::Tensor<T>& t) {
  // A shape that fits the values is made in one step; any other goes
  // through NumPy's reshape, whose error is the one to report.
  std::uint64_t product = 1;
  bool fits = t.shape.size() <= NPY_MAXDIMS;
  for (std::uint64_t d : t.shape) fits = fits && !__builtin_mul_overflow(product, d, &product);
  if (fits && product == t.values.size() && product != 0) {
    const std::vector<std::size_t> dims(t.shape.begin(), t.shape.end());
    return py::numpy::copy(t.values.data(), py::numpy::Shape(dims)).release();
  }
  py::Ref flat = py::numpy::copy(t.values.data(), {t.values.size()});
  if (!flat) return nullptr;
  const std::vector<std::size_t> dims(t.shape.begin(), t.shape.end());
  return py::numpy::reshape(std::move(flat), py::numpy::Shape(dims)).release();
}

}  // namespace

PyObject* property_value_to_pyobject(const PropertyValue& value) {
  switch (value.index()) {
    case property::None:
      return Py_NewRef(Py_None);
    case property::Float:
      return PyFloat_FromDouble(std::get<property::Float>(value));
    case property::Int:
      return PyLong_FromLongLong(std::get<property::Int>(value));
    case property::String:
      return text_object(std::get<property::String>(value));
    case property::FloatArray:
      return array1(std::get<property::FloatArray>(value));
    case property::Vec3Array:
      return rows_array(std::get<property::Vec3Array>(value));
    case property::IntArray:
      return array1(std::get<property::IntArray>(value));
    case property::Float32Array:
      return array1(std::get<property::Float32Array>(value));
    case property::Vec3ArrayF64:
      return rows_array(std::get<property::Vec3ArrayF64>(value));
    case property::Int32Array:
      return array1(std::get<property::Int32Array>(value));
    default:
      return std::visit([](const auto& t) { return tensor_array(t); },
                        std::get<property::Tensor>(value));
  }
}

PyObject* property_section_to_pyobject(const View& view, const soa::LazySection& section) {
  auto range = view.custom_payload(section);
  if (!range) return py::raise_engine_error(range.error());
  auto payload = soa::property_section_payload(section.type_tag, *range);
  if (!payload) return py::raise_engine_error(payload.error());
  using Kind = soa::PropertyPayload::Kind;
  switch (payload->kind) {
    case Kind::None:
      return Py_NewRef(Py_None);
    case Kind::Float:
      return PyFloat_FromDouble(payload->float_value);
    case Kind::Int:
      return PyLong_FromLongLong(payload->int_value);
    case Kind::String:
      return text_object(payload->text);
    case Kind::Array:
      return array_from_values(payload->values);
    case Kind::Vec3Rows:
      return array2_from_values(payload->values, payload->values.count() / 3, 3);
    case Kind::Tensor:
      break;
  }
  auto tensor = soa::decode_property_value(section.type_tag, *range);
  if (!tensor) return py::raise_engine_error(tensor.error());
  return property_value_to_pyobject(*tensor);
}

}  // namespace helpers

namespace internal {
namespace {

// ---- lookups -----------------------------------------------------------------

// KeyError "Property '{}' not found" (KeyError shows its argument's repr, so
// the text is the one argument).
py::Raised property_not_found(std::string_view key) {
  return py::raise_error(PyExc_KeyError, fmt::format("Property '{}' not found", key));
}

// The one value a key names, in whichever scope holds it.
PyObject* read_property(const MoleculeBacking& b, std::string_view key) {
  const PropertyValue* in_molecule = nullptr;
  const PropertyValue* in_atoms = nullptr;
  std::optional<soa::LazySection> molecule_section, atom_section;
  if (const Molecule* m = b.owned()) {
    const std::string k(key);
    if (auto it = m->properties.find(k); it != m->properties.end()) in_molecule = &it->second;
    if (auto it = m->atom_properties.find(k); it != m->atom_properties.end()) {
      in_atoms = &it->second;
    }
  } else {
    auto found = b.view()->find_custom_section(soa::SectionKind::MoleculeProperty, key);
    if (!found) return py::raise_engine_error(found.error());
    molecule_section = *found;
    found = b.view()->find_custom_section(soa::SectionKind::AtomProperty, key);
    if (!found) return py::raise_engine_error(found.error());
    atom_section = *found;
  }
  const bool in_both = (in_molecule && in_atoms) || (molecule_section && atom_section);
  if (in_both) {
    return py::raise_value_error(
        fmt::format("Property '{}' exists in both molecule and atom scopes", key));
  }
  if (in_molecule || in_atoms) {
    return helpers::property_value_to_pyobject(in_molecule ? *in_molecule : *in_atoms);
  }
  if (molecule_section || atom_section) {
    return helpers::property_section_to_pyobject(
        *b.view(), molecule_section ? *molecule_section : *atom_section);
  }
  return property_not_found(key);
}

// Whether a map or a view holds the key in the given scope, into `held`;
// false with ValueError set when a section key met on the way is not UTF-8.
bool holds(const MoleculeBacking& b, std::string_view key, PropertyScope scope, bool& held) {
  if (const Molecule* m = b.owned()) {
    const std::string k(key);
    const bool in_molecule = m->properties.contains(k);
    const bool in_atoms = m->atom_properties.contains(k);
    switch (scope) {
      case PropertyScope::Molecule:
        held = in_molecule;
        break;
      case PropertyScope::Atom:
        held = in_atoms;
        break;
      default:
        held = in_molecule || in_atoms;
        break;
    }
    return true;
  }
  auto find = [&](std::uint8_t kind) -> bool {
    auto found = b.view()->find_custom_section(kind, key);
    if (!found) return py::raise_engine_error(found.error());
    held = found->has_value();
    return true;
  };
  if (scope == PropertyScope::Atom) return find(soa::SectionKind::AtomProperty);
  if (!find(soa::SectionKind::MoleculeProperty)) return false;
  if (scope == PropertyScope::Molecule || held) return true;
  return find(soa::SectionKind::AtomProperty);
}

// The number of atoms a per-atom value covers, into `length`: values of a
// flat array, rows of a vec3 array, the first dimension of a tensor. Raises
// for the other variants and for a rank-0 tensor.
bool per_atom_length(const PropertyValue& value, std::string_view key, std::size_t n,
                     std::uint64_t& length) {
  if (auto array_length = helpers::array_like_length(value)) {
    length = *array_length;
    return true;
  }
  if (const auto* tensor = std::get_if<property::Tensor>(&value)) {
    const auto& shape = std::visit(
        [](const auto& t) -> const std::vector<std::uint64_t>& { return t.shape; }, *tensor);
    if (shape.empty()) {
      return py::raise_value_error(
          fmt::format("Atom tensor property '{}' must have at least one dimension", key));
    }
    length = shape.front();
    return true;
  }
  return py::raise_value_error(
      fmt::format("Atom property '{}' must be a numeric ndarray with first dimension equal to atom "
                  "count ({})",
                  key, n));
}

PyObject* read_atom(const MoleculeBacking& b, PyObject* key) {
  // Anything with __index__ that fits a signed pointer-sized integer.
  py::Ref index = py::Ref::steal(PyNumber_Index(key));
  Py_ssize_t i = -1;
  if (index) i = PyLong_AsSsize_t(index.get());
  if (!index || (i == -1 && PyErr_Occurred())) {
    if (!py::drop_ordinary_error()) return nullptr;
    return py::raise_error(PyExc_TypeError, "Molecule indices must be integers or strings");
  }
  const std::size_t n = b.n_atoms();
  const Py_ssize_t at = i < 0 ? i + static_cast<Py_ssize_t>(n) : i;
  if (at < 0 || static_cast<std::size_t>(at) >= n) {
    return py::raise_error(
        PyExc_IndexError,
        fmt::format("Atom index {} out of bounds for molecule of length {}", i, n));
  }
  std::optional<crivane::atom::Atom> atom;
  if (const Molecule* m = b.owned()) {
    atom = m->atom(static_cast<std::size_t>(at));
    if (!atom) return py::raise_value_error("Failed to read atom from owned molecule");
  } else {
    auto read = b.view()->atom_at(static_cast<std::size_t>(at));
    if (!read || !*read) return py::raise_value_error("Failed to read atom from view");
    atom = **read;
  }
  return new_py_atom(*atom);
}

// ---- methods -------------------------------------------------------------------

constexpr py::Signature kGetProperty{"PyMolecule.get_property", {py::arg("key")}};
constexpr py::Signature kSetProperty{"PyMolecule.set_property",
                                     {py::arg("key"), py::arg("value"), py::kwarg("scope")}};
constexpr py::Signature kPropertyKeys{"PyMolecule.property_keys", {py::kwarg("scope")}};
constexpr py::Signature kHasProperty{"PyMolecule.has_property",
                                     {py::arg("key"), py::kwarg("scope")}};
constexpr py::Signature kDeleteProperty{"PyMolecule.delete_property", {py::arg("key")}};

// The scope argument, extracted and parsed.
bool scope_arg(PyObject* obj, PropertyScope& out) {
  std::optional<std::string_view> scope;
  if (!py::extract_arg(obj, "scope", scope)) return false;
  return parse_custom_property_scope(scope, out);
}

}  // namespace

PyObject* get_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  py::Args<kGetProperty.size()> a;
  if (!kGetProperty.bind(args, nargs, kwnames, a)) return nullptr;
  std::string_view key;
  if (!py::extract_arg(a[0], "key", key)) return nullptr;
  auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  return read_property(self->value(), key);
}

PyObject* molecule_getitem(PyMoleculeObject* self, PyObject* key) {
  auto borrow = py::SharedBorrow::take_or_panic(self->borrow);
  if (!borrow) return nullptr;
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data != nullptr) {
      return read_property(self->value(), std::string_view(data, static_cast<std::size_t>(size)));
    }
    // Not representable as UTF-8 (a lone surrogate): not a str key after all.
    if (!py::drop_ordinary_error()) return nullptr;
  }
  return read_atom(self->value(), key);
}

PyObject* has_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  py::Args<kHasProperty.size()> a;
  if (!kHasProperty.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  std::string_view key;
  if (!py::extract_arg(a[0], "key", key)) return nullptr;
  PropertyScope scope;
  if (!scope_arg(a[1], scope)) return nullptr;
  bool held = false;
  if (!holds(self->value(), key, scope, held)) return nullptr;
  return Py_NewRef(held ? Py_True : Py_False);
}

PyObject* property_keys(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  py::Args<kPropertyKeys.size()> a;
  if (!kPropertyKeys.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  PropertyScope scope;
  if (!scope_arg(a[0], scope)) return nullptr;
  const bool molecule_keys = scope != PropertyScope::Atom;
  const bool atom_keys = scope != PropertyScope::Molecule;

  // Views of the keys (map keys or record bytes, both held by the borrow).
  std::vector<std::string_view> keys;
  const MoleculeBacking& b = self->value();
  if (const Molecule* m = b.owned()) {
    keys.reserve((molecule_keys ? m->properties.size() : 0) +
                 (atom_keys ? m->atom_properties.size() : 0));
    if (molecule_keys) {
      for (const auto& entry : m->properties) keys.push_back(entry.first);
    }
    if (atom_keys) {
      for (const auto& entry : m->atom_properties) keys.push_back(entry.first);
    }
  } else {
    const View& view = *b.view();
    for (const soa::LazySection& section : view.custom()) {
      const bool wanted = (molecule_keys && section.kind == soa::SectionKind::MoleculeProperty) ||
                          (atom_keys && section.kind == soa::SectionKind::AtomProperty);
      if (!wanted) continue;
      auto key = view.lazy_section_key(section);
      if (!key) return py::raise_engine_error(key.error());
      keys.push_back(*key);
    }
  }
  // string_view compares bytes as unsigned, a prefix first.
  std::stable_sort(keys.begin(), keys.end());
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* item =
        PyUnicode_DecodeUTF8(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()), nullptr);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* set_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  py::Args<kSetProperty.size()> a;
  if (!kSetProperty.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  std::string key;
  if (!py::extract_arg(a[0], "key", key)) return nullptr;
  PyObject* value = a[1];
  PropertyScope scope;
  if (!scope_arg(a[2], scope)) return nullptr;
  if (key == key_of(BuiltinKey::Stress)) {
    return py::raise_value_error("'stress' is a reserved field; use molecule.stress instead");
  }
  const std::size_t n = self->value().n_atoms();
  // May run the value's own conversion hooks; the molecule is still as it was.
  PropertyValue parsed;
  if (!py_dtypes::parse_property_value(value, parsed)) return nullptr;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return nullptr;

  const bool in_molecule = m->properties.contains(key);
  const bool in_atoms = m->atom_properties.contains(key);
  bool per_atom = scope == PropertyScope::Atom;
  if (in_molecule && in_atoms) {
    return py::raise_value_error(
        fmt::format("Property '{}' exists in both molecule and atom scopes", key));
  }
  if (in_molecule && scope == PropertyScope::Atom) {
    return py::raise_value_error(fmt::format(
        "Property '{}' already exists as a molecule property; delete it before setting atom "
        "scope",
        key));
  }
  if (in_atoms) {
    if (scope == PropertyScope::Molecule) {
      return py::raise_value_error(fmt::format(
          "Property '{}' already exists as an atom property; delete it before setting molecule "
          "scope",
          key));
    }
    per_atom = true;
  }
  if (per_atom) {
    std::uint64_t length = 0;
    if (!per_atom_length(parsed, key, n, length)) return nullptr;
    if (length != n) return atom_property_shape_error(key, length, n);
    m->atom_properties.insert_or_assign(std::move(key), std::move(parsed));
  } else {
    m->properties.insert_or_assign(std::move(key), std::move(parsed));
  }
  return Py_NewRef(Py_None);
}

PyObject* delete_property(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  py::Args<kDeleteProperty.size()> a;
  if (!kDeleteProperty.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  std::string key;
  if (!py::extract_arg(a[0], "key", key)) return nullptr;
  Molecule* m = owned_for_change(self);
  if (m == nullptr) return nullptr;
  if (auto it = m->properties.find(key); it != m->properties.end()) {
    m->properties.erase(it);
    if (auto at = m->atom_properties.find(key); at != m->atom_properties.end()) {
      m->atom_properties.erase(at);
    }
    return Py_NewRef(Py_None);
  }
  if (auto it = m->atom_properties.find(key); it != m->atom_properties.end()) {
    m->atom_properties.erase(it);
    return Py_NewRef(Py_None);
  }
  return property_not_found(key);
}

}  // namespace internal
}  // namespace crivane_rs::molecule
