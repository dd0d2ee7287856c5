// Streak measurement: signal-to-noise ratio, ramp model and streak fit.
//
// Source lines reported in tracebacks (the first line of each method is its argument errors):
//   snr           96 elements_along   97 N              98 m             99 M
//                100 the ratio
//   fit          103 closure record  104 elements_along 105 N             106 m
//                107 M               108 s              109 dm, dM        110 bounds
//                111 start values    112 objective      113 minimize      114 result
//   fit.lambda   112 (arguments and evaluation)
//   ramp_sigmoid 128 p[0], p[1]      129 x - p[2]       130 upper bound   131 clip
//                132 result
#include <cstdint>

#include "methods.hpp"
#include "objective.hpp"

namespace kestrova {
namespace {

bool truth(py::handle value) { return check_status(PyObject_IsTrue(value.ptr())) != 0; }

// Row 1 of E, the running sum, as (size, min, max): each read from a fresh E[1].
struct Extremes {
    int32_t N;
    float m;
    float M;
};

Extremes extremes(Frame& f, py::handle E, int first_line) {
    f.at(first_line);
    const int32_t N = as_int32(getattr(getitem(E, 1), names.size));
    f.at(first_line + 1);
    const float m = as_single(call_method(getitem(E, 1), names.min));
    f.at(first_line + 2);
    const float M = as_single(call_method(getitem(E, 1), names.max));
    return {N, m, M};
}

}  // namespace

// Weighted sum of squares of the model against the running sum: sum((E[1] - model)**2 / s**2).
py::object fit_objective(Frame& f, const Closure& scope, py::handle p) {
    py::object sum = f.np(names.sum);
    py::object running = getitem(scope.E, 1);
    py::object positions = getitem(scope.E, 0);
    py::object model = call_method(scope.self, names.ramp_sigmoid, positions, p);
    py::object squares = power(sub(running, model), 2);
    py::object weighted = truediv(squares, power(scope.s, 2));
    return call(sum, weighted);
}

namespace methods {

py::object snr(Frame& f, py::handle self, float r, float theta, float w) {
    f.at(96);
    py::object E = as_array(call_method(self, names.elements_along, r, theta, w));
    const auto [N, m, M] = extremes(f, E, 97);
    f.at(100);
    const float rise = M - m;
    py::object per_sigma = truediv(rise, getattr(self, names.sigma));
    py::object sqrt = f.np(names.sqrt);
    return truediv(per_sigma, call(sqrt, N));
}

py::object fit(Frame& f, py::handle self, float r, float theta, float w) {
    Closure scope;
    scope.self = borrow(self.ptr());
    f.at(104);
    scope.E = as_array(call_method(self, names.elements_along, r, theta, w));
    const auto [N, m, M] = extremes(f, scope.E, 105);

    // Noise of a running sum of k pixels: sigma * sqrt(k) for k = 1 .. N.
    f.at(108);
    py::object sigma = getattr(self, names.sigma);
    py::object sqrt = f.np(names.sqrt);
    py::object ranks = add(1, call(f.np(names.arange), N));
    scope.s = as_array(mul(sigma, call(sqrt, ranks)));

    f.at(109);
    auto [lower_end, upper_end] = unpack<2>(call_method(self, names.dmlim, r, theta));
    const float dm = as_single(lower_end);
    const float dM = as_single(upper_end);

    f.at(110);
    py::object Bounds = f.opt(names.Bounds);
    py::object lower = make_list(neg(f.np(names.inf)), neg(f.np(names.inf)), dm, dm);
    py::object upper = make_list(f.np(names.inf), f.np(names.inf), dM, dM);
    py::object bounds = call(Bounds, lower, upper);

    // The last start value is the stretch's length, not its upper end; the minimiser brings a
    // start outside the bounds back inside them.
    f.at(111);
    if (N == 0) raise(PyExc_ZeroDivisionError, "float division");
    const float slope = (M - m) / static_cast<float>(N);
    const float length = dM - dm;
    py::object init = make_list(m, slope, dm, length);

    f.at(112);
    py::object func = make_objective(f, std::move(scope));

    f.at(113);
    py::object minimize = f.opt(names.minimize);
    py::object method = to_python("L-BFGS-B");
    py::object res =
        call_kw(minimize, {func, init}, {{names.method, method}, {names.bounds, bounds}});

    f.at(114);
    py::object hstack = f.np(names.hstack);
    py::object x = getattr(res, names.x);
    sqrt = f.np(names.sqrt);
    py::object root = call(sqrt, getattr(res, names.fun));
    py::object goodness = truediv(root, N);
    return call(hstack, make_tuple(x, goodness));
}

py::object ramp_sigmoid(Frame& f, py::handle, Array x, Array p) {
    f.at(128);
    py::object level = getitem(p, 0);
    py::object slope = getitem(p, 1);
    f.at(129);
    py::object clip = f.np(names.clip);
    py::object shifted = sub(x, getitem(p, 2));
    // A ramp narrower than 1e-08 (or ending before it starts) becomes a step of that width, so
    // the clip interval is never empty.
    f.at(130);
    py::object end = getitem(p, 3);
    py::object span = sub(end, getitem(p, 2));
    py::object upper = truth(greater(1e-08, span)) ? to_python(1e-08) : span;
    f.at(131);
    py::object clipped = call(clip, shifted, 0, upper);
    f.at(132);
    return add(level, mul(slope, clipped));
}

}  // namespace methods
}  // namespace kestrova
