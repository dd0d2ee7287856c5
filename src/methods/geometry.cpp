// Line geometry: coordinates across and along a line, foot point, direction and extent.
//
// Every statement evaluates its operands in the order Python would (the callee before its
// arguments, left before right), each on its own C++ statement since C++ leaves the order of
// function arguments open.
#include <Python.h>

#include <cmath>

#include "boundary/buffer.hpp"
#include "boundary/fast_paths.hpp"
#include "methods.hpp"

namespace kestrova::methods {
namespace {

// The four crossings of dmlim, when X is what NumPy's own arithmetic makes of them: a
// one-dimensional float64 array of four entries. Anything else (possible only when p0 or n0 is
// replaced by something returning another shape or a wider type) keeps the plain selection rule.
bool read_crossings(py::handle X, double (&out)[4]) {
    if (!PyObject_TypeCheck(X.ptr(), state.ndarray_type)) return false;
    Py_buffer view;
    // An ndarray refuses a buffer only for dtypes the buffer protocol cannot describe.
    if (PyObject_GetBuffer(X.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool fits = view.ndim == 1 && view.shape[0] == 4 && view.itemsize == sizeof(double) &&
                      native_format(view.format, "d");
    if (fits) {
        const char* data = static_cast<const char*>(view.buf);
        for (int k = 0; k < 4; ++k) {
            out[k] = *reinterpret_cast<const double*>(data + k * view.strides[0]);
        }
    }
    PyBuffer_Release(&view);
    return fits;
}

// Both crossings of a pair of opposite borders lie on the same side of the foot point exactly
// when the foot point lies strictly outside that pair: the sign of (border - x0) is exact in
// floating point, zero only when x0 is on the border, and dividing by the guarded direction
// component (never zero, at most 1 in size) keeps it.
bool same_side(double a, double b) { return (a > 0.0 && b > 0.0) || (a < 0.0 && b < 0.0); }

// A NaN crossing (a NaN argument makes all four NaN) leaves the selection below to decide.
bool has_nan(const double (&x)[4]) {
    return std::isnan(x[0]) || std::isnan(x[1]) || std::isnan(x[2]) || std::isnan(x[3]);
}

// c = np.cos(theta) at `cos_line` and then s = np.sin(theta) at `sin_line`, each rounded to single
// precision.
struct Direction {
    float c, s;
};

Direction single_direction(Frame& f, float theta, int cos_line, int sin_line) {
    const py::object t = box(theta);
    f.at(cos_line);
    const py::object cos = f.np(names.cos);
    const float c = as_single(call(cos, t));
    f.at(sin_line);
    const py::object sin = f.np(names.sin);
    const float s = as_single(call(sin, t));
    return {c, s};
}

}  // namespace

py::object dl(Frame& f, py::handle self, float r, float theta) {
    const auto [c, s] = single_direction(f, theta, lines::dl_cos, lines::dl_sin);
    f.at(lines::dl_sum);
    py::object a = mul(box(-s), getattr(self, names.axis1));
    py::object b = mul(box(c), getattr(self, names.axis2));
    py::object d = add(a, b);
    a = py::object();  // temporaries go when the interpreter would let them go
    b = py::object();
    return add_elided(std::move(d), box(r));
}

py::object dm(Frame& f, py::handle self, float, float theta) {
    const auto [c, s] = single_direction(f, theta, lines::dm_cos, lines::dm_sin);
    f.at(lines::dm_sum);
    py::object a = mul(box(c), getattr(self, names.axis1));
    py::object b = mul(box(s), getattr(self, names.axis2));
    return add(a, b);
}

py::object p0(Frame& f, py::handle, float r, float theta) {
    f.at(lines::p0_array);
    const py::object array = f.np(names.array);
    const py::object t = box(theta);
    const py::object sin = f.np(names.sin);
    py::object x = mul(box(r), call(sin, t));
    const py::object cos = f.np(names.cos);
    py::object y = mul(box(-r), call(cos, t));
    return call(array, make_list(x, y));
}

py::object n0(Frame& f, py::handle, float, float theta) {
    f.at(lines::n0_array);
    const py::object array = f.np(names.array);
    const py::object t = box(theta);
    const py::object cos = f.np(names.cos);
    py::object c = call(cos, t);
    const py::object sin = f.np(names.sin);
    py::object s = call(sin, t);
    return call(array, make_list(c, s));
}

py::object dmlim(Frame& f, py::handle self, float r, float theta) {
    const py::object rr = box(r);
    const py::object tt = box(theta);
    f.at(lines::dmlim_shape);
    float ny, nx;
    {
        auto [rows, columns] = unpack<2>(getattr(getattr(self, names.image), names.shape));
        ny = as_single(rows);
        nx = as_single(columns);
    }
    f.at(lines::dmlim_p);
    const py::object tile = f.np(names.tile);
    py::object foot = call_method(self, names.p0, rr, tt);
    const py::object p = as_array(call(tile, foot, 2));
    f.at(lines::dmlim_b);
    const py::object tile_again = f.np(names.tile);
    py::object direction = call_method(self, names.n0, rr, tt);
    const py::object b = as_array(call(tile_again, direction, 2));
    f.at(lines::dmlim_guard);
    {
        const py::object abs = f.np(names.abs);
        py::object small = less(call(abs, b), box(1e-8));
        setitem(b, small, box(1e-8));
    }
    f.at(lines::dmlim_crossings);
    py::object X;
    {
        const py::object array = f.np(names.array);
        const double half_x = (static_cast<double>(nx) - 1.0) * 0.5;
        const double half_y = (static_cast<double>(ny) - 1.0) * 0.5;
        py::object borders =
            call(array, make_list(box(-half_x), box(-half_y), box(half_x), box(half_y)));
        X = as_array(truediv(sub(borders, p), b));
    }
    f.at(lines::dmlim_inside);
    // A foot point strictly outside the rectangle of pixel centres puts both
    // crossings of one pair of borders on one side, and the selection below would then return a
    // stretch outside the image. When the line crosses the rectangle, return the stretch inside
    // it instead: the later of the two entries into the border pairs, the earlier of the exits.
    if (double x[4];
        read_crossings(X, x) && !has_nan(x) && (same_side(x[0], x[2]) || same_side(x[1], x[3]))) {
        const int enter_x = x[0] <= x[2] ? 0 : 2, enter_y = x[1] <= x[3] ? 1 : 3;
        const int leave_x = 2 - enter_x, leave_y = 4 - enter_y;
        const int lower = x[enter_x] >= x[enter_y] ? enter_x : enter_y;
        const int upper = x[leave_x] <= x[leave_y] ? leave_x : leave_y;
        // The line misses the rectangle when it leaves one pair before it enters the other.
        if (x[lower] <= x[upper]) {
            py::object low = getitem(X, static_cast<long>(lower));
            py::object high = getitem(X, static_cast<long>(upper));
            return make_tuple(low, high);
        }
    }
    f.at(lines::dmlim_below);
    const py::object Xm = as_array(getitem(X, less(X, 0)));
    f.at(lines::dmlim_above);
    const py::object Xp = as_array(getitem(X, greater(X, 0)));
    f.at(lines::dmlim_return);
    const py::object max = f.np(names.max);
    py::object low = call(max, Xm);
    const py::object min = f.np(names.min);
    py::object high = call(min, Xp);
    return make_tuple(low, high);
}

py::object locate(Frame& f, py::handle self, float r, float theta, float dm) {
    f.at(lines::locate_point);
    const py::object rr = box(r);
    const py::object tt = box(theta);
    py::object foot = call_method(self, names.p0, rr, tt);
    const py::object m = box(dm);
    py::object direction = call_method(self, names.n0, rr, tt);
    py::object step = mul(m, direction);
    return add(foot, step);
}

}  // namespace kestrova::methods
