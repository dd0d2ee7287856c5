"""Line geometry: dl, dm, p0, n0, locate and dmlim."""

import math

import numpy as np
import pytest

import kestrova.hough as hough
from conftest import hough_entries
from conftest import NumpyWith, f32, raiser
import lines
from kestrova.hough import HoughTransform

PI = math.pi


def entry(method, line):
    return ("kestrova.hough.HoughTransform." + method, "src/hough", line)


def make(shape):
    return HoughTransform(np.zeros(shape), 1.0)


# The documented arithmetic, written out with NumPy's float32 for the single-precision steps.
def dl_reference(ht, r, theta):
    r, theta = f32(r), f32(theta)
    c, s = f32(np.cos(theta)), f32(np.sin(theta))
    return ((-s) * ht.axis1 + c * ht.axis2) + r


def dm_reference(ht, r, theta):
    theta = f32(theta)
    c, s = f32(np.cos(theta)), f32(np.sin(theta))
    return c * ht.axis1 + s * ht.axis2


def p0_reference(r, theta):
    r, theta = f32(r), f32(theta)
    return np.array([r * np.sin(theta), (-r) * np.cos(theta)])


def n0_reference(theta):
    theta = f32(theta)
    return np.array([np.cos(theta), np.sin(theta)])


def crossings_reference(shape, r, theta):
    """The guarded crossings X of dmlim, before the selection."""
    ny, nx = (f32(n) for n in shape)
    p = np.tile(p0_reference(r, theta), 2)
    b = np.tile(n0_reference(theta), 2)
    b[np.abs(b) < 1e-8] = 1e-8
    borders = np.array([-(nx - 1) * 0.5, -(ny - 1) * 0.5, (nx - 1) * 0.5, (ny - 1) * 0.5])
    return (borders - p) / b


def plain_rule(shape, r, theta):
    """The plain selection rule: the largest negative and the smallest positive crossing."""
    X = crossings_reference(shape, r, theta)
    return np.max(X[X < 0]), np.min(X[X > 0])


def foot_outside(shape, r, theta):
    ny, nx = shape
    x0, y0 = p0_reference(r, theta)
    return abs(x0) > (nx - 1) / 2 or abs(y0) > (ny - 1) / 2


def random_lines(count, seed, r_scale):
    rng = np.random.default_rng(seed)
    return list(zip(rng.uniform(-r_scale, r_scale, count), rng.uniform(-2 * PI, 2 * PI, count)))


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------------------------
# dl and dm


