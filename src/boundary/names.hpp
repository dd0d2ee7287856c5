// Interned attribute, global and parameter names, made once when the module is executed, so that
// every look-up in a method body and every keyword matched compares string pointers instead of
// creating a string.
#pragma once

#include <Python.h>

// clang-format off
// Names used by construction and the score map.
#define KESTROVA_NAMES_FRAME(X) \
    X(np) X(opt) X(itertools) X(image) X(sigma) X(shape) X(center) X(axis1) X(axis2) X(radius)    \
    X(append_x) X(append_y) X(arange) X(reshape) X(sqrt) X(array) X(zeros) X(T)                   \
    X(ascontiguousarray) X(dtype) X(float64)

// Names used by the line geometry and the sampling along a line.
#define KESTROVA_NAMES_GEOMETRY(X) \
    X(cos) X(sin) X(tile) X(abs) X(max) X(min) X(dl) X(dm) X(p0) X(n0) X(mask) X(argsort)         \
    X(append) X(vstack) X(cumsum) X(histogram) X(weights) X(bins) X(diff) X(nbytes) X(flags)      \
    X(owndata) X(writebackifcopy)

// Names used by the measurements.
#define KESTROVA_NAMES_MEASUREMENT(X) \
    X(size) X(elements_along) X(hstack) X(inf) X(Bounds) X(minimize) X(method) X(bounds) X(x)     \
    X(fun) X(sum) X(ramp_sigmoid) X(clip) X(dmlim) X(p)

// Parameter names not listed above, matched against keyword arguments.
#define KESTROVA_NAMES_PARAMETERS(X) \
    X(self) X(r) X(theta) X(r0) X(r1) X(nr) X(t0) X(t1) X(nt) X(width) X(w) X(dm1) X(dm2)

#define KESTROVA_NAMES(X) \
    KESTROVA_NAMES_FRAME(X) KESTROVA_NAMES_GEOMETRY(X) KESTROVA_NAMES_MEASUREMENT(X)               \
    KESTROVA_NAMES_PARAMETERS(X)
// clang-format on

namespace kestrova {

struct Names {
#define KESTROVA_DECLARE(name) PyObject* name = nullptr;
    KESTROVA_NAMES(KESTROVA_DECLARE)
#undef KESTROVA_DECLARE

    // Returns false with the error indicator set when the interpreter is out of memory.
    bool intern() {
#define KESTROVA_INTERN(name) \
    if (!name && !(name = PyUnicode_InternFromString(#name))) return false;
        KESTROVA_NAMES(KESTROVA_INTERN)
#undef KESTROVA_INTERN
        return true;
    }
};

// A parameter of a native callable, named by its entry in the table.
using ParameterName = PyObject* Names::*;

}  // namespace kestrova
