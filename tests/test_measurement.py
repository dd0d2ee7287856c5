"""Streak measurement: snr, ramp_sigmoid and fit."""

import math

import numpy as np
import pytest

from conftest import hough_entries
from kestrova.hough import HoughTransform


def record(values):
    """An along-line record: the pixel values between two zero end samples, summed."""
    values = np.concatenate(([0.0], np.asarray(values, dtype=float), [0.0]))
    return np.vstack((np.linspace(-10.0, 10.0, values.size), np.cumsum(values)))


def with_record(E, sigma=1.0, lim=(-30.1, 50.2)):
    """An instance whose elements_along and dmlim give E and lim."""
    ht = HoughTransform(np.zeros((3, 3)), sigma)
    ht.elements_along = lambda r, theta, w: E
    ht.dmlim = lambda r, theta: lim
    return ht


def entries(exc):
    """(name, line) of the module's traceback entries, outermost first."""
    return [(name, line) for name, _, line in hough_entries(exc)]


# --- snr --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, rise",
    [
        ([2.0, -5.0, 1.0], 5.0),  # lowest point in the middle: 2 - (-3)
        ([-1.0, -2.0], 3.0),  # falling only: the first zero is the maximum
        ([], 0.0),  # empty band: only the two end samples
        ([16777217.0], 16777216.0),  # rounded to single precision before subtracting
    ],
)
def test_snr_rise_of_running_sum(values, rise):
    E = record(values)
    ht = with_record(E, sigma=2.0)
    N = E.shape[1]
    assert ht.snr(0.1, 0.2, 3) == pytest.approx(rise / 2.0 / math.sqrt(N), rel=1e-15)


def test_snr_python_zero_sigma():
    ht = with_record(record([1.0]), sigma=0)
    with pytest.raises(ZeroDivisionError) as info:
        ht.snr(0, 0, 1)
    assert entries(info.value) == [("kestrova.hough.HoughTransform.snr", 100)]


# --- ramp_sigmoid -----------------------------------------------------------------------------

ramp = HoughTransform(np.zeros((1, 1)), 1.0).ramp_sigmoid


@pytest.mark.parametrize(
    "p, expected",
    [
        ([1, 2, 3, 5], [1, 1, 1, 3, 5, 5]),
        ([1, 2, 3, 3], [1, 1, 1, 1 + 2e-8, 1 + 2e-8, 1 + 2e-8]),  # no width: a 1e-08 step
        ([1, 2, 3, 0], [1, 1, 1, 1 + 2e-8, 1 + 2e-8, 1 + 2e-8]),  # end before start
    ],
)
def test_ramp_sigmoid_curve(p, expected):
    x = np.array([0.0, 2.0, 3.0, 4.0, 5.0, 10.0])
    np.testing.assert_allclose(ramp(x, np.array(p, dtype=float)), expected, rtol=1e-15)


@pytest.mark.parametrize(
    "x, p, error, line",
    [
        (np.zeros(3), None, TypeError, 128),  # None passes the check, fails when indexed
        (np.zeros(3), np.zeros(3), IndexError, 130),
    ],
)
def test_ramp_sigmoid_failures_are_traced(x, p, error, line):
    with pytest.raises(error) as info:
        ramp(x, p)
    assert entries(info.value) == [("kestrova.hough.HoughTransform.ramp_sigmoid", line)]


# --- fit, observed through a replaced opt ------------------------------------------------------


def test_fit_hands_bounds_and_start_to_minimize(fake_opt):
    E = record([10.0, 50.0, 60.0] + [0.0] * 7)  # 12 samples, M = 120
    ht = with_record(E)
    out = ht.fit(0.1, 0.2, 3)
    inf = math.inf
    lower, upper = -30.100000381469727, 50.20000076293945
    assert fake_opt.bounds == (([-inf, -inf, lower, lower], [inf, inf, upper, upper]), {})

    (func, init), kwargs = fake_opt.minimize_args
    assert kwargs == {"method": "L-BFGS-B", "bounds": fake_opt}
    # The slope's start is per sample; the end's start is the stretch's length.
    assert init == [0.0, 10.0, lower, 80.30000305175781]
    assert all(type(v) is float for v in init)

    # Goodness: sqrt(16) / 12, the minimum not divided by N under the root.
    np.testing.assert_array_equal(out, [1.0, 2.0, 3.0, 4.0, 4.0 / 12])


def test_fit_objective_is_weighted_sum_of_squares(fake_opt):
    E = record([3.0, -1.0, 4.0, 1.0, 5.0])
    ht = with_record(E, sigma=2.0)
    ht.fit(0, 0, 1)
    func = fake_opt.objective

    p = np.array([0.5, 1.5, -4.0, 6.0])
    model = ht.ramp_sigmoid(E[0], p)
    k = np.arange(1, E.shape[1] + 1)
    expected = np.sum((E[1] - model) ** 2 / (4.0 * k))
    assert func(p) == pytest.approx(expected, rel=1e-14)
    assert func(p=p) == func(p)

    # The model is reached through the instance at every evaluation.
    ht.ramp_sigmoid = lambda x, q: np.zeros_like(x)
    assert func(p) == pytest.approx(np.sum(E[1] ** 2 / (4.0 * k)), rel=1e-14)

    assert func.__name__ == "lambda"
    assert func.__qualname__ == "HoughTransform.fit.<locals>.<lambda>"
    assert func.__module__ == "kestrova.hough"
    assert repr(func).startswith("<function HoughTransform.fit.<locals>.<lambda> at ")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "lambda() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "lambda() takes exactly 1 positional argument (2 given)"),
        ((1,), {"p": 1}, "lambda() got multiple values for keyword argument 'p'"),
        ((), {"p": 1, "q": 2}, "lambda() got an unexpected keyword argument 'q'"),
    ],
)
def test_fit_objective_arguments(fake_opt, args, kwargs, message):
    with_record(record([1.0])).fit(0, 0, 1)
    func = fake_opt.objective
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [("kestrova.hough.HoughTransform.fit.lambda", 112)]


def test_fit_zero_samples_fails_before_minimizing(fake_opt):
    class Row:
        size = 0

        def min(self):
            return 0.0

        def max(self):
            return 0.0

    class Record(np.ndarray):
        def __getitem__(self, index):
            return Row()

    ht = with_record(np.zeros((2, 0)).view(Record))
    with pytest.raises(ZeroDivisionError, match=r"^float division$") as info:
        ht.fit(0, 0, 1)
    assert entries(info.value) == [("kestrova.hough.HoughTransform.fit", 111)]
    assert fake_opt.minimize_args is None


def test_fit_error_inside_objective_is_traced():
    ht = with_record(record([1.0, 2.0]))

    def broken(x, p):
        raise ValueError("broken model")

    ht.ramp_sigmoid = broken
    with pytest.raises(ValueError, match="broken model") as info:
        ht.fit(0, 0, 1)
    assert entries(info.value) == [
        ("kestrova.hough.HoughTransform.fit", 113),
        ("kestrova.hough.HoughTransform.fit.lambda", 112),
    ]
