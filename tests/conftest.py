import numpy as np
import pytest


def hough_entries(exc):
    """The traceback entries that the extension added to `exc`: (name, file, line) each."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "src/hough":
            entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def entry(method, line):
    return ("kestrova.hough.HoughTransform." + method, "src/hough", line)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


class NumpyWith:
    """Stands in for the module global `np`: NumPy, with some names replaced."""

    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(np, name)


class Shaped:
    """An image stand-in whose only feature is a shape."""

    def __init__(self, shape):
        self.shape = shape


# One call of every method, with values that single precision rounds.
CALLS = {
    "dl": (0.3, 0.7), "dm": (0.3, 0.7), "p0": (0.3, 0.7), "n0": (0.3, 0.7),
    "locate": (0.3, 0.7, 2.1), "dmlim": (0.3, 0.7), "mask": (0.3, 0.7, 1.3),
    "elements_along": (0.3, 0.7, 1.3), "profile": (0.3, 0.7, -3.3, 3.1, 1.3),
    "snr": (0.3, 0.7, 1.3), "fit": (0.3, 0.7, 1.3), "score_map": (-3.3, 3.1, 4, 0.1, 3.1, 3),
    "ramp_sigmoid": (np.arange(3.0), np.arange(4.0)),
}


def raiser(message):
    def function(*args, **kwargs):
        raise ArithmeticError(message)

    return function


@pytest.fixture
def ht():
    from kestrova.hough import HoughTransform

    return HoughTransform(np.arange(12.0).reshape(3, 4), 1.0)
