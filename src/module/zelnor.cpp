// The zelnor extension module: definition, function table and start-up.
//
// The module is built as this one translation unit, which includes every
// subsystem's kernels and entry points, so that nothing but PyInit_zelnor
// has external linkage.
#include "args.hpp"

#include "../pupil/masks.cpp"
#include "../pupil/zernike.cpp"
#include "../pupil/pupil_py.cpp"
#include "../phase/interferogram.cpp"
#include "../phase/retrieval.cpp"
#include "../phase/wrap.cpp"
#include "../phase/phase_py.cpp"
#include "../unwrap/fast_unwrap.cpp"
#include "../unwrap/fast_unwrap_py.cpp"
#include "../unwrap/reliability.cpp"
#include "../unwrap/unwrap_py.cpp"
#include "../imageio/pgm.cpp"
#include "../imageio/noise_binning.cpp"
#include "../imageio/imageio_py.cpp"

#ifndef ZELNOR_VERSION
#define ZELNOR_VERSION "0.1"
#endif

namespace zelnor {
namespace {

PyMethodDef module_functions[] = {
    {"roundmask", py_roundmask, METH_VARARGS, "generate round mask."},
    {"make_mask", py_make_mask, METH_VARARGS, "make mask."},
    {"zernike_surface", py_zernike_surface, METH_VARARGS, "generate surface from zernike polinomials."},
    {"zernike_matrix", py_zernike_matrix, METH_VARARGS, "generate matrix of zernike polinomials surfaces."},
    {"interferogram", py_interferogram, METH_VARARGS, "generate interferogram from surface."},
    {"phase", py_phase, METH_VARARGS, "calculate phase."},
    {"phase5", py_phase5, METH_VARARGS, "calculate phase 5 frames."},
    {"wrap", py_wrap, METH_VARARGS, "phase wrapping."},
    {"fast_unwrap", py_fast_unwrap, METH_VARARGS, "fast and simle phase unwrapping."},
    {"unwrap", py_unwrap, METH_VARARGS, "phase unwrapping."},
    {"add_noise", py_add_noise, METH_VARARGS, "add noise."},
    {"save_pgm", py_save_pgm, METH_VARARGS, "save matrix as pgm file."},
    {"load_pgm", py_load_pgm, METH_VARARGS, "load pgm file."},
    {"binning", py_binning, METH_VARARGS, "image binning."},
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
