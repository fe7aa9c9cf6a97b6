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
    bool filled;
    {
        ReleasedLock unlocked(element_count(result));
        filled = fill_roundmask(result_data<std::uint8_t>(result), dim(result, 0), dim(result, 1), limit);
    }
    if (!filled) {
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
    const ImageDims shape(values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_BOOL);
    if (result == nullptr) {
        return nullptr;
    }
    {
        ReleasedLock unlocked(values.size());
        fill_threshold_mask(values.data<double>(), values.size(), threshold, result_data<std::uint8_t>(result));
    }
    return hand_back(result);
}

PyObject* py_zernike_surface(PyObject* /*module*/, PyObject* args) {
    PyObject* coefficients_obj = nullptr;
    PyObject* mask_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O!O!:zernike_surface", &PyArray_Type, &coefficients_obj, &PyArray_Type,
                          &mask_obj)) {
        return nullptr;
    }
    PyArrayObject* coefficients = as_array(coefficients_obj);
    PyArrayObject* mask = as_array(mask_obj);
    if (!require_type(coefficients, NPY_FLOAT64, "array of coefficients must be of type Float.") ||
        !require_ndim(coefficients, 1, "array of coefficients must be 1 dimensional.") ||
        !require_type(mask, NPY_BOOL, "mask array must be of type Bool.") ||
        !require_ndim(mask, 2, "mask array must be 2 dimensional.")) {
        return nullptr;
    }
    ContiguousInput coefficient_values;
    ContiguousInput mask_values;
    if (!coefficient_values.open(coefficients) || !mask_values.open(mask)) {
        return nullptr;
    }
    const ImageDims shape(mask_values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    bool filled;
    {
        ReleasedLock unlocked(element_count(result));
        filled = fill_zernike_surface(coefficient_values.data<double>(), coefficient_values.size(),
                                      mask_values.data<std::uint8_t>(), mask_values.rows(), mask_values.cols(),
                                      result_data<double>(result));
    }
    if (!filled) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return hand_back(result);
}

PyObject* py_zernike_matrix(PyObject* /*module*/, PyObject* args) {
    PyObject* mask_obj = nullptr;
    int count = 0;
    if (!PyArg_ParseTuple(args, "O!i:zernike_matrix", &PyArray_Type, &mask_obj, &count)) {
        return nullptr;
    }
    PyArrayObject* mask = as_array(mask_obj);
    if (!require_type(mask, NPY_BOOL, "mask array must be of type Bool.") ||
        !require_ndim(mask, 2, "mask array must be 2 dimensional.")) {
        return nullptr;
    }
    ContiguousInput mask_values;
    if (!mask_values.open(mask)) {
        return nullptr;
    }
    // The mask exists, so its element count fits; NumPy checks count * pixels.
    const npy_intp dims[2] = {count, static_cast<npy_intp>(mask_values.size())};
    PyArrayObject* result = new_result(2, dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    bool filled;
    {
        ReleasedLock unlocked(element_count(result));
        filled = fill_zernike_matrix(mask_values.data<std::uint8_t>(), mask_values.rows(), mask_values.cols(),
                                     static_cast<std::size_t>(count), result_data<double>(result));
    }
    if (!filled) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
