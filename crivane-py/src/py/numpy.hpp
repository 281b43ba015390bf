// NumPy's C API for the Python layer. The API table is fetched at the first
// array operation (ensure_numpy), never at module import, so importing the
// module does not import NumPy.
//
// Every translation unit that uses PyArray_* includes this header; they all
// share the one table defined in numpy.cpp.
#pragma once

#include "py/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL crivane_rs_PyArray_API
#ifndef CRIVANE_RS_NUMPY_TABLE_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace crivane_rs::py {

// Fetches the API table if that has not happened yet (importing NumPy's
// core module). Call it before any PyArray_* use; false with an exception
// set when NumPy cannot be imported.
bool ensure_numpy();

}  // namespace crivane_rs::py
