// Native callables: the function objects of the methods and the closures their bodies make.
//
// Each is described by a CallableInfo (its names, first line, parameters and entry point) and laid
// out as a Callable head followed by owned object references only. One type definition serves
// them all: deallocation, garbage collection, repr and calling are the same, and a kind of
// callable adds only its attribute tables and whether it binds to an instance as a method.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "names.hpp"

namespace kestrova {

// One row of a table of native callables.
struct CallableInfo {
    const char* name;                       // __name__, and the name in argument errors
    std::string qualname;                   // __qualname__, and the name in repr
    std::string trace_name;                 // the function name of its traceback entries
    int first_line;                         // its code's first line, where errors point at first
    std::vector<ParameterName> parameters;  // a method's `self` first
    std::vector<double> defaults;           // for the last parameters
    const char* doc;
    vectorcallfunc entry;

    size_t required() const { return parameters.size() - defaults.size(); }

    CallableInfo&& with_defaults(std::vector<double> values) && {
        defaults = std::move(values);
        return std::move(*this);
    }
    CallableInfo&& with_doc(const char* text) && {
        doc = text;
        return std::move(*this);
    }
};

// The head of every native callable object. What follows it are owned references, which
// deallocation and garbage collection reach through the type's size.
struct Callable {
    PyObject_HEAD vectorcallfunc vectorcall;
    const CallableInfo* info;
};

template <typename Object>
inline constexpr bool is_callable_layout =
    std::is_standard_layout_v<Object> && offsetof(Object, head) == 0 &&
    std::is_same_v<decltype(Object::head), Callable> &&
    (sizeof(Object) - sizeof(Callable)) % sizeof(PyObject*) == 0;

// What one kind of native callable adds to the common type.
struct CallableKind {
    const char* type_name;  // must outlive the process
    // Attribute tables, each ending in a null row, or null for none. The members (beside
    // __vectorcalloffset__, which every kind has) are copied; the others must outlive the process.
    const PyMemberDef* members;
    PyGetSetDef* getset;
    PyMethodDef* methods;
    Py_ssize_t basicsize;
    // Whether reading it through an instance gives a bound method.
    bool binds;
};

// Makes the type of a kind of native callable; returns null with the error indicator set.
PyTypeObject* make_callable_type(const CallableKind& kind);

}  // namespace kestrova
