// Sampling along a line: band mask, pixels ordered along the line, cross-line profile.
//
// The locals that hold arrays (mask, dm, px, index, elem; dm, mask, dl, px, hist, edge) take
// only arrays or None: each value stored in one passes as_array.
// Operands are evaluated in the order Python would (the callee before its arguments, left before
// right), each on its own C++ statement since C++ leaves the order of function arguments open.
#include <Python.h>

#include "boundary/fast_paths.hpp"
#include "methods.hpp"

namespace kestrova::methods {
namespace {

// The slice `start:`.
py::object slice_from(long start) {
    return steal(PySlice_New(to_python(start).ptr(), nullptr, nullptr));
}

}  // namespace

py::object mask(Frame& f, py::handle self, float r, float theta, float w) {
    f.at(lines::mask_band);
    const py::object abs = f.np(names.abs);
    const py::object size = call(abs, call_method(self, names.dl, box(r), box(theta)));
    return less(size, box(w));
}

py::object elements_along(Frame& f, py::handle self, float r, float theta, float w) {
    const py::object rr = box(r);
    const py::object tt = box(theta);
    f.at(lines::elements_along_mask);
    const py::object band = as_array(call_method(self, names.mask, rr, tt, box(w)));
    f.at(lines::elements_along_dm);
    py::object dm = as_array(getitem(call_method(self, names.dm, rr, tt), band));
    f.at(lines::elements_along_px);
    py::object px = as_array(getitem(getattr(self, names.image), band));
    f.at(lines::elements_along_append_dm);
    {
        const py::object append = f.np(names.append);
        dm = as_array(call(append, dm, getattr(self, names.append_x)));
    }
    f.at(lines::elements_along_append_px);
    {
        const py::object append = f.np(names.append);
        px = as_array(call(append, px, getattr(self, names.append_y)));
    }
    f.at(lines::elements_along_argsort);
    const py::object index = as_array(call_method(dm, names.argsort));
    f.at(lines::elements_along_stack);
    const py::object vstack = f.np(names.vstack);
    py::object positions = getitem(dm, index);
    const py::object cumsum = f.np(names.cumsum);
    py::object sums = call(cumsum, getitem(px, index));
    py::object elem = as_array(call(vstack, make_tuple(positions, sums)));
    f.at(lines::elements_along_return);
    return elem;
}

py::object profile(Frame& f, py::handle self, float r, float theta, float dm1, float dm2, float w) {
    const py::object rr = box(r);
    const py::object tt = box(theta);
    f.at(lines::profile_dm);
    const py::object dm = as_array(call_method(self, names.dm, rr, tt));
    f.at(lines::profile_mask);
    py::object band;
    {
        // Each comparison is gone as soon as it is used, as in the interpreter.
        py::object selected = call_method(self, names.mask, rr, tt, box(w));
        selected = and_elided(std::move(selected), greater(dm, box(dm1)));
        selected = and_elided(std::move(selected), less(dm, box(dm2)));
        band = as_array(std::move(selected));
    }
    f.at(lines::profile_dl);
    const py::object dl = as_array(getitem(call_method(self, names.dl, rr, tt), band));
    f.at(lines::profile_px);
    const py::object px = as_array(getitem(getattr(self, names.image), band));
    f.at(lines::profile_histogram);
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
    f.at(lines::profile_edge);
    {
        py::object right = getitem(edge, slice_from(1));
        const py::object diff = f.np(names.diff);
        py::object width = call(diff, edge);
        edge = as_array(sub(right, width));
    }
    f.at(lines::profile_return);
    const py::object vstack = f.np(names.vstack);
    return call(vstack, make_tuple(edge, hist));
}

}  // namespace kestrova::methods
