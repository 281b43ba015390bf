#include "database/database_object.hpp"

#include <fmt/format.h>

#include <utility>

#include "crivane/parallel.hpp"
#include "molecule/molecule.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"

namespace crivane_rs::database {

using View = soa::SoaMoleculeView;

bool PyAtomDatabase::soa_context(soa::SoaContext& out) const {
  auto context = soa::SoaContext::from_database(db);
  if (!context) return py::raise_engine_error(context.error());
  out = *context;
  return true;
}

PyObject* PyAtomDatabase::get_molecule(std::size_t index, const soa::SoaContext& context) const {
  if (db.reads_through_mapping()) {
    crivane::Result<View> view = py::allow_threads([&] {
      return crivane::catch_allocation_failure([&] { return load_mmap_view(index, context); });
    });
    if (!view) return py::raise_engine_error(view.error());
    return molecule::new_view_molecule(std::move(view).value());
  }
  const std::size_t indices[] = {index};
  auto raw = py::allow_threads([&] { return db.get_raw_bytes(indices); });
  if (!raw) return py::raise_engine_error(raw.error());
  if (raw->empty()) {
    return py::raise_value_error(fmt::format("Missing raw bytes for molecule {}", index));
  }
  auto view = View::from_bytes(std::move(raw->front()), context);
  if (!view) return py::raise_engine_error(view.error());
  if (auto checked = view->check_index_atoms(db, index); !checked) {
    return py::raise_engine_error(checked.error());
  }
  return molecule::new_view_molecule(std::move(view).value());
}

crivane::Result<View> PyAtomDatabase::load_mmap_view(std::size_t index,
                                                     const soa::SoaContext& context) const {
  // One Result returned from every path, so that it is built in place: a
  // view is a few hundred bytes, and this runs for every record read.
  crivane::Result<crivane::storage::SharedRecordBytes> record = db.shared_record_bytes(index);
  crivane::Result<View> view =
      record ? View::from_storage(std::move(*record), context.stride, context.positions_type)
             : crivane::Result<View>(crivane::unexpected(std::move(record).error()));
  if (view) {
    if (auto checked = view->check_index_atoms(db, index); !checked) {
      view = crivane::unexpected(std::move(checked).error());
    }
  }
  return view;
}

std::vector<crivane::Result<View>> PyAtomDatabase::molecule_views(
    std::span<const std::size_t> indices, const soa::SoaContext& context) const {
  return crivane::parallel::parallel_map_all<View>(
      indices.size(), [&](std::size_t i) { return load_mmap_view(indices[i], context); });
}

}  // namespace crivane_rs::database
