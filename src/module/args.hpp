// Shared handling of array arguments and results for every zelnor function.
//
// A Python entry point parses its tuple, runs its checks in order with the
// helpers below (the first failure raises ValueError with a fixed message),
// takes a contiguous native view of each array argument, creates its result
// with new_result() and hands it back with hand_back().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstddef>
#include <cstdint>

namespace zelnor {
namespace {

// Owns one strong reference; releases it on scope exit unless released.
class PyRef {
  public:
    PyRef() = default;
    explicit PyRef(PyObject* obj) : obj_(obj) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() {
        PyObject* obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject* obj) {
        Py_XDECREF(obj_);
        obj_ = obj;
    }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    PyObject* obj_ = nullptr;
};

inline PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

// Element-type check: the type number must equal `typenum`; nothing is converted.
inline bool require_type(PyArrayObject* arr, int typenum, const char* message) {
    if (PyArray_TYPE(arr) != typenum) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// Dimension check: the number of dimensions must equal `ndim`.
inline bool require_ndim(PyArrayObject* arr, int ndim, const char* message) {
    if (PyArray_NDIM(arr) != ndim) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// Size-equality check of two images (both already known to be 2-D); full sizes compared.
inline bool require_same_dims(PyArrayObject* a, PyArrayObject* b, const char* message) {
    if (PyArray_DIM(a, 0) != PyArray_DIM(b, 0) || PyArray_DIM(a, 1) != PyArray_DIM(b, 1)) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// A new, uninitialised, row-major contiguous base-class array; nullptr with
// NumPy's exception set when it cannot be created (negative size, no memory).
inline PyArrayObject* new_result(int ndim, const npy_intp* dims, int typenum) {
    return as_array(PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), typenum,
                                nullptr, nullptr, 0, 0, nullptr));
}

// Hands a result back to Python: the array itself, or a NumPy scalar for 0-d.
inline PyObject* hand_back(PyArrayObject* result) {
    return PyArray_Return(result);
}

// Number of elements of an array, as a size.
inline std::size_t element_count(PyArrayObject* arr) {
    return static_cast<std::size_t>(PyArray_SIZE(arr));
}

// Read-by-value access to an argument's elements as one contiguous, aligned,
// native-order block. Arrays that already are such a block are used in place;
// any other (strided, negative-stride, misaligned, byte-swapped) is copied once.
// Open it only after all checks have passed, so that checks never allocate.
class ContiguousInput {
  public:
    ContiguousInput() = default;
    ContiguousInput(const ContiguousInput&) = delete;
    ContiguousInput& operator=(const ContiguousInput&) = delete;

    // False with a Python exception set when the copy cannot be made.
    bool open(PyArrayObject* arr) {
        if (PyArray_ISCARRAY_RO(arr)) {
            // A reference of our own: while the lock is released, another thread may drop the
            // last other one (a frame taken out of its list) and the data must stay.
            Py_INCREF(arr);
            hold_.reset(reinterpret_cast<PyObject*>(arr));
            data_ = PyArray_DATA(arr);
            capture(arr);
            return true;
        }
        PyArray_Descr* native = PyArray_DescrFromType(PyArray_TYPE(arr));
        if (native == nullptr) {
            return false;
        }
        // Steals `native`; always yields a fresh C-contiguous aligned native copy here.
        hold_.reset(PyArray_FromArray(arr, native, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_ENSURECOPY));
        if (!hold_) {
            return false;
        }
        data_ = PyArray_DATA(as_array(hold_.get()));
        capture(as_array(hold_.get()));
        return true;
    }

    template <class T>
    const T* data() const {
        return static_cast<const T*>(data_);
    }

    // The shape of the elements held, as it was when they were opened: another thread may assign
    // the array a new shape (which frees NumPy's record of the old one) while the lock is released.
    int ndim() const { return ndim_; }
    const npy_intp* dims() const { return dims_; }
    std::size_t size() const { return size_; }
    // Rows and elements per row: rows() * cols() == size() whatever the shape.
    std::size_t rows() const { return ndim_ > 0 ? static_cast<std::size_t>(dims_[0]) : 1; }
    std::size_t cols() const { return cols_; }

  private:
    void capture(PyArrayObject* arr) {
        ndim_ = PyArray_NDIM(arr);
        for (int axis = 0; axis < ndim_; ++axis) {
            dims_[axis] = PyArray_DIM(arr, axis);
        }
        size_ = static_cast<std::size_t>(PyArray_SIZE(arr));
        cols_ = 1;
        for (int axis = 1; axis < ndim_; ++axis) {
            cols_ *= static_cast<std::size_t>(dims_[axis]);
        }
    }

    const void* data_ = nullptr;
    PyRef hold_;  // the array itself, or its copy
    int ndim_ = 0;
    npy_intp dims_[NPY_MAXDIMS] = {};
    std::size_t size_ = 0;
    std::size_t cols_ = 0;
};

// The dimensions of a 2-D result shaped like an input's elements.
struct ImageDims {
    npy_intp dims[2];
    explicit ImageDims(const ContiguousInput& input)
        : dims{static_cast<npy_intp>(input.rows()), static_cast<npy_intp>(input.cols())} {}
};

// Two inputs already checked to be of one shape still are, as opened: only Python code run while a
// copy was made (a subclass's __array_finalize__) can have changed one.
inline bool require_same_size(const ContiguousInput& a, const ContiguousInput& b, const char* message) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return true;
}

// Calls with fewer result elements than this keep the interpreter lock: handing it to another
// thread and waiting to get it back would cost more than the work itself.
constexpr std::size_t RELEASE_MIN_ELEMENTS = 1 << 14;

// Releases the interpreter lock for its lifetime, so that other Python threads run while a
// kernel works. Only Python-free code may run in its scope: no Python object, reference count
// or exception (a kernel reports failure by its return value, and the caller raises after the
// scope has ended). Create it after every argument is checked and every array is allocated.
class ReleasedLock {
  public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    // Releases only when `elements` reaches RELEASE_MIN_ELEMENTS.
    explicit ReleasedLock(std::size_t elements)
        : state_(elements >= RELEASE_MIN_ELEMENTS ? PyEval_SaveThread() : nullptr) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
        }
    }

