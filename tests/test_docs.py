"""Every docstring example of the package runs, on the package as installed (with its compiled
kestrova.hough), not on the source tree."""

import doctest
import importlib
import importlib.machinery
import io
import pkgutil
from pathlib import Path

import pytest

import kestrova

SOURCE = Path(__file__).resolve().parents[1] / "src" / "kestrova"


def docstring_examples():
    finder = doctest.DocTestFinder()
    for info in pkgutil.walk_packages(kestrova.__path__, "kestrova."):
        if info.name == "kestrova.__main__":
            continue
        module = importlib.import_module(info.name)
        for test in sorted(finder.find(module, module.__name__), key=lambda t: t.name):
            if test.examples:
                yield pytest.param(test, id=test.name.removeprefix("kestrova."))


def test_the_installed_package_is_tested():
    from kestrova import hough

    assert Path(kestrova.__file__).resolve().parent != SOURCE
    assert hough.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


@pytest.mark.parametrize("test", list(docstring_examples()))
def test_docstring_example(test):
    out = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    result = runner.run(test, out=out.write)
    assert result.failed == 0, out.getvalue()
