// Closures that method bodies make: native callables over objects captured when they are made,
// run with the globals of the method that made them.
//
// A closure body is `py::object body(Frame&, py::handle captured, T...)`, `captured` being the
// tuple of captured objects and T... its parameters as for a method body. To the caller and in
// tracebacks a closure looks like the Python function it stands for: its CallableInfo gives its
// `__name__`, `__qualname__` and traceback entry, reported at its first line.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "callable.hpp"
#include "detail/arguments.hpp"
#include "frame.hpp"
#include "objects.hpp"

namespace kestrova {

struct Closure {
    Callable head;
    PyObject* globals;   // those of the method that made it
    PyObject* captured;  // a tuple
};
static_assert(is_callable_layout<Closure>);

// The vectorcall entry point of the closure whose body is `body`.
template <auto body>
PyObject* closure_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    const Closure& closure = *reinterpret_cast<Closure*>(callable);
    return detail::enter<body>(closure.globals, *closure.head.info, nullptr, closure.captured, args,
                               nargsf, kwnames);
}

// The definition of a closure that runs `body`, with its parameter names.
template <auto body, typename... Parameters>
CallableInfo closure(const char* name, std::string qualname, std::string trace_name, int first_line,
                     Parameters... parameters) {
    static_assert(sizeof...(Parameters) == detail::BodyType<decltype(body)>::arguments,
                  "one name per parameter");
    return CallableInfo{
        name,    std::move(qualname),  std::move(trace_name), first_line, {parameters...}, {},
        nullptr, &closure_entry<body>,
    };
}

// Makes the closure type; returns null with the error indicator set on failure.
PyTypeObject* make_closure_type();

// The closure defined by `info` over `captured`, with the globals of the frame that makes it.
py::object make_closure(const Frame& frame, const CallableInfo& info, py::object captured);

}  // namespace kestrova