  private:
    PyThreadState* state_;
};

// Dimension `axis` of a 2-D image as a size (rows for 0, columns for 1).
inline std::size_t dim(PyArrayObject* arr, int axis) {
    return static_cast<std::size_t>(PyArray_DIM(arr, axis));
}

// Array data of a freshly created result, typed.
template <class T>
inline T* result_data(PyArrayObject* result) {
    return static_cast<T*>(PyArray_DATA(result));
}

// Most frames a phase-shifting list may hold.
constexpr Py_ssize_t MAX_FRAMES = 7;

// Checks the items of a frame list one after the other: each must be an
// ndarray (TypeError naming `function` and the item's position otherwise),
// uint16, 2-D and of frame 0's shape. The caller has checked the list's size
// (at most MAX_FRAMES). On success frames[0..n) hold the items, and held[0..n)
// a reference to each: copying one frame may run Python code (a subclass's
// __array_finalize__), which may take the others out of the list.
inline bool check_frame_list(PyObject* list, const char* function, PyArrayObject** frames, PyRef* held) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GET_ITEM(list, k);
        if (!PyArray_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s(): list item %zd must be a numpy.ndarray, not %.200s.",
                         function, k, Py_TYPE(item)->tp_name);
            return false;
        }
        PyArrayObject* frame = as_array(item);
        if (!require_type(frame, NPY_UINT16, "array must be of type Uint16.") ||
            !require_ndim(frame, 2, "array must be 2 dimensional.") ||
            (k > 0 && !require_same_dims(frame, frames[0], "images have a different dimensions."))) {
            return false;
        }
        Py_INCREF(item);
        held[k].reset(item);
        frames[k] = frame;
    }
    return true;
}

}  // namespace
}  // namespace zelnor
