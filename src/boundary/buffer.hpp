// A read-only view of a C-contiguous, two-dimensional float64 buffer, released on scope exit.
#pragma once

#include <Python.h>

#include <cstring>

#include "errors.hpp"
#include "objects.hpp"

namespace kestrova {

// Whether a buffer's struct format is the single native-order item `code` ("d", "?").
inline bool native_format(const char* format, const char* code) {
    if (format == nullptr) return false;
    const bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    if (*format == '@' || *format == '=' || (*format == '<' && little_endian)) ++format;
    return std::strcmp(format, code) == 0;
}

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
        if (!native_format(view_.format, "d") || view_.itemsize != sizeof(double)) {
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
    Py_buffer view_;
};

}  // namespace kestrova
