// The one way the Python layer includes the CPython headers: Python.h must
// come before any standard header, with Py_ssize_t lengths for "#" formats.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
