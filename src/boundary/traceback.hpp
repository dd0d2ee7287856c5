// Traceback entries for errors that leave the module: "<function>" in "src/hough" at a source line.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <utility>

#include "state.hpp"

namespace kestrova {

inline constexpr const char* source_file = "src/hough";

namespace detail {

inline PyCodeObject* code_for(const char* function, int line) {
    auto found = state.code_objects.find({function, line});
    if (found != state.code_objects.end()) return found->second;
    // An empty code object whose first line is the line to report: with no instructions the
    // frame's line number is the code's first line.
    PyCodeObject* code = PyCode_NewEmpty(source_file, function, line);
    if (code != nullptr) state.code_objects.emplace(std::make_pair(function, line), code);
    return code;
}

}  // namespace detail

// Adds an entry to the traceback of the exception being raised. `function` must outlive the
// process (a literal or a string held by a static table). A failure to build the entry leaves
// the original exception in place.
inline void add_traceback(const char* function, int line, PyObject* globals) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyCodeObject* code = detail::code_for(function, line);
    PyFrameObject* frame =
        code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // Building the entry must not replace the error being reported.
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace kestrova
