// Fast paths of the boundary for the bodies of the line geometry and the sampling:
// single-precision values boxed without a new Python float at every use, and NumPy's elision of
// temporaries, which NumPy grants only to expressions run by the interpreter. Each gives the same
// objects and values as the plain path; only the cost differs.
#pragma once

#include <Python.h>

#include "buffer.hpp"
#include "errors.hpp"
#include "objects.hpp"
#include "state.hpp"

namespace kestrova {

// box(value): the Python float holding `value`, one kept from an earlier call when the value
// repeats (see FloatBoxes).
inline py::object box(double value) { return state.boxes(value); }

// Temporary elision. Run by the interpreter, `a + b` where `a` is a temporary that nothing else
// references is computed by NumPy in a's own memory (`a += b`) when a is large (at least 256 KiB),
// an exact ndarray of a numeric dtype that owns its writeable data, and b a scalar or an array of
// a's shape that casts safely to a's dtype; NumPy checks that the caller is the interpreter, so a
// compiled body must ask for it. The result is the same array of the same values: the same ufunc
// loop writes them, into memory nobody else sees. The plain-Python form of these methods meets this
// in dl (`... + r`) and profile (the two `&`), so these use it too, for the two cases they have:
//   add_elided:  float64 array + Python float
//   and_elided:  bool array & bool array of the same shape
namespace elision {

inline constexpr Py_ssize_t min_bytes = 256 * 1024;  // NumPy's NPY_MIN_ELIDE_BYTES

// A strided view of an array, released on scope exit; empty when the array refuses one.
class View {
  public:
    explicit View(py::handle array) {
        ok_ = PyObject_GetBuffer(array.ptr(), &view_, PyBUF_RECORDS_RO) == 0;
        if (!ok_) PyErr_Clear();
    }
    ~View() {
        if (ok_) PyBuffer_Release(&view_);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Native-order dtype `format` ("d", "?") and not read-only when `writeable`.
    bool is(const char* format, bool writeable) const {
        return ok_ && !(writeable && view_.readonly) && native_format(view_.format, format);
    }
    bool same_shape(const View& other) const {
        if (view_.ndim != other.view_.ndim) return false;
        for (int k = 0; k < view_.ndim; ++k) {
            if (view_.shape[k] != other.view_.shape[k]) return false;
        }
        return true;
    }

  private:
    Py_buffer view_;
    bool ok_;
};

inline bool truth(py::handle object) { return check_status(PyObject_IsTrue(object.ptr())) != 0; }

// The conditions on the temporary: the only reference, an exact ndarray, large, owning its data.
inline bool temporary(py::handle lhs) {
    if (Py_REFCNT(lhs.ptr()) != 1 || Py_TYPE(lhs.ptr()) != state.ndarray_type) return false;
    const Py_ssize_t bytes = PyLong_AsSsize_t(getattr(lhs, names.nbytes).ptr());
    if (bytes == -1 && PyErr_Occurred()) throw python_error{};
    if (bytes < min_bytes) return false;
    py::object flags = getattr(lhs, names.flags);
    return truth(getattr(flags, names.owndata)) && !truth(getattr(flags, names.writebackifcopy));
}

}  // namespace elision

// lhs + rhs, in lhs's memory when NumPy would elide lhs (see above); lhs is consumed.
inline py::object add_elided(py::object lhs, py::handle rhs) {
    if (PyFloat_CheckExact(rhs.ptr()) && elision::temporary(lhs) &&
        elision::View(lhs).is("d", true)) {
        return steal(PyNumber_InPlaceAdd(lhs.ptr(), rhs.ptr()));
    }
    return steal(PyNumber_Add(lhs.ptr(), rhs.ptr()));
}

// lhs & rhs, in lhs's memory when NumPy would elide lhs (see above); lhs is consumed.
inline py::object and_elided(py::object lhs, py::handle rhs) {
    if (Py_TYPE(rhs.ptr()) == state.ndarray_type && elision::temporary(lhs)) {
        const elision::View left(lhs), right(rhs);
        if (left.is("?", true) && right.is("?", false) && left.same_shape(right)) {
            return steal(PyNumber_InPlaceAnd(lhs.ptr(), rhs.ptr()));
        }
    }
    return steal(PyNumber_And(lhs.ptr(), rhs.ptr()));
}

}  // namespace kestrova
