// The function type of the module's methods.
#include "function.hpp"

#include <cstddef>

namespace kestrova {
namespace {

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// inspect.Signature of the real parameters, so that help() and editors show them.
PyObject* function_signature(PyObject* self, void*) {
    const CallableInfo& info = *as_function(self)->head.info;
    try {
        py::object inspect = steal(PyImport_ImportModule("inspect"));
        py::object parameter = getattr(inspect, steal(PyUnicode_FromString("Parameter")).ptr());
        py::object kind =
            getattr(parameter, steal(PyUnicode_FromString("POSITIONAL_OR_KEYWORD")).ptr());
        py::object default_name = steal(PyUnicode_FromString("default"));
        py::object parameters = steal(PyList_New(0));
        const size_t required = info.required();
        for (size_t i = 0; i < info.parameters.size(); ++i) {
            py::object name = borrow(names.*info.parameters[i]);
            py::object p =
                i < required
                    ? call(parameter, name, kind)
                    : call_kw(parameter, {name, kind},
                              {{default_name.ptr(), to_python(info.defaults[i - required])}});
            check_status(PyList_Append(parameters.ptr(), p.ptr()));
        }
        py::object signature = getattr(inspect, steal(PyUnicode_FromString("Signature")).ptr());
        return call(signature, parameters).release().ptr();
    } catch (const python_error&) {
        return nullptr;
    }
}

PyObject* function_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference: the qualified name is found again through the module.
PyObject* function_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

const PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Function, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(Function, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(Function, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(Function, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_function_type() {
    return make_callable_type({"kestrova.hough.native_function", function_members, function_getset,
                               function_methods, sizeof(Function), true});
}

PyObject* make_function(const CallableInfo& info, PyObject* globals) {
    try {
        PyTypeObject* type = state.function_type;
        py::object self = steal(type->tp_alloc(type, 0));
        Function* f = as_function(self.ptr());
        f->head.vectorcall = info.entry;
        f->head.info = &info;
        f->globals = borrow(globals).release().ptr();
        f->name = to_python(info.name).release().ptr();
        f->qualname = to_python(info.qualname.c_str()).release().ptr();
        f->module_name = to_python("kestrova.hough").release().ptr();
        f->doc = (info.doc ? to_python(info.doc) : borrow(Py_None)).release().ptr();
        if (info.defaults.empty()) {
            f->defaults = borrow(Py_None).release().ptr();
        } else {
            py::object defaults = steal(PyTuple_New(static_cast<Py_ssize_t>(info.defaults.size())));
            for (size_t i = 0; i < info.defaults.size(); ++i) {
                PyTuple_SET_ITEM(defaults.ptr(), i, to_python(info.defaults[i]).release().ptr());
            }
            f->defaults = defaults.release().ptr();
        }
        f->code = check(
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, info.name, info.first_line)));
        return self.release().ptr();
    } catch (const python_error&) {
        return nullptr;
    }
}

}  // namespace kestrova
