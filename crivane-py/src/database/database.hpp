// PyAtomDatabase, the Python class: its class object, made from the method
// table of database.cpp, which also holds the methods that batch ingest
// (database_batch) and the flat export (database_flat) do not.
#pragma once

#include "database/database_object.hpp"
#include "py/class.hpp"

namespace crivane_rs::database {

py::Class<PyAtomDatabase>& py_database_class();

}  // namespace crivane_rs::database
