// Placeholder start-up; replaced by the real one.
#include <Python.h>

static PyModuleDef crivane_module = {PyModuleDef_HEAD_INIT, "_crivane_rs", nullptr, 0, nullptr};

PyMODINIT_FUNC PyInit__crivane_rs() { return PyModule_Create(&crivane_module); }
