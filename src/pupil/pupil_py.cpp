// Python entry points of the pupil subsystem.
#include "../module/args.hpp"
#include "pupil.hpp"

namespace zelnor {
namespace {

PyObject* py_roundmask(PyObject* /*module*/, PyObject* args) {
    double limit = 0.0;
    int width = 0;
    int height = 0;
    if (!PyArg_ParseTuple(args, "dii:roundmask", &limit, &width, &height)) {
        return nullptr;
    }
    const npy_intp dims[2] = {height, width};
    PyArrayObject* result = new_result(2, dims, NPY_BOOL);
    if (result == nullptr) {
        return nullptr;
    }
    if (!fill_roundmask(result_data<std::uint8_t>(result), dim(result, 0), dim(result, 1), limit)) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return hand_back(result);
}

PyObject* py_make_mask(PyObject* /*module*/, PyObject* args) {
    PyObject* surface_obj = nullptr;
    double threshold = 0.0;
    if (!PyArg_ParseTuple(args, "O!d:make_mask", &PyArray_Type, &surface_obj, &threshold)) {
        return nullptr;
    }
    PyArrayObject* surface = as_array(surface_obj);
    const char* message = "array must be 2 dimensional and of type double.";
    if (!require_type(surface, NPY_FLOAT64, message) || !require_ndim(surface, 2, message)) {
        return nullptr;
    }
    ContiguousInput values;
    if (!values.open(surface)) {
        return nullptr;
    }
    PyArrayObject* result = new_result(2, PyArray_DIMS(surface), NPY_BOOL);
    if (result == nullptr) {
        return nullptr;
    }
    fill_threshold_mask(values.data<double>(), element_count(surface), threshold,
                        result_data<std::uint8_t>(result));
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
