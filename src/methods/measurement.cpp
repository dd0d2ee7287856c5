// Streak measurement: signal-to-noise ratio, ramp model and streak fit with its objective.
#include <cstdint>

#include "boundary/closure.hpp"
#include "methods.hpp"

namespace kestrova {
namespace {

bool truth(py::handle value) { return check_status(PyObject_IsTrue(value.ptr())) != 0; }

// Row 1 of E, the running sum, as (size, min, max): each read from a fresh E[1].
struct Extremes {
    int32_t N;
    float m;
    float M;
};

// The source lines of the three statements that read them.
struct ExtremesLines {
    int size, min, max;
};

Extremes extremes(Frame& f, py::handle E, ExtremesLines at) {
    f.at(at.size);
    const int32_t N = as_int32(getattr(getitem(E, 1), names.size));
    f.at(at.min);
    const float m = as_single(call_method(getitem(E, 1), names.min));
    f.at(at.max);
    const float M = as_single(call_method(getitem(E, 1), names.max));
    return {N, m, M};
}

// fit's objective, `lambda p: ...` over the captured (self, E, s): the weighted sum of squares of
// the model against the running sum, sum((E[1] - model)**2 / s**2).
py::object objective(Frame& f, py::handle captured, py::handle p) {
    const auto [self, E, s] = unpack<3>(captured);
    py::object sum = f.np(names.sum);
    py::object running = getitem(E, 1);
    py::object positions = getitem(E, 0);
    py::object model = call_method(self, names.ramp_sigmoid, positions, p);
    py::object squares = power(sub(running, model), 2);
    py::object weighted = truediv(squares, power(s, 2));
    return call(sum, weighted);
}

const CallableInfo objective_info =
    closure<objective>("lambda", "HoughTransform.fit.<locals>.<lambda>",
                       "kestrova.hough.HoughTransform.fit.lambda", lines::fit_objective, &Names::p);

}  // namespace

namespace methods {

py::object snr(Frame& f, py::handle self, float r, float theta, float w) {
    f.at(lines::snr_elements);
    py::object E = as_array(call_method(self, names.elements_along, r, theta, w));
    const auto [N, m, M] = extremes(f, E, {lines::snr_size, lines::snr_min, lines::snr_max});
    f.at(lines::snr_ratio);
    const float rise = M - m;
    py::object per_sigma = truediv(rise, getattr(self, names.sigma));
    py::object sqrt = f.np(names.sqrt);
    return truediv(per_sigma, call(sqrt, N));
}

py::object fit(Frame& f, py::handle self, float r, float theta, float w) {
    f.at(lines::fit_elements);
    py::object E = as_array(call_method(self, names.elements_along, r, theta, w));
    const auto [N, m, M] = extremes(f, E, {lines::fit_size, lines::fit_min, lines::fit_max});

    // Noise of a running sum of k pixels: sigma * sqrt(k) for k = 1 .. N.
    f.at(lines::fit_noise);
    py::object sigma = getattr(self, names.sigma);
    py::object sqrt = f.np(names.sqrt);
    py::object ranks = add(1, call(f.np(names.arange), N));
    py::object s = as_array(mul(sigma, call(sqrt, ranks)));

    f.at(lines::fit_limits);
    auto [lower_end, upper_end] = unpack<2>(call_method(self, names.dmlim, r, theta));
    const float dm = as_single(lower_end);
    const float dM = as_single(upper_end);

    f.at(lines::fit_bounds);
    py::object Bounds = f.opt(names.Bounds);
    py::object lower = make_list(neg(f.np(names.inf)), neg(f.np(names.inf)), dm, dm);
    py::object upper = make_list(f.np(names.inf), f.np(names.inf), dM, dM);
    py::object bounds = call(Bounds, lower, upper);

    // The last start value is the stretch's length, not its upper end; the minimiser brings a
    // start outside the bounds back inside them.
    f.at(lines::fit_start);
    if (N == 0) raise(PyExc_ZeroDivisionError, "float division");
    const float slope = (M - m) / static_cast<float>(N);
    const float length = dM - dm;
    py::object init = make_list(m, slope, dm, length);

    f.at(lines::fit_objective);
    py::object func = make_closure(f, objective_info, make_tuple(self, E, s));

    f.at(lines::fit_minimize);
    py::object minimize = f.opt(names.minimize);
    py::object method = to_python("L-BFGS-B");
    py::object res =
        call_kw(minimize, {func, init}, {{names.method, method}, {names.bounds, bounds}});

    f.at(lines::fit_result);
    py::object hstack = f.np(names.hstack);
    py::object x = getattr(res, names.x);
    sqrt = f.np(names.sqrt);
    py::object root = call(sqrt, getattr(res, names.fun));
    py::object goodness = truediv(root, N);
    return call(hstack, make_tuple(x, goodness));
}

py::object ramp_sigmoid(Frame& f, py::handle, Array x, Array p) {
    f.at(lines::ramp_sigmoid_level);
    py::object level = getitem(p, 0);
    py::object slope = getitem(p, 1);
    f.at(lines::ramp_sigmoid_shift);
    py::object clip = f.np(names.clip);
    py::object shifted = sub(x, getitem(p, 2));
    // A ramp narrower than 1e-08 (or ending before it starts) becomes a step of that width, so
    // the clip interval is never empty.
    f.at(lines::ramp_sigmoid_upper);
    py::object end = getitem(p, 3);
    py::object span = sub(end, getitem(p, 2));
    py::object upper = truth(greater(1e-08, span)) ? to_python(1e-08) : span;
    f.at(lines::ramp_sigmoid_clip);
    py::object clipped = call(clip, shifted, 0, upper);
    f.at(lines::ramp_sigmoid_return);
    return add(level, mul(slope, clipped));
}

}  // namespace methods
}  // namespace kestrova
