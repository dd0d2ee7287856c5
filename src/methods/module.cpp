// The extension module kestrova.hough: the class HoughTransform made from the method table, and
// the module's creation and execution steps. The module definition is at the bottom.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "boundary/closure.hpp"
#include "boundary/function.hpp"
#include "methods.hpp"

namespace kestrova {
namespace {

// Copies spec.<attribute> into the module's dictionary under `key`, skipping a missing attribute
// and, unless allowed, None.
int copy_from_spec(PyObject* spec, PyObject* dict, const char* attribute, const char* key,
                   bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, attribute);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int status = 0;
    if (allow_none || value != Py_None) status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.first_interpreter == -1) {
        state.first_interpreter = current;
    } else if (current != state.first_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        Py_INCREF(state.module);
        return state.module;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_from_spec(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_from_spec(spec, dict, "origin", "__file__", true) < 0 ||
        copy_from_spec(spec, dict, "parent", "__package__", true) < 0 ||
        copy_from_spec(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// The exec step's state as it goes: the line a failure is reported at.
struct Init {
    PyObject* globals;
    int line = lines::module;
};

// module.type_name must be a type at least as large as the layout this module relies on.
PyTypeObject* import_type(const char* module, const char* type_name, Py_ssize_t size,
                          bool larger_warns) {
    py::object owner = steal(PyImport_ImportModule(module));
    py::object type = steal(PyObject_GetAttrString(owner.ptr(), type_name));
    if (!PyType_Check(type.ptr())) {
        raise(PyExc_TypeError, "%.200s.%.200s is not a type object", module, type_name);
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_basicsize;
    if (actual < size) {
        raise(PyExc_ValueError,
              "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from "
              "C header, got %zd from PyObject",
              module, type_name, size, actual);
    }
    if (actual > size && larger_warns) {
        check_status(PyErr_WarnFormat(nullptr, 0,
                                      "%s.%s size changed, may indicate binary incompatibility. "
                                      "Expected %zd from C header, got %zd from PyObject",
                                      module, type_name, size, actual));
    }
    // Types live as long as their module, which the interpreter keeps for the process.
    return reinterpret_cast<PyTypeObject*>(type.ptr());
}

// `import name`, tried as a sibling module of this package first.
py::object import(PyObject* globals, const char* name) {
    PyObject* package = PyDict_GetItemString(globals, "__package__");
    if (package != nullptr && PyUnicode_Check(package) && PyUnicode_GetLength(package) > 0) {
        py::object relative = steal(PyUnicode_FromFormat("%U.%s", package, name));
        PyObject* module = PyImport_Import(relative.ptr());
        if (module != nullptr) return steal(module);
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw python_error{};
        PyErr_Clear();
    }
    return steal(PyImport_ImportModule(name));
}

void bind_global(Init& init, const char* name, py::handle value) {
    check_status(PyDict_SetItemString(init.globals, name, value.ptr()));
}

// The method table, in source order.
const CallableInfo method_table[] = {
    method<methods::init>("__init__", lines::init, &Names::self, &Names::image, &Names::sigma),
    method<methods::dl>("dl", lines::dl, &Names::self, &Names::r, &Names::theta),
    method<methods::dm>("dm", lines::dm, &Names::self, &Names::r, &Names::theta),
    method<methods::p0>("p0", lines::p0, &Names::self, &Names::r, &Names::theta),
    method<methods::n0>("n0", lines::n0, &Names::self, &Names::r, &Names::theta),
    method<methods::dmlim>("dmlim", lines::dmlim, &Names::self, &Names::r, &Names::theta),
    method<methods::locate>("locate", lines::locate, &Names::self, &Names::r, &Names::theta,
                            &Names::dm),
    method<methods::score_map>("score_map", lines::score_map, &Names::self, &Names::r0, &Names::r1,
                               &Names::nr, &Names::t0, &Names::t1, &Names::nt, &Names::width)
        .with_defaults({1.0})
        .with_doc(" Create Score Map\n    "),
    method<methods::mask>("mask", lines::mask, &Names::self, &Names::r, &Names::theta, &Names::w),
    method<methods::elements_along>("elements_along", lines::elements_along, &Names::self,
                                    &Names::r, &Names::theta, &Names::w),
    method<methods::snr>("snr", lines::snr, &Names::self, &Names::r, &Names::theta, &Names::w),
    method<methods::fit>("fit", lines::fit, &Names::self, &Names::r, &Names::theta, &Names::w),
    method<methods::profile>("profile", lines::profile, &Names::self, &Names::r, &Names::theta,
                             &Names::dm1, &Names::dm2, &Names::w),
    method<methods::ramp_sigmoid>("ramp_sigmoid", lines::ramp_sigmoid, &Names::self, &Names::x,
                                  &Names::p),
};

py::object make_class(Init& init, py::handle object_type) {
    py::object ns = steal(PyDict_New());
    check_status(PyDict_SetItemString(ns.ptr(), "__module__", to_python("kestrova.hough").ptr()));
    check_status(PyDict_SetItemString(ns.ptr(), "__qualname__", to_python("HoughTransform").ptr()));
    check_status(
        PyDict_SetItemString(ns.ptr(), "__doc__", to_python(" Hough Transformation\n  ").ptr()));
    for (const CallableInfo& info : method_table) {
        py::object function = steal(make_function(info, init.globals));
        check_status(PyDict_SetItemString(ns.ptr(), info.name, function.ptr()));
    }
    // The metaclass derived from the one base, object.
    py::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(object_type.ptr()));
    return call(metaclass, "HoughTransform", make_tuple(object_type), ns);
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'hough' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    state.module = module;
    Init init{PyModule_GetDict(module)};
    try {
        if (!state.names.intern()) throw python_error{};
        state.builtins = steal(PyImport_ImportModule("builtins")).release().ptr();
        py::object object_type =
            getattr(state.builtins, steal(PyUnicode_FromString("object")).ptr());
        getattr(state.builtins, steal(PyUnicode_FromString("range")).ptr());
        getattr(state.builtins, steal(PyUnicode_FromString("ImportError")).ptr());

        import_type("builtins", "type", sizeof(PyHeapTypeObject), true);
        // Arrays are read only through the buffer protocol, so of NumPy's types nothing beyond
        // the object header is relied on.
        for (const char* numpy_type : {"dtype", "flatiter", "broadcast", "ndarray", "ufunc"}) {
            PyTypeObject* type = import_type("numpy", numpy_type, sizeof(PyObject), false);
            if (std::strcmp(numpy_type, "ndarray") == 0) state.ndarray_type = type;
        }
        if (state.function_type == nullptr && !(state.function_type = make_function_type())) {
            throw python_error{};
        }
        if (state.closure_type == nullptr && !(state.closure_type = make_closure_type())) {
            throw python_error{};
        }

        init.line = lines::module_numpy;
        bind_global(init, "np", import(init.globals, "numpy"));
        init.line = lines::module_optimize;
        bind_global(init, "opt", import(init.globals, "scipy.optimize"));
        init.line = lines::module_itertools;
        bind_global(init, "itertools", import(init.globals, "itertools"));
        init.line = lines::module_class;
        bind_global(init, "HoughTransform", make_class(init, object_type));
        return 0;
    } catch (...) {
        try {
            throw;
        } catch (const python_error&) {
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_SystemError, error.what());
        }
        if (PyErr_Occurred()) {
            add_traceback("init kestrova.hough", init.line, init.globals);
        } else {
            PyErr_SetString(PyExc_ImportError, "init kestrova.hough");
        }
        state.module = nullptr;
        return -1;
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "hough",  // m_name
    nullptr,  // m_doc
    0,        // m_size
    nullptr,  // m_methods
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace kestrova

PyMODINIT_FUNC PyInit_hough() { return PyModuleDef_Init(&kestrova::module_def); }
