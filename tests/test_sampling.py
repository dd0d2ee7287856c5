"""Sampling along a line: mask, elements_along and profile."""

import math

import numpy as np
import pytest

import kestrova.hough as hough
from conftest import (NumpyWith, check_fault, entry, hough_entries, members, numpy_with, raiser,
                      without)
from kestrova.hough import HoughTransform
from reference import single
import lines

NAN = math.nan


def test_mask_is_strict_at_the_single_precision_width():
    ht = HoughTransform(np.zeros((3, 3)), 1.0)  # dl is -0.5, 0.5, 1.5 on the rows
    assert ht.mask(0.5, 0.0, 1.0).tolist() == [[True] * 3, [True] * 3, [False] * 3]
    assert not ht.mask(0.5, 0.0, 0.5).any()
    ht.axis2 = np.array([[0.1], [-0.1], [single(0.1)], [-single(0.1)]])  # theta 0: dl = y
    assert ht.mask(0.0, 0.0, 0.1)[:, 0].tolist() == [True, True, False, False]


def test_elements_along_example():
    got = HoughTransform(np.array([[1, 2, 3]]), 1.0).elements_along(0.0, 0.0, 1.0)
    assert got.tolist() == [
        [-1.5811388300841898, -1.0, 0.0, 1.0, 1.5811388300841898],
        [0.0, 1.0, 3.0, 6.0, 6.0],
    ]


def test_profile_example():
    ht = HoughTransform(np.array([[1.0, 2.0, 4.0, 8.0, 16.0]]), 1.0)  # x = -2 .. 2
    # The pixels at x = -1 and x = 2, on the ends of the stretch, are left out: (4 + 8) / 3.
    got = ht.profile(0.0, 0.0, -1.0, 2.0, 1.0)
    assert got.tolist() == [[-0.5, -0.25, 0.0, 0.25], [0.0, 0.0, 4.0, 0.0]]


def test_profile_divides_by_the_single_precision_length():
    got = HoughTransform(np.ones((1, 1)), 1.0).profile(0.0, 0.0, -0.1, 0.2, 0.25)
    length = float(np.float32(0.2) - np.float32(-0.1))
    assert length != single(0.2) - single(-0.1)  # the double-precision difference differs here
    assert got[1].tolist() == [1.0 / length]


def test_a_shared_mask_is_not_anded_in_place():
    ht = HoughTransform(np.ones((600, 500)), 1.0)
    kept = np.ones((600, 500), bool)  # large enough for NumPy to reuse, but referenced here
    ht.mask = lambda r, theta, w: kept
    got = ht.profile(0.0, 0.0, -10.0, 10.0, 1.0)
    assert kept.all()
    assert got[1].sum() * 20.0 == pytest.approx(600 * 20)  # columns x = -9.5 .. 9.5


def test_none_passes_the_array_check():
    ht = HoughTransform(np.ones((2, 2)), 1.0)
    ht.mask = lambda r, theta, w: None  # a valid index: arrays gain an axis
    assert ht.elements_along(0.0, 0.0, 1.0).shape == (2, 6)


def test_abs_is_looked_up_before_dl_is_called(monkeypatch):
    ht = HoughTransform(np.zeros((2, 3)), 1.0)
    ht.dl = raiser("dl")
    monkeypatch.setattr(hough, "np", NumpyWith(abs=None))  # found, not called
    with pytest.raises(ArithmeticError):
        ht.mask(0.0, 0.0, 1.0)
    del hough.np  # monkeypatch restores it
    with pytest.raises(NameError, match="name 'np' is not defined") as info:
        ht.mask(0.0, 0.0, 1.0)
    assert hough_entries(info.value) == [entry("mask", lines.mask_band)]


class MaskLike:
    """What `mask & (dm > dm1) & (dm < dm2)` makes when mask returns this: itself."""

    def __and__(self, other):
        return self


class AnythingMinus:
    __array_ufunc__ = None  # NumPy's arrays defer to __rsub__

    def __rsub__(self, other):
        return "edge"


class DmLike(tuple):
    """Not an array: its items are what indexing yields."""

    def __getitem__(self, key):
        return (1.0,)


class Unsortable(np.ndarray):
    def argsort(self, *args, **kwargs):
        raise AttributeError("argsort")


def histogram(*result):
    return numpy_with(histogram=lambda *a, **k: result[0] if len(result) == 1 else result)


LIST = "Cannot convert list to numpy.ndarray"
TUPLE = "Cannot convert tuple to numpy.ndarray"
ALONG = ("elements_along", 0.0, 0.0, 1.0)
PROFILE = ("profile", 0.0, 0.0, -1.0, 1.0, 1.0)


def profile(w):
    return PROFILE[:-1] + (w,)


