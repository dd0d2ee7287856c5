"""Sampling along a line: mask, elements_along and profile."""

import math

import numpy as np
import pytest

import kestrova.hough as hough
from conftest import hough_entries
from conftest import NumpyWith, f32, raiser
import lines
from kestrova.hough import HoughTransform

PI = math.pi
NAN = float("nan")


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
    def __new__(cls, array):
        return np.asarray(array).view(cls)

    def argsort(self, *args, **kwargs):
        raise AttributeError("argsort")


def entry(method, line):
    return ("kestrova.hough.HoughTransform." + method, "src/hough", line)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# The documented arithmetic, with NumPy's float32 for the single-precision steps.
def dl_reference(ht, r, theta):
    r, theta = f32(r), f32(theta)
    c, s = f32(np.cos(theta)), f32(np.sin(theta))
    return ((-s) * ht.axis1 + c * ht.axis2) + r


def dm_reference(ht, theta):
    theta = f32(theta)
    c, s = f32(np.cos(theta)), f32(np.sin(theta))
    return c * ht.axis1 + s * ht.axis2


def mask_reference(ht, r, theta, w):
    return np.abs(dl_reference(ht, r, theta)) < f32(w)


def elements_reference(ht, r, theta, w):
    mask = mask_reference(ht, r, theta, w)
    dm = np.append(dm_reference(ht, theta)[mask], ht.append_x)
    px = np.append(ht.image[mask], ht.append_y)
    index = dm.argsort()
    return np.vstack((dm[index], np.cumsum(px[index])))


def profile_reference(ht, r, theta, dm1, dm2, w):
    dm = dm_reference(ht, theta)
    mask = mask_reference(ht, r, theta, w) & (dm > f32(dm1)) & (dm < f32(dm2))
    dl = dl_reference(ht, r, theta)[mask]
    px = ht.image[mask]
    length = float(np.float32(dm2) - np.float32(dm1))
    hist, edge = np.histogram(dl, weights=px / length, bins=int(f32(w) * 4.0))
    edge = edge[1:] - np.diff(edge)
    return np.vstack((edge, hist))


@pytest.fixture
def noisy():
    rng = np.random.default_rng(7)
    return HoughTransform(rng.normal(size=(48, 64)), 1.0)


LINES = [(0.0, 0.0, 1.0), (3.3, 0.41, 2.5), (-12.0, 2.2, 0.7), (20.0, -1.0, 4.0), (0.5, PI / 2, 1.0)]


# ---------------------------------------------------------------------------------------------
# mask


