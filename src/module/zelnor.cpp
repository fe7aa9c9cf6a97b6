// The zelnor extension module: definition, function table and start-up.
//
// The module is built as this one translation unit, which includes every
// subsystem's kernels and entry points, so that nothing but PyInit_zelnor
// has external linkage.
#include "args.hpp"

#include "../pupil/masks.cpp"
#include "../pupil/pupil_py.cpp"
#include "../unwrap/reliability.cpp"
#include "../unwrap/unwrap_py.cpp"

#ifndef ZELNOR_VERSION
#define ZELNOR_VERSION "0.1"
#endif

namespace zelnor {
namespace {

PyMethodDef module_functions[] = {
    {"roundmask", py_roundmask, METH_VARARGS, "generate round mask."},
    {"make_mask", py_make_mask, METH_VARARGS, "make mask."},
    {"unwrap", py_unwrap, METH_VARARGS, "phase unwrapping."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zelnor",
    "",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zelnor

PyMODINIT_FUNC PyInit_zelnor(void) {
    PyObject* module = PyModule_Create2(&zelnor::module_definition, 1013);
    if (module == nullptr) {
        return nullptr;
    }
    // Our own wording of the failure: NumPy 2's import_array() phrases it differently.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        Py_DECREF(module);
        return nullptr;
    }
    PyModule_AddStringConstant(module, "__version__", ZELNOR_VERSION);
    return module;
}