class TestDlDm:
    @pytest.mark.parametrize("shape", [(1, 1), (1, 7), (6, 1), (3, 4), (201, 201), (0, 3)])
    @pytest.mark.parametrize("method", ["dl", "dm"])
    def test_shape_and_dtype(self, shape, method):
        result = getattr(make(shape), method)(0.5, 0.3)
        assert result.shape == shape and result.dtype == np.float64

    def test_dm_exact_value(self):
        # cos(0.30000001192092896) = 0.9553364856027305, rounded to 0.9553365111351013.
        got = make((201, 201)).dm(0.0, 0.3)[100, 200]
        assert got == 95.53365111351013

    @pytest.mark.parametrize("r, theta", random_lines(25, 1, 80.0) + [(0.1, PI / 2), (3, -PI)])
    @pytest.mark.parametrize("shape", [(7, 9), (64, 33)])
    def test_bit_identical_to_the_formulas(self, shape, r, theta):
        ht = make(shape)
        assert same_bits(ht.dl(r, theta), dl_reference(ht, r, theta))
        assert same_bits(ht.dm(r, theta), dm_reference(ht, r, theta))

    def test_theta_zero(self):
        ht = make((5, 4))
        assert np.array_equal(ht.dl(2.5, 0.0), np.broadcast_to(ht.axis2 + 2.5, (5, 4)))
        assert np.array_equal(ht.dm(2.5, 0.0), np.broadcast_to(ht.axis1, (5, 4)))

    def test_dm_does_not_depend_on_r(self):
        ht = make((9, 8))
        assert same_bits(ht.dm(1.0, 0.7), ht.dm(-5.0, 0.7))

    def test_centre_holds_single_precision_r(self):
        assert make((5, 5)).dl(0.1, 0.7)[2, 2] == 0.10000000149011612
        assert make((5, 5)).dm(0.1, 0.7)[2, 2] == 0.0

    def test_quarter_turn_uses_the_single_precision_cosine(self):
        ht = make((3, 3))
        c = -4.371138828673793e-08  # cosine of the single-precision pi/2, rounded; s is 1
        x, y = ht.axis1, ht.axis2
        assert np.array_equal(ht.dl(1.0, PI / 2), (-1.0 * x + c * y) + 1.0)
        assert np.array_equal(ht.dm(1.0, PI / 2), c * x + 1.0 * y)

    @pytest.mark.parametrize("r, theta", [(3.0, 0.4), (-7.5, 2.0), (0.0, -1.1)])
    def test_reversed_line(self, r, theta):
        ht = make((31, 17))
        assert np.allclose(ht.dl(-r, theta + PI), -ht.dl(r, theta), rtol=0, atol=1e-5)
        assert np.allclose(ht.dm(-r, theta + PI), -ht.dm(r, theta), rtol=0, atol=1e-5)

    @pytest.mark.parametrize("method", ["dl", "dm"])
    def test_nan_theta(self, method):
        assert np.isnan(getattr(make((3, 3)), method)(1.0, float("nan"))).all()

    def test_nan_r_only_reaches_dl(self):
        ht = make((3, 3))
        assert np.isnan(ht.dl(float("nan"), 0.3)).all()
        assert not np.isnan(ht.dm(float("nan"), 0.3)).any()

    def test_axes_are_read_at_every_call(self):
        ht = make((2, 2))
        ht.axis1 = np.array([[10.0]])
        ht.axis2 = np.array([[0.0], [1.0], [2.0]])
        assert ht.dm(0.0, 0.0).shape == (3, 1)
        assert np.array_equal(ht.dm(0.0, 0.0)[:, 0], [10.0, 10.0, 10.0])

    @pytest.mark.parametrize("shape", [(512, 512), (300, 700)])  # past NumPy's 256 KiB elision
    def test_large_images_bit_identical(self, shape):
        ht = make(shape)
        assert same_bits(ht.dl(-40.5, 2.1), dl_reference(ht, -40.5, 2.1))
        assert same_bits(ht.dm(-40.5, 2.1), dm_reference(ht, -40.5, 2.1))

    def test_a_shared_sum_is_not_added_to_in_place(self):
        shared = np.zeros((512, 512))

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

    def test_keywords(self):
        ht = make((4, 3))
        assert same_bits(ht.dl(theta=0.2, r=1.5), ht.dl(1.5, 0.2))

    @pytest.mark.parametrize(
        "method, replace, line",
        [
            ("dl", {"cos": raiser("cos")}, lines.dl_cos),
            ("dl", {"sin": raiser("sin")}, lines.dl_sin),
            ("dm", {"cos": raiser("cos")}, lines.dm_cos),
            ("dm", {"sin": raiser("sin")}, lines.dm_sin),
        ],
    )
    def test_numpy_errors_at_their_lines(self, monkeypatch, method, replace, line):
        monkeypatch.setattr(hough, "np", NumpyWith(**replace))
        with pytest.raises(ArithmeticError) as info:
            getattr(make((2, 2)), method)(1.0, 0.5)
        assert hough_entries(info.value) == [entry(method, line)]

    @pytest.mark.parametrize("method, line", [("dl", lines.dl_sum), ("dm", lines.dm_sum)])
    def test_missing_axis_at_the_arithmetic_line(self, method, line):
        ht = make((2, 2))
        del ht.axis2
        with pytest.raises(AttributeError) as info:
            getattr(ht, method)(1.0, 0.5)
        assert hough_entries(info.value) == [entry(method, line)]

    def test_numpy_is_looked_up_at_every_call(self, monkeypatch):
        ht = make((3, 3))
        ht.dl(1.0, 0.5)  # a first call, so that any kept look-up exists
        monkeypatch.setattr(np, "cos", raiser("numpy's own cos replaced"))
        with pytest.raises(ArithmeticError, match="numpy's own cos replaced"):
            ht.dl(1.0, 0.5)
        monkeypatch.undo()
        assert same_bits(ht.dl(1.0, 0.5), dl_reference(ht, 1.0, 0.5))
        other = __import__("types").ModuleType("other_numpy")
        other.__dict__.update(np.__dict__)
        other.sin = lambda theta: 0.5
        monkeypatch.setattr(hough, "np", other)  # another plain module as the global np
        assert ht.dm(0.0, 0.0)[0].tolist() == [-1.5, -0.5, 0.5]  # x + 0.5 y on row y = -1
        monkeypatch.undo()
        assert same_bits(ht.dm(0.0, 0.0), dm_reference(ht, 0.0, 0.0))

    def test_a_cosine_that_is_not_a_number(self, monkeypatch):
        monkeypatch.setattr(hough, "np", NumpyWith(cos=lambda t: "one"))
        with pytest.raises(TypeError) as info:
            make((2, 2)).dl(1.0, 0.5)
        assert hough_entries(info.value) == [entry("dl", lines.dl_cos)]