class TestMask:
    def test_worked_example(self):
        ht = HoughTransform(np.zeros((3, 3)), 1.0)  # dl is -0.5, 0.5, 1.5 on the rows
        assert ht.mask(0.5, 0.0, 1.0).tolist() == [[True] * 3, [True] * 3, [False] * 3]
        assert not ht.mask(0.5, 0.0, 0.5).any()  # strict: |dl| = 0.5 is outside

    @pytest.mark.parametrize("r, theta, w", LINES)
    def test_bit_identical_to_the_formulas(self, noisy, r, theta, w):
        got = noisy.mask(r, theta, w)
        assert got.dtype == np.bool_ and got.shape == noisy.image.shape
        assert np.array_equal(got, mask_reference(noisy, r, theta, w))

    def test_threshold_is_the_single_precision_w(self):
        ht = HoughTransform(np.zeros((1, 1)), 1.0)
        ht.axis2 = np.array([[0.1], [-0.1], [f32(0.1)], [-f32(0.1)]])  # theta 0: dl = y
        assert ht.mask(0.0, 0.0, 0.1)[:, 0].tolist() == [True, True, False, False]

    @pytest.mark.parametrize("w", [0.0, -1.0, NAN])
    def test_empty_for_non_positive_or_nan_width(self, noisy, w):
        got = noisy.mask(0.0, 0.3, w)
        assert got.shape == noisy.image.shape and not got.any()

    @pytest.mark.parametrize("r, theta", [(NAN, 0.3), (0.0, NAN)])
    def test_empty_for_nan_line(self, noisy, r, theta):
        assert not noisy.mask(r, theta, 5.0).any()

    def test_line_far_outside(self, noisy):
        got = noisy.mask(500.0, 0.3, 5.0)
        assert got.shape == (48, 64) and not got.any()

    def test_integer_w(self, noisy):
        assert np.array_equal(noisy.mask(1.0, 0.3, 3), noisy.mask(1.0, 0.3, 3.0))

    def test_reversed_line(self, noisy):
        assert np.array_equal(noisy.mask(3.3, 0.41, 2.5), noisy.mask(-3.3, 0.41 + PI, 2.5))

    def test_dl_through_the_instance(self):
        class Everything(HoughTransform):
            def dl(self, r, theta):
                return np.zeros(self.image.shape)

        assert Everything(np.zeros((2, 3)), 1.0).mask(99.0, 0.0, 0.5).all()
        ht = HoughTransform(np.zeros((2, 3)), 1.0)
        ht.dl = lambda r, theta: np.full((2, 3), r)
        assert ht.mask(0.25, 0.0, 0.5).all() and not ht.mask(0.75, 0.0, 0.5).any()

    def test_dl_receives_single_precision_floats(self):
        seen = []
        ht = HoughTransform(np.zeros((2, 3)), 1.0)
        ht.dl = lambda r, theta: seen.append((r, theta)) or np.zeros((2, 3))
        ht.mask(0.1, 0.2, 0.3)
        assert seen == [(f32(0.1), f32(0.2))] and type(seen[0][0]) is float

    def test_abs_is_looked_up_before_dl_is_called(self, monkeypatch):
        ht = HoughTransform(np.zeros((2, 3)), 1.0)
        ht.dl = raiser("dl")
        monkeypatch.setattr(hough, "np", NumpyWith(abs=None))  # found, not called
        with pytest.raises(ArithmeticError):
            ht.mask(0.0, 0.0, 1.0)
        del hough.np  # monkeypatch restores it
        with pytest.raises(NameError, match="name 'np' is not defined") as info:
            ht.mask(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("mask", lines.mask_band)]

    def test_error_in_dl_gains_the_mask_entry(self):
        ht = HoughTransform(np.zeros((2, 3)), 1.0)
        del ht.axis1
        with pytest.raises(AttributeError) as info:
            ht.mask(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("mask", lines.mask_band), entry("dl", lines.dl_sum)]


# ---------------------------------------------------------------------------------------------
# elements_along


