import types

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

    @property
    def objective(self):
        return self.minimize_args[0][0]


@pytest.fixture
def fake_opt(monkeypatch):
    import kestrova.hough

    fake = FakeOpt()
    monkeypatch.setattr(kestrova.hough, "opt", fake)
    return fake


def raiser(message):
    def function(*args, **kwargs):
        raise ArithmeticError(message)

    return function


# Faults to inject before a call: each is applied as fault(ht, monkeypatch).


def numpy_with(**names):
    """The module global np replaced by NumPy with some names replaced."""
    import kestrova.hough

    return lambda ht, monkeypatch: monkeypatch.setattr(kestrova.hough, "np", NumpyWith(**names))


def members(**values):
    """Attributes of the instance replaced (methods shadowed)."""
    return lambda ht, monkeypatch: vars(ht).update(values)


def without(name):
    return lambda ht, monkeypatch: delattr(ht, name)


def check_fault(monkeypatch, ht, call, fault, error, entries):
    """ht.method(*args) for call = (method, *args) fails, after the fault, with the error (a
    type, or a type and its message) and the module's traceback entries."""
    error, message = error if isinstance(error, tuple) else (error, None)
    fault(ht, monkeypatch)
    with pytest.raises(error) as info:
        getattr(ht, call[0])(*call[1:])
    assert message is None or str(info.value) == message
    assert hough_entries(info.value) == entries


@pytest.fixture
def ht():
    from kestrova.hough import HoughTransform

    return HoughTransform(np.arange(12.0).reshape(3, 4), 1.0)
