"""Repeated calls, good and failing, keep memory flat and leave their arguments' counts alone."""

import gc
import sys

import numpy as np
import pytest

from kestrova.hough import HoughTransform

CALLS = 100_000


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


IMAGE = np.arange(6.0).reshape(2, 3)
R, THETA, W = 0.123456789, 0.987654321, 1.5  # distinct objects, so their counts are their own
X, P = np.linspace(-2.0, 2.0, 5), np.array([0.0, 1.0, -1.0, 1.0])
BAD = "not a number"

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
}


def run(case, ht, times):
    for _ in range(times):
        try:
            case(ht)
        except Exception:
            pass


@pytest.mark.parametrize("name", CASES)
def test_memory_and_reference_counts_stay_flat(name):
    case = CASES[name]
    ht = HoughTransform(IMAGE, W)
    watched = (IMAGE, R, THETA, W, X, P, BAD, ht)
    run(case, ht, CALLS // 10)  # warm caches and pools
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = rss_bytes()
    run(case, ht, CALLS)
    gc.collect()
    grown = rss_bytes() - before
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # A leak of even one small object per call would add several megabytes.
    assert grown < 1_000_000, f"RSS grew by {grown} bytes over {CALLS} calls"
