// The ASE payload: one 11-tuple with the builtin fields of a molecule and
// two dicts of custom properties, one for ASE's per-atom arrays and one for
// its info dict. A view is read section by section and stays a view.
#include <array>
#include <string_view>

#include "crivane/storage/dtypes.hpp"
#include "molecule/molecule_internal.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/ref.hpp"

namespace crivane_rs::molecule {

using crivane::atom::Molecule;
using View = MoleculeBacking::View;
namespace dtypes = crivane::storage::dtypes;

namespace helpers {

bool is_reserved_ase_array_key(std::string_view key) {
  static constexpr std::string_view reserved[] = {
      "positions", "numbers", "charges", "pbc", "cell", "energy", "forces", "stress", "velocities"};
  for (std::string_view r : reserved) {
    if (key == r) return true;
  }
  return false;
}

namespace {

struct Dicts {
  PyObject* arrays;
  PyObject* info;
  bool copy_arrays;
  bool copy_info;
};

// Converts the value only when it has somewhere to go.
template <class Convert>
bool put(PyObject* dict, std::string_view key, Convert convert) {
  py::Ref name = py::Ref::steal(
      PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
  if (!name) return false;
  py::Ref value = py::Ref::steal(convert());
  if (!value) return false;
  return PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

// Where a property goes: arrays, info, or nowhere (nullptr).
PyObject* destination(const Dicts& d, std::uint8_t kind, std::string_view key,
                      bool matches_atom_count) {
  const bool reserved = is_reserved_ase_array_key(key);
  if (kind == soa::SectionKind::AtomProperty)
    return d.copy_arrays && !reserved ? d.arrays : nullptr;
  if (d.copy_arrays && matches_atom_count && !reserved) return d.arrays;
  return d.copy_info ? d.info : nullptr;
}

bool append_owned_ase_properties(const Molecule& m, const Dicts& d) {
  const std::size_t n = m.n_atoms();
  for (const auto& [key, value] : m.atom_properties) {
    PyObject* dict = destination(d, soa::SectionKind::AtomProperty, key, false);
    if (dict != nullptr &&
        !put(dict, key, [&v = value] { return property_value_to_pyobject(v); })) {
      return false;
    }
  }
  for (const auto& [key, value] : m.properties) {
    const auto length = array_like_length(value);
    PyObject* dict =
        destination(d, soa::SectionKind::MoleculeProperty, key, length && *length == n);
    if (dict != nullptr &&
        !put(dict, key, [&v = value] { return property_value_to_pyobject(v); })) {
      return false;
    }
  }
  return true;
}

bool append_view_ase_properties(const View& view, const Dicts& d) {
  const std::size_t n = view.n_atoms();
  for (const soa::LazySection& section : view.custom()) {
    auto key = view.lazy_section_key(section);
    if (!key) return py::raise_engine_error(key.error());
    if (section.kind != soa::SectionKind::AtomProperty &&
        section.kind != soa::SectionKind::MoleculeProperty) {
      continue;
    }
    // Array-like tags (kF64Array to kI32Array) match when the payload holds n
    // elements.
    const std::uint8_t t = section.type_tag;
    const bool array_like = t >= dtypes::tag::kF64Array && t <= dtypes::tag::kI32Array;
    const bool matches = array_like && section.payload_len == n * dtypes::element_size(t);
    PyObject* dict = destination(d, section.kind, *key, matches);
    if (dict != nullptr &&
        !put(dict, *key, [&] { return property_section_to_pyobject(view, section); })) {
      return false;
    }
  }
  return true;
}

// An empty dict becomes None.
PyObject* dict_or_none(py::Ref dict) {
  if (PyDict_GET_SIZE(dict.get()) == 0) return Py_NewRef(Py_None);
  return dict.release();
}

}  // namespace
}  // namespace helpers

namespace internal {
namespace {

constexpr py::Signature kAseBuiltinTupleFast{"PyMolecule._ase_builtin_tuple_fast",
                                             {py::kwarg("copy_info"), py::kwarg("copy_arrays")}};
constexpr py::Signature kAsePayload{"PyMolecule._ase_payload",
                                    {py::kwarg("copy_info"), py::kwarg("copy_arrays")}};

PyObject* ase_tuple(PyMoleculeObject* self, const py::Args<2>& a) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  bool copy_info = true;
  bool copy_arrays = true;
  if (a[0] != nullptr && !py::extract_arg(a[0], "copy_info", copy_info)) return nullptr;
  if (a[1] != nullptr && !py::extract_arg(a[1], "copy_arrays", copy_arrays)) return nullptr;

  // Elements 0 to 8 are what the properties of the same names return.
  using Getter = PyObject* (*)(PyMoleculeObject*);
  static constexpr Getter getters[] = {
      &get_atomic_numbers, &get_positions, &get_cell,   &get_pbc,    &get_velocities,
      &get_energy,         &get_forces,    &get_stress, &get_charges};
  std::array<py::Ref, 11> items;
  for (std::size_t i = 0; i < std::size(getters); ++i) {
    items[i] = py::Ref::steal(getters[i](self));
    if (!items[i]) return nullptr;
  }

  const MoleculeBacking& b = self->value();
  const Molecule* m = b.owned();
  const bool has_custom = m != nullptr ? !m->atom_properties.empty() || !m->properties.empty()
                                       : !b.view()->custom().empty();
  if ((copy_info || copy_arrays) && has_custom) {
    py::Ref arrays = py::Ref::steal(PyDict_New());
    if (!arrays) return nullptr;
    py::Ref info = py::Ref::steal(PyDict_New());
    if (!info) return nullptr;
    const helpers::Dicts dicts{arrays.get(), info.get(), copy_arrays, copy_info};
    const bool filled = m != nullptr ? helpers::append_owned_ase_properties(*m, dicts)
                                     : helpers::append_view_ase_properties(*b.view(), dicts);
    if (!filled) return nullptr;
    items[9] = py::Ref::steal(helpers::dict_or_none(std::move(arrays)));
    items[10] = py::Ref::steal(helpers::dict_or_none(std::move(info)));
  } else {
    items[9] = py::Ref::new_ref(Py_None);
    items[10] = py::Ref::new_ref(Py_None);
  }

  py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  }
  return tuple.release();
}

}  // namespace

PyObject* ase_builtin_tuple_fast(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  py::Args<kAseBuiltinTupleFast.size()> a;
  if (!kAseBuiltinTupleFast.bind(args, nargs, kwnames, a)) return nullptr;
  return ase_tuple(self, a);
}

PyObject* ase_payload(PyMoleculeObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  py::Args<kAsePayload.size()> a;
  if (!kAsePayload.bind(args, nargs, kwnames, a)) return nullptr;
  return ase_tuple(self, a);
}

}  // namespace internal
}  // namespace crivane_rs::molecule
