"""Many interpreter threads calling every method at once, on shared and on separate instances:
each result equals the one computed alone. score_map runs its own OpenMP threads inside."""

import os
import signal
import sys
import threading
import warnings

import numpy as np
import pytest

from conftest import CALLS as EVERY_METHOD
from kestrova.hough import HoughTransform

THREADS = 8
ROUNDS = 15

rng = np.random.default_rng(8)
IMAGES = [rng.normal(size=shape) for shape in [(23, 31), (40, 17), (1, 9), (0, 4)]]

SCORE_MAP = (-20.0, 20.0, 41, 0.0, 3.0, 37)  # enough work for the kernel's own threads
CALLS = list(EVERY_METHOD.items()) + [
    ("score_map", SCORE_MAP),
    ("score_map", (-15.0, 15.0, 13, -1.0, 1.0, 5, 2.5)),
    ("dl", ("not a number", 0.3)),  # failing calls too: each raises its own error
    ("dmlim", (np.nan, 0.3)),
    ("score_map", (0.0, 1.0, 2**40, 0.0, 1.0, 2)),
]

def run(ht, name, args):
    try:
        return getattr(ht, name)(*args)
    except Exception as error:
        return type(error), str(error)


def same(got, want):
    if isinstance(want, tuple):
        return len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))
    if isinstance(want, (np.ndarray, np.generic)):
        return np.array_equal(got, want, equal_nan=True) and got.dtype == want.dtype
    return got == want


def hammer(instances, rounds=ROUNDS):
    """Every thread runs every call on every instance, each in its own order; returns the
    mismatches with the single-threaded results."""
    expected = {(i, k): run(ht, *CALLS[k]) for i, ht in enumerate(instances)
                for k in range(len(CALLS))}
    mismatches, start = [], threading.Barrier(THREADS)

    def worker(seed):
        order = np.random.default_rng(seed).permutation(list(expected))
        start.wait()
        for _ in range(rounds):
            for i, k in order:
                got = run(instances[i], *CALLS[k])
                if not same(got, expected[i, k]):
                    mismatches.append((i, CALLS[k][0], got))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return mismatches


@pytest.fixture(autouse=True)
def switch_often():
    # Hand the interpreter lock over as often as it goes, so that threads interleave between
    # (and, through the callbacks into Python, inside) the methods' calls.
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


class Slow(HoughTransform):
    """Python code between the native calls, so that the lock changes hands inside a method."""

    def dl(self, r, theta):
        return sum([0.0] * 50) + super().dl(r, theta)

    def ramp_sigmoid(self, x, p):
        return super().ramp_sigmoid(x, p) + sum([0.0] * 50)


@pytest.mark.parametrize(
    "make, rounds",
    [
        (lambda: [HoughTransform(image, 0.5) for image in IMAGES], ROUNDS),
        # One instance per thread and image: the same images, each wrapped THREADS times.
        (lambda: [HoughTransform(image, 0.5) for image in IMAGES for _ in range(THREADS)], 2),
        (lambda: [Slow(image, 0.5) for image in IMAGES[:2]], 3),
    ],
    ids=["shared instances", "separate instances", "calling back into Python"],
)
def test_threads_agree_with_one_thread(make, rounds):
    assert hammer(make(), rounds) == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_score_map_in_a_forked_child():
    # The OpenMP runtime's worker threads are not copied by fork(): a child of a process that has
    # computed a score map must still compute one (the same), not wait for them forever.
    ht = HoughTransform(IMAGES[0], 0.5)
    parent = ht.score_map(*SCORE_MAP)
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads about
        pid = os.fork()
    if pid == 0:  # the child: report through the pipe, never return into pytest
        try:
            signal.alarm(30)
            ok = all(np.array_equal(ht.score_map(*SCORE_MAP), parent) for _ in range(2))
            os.write(write, b"same" if ok else b"different")
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        answer = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert answer == b"same", f"child status {status}"
    assert np.array_equal(ht.score_map(*SCORE_MAP), parent)
