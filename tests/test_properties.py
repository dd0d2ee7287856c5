"""Hostile inputs on every method: only Python exceptions come out, the instance is left as it
was, and results equal the plain form of the methods (tests/reference.py) on the converted
arguments.

KESTROVA_HYPOTHESIS=thorough runs many more examples than the default "ci" profile.
"""

import contextlib
import os
import resource
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import kestrova.hough as hough
from conftest import CALLS, NumpyWith, Shaped
from kestrova.hough import HoughTransform
from reference import PlainHoughTransform, array_or_none, int32, single

settings.register_profile(
    "ci", max_examples=30, deadline=None, suppress_health_check=list(HealthCheck)
)
settings.register_profile(
    "thorough", max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck)
)
PROFILE = settings.get_profile(os.environ.get("KESTROVA_HYPOTHESIS", "ci"))

# ---------------------------------------------------------------------------------------------
# Hostile values.


class Convertible:
    """__float__, __int__ and __index__ returning (or raising) whatever it is given."""

    def __init__(self, value):
        self.value = value

    def _give(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    __float__ = __int__ = __index__ = _give

    def __repr__(self):
        return f"Convertible({self.value!r})"


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value!r})"


class FloatSub(float):
    pass


class IntSub(int):
    pass


EDGE_FLOATS = [
    0.0, -0.0, float("nan"), -float("nan"), float("inf"), -float("inf"), 5e-324, 1e-45, 7e-46,
    1.1754943508222875e-38, 3.4028234663852886e38, 3.4028235677973366e38, 3.4028236e38, 1e308,
    -1.7976931348623157e308, 0.1, -1.0, 1.0, 2.5, 3.141592653589793,
]
EDGE_INTS = [0, 1, -1, 2, 7, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63, -(2**64), 10**40]

plain_numbers = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(EDGE_FLOATS),
    st.floats(-50, 50),
    st.integers(-(2**70), 2**70),
    st.sampled_from(EDGE_INTS),
)
odd_objects = st.one_of(
    st.sampled_from([None, "1.5", b"1", [], (1.0,), {}, 1 + 2j, object(), True, Decimal("nan"),
                     Decimal("1e400"), Fraction(1, 3), np.array(1.5), np.array([1.0, 2.0]),
                     np.float32("nan"), np.float16(65504), np.longdouble("1e4000"),
                     np.complex128(1 + 1j), np.int64(-(2**63)), np.uint64(2**64 - 1), np.bool_(1),
                     np.datetime64(1, "s"), ZeroDivisionError("from __float__")]),
    st.builds(Convertible, st.one_of(plain_numbers, st.sampled_from(
        [None, "x", FloatSub(2.5), IntSub(3), True, OverflowError("big"), ValueError("no")]))),
    st.builds(IndexOnly, st.one_of(st.sampled_from(EDGE_INTS), st.just(1.5))),
    st.builds(FloatSub, st.sampled_from(EDGE_FLOATS)),
    st.builds(IntSub, st.sampled_from(EDGE_INTS)),
    plain_numbers.map(np.float64),
    plain_numbers.filter(lambda v: isinstance(v, float)).map(np.float32),
)


def mostly(common, rare, odds=4):
    """`common`, and `rare` once in `odds` + 1 draws."""
    return st.integers(0, odds).flatmap(lambda k: rare if k == odds else common)


# Mostly ordinary values, so that most calls get past the conversions and into the bodies.
ordinary = st.floats(-8.0, 8.0)
numbers = mostly(st.one_of(ordinary, plain_numbers), odd_objects)
widths = mostly(st.floats(0.25, 4.0), numbers, odds=2)  # bands with pixels in them
counts = mostly(st.integers(-1, 6), st.one_of(st.sampled_from(EDGE_INTS), odd_objects))


class SubArray(np.ndarray):
    pass


DTYPES = ["f8", "f4", "f2", ">f8", "g", "c16", "c8", "i1", "u1", "<i4", ">i8", "u8", "?", "O",
          "U3", "m8[s]"]


