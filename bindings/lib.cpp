// The extension module _varnett.
#include <Python.h>

static PyModuleDef_Slot module_slots[] = {{0, nullptr}};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_varnett", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit__varnett() { return PyModuleDef_Init(&module_def); }
