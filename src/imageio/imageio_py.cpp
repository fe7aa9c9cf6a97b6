// Python entry points of the image-file subsystem.
#include "../module/args.hpp"
#include "imageio.hpp"

namespace zelnor {
namespace {

PyObject* py_add_noise(PyObject* /*module*/, PyObject* args) {
    PyObject* surface_obj = nullptr;
    double amplitude = 0.0;
    if (!PyArg_ParseTuple(args, "O!d:add_noise", &PyArray_Type, &surface_obj, &amplitude)) {
        return nullptr;
    }
    PyArrayObject* surface = as_array(surface_obj);
    if (!require_type(surface, NPY_FLOAT64, "surface must be of type double.")) {
        return nullptr;
    }
    ContiguousInput values;
    if (!values.open(surface)) {
        return nullptr;
    }
    PyArrayObject* result = new_result(values.ndim(), values.dims(), NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    // Keeps the lock: the draws of one call stay one unbroken run of the shared rand() sequence.
    add_uniform_noise(values.data<double>(), values.size(), amplitude, result_data<double>(result));
    return hand_back(result);
}

PyObject* py_save_pgm(PyObject* /*module*/, PyObject* args) {
    const char* path = nullptr;
    PyObject* array_obj = nullptr;
    double scale = 1.0;
    if (!PyArg_ParseTuple(args, "sO!|d:save_pgm", &path, &PyArray_Type, &array_obj, &scale)) {
        return nullptr;
    }
    PyArrayObject* array = as_array(array_obj);
    if (!require_ndim(array, 2, "array must be 2 dimensional.")) {
        return nullptr;
    }
    const int type = PyArray_TYPE(array);
    if (type != NPY_FLOAT64 && type != NPY_UINT16) {
        PyErr_SetString(PyExc_ValueError, "array must be of type Float or Uint16.");
        return nullptr;
    }
    ContiguousInput values;
    if (!values.open(array)) {
        return nullptr;
    }
    PgmSaveStatus status;
    {
        // The file may be slow (a FIFO waits for its reader): other threads run meanwhile.
        ReleasedLock unlocked;
        if (type == NPY_FLOAT64) {
            status = write_pgm_float64(path, values.data<double>(), values.rows(), values.cols(), scale);
        } else {
            status = write_pgm_uint16(path, values.data<std::uint16_t>(), values.cols(), values.rows());
        }
    }
    if (status == PgmSaveStatus::cannot_open) {
        PyErr_SetString(PyExc_IOError, "can't open file");
        return nullptr;
    }
    if (status == PgmSaveStatus::cannot_write) {
        PyErr_SetString(PyExc_IOError, "can't write file");
        return nullptr;
    }
    Py_INCREF(Py_None);
    return Py_None;
}

PyObject* py_load_pgm(PyObject* /*module*/, PyObject* args) {
    const char* path = nullptr;
    if (!PyArg_ParseTuple(args, "s:load_pgm", &path)) {
        return nullptr;
    }
    const char* const cannot_load = "can't load image from file";
    PgmReader reader;
    PgmLoadStatus status;
    {
        ReleasedLock unlocked;
        status = open_pgm(path, reader);
    }
    switch (status) {
        case PgmLoadStatus::cannot_open:
            PyErr_SetString(PyExc_IOError, "can't open file");
            return nullptr;
        case PgmLoadStatus::cannot_load:
            PyErr_SetString(PyExc_IOError, cannot_load);
            return nullptr;
        case PgmLoadStatus::ok:
            break;
    }
    const npy_intp dims[2] = {static_cast<npy_intp>(reader.height), static_cast<npy_intp>(reader.width)};
    // The raster is read straight into the result's storage.
    PyArrayObject* result = new_result(2, dims, reader.sample_bytes == 1 ? NPY_UINT8 : NPY_UINT16);
    if (result == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_IOError, cannot_load);
        return nullptr;
    }
    bool complete;
    {
        ReleasedLock unlocked;
        complete = read_pgm_raster(reader, PyArray_DATA(result));
    }
    if (!complete) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_IOError, cannot_load);
        return nullptr;
    }
    return hand_back(result);
}

PyObject* py_binning(PyObject* /*module*/, PyObject* args) {
    PyObject* image_obj = nullptr;
    unsigned short factor = 0;
    if (!PyArg_ParseTuple(args, "O!H:binning", &PyArray_Type, &image_obj, &factor)) {
        return nullptr;
    }
    PyArrayObject* image = as_array(image_obj);
    if (!require_ndim(image, 2, "array must be 2 dimensional.")) {
        return nullptr;
    }
    if (factor == 0) {
        PyErr_SetString(PyExc_ValueError, "factor must be at least 1.");
        return nullptr;
    }
    if (!require_type(image, NPY_FLOAT64, "array must be of type double.")) {
        return nullptr;
    }
    ContiguousInput values;
    if (!values.open(image)) {
        return nullptr;
    }
    const npy_intp dims[2] = {static_cast<npy_intp>(values.rows() / factor),
                              static_cast<npy_intp>(values.cols() / factor)};
    PyArrayObject* result = new_result(2, dims, NPY_FLOAT64);
    if (result == nullptr) {
        return nullptr;
    }
    {
        ReleasedLock unlocked(values.size());
        bin_image_sum(values.data<double>(), values.rows(), values.cols(), factor, result_data<double>(result));
    }
    return hand_back(result);
}

}  // namespace
}  // namespace zelnor
