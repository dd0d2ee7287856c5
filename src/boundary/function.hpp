// The methods' function objects: a method table row, and the entry point through which every
// method body is called.
//
// A method body is a C++ function `py::object body(Frame&, py::handle self, T...)` whose parameter
// types say how each argument converts on entry: `float` (single precision), `int32_t`, `Array`
// (ndarray or None, unconverted) or `py::handle` (unconverted). `method_entry<body>` collects the
// arguments, converts them in order and runs the body; whatever leaves it as an error gains the
// traceback entry of the method at the line the body last announced with `Frame::at`.
#pragma once

#include <Python.h>

#include <string>

#include "callable.hpp"
#include "detail/arguments.hpp"
#include "frame.hpp"
#include "names.hpp"

namespace kestrova {

// A native method of HoughTransform.
struct Function {
    Callable head;
    PyObject* globals;  // the module's dictionary, where np, opt and the class are found
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;
    PyObject* code;
    PyObject* dict;
};
static_assert(is_callable_layout<Function>);

// The vectorcall entry point of the method whose body is `body`.
template <auto body>
PyObject* method_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
    const Function& function = *reinterpret_cast<Function*>(callable);
    return detail::enter<body>(function.globals, *function.head.info, function.defaults, nullptr,
                               args, nargsf, kwnames);
}

// A method table row for `body`, with the parameter names (`self` first).
template <auto body, typename... Parameters>
CallableInfo method(const char* name, int first_line, Parameters... parameters) {
    static_assert(sizeof...(Parameters) == 1 + detail::BodyType<decltype(body)>::arguments,
                  "one name per parameter, self included");
    return CallableInfo{name,
                        std::string("HoughTransform.") + name,
                        std::string("kestrova.hough.HoughTransform.") + name,
                        first_line,
                        {parameters...},
                        {},
                        nullptr,
                        &method_entry<body>};
}

// Makes the function type; returns null with the error indicator set on failure.
PyTypeObject* make_function_type();

// Makes the function object for a table row, owned by the caller.
PyObject* make_function(const CallableInfo& info, PyObject* globals);

}  // namespace kestrova
