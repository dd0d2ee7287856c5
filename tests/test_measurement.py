"""Streak measurement: snr, ramp_sigmoid and fit."""

import math

import numpy as np
import pytest

from conftest import check_fault, entry, hough_entries, members, raiser
from kestrova.hough import HoughTransform
import lines


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
    assert hough_entries(info.value) == [entry("fit.lambda", lines.fit_objective)]


class Row:
    size = 0

    def min(self):
        return 0.0

    def max(self):
        return 0.0


class EmptyRecord(np.ndarray):
    """A record without samples: elements_along always has its two end samples."""

    def __getitem__(self, index):
        return Row()


@pytest.mark.parametrize(
    "call, fault, error, entries",
    [
        (("snr", 0, 0, 1), members(sigma=0), ZeroDivisionError, [entry("snr", lines.snr_ratio)]),
        # None passes the array check and fails when indexed.
        (("ramp_sigmoid", np.zeros(3), None), members(), TypeError, [entry("ramp_sigmoid", lines.ramp_sigmoid_level)]),
        (("ramp_sigmoid", np.zeros(3), np.zeros(3)), members(), IndexError,
         [entry("ramp_sigmoid", lines.ramp_sigmoid_upper)]),
        # No samples: fails before minimizing.
        (("fit", 0, 0, 1), members(elements_along=lambda r, t, w: np.zeros((2, 0)).view(
            EmptyRecord)), (ZeroDivisionError, "float division"), [entry("fit", lines.fit_start)]),
        (("fit", 0, 0, 1), members(ramp_sigmoid=raiser("broken model")), ArithmeticError,
         [entry("fit", lines.fit_minimize), entry("fit.lambda", lines.fit_objective)]),
    ],
)
def test_faults_report_the_method_lines(monkeypatch, call, fault, error, entries):
    check_fault(monkeypatch, with_record(record([1.0, 2.0])), call, fault, error, entries)
