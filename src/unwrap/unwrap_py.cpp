// Python entry point of the reliability-sorted unwrapper.
#include "../module/args.hpp"
#include "unwrap.hpp"

namespace zelnor {
namespace {

PyObject* py_unwrap(PyObject* /*module*/, PyObject* args) {
    PyObject* mask_obj = nullptr;
    PyObject* phase_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:unwrap", &PyArray_Type, &mask_obj, &PyArray_Type, &phase_obj)) {
        return nullptr;
    }
    PyArrayObject* mask = as_array(mask_obj);
    PyArrayObject* phase = as_array(phase_obj);
    if (!require_type(mask, NPY_UINT8, "mask must be of type uint8.") ||
        !require_ndim(mask, 2, "mask must be 2 dimensional.") ||
        !require_type(phase, NPY_FLOAT32, "phase must be of type float32.") ||
        !require_ndim(phase, 2, "phase must be 2 dimensional.") ||
        !require_same_dims(mask, phase, "mask and phase map dimensions must be equivalent.")) {
        return nullptr;
    }
    ContiguousInput mask_values;
    ContiguousInput phase_values;
    if (!mask_values.open(mask) || !phase_values.open(phase)) {
        return nullptr;
    }
    PyArrayObject* result = new_result(2, PyArray_DIMS(phase), NPY_FLOAT32);
    if (result == nullptr) {
        return nullptr;
    }
    const std::uint8_t* mask_bytes = mask_values.data<std::uint8_t>();
    float* out = result_data<float>(result);
    if (!unwrap_core(phase_values.data<float>(), out, mask_bytes, dim(phase, 0), dim(phase, 1))) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    // Pixels outside the pupil read 0; other excluded bytes keep their phase.
    const std::size_t n = element_count(phase);
    for (std::size_t k = 0; k < n; ++k) {
        if (mask_bytes[k] == 0) {
            out[k] = 0.0f;
        }
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