def elements_for(dtype):
    if dtype.kind == "f":
        bound = float(np.finfo(dtype).max) if dtype.itemsize < 8 else 1e150
        return st.one_of(st.floats(-bound, bound, width=min(64, 8 * dtype.itemsize)),
                         st.sampled_from([np.nan, np.inf, -np.inf, -0.0]))
    if dtype.kind == "c":
        return st.one_of(st.complex_numbers(max_magnitude=1e15, width=8 * dtype.itemsize),
                         st.sampled_from([complex("nan+1j"), complex("inf-infj")]))
    if dtype.kind == "O":
        return st.one_of(st.floats(-1e6, 1e6), st.integers(-5, 5), st.just(None),
                         st.just(float("nan")), st.just("x"), st.just(1 + 2j))
    if dtype.kind == "U":
        return st.sampled_from(["1", "-2", "nan", "x", ""])
    if dtype.kind == "m":
        return st.integers(-1000, 1000).map(lambda v: np.timedelta64(v, "s"))
    return None  # hypothesis' own elements for integers and booleans


@st.composite
def images(draw, max_side=5):
    ny, nx = draw(st.integers(0, max_side)), draw(st.integers(0, max_side))
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    values = draw(hnp.arrays(dtype, (ny, nx), elements=elements_for(dtype)))
    layout = draw(st.sampled_from(["C", "F", "reversed", "strided", "huge strides", "broadcast",
                                   "read-only", "subclass", "matrix", "masked", "non-native"]))
    if layout == "F":
        return np.asfortranarray(values)
    if layout == "reversed":
        return values[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "strided":
        big = np.zeros((3 * ny, 2 * nx), dtype)
        big[::3, ::2] = values
        return big[::3, ::2]
    if layout == "huge strides":
        # Rows and columns 1 MiB apart in a sparse buffer (untouched pages cost nothing).
        step = (1 << 20) // dtype.itemsize
        buffer = np.zeros(max(1, ny * nx) * step, dtype)
        image = np.lib.stride_tricks.as_strided(buffer, (ny, nx), (nx * step * dtype.itemsize,
                                                                    step * dtype.itemsize))
        image[...] = values
        return image
    if layout == "broadcast":
        return np.broadcast_to(values[:1], (ny if values.shape[0] else 0, nx))
    if layout == "read-only":
        values.flags.writeable = False
        return values
    if layout == "subclass":
        return values.view(SubArray)
    if layout == "matrix":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.asmatrix(values)
    if layout == "masked":
        return np.ma.masked_array(values, mask=draw(hnp.arrays(bool, (ny, nx))))
    if layout == "non-native" and dtype.kind in "fciu" and dtype.itemsize > 1:
        return values.astype(dtype.newbyteorder())
    return values


sigmas = st.one_of(st.floats(0.1, 10.0), st.sampled_from([0.0, 0, -1.0, np.float64(0.0),
                   np.nan, np.inf, None, "s", np.array([1.0, 2.0]), np.float32(2.0)]))


# ---------------------------------------------------------------------------------------------
# Running a method and its reference side by side.


def outcome(function, *args):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            return function(*args), None
        except Exception as error:  # only Python exceptions may come out
            return None, error


def same_value(got, want):
    assert type(got) is type(want), (type(got), type(want))
    if isinstance(want, tuple):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            same_value(g, w)
    elif isinstance(want, (np.ndarray, np.generic)):
        assert got.shape == want.shape and got.dtype == want.dtype
        if want.dtype.kind == "O":
            pairs = zip(np.ravel(got), np.ravel(want))
            assert all(a is b or a == b or (a != a and b != b) for a, b in pairs)
        else:
            np.testing.assert_array_equal(got, want, strict=True)
            if want.dtype.kind in "fc":  # and the signs of zeros
                for part in (np.real, np.imag):
                    assert np.array_equal(np.signbit(part(got)), np.signbit(part(want)))
    else:
        assert got == want or (got != got and want != want)


def same_outcome(name, ht, got, want):
    (value, error), (want_value, want_error) = got, want
    if want_error is not None:
        assert type(error) is type(want_error), (error, want_error)
        return
    assert error is None, error
    if name != "score_map":
        same_value(value, want_value)
        return
    assert value.shape == want_value.shape and value.dtype == want_value.dtype
    # Only the order of the additions differs: allow for its rounding.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pixels = np.asarray(ht.image, dtype=np.float64)
    total = np.abs(pixels[np.isfinite(pixels)]).sum()
    np.testing.assert_allclose(value, want_value, rtol=1e-12, atol=1e-13 * total)


def snapshot(ht):
    def copy(value):
        if isinstance(value, np.ndarray):
            plain = np.asarray(value)
            contents = list(plain.ravel()) if plain.dtype.kind == "O" else plain.tobytes()
            return plain.dtype, plain.shape, contents
        return None

    return {name: (value, copy(value)) for name, value in vars(ht).items()}


def assert_unchanged(ht, before):
    after = snapshot(ht)
    assert after.keys() == before.keys()
    for name, (value, copy) in before.items():
        assert after[name][0] is value, name
        if copy is not None and copy[0].kind == "O":
            assert all(a is b for a, b in zip(after[name][1][2], copy[2])), name
        else:
            assert after[name][1] == copy, name


def check(ht, name, args, convert):
    before = snapshot(ht)
    got = outcome(getattr(ht, name), *args)
    assert_unchanged(ht, before)
    converted, conversion_error = outcome(lambda: [c(a) for c, a in zip(convert, args)])
    if conversion_error is not None:
        assert type(got[1]) is type(conversion_error), (got[1], conversion_error)
        return
    want = outcome(getattr(PlainHoughTransform.sharing(ht), name), *converted)
    same_outcome(name, ht, got, want)


shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4)
ramp_x = mostly(st.one_of(hnp.arrays(np.float64, shapes, elements=st.floats()), hnp.arrays(
    st.sampled_from(["f4", "i8", "c16", "?", "O"]), shapes)), odd_objects)
