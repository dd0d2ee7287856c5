import importlib
import inspect
import itertools
import pickle
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest
import scipy.optimize

import kestrova.hough as hough
from kestrova.hough import HoughTransform
import lines

METHODS = {
    # name: (parameters after self, first source line)
    "__init__": (("image", "sigma"), lines.init),
    "dl": (("r", "theta"), lines.dl),
    "dm": (("r", "theta"), lines.dm),
    "p0": (("r", "theta"), lines.p0),
    "n0": (("r", "theta"), lines.n0),
    "dmlim": (("r", "theta"), lines.dmlim),
    "locate": (("r", "theta", "dm"), lines.locate),
    "score_map": (("r0", "r1", "nr", "t0", "t1", "nt", "width"), lines.score_map),
    "mask": (("r", "theta", "w"), lines.mask),
    "elements_along": (("r", "theta", "w"), lines.elements_along),
    "snr": (("r", "theta", "w"), lines.snr),
    "fit": (("r", "theta", "w"), lines.fit),
    "profile": (("r", "theta", "dm1", "dm2", "w"), lines.profile),
    "ramp_sigmoid": (("x", "p"), lines.ramp_sigmoid),
}


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_module_globals():
    assert hough.__name__ == "kestrova.hough"
    assert hough.__doc__ is None
    assert hough.__package__ == "kestrova"
    assert hough.__file__ == hough.__spec__.origin
    assert hough.np is np
    assert hough.opt is scipy.optimize
    assert hough.itertools is itertools
    assert hough.HoughTransform is HoughTransform


def test_class():
    assert HoughTransform.__module__ == "kestrova.hough"
    assert HoughTransform.__qualname__ == "HoughTransform"
    assert HoughTransform.__doc__ == " Hough Transformation\n  "
    assert HoughTransform.__bases__ == (object,)
    assert type(HoughTransform) is type
    assert [name for name in vars(HoughTransform) if name in METHODS] == list(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_function_attributes(name):
    parameters, first_line = METHODS[name]
    function = vars(HoughTransform)[name]
    assert function.__name__ == name
    assert function.__qualname__ == "HoughTransform." + name
    assert function.__module__ == "kestrova.hough"
    assert function.__code__.co_filename == "src/hough"
    assert function.__code__.co_name == name
    assert function.__code__.co_firstlineno == first_line
    signature = inspect.signature(function)
    assert tuple(signature.parameters) == ("self",) + parameters
    if name == "score_map":
        assert function.__doc__ == " Create Score Map\n    "
        assert function.__defaults__ == (1.0,)
        assert signature.parameters["width"].default == 1.0
    else:
        assert function.__doc__ is None
        assert function.__defaults__ is None
    # Bound: the instance is no longer a parameter.
    bound = getattr(HoughTransform(np.zeros((2, 2)), 1.0), name)
    assert tuple(inspect.signature(bound).parameters) == parameters


def test_binding():
    ht = HoughTransform(np.zeros((2, 2)), 1.0)
    function = vars(HoughTransform)["dl"]
    assert HoughTransform.dl is function
    assert function.__get__(None, HoughTransform) is function
    assert ht.dl.__self__ is ht and ht.dl.__func__ is function
    assert pickle.loads(pickle.dumps(function)) is function
    assert "HoughTransform.dl" in repr(function)


def test_self_is_not_type_checked():
    # The body runs on any object that takes attributes.
    other = types.SimpleNamespace()
    HoughTransform.__init__(other, np.zeros((3, 4)), 2.0)
    assert other.center == (1.0, 1.5) and other.sigma == 2.0


def test_second_import_returns_the_same_module():
    del sys.modules["kestrova.hough"]
    try:
        again = importlib.import_module("kestrova.hough")
    finally:
        sys.modules["kestrova.hough"] = hough
    assert again is hough


def test_failed_initialisation_reports_the_line_and_can_be_retried():
    result = run_python(f"""
        import sys, traceback
        saved = sys.modules.pop("scipy.optimize", None)
        sys.modules["scipy.optimize"] = None
        try:
            import kestrova.hough
        except ImportError as exc:
            entries = [(frame.f_code.co_name, line)
                       for frame, line in traceback.walk_tb(exc.__traceback__)]
            print(("init kestrova.hough", {lines.module_optimize}) in entries)
        del sys.modules["scipy.optimize"]
        import kestrova.hough
        print(kestrova.hough.HoughTransform.__name__)
    """)
    assert result.stdout.split() == ["True", "HoughTransform"], result.stderr


def test_second_interpreter_is_refused():
    result = run_python("""
        import kestrova.hough
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip")
            raise SystemExit
        interp = interpreters.create()
        # Load the extension alone: the package itself imports NumPy, which refuses a second
        # interpreter on its own.
        load = ("import importlib.util as u; "
                f"u.module_from_spec(u.spec_from_file_location('kestrova.hough', "
                f"{kestrova.hough.__file__!r}))")
        try:
            interpreters.run_string(interp, load)
        except Exception as exc:
            print(exc)
    """)
    if result.stdout.strip() == "skip":
        pytest.skip("no subinterpreters in this Python")
    assert ("ImportError'>: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.") in result.stdout, result.stderr
