// The module's function objects: a method table entry, argument collection and the entry point
// through which every method body is called.
//
// A method body is a C++ function `py::object body(Frame&, py::handle self, T...)` whose parameter
// types say how each argument converts on entry: `float` (single precision), `int32_t`, `Array`
// (ndarray or None, unconverted) or `py::handle` (unconverted). `entry<body>` collects the
// arguments, converts them in order and runs the body; whatever leaves it as an error gains the
// traceback entry of the method at the line the body last announced with `Frame::at`.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "objects.hpp"
#include "traceback.hpp"

namespace kestrova {

struct MethodInfo;

// Argument that must be a numpy.ndarray (or a subclass) or None; passed on unchanged.
struct Array : py::handle {};

// The function object: a native method of HoughTransform.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodInfo* info;
    PyObject* globals;  // the module's dictionary, where np, opt and the class are found
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* defaults;
    PyObject* code;
    PyObject* dict;
};

// One row of the method table.
struct MethodInfo {
    const char* name;
    int first_line;
    std::vector<const char*> parameters;  // `self` first
    std::vector<double> defaults;         // for the last parameters
    const char* doc;
    vectorcallfunc entry;
    std::string trace_name;           // "kestrova.hough.HoughTransform.<name>"
    std::vector<PyObject*> keywords;  // interned parameter names, made with the function

    size_t required() const { return parameters.size() - defaults.size(); }

    MethodInfo&& with_defaults(std::vector<double> values) && {
        defaults = std::move(values);
        return std::move(*this);
    }
    MethodInfo&& with_doc(const char* text) && {
        doc = text;
        return std::move(*this);
    }
};

// The function type, made when the module is executed.
inline PyTypeObject* function_type = nullptr;

// The builtins module, where a name missing from the module's globals is looked up next.
inline PyObject* builtins_module = nullptr;

// What a method body sees of its call: the source line of the statement that runs, and the
// module's globals.
class Frame {
  public:
    explicit Frame(const Function& function)
        : Frame(function, function.info->trace_name.c_str(), function.info->first_line) {}

    // A frame of code that runs inside `function` (its globals) under a traceback name of its
    // own; `trace_name` must outlive the process.
    Frame(const Function& function, const char* trace_name, int line)
        : function_(function), trace_name_(trace_name), line_(line) {}

    // Announces the source line of the statement that follows.
    void at(int line) { line_ = line; }

    // A module global, looked up at each use so that replacing it changes later calls.
    py::object global(PyObject* name) const {
        PyObject* value = PyDict_GetItemWithError(function_.globals, name);
        if (value != nullptr) return borrow(value);
        if (PyErr_Occurred()) throw python_error{};
        value = PyObject_GetAttr(builtins_module, name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error{};
            PyErr_Clear();
            raise(PyExc_NameError, "name '%U' is not defined", name);
        }
        return steal(value);
    }

    // np.<name> and opt.<name>. For a plain module the attribute is read from the module's
    // dictionary, which is what the module's attribute look-up returns for names its type does
    // not define; anything else (a stand-in object, a name left to __getattr__) is asked.
    py::object np(PyObject* name) const {
        py::object module = global(names.np);
        if (PyModule_CheckExact(module.ptr())) {
            PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module.ptr()), name);
            if (value != nullptr) return borrow(value);
            if (PyErr_Occurred()) throw python_error{};
        }
        return getattr(module, name);
    }
    py::object opt(PyObject* name) const { return getattr(global(names.opt), name); }

    // Called from a catch block: leaves the error in the interpreter with this frame's entry.
    PyObject* fail() const noexcept;

    // The function object being run; a closure made by a body keeps it to look up globals later.
    const Function& function() const noexcept { return function_; }

  private:
    const Function& function_;
    const char* trace_name_;
    int line_;
};

namespace detail {

[[noreturn]] inline void raise_count(const MethodInfo& info, Py_ssize_t given) {
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
inline void collect(const MethodInfo& info, PyObject* defaults, PyObject* const* args,
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
            if (same_name(PyTuple_GET_ITEM(kwnames, k), info.keywords[i])) {
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
        while (named < most && !same_name(keyword, info.keywords[named])) ++named;
        if (named == most) {
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", info.name,
                  keyword);
        }
        // Collection took the first keyword naming a parameter not given by position.
        bool repeated = named < nargs;
        for (Py_ssize_t j = 0; j < k && !repeated; ++j) {
            repeated = same_name(PyTuple_GET_ITEM(kwnames, j), info.keywords[named]);
        }
        if (repeated) {
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", info.name,
                  keyword);
        }
    }
}

template <typename T>
struct Parameter;

template <>
struct Parameter<float> {
    static float convert(PyObject* value, const char*) { return as_single(value); }
};

template <>
struct Parameter<int32_t> {
    static int32_t convert(PyObject* value, const char*) { return as_int32(value); }
};

template <>
struct Parameter<py::handle> {
    static py::handle convert(PyObject* value, const char*) { return value; }
};

template <>
struct Parameter<Array> {
    static Array convert(PyObject* value, const char* name) {
        if (!is_array_or_none(value)) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                         ndarray_type->tp_name, Py_TYPE(value)->tp_name);
            throw untraced_error{};
        }
        return Array{value};
    }
};

template <typename Body>
struct Signature;

template <typename... Args>
struct Signature<py::object (*)(Frame&, py::handle, Args...)> {
    static constexpr size_t count = sizeof...(Args) + 1;

    template <auto body, size_t... I>
    static PyObject* run(const Function& function, PyObject* const* values,
                         std::index_sequence<I...>) {
        const char* const* parameters = function.info->parameters.data();
        Frame frame(function);
        try {
            // Braced initialisation converts the arguments in parameter order.
            std::tuple<Args...> converted{
                Parameter<Args>::convert(values[I + 1], parameters[I + 1])...};
            return body(frame, values[0], std::get<I>(converted)...).release().ptr();
        } catch (...) {
            return frame.fail();
        }
    }
};

}  // namespace detail

inline PyObject* Frame::fail() const noexcept {
    try {
        throw;
    } catch (const python_error&) {
    } catch (const untraced_error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    }
    add_traceback(trace_name_, line_, function_.globals);
    return nullptr;
}

// The vectorcall entry point of the method whose body is `body`.
template <auto body>
PyObject* entry(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    using signature = detail::Signature<decltype(body)>;
    const Function& function = *reinterpret_cast<Function*>(callable);
    PyObject* values[signature::count];
    try {
        detail::collect(*function.info, function.defaults, args, PyVectorcall_NARGS(nargsf),
                        kwnames, values);
    } catch (...) {
        return Frame(function).fail();
    }
    return signature::template run<body>(function, values,
                                         std::make_index_sequence<signature::count - 1>{});
}

// A method table row for `body`, with the parameter names (`self` first).
template <auto body, typename... Names>
MethodInfo method(const char* name, int first_line, Names... parameters) {
    static_assert(sizeof...(Names) == detail::Signature<decltype(body)>::count,
                  "one name per parameter, self included");
    return MethodInfo{name,
                      first_line,
                      {parameters...},
                      {},
                      nullptr,
                      &entry<body>,
                      std::string("kestrova.hough.HoughTransform.") + name,
                      {}};
}

// Makes the function type; returns null with the error indicator set on failure.
PyTypeObject* make_function_type();

// Makes the function object for a table row, owned by the caller.
PyObject* make_function(MethodInfo& info, PyObject* globals);

}  // namespace kestrova
