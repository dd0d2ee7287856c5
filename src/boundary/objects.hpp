// Python operations on object handles, each one interpreter call that unwinds on failure.
//
// Method bodies are written with these: attribute access, item access, calls through vectorcall,
// arithmetic and comparison. Scalars convert on the way in: a single-precision float travels as
// the Python float that holds its value, an integer as a Python int.
#pragma once

#include <Python.h>
#include <pybind11/pytypes.h>

#include <array>
#include <initializer_list>
#include <stdexcept>
#include <utility>

#include "errors.hpp"

namespace kestrova {

namespace py = pybind11;

// Takes ownership of a new reference; a null result means the interpreter reported an error.
inline py::object steal(PyObject* object) {
    return py::reinterpret_steal<py::object>(check(object));
}

inline py::object borrow(PyObject* object) { return py::reinterpret_borrow<py::object>(object); }

inline py::object to_python(py::handle object) { return borrow(object.ptr()); }
inline py::object to_python(double value) { return steal(PyFloat_FromDouble(value)); }
inline py::object to_python(float value) { return to_python(static_cast<double>(value)); }
inline py::object to_python(int value) { return steal(PyLong_FromLong(value)); }
inline py::object to_python(long value) { return steal(PyLong_FromLong(value)); }
inline py::object to_python(const char* text) { return steal(PyUnicode_FromString(text)); }

inline py::object getattr(py::handle object, PyObject* name) {
    return steal(PyObject_GetAttr(object.ptr(), name));
}

inline void setattr(py::handle object, PyObject* name, py::handle value) {
    check_status(PyObject_SetAttr(object.ptr(), name, value.ptr()));
}

template <typename Key>
py::object getitem(py::handle object, const Key& key) {
    return steal(PyObject_GetItem(object.ptr(), to_python(key).ptr()));
}

template <typename Key>
void setitem(py::handle object, const Key& key, py::handle value) {
    check_status(PyObject_SetItem(object.ptr(), to_python(key).ptr(), value.ptr()));
}

// callable(args...). The free slot in front of the arguments lets a bound method prepend its
// instance without copying the argument array.
template <typename... Args>
py::object call(py::handle callable, const Args&... args) {
    constexpr size_t count = sizeof...(Args);
    std::array<py::object, count> held{to_python(args)...};
    PyObject* argv[count + 1] = {nullptr};
    for (size_t i = 0; i < count; ++i) argv[i + 1] = held[i].ptr();
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                     count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// object.name(args...), without creating a bound method.
template <typename... Args>
py::object call_method(py::handle object, PyObject* name, const Args&... args) {
    constexpr size_t count = sizeof...(Args);
    std::array<py::object, count> held{to_python(args)...};
    PyObject* argv[count + 1] = {object.ptr()};
    for (size_t i = 0; i < count; ++i) argv[i + 1] = held[i].ptr();
    return steal(PyObject_VectorcallMethod(name, argv, (count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

using keyword = std::pair<PyObject*, py::handle>;

// callable(*args, **keywords), keywords in the order given.
inline py::object call_kw(py::handle callable, std::initializer_list<py::handle> args,
                          std::initializer_list<keyword> keywords) {
    constexpr size_t most = 8;  // the module never passes more
    if (args.size() + keywords.size() > most)
        throw std::length_error("call_kw: too many arguments");
    PyObject* argv[most + 1] = {nullptr};
    size_t n = 0;
    for (py::handle arg : args) argv[1 + n++] = arg.ptr();
    py::object names = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t k = 0;
    for (const keyword& kw : keywords) {
        argv[1 + n++] = kw.second.ptr();
        PyTuple_SET_ITEM(names.ptr(), k++, borrow(kw.first).release().ptr());
    }
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                     args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

template <typename... Items>
py::object make_tuple(const Items&... items) {
    std::array<py::object, sizeof...(Items)> held{to_python(items)...};
    py::object tuple = steal(PyTuple_New(sizeof...(Items)));
    for (size_t i = 0; i < held.size(); ++i)
        PyTuple_SET_ITEM(tuple.ptr(), i, held[i].release().ptr());
    return tuple;
}

template <typename... Items>
py::object make_list(const Items&... items) {
    std::array<py::object, sizeof...(Items)> held{to_python(items)...};
    py::object list = steal(PyList_New(sizeof...(Items)));
    for (size_t i = 0; i < held.size(); ++i)
        PyList_SET_ITEM(list.ptr(), i, held[i].release().ptr());
    return list;
}

// Arithmetic and comparison with the interpreter's semantics for whatever the operands are.
template <typename A, typename B>
py::object add(const A& a, const B& b) {
    return steal(PyNumber_Add(to_python(a).ptr(), to_python(b).ptr()));
}
template <typename A, typename B>
py::object sub(const A& a, const B& b) {
    return steal(PyNumber_Subtract(to_python(a).ptr(), to_python(b).ptr()));
}
template <typename A, typename B>
py::object mul(const A& a, const B& b) {
    return steal(PyNumber_Multiply(to_python(a).ptr(), to_python(b).ptr()));
}
template <typename A, typename B>
py::object truediv(const A& a, const B& b) {
    return steal(PyNumber_TrueDivide(to_python(a).ptr(), to_python(b).ptr()));
}
template <typename A, typename B>
py::object power(const A& a, const B& b) {
    return steal(PyNumber_Power(to_python(a).ptr(), to_python(b).ptr(), Py_None));
}
template <typename A, typename B>
py::object bit_and(const A& a, const B& b) {
    return steal(PyNumber_And(to_python(a).ptr(), to_python(b).ptr()));
}
inline py::object neg(py::handle a) { return steal(PyNumber_Negative(a.ptr())); }

template <typename A, typename B>
py::object less(const A& a, const B& b) {
    return steal(PyObject_RichCompare(to_python(a).ptr(), to_python(b).ptr(), Py_LT));
}
template <typename A, typename B>
py::object greater(const A& a, const B& b) {
    return steal(PyObject_RichCompare(to_python(a).ptr(), to_python(b).ptr(), Py_GT));
}

}  // namespace kestrova
