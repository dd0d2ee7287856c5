// The module's process-wide state, all in one place.
//
// Module creation refuses a second interpreter, so what the module makes once and keeps (interned
// names, the types it makes or checks against, the code objects of traceback entries, boxed
// floats) lives here for the life of the process. Nothing here is released: the interpreter may
// already be finalised when static destructors run.
#pragma once

#include <Python.h>

#include <cstdint>
#include <map>
#include <utility>

#include "float_boxes.hpp"
#include "names.hpp"

namespace kestrova {

struct State {
    Names names;
    // The module object once its exec step has run; a second load returns it.
    PyObject* module = nullptr;
    // The ID of the interpreter that loaded the module first.
    int64_t first_interpreter = -1;
    // Where a name missing from the module's globals is looked up next.
    PyObject* builtins = nullptr;
    // numpy.ndarray, which the array checks test against.
    PyTypeObject* ndarray_type = nullptr;
    // The types of the methods' function objects and of the closures their bodies make.
    PyTypeObject* function_type = nullptr;
    PyTypeObject* closure_type = nullptr;
    // Code objects of traceback entries, one per (function, line), made on first use: an error
    // path that repeats (a caller probing arguments in a loop) then allocates only the frame.
    std::map<std::pair<const char*, int>, PyCodeObject*> code_objects;
    FloatBoxes boxes;
};

inline State state;

// The interned names, read by nearly every statement of the method bodies.
inline const Names& names = state.names;

}  // namespace kestrova
