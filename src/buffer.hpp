// A read-only view of a C-contiguous, two-dimensional float64 buffer, released on scope exit.
#pragma once

#include <Python.h>

#include <cstring>

#include "errors.hpp"
#include "objects.hpp"

namespace kestrova {

class Buffer2D {
  public:
    explicit Buffer2D(py::handle object) {
        check_status(PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
        if (view_.ndim != 2) {
            const int ndim = view_.ndim;
            PyBuffer_Release(&view_);
            raise(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                  2, ndim);
        }
        if (!is_native_double(view_.format) || view_.itemsize != sizeof(double)) {
            const py::object format = to_python(view_.format ? view_.format : "B");
            PyBuffer_Release(&view_);
            raise(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got '%U'",
                  format.ptr());
        }
    }
    ~Buffer2D() { PyBuffer_Release(&view_); }
    Buffer2D(const Buffer2D&) = delete;
    Buffer2D& operator=(const Buffer2D&) = delete;

    const double* data() const { return static_cast<const double*>(view_.buf); }
    Py_ssize_t rows() const { return view_.shape[0]; }
    Py_ssize_t columns() const { return view_.shape[1]; }

  private:
    static bool is_native_double(const char* format) {
        if (format == nullptr) return false;
        if (*format == '@' || *format == '=' || *format == '<') ++format;
        return std::strcmp(format, "d") == 0;
    }

    Py_buffer view_;
};

}  // namespace kestrova
