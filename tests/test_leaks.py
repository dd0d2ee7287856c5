"""Repeated calls, good and failing, keep memory flat and leave their arguments' counts alone."""

import gc
import os
import sys

import numpy as np
import pytest

from kestrova.hough import HoughTransform

# Under the sanitizers every call is several times slower and freed memory is held back in
# quarantine, so RSS says nothing there: fewer calls, and only the reference counts are checked.
SANITIZED = bool(os.environ.get("KESTROVA_SANITIZED"))
CALLS = 3_000 if SANITIZED else 100_000


# A debug build of Python counts every reference: a leak on any object shows there.
total_references = getattr(sys, "gettotalrefcount", lambda: 0)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


IMAGE = np.arange(6.0).reshape(2, 3)
R, THETA, W = 0.123456789, 0.987654321, 1.5  # distinct objects, so their counts are their own
X, P = np.linspace(-2.0, 2.0, 5), np.array([0.0, 1.0, -1.0, 1.0])
BAD = "not a number"


class Raises:
    """Fails in every conversion, after allocating."""

    def __float__(self):
        raise ArithmeticError("no float" * 10)

    __int__ = __float__


class Junk(HoughTransform):
    """Its methods hand the others objects of the wrong kind."""

    def mask(self, r, theta, w):
        return [True] * 6

    def dmlim(self, r, theta):
        return (1.0, 2.0, 3.0)

    def elements_along(self, r, theta, w):
        return np.zeros((2, 0))


HOSTILE = Raises()
JUNK = Junk(IMAGE, W)
CUBE = HoughTransform(IMAGE, W)
CUBE.image = np.zeros((2, 2, 2))  # the score map's buffer check refuses it

CASES = {
    "__init__": lambda ht: ht.__init__(IMAGE, W),
    "__init__ bad": lambda ht: HoughTransform.__init__(ht, np.zeros(3), W),
    "keywords": lambda ht: ht.dl(R, theta=THETA),
    "count error": lambda ht: ht.dl(R),
    "keyword error": lambda ht: ht.dl(R, THETA, r=R),
    "float error": lambda ht: ht.dl(BAD, THETA),
    "int error": lambda ht: ht.score_map(R, W, BAD, R, W, 3),
    "score_map": lambda ht: ht.score_map(-R, W, 3, -THETA, THETA, 2),
    "dl": lambda ht: ht.dl(R, THETA),
    "dm": lambda ht: ht.dm(R, THETA),
    "p0": lambda ht: ht.p0(R, THETA),
    "n0": lambda ht: ht.n0(R, THETA),
    "locate": lambda ht: ht.locate(R, THETA, W),
    "dmlim": lambda ht: ht.dmlim(R, THETA),
    "mask": lambda ht: ht.mask(R, THETA, W),
    "elements_along": lambda ht: ht.elements_along(R, THETA, W),
    "profile": lambda ht: ht.profile(R, THETA, -W, W, W),
    "snr": lambda ht: ht.snr(R, THETA, W),
    "ramp_sigmoid": lambda ht: ht.ramp_sigmoid(X, P),
    "ramp_sigmoid bad": lambda ht: ht.ramp_sigmoid(X, [1.0]),
    "ramp_sigmoid short p": lambda ht: ht.ramp_sigmoid(X, P[:2]),
    "hostile float": lambda ht: ht.locate(R, THETA, HOSTILE),
    "hostile int": lambda ht: ht.score_map(R, W, HOSTILE, R, W, 3),
    "int overflow": lambda ht: ht.score_map(R, W, 2**40, R, W, 3),
    "negative grid": lambda ht: ht.score_map(R, W, -3, R, W, -3),
    "3-D image": lambda ht: CUBE.score_map(R, W, 3, R, W, 2),
    "profile no bins": lambda ht: ht.profile(R, THETA, -W, W, 0.1),
    "wrong array": lambda ht: JUNK.elements_along(R, THETA, W),
    "unpack error": lambda ht: JUNK.fit(R, THETA, W),
    "empty record": lambda ht: JUNK.snr(R, THETA, W),
}


def assert_flat(call, watched, calls=CALLS):
    """Memory and the reference counts of `watched` stay as they are over `calls` calls."""

    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass

    run(max(1, calls // 10))  # warm caches and pools
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    total = total_references()
    before = rss_bytes()
    run(calls)
    gc.collect()
    grown = rss_bytes() - before
    assert [sys.getrefcount(obj) for obj in watched] == counts
    assert total_references() - total < 100
    if not SANITIZED:
        # A leak of even one small object per call would add several megabytes.
        assert grown < 1_000_000, f"RSS grew by {grown} bytes over {calls} calls"


@pytest.mark.parametrize("name", CASES)
def test_memory_and_reference_counts_stay_flat(name):
    ht = HoughTransform(IMAGE, W)
    watched = (IMAGE, R, THETA, W, X, P, BAD, HOSTILE, JUNK, CUBE, ht)
    assert_flat(lambda: CASES[name](ht), watched)


@pytest.fixture
def objective(fake_opt):
    HoughTransform(IMAGE, W).fit(R, THETA, W)
    return fake_opt.objective


@pytest.mark.parametrize(
    "case",
    [
        lambda f: f(P),
        lambda f: f(p=P),
        lambda f: f(),  # count error
        lambda f: f(P, q=P),  # unexpected keyword
        lambda f: f(np.zeros(2)),  # error inside ramp_sigmoid
    ],
    ids=["position", "keyword", "count error", "keyword error", "inner error"],
)
def test_objective_stays_flat(objective, case):
    assert_flat(lambda: case(objective), (objective, P, X))


def test_fit_stays_flat():
    # A whole minimisation per call: fewer calls, each of which allocates far more.
    ht = HoughTransform(IMAGE, W)
    assert_flat(lambda: ht.fit(R, THETA, W), (IMAGE, R, THETA, W, ht), CALLS // 200)
