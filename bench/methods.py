"""The line geometry and sampling methods of kestrova.hough against the same NumPy calls written in plain Python.

For images of 64 x 64, 1024 x 1024 and 4096 x 4096 every method is timed against its
plain-Python twin (tests/reference.py, with the single-precision rounding of its locals left
out, since plain Python has no cheap way to do it) in the same run: the two are called in turn,
in alternating order, for a number of rounds, and the median time per call of each is printed. The ratio is the median
over the rounds of compiled / plain within each round (the two samples of a round lie next to
each other in time, so slow drifts of the machine cancel). Times are the thread's CPU time
(time.thread_time: user and system, page faults included), so that other processes on a shared
machine are not counted, though they still compete for caches and memory bandwidth. Ratio:
targets: below 1.0 at 64 x 64, at most 1.05 at the larger sizes. Last, the per-call cost of p0
and n0 on a 1 x 1 image, with the overhead over the bare NumPy statement (target under 2 us).

    PYTHONPATH=<dir holding kestrova with the built hough module> python3 bench/methods.py [--quick]
"""

import gc
import os
import statistics
import sys
import time
import timeit

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from kestrova.hough import HoughTransform  # noqa: E402
from reference import PlainHoughTransform, single as f32  # noqa: E402

QUICK = "--quick" in sys.argv
SIZES = [(64, 81), (1024, 21), (4096, 11)]  # (image side, rounds)
SAMPLE_SECONDS = 0.004  # one timing sample: this long at least, over several calls if needed


class PyHoughTransform(PlainHoughTransform):
    """The yardstick: the plain methods without the rounding, which only makes them faster."""

    single = float


def arguments(n):
    """One line through an n x n image, in single precision, for every method."""
    r, theta, w = f32(0.1 * n), f32(0.3), f32(2.0)
    return {
        "dl": (r, theta),
        "dm": (r, theta),
        "p0": (r, theta),
        "n0": (r, theta),
        "locate": (r, theta, f32(0.2 * n)),
        "dmlim": (r, theta),
        # dmlim with the foot point outside the image and the line crossing it.
        "dmlim (outside)": (f32(0.545 * n), theta),
        "mask": (r, theta, w),
        "elements_along": (r, theta, w),
        "profile": (r, theta, f32(-0.25 * n), f32(0.25 * n), w),
    }


def method_of(instance, label):
    return getattr(instance, label.split(" ")[0])


def agree(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(agree(x, y) for x, y in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.allclose(a, b, rtol=1e-6, atol=1e-4 * max(1.0, np.max(np.abs(b), initial=0.0)))


clock = time.thread_time


def calls_per_sample(function, args):
    start = clock()
    function(*args)
    once = clock() - start
    return max(1, int(SAMPLE_SECONDS / max(once, 1e-9)))


def sample(function, args, count):
    start = clock()
    for _ in range(count):
        function(*args)
    return (clock() - start) / count


def compare(compiled, plain, args, rounds):
    count = calls_per_sample(plain, args)
    sample(compiled, args, count)  # warm both
    sample(plain, args, count)
    a, b = [], []
    for k in range(rounds):
        if k % 2 == 0:
            a.append(sample(compiled, args, count))
            b.append(sample(plain, args, count))
        else:
            b.append(sample(plain, args, count))
            a.append(sample(compiled, args, count))
    ratio = statistics.median(x / y for x, y in zip(a, b))
    return statistics.median(a), statistics.median(b), ratio


def unit(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    return f"{seconds * 1e3:9.2f} ms"


def bench_sizes():
    worst = {}
    for n, rounds in SIZES:
        if QUICK:
            rounds = max(3, rounds // 4)
        image = np.random.default_rng(n).normal(size=(n, n))
        ht, py = HoughTransform(image, 1.0), PyHoughTransform(image, 1.0)
        print(f"\nimage {n} x {n} ({rounds} rounds, median time per call)")
        print(f"  {'method':16s} {'compiled':>12s} {'plain Python':>12s} {'ratio':>7s}")
        for label, args in arguments(n).items():
            compiled, plain = method_of(ht, label), method_of(py, label)
            if not agree(compiled(*args), plain(*args)):
                raise SystemExit(f"{label}: compiled and plain Python results disagree")
            t_compiled, t_plain, ratio = compare(compiled, plain, args, rounds)
            target = 1.0 if n == 64 else 1.05
            mark = "" if (ratio < 1.0 if n == 64 else ratio <= 1.05) else "  above target"
            worst[(n, label)] = (ratio, target)
            print(f"  {label:16s} {unit(t_compiled)} {unit(t_plain)} {ratio:7.3f}{mark}")
    return worst


def bench_overhead():
    print("\nper call on a 1 x 1 image (best of 15 x 20000 calls, thread CPU time)")
    print(f"  {'method':8s} {'compiled':>10s} {'plain Python':>13s} {'bare NumPy':>11s} {'overhead':>9s}")
    ht, py = HoughTransform(np.zeros((1, 1)), 1.0), PyHoughTransform(np.zeros((1, 1)), 1.0)
    r, theta = f32(3.0), f32(0.3)
    bare = {
        "p0": "np.array([r * np.sin(theta), -r * np.cos(theta)])",
        "n0": "np.array([np.cos(theta), np.sin(theta)])",
    }
    space = {"np": np, "r": r, "theta": theta, "ht": ht, "py": py}
    results = {}
    for name, statement in bare.items():
        times = {}
        for label, code in [("compiled", f"ht.{name}(r, theta)"), ("plain", f"py.{name}(r, theta)"),
                            ("bare", statement)]:
            timer = timeit.Timer(code, timer=time.thread_time, globals=space)
            times[label] = min(timer.repeat(number=20000, repeat=15)) / 20000
        overhead = times["compiled"] - times["bare"]
        results[name] = times["compiled"]
        print(f"  {name:8s} {times['compiled'] * 1e6:7.3f} us {times['plain'] * 1e6:10.3f} us "
              f"{times['bare'] * 1e6:8.3f} us {overhead * 1e6:6.3f} us")
    return results


def main():
    print(f"kestrova.hough geometry and sampling methods; numpy {np.__version__}, python {sys.version.split()[0]}, "
          f"load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")
    gc.disable()
    try:
        worst = bench_sizes()
        per_call = bench_overhead()
    finally:
        gc.enable()
    missed = [f"{n}x{n} {label} {ratio:.3f}" for (n, label), (ratio, target) in worst.items()
              if not (ratio < 1.0 if n == 64 else ratio <= 1.05)]
    slow = [f"{name} {t * 1e6:.3f} us" for name, t in per_call.items() if t >= 2e-6]
    print("\ntargets:", "all met" if not (missed or slow) else "missed: " + ", ".join(missed + slow))


if __name__ == "__main__":
    main()