ramp_p = mostly(hnp.arrays(np.float64, st.integers(4, 6), elements=st.one_of(
                    ordinary, plain_numbers.filter(lambda v: isinstance(v, float)))),
                st.one_of(hnp.arrays(np.float64, st.integers(0, 3)),
                          hnp.arrays(np.float64, (4, 2)), odd_objects))

F = single
METHODS = {
    "dl": ([numbers, numbers], [F, F]),
    "dm": ([numbers, numbers], [F, F]),
    "p0": ([numbers, numbers], [F, F]),
    "n0": ([numbers, numbers], [F, F]),
    "locate": ([numbers, numbers, numbers], [F, F, F]),
    "dmlim": ([numbers, numbers], [F, F]),
    "mask": ([numbers, numbers, widths], [F, F, F]),
    "elements_along": ([numbers, numbers, widths], [F, F, F]),
    "profile": ([numbers, numbers, numbers, numbers, widths], [F] * 5),
    "snr": ([numbers, numbers, widths], [F, F, F]),
    "fit": ([numbers, numbers, widths], [F, F, F]),
    "score_map": ([numbers, numbers, counts, numbers, numbers, counts, widths],
                  [F, F, int32, F, F, int32, F]),
    "ramp_sigmoid": ([ramp_x, ramp_p], [array_or_none, array_or_none]),
}


@pytest.mark.parametrize("name", METHODS)
@settings(PROFILE)
@given(data=st.data(), image=images(), sigma=sigmas)
def test_method_matches_numpy(name, data, image, sigma):
    strategies, convert = METHODS[name]
    ht = HoughTransform(image, sigma)
    args = [data.draw(s, label=f"arg{i}") for i, s in enumerate(strategies)]
    if name == "profile" and 1e5 < abs(outcome(single, args[4])[0] or 0.0) < float("inf"):
        args[4] = 1.0  # not millions of histogram bins
    if name == "score_map":
        # Grids small enough to evaluate directly (a grid that the conversions or NumPy refuse
        # is as good as any).
        nr, nt = (outcome(int32, args[k])[0] for k in (2, 5))
        if nr is not None and nt is not None and abs(nr * nt) > 64 and nr * nt < 2**40:
            args[2], args[5] = data.draw(st.integers(-2, 8)), data.draw(st.integers(-2, 8))
    check(ht, name, args, convert)