class TestElementsAlong:
    def test_worked_example(self):
        ht = HoughTransform(np.array([[1, 2, 3]]), 1.0)
        got = ht.elements_along(0.0, 0.0, 1.0)
        assert got.dtype == np.float64
        assert got.tolist() == [
            [-1.5811388300841898, -1.0, 0.0, 1.0, 1.5811388300841898],
            [0.0, 1.0, 3.0, 6.0, 6.0],
        ]

    @pytest.mark.parametrize("r, theta, w", LINES)
    def test_bit_identical_to_the_formulas(self, noisy, r, theta, w):
        assert same_bits(noisy.elements_along(r, theta, w), elements_reference(noisy, r, theta, w))

    @pytest.mark.parametrize(
        "r, theta, w", [(0.0, 0.3, 0.0), (0.0, 0.3, -2.0), (NAN, 0.3, 2.0), (0.0, 0.3, NAN), (999.0, 1.0, 3.0)]
    )
    def test_empty_band(self, noisy, r, theta, w):
        radius = noisy.radius
        assert noisy.elements_along(r, theta, w).tolist() == [[-radius, radius], [0.0, 0.0]]

    @pytest.mark.parametrize("r, theta, w", LINES)
    def test_end_columns(self, noisy, r, theta, w):
        got = noisy.elements_along(r, theta, w)
        total = noisy.image[noisy.mask(r, theta, w)].sum()
        assert got[:, 0].tolist() == [-noisy.radius, 0.0]
        assert got[0, -1] == noisy.radius and got[1, -1] == pytest.approx(total, abs=1e-9)
        assert np.all(np.diff(got[0]) >= 0)

    def test_band_covering_the_image(self, noisy):
        got = noisy.elements_along(0.0, 0.7, 100.0)
        assert got.shape == (2, 48 * 64 + 2)
        assert got[1, -1] == pytest.approx(noisy.image.sum(), abs=1e-9)

    @pytest.mark.parametrize("dtype", [np.int16, np.int64, np.uint8, np.bool_, np.float32])
    def test_integer_and_boolean_images(self, dtype):
        image = (np.arange(35).reshape(5, 7) % 3).astype(dtype)
        ht = HoughTransform(image, 1.0)
        got = ht.elements_along(0.5, 0.3, 1.5)
        assert got.dtype == np.float64
        assert same_bits(got, elements_reference(ht, 0.5, 0.3, 1.5))
        assert got[1, -1] == image[ht.mask(0.5, 0.3, 1.5)].sum()

    def test_nan_pixel(self):
        image = np.ones((1, 5))
        image[0, 2] = np.nan
        got = HoughTransform(image, 1.0).elements_along(0.0, 0.0, 1.0)
        assert got[1].tolist()[:3] == [0.0, 1.0, 2.0]
        assert np.isnan(got[1, 3:]).all()

    def test_reversed_line(self, noisy):
        forward = noisy.elements_along(3.3, 0.41, 2.5)
        back = noisy.elements_along(-3.3, 0.41 + PI, 2.5)
        assert forward.shape == back.shape
        assert np.allclose(back[0], -forward[0, ::-1], rtol=0, atol=1e-4)
        # The running sum from the other end: total minus the sum before each sample.
        total = forward[1, -1]
        before = np.concatenate(([0.0], forward[1, :-1]))
        assert np.allclose(back[1], (total - before)[::-1], rtol=0, atol=1e-9)

    def test_theta_zero_groups_by_column(self):
        image = np.arange(12.0).reshape(3, 4)
        got = HoughTransform(image, 1.0).elements_along(0.0, 0.0, 5.0)
        # The last member of each column's group holds the sum up to and including that column.
        last = [np.flatnonzero(got[0] == x)[-1] for x in (-1.5, -0.5, 0.5, 1.5)]
        assert got[1, last].tolist() == np.cumsum(image.sum(axis=0)).tolist()

    def test_methods_through_the_instance(self):
        image = np.arange(6.0).reshape(2, 3)

        class Row(HoughTransform):
            def dl(self, r, theta):  # the first row is on the line, the second far away
                return np.array([[0.0] * 3, [9.0] * 3])

        got = Row(image, 1.0).elements_along(0.0, 0.0, 1.0)
        assert got[1].tolist() == [0.0, 0.0, 1.0, 3.0, 3.0]
        ht = HoughTransform(image, 1.0)
        ht.dm = lambda r, theta: -ht.axis1 - 0 * ht.axis2  # positions run against x
        # Groups x = 1 (pixels 2, 5), x = 0 (1, 4), x = -1 (0, 3): each group's last sum.
        assert ht.elements_along(0.0, 0.0, 5.0)[1, [2, 4, 6]].tolist() == [7.0, 12.0, 15.0]
        ht.mask = lambda r, theta, w: np.array([[False, True, False], [False, False, False]])
        assert ht.elements_along(0.0, 0.0, 5.0)[1].tolist() == [0.0, 1.0, 1.0]

    @pytest.mark.parametrize(
        "attribute, value, line",
        [
            ("mask", lambda r, theta, w: [[True]], lines.elements_along_mask),
            ("dm", lambda r, theta: DmLike(), lines.elements_along_dm),
            ("image", None, lines.elements_along_px),
        ],
    )
    def test_typed_locals_reject_other_objects(self, attribute, value, line):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        setattr(ht, attribute, value)
        with pytest.raises(TypeError) as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", line)]
        if line == lines.elements_along_mask:
            assert str(info.value) == "Cannot convert list to numpy.ndarray"
        if line == lines.elements_along_dm:
            assert str(info.value) == "Cannot convert tuple to numpy.ndarray"

    def test_typed_local_errors_further_on(self, monkeypatch):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(cumsum=lambda a: a, vstack=lambda t: list(t)))
        with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray") as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", lines.elements_along_stack)]

    def test_none_passes_the_check_and_fails_in_the_next_step(self):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        ht.mask = lambda r, theta, w: None  # a valid index: arrays gain an axis
        assert ht.elements_along(0.0, 0.0, 1.0).shape == (2, 6)
        ht.dm = lambda r, theta: None
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable") as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", lines.elements_along_dm)]

    @pytest.mark.parametrize(
        "name, line",
        [
            ("append", lines.elements_along_append_dm),
            ("cumsum", lines.elements_along_stack),
            ("vstack", lines.elements_along_stack),
        ],
    )
    def test_numpy_error_lines(self, monkeypatch, name, line):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(**{name: raiser(name)}))
        with pytest.raises(ArithmeticError) as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", line)]

    def test_argsort_line(self, monkeypatch):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(append=lambda a, b: Unsortable(np.append(a, b))))
        with pytest.raises(AttributeError, match="argsort") as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", lines.elements_along_argsort)]

    def test_append_returning_a_list(self, monkeypatch):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(append=lambda a, b: list(a)))
        with pytest.raises(TypeError, match="Cannot convert list to numpy.ndarray") as info:
            ht.elements_along(0.0, 0.0, 1.0)
        assert hough_entries(info.value) == [entry("elements_along", lines.elements_along_append_dm)]


