// The methods of PyAtomDatabase but add_arrays_batch (database_batch) and
// get_molecules_flat (database_flat), and the method table that lists all.
#include "database/database.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "crivane/compression.hpp"
#include "crivane/storage/file.hpp"
#include "database/database_batch.hpp"
#include "database/database_flat.hpp"
#include "molecule/molecule.hpp"
#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"

namespace crivane_rs::database {

using crivane::compression::CompressionType;
using crivane::storage::AtomDatabase;
using molecule::MoleculeBacking;
using molecule::PyMoleculeObject;
using soa::SoaContext;
using View = soa::SoaMoleculeView;

namespace {

// ---- Creating and opening ----------------------------------------------------

constexpr py::Signature kNew{
    "PyAtomDatabase.__new__",
    {py::arg("path"), py::opt("compression"), py::opt("level"), py::opt("overwrite")}};
constexpr py::Signature kOpen{"PyAtomDatabase.open",
                              {py::arg("path"), py::opt("mmap"), py::opt("populate")}};

// The codec a compression name stands for, after Unicode lower-casing
// (str.lower, so that "ZSTD" and "Lz4" are accepted as well).
bool parse_compression(PyObject* name, std::int32_t level, CompressionType& out) {
  py::Ref lowered = py::Ref::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", name));
  if (!lowered) return false;
  std::string_view text;
  if (!py::extract(lowered.get(), text)) return false;
  if (text == "none") {
    out = CompressionType::None();
  } else if (text == "lz4") {
    out = CompressionType::Lz4();
  } else if (text == "zstd") {
    out = CompressionType::Zstd(level);
  } else {
    return py::raise_value_error("Invalid compression type");
  }
  return true;
}

// Whether something (a file, a directory, the target of a symbolic link) is
// at `path`. A failed look-up counts as nothing there.
bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

py::Raised file_exists_error(const std::string& path) {
  return py::raise_error(
      PyExc_FileExistsError,
      fmt::format(
          "Database file already exists at '{}'. Use Database.open(path) for read-only access, "
          "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it.",
          path));
}

PyObject* database_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  py::Args<kNew.size()> a;
  if (!kNew.bind(args, kwargs, a)) return nullptr;
  std::string path;
  if (!py::extract_arg(a[0], "path", path)) return nullptr;
  std::string_view compression_text;
  if (a[1] != nullptr && !py::extract_arg(a[1], "compression", compression_text)) return nullptr;
  std::int32_t level = 3;
  if (a[2] != nullptr && !py::extract_arg(a[2], "level", level)) return nullptr;
  bool overwrite = false;
  if (a[3] != nullptr && !py::extract_arg(a[3], "overwrite", overwrite)) return nullptr;

  CompressionType compression = CompressionType::None();
  if (a[1] != nullptr && !parse_compression(a[1], level, compression)) return nullptr;