# ---------------------------------------------------------------------------------------------
# p0, n0 and locate


class TestPoints:
    def test_p0_exact_value(self):
        got = make((3, 3)).p0(10.0, 0.3)
        assert got.dtype == np.float64 and got.shape == (2,)
        assert np.allclose(got, [2.9552021805, -9.5533648560], rtol=0, atol=1e-10)
        # The double-precision sine and cosine of the single-precision angle, not rounded.
        theta = f32(0.3)
        assert got.tolist() == [10.0 * np.sin(theta), -10.0 * np.cos(theta)]

    def test_p0_at_zero_keeps_the_negative_zero(self):
        got = make((1, 1)).p0(0.0, 0.0)
        assert got.tolist() == [0.0, 0.0]
        assert not math.copysign(1.0, got[0]) < 0 and math.copysign(1.0, got[1]) < 0

    @pytest.mark.parametrize("r, theta", random_lines(20, 2, 100.0) + [(0.1, 0.1), (-3, PI)])
    def test_bit_identical_to_the_formulas(self, r, theta):
        ht = make((4, 4))
        assert same_bits(ht.p0(r, theta), p0_reference(r, theta))
        assert same_bits(ht.n0(r, theta), n0_reference(theta))
        m = 12.34
        assert same_bits(
            ht.locate(r, theta, m), p0_reference(r, theta) + f32(m) * n0_reference(theta)
        )

    def test_n0_is_a_unit_vector_independent_of_r(self):
        ht = make((1, 1))
        assert same_bits(ht.n0(1.0, 1.2), ht.n0(-40.0, 1.2))
        assert abs(np.hypot(*ht.n0(0.0, 1.2)) - 1.0) <= 2.3e-16

    def test_locate_at_zero_is_the_foot_point(self):
        ht = make((1, 1))
        assert same_bits(ht.locate(7.0, 0.9, 0.0), ht.p0(7.0, 0.9))

    def test_locate_beyond_the_single_precision_range(self):
        with np.errstate(invalid="ignore"):  # inf * 0.0
            got = make((1, 1)).locate(0.0, 0.0, 1e40)
        assert got[0] == math.inf and math.isnan(got[1])

    def test_locate_needs_dm(self):
        with pytest.raises(TypeError) as info:
            make((1, 1)).locate(1.0, 0.5)
        assert str(info.value) == "locate() takes exactly 4 positional arguments (3 given)"
        assert hough_entries(info.value) == [entry("locate", lines.locate)]

    def test_nan_arguments(self):
        ht = make((1, 1))
        assert np.isnan(ht.p0(float("nan"), 0.3)).all()
        assert np.isnan(ht.n0(0.0, float("nan"))).all()
        assert np.isnan(ht.locate(0.0, 0.3, float("nan"))).all()

    @pytest.mark.parametrize("seed", range(4))
    def test_located_points_lie_on_the_line(self, seed):
        """locate(r, theta, m) is on the line; dl and dm there are 0 and m to float32 rounding."""
        rng = np.random.default_rng(100 + seed)
        ht = make((1, 1))
        for r, theta, m in zip(*(rng.uniform(-a, a, 50) for a in (300.0, 7.0, 300.0))):
            r32, t32, m32 = f32(r), f32(theta), f32(m)
            x, y = ht.locate(r, theta, m)
            c, s = np.cos(t32), np.sin(t32)
            scale = abs(r32) + abs(m32) + 1.0
            assert abs(s * x - c * y - r32) <= 8e-16 * scale
            assert abs(c * x + s * y - m32) <= 8e-16 * scale
            # dl and dm evaluated at that point, through the methods themselves.
            ht.axis1, ht.axis2 = np.array([[x]]), np.array([[y]])
            assert abs(ht.dl(r, theta)[0, 0]) <= 2.0**-23 * scale
            assert abs(ht.dm(r, theta)[0, 0] - m32) <= 2.0**-23 * scale

    def test_locate_reaches_p0_and_n0_through_the_instance(self):
        class Shifted(HoughTransform):
            def p0(self, r, theta):
                return np.array([100.0, 200.0])

        ht = Shifted(np.zeros((3, 3)), 1.0)
        assert ht.locate(0.0, 0.0, 2.0).tolist() == [102.0, 200.0]
        ht.n0 = lambda r, theta: np.array([0.0, -1.0])
        assert ht.locate(0.0, 0.0, 2.0).tolist() == [100.0, 198.0]

    def test_locate_passes_single_precision_values_on(self):
        seen = []
        ht = make((1, 1))
        ht.p0 = lambda r, theta: seen.append((r, theta)) or np.zeros(2)
        ht.locate(0.1, 0.2, 0.3)
        assert seen == [(f32(0.1), f32(0.2))] and type(seen[0][0]) is float

    def test_error_in_p0_gains_the_locate_entry(self):
        ht = make((1, 1))
        ht.p0 = raiser("p0")
        with pytest.raises(ArithmeticError) as info:
            ht.locate(1.0, 0.5, 2.0)
        assert hough_entries(info.value) == [entry("locate", lines.locate_point)]

    def test_error_in_numpy_inside_p0_gains_both_entries(self, monkeypatch):
        monkeypatch.setattr(hough, "np", NumpyWith(sin=raiser("sin")))
        with pytest.raises(ArithmeticError) as info:
            make((1, 1)).locate(1.0, 0.5, 2.0)
        assert hough_entries(info.value) == [
            entry("locate", lines.locate_point),
            entry("p0", lines.p0_array),
        ]

    def test_n0_error_line(self, monkeypatch):
        ht = make((1, 1))
        monkeypatch.setattr(hough, "np", NumpyWith(array=raiser("array")))
        with pytest.raises(ArithmeticError) as info:
            ht.n0(1.0, 0.5)
        assert hough_entries(info.value) == [entry("n0", lines.n0_array)]


