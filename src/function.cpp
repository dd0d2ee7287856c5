// The function type of the module's methods.
#include "function.hpp"

#include <cstddef>

namespace kestrova {
namespace {

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Reached through the class the function is itself; through an instance it binds as a method.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

// inspect.Signature of the real parameters, so that help() and editors show them.
PyObject* function_signature(PyObject* self, void*) {
    const MethodInfo& info = *as_function(self)->info;
    try {
        py::object inspect = steal(PyImport_ImportModule("inspect"));
        py::object parameter = getattr(inspect, steal(PyUnicode_FromString("Parameter")).ptr());
        py::object kind =
            getattr(parameter, steal(PyUnicode_FromString("POSITIONAL_OR_KEYWORD")).ptr());
        py::object default_name = steal(PyUnicode_FromString("default"));
        py::object parameters = steal(PyList_New(0));
        const size_t required = info.required();
        for (size_t i = 0; i < info.parameters.size(); ++i) {
            py::object name = to_python(info.parameters[i]);
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

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
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

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

unsigned int function_flags() {
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_METHOD_DESCRIPTOR;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
    return flags;
}

PyType_Spec function_spec = {
    "kestrova.hough.native_function", sizeof(Function), 0, function_flags(), function_slots,
};

}  // namespace

PyTypeObject* make_function_type() {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
}

PyObject* make_function(MethodInfo& info, PyObject* globals) {
    try {
        info.keywords.clear();
        for (const char* parameter : info.parameters) {
            info.keywords.push_back(check(PyUnicode_InternFromString(parameter)));
        }
        py::object self = steal(function_type->tp_alloc(function_type, 0));
        Function* f = as_function(self.ptr());
        f->vectorcall = info.entry;
        f->info = &info;
        f->globals = borrow(globals).release().ptr();
        f->name = to_python(info.name).release().ptr();
        f->qualname = steal(PyUnicode_FromFormat("HoughTransform.%s", info.name)).release().ptr();
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