@contextlib.contextmanager
def bounded_memory(extra=1 << 30):
    """Allocations past `extra` more bytes of address space fail with MemoryError, instead of a
    drawn shape of billions of pixels exhausting the machine."""
    with open("/proc/self/statm") as statm:
        used = int(statm.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = used + extra if hard == resource.RLIM_INFINITY else min(used + extra, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@settings(PROFILE)
@given(image=st.one_of(images(), st.builds(Shaped, st.one_of(
    st.tuples(counts, counts), st.lists(st.integers(-3, 5), max_size=3), odd_objects,
    st.tuples(plain_numbers, plain_numbers))), hnp.arrays(np.float64, hnp.array_shapes(
        min_dims=0, max_dims=4, max_side=3)), odd_objects), sigma=sigmas)
def test_construction_matches_numpy(image, sigma):
    ht = HoughTransform.__new__(HoughTransform)
    plain = PlainHoughTransform.__new__(PlainHoughTransform)
    with bounded_memory():
        _, error = outcome(ht.__init__, image, sigma)
    with bounded_memory():
        _, want_error = outcome(plain.__init__, image, sigma)
    assert type(error) is type(want_error), (error, want_error)
    assert vars(ht).keys() == vars(plain).keys()
    for name, value in vars(plain).items():
        if name in ("image", "sigma"):
            assert vars(ht)[name] is value
        else:
            same_value(vars(ht)[name], value)


def converted(args):
    return [single(a) if isinstance(a, float) else a for a in args]


SHAPE = (5, 7)
FRAME = PlainHoughTransform(np.zeros(SHAPE), 1.0)
rng = np.random.default_rng(0)
RECORD = np.vstack((np.linspace(-4.0, 4.0, 9), np.cumsum(rng.normal(size=9))))
MEMBERS = [
    ("image", rng.normal(size=SHAPE)),
    ("image", np.arange(35).reshape(SHAPE) % 3),
    ("sigma", np.array([1.0, 2.0, 4.0])),
    ("axis1", FRAME.axis1 * 2.0 + 0.25),
    ("axis2", FRAME.axis2[::-1] * 0.5),
    ("append_x", np.array([-1e3, 1e3])),
    ("append_y", np.array([5.0, -5.0])),
    ("p0", lambda r, theta: np.array([1.5, -2.0])),
    ("p0", lambda r, theta: [0, 5]),  # a list of ints: tile makes an int array
    ("n0", lambda r, theta: np.array([0.6, 0.8])),
    ("n0", lambda r, theta: np.array([0.0, -1.0])),
    ("dl", lambda r, theta: np.full(SHAPE, r)),
    ("dm", lambda r, theta: -FRAME.axis1 - 0 * FRAME.axis2),
    ("mask", lambda r, theta, w: np.arange(35).reshape(SHAPE) % 4 == 1),
    ("elements_along", lambda r, theta, w: RECORD),
    ("dmlim", lambda r, theta: (-3.1, 5.2)),
    ("ramp_sigmoid", lambda x, p: np.zeros_like(x)),
    ("every method", None),  # each one recorded: which are called, in what order, with what
]


def recorded(log, name, function):
    def method(*args):
        log.append((name,) + args)
        return function(*args)

    return method


@pytest.mark.parametrize("member, value", MEMBERS, ids=[name for name, _ in MEMBERS])
def test_members_are_reached_through_the_instance(member, value):
    """Every method reads the attributes and calls the other methods through the instance, at
    every call, handing on the single-precision values of its arguments."""
    ht = HoughTransform(np.random.default_rng(1).normal(size=SHAPE), 1.0)
    call_everything(ht)
    plain = PlainHoughTransform.sharing(ht)
    logs = [], []
    for instance, log in zip((ht, plain), logs):
        if value is None:
            vars(instance).update({n: recorded(log, n, getattr(instance, n)) for n in CALLS})
        else:
            setattr(instance, member, recorded(log, member, value) if callable(value) else value)
    for name, args in CALLS.items():  # called through the class, the stand-ins from inside
        got = outcome(getattr(HoughTransform, name), ht, *args)
        want = outcome(getattr(PlainHoughTransform, name), plain, *converted(args))
        same_outcome(name, ht, got, want)
        same_value(tuple(logs[0]), tuple(logs[1]))


def test_large_images_match_numpy():
    # Past NumPy's 256 KiB threshold for reusing temporaries in place.
    ht = HoughTransform(np.random.default_rng(3).normal(size=(600, 500)), 1.0)
    plain = PlainHoughTransform.sharing(ht)
    for name, args in [("dl", (-40.5, 2.1)), ("dm", (-40.5, 2.1)), ("mask", (12.0, 0.8, 3.0)),
                       ("elements_along", (12.0, 0.8, 3.0)),
                       ("profile", (12.0, 0.8, -150.0, 90.0, 3.0)),
                       ("profile", (0.0, 0.0, -1e9, 1e9, 400.0))]:
        same_value(getattr(ht, name)(*args), getattr(plain, name)(*converted(args)))


# ---------------------------------------------------------------------------------------------
# Hostile structure: replaced attributes and methods, subclasses, foreign selves, replaced
# globals. Nothing to compare with here: the property is that only Python exceptions come out and
# the instance keeps its attributes.

junk = st.one_of(odd_objects, images(), hnp.arrays(st.sampled_from(["f8", "?", "i8", "O"]),
                                                   hnp.array_shapes(min_dims=0, max_dims=3)))
ATTRIBUTES = ["image", "sigma", "center", "axis1", "axis2", "radius", "append_x", "append_y"]


def call_everything(ht):
    for name, args in CALLS.items():
        before = snapshot(ht)
        outcome(getattr(ht, name), *args)
        assert_unchanged(ht, before)


def returning(value):
    def method(*args, **kwargs):
        if isinstance(value, BaseException):
            raise value
        return value

    return method


@settings(PROFILE)
@given(image=images(), replaced=st.dictionaries(st.sampled_from(ATTRIBUTES), junk, max_size=3),
       methods=st.dictionaries(st.sampled_from(list(CALLS)), junk, max_size=3),
       subclass=st.booleans())
def test_replaced_attributes_and_methods(image, replaced, methods, subclass):
    methods = {name: returning(value) for name, value in methods.items()}
    if subclass:
        ht = type("Sub", (HoughTransform,), methods)(image, 2.0)
    else:
        ht = HoughTransform(image, 1.0)
        vars(ht).update(methods)  # instance attributes shadow the methods
    vars(ht).update(replaced)
    call_everything(ht)


@settings(PROFILE)
@given(self=st.one_of(odd_objects, images(), st.builds(Shaped, st.tuples(counts, counts))))
def test_any_object_as_self(self):
    for name, args in CALLS.items():
        outcome(getattr(HoughTransform, name), self, *args)


numpy_with_junk = st.dictionaries(st.sampled_from(
    ["zeros", "ascontiguousarray", "float64", "cos", "sin", "array", "tile", "abs", "max", "min",
     "append", "vstack", "cumsum", "histogram", "diff", "sqrt", "arange", "hstack", "inf", "sum",
     "clip"]), junk, min_size=1, max_size=3).map(
    lambda results: NumpyWith(**{name: returning(value) for name, value in results.items()}))


@settings(PROFILE)
@given(image=images(), np_stand_in=st.one_of(junk, numpy_with_junk), opt_stand_in=junk)
def test_replaced_module_globals(image, np_stand_in, opt_stand_in):
    ht = HoughTransform(image, 1.0)
    saved = hough.np, hough.opt
    try:
        hough.np, hough.opt = np_stand_in, opt_stand_in
        call_everything(ht)
        del hough.np, hough.opt  # missing altogether: NameError
        call_everything(ht)
    finally:
        hough.np, hough.opt = saved
    np.testing.assert_array_equal(ht.n0(0.0, 0.0), [1.0, 0.0])  # and back to normal
