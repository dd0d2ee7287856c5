// The closure type.
#include "closure.hpp"

namespace kestrova {
namespace {

const CallableInfo& info_of(PyObject* self) { return *reinterpret_cast<Closure*>(self)->head.info; }

// Interned, so that every read gives the same string object.
PyObject* closure_name(PyObject* self, void*) {
    return PyUnicode_InternFromString(info_of(self).name);
}

PyObject* closure_qualname(PyObject* self, void*) {
    return PyUnicode_InternFromString(info_of(self).qualname.c_str());
}

PyGetSetDef closure_getset[] = {
    {"__name__", closure_name, nullptr, nullptr, nullptr},
    {"__qualname__", closure_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* make_closure_type() {
    return make_callable_type(
        {"kestrova.hough.native_lambda", nullptr, closure_getset, nullptr, sizeof(Closure), false});
}

py::object make_closure(const Frame& frame, const CallableInfo& info, py::object captured) {
    PyTypeObject* type = state.closure_type;
    py::object made = steal(type->tp_alloc(type, 0));
    Closure* c = reinterpret_cast<Closure*>(made.ptr());
    c->head.vectorcall = info.entry;
    c->head.info = &info;
    c->globals = borrow(frame.globals()).release().ptr();
    c->captured = captured.release().ptr();
    return made;
}

}  // namespace kestrova
