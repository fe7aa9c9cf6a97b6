// Python entry points of the phase subsystem.
#include "../module/args.hpp"
#include "phase.hpp"

namespace zelnor {
namespace {

PyObject* py_interferogram(PyObject* /*module*/, PyObject* args) {
    double scale = 0.0;
    double shift = 0.0;
    int peak = 0;
    PyObject* mask_obj = nullptr;
    PyObject* surface_obj = nullptr;
    if (!PyArg_ParseTuple(args, "ddiO!O!:interferogram", &scale, &shift, &peak, &PyArray_Type, &mask_obj,
                          &PyArray_Type, &surface_obj)) {
        return nullptr;
    }
    PyArrayObject* mask = as_array(mask_obj);
    PyArrayObject* surface = as_array(surface_obj);
    if (!require_type(mask, NPY_BOOL, "mask must be of type Bool.") ||
        !require_ndim(mask, 2, "mask must be 2 dimensional.") ||
        !require_type(surface, NPY_FLOAT64, "surface must be of type Float.") ||
        !require_ndim(surface, 2, "surface must be 2 dimensional.") ||
        !require_same_dims(mask, surface, "mask dimension must be surface dimension equivalent.")) {
        return nullptr;
    }
    ContiguousInput mask_values;
    ContiguousInput surface_values;
    if (!mask_values.open(mask) || !surface_values.open(surface) ||
        !require_same_size(mask_values, surface_values, "mask dimension must be surface dimension equivalent.")) {
        return nullptr;
    }
    const ImageDims shape(surface_values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_UINT16);
    if (result == nullptr) {
        return nullptr;
    }
    // The peak is a 16-bit intensity: only its low 16 bits count (65536 acts as 0, -1 as 65535).
    {
        ReleasedLock unlocked(element_count(result));
        fill_interferogram(mask_values.data<std::uint8_t>(), surface_values.data<double>(),
                           element_count(result), scale, shift, static_cast<std::uint16_t>(peak),
                           result_data<std::uint16_t>(result));
    }
    return hand_back(result);
}

// Checks a frame list of an accepted size and opens every frame by value.
// On success pointers[0..n) address the frames' pixels, inputs[0].size() each.
bool open_frames(PyObject* list, const char* function, ContiguousInput* inputs,
                 const std::uint16_t** pointers) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyArrayObject* frames[MAX_FRAMES] = {};
    PyRef held[MAX_FRAMES];
    if (!check_frame_list(list, function, frames, held)) {
        return false;
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!inputs[k].open(frames[k])) {
            return false;
        }
        // Only Python code run by a copy can have reshaped a frame since the check.
        if (!require_same_size(inputs[k], inputs[0], "images have a different dimensions.")) {
            return false;
        }
        pointers[k] = inputs[k].data<std::uint16_t>();
    }
    return true;
}

PyObject* py_phase(PyObject* /*module*/, PyObject* args) {
    PyObject* list = nullptr;
    if (!PyArg_ParseTuple(args, "O!:phase", &PyList_Type, &list)) {
        return nullptr;
    }
    const Py_ssize_t count = PyList_GET_SIZE(list);
    if (count != 4 && count != 5 && count != 7) {
        PyErr_SetString(PyExc_ValueError, "list must have size 4, 5 or 7.");
        return nullptr;
    }
    ContiguousInput inputs[MAX_FRAMES];
    const std::uint16_t* pointers[MAX_FRAMES] = {};
    if (!open_frames(list, "phase", inputs, pointers)) {
        return nullptr;
    }
    const ImageDims shape(inputs[0]);
    PyArrayObject* result = new_result(2, shape.dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    {
        ReleasedLock unlocked(element_count(result));
        fill_phase(pointers, static_cast<int>(count), element_count(result), result_data<double>(result));
    }
    return hand_back(result);
}

PyObject* py_phase5(PyObject* /*module*/, PyObject* args) {
    PyObject* list = nullptr;
    // The shared format string: argument errors name "phase".
    if (!PyArg_ParseTuple(args, "O!:phase", &PyList_Type, &list)) {
        return nullptr;
    }
    if (PyList_GET_SIZE(list) != 5) {
        PyErr_SetString(PyExc_ValueError, "list must have size 5.");
        return nullptr;
    }
    ContiguousInput inputs[MAX_FRAMES];
    const std::uint16_t* pointers[MAX_FRAMES] = {};
    if (!open_frames(list, "phase5", inputs, pointers)) {
        return nullptr;
    }
    const ImageDims shape(inputs[0]);
    PyArrayObject* result = new_result(2, shape.dims, NPY_INT16);
    if (result == nullptr) {
        return nullptr;
    }
    {
        ReleasedLock unlocked(element_count(result));
        fill_phase5(pointers, element_count(result), result_data<std::int16_t>(result));
    }
    return hand_back(result);
}

PyObject* py_wrap(PyObject* /*module*/, PyObject* args) {
    PyObject* surface_obj = nullptr;
    double period = 0.0;
    if (!PyArg_ParseTuple(args, "O!d:wrap", &PyArray_Type, &surface_obj, &period)) {
        return nullptr;
    }
    PyArrayObject* surface = as_array(surface_obj);
    if (!require_type(surface, NPY_FLOAT64, "surface must be of type double.") ||
        !require_ndim(surface, 2, "surface must be 2 dimensional.")) {
        return nullptr;
    }
    ContiguousInput values;
    if (!values.open(surface)) {
        return nullptr;
    }
    const ImageDims shape(values);
    PyArrayObject* result = new_result(2, shape.dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    {
        ReleasedLock unlocked(element_count(result));
        fill_wrap(values.data<double>(), element_count(result), period, result_data<double>(result));
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
