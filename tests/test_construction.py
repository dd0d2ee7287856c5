import numpy as np
import pytest

import kestrova.hough as hough
import lines
from conftest import NumpyWith, Shaped, hough_entries, raiser
from kestrova.hough import HoughTransform


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
    assert hough_entries(info.value) == [("kestrova.hough.HoughTransform.__init__", "src/hough", lines.init_shape)]
    # What was stored before the failure stays.
    assert ht.image is image and ht.sigma == 1.0 and not hasattr(ht, "center")


class OnlyImage:
    __slots__ = ("image",)


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
        monkeypatch.setattr(hough, "np", NumpyWith(**{broken: raiser(broken)}))
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

    monkeypatch.setattr(hough, "np", NumpyWith(arange=arange))
    HoughTransform(np.zeros((2, 5)), 1.0)
    assert calls == [5, 2]
    monkeypatch.delattr(hough, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        HoughTransform(np.zeros((2, 5)), 1.0)