@pytest.mark.parametrize(
    "call, fault, error, entries",
    [
        (("mask", 0.0, 0.0, 1.0), without("axis1"), AttributeError,
         [entry("mask", lines.mask_band), entry("dl", lines.dl_sum)]),
        (ALONG, members(mask=lambda r, theta, w: [[True]]), (TypeError, LIST),
         [entry("elements_along", lines.elements_along_mask)]),
        (ALONG, members(dm=lambda r, theta: DmLike()), (TypeError, TUPLE),
         [entry("elements_along", lines.elements_along_dm)]),
        (ALONG, members(dm=lambda r, theta: None),
         (TypeError, "'NoneType' object is not subscriptable"), [entry("elements_along", lines.elements_along_dm)]),
        (ALONG, members(image=None), TypeError, [entry("elements_along", lines.elements_along_px)]),
        (ALONG, numpy_with(append=raiser("append")), ArithmeticError,
         [entry("elements_along", lines.elements_along_append_dm)]),
        (ALONG, numpy_with(append=lambda a, b: list(a)), (TypeError, LIST),
         [entry("elements_along", lines.elements_along_append_dm)]),
        (ALONG, numpy_with(append=lambda a, b: np.append(a, b).view(Unsortable)),
         (AttributeError, "argsort"), [entry("elements_along", lines.elements_along_argsort)]),
        (ALONG, numpy_with(cumsum=raiser("cumsum")), ArithmeticError,
         [entry("elements_along", lines.elements_along_stack)]),
        (ALONG, numpy_with(vstack=raiser("vstack")), ArithmeticError,
         [entry("elements_along", lines.elements_along_stack)]),
        (ALONG, numpy_with(cumsum=lambda a: a, vstack=lambda t: list(t)), (TypeError, LIST),
         [entry("elements_along", lines.elements_along_stack)]),
        (PROFILE, members(dm=lambda r, theta: [[0.0]]), (TypeError, LIST),
         [entry("profile", lines.profile_dm)]),
        (PROFILE, members(mask=lambda r, theta, w: MaskLike()),
         (TypeError, "Cannot convert MaskLike to numpy.ndarray"), [entry("profile", lines.profile_mask)]),
        (PROFILE, members(mask=lambda r, theta, w: np.ones((2, 2), bool),
                          dl=lambda r, theta: DmLike()), (TypeError, TUPLE),
         [entry("profile", lines.profile_dl)]),
        (PROFILE, members(image=DmLike()), (TypeError, TUPLE), [entry("profile", lines.profile_px)]),
        (PROFILE, histogram([0.0], np.zeros(2)), (TypeError, LIST), [entry("profile", lines.profile_histogram)]),
        (PROFILE, histogram(np.zeros(1), [0.0, 1.0]), (TypeError, LIST), [entry("profile", lines.profile_histogram)]),
        (PROFILE, histogram(np.zeros(1), np.zeros(1), np.zeros(1)),
         (ValueError, "too many values to unpack (expected 2)"), [entry("profile", lines.profile_histogram)]),
        (PROFILE, histogram(iter([])), (ValueError, "need more than 0 values to unpack"),
         [entry("profile", lines.profile_histogram)]),
        (PROFILE, numpy_with(histogram=raiser("histogram")), ArithmeticError,
         [entry("profile", lines.profile_histogram)]),
        (profile(0.2499), members(), ValueError, [entry("profile", lines.profile_histogram)]),  # NumPy's: no bins
        (profile(NAN), members(), (ValueError, "cannot convert float NaN to integer"),
         [entry("profile", lines.profile_histogram)]),
        (profile(math.inf), members(), (OverflowError, "cannot convert float infinity to integer"),
         [entry("profile", lines.profile_histogram)]),
        # Infinite in single precision.
        (profile(1e39), members(), (OverflowError, "cannot convert float infinity to integer"),
         [entry("profile", lines.profile_histogram)]),
        # The weights px / (dm2 - dm1) are formed before int(w * 4.0): their error wins.
        (profile(NAN), members(image=np.array([["a"] * 2] * 2)), TypeError,
         [entry("profile", lines.profile_histogram)]),
        (PROFILE, numpy_with(diff=lambda edge: AnythingMinus()),
         (TypeError, "Cannot convert str to numpy.ndarray"), [entry("profile", lines.profile_edge)]),
        (PROFILE, numpy_with(diff=raiser("diff")), ArithmeticError, [entry("profile", lines.profile_edge)]),
        (PROFILE, numpy_with(vstack=raiser("vstack")), ArithmeticError, [entry("profile", lines.profile_return)]),
    ],
)
def test_faults_report_the_method_lines(monkeypatch, call, fault, error, entries):
    check_fault(monkeypatch, HoughTransform(np.ones((2, 2)), 1.0), call, fault, error, entries)
