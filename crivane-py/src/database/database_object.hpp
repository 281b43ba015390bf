// PyAtomDatabase: what one instance of the Python class holds (one
// AtomDatabase) and its read paths, with the instance layout that carries
// the borrow flag. The class object and its method table are database.hpp's;
// the files that add methods to the table (batch ingest, flat export)
// include only this header, so no include runs back up to the table.
//
// The engine does every byte of file work; this class converts arguments,
// picks the read path, releases the interpreter lock around record fetching
// and wraps the records it reads as lazily viewed PyMolecule objects.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <span>
#include <vector>

#include "crivane/error.hpp"
#include "crivane/storage/database.hpp"
#include "py/class.hpp"
#include "soa.hpp"

namespace crivane_rs::database {

class PyAtomDatabase {
 public:
  explicit PyAtomDatabase(crivane::storage::AtomDatabase database) : db(std::move(database)) {}

  // The context records of this database parse with, into `out`; false
  // with the engine's error raised.
  bool soa_context(soa::SoaContext& out) const;
  // Record `index` as a new PyMolecule in its view state, read by the path
  // db.reads_through_mapping() picks; nullptr with ValueError (MemoryError
  // when memory ran out) set. Called with the interpreter lock held;
  // releases it around the fetch (and the parse, when mapped).
  PyObject* get_molecule(std::size_t index, const soa::SoaContext& context) const;
  // Record `index` out of the data mapping (db.shared_record_bytes): in
  // place when uncompressed, else decompressed; refused when its atom count
  // is not its index entry's. Touches no Python object.
  crivane::Result<soa::SoaMoleculeView> load_mmap_view(std::size_t index,
                                                       const soa::SoaContext& context) const;
  // load_mmap_view for every index on the worker pool; every index is
  // loaded, results in request order.
  std::vector<crivane::Result<soa::SoaMoleculeView>> molecule_views(
      std::span<const std::size_t> indices, const soa::SoaContext& context) const;

  crivane::storage::AtomDatabase db;
};

// The instance: the Python header, the borrow flag (exclusive to write,
// shared to read) and the PyAtomDatabase.
using PyAtomDatabaseObject = py::Instance<PyAtomDatabase>;

}  // namespace crivane_rs::database
