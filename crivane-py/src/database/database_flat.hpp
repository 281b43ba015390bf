// get_molecules_flat: many stored records as one dict of NumPy arrays
// concatenated over the selection. The engine's gather (record/flat_gather)
// fetches the records and scatters them into columns allocated once at their
// final size, on the worker pool and without the interpreter lock; the dict
// (database_flat.cpp) then hands those columns to NumPy without copying them.
#pragma once

#include "py/python.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "crivane/record/flat_gather.hpp"
#include "database/database_object.hpp"

namespace crivane_rs::database::flat {

// The whole export for a database the caller holds borrowed: the gather with
// the interpreter lock released, then the dict. A new dict, or nullptr with
// ValueError (or MemoryError) set.
PyObject* get_molecules_flat_soa_impl(const PyAtomDatabase& database,
                                      std::span<const std::size_t> indices);

// A new array of the tensor tag's dtype (kTensorF32 float32, kTensorF64
// float64, kTensorI32 int32, kTensorI64 int64) and shape `dims`, adopting
// `values` (their count fills dims).
PyObject* tensor_array_from_bytes(std::uint8_t type_tag, soa::ColumnBytes values,
                                  std::span<const std::size_t> dims);

// PyAtomDatabase.get_molecules_flat, for the class's method table.
PyObject* database_get_molecules_flat(PyAtomDatabaseObject* self, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames);
extern const char kGetMoleculesFlatDoc[];

}  // namespace crivane_rs::database::flat
