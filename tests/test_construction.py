import math
import types

import numpy as np
import pytest

import kestrova.hough as hough
from conftest import hough_entries
import lines
from kestrova.hough import HoughTransform


@pytest.mark.parametrize(
    "shape, center, axis1, axis2, radius",
    [
        ((1, 1), (0.0, 0.0), [[0.0]], [[0.0]], math.sqrt(2) / 2),
        ((3, 4), (1.0, 1.5), [[-1.5, -0.5, 0.5, 1.5]], [[-1.0], [0.0], [1.0]], 2.5),
        ((5, 1), (2.0, 0.0), [[0.0]], [[-2.0], [-1.0], [0.0], [1.0], [2.0]], math.sqrt(26) / 2),
        ((0, 3), (-0.5, 1.0), np.array([[-1.0, 0.0, 1.0]]), np.zeros((0, 1)), 1.5),
        ((2, 0), (0.5, -0.5), np.zeros((1, 0)), [[-0.5], [0.5]], 1.0),
    ],
)
def test_pixel_frame(shape, center, axis1, axis2, radius):
    image = np.ones(shape, dtype=np.int16)
    ht = HoughTransform(image, 2.5)
    assert ht.image is image and ht.sigma == 2.5
    assert ht.center == center and all(type(v) is float for v in ht.center)
    for got, want in ((ht.axis1, axis1), (ht.axis2, axis2)):
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, np.asarray(want, dtype=np.float64).reshape(got.shape))
    assert ht.axis1.shape == (1, shape[1]) and ht.axis2.shape == (shape[0], 1)
    assert isinstance(ht.radius, np.float64) and ht.radius == radius
    np.testing.assert_array_equal(ht.append_x, [-radius, radius])
    np.testing.assert_array_equal(ht.append_y, [0.0, 0.0])


def test_arguments_are_kept_by_reference():
    image, sigma = [[1, 2], [3, 4]], object()
    with pytest.raises(AttributeError):
        HoughTransform(image, sigma)  # a list has no shape
    array = np.zeros((2, 2), dtype=bool)
    ht = HoughTransform(sigma=sigma, image=array)
    assert ht.image is array and ht.sigma is sigma


@pytest.mark.parametrize(
    "shape, message",
    [
        ((3,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        ((2, 3, 4), "too many values to unpack (expected 2)"),
    ],
)
def test_shape_unpacking(shape, message):
    ht = HoughTransform.__new__(HoughTransform)
    image = np.zeros(shape)
    with pytest.raises(ValueError) as info:
        ht.__init__(image, 1.0)
    assert str(info.value) == message
    assert hough_entries(info.value) == [
        ("kestrova.hough.HoughTransform.__init__", "src/hough", lines.init_shape)
    ]
    # What was stored before the failure stays.
    assert ht.image is image and ht.sigma == 1.0 and not hasattr(ht, "center")


class Shaped:
    def __init__(self, shape):
        self.shape = shape


class OnlyImage:
    __slots__ = ("image",)


def failing_numpy(name):
    """NumPy with one function replaced by one that raises."""

    def fail(*args, **kwargs):
        raise RuntimeError(name)

    return types.SimpleNamespace(**{**vars(np), name: fail})


@pytest.mark.parametrize(
    "self_, image, broken, line, stored",
    [
        (object(), np.zeros((2, 2)), None, lines.init_image, []),
        (OnlyImage(), np.zeros((2, 2)), None, lines.init_sigma, []),
        (None, Shaped(None), None, lines.init_shape, ["image", "sigma"]),
        (None, Shaped(("a", 1)), None, lines.init_center, ["sigma"]),
        (None, Shaped((2, 2.0)), None, lines.init_axis1, ["center"]),
        (None, Shaped((2.0, 2)), None, lines.init_axis2, ["center", "axis1"]),
        (None, np.zeros((2, 2)), "sqrt", lines.init_radius, ["axis2"]),
        (None, np.zeros((2, 2)), "array", lines.init_append_x, ["radius"]),
        (None, np.zeros((2, 2)), "zeros", lines.init_append_y, ["append_x"]),
    ],
)
def test_construction_steps_report_their_line(monkeypatch, self_, image, broken, line, stored):
    if broken:
        monkeypatch.setattr(hough, "np", failing_numpy(broken))
    target = self_ if self_ is not None else HoughTransform.__new__(HoughTransform)
    with pytest.raises(Exception) as info:
        HoughTransform.__init__(target, image, 1.0)
    assert hough_entries(info.value) == [
        ("kestrova.hough.HoughTransform.__init__", "src/hough", line)
    ]
    for name in stored:
        assert hasattr(target, name)


def test_replaced_numpy_global_is_used_at_each_call(monkeypatch):
    calls = []

    def arange(n):
        calls.append(n)
        return np.arange(n)

    monkeypatch.setattr(hough, "np", types.SimpleNamespace(**{**vars(np), "arange": arange}))
    HoughTransform(np.zeros((2, 5)), 1.0)
    assert calls == [5, 2]
    monkeypatch.delattr(hough, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        HoughTransform(np.zeros((2, 5)), 1.0)