# ---------------------------------------------------------------------------------------------
# profile


class TestProfile:
    def test_worked_example(self):
        ht = HoughTransform(np.array([[1, 2, 3]]), 1.0)
        got = ht.profile(0.0, 0.0, -2.0, 2.0, 1.0)
        assert got.dtype == np.float64
        assert got.tolist() == [[-0.5, -0.25, 0.0, 0.25], [0.0, 0.0, 1.5, 0.0]]

    @pytest.mark.parametrize("r, theta, w", LINES)
    @pytest.mark.parametrize("dm1, dm2", [(-10.0, 10.0), (0.3, 25.1), (-40.0, -1.7)])
    def test_bit_identical_to_the_formulas(self, noisy, r, theta, w, dm1, dm2):
        got = noisy.profile(r, theta, dm1, dm2, w)
        assert same_bits(got, profile_reference(noisy, r, theta, dm1, dm2, w))

    @pytest.mark.parametrize("w, bins", [(2.5, 10), (2.6, 10), (0.3, 1), (0.25, 1), (1, 4), (7.9, 31)])
    def test_bins(self, noisy, w, bins):
        assert noisy.profile(0.0, 0.3, -20.0, 20.0, w).shape == (2, bins)

    @pytest.mark.parametrize("w", [0.2, 0.0, -1.0, 0.2499])
    def test_fewer_than_one_bin(self, noisy, w):
        with pytest.raises(ValueError, match="`bins` must be positive") as info:
            noisy.profile(0.0, 0.3, -20.0, 20.0, w)
        assert hough_entries(info.value) == [entry("profile", lines.profile_histogram)]

    @pytest.mark.parametrize(
        "w, error, message",
        [
            (NAN, ValueError, "cannot convert float NaN to integer"),
            (math.inf, OverflowError, "cannot convert float infinity to integer"),
            (1e39, OverflowError, "cannot convert float infinity to integer"),
        ],
    )
    def test_bins_of_nan_and_infinite_w(self, noisy, w, error, message):
        with pytest.raises(error) as info:
            noisy.profile(0.0, 0.3, -20.0, 20.0, w)
        assert str(info.value) == message
        assert hough_entries(info.value) == [entry("profile", lines.profile_histogram)]

    @pytest.mark.parametrize(
        "r, theta, dm1, dm2",
        [(0.0, 0.3, 5.0, 5.0), (0.0, 0.3, 5.0, -5.0), (0.0, 0.3, 100.0, 200.0), (300.0, 0.3, -9.0, 9.0),
         (NAN, 0.3, -9.0, 9.0), (0.0, 0.3, NAN, 9.0)],
    )
    def test_nothing_selected(self, noisy, r, theta, dm1, dm2):
        got = noisy.profile(r, theta, dm1, dm2, 1.5)
        assert got.shape == (2, 6)
        assert np.allclose(got[0], np.linspace(0.0, 1.0, 7)[:-1], rtol=0, atol=1e-15)
        assert np.all(got[1] == 0.0)

    def test_scales_inversely_with_the_stretch(self):
        ht = HoughTransform(np.arange(1.0, 8.0).reshape(1, 7), 1.0)
        short = ht.profile(0.0, 0.0, -4.0, 4.0, 1.0)  # every pixel is strictly inside both
        long = ht.profile(0.0, 0.0, -8.0, 8.0, 1.0)
        assert np.array_equal(long[0], short[0])
        assert np.array_equal(long[1] * 2.0, short[1])

    @pytest.mark.parametrize("r, theta, w", LINES)
    def test_every_selected_pixel_falls_in_a_bin(self, noisy, r, theta, w):
        dm1, dm2 = -15.0, 22.0
        got = noisy.profile(r, theta, dm1, dm2, w)
        dm = noisy.dm(r, theta)
        selected = noisy.mask(r, theta, w) & (dm > dm1) & (dm < dm2)
        assert got[1].sum() * (dm2 - dm1) == pytest.approx(noisy.image[selected].sum(), abs=1e-9)
        if selected.any():
            assert got[0, 0] == pytest.approx(noisy.dl(r, theta)[selected].min(), abs=1e-12)

    def test_pixels_at_the_ends_of_the_stretch_are_left_out(self):
        ht = HoughTransform(np.array([[1.0, 2.0, 4.0, 8.0, 16.0]]), 1.0)  # x = -2 .. 2
        got = ht.profile(0.0, 0.0, -1.0, 2.0, 1.0)  # pixels at x = -1 and x = 2 left out
        assert got[1].sum() * 3.0 == pytest.approx(4.0 + 8.0)

    def test_single_precision_length(self):
        ht = HoughTransform(np.ones((1, 1)), 1.0)
        got = ht.profile(0.0, 0.0, -0.1, 0.2, 0.25)
        length = float(np.float32(0.2) - np.float32(-0.1))
        assert length != f32(0.2) - f32(-0.1)  # the single-precision difference differs here
        assert got[1].tolist() == [1.0 / length]

    @pytest.mark.parametrize("dtype", [np.int32, np.uint8, np.bool_])
    def test_integer_and_boolean_images(self, dtype):
        image = (np.arange(35).reshape(5, 7) % 3).astype(dtype)
        ht = HoughTransform(image, 1.0)
        got = ht.profile(0.5, 0.3, -3.0, 3.0, 1.5)
        assert got.dtype == np.float64
        assert same_bits(got, profile_reference(ht, 0.5, 0.3, -3.0, 3.0, 1.5))

    def test_large_image_bit_identical(self):
        ht = HoughTransform(np.random.default_rng(3).normal(size=(600, 500)), 1.0)
        for args in [(12.0, 0.8, -150.0, 90.0, 3.0), (0.0, 0.0, -1e9, 1e9, 400.0)]:
            assert same_bits(ht.profile(*args), profile_reference(ht, *args))
        assert np.array_equal(ht.mask(12.0, 0.8, 3.0), mask_reference(ht, 12.0, 0.8, 3.0))

    def test_a_shared_mask_is_not_anded_in_place(self):
        ht = HoughTransform(np.ones((600, 500)), 1.0)
        kept = np.ones((600, 500), bool)  # large enough for elision, but referenced here
        ht.mask = lambda r, theta, w: kept
        got = ht.profile(0.0, 0.0, -10.0, 10.0, 1.0)
        assert kept.all()
        assert got[1].sum() * 20.0 == pytest.approx(600 * 20)  # columns x = -9.5 .. 9.5

    def test_reversed_line(self, noisy):
        forward = noisy.profile(3.3, 0.41, -10.0, 12.0, 2.5)
        back = noisy.profile(-3.3, 0.41 + PI, -12.0, 10.0, 2.5)
        # The same pixels, mirrored across the line: the bins come out in the opposite order,
        # up to pixels that the rounding of the reversed line moves across a bin edge.
        assert back[1].sum() == pytest.approx(forward[1].sum(), abs=1e-12)
        width = forward[0, 1] - forward[0, 0]
        assert np.allclose(back[0], -(forward[0] + width)[::-1], rtol=0, atol=1e-4)
        assert np.sum(~np.isclose(back[1], forward[1][::-1], rtol=0, atol=1e-12)) <= 2

    def test_methods_through_the_instance(self):
        image = np.array([[1.0, 2.0, 4.0]])

        class Far(HoughTransform):
            def dl(self, r, theta):
                return np.array([[0.0, 9.0, 0.25]])

        got = Far(image, 1.0).profile(0.0, 0.0, -2.0, 2.0, 1.0)  # mask and dl both overridden
        assert got[1].tolist() == [0.25, 0.0, 0.0, 1.0]
        ht = HoughTransform(image, 1.0)
        ht.mask = lambda r, theta, w: np.array([[True, False, False]])
        assert ht.profile(0.0, 0.0, -2.0, 2.0, 0.25)[1].tolist() == [0.25]
        ht.dm = lambda r, theta: np.array([[5.0, 0.0, 0.0]])
        assert ht.profile(0.0, 0.0, -2.0, 2.0, 0.25)[1].tolist() == [0.0]

    def test_calls_receive_single_precision_floats(self):
        seen = []
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        ht.dl = lambda r, theta: seen.append(("dl", r, theta)) or np.zeros((2, 2))
        ht.dm = lambda r, theta: seen.append(("dm", r, theta)) or np.zeros((2, 2))
        ht.profile(0.1, 0.2, -1.0, 1.0, 1.0)
        # dm first; then mask, which calls dl; then dl for the histogram.
        assert seen == [("dm", f32(0.1), f32(0.2))] + [("dl", f32(0.1), f32(0.2))] * 2

    @pytest.mark.parametrize(
        "attribute, value, line, type_name",
        [
            ("dm", lambda r, theta: [[0.0]], lines.profile_dm, "list"),
            ("mask", lambda r, theta, w: MaskLike(), lines.profile_mask, "MaskLike"),
            ("dl", lambda r, theta: DmLike(), lines.profile_dl, "tuple"),
            ("image", DmLike(), lines.profile_px, "tuple"),
        ],
    )
    def test_typed_locals_reject_other_objects(self, attribute, value, line, type_name):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        ht.mask = lambda r, theta, w: np.ones((2, 2), bool)
        setattr(ht, attribute, value)
        with pytest.raises(TypeError) as info:
            ht.profile(0.0, 0.0, -1.0, 1.0, 1.0)
        assert str(info.value) == f"Cannot convert {type_name} to numpy.ndarray"
        assert hough_entries(info.value)[0] == entry("profile", line)

    @pytest.mark.parametrize(
        "histogram, error, message, line",
        [
            (lambda *a, **k: ([0.0], np.zeros(2)), TypeError, "Cannot convert list to numpy.ndarray", lines.profile_histogram),
            (lambda *a, **k: (np.zeros(1), [0.0, 1.0]), TypeError, "Cannot convert list to numpy.ndarray", lines.profile_histogram),
            (lambda *a, **k: (np.zeros(1),) * 3, ValueError, "too many values to unpack (expected 2)", lines.profile_histogram),
            (lambda *a, **k: (np.zeros(1),), ValueError, "need more than 1 value to unpack", lines.profile_histogram),
            (lambda *a, **k: iter([]), ValueError, "need more than 0 values to unpack", lines.profile_histogram),
        ],
    )
    def test_histogram_results(self, monkeypatch, histogram, error, message, line):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(histogram=histogram))
        with pytest.raises(error) as info:
            ht.profile(0.0, 0.0, -1.0, 1.0, 1.0)
        assert str(info.value) == message
        assert hough_entries(info.value) == [entry("profile", line)]

    def test_new_edge_must_be_an_array(self, monkeypatch):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(diff=lambda edge: AnythingMinus()))
        with pytest.raises(TypeError, match="Cannot convert str to numpy.ndarray") as info:
            ht.profile(0.0, 0.0, -1.0, 1.0, 1.0)
        assert hough_entries(info.value) == [entry("profile", lines.profile_edge)]

    @pytest.mark.parametrize(
        "name, line",
        [
            ("histogram", lines.profile_histogram),
            ("diff", lines.profile_edge),
            ("vstack", lines.profile_return),
        ],
    )
    def test_numpy_error_lines(self, monkeypatch, name, line):
        ht = HoughTransform(np.ones((2, 2)), 1.0)
        monkeypatch.setattr(hough, "np", NumpyWith(**{name: raiser(name)}))
        with pytest.raises(ArithmeticError) as info:
            ht.profile(0.0, 0.0, -1.0, 1.0, 1.0)
        assert hough_entries(info.value) == [entry("profile", line)]

    def test_weights_before_bins(self):
        # px / (dm2 - dm1) is formed before int(w * 4.0): a failing division wins over NaN w.
        ht = HoughTransform(np.array([["a"]]), 1.0)
        with pytest.raises(TypeError) as info:
            ht.profile(0.0, 0.0, -1.0, 1.0, NAN)
        assert hough_entries(info.value) == [entry("profile", lines.profile_histogram)]
