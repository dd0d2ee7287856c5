import ctypes
import warnings

import numpy as np
import pytest

import lines
from conftest import entry, hough_entries
from kestrova.hough import HoughTransform

COUNT = "{}() takes {} {} positional arguments ({} given)"


@pytest.fixture
def one():
    """A 1 x 1 image: dl(r, 0.0) there is the single-precision r itself."""
    return HoughTransform(np.zeros((1, 1)), 1.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ht: ht.dl(1.0), COUNT.format("dl", "exactly", 3, 2)),
        (lambda ht: ht.dl(1.0, 2.0, 3.0), COUNT.format("dl", "exactly", 3, 4)),
        (lambda ht: HoughTransform.dl(), COUNT.format("dl", "exactly", 3, 0)),
        (lambda ht: ht.locate(1.0, 0.5), COUNT.format("locate", "exactly", 4, 3)),
        (lambda ht: ht.score_map(1, 2, 3, 4, 5), COUNT.format("score_map", "at least", 7, 6)),
        (lambda ht: ht.score_map(*range(8)), COUNT.format("score_map", "at most", 8, 9)),
        (lambda ht: ht.score_map(1, 2, 3, width=4), COUNT.format("score_map", "at least", 7, 4)),
        (lambda ht: ht.dl(1.0, r=1.0), COUNT.format("dl", "exactly", 3, 2)),
        (lambda ht: HoughTransform.dl(self=ht, theta=1.0), COUNT.format("dl", "exactly", 3, 1)),
        (lambda ht: ht.dl(1.0, 2.0, 3.0, r=1.0), COUNT.format("dl", "exactly", 3, 4)),
        (lambda ht: HoughTransform(np.zeros((1, 1))), COUNT.format("__init__", "exactly", 3, 2)),
        (lambda ht: ht.dl(1.0, 2.0, r=1.0),
         "dl() got multiple values for keyword argument 'r'"),
        (lambda ht: ht.dl(1.0, 2.0, rho=1.0), "dl() got an unexpected keyword argument 'rho'"),
        (lambda ht: ht.ramp_sigmoid(None, None, q=1),
         "ramp_sigmoid() got an unexpected keyword argument 'q'"),
        (lambda ht: ht.snr(r=1.0, theta=2.0, w=3.0, self=ht),
         "snr() got multiple values for keyword argument 'self'"),
    ],
)
def test_argument_collection_errors(ht, call, message):
    with pytest.raises(TypeError) as info:
        call(ht)
    assert str(info.value) == message


@pytest.mark.parametrize("name", [n for n, f in vars(HoughTransform).items() if callable(f)])
def test_argument_errors_carry_the_first_line(ht, name):
    first = vars(HoughTransform)[name].__code__.co_firstlineno
    with pytest.raises(TypeError) as info:
        getattr(HoughTransform, name)(ht, bad_keyword=1)
    assert hough_entries(info.value) == [entry(name, first)]


def test_non_string_keyword_through_the_c_api(ht):
    # The interpreter rejects non-string keywords itself; only C callers reach the method's check.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 4)(ht, 1.0, 2.0, 3.0)
    with pytest.raises(TypeError, match=r"^dl\(\) keywords must be strings$"):
        vectorcall(HoughTransform.dl, ctypes.addressof(args), 3, (7,))


def test_keywords_and_default(ht):
    by_position = ht.score_map(-2.0, 2.0, 5, 0.0, 3.0, 4)
    by_keyword = ht.score_map(t1=3.0, nt=4, r0=-2.0, r1=2.0, nr=5, t0=0.0, width=1)
    np.testing.assert_array_equal(by_position, by_keyword)
    assert by_position.shape == (5, 4)


@pytest.mark.parametrize(
    "value, expected",
    [
        (0.1, 0.10000000149011612),
        (1, 1.0),
        (True, 1.0),
        (np.float32(0.5), 0.5),
        (1e40, np.inf),
        (-1e40, -np.inf),
        (3.4028235e38, 3.4028234663852886e38),  # rounds down to the largest float
        (3.4028236e38, np.inf),
        (1e-50, 0.0),
    ],
)
def test_float_conversion(one, value, expected):
    got = one.dl(value, 0.0)[0, 0]
    assert got == expected and np.signbit(got) == np.signbit(expected)


def test_float_conversion_keeps_nan_and_passes_errors_through(one):
    assert np.isnan(one.dl(float("nan"), 0.0)[0, 0])

    class Bad:
        def __float__(self):
            raise ArithmeticError("no float")

    with pytest.raises(ArithmeticError, match="no float"):
        one.dl(Bad(), 0.0)
    with pytest.raises(TypeError) as info:
        one.dm("a", 0.0)  # converted although dm does not use r
    assert hough_entries(info.value)[-1][2] == lines.dm


class IntSub(int):
    pass


class Returns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize(
    "nr, rows",
    [(21.9, 21), (-0.5, 0), (np.int64(3), 3), (True, 1), (Returns(4), 4), (IntSub(2), 2)],
)
def test_int_conversion(ht, nr, rows):
    assert ht.score_map(0.0, 1.0, nr, 0.0, 1.0, 2).shape == (rows, 2)


@pytest.mark.parametrize(
    "nr, error, message",
    [
        ("3", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (Returns(2.0), TypeError, "__int__ returned non-int (type float)"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**100, OverflowError, "value too large to convert to int"),
        (Returns(2**40), OverflowError, "value too large to convert to int"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ],
)
def test_int_conversion_errors(ht, nr, error, message):
    with pytest.raises(error) as info:
        ht.score_map(0.0, 1.0, nr, 0.0, 1.0, 2)
    assert str(info.value) == message
    assert hough_entries(info.value)[-1][2] == lines.score_map


def test_int_subclass_from_int_warns(ht):
    with pytest.warns(DeprecationWarning) as record:
        assert ht.score_map(0.0, 1.0, Returns(True), 0.0, 1.0, 2).shape == (1, 2)
    assert str(record[0].message) == (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            ht.score_map(0.0, 1.0, Returns(True), 0.0, 1.0, 2)


@pytest.mark.parametrize(
    "x, p, name, got",
    [([1.0], None, "x", "list"), (None, (1,), "p", "tuple"), ([1.0], [1.0], "x", "list")],
)
def test_array_check(ht, x, p, name, got):
    with pytest.raises(TypeError) as info:
        ht.ramp_sigmoid(x, p)
    assert str(info.value) == (
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {got})"
    )
    assert hough_entries(info.value) == []
