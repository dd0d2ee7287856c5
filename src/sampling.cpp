// Sampling along a line: band mask, pixels ordered along the line, cross-line profile.
//
// Source lines of the statements (the first line of each method is its argument line):
//   mask:           82 np.abs(self.dl(r, theta)) < w
//   elements_along: 85 mask = self.mask(r, theta, w), 86 dm = self.dm(r, theta)[mask],
//                   87 px = self.image[mask], 88 dm = np.append(dm, self.append_x),
//                   89 px = np.append(px, self.append_y), 90 index = dm.argsort(),
//                   91 elem = np.vstack((dm[index], np.cumsum(px[index]))), 92 return elem
//   profile:        118 dm = self.dm(r, theta),
//                   119 mask = self.mask(r, theta, w) & (dm > dm1) & (dm < dm2),
//                   120 dl = self.dl(r, theta)[mask], 121 px = self.image[mask],
//                   122 hist, edge = np.histogram(dl, weights=px / (dm2 - dm1), bins=int(w * 4.0)),
//                   123 edge = edge[1:] - np.diff(edge), 124 return np.vstack((edge, hist))
//
// The locals that hold arrays (mask, dm, px, index, elem; dm, mask, dl, px, hist, edge) take
// only arrays or None: each value stored in one passes as_array.
// Operands are evaluated in the order Python would (the callee before its arguments, left before
// right), each on its own C++ statement since C++ leaves the order of function arguments open.
#include <Python.h>

#include "glue.hpp"
#include "methods.hpp"

namespace kestrova::methods {
namespace {

// The slice 1: of `edge[1:]`, made once.
py::handle from_second() {
    static PyObject* slice = nullptr;
    if (slice == nullptr) {
        py::object one = to_python(1);
        slice = check(PySlice_New(one.ptr(), nullptr, nullptr));
    }
    return slice;
}

}  // namespace

py::object mask(Frame& f, py::handle self, float r, float theta, float w) {
    f.at(82);
    const py::object abs = f.np(names.abs);
    const py::object size = call(abs, call_method(self, names.dl, box(r), box(theta)));
    return less(size, box(w));
}

py::object elements_along(Frame& f, py::handle self, float r, float theta, float w) {
    const py::object rr = box(r);
    const py::object tt = box(theta);
    f.at(85);
    const py::object band = as_array(call_method(self, names.mask, rr, tt, box(w)));
    f.at(86);
    py::object dm = as_array(getitem(call_method(self, names.dm, rr, tt), band));
    f.at(87);
    py::object px = as_array(getitem(getattr(self, names.image), band));
    f.at(88);
    {
        const py::object append = f.np(names.append);
        dm = as_array(call(append, dm, getattr(self, names.append_x)));
    }
    f.at(89);
    {
        const py::object append = f.np(names.append);
        px = as_array(call(append, px, getattr(self, names.append_y)));
    }
    f.at(90);
    const py::object index = as_array(call_method(dm, names.argsort));
    f.at(91);
    const py::object vstack = f.np(names.vstack);
    py::object positions = getitem(dm, index);
    const py::object cumsum = f.np(names.cumsum);
    py::object sums = call(cumsum, getitem(px, index));
    py::object elem = as_array(call(vstack, make_tuple(positions, sums)));
    f.at(92);
    return elem;
}

py::object profile(Frame& f, py::handle self, float r, float theta, float dm1, float dm2, float w) {
    const py::object rr = box(r);
    const py::object tt = box(theta);
    f.at(118);
    const py::object dm = as_array(call_method(self, names.dm, rr, tt));
    f.at(119);
    py::object band;
    {
        // Each comparison is gone as soon as it is used, as in the interpreter.
        py::object selected = call_method(self, names.mask, rr, tt, box(w));
        selected = and_elided(std::move(selected), greater(dm, box(dm1)));
        selected = and_elided(std::move(selected), less(dm, box(dm2)));
        band = as_array(std::move(selected));
    }
    f.at(120);
    const py::object dl = as_array(getitem(call_method(self, names.dl, rr, tt), band));
    f.at(121);
    const py::object px = as_array(getitem(getattr(self, names.image), band));
    f.at(122);
    py::object hist, edge;
    {
        const py::object histogram = f.np(names.histogram);
        // dm2 - dm1 in single precision, widened to double; 4 * w in double, truncated as int()
        // truncates a float (NaN and infinities raise its ValueError and OverflowError).
        const float length = dm2 - dm1;
        py::object weights = truediv(px, box(length));
        py::object bins = steal(PyLong_FromDouble(static_cast<double>(w) * 4.0));
        auto [counts, edges] =
            unpack<2>(call_kw(histogram, {dl}, {{names.weights, weights}, {names.bins, bins}}));
        weights = py::object();
        hist = as_array(std::move(counts));
        edge = as_array(std::move(edges));
    }
    f.at(123);
    {
        py::object right = getitem(edge, from_second());
        const py::object diff = f.np(names.diff);
        py::object width = call(diff, edge);
        edge = as_array(sub(right, width));
    }
    f.at(124);
    const py::object vstack = f.np(names.vstack);
    return call(vstack, make_tuple(edge, hist));
}

}  // namespace kestrova::methods
