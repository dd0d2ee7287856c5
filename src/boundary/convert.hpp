// Typed values at the boundary: single-precision floats, 32-bit integers, array checks and
// unpacking into a fixed number of values, each failing with the module's own message.
#pragma once

#include <Python.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "errors.hpp"
#include "objects.hpp"
#include "state.hpp"

namespace kestrova {

// Rounds to the nearest single-precision value. Doubles past the largest float by half an ulp or
// more round to infinity; the cast is kept to values whose result is a finite float or NaN, since
// converting an out-of-range value is not defined by the language.
inline float to_single(double value) {
    constexpr double overflow = (2.0 - 0x1p-24) * 0x1p127;  // FLT_MAX + half its ulp
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    if (value > FLT_MAX) return FLT_MAX;
    if (value < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(value);
}

// The interpreter's float conversion (a float's own value, otherwise __float__), then rounding.
inline float as_single(py::handle object) {
    PyObject* o = object.ptr();
    const double value = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (value == -1.0 && PyErr_Occurred()) throw python_error{};
    return to_single(value);
}

// An int as is; anything else through its type's __int__, whose result must be an int.
inline int32_t as_int32(py::handle object) {
    py::object number = borrow(object.ptr());
    if (!PyLong_Check(object.ptr())) {
        PyNumberMethods* slots = Py_TYPE(object.ptr())->tp_as_number;
        if (slots == nullptr || slots->nb_int == nullptr) {
            raise(PyExc_TypeError, "an integer is required");
        }
        number = steal(slots->nb_int(object.ptr()));
        if (!PyLong_CheckExact(number.ptr())) {
            const char* type_name = Py_TYPE(number.ptr())->tp_name;
            if (!PyLong_Check(number.ptr())) {
                raise(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                      type_name);
            }
            check_status(PyErr_WarnFormat(
                PyExc_DeprecationWarning, 1,
                "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                "strict subclass of int is deprecated, and may be removed in a future version of "
                "Python.",
                type_name));
        }
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(number.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw python_error{};
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        raise(PyExc_OverflowError, "value too large to convert to int");
    }
    return static_cast<int32_t>(value);
}

// A parameter of a method body that must be a numpy.ndarray (or a subclass) or None; passed on
// unchanged.
struct Array : py::handle {};

inline bool is_array_or_none(py::handle object) {
    return object.is_none() || PyObject_TypeCheck(object.ptr(), state.ndarray_type);
}

// A value stored into a local that holds an array must be an array or None.
inline py::object as_array(py::object value) {
    if (!is_array_or_none(value)) {
        raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value.ptr())->tp_name,
              state.ndarray_type->tp_name);
    }
    return value;
}

namespace detail {

[[noreturn]] inline void raise_too_many(Py_ssize_t expected) {
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

[[noreturn]] inline void raise_too_few(Py_ssize_t found) {
    raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

}  // namespace detail

// a, b = values: a tuple or list is read directly, anything else is iterated.
template <size_t N>
std::array<py::object, N> unpack(py::handle values) {
    std::array<py::object, N> items;
    PyObject* o = values.ptr();
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
        if (size > static_cast<Py_ssize_t>(N)) detail::raise_too_many(N);
        if (size < static_cast<Py_ssize_t>(N)) detail::raise_too_few(size);
        for (size_t i = 0; i < N; ++i) items[i] = borrow(PySequence_Fast_GET_ITEM(o, i));
        return items;
    }
    py::object iterator = steal(PyObject_GetIter(o));
    for (size_t i = 0; i < N; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw python_error{};
            detail::raise_too_few(static_cast<Py_ssize_t>(i));
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (extra) detail::raise_too_many(N);
    if (PyErr_Occurred()) throw python_error{};
    return items;
}

}  // namespace kestrova
