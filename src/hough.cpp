// The extension module kestrova.hough: the class HoughTransform, its construction and its score
// map. The other method bodies live beside this file (methods.hpp lists them).
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include <unistd.h>

#include "buffer.hpp"
#include "function.hpp"
#include "hough.hpp"
#include "methods.hpp"

namespace kestrova {
namespace {

// score[n] = values[n] for every n: straight into the array's memory when score is a plain
// contiguous float64 array of that length, otherwise element by element as Python floats.
void copy_out(py::handle score, const double* values, int64_t count) {
    if (Py_TYPE(score.ptr()) == ndarray_type) {
        Py_buffer view;
        if (PyObject_GetBuffer(score.ptr(), &view,
                               PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            const bool fits = view.ndim == 1 && view.shape[0] == count &&
                              view.itemsize == sizeof(double) && native_format(view.format, "d");
            if (fits) std::memcpy(view.buf, values, static_cast<size_t>(count) * sizeof(double));
            PyBuffer_Release(&view);
            if (fits) return;
        } else {
            PyErr_Clear();
        }
    }
    for (int64_t n = 0; n < count; ++n) setitem(score, static_cast<long>(n), to_python(values[n]));
}

// Bytes of physical memory, or 0 when the system does not say.
double physical_memory() {
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<double>(pages) * static_cast<double>(page);
#endif
    return 0.0;
}

}  // namespace

namespace methods {

py::object init(Frame& f, py::handle self, py::handle image, py::handle sigma) {
    f.at(25);
    setattr(self, names.image, image);
    f.at(26);
    setattr(self, names.sigma, sigma);
    f.at(27);
    auto [ny, nx] = unpack<2>(getattr(image, names.shape));
    f.at(28);
    setattr(self, names.center, make_tuple(truediv(sub(ny, 1), 2.0), truediv(sub(nx, 1), 2.0)));
    f.at(29);
    py::object columns =
        call_method(call(f.np(names.arange), nx), names.reshape, make_tuple(1, nx));
    setattr(self, names.axis1, sub(columns, getitem(getattr(self, names.center), 1)));
    f.at(30);
    py::object rows = call_method(call(f.np(names.arange), ny), names.reshape, make_tuple(ny, 1));
    setattr(self, names.axis2, sub(rows, getitem(getattr(self, names.center), 0)));
    f.at(31);
    py::object squares = add(power(nx, 2), power(ny, 2));
    setattr(self, names.radius, truediv(call(f.np(names.sqrt), squares), 2.0));
    f.at(32);
    py::object ends = call(f.np(names.array), make_list(-1, 1));
    setattr(self, names.append_x, mul(getattr(self, names.radius), ends));
    f.at(33);
    setattr(self, names.append_y, call(f.np(names.zeros), 2));
    return borrow(Py_None);
}

py::object score_map(Frame& f, py::handle self, float r0, float r1, int32_t nr, float t0, float t1,
                     int32_t nt, float width) {
    f.at(71);
    // Two negative counts make a positive product that NumPy would accept here and the kernel
    // would read as an enormous grid.
    if (nr < 0 && nt < 0) {
        raise(PyExc_ValueError, "score_map() needs nr and nt that are not negative (got %d and %d)",
              nr, nt);
    }
    // Formed in 64 bits: a 32-bit product can wrap to a small positive size.
    const int64_t cells = static_cast<int64_t>(nr) * nt;
    // The map is held twice at its peak, as the kernel's buffer and as its copy. Memory is
    // promised lazily, so a grid beyond the machine's memory would not fail to allocate: the
    // system would end the process once the map is written. Refused here instead.
    const double memory = physical_memory();
    if (memory > 0.0 && 2.0 * static_cast<double>(cells) * sizeof(double) > memory) {
        raise(PyExc_MemoryError, "score_map() grid of %d x %d cells needs more memory than %.0f GB",
              nr, nt, memory / 1e9);
    }
    py::object score = as_array(call(f.np(names.zeros), make_tuple(cells)));
    f.at(73);
    py::object transposed = getattr(getattr(self, names.image), names.T);
    py::object numpy_input = as_array(
        call_kw(f.np(names.ascontiguousarray), {transposed}, {{names.dtype, f.np(names.float64)}}));
    Buffer2D input(numpy_input);
    f.at(75);
    auto [rows, columns] = unpack<2>(getattr(getattr(self, names.image), names.shape));
    const int32_t Nx = as_int32(rows);
    const int32_t Ny = as_int32(columns);
    // The image is read again for its shape; a shape that disagrees with the copy would make
    // the kernel read outside it.
    if (input.rows() != Ny || input.columns() != Nx) {
        raise(PyExc_ValueError,
              "image shape (%d, %d) does not match its float64 copy of shape (%zd, %zd)", Nx, Ny,
              input.columns(), input.rows());
    }
    f.at(77);
    std::unique_ptr<double[]> result(hough::generate_hough_transformed_map(
        const_cast<double*>(input.data()), static_cast<size_t>(Nx), static_cast<size_t>(Ny), r0, r1,
        static_cast<size_t>(nr), t0, t1, static_cast<size_t>(nt), width));
    f.at(78);
    copy_out(score, result.get(), cells);
    result.reset();
    f.at(79);
    return call_method(score, names.reshape, make_tuple(nr, nt));
}

}  // namespace methods

namespace {

// The method table, in source order.
MethodInfo method_table[] = {
    method<methods::init>("__init__", 24, "self", "image", "sigma"),
    method<methods::dl>("dl", 35, "self", "r", "theta"),
    method<methods::dm>("dm", 40, "self", "r", "theta"),
    method<methods::p0>("p0", 45, "self", "r", "theta"),
    method<methods::n0>("n0", 48, "self", "r", "theta"),
    method<methods::dmlim>("dmlim", 51, "self", "r", "theta"),
    method<methods::locate>("locate", 62, "self", "r", "theta", "dm"),
    method<methods::score_map>("score_map", 65, "self", "r0", "r1", "nr", "t0", "t1", "nt", "width")
        .with_defaults({1.0})
        .with_doc(" Create Score Map\n    "),
    method<methods::mask>("mask", 81, "self", "r", "theta", "w"),
    method<methods::elements_along>("elements_along", 84, "self", "r", "theta", "w"),
    method<methods::snr>("snr", 95, "self", "r", "theta", "w"),
    method<methods::fit>("fit", 103, "self", "r", "theta", "w"),
    method<methods::profile>("profile", 117, "self", "r", "theta", "dm1", "dm2", "w"),
    method<methods::ramp_sigmoid>("ramp_sigmoid", 127, "self", "x", "p"),
};

// The module object, once its exec step has run; a second load returns it.
PyObject* the_module = nullptr;

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
    static int64_t first_interpreter = -1;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (current != first_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module != nullptr) {
        Py_INCREF(the_module);
        return the_module;
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
    int line = 1;
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

py::object make_class(Init& init, py::handle object_type) {
    py::object ns = steal(PyDict_New());
    check_status(PyDict_SetItemString(ns.ptr(), "__module__", to_python("kestrova.hough").ptr()));
    check_status(PyDict_SetItemString(ns.ptr(), "__qualname__", to_python("HoughTransform").ptr()));
    check_status(
        PyDict_SetItemString(ns.ptr(), "__doc__", to_python(" Hough Transformation\n  ").ptr()));
    for (MethodInfo& info : method_table) {
        py::object function = steal(make_function(info, init.globals));
        check_status(PyDict_SetItemString(ns.ptr(), info.name, function.ptr()));
    }
    // The metaclass derived from the one base, object.
    py::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(object_type.ptr()));
    return call(metaclass, "HoughTransform", make_tuple(object_type), ns);
}

int module_exec(PyObject* module) {
    if (the_module != nullptr) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'hough' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    the_module = module;
    Init init{PyModule_GetDict(module)};
    try {
        if (!names.intern()) throw python_error{};
        builtins_module = steal(PyImport_ImportModule("builtins")).release().ptr();
        py::object object_type =
            getattr(builtins_module, steal(PyUnicode_FromString("object")).ptr());
        getattr(builtins_module, steal(PyUnicode_FromString("range")).ptr());
        getattr(builtins_module, steal(PyUnicode_FromString("ImportError")).ptr());

        import_type("builtins", "type", sizeof(PyHeapTypeObject), true);
        // Arrays are read only through the buffer protocol, so of NumPy's types nothing beyond
        // the object header is relied on.
        for (const char* numpy_type : {"dtype", "flatiter", "broadcast", "ndarray", "ufunc"}) {
            PyTypeObject* type = import_type("numpy", numpy_type, sizeof(PyObject), false);
            if (std::strcmp(numpy_type, "ndarray") == 0) ndarray_type = type;
        }
        if (function_type == nullptr && !(function_type = make_function_type())) {
            throw python_error{};
        }

        init.line = 6;
        bind_global(init, "np", import(init.globals, "numpy"));
        init.line = 7;
        bind_global(init, "opt", import(init.globals, "scipy.optimize"));
        init.line = 8;
        bind_global(init, "itertools", import(init.globals, "itertools"));
        init.line = 21;
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
        the_module = nullptr;
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
