// Python entry point of the fast flood-fill unwrapper.
#include "../module/args.hpp"
#include "unwrap.hpp"

namespace zelnor {
namespace {

PyObject* py_fast_unwrap(PyObject* /*module*/, PyObject* args) {
    PyObject* mask_obj = nullptr;
    PyObject* surface_obj = nullptr;
    double scale = 0.0;
    if (!PyArg_ParseTuple(args, "O!O!d:fast_unwrap", &PyArray_Type, &mask_obj, &PyArray_Type,
                          &surface_obj, &scale)) {
        return nullptr;
    }
    PyArrayObject* mask = as_array(mask_obj);
    PyArrayObject* surface = as_array(surface_obj);
    if (!require_type(mask, NPY_BOOL, "mask must be of type Bool.") ||
        !require_ndim(mask, 2, "mask must be 2 dimensional.") ||
        !require_type(surface, NPY_FLOAT64, "surface must be of type double.") ||
        !require_ndim(surface, 2, "surface must be 2 dimensional.") ||
        !require_same_dims(mask, surface, "mask and phase map dimensions must be equivalent.")) {
        return nullptr;
    }
    ContiguousInput mask_values;
    ContiguousInput surface_values;
    if (!mask_values.open(mask) || !surface_values.open(surface) ||
        !require_same_size(mask_values, surface_values, "mask and phase map dimensions must be equivalent.")) {
        return nullptr;
    }
    const ImageDims shape(surface_values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    const std::size_t rows = surface_values.rows();
    const std::size_t cols = surface_values.cols();
    FastUnwrapJob job;
    if (!fast_unwrap_prepare(job, rows, cols)) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    const std::uint8_t* mask_bytes = mask_values.data<std::uint8_t>();
    const double* surface_data = surface_values.data<double>();
    double* out = result_data<double>(result);
    // The fill works on the call's own memory and the arrays it holds.
    {
        ReleasedLock unlocked;
        fast_unwrap_kernel(job, mask_bytes, surface_data, rows, cols, scale, out);
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
