// The objective function of HoughTransform.fit: a callable of one positional argument `p` over a
// closure record (the instance, its along-line record `E` and the noise of the running sums `s`).
//
// To the minimiser and in tracebacks it looks like the lambda it stands for: `__name__` "lambda",
// `__qualname__` "HoughTransform.fit.<locals>.<lambda>", `__module__` "kestrova.hough", and an
// error inside it gains the entry "kestrova.hough.HoughTransform.fit.lambda".
#pragma once

#include <Python.h>
#include <structmember.h>

#include <new>
#include <utility>

#include "function.hpp"

namespace kestrova {

// What fit shares with its objective, filled in the order self, E, s.
struct Closure {
    py::object self;
    py::object E;
    py::object s;
};

// Evaluates the objective at `p`; defined with fit's body.
py::object fit_objective(Frame& f, const Closure& scope, py::handle p);

namespace objective {

// Source line of the lambda inside fit, where its traceback entry points.
inline constexpr int line = 112;
inline constexpr const char* trace_name = "kestrova.hough.HoughTransform.fit.lambda";

struct Object {
    PyObject ob_base;  // PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* owner;  // fit's function object: its globals are where np is looked up
    Closure scope;
};

inline Object* as_object(PyObject* self) { return reinterpret_cast<Object*>(self); }

inline PyObject* name_text = nullptr;
inline PyObject* qualname_text = nullptr;
inline PyTypeObject* type = nullptr;

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Object* o = as_object(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->owner);
    Py_VISIT(o->scope.self.ptr());
    Py_VISIT(o->scope.E.ptr());
    Py_VISIT(o->scope.s.ptr());
    return 0;
}

inline int clear(PyObject* self) {
    Object* o = as_object(self);
    Py_CLEAR(o->owner);
    // Released one at a time: a field may be read by a finaliser the release runs.
    py::object released = std::move(o->scope.self);
    released = std::move(o->scope.E);
    released = std::move(o->scope.s);
    return 0;
}

inline void dealloc(PyObject* self) {
    PyTypeObject* object_type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    as_object(self)->scope.~Closure();
    object_type->tp_free(self);
    Py_DECREF(object_type);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", qualname_text, self);
}

inline PyObject* get_name(PyObject*, void*) {
    Py_INCREF(name_text);
    return name_text;
}

inline PyObject* get_qualname(PyObject*, void*) {
    Py_INCREF(qualname_text);
    return qualname_text;
}

// The objective's one parameter, collected by the rules of the methods.
inline const MethodInfo& signature() {
    static const MethodInfo info{"lambda", line,    {"p"},      {},
                                 nullptr,  nullptr, trace_name, {names.p}};
    return info;
}

inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Object* o = as_object(callable);
    Frame frame(*reinterpret_cast<const Function*>(o->owner), trace_name, line);
    try {
        PyObject* p = nullptr;
        detail::collect(signature(), nullptr, args, PyVectorcall_NARGS(nargsf), kwnames, &p);
        return fit_objective(frame, o->scope, p).release().ptr();
    } catch (...) {
        return frame.fail();
    }
}

inline PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Object, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

inline unsigned int flags() {
    unsigned int value = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    value |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
    return value;
}

// Made on first use; one interpreter per process loads the module, so it is kept for good.
inline PyTypeObject* the_type() {
    if (type != nullptr) return type;
    if (name_text == nullptr) name_text = check(PyUnicode_InternFromString("lambda"));
    if (qualname_text == nullptr) {
        qualname_text = check(PyUnicode_InternFromString("HoughTransform.fit.<locals>.<lambda>"));
    }
    static PyType_Spec spec = {"kestrova.hough.native_lambda", sizeof(Object), 0, flags(), slots};
    type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)));
    return type;
}

}  // namespace objective

// The objective over `scope`, for the call of fit that `f` runs.
inline py::object make_objective(const Frame& f, Closure&& scope) {
    PyTypeObject* object_type = objective::the_type();
    py::object made = steal(object_type->tp_alloc(object_type, 0));
    objective::Object* o = objective::as_object(made.ptr());
    new (&o->scope) Closure(std::move(scope));
    o->vectorcall = objective::call;
    o->owner =
        borrow(reinterpret_cast<PyObject*>(const_cast<Function*>(&f.function()))).release().ptr();
    return made;
}

}  // namespace kestrova