  // A NUL would cut the path short for the look-up below.
  if (auto checked = crivane::storage::check_path(path); !checked) {
    return py::raise_engine_error(checked.error());
  }
  // The look-up only spares the work of a creation that will be refused;
  // the engine's refusal is what holds when the name is taken meanwhile.
  if (!overwrite && path_exists(path)) return file_exists_error(path);
  auto db = AtomDatabase::create_with_format(
      std::filesystem::path(path), compression,
      overwrite ? AtomDatabase::Existing::Replace : AtomDatabase::Existing::Refuse);
  if (!db) {
    if (!overwrite && db.error() == crivane::Error::io_errno(EEXIST)) {
      return file_exists_error(path);
    }
    return py::raise_engine_error(db.error());
  }
  return py::Class<PyAtomDatabase>::create_in(type, std::move(db).value());
}

PyObject* database_open(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::Args<kOpen.size()> a;
  if (!kOpen.bind(args, nargs, kwnames, a)) return nullptr;
  std::string path;
  if (!py::extract_arg(a[0], "path", path)) return nullptr;
  bool mmap = true;
  if (a[1] != nullptr && !py::extract_arg(a[1], "mmap", mmap)) return nullptr;
  bool populate = false;
  if (a[2] != nullptr && !py::extract_arg(a[2], "populate", populate)) return nullptr;
  if (populate && !mmap) return py::raise_value_error("populate=True requires mmap=True");
  auto db = AtomDatabase::open_with_options(std::filesystem::path(path), mmap, populate);
  if (!db) return py::raise_engine_error(db.error());
  return py_database_class().create(std::move(db).value());
}

// ---- Appending -----------------------------------------------------------------

constexpr py::Signature kAddMolecule{"PyAtomDatabase.add_molecule", {py::arg("molecule")}};
constexpr py::Signature kAddMolecules{"PyAtomDatabase.add_molecules", {py::arg("molecules")}};

// A view's record goes in as it is stored (no re-encoding), under the schema
// its sections stand for; only the compression is this database's own.
PyObject* database_add_molecule(PyAtomDatabaseObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  py::Args<kAddMolecule.size()> a;
  if (!kAddMolecule.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  PyMoleculeObject* mol = molecule::py_molecule_class().extract_arg(a[0], "molecule");
  if (mol == nullptr) return nullptr;
  auto mol_borrow = py::SharedBorrow::take(mol->borrow);
  if (!mol_borrow) return nullptr;

  AtomDatabase& db = self->value().db;
  const MoleculeBacking& backing = mol->value();
  if (const View* view = backing.view()) {
    auto schema = view->database_schema();
    if (!schema) return py::raise_engine_error(schema.error());
    const crivane::storage::BorrowedRecord record{view->record(), view->n_atoms()};
    auto added = db.add_raw_soa_records_with_schema({&record, 1}, *schema);
    if (!added) return py::raise_engine_error(added.error());
  } else {
    auto added = db.add_molecule(*backing.owned());
    if (!added) return py::raise_engine_error(added.error());
  }
  Py_RETURN_NONE;
}

// The view records of the list are appended first, as one append, then the
// owned molecules as a second; a failure of the second leaves the first.
PyObject* database_add_molecules(PyAtomDatabaseObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  py::Args<kAddMolecules.size()> a;
  if (!kAddMolecules.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;

  std::vector<py::Ref> objects;
  const bool converted = py::extract_sequence(a[0], objects, [](PyObject* item, py::Ref& out) {
    if (molecule::py_molecule_class().extract(item) == nullptr) return false;
    out = py::Ref::new_ref(item);
    return true;
  });
  if (!converted) {
    py::remap_arg_error("molecules");
    return nullptr;
  }

  // Every molecule stays borrowed (shared) until the engine is done with its
  // bytes or its fields, so none of them is copied.
  std::vector<py::SharedBorrow> borrows;
  borrows.reserve(objects.size());
  std::vector<const View*> views;
  std::vector<const crivane::atom::Molecule*> owned;
  owned.reserve(objects.size());
  for (const py::Ref& obj : objects) {
    PyMoleculeObject* mol = PyMoleculeObject::of(obj.get());
    borrows.push_back(py::SharedBorrow::take(mol->borrow));
    if (!borrows.back()) return nullptr;
    const MoleculeBacking& backing = mol->value();
    if (const View* view = backing.view()) {
      views.push_back(view);
    } else {
      owned.push_back(backing.owned());
    }
  }

  AtomDatabase& db = self->value().db;
  if (!views.empty()) {
    bool same = true;
    for (std::size_t i = 1; i < views.size() && same; ++i) {
      auto equal = views.front()->same_schema_as(*views[i]);
      if (!equal) return py::raise_engine_error(equal.error());
      same = *equal;
    }
    if (same) {
      auto schema = views.front()->database_schema();
      if (!schema) return py::raise_engine_error(schema.error());
      std::vector<crivane::storage::BorrowedRecord> records;
      records.reserve(views.size());
      for (const View* v : views) records.push_back({v->record(), v->n_atoms()});
      auto added = db.add_raw_soa_records_with_schema(records, *schema);
      if (!added) return py::raise_engine_error(added.error());
    } else {
      // Each record's schema is then derived from its own bytes.
      std::vector<crivane::storage::RecordWithPositionsType> records;
      records.reserve(views.size());
      for (const View* v : views)
        records.push_back({v->record(), v->n_atoms(), v->positions_type()});
      auto added = db.add_raw_soa_records_with_positions_type(records);
      if (!added) return py::raise_engine_error(added.error());
    }
  }
  if (!owned.empty()) {
    auto added = db.add_molecules(std::span<const crivane::atom::Molecule* const>(owned));
    if (!added) return py::raise_engine_error(added.error());
  }
  Py_RETURN_NONE;
}

PyObject* database_flush(PyAtomDatabaseObject* self) {
  auto borrow = py::ExclusiveBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  auto flushed = self->value().db.flush();
  if (!flushed) return py::raise_engine_error(flushed.error());
  Py_RETURN_NONE;
}

// ---- Reading -------------------------------------------------------------------

constexpr py::Signature kGetMolecule{"PyAtomDatabase.get_molecule", {py::arg("index")}};
constexpr py::Signature kGetMolecules{"PyAtomDatabase.get_molecules", {py::arg("indices")}};

// The body of get_molecule and db[index], with the shared borrow held.
PyObject* molecule_at(const PyAtomDatabase& database, PyObject* index_obj) {
  std::size_t index = 0;
  if (!py::extract_arg(index_obj, "index", index)) return nullptr;
  const std::size_t len = database.db.len();
  if (index >= len) {
    return py::raise_error(
        PyExc_IndexError,
        fmt::format("Index {} out of bounds for database of length {}", index, len));
  }
  SoaContext context;
  if (!database.soa_context(context)) return nullptr;
  return database.get_molecule(index, context);
}

PyObject* database_get_molecule(PyAtomDatabaseObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  py::Args<kGetMolecule.size()> a;
  if (!kGetMolecule.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  return molecule_at(self->value(), a[0]);
}

PyObject* database_subscript(PyAtomDatabaseObject* self, PyObject* key) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  return molecule_at(self->value(), key);
}

// Takes over the views, in order, as new view-state molecules.
PyObject* molecule_list(std::vector<View>& views) {
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(views.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < views.size(); ++i) {
    PyObject* mol = molecule::new_view_molecule(std::move(views[i]));
    if (mol == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), mol);
  }
  return list.release();
}

PyObject* database_get_molecules(PyAtomDatabaseObject* self, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  py::Args<kGetMolecules.size()> a;
  if (!kGetMolecules.bind(args, nargs, kwnames, a)) return nullptr;
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return nullptr;
  std::vector<std::size_t> indices;
  if (!py::extract_arg(a[0], "indices", indices)) return nullptr;
  if (indices.empty()) return PyList_New(0);

  const PyAtomDatabase& database = self->value();
  SoaContext context;
  if (!database.soa_context(context)) return nullptr;

  std::vector<View> views;
  views.reserve(indices.size());
  if (database.db.reads_through_mapping()) {
    auto loaded = py::allow_threads([&] { return database.molecule_views(indices, context); });
    // Every record was loaded; the first failure in request order is the one
    // reported, whichever worker met it first.
    for (auto& view : loaded) {
      if (!view) return py::raise_engine_error(view.error());
      views.push_back(std::move(view).value());
    }
  } else {
    auto raw = py::allow_threads([&] { return database.db.get_raw_bytes(indices); });
    if (!raw) return py::raise_engine_error(raw.error());
    for (std::size_t i = 0; i < indices.size(); ++i) {
      if (i >= raw->size()) {
        return py::raise_value_error(fmt::format("Missing raw bytes for molecule {}", indices[i]));
      }
      auto view = View::from_bytes(std::move((*raw)[i]), context);
      if (!view) {
        return py::raise_value_error("Invalid data: ValueError: " + view.error().to_string());
      }
      if (auto checked = view->check_index_atoms(database.db, indices[i]); !checked) {
        return py::raise_engine_error(checked.error());
      }
      views.push_back(std::move(view).value());
    }
  }
  return molecule_list(views);
}

Py_ssize_t database_len(PyAtomDatabaseObject* self) {
  auto borrow = py::SharedBorrow::take(self->borrow);
  if (!borrow) return -1;
  const std::size_t len = self->value().db.len();
  if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
  }
  return static_cast<Py_ssize_t>(len);
}

// ---- The class -----------------------------------------------------------------

constexpr py::NoParams kFlush{"PyAtomDatabase.flush"};

PyMethodDef methods[] = {
    py::method<&database_open>(
        "open",
        "open(path, mmap=True, populate=False)\n--\n\nOpen an existing database.\n\n"
        "By default this uses a memory-mapped index and is read-only. Reopen with\n"
        "`mmap=False` if you need to append molecules."),
    py::method<&database_add_molecule>(
        "add_molecule", "add_molecule($self, molecule)\n--\n\nAdd a molecule to the database"),
    py::method<&database_add_molecules>(
        "add_molecules",
        "add_molecules($self, molecules)\n--\n\nAdd multiple molecules (processed in parallel)"),
    py::method<&batch::add_arrays_batch>("add_arrays_batch", batch::kAddArraysBatchDoc),
    py::method<&database_get_molecule>(
        "get_molecule",
        "get_molecule($self, index)\n--\n\nGet a molecule by index as a lazy view-backed "
        "molecule."),
    py::method<&database_get_molecules>(
        "get_molecules",
        "get_molecules($self, indices)\n--\n\nGet multiple molecules by indices (parallel batch "
        "reading)\n\nThis is MUCH faster than calling get_molecule() in a loop!\nUses parallel "
        "I/O to read multiple molecules at once.\n\nParameters:\n- indices: List of molecule "
        "indices to fetch\n\nReturns:\n- List of molecules"),
    py::method<&flat::database_get_molecules_flat>("get_molecules_flat",
                                                   flat::kGetMoleculesFlatDoc),
    py::method<&database_flush, kFlush>("flush", "flush($self)\n--\n\nFlush and save the database"),
    py::kEndMethods,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PyAtomDatabase(path, compression=\"none\", level=3, "
                                  "overwrite=False)\n--\n\nPython wrapper for AtomDatabase")},
    {Py_tp_new, py::slot<&database_new>()},
    {Py_tp_dealloc, py::Class<PyAtomDatabase>::dealloc_slot()},
    {Py_mp_length, py::slot<&database_len>()},
    {Py_mp_subscript, py::slot<&database_subscript>()},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyAtomDatabase", sizeof(PyAtomDatabaseObject), 0, Py_TPFLAGS_DEFAULT,
                    slots};

py::Class<PyAtomDatabase> the_class{&spec};

}  // namespace

py::Class<PyAtomDatabase>& py_database_class() { return the_class; }

}  // namespace crivane_rs::database