# ---------------------------------------------------------------------------------------------
# dmlim, with the true stretch for a foot point outside the image

DMLIM_EXAMPLES = [
    ((51, 101), 0.0, 0.0, (-50.0, 50.0)),
    ((51, 101), 0.0, PI / 2, (-25.000000000000025, 25.000000000000025)),
    ((101, 101), 0.0, PI / 4, (-70.7106766, 70.7106766)),
    ((101, 101), -50.0, 0.0, (-50.0, 50.0)),
    ((101, 101), 60.0, 0.0, (-50.0, 50.0)),  # misses the image: unchanged
    ((11, 1), 0.0, 0.0, (-5e8, 5e8)),
    # The foot point lies outside, the line crosses the image.
    ((101, 101), 55.0, 0.3, (8.607, 35.324)),
]


class TestDmlim:
    @pytest.mark.parametrize("shape, r, theta, expected", DMLIM_EXAMPLES)
    def test_examples(self, shape, r, theta, expected):
        got = make(shape).dmlim(r, theta)
        assert type(got) is tuple and len(got) == 2
        assert all(type(value) is np.float64 for value in got)
        assert got == pytest.approx(expected, rel=1e-7, abs=1e-3)

    @pytest.mark.parametrize("shape, r, theta, expected", DMLIM_EXAMPLES[:-1])
    def test_examples_with_the_foot_inside_keep_the_plain_rule(self, shape, r, theta, expected):
        assert make(shape).dmlim(r, theta) == plain_rule(shape, r, theta)

    def test_foot_outside_example_is_the_stretch_inside(self):
        ht = make((101, 101))
        lower, upper = ht.dmlim(55.0, 0.3)
        X = crossings_reference((101, 101), 55.0, 0.3)
        assert (lower, upper) == (X[1], X[2])  # entering at y = -50, leaving at x = 50
        assert plain_rule((101, 101), 55.0, 0.3) == pytest.approx((-69.351, 8.607), abs=1e-3)
        assert ht.locate(55.0, 0.3, lower)[1] == pytest.approx(-50.0, abs=1e-5)
        assert ht.locate(55.0, 0.3, upper)[0] == pytest.approx(50.0, abs=1e-5)

    @pytest.mark.parametrize("shape", [(101, 101), (40, 90), (90, 7)])
    def test_foot_inside_is_unchanged(self, shape):
        ht = make(shape)
        count = 0
        for r, theta in random_lines(300, 3, 60.0):
            if foot_outside(shape, r, theta):
                continue
            count += 1
            assert ht.dmlim(r, theta) == plain_rule(shape, r, theta)
        assert count > 30

    @pytest.mark.parametrize("shape", [(101, 101), (40, 90), (90, 7)])
    def test_foot_outside_and_crossing_gives_the_stretch_inside(self, shape):
        ht = make(shape)
        ny, nx = shape
        half = np.array([(nx - 1) / 2, (ny - 1) / 2])
        count = 0
        for r, theta in random_lines(400, 4, 70.0):
            lines = [(r, theta), (-r, theta + PI)]  # and the same line reversed
            if not foot_outside(shape, r, theta):
                continue
            X = crossings_reference(shape, r, theta)
            lower = max(min(X[0], X[2]), min(X[1], X[3]))
            upper = min(max(X[0], X[2]), max(X[1], X[3]))
            if not lower <= upper:
                continue  # misses the rectangle
            count += 1
            for line in lines:
                got = ht.dmlim(*line)
                assert all(type(value) is np.float64 for value in got)
                if line == (r, theta):
                    assert got == (lower, upper)
                # Both ends on the border of the rectangle, the middle inside it.
                ends = [ht.locate(*line, m) for m in got]
                for point in ends:
                    assert np.all(np.abs(point) <= half + 1e-3)
                    assert np.any(np.abs(np.abs(point) - half) <= 1e-3)
                middle = ht.locate(*line, (got[0] + got[1]) / 2)
                assert np.all(np.abs(middle) <= half + 1e-3)
        assert count > 10

    @pytest.mark.parametrize("shape", [(101, 101), (40, 90)])
    def test_lines_that_miss_are_unchanged(self, shape):
        ht = make(shape)
        ny, nx = shape
        count = 0
        for r, theta in random_lines(300, 5, 120.0):
            s, c = np.sin(f32(theta)), np.cos(f32(theta))
            # The rectangle reaches (nx - 1)/2 |s| + (ny - 1)/2 |c| along the normal (s, -c).
            if abs(f32(r)) > (nx - 1) / 2 * abs(s) + (ny - 1) / 2 * abs(c) + 1e-6:
                count += 1
                try:
                    expected = plain_rule(shape, r, theta)
                except ValueError:
                    with pytest.raises(ValueError, match="zero-size array"):
                        ht.dmlim(r, theta)
                else:
                    assert ht.dmlim(r, theta) == expected
        assert count > 30

    def test_a_corner_miss_keeps_the_plain_selection(self):
        # The foot point (-60, -60) lies beyond a corner: the x crossings are both behind it,
        # the y crossings both ahead, and the line misses; the plain rule gives about +-14.14.
        r, theta = -60.0 * math.sqrt(2.0), 3 * PI / 4
        got = make((101, 101)).dmlim(r, theta)
        assert got == plain_rule((101, 101), r, theta)
        assert got == pytest.approx((-10 * math.sqrt(2.0), 10 * math.sqrt(2.0)), abs=1e-4)

    def test_reversed_lines_give_the_reversed_stretch(self):
        for shape, r, theta in [((101, 101), 55.0, 0.3), ((51, 101), 3.0, 0.2), ((30, 30), 2.0, 2.0)]:
            lower, upper = make(shape).dmlim(r, theta)
            back = make(shape).dmlim(-r, theta + PI)
            assert back == pytest.approx((-upper, -lower), abs=1e-4)

    def test_foot_point_on_the_border_is_not_outside(self):
        # (101, 101), theta 0, r = -50: the foot point (0, 50) is on the border; the plain rule.
        assert make((101, 101)).dmlim(-50.0, 0.0) == (-50.0, 50.0)

    def test_nan_theta_raises_numpys_error(self):
        with pytest.raises(ValueError) as info:
            make((5, 5)).dmlim(0.0, float("nan"))
        assert "zero-size array to reduction operation maximum" in str(info.value)
        assert hough_entries(info.value) == [entry("dmlim", lines.dmlim_return)]

    @pytest.mark.parametrize(
        "image, message",
        [
            (np.zeros((2, 2, 2)), "too many values to unpack (expected 2)"),
            (np.zeros(3), "need more than 1 value to unpack"),
            (np.zeros(()), "need more than 0 values to unpack"),
        ],
    )
    def test_image_shape_must_have_two_entries(self, image, message):
        calls = []

        class Counting(HoughTransform):
            def p0(self, r, theta):
                calls.append("p0")
                return super().p0(r, theta)

        ht = Counting(np.zeros((3, 3)), 1.0)
        ht.image = image
        with pytest.raises(ValueError) as info:
            ht.dmlim(0.0, 0.0)
        assert str(info.value) == message
        assert calls == []
        assert hough_entries(info.value) == [entry("dmlim", lines.dmlim_shape)]

    def test_shape_entries_convert_like_float_arguments(self):
        class Image:
            shape = ("a", 3)

        ht = make((3, 3))
        ht.image = Image()
        with pytest.raises(TypeError) as info:
            ht.dmlim(0.0, 0.0)
        assert hough_entries(info.value) == [entry("dmlim", lines.dmlim_shape)]

    def test_reaches_p0_and_n0_through_the_instance(self):
        class Vertical(HoughTransform):
            def n0(self, r, theta):
                return np.array([0.0, 1.0])

        # Direction (0, 1) from the centre: x crossings guarded to +-25 / 1e-8, y ones +-10.
        assert Vertical(np.zeros((21, 51)), 1.0).dmlim(0.0, 0.0) == (-10.0, 10.0)
        ht = make((21, 51))
        ht.p0 = lambda r, theta: np.array([0.0, 4.0])
        assert ht.dmlim(0.0, 0.0) == (-25.0, 25.0)
        ht.p0 = lambda r, theta: [0, 15]  # a list of ints: tile makes an int array
        ht.n0 = lambda r, theta: [0.6, 0.8]
        # Foot (0, 15) outside the rows (+-10): y = 15 + 0.8 t is inside for t in [-31.25, -6.25].
        lower, upper = ht.dmlim(0.0, 0.0)
        assert (lower, upper) == ((-10.0 - 15) / 0.8, (10.0 - 15) / 0.8)

    def test_typed_locals_reject_other_objects(self, monkeypatch):
        monkeypatch.setattr(hough, "np", NumpyWith(tile=lambda a, n: list(a) * n))
        with pytest.raises(TypeError) as info:
            make((3, 3)).dmlim(0.0, 0.0)
        assert str(info.value) == "Cannot convert list to numpy.ndarray"
        assert hough_entries(info.value) == [entry("dmlim", lines.dmlim_p)]

    @pytest.mark.parametrize(
        "replace, line",
        [
            ({"abs": raiser("abs")}, lines.dmlim_guard),
            ({"array": lambda v: np.array(v) if len(v) == 2 else raiser("borders")()}, lines.dmlim_crossings),
            ({"max": raiser("max")}, lines.dmlim_return),
            ({"min": raiser("min")}, lines.dmlim_return),
        ],
    )
    def test_error_lines(self, monkeypatch, replace, line):
        ht = make((3, 3))
        monkeypatch.setattr(hough, "np", NumpyWith(**replace))
        with pytest.raises(ArithmeticError) as info:
            ht.dmlim(0.5, 0.5)
        assert hough_entries(info.value) == [entry("dmlim", line)]

    def test_error_in_n0_gains_the_dmlim_entry(self):
        ht = make((3, 3))
        ht.n0 = raiser("n0")
        with pytest.raises(ArithmeticError) as info:
            ht.dmlim(0.5, 0.5)
        assert hough_entries(info.value) == [entry("dmlim", lines.dmlim_b)]
