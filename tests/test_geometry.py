"""Line geometry: dl, dm, p0, n0, locate and dmlim."""

import math
import types

import numpy as np
import pytest

import kestrova.hough as hough
from conftest import Shaped, check_fault, entry, members, numpy_with, raiser, without
from kestrova.hough import HoughTransform
import lines

PI = math.pi


def make(shape):
    return HoughTransform(np.zeros(shape), 1.0)


@pytest.mark.parametrize(
    "method, shape, args, index, expected",
    [
        # cos(0.30000001192092896) = 0.9553364856027305, rounded to 0.9553365111351013.
        ("dm", (201, 201), (0.0, 0.3), (100, 200), 95.53365111351013),
        ("dl", (5, 5), (0.1, 0.7), (2, 2), 0.10000000149011612),  # r itself, at the centre
        # 1 + 1 - c: c = -4.371138828673793e-08, the cosine of the single-precision pi/2.
        ("dl", (3, 3), (1.0, PI / 2), (0, 0), 2.0000000437113883),
    ],
)
def test_single_precision_values(method, shape, args, index, expected):
    assert getattr(make(shape), method)(*args)[index] == expected


def test_a_shared_sum_is_not_added_to_in_place():
    shared = np.zeros((512, 512))  # past NumPy's threshold for reusing temporaries

    class Sum:
        __array_ufunc__ = None

        def __rmul__(self, other):
            return self

        def __add__(self, other):
            return shared  # referenced here too: dl must not add r into it

    ht = make((2, 2))
    ht.axis1 = Sum()
    got = ht.dl(3.0, 0.0)
    assert np.all(got == 3.0) and got is not shared and np.all(shared == 0.0)


def test_numpy_is_looked_up_at_every_call(monkeypatch):
    ht = make((3, 3))
    ht.dl(1.0, 0.5)  # a first call, so that any kept look-up exists
    monkeypatch.setattr(np, "cos", raiser("numpy's own cos replaced"))
    with pytest.raises(ArithmeticError, match="numpy's own cos replaced"):
        ht.dl(1.0, 0.5)
    monkeypatch.undo()
    other = types.ModuleType("other_numpy")
    other.__dict__.update(np.__dict__)
    other.sin = lambda theta: 0.5
    monkeypatch.setattr(hough, "np", other)  # another plain module as the global np
    assert ht.dm(0.0, 0.0)[0].tolist() == [-1.5, -0.5, 0.5]  # x + 0.5 y on row y = -1


def cube_before_p0(ht, monkeypatch):
    # The shape is read before p0 is called: p0 failing would report line 53.
    ht.image, ht.p0 = np.zeros((2, 2, 2)), raiser("p0")


@pytest.mark.parametrize(
    "call, fault, error, entries",
    [
        (("dl", 1.0, 0.5), numpy_with(cos=raiser("cos")), ArithmeticError, [entry("dl", lines.dl_cos)]),
        (("dl", 1.0, 0.5), numpy_with(sin=raiser("sin")), ArithmeticError, [entry("dl", lines.dl_sin)]),
        (("dl", 1.0, 0.5), numpy_with(cos=lambda t: "one"), TypeError, [entry("dl", lines.dl_cos)]),
        (("dl", 1.0, 0.5), without("axis2"), AttributeError, [entry("dl", lines.dl_sum)]),
        (("dm", 1.0, 0.5), numpy_with(cos=raiser("cos")), ArithmeticError, [entry("dm", lines.dm_cos)]),
        (("dm", 1.0, 0.5), numpy_with(sin=raiser("sin")), ArithmeticError, [entry("dm", lines.dm_sin)]),
        (("dm", 1.0, 0.5), without("axis2"), AttributeError, [entry("dm", lines.dm_sum)]),
        (("n0", 1.0, 0.5), numpy_with(array=raiser("array")), ArithmeticError, [entry("n0", lines.n0_array)]),
        (("locate", 1.0, 0.5, 2.0), members(p0=raiser("p0")), ArithmeticError,
         [entry("locate", lines.locate_point)]),
        (("locate", 1.0, 0.5, 2.0), numpy_with(sin=raiser("sin")), ArithmeticError,
         [entry("locate", lines.locate_point), entry("p0", lines.p0_array)]),
        (("dmlim", 0.0, 0.0), cube_before_p0,
         (ValueError, "too many values to unpack (expected 2)"), [entry("dmlim", lines.dmlim_shape)]),
        # The shape's entries convert like float arguments.
        (("dmlim", 0.0, 0.0), members(image=Shaped(("a", 3))), TypeError, [entry("dmlim", lines.dmlim_shape)]),
        (("dmlim", 0.0, 0.0), numpy_with(tile=lambda a, n: list(a) * n),
         (TypeError, "Cannot convert list to numpy.ndarray"), [entry("dmlim", lines.dmlim_p)]),
        (("dmlim", 0.5, 0.5), members(n0=raiser("n0")), ArithmeticError, [entry("dmlim", lines.dmlim_b)]),
        (("dmlim", 0.5, 0.5), numpy_with(abs=raiser("abs")), ArithmeticError,
         [entry("dmlim", lines.dmlim_guard)]),
        (("dmlim", 0.5, 0.5),
         numpy_with(array=lambda v: np.array(v) if len(v) == 2 else raiser("borders")()),
         ArithmeticError, [entry("dmlim", lines.dmlim_crossings)]),
        (("dmlim", 0.5, 0.5), numpy_with(max=raiser("max")), ArithmeticError,
         [entry("dmlim", lines.dmlim_return)]),
        (("dmlim", 0.5, 0.5), numpy_with(min=raiser("min")), ArithmeticError,
         [entry("dmlim", lines.dmlim_return)]),
        (("dmlim", 0.0, math.nan), members(),
         (ValueError, "zero-size array to reduction operation maximum which has no identity"),
         [entry("dmlim", lines.dmlim_return)]),
    ],
)
def test_faults_report_the_method_lines(monkeypatch, call, fault, error, entries):
    check_fault(monkeypatch, make((3, 3)), call, fault, error, entries)


