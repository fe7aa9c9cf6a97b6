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
    if (!mask_values.open(mask) || !phase_values.open(phase) ||
        !require_same_size(mask_values, phase_values, "mask and phase map dimensions must be equivalent.")) {
        return nullptr;
    }
    const ImageDims shape(phase_values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_FLOAT32);
    if (result == nullptr) {
        return nullptr;
    }
    const std::uint8_t* mask_bytes = mask_values.data<std::uint8_t>();
    const float* phase_data = phase_values.data<float>();
    float* out = result_data<float>(result);
    UnwrapJob job;
    if (!unwrap_prepare(job, mask_bytes, phase_values.rows(), phase_values.cols())) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    // The draws advance the process's shared generator: under the lock, so
    // that their sequence is what a serial caller sees. The rest touches only
    // the call's own buffers and the arrays it holds.
    unwrap_draw(job);
    {
        ReleasedLock unlocked;
        unwrap_run(job, phase_data, mask_bytes, out);
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
