// Argument collection and conversion for native callables, by the rules of the methods: the
// arguments are matched to the parameters of a CallableInfo, then converted in parameter order to
// the types the body declares.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "../callable.hpp"
#include "../convert.hpp"
#include "../errors.hpp"
#include "../frame.hpp"
#include "../objects.hpp"
#include "../state.hpp"

namespace kestrova::detail {

[[noreturn]] inline void raise_count(const CallableInfo& info, Py_ssize_t given) {
    const auto most = static_cast<Py_ssize_t>(info.parameters.size());
    const auto least = static_cast<Py_ssize_t>(info.required());
    const char* word = "exactly";
    Py_ssize_t expected = most;
    if (least != most) {
        word = given < least ? "at least" : "at most";
        expected = given < least ? least : most;
    }
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", info.name,
          word, expected, expected == 1 ? "" : "s", given);
}

inline bool same_name(PyObject* keyword, PyObject* interned) {
    return keyword == interned ||
           (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, interned) == 0);
}

// Fills values[i] with a borrowed reference to the argument for parameter i of `info`, taking
// the trailing ones missing from `defaults` (a tuple, or anything when there are none).
inline void collect(const CallableInfo& info, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
    const auto most = static_cast<Py_ssize_t>(info.parameters.size());
    const auto least = static_cast<Py_ssize_t>(info.required());
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > most || (nkw == 0 && nargs < least)) raise_count(info, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    Py_ssize_t found = 0;
    for (Py_ssize_t i = nargs; i < most; ++i) {
        values[i] = nullptr;
        for (Py_ssize_t k = 0; k < nkw && values[i] == nullptr; ++k) {
            if (same_name(PyTuple_GET_ITEM(kwnames, k), names.*info.parameters[i])) {
                values[i] = args[nargs + k];
                ++found;
            }
        }
        if (values[i] == nullptr) {
            if (i < least) raise_count(info, i);
            values[i] = PyTuple_GET_ITEM(defaults, i - least);
        }
    }
    if (found == nkw) return;

    // A keyword left over names a parameter given by position, repeats one, or names none.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            raise(PyExc_TypeError, "%.200s() keywords must be strings", info.name);
        }
        Py_ssize_t named = 0;
        while (named < most && !same_name(keyword, names.*info.parameters[named])) ++named;
        if (named == most) {
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", info.name,
                  keyword);
        }
        // Collection took the first keyword naming a parameter not given by position.
        bool repeated = named < nargs;
        for (Py_ssize_t j = 0; j < k && !repeated; ++j) {
            repeated = same_name(PyTuple_GET_ITEM(kwnames, j), names.*info.parameters[named]);
        }
        if (repeated) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", info.name,
                  keyword);
        }
    }
}

// How an argument converts to the type of the body's parameter.
template <typename T>
struct Converter;

template <>
struct Converter<float> {
    static float convert(PyObject* value, PyObject*) { return as_single(value); }
};

template <>
struct Converter<int32_t> {
    static int32_t convert(PyObject* value, PyObject*) { return as_int32(value); }
};

template <>
struct Converter<py::handle> {
    static py::handle convert(PyObject* value, PyObject*) { return value; }
};

template <>
struct Converter<Array> {
    static Array convert(PyObject* value, PyObject* name) {
        if (!is_array_or_none(value)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%U' has incorrect type (expected %.200s, got %.200s)", name,
                         state.ndarray_type->tp_name, Py_TYPE(value)->tp_name);
            throw untraced_error{};
        }
        return Array{value};
    }
};

// A body `py::object body(Frame&, py::handle first, Args...)`: `first` is a method's instance or
// a closure's captured objects, and Args say how each argument after it converts.
template <typename Body>
struct BodyType;

template <typename... Args>
struct BodyType<py::object (*)(Frame&, py::handle, Args...)> {
    static constexpr size_t arguments = sizeof...(Args);

    // Converts values[i] for parameter `parameters[i]` and runs the body in `frame`.
    template <auto body>
    static PyObject* run(Frame& frame, py::handle first, PyObject* const* values,
                         const ParameterName* parameters) {
        return run<body>(frame, first, values, parameters, std::index_sequence_for<Args...>{});
    }

  private:
    template <auto body, size_t... I>
    static PyObject* run(Frame& frame, py::handle first, PyObject* const* values,
                         const ParameterName* parameters, std::index_sequence<I...>) {
        try {
            // Braced initialisation converts the arguments in parameter order.
            std::tuple<Args...> converted{
                Converter<Args>::convert(values[I], names.*parameters[I])...};
            return body(frame, first, std::get<I>(converted)...).release().ptr();
        } catch (...) {
            return frame.fail();
        }
    }
};

// The entry point of a native callable whose body is `body`: in a frame of `globals`, collects
// the arguments for `info` (`defaults` as for `collect`) and runs the body. A closure's body gets
// its `captured` objects first; a method's (`captured` null) gets the instance, its first argument.
template <auto body>
PyObject* enter(PyObject* globals, const CallableInfo& info, PyObject* defaults, PyObject* captured,
                PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    using Body = BodyType<decltype(body)>;
    Frame frame(globals, info.trace_name.c_str(), info.first_line);
    PyObject* values[1 + Body::arguments];
    try {
        collect(info, defaults, args, PyVectorcall_NARGS(nargsf), kwnames, values);
    } catch (...) {
        return frame.fail();
    }
    if (captured != nullptr)
        return Body::template run<body>(frame, captured, values, info.parameters.data());
    return Body::template run<body>(frame, values[0], values + 1, info.parameters.data() + 1);
}

}  // namespace kestrova::detail
