// Python floats kept for values that repeat, so that boxing them does not make a new object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "errors.hpp"
#include "objects.hpp"

namespace kestrova {

// boxes(value): the Python float holding `value`, as to_python makes it. Floats are immutable and
// their identity means nothing to NumPy or to the methods, so a float made earlier for the same
// bits serves again: the arguments handed from method to method (r, theta, w) and the rounded
// cosines and sines repeat within a call and from call to call, and each would otherwise be a
// new object. 32 slots, chosen by the bits, each keeping the last float made for them.
class FloatBoxes {
  public:
    py::object operator()(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> 59];
        if (slot.object != nullptr && slot.bits == bits) return borrow(slot.object);
        PyObject* object = check(PyFloat_FromDouble(value));
        Py_INCREF(object);
        Py_XSETREF(slot.object, object);
        slot.bits = bits;
        return steal(object);
    }

  private:
    struct Slot {
        uint64_t bits = 0;
        PyObject* object = nullptr;
    };
    Slot slots_[32];
};

}  // namespace kestrova
