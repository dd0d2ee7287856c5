// The type definition shared by every kind of native callable.
#include "callable.hpp"

#include <vector>

namespace kestrova {
namespace {

Callable* as_callable(PyObject* self) { return reinterpret_cast<Callable*>(self); }

// The owned references that follow the head, as many as the type's size holds.
struct References {
    PyObject** first;
    Py_ssize_t count;
};

References references(PyObject* self) {
    auto* first = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + sizeof(Callable));
    const Py_ssize_t bytes =
        Py_TYPE(self)->tp_basicsize - static_cast<Py_ssize_t>(sizeof(Callable));
    return {first, bytes / static_cast<Py_ssize_t>(sizeof(PyObject*))};
}

int callable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const References refs = references(self);
    for (Py_ssize_t i = 0; i < refs.count; ++i) Py_VISIT(refs.first[i]);
    return 0;
}

// Released one at a time, in order: a finaliser that a release runs may read the others.
int callable_clear(PyObject* self) {
    const References refs = references(self);
    for (Py_ssize_t i = 0; i < refs.count; ++i) Py_CLEAR(refs.first[i]);
    return 0;
}

void callable_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    callable_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* callable_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_callable(self)->info->qualname.c_str(),
                                self);
}

// Reached through the class it is itself; through an instance it binds as a method.
PyObject* callable_bind(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

}  // namespace

PyTypeObject* make_callable_type(const CallableKind& kind) {
    // The member table is copied into the type, so it is put together here.
    std::vector<PyMemberDef> members = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Callable, vectorcall), READONLY, nullptr},
    };
    for (const PyMemberDef* m = kind.members; m != nullptr && m->name != nullptr; ++m) {
        members.push_back(*m);
    }
    members.push_back({nullptr, 0, 0, 0, nullptr});

    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(callable_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(callable_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(callable_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(callable_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_members, members.data()},
    };
    if (kind.getset != nullptr) slots.push_back({Py_tp_getset, kind.getset});
    if (kind.methods != nullptr) slots.push_back({Py_tp_methods, kind.methods});
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
    if (kind.binds) {
        slots.push_back({Py_tp_descr_get, reinterpret_cast<void*>(callable_bind)});
        flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
    }
    slots.push_back({0, nullptr});

    PyType_Spec spec = {kind.type_name, static_cast<int>(kind.basicsize), 0, flags, slots.data()};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace kestrova
