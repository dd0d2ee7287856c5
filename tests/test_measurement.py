"""Streak measurement: snr, ramp_sigmoid and fit."""

import math
import types

import numpy as np
import pytest

import kestrova.hough
from conftest import hough_entries
import lines
from kestrova.hough import HoughTransform


def record(values):
    """An along-line record: the pixel values between two zero end samples, summed."""
    values = np.concatenate(([0.0], np.asarray(values, dtype=float), [0.0]))
    return np.vstack((np.linspace(-10.0, 10.0, values.size), np.cumsum(values)))


def with_record(E, sigma=1.0, lim=(-30.1, 50.2)):
    """An instance whose elements_along and dmlim are replaced, recording their arguments."""
    ht = HoughTransform(np.zeros((3, 3)), sigma)
    ht.calls = []

    def elements_along(*args):
        ht.calls.append(("elements_along", args))
        return E

    def dmlim(*args):
        ht.calls.append(("dmlim", args))
        return lim

    ht.elements_along = elements_along
    ht.dmlim = dmlim
    return ht


def entries(exc):
    """(name, line) of the module's traceback entries, outermost first."""
    return [(name, line) for name, _, line in hough_entries(exc)]


class FakeOpt:
    """Stands in for scipy.optimize: records Bounds and minimize, returns a fixed result."""

    def __init__(self, x=(1.0, 2.0, 3.0, 4.0), fun=16.0):
        self.result = types.SimpleNamespace(x=np.array(x), fun=fun)
        self.bounds = None
        self.minimize_args = None

    def Bounds(self, *args, **kwargs):
        self.bounds = (args, kwargs)
        return self

    def minimize(self, *args, **kwargs):
        self.minimize_args = (args, kwargs)
        return self.result


@pytest.fixture
def fake_opt(monkeypatch):
    fake = FakeOpt()
    monkeypatch.setattr(kestrova.hough, "opt", fake)
    return fake


# --- snr --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, rise",
    [
        ([1.0, 2.0, 3.0], 6.0),
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
    assert ht.calls == [("elements_along", (0.10000000149011612, 0.20000000298023224, 3.0))]


def test_snr_sigma_array_divides_elementwise():
    ht = with_record(record([1.0, 2.0, 3.0]), sigma=np.array([1.0, 2.0, 4.0]))
    np.testing.assert_allclose(ht.snr(0, 0, 1), 6.0 / np.array([1.0, 2.0, 4.0]) / math.sqrt(5))


def test_snr_python_zero_sigma():
    ht = with_record(record([1.0]), sigma=0)
    with pytest.raises(ZeroDivisionError) as info:
        ht.snr(0, 0, 1)
    assert entries(info.value) == [("kestrova.hough.HoughTransform.snr", lines.snr_ratio)]


# --- ramp_sigmoid -----------------------------------------------------------------------------

ramp = HoughTransform(np.zeros((1, 1)), 1.0).ramp_sigmoid


@pytest.mark.parametrize(
    "p, expected",
    [
        ([1, 2, 3, 5], [1, 1, 1, 3, 5, 5]),
        ([1, 2, 3, 5, 99, 99], [1, 1, 1, 3, 5, 5]),  # elements past the fourth are ignored
        ([1, -2, 3, 5], [1, 1, 1, -1, -3, -3]),  # falling ramp
        ([1, 2, 3, 3], [1, 1, 1, 1 + 2e-8, 1 + 2e-8, 1 + 2e-8]),  # no width: a 1e-08 step
        ([1, 2, 3, 0], [1, 1, 1, 1 + 2e-8, 1 + 2e-8, 1 + 2e-8]),  # end before start
    ],
)
def test_ramp_sigmoid_curve(p, expected):
    x = np.array([0.0, 2.0, 3.0, 4.0, 5.0, 10.0])
    np.testing.assert_allclose(ramp(x, np.array(p, dtype=float)), expected, rtol=1e-15)


@pytest.mark.parametrize(
    "x, p, name, got",
    [
        ([1.0], np.zeros(4), "x", "list"),
        (np.zeros(3), (1, 2, 3, 4), "p", "tuple"),
        ([1.0], [1.0], "x", "list"),  # x is checked first
    ],
)
def test_ramp_sigmoid_type_check(x, p, name, got):
    message = f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {got})"
    with pytest.raises(TypeError) as info:
        ramp(x, p)
    assert str(info.value) == message
    assert entries(info.value) == []


@pytest.mark.parametrize(
    "x, p, error, line",
    [
        (np.zeros(3), None, TypeError, lines.ramp_sigmoid_level),  # None passes the check, fails when indexed
        (np.zeros(3), np.zeros(3), IndexError, lines.ramp_sigmoid_upper),
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
    assert ht.calls == [
        ("elements_along", (0.10000000149011612, 0.20000000298023224, 3.0)),
        ("dmlim", (0.10000000149011612, 0.20000000298023224)),
    ]

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
    (func, _), _ = fake_opt.minimize_args

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
    (func, _), _ = fake_opt.minimize_args
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [("kestrova.hough.HoughTransform.fit.lambda", lines.fit_objective)]


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
    assert entries(info.value) == [("kestrova.hough.HoughTransform.fit", lines.fit_start)]
    assert fake_opt.minimize_args is None


# --- fit with the real minimiser ---------------------------------------------------------------


def test_fit_empty_band():
    E = np.array([[-5.0, 5.0], [0.0, 0.0]])
    out = with_record(E, lim=(-3.0, 3.0)).fit(0, 0, 0)
    assert out.shape == (5,)
    assert out[4] == 0.0
    assert -3.0 <= out[2] <= 3.0 and -3.0 <= out[3] <= 3.0


def test_fit_error_inside_objective_is_traced():
    ht = with_record(record([1.0, 2.0]))

    def broken(x, p):
        raise ValueError("broken model")

    ht.ramp_sigmoid = broken
    with pytest.raises(ValueError, match="broken model") as info:
        ht.fit(0, 0, 1)
    assert entries(info.value) == [
        ("kestrova.hough.HoughTransform.fit", lines.fit_minimize),
        ("kestrova.hough.HoughTransform.fit.lambda", lines.fit_objective),
    ]


def test_fit_recovers_streak_ends():
    ny = nx = 101
    r, theta = 7.0, 0.6
    y, x = np.mgrid[0:ny, 0:nx].astype(float)
    x -= (nx - 1) / 2
    y -= (ny - 1) / 2
    c, s = math.cos(theta), math.sin(theta)
    across = -s * x + c * y + r
    along = c * x + s * y
    image = np.where((np.abs(across) < 0.5) & (along >= -20) & (along <= 25), 5.0, 0.0)
    image += np.random.default_rng(5).normal(0.0, 0.1, image.shape)

    ht = HoughTransform(image, 1.0)
    p0, slope, start, end, goodness = ht.fit(r, theta, 2.0)
    assert start == pytest.approx(-20.0, abs=1.5)
    assert end == pytest.approx(25.0, abs=1.5)
    # About one pixel of the streak per unit of length along the line.
    assert slope == pytest.approx(5.0, rel=0.1)
    assert abs(p0) < 1.0 and goodness < 0.1
