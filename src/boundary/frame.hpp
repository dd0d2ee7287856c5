// What a native body sees of its call: the globals its names are looked up in, and the traceback
// entry (function name and source line) that an error leaving it gains.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "errors.hpp"
#include "objects.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace kestrova {

class Frame {
  public:
    // `trace_name` must outlive the process; `line` is reported until the body announces another.
    Frame(PyObject* globals, const char* trace_name, int line)
        : globals_(globals), trace_name_(trace_name), line_(line) {}

    // Announces the source line of the statement that follows.
    void at(int line) { line_ = line; }

    // A module global, looked up at each use so that replacing it changes later calls.
    py::object global(PyObject* name) const {
        PyObject* value = PyDict_GetItemWithError(globals_, name);
        if (value != nullptr) return borrow(value);
        if (PyErr_Occurred()) throw python_error{};
        value = PyObject_GetAttr(state.builtins, name);
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

    // Called from a catch block: leaves the error in the interpreter with this frame's entry, or
    // with none for an untraced_error. Returns null, the interpreter's failure result.
    PyObject* fail() const noexcept {
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
        add_traceback(trace_name_, line_, globals_);
        return nullptr;
    }

    // The globals, which a closure made by the body keeps to look names up in later.
    PyObject* globals() const noexcept { return globals_; }

  private:
    PyObject* globals_;
    const char* trace_name_;
    int line_;
};

}  // namespace kestrova
