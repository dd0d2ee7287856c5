// Errors across the interpreter boundary.
//
// A C++ exception unwinds a method body; the Python error it stands for stays in the interpreter's
// error indicator until the function object's entry point hands it back to the caller. Nothing is
// fetched or normalised on the way, so NumPy's and SciPy's exceptions pass through untouched.
#pragma once

#include <Python.h>

#include <cstdarg>

namespace kestrova {

// The interpreter's error indicator is set; unwind to the entry point.
struct python_error {};

// Like python_error, but the entry point adds no traceback entry for it.
struct untraced_error {};

// Sets the error indicator from a printf-style format (PyErr_FormatV) and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw python_error{};
}

// Unwinds when an interpreter call reported failure with a null result.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw python_error{};
    return result;
}

// Unwinds when an interpreter call reported failure with a negative status.
inline int check_status(int status) {
    if (status < 0) throw python_error{};
    return status;
}

}  // namespace kestrova