# ---------------------------------------------------------------------------------------------
# dmlim, with the true stretch for a foot point outside the image

DMLIM_EXAMPLES = [
    ((51, 101), 0.0, 0.0, (-50.0, 50.0)),
    ((51, 101), 0.0, PI / 2, (-25.000000000000025, 25.000000000000025)),
    ((101, 101), 0.0, PI / 4, (-70.7106766, 70.7106766)),
    ((101, 101), -50.0, 0.0, (-50.0, 50.0)),  # the foot point on the border is not outside
    ((101, 101), 60.0, 0.0, (-50.0, 50.0)),  # misses the image: unchanged
    ((11, 1), 0.0, 0.0, (-5e8, 5e8)),
    # The foot point lies outside, the line crosses the image (the plain rule: -69.351, 8.607).
    ((101, 101), 55.0, 0.3, (8.607, 35.324)),
    # The foot point (-60, -60) lies beyond a corner and the line misses: the plain rule.
    ((101, 101), -60.0 * math.sqrt(2.0), 3 * PI / 4, (-14.1421356, 14.1421356)),
]


@pytest.mark.parametrize("shape, r, theta, expected", DMLIM_EXAMPLES)
def test_dmlim_examples(shape, r, theta, expected):
    got = make(shape).dmlim(r, theta)
    assert type(got) is tuple and [type(value) for value in got] == [np.float64] * 2
    assert got == pytest.approx(expected, rel=1e-7, abs=1e-3)


@pytest.mark.parametrize("shape", [(101, 101), (40, 90), (90, 7)])
def test_dmlim_is_the_stretch_inside_for_a_foot_point_outside(shape):
    ht = make(shape)
    half = np.array([(shape[1] - 1) / 2, (shape[0] - 1) / 2])
    rng = np.random.default_rng(4)
    count = 0
    for r, theta in zip(rng.uniform(-70.0, 70.0, 400), rng.uniform(-2 * PI, 2 * PI, 400)):
        # The rectangle reaches half . (|sin|, |cos|) along the line's normal.
        reach = half @ np.abs([np.sin(theta), np.cos(theta)])
        if np.all(np.abs(ht.p0(r, theta)) <= half) or abs(r) > reach - 1e-3:
            continue
        count += 1
        lower, upper = ht.dmlim(r, theta)
        assert ht.dmlim(-r, theta + PI) == pytest.approx((-upper, -lower), abs=1e-3)
        for point in (ht.locate(r, theta, lower), ht.locate(r, theta, upper)):  # on the border
            assert np.all(np.abs(point) <= half + 1e-3)
            assert np.any(np.abs(np.abs(point) - half) <= 1e-3)
        assert np.all(np.abs(ht.locate(r, theta, (lower + upper) / 2)) <= half + 1e-3)
    assert count > 10
