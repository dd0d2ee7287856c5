"""Throughput of the band Hough score map: band evaluations (nx * ny * nt) per second.

Compares, interleaved in one run and on the same images,
  kernel     the package's native kernel (src/kernel/band_hough.hpp) through a small C shim,
  module     kestrova.hough.HoughTransform.score_map, when that module is importable,
  yardstick  a straightforward implementation (bench/yardstick.cpp),
  numpy      a pure-NumPy implementation,
with one thread and with all cores. The C++ code is compiled here with the flags the package
uses (-O3 -fopenmp -ffp-contract=off, no -march). Slow implementations on large problems run
on fewer theta values over the same range; those rows are marked and their rate scaled.

    python bench/score_map.py [--sizes 512 1024 2048] [--nts 180 720] [--repeat 3]
"""

import argparse
import ctypes
import math
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
FLAGS = ["-std=c++17", "-O3", "-fopenmp", "-ffp-contract=off", "-fPIC", "-shared",
         "-Wall", "-Wextra"]
# Evaluations above which the slow implementations are sampled on fewer thetas.
SAMPLE_LIMIT = {"yardstick": 1024 * 1024 * 180, "numpy": 256 * 256 * 180}


def build(tmp):
    libs = {}
    for name, src in (("kernel", "kernel_shim.cpp"), ("yardstick", "yardstick.cpp")):
        out = pathlib.Path(tmp) / f"lib{name}.so"
        subprocess.run(["g++", *FLAGS, str(HERE / src), "-o", str(out)], check=True)
        libs[name] = ctypes.CDLL(str(out))
    sig = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_double, ctypes.c_double,
           ctypes.c_size_t, ctypes.c_double, ctypes.c_double, ctypes.c_size_t, ctypes.c_double]
    for name, fn, free in (("kernel", "kernel_score_map", "kernel_free"),
                           ("yardstick", "yardstick_score_map", "yardstick_free")):
        f = getattr(libs[name], fn)
        f.argtypes, f.restype = sig, ctypes.POINTER(ctypes.c_double)
        getattr(libs[name], free).argtypes = [ctypes.POINTER(ctypes.c_double)]
    libs["kernel"].kernel_set_threads.argtypes = [ctypes.c_int]
    return libs


def native(lib, fn, free, buf, nx, ny, grid):
    """Runs one native implementation on a contiguous (Ny, Nx) buffer; returns (nr, nt)."""
    r0, r1, nr, t0, t1, nt, width = grid
    p = getattr(lib, fn)(buf.ctypes.data, nx, ny, r0, r1, nr, t0, t1, nt, width)
    if not p:
        raise MemoryError
    out = np.ctypeslib.as_array(p, shape=(nr * nt,)).copy()
    getattr(lib, free)(p)
    return out.reshape(nr, nt)


def numpy_score_map(buf, nx, ny, grid):
    """The same sums and counts, one theta at a time, with NumPy only."""
    r0, r1, nr, t0, t1, nt, width = grid
    dr = (r1 - r0) / (nr - 1.0)
    dt = (t1 - t0) / (nt - 1.0)
    h = width * dr
    x = (-(nx - 1.0)) * 0.5 + np.arange(nx)
    y = ((-(ny - 1.0)) * 0.5 + np.arange(ny))[:, None]
    v = buf.ravel()
    score = np.zeros((nr, nt))
    count = np.zeros((nr, nt))
    for l in range(nt):
        theta = l * dt + t0
        d = ((np.sin(theta) * y - np.cos(theta) * x) - r0).ravel()
        lo = np.floor((d - h) / dr + 0.5)
        hi = np.floor((d + h) / dr + 0.5)
        lo = np.clip(lo, 0, nr).astype(np.int64)
        hi = np.clip(hi, 0, nr).astype(np.int64)
        for q in range(int((hi - lo).max(initial=0))):
            k = lo + q
            m = k < hi
            score[:, l] += np.bincount(k[m], weights=v[m], minlength=nr)
            count[:, l] += np.bincount(k[m], minlength=nr)
    nz = count > 0
    score[nz] /= np.sqrt(count[nz])
    return score


def make_image(n, rng):
    """Unit Gaussian noise plus a faint straight streak."""
    img = rng.standard_normal((n, n))
    rows = np.arange(n)
    cols = (0.3 * n + 0.4 * rows).astype(int)
    img[rows, cols] += 0.5
    return img


def timed(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
        if best > 5.0:
            break
    return best, result


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[512, 1024, 2048])
    ap.add_argument("--nts", type=int, nargs="+", default=[180, 720])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    try:
        from kestrova.hough import HoughTransform
        HoughTransform(np.zeros((2, 2)), 1.0).score_map(-1.0, 1.0, 3, 0.0, 1.0, 2)
    except Exception as exc:  # noqa: BLE001 - any failure means: skip that column
        HoughTransform = None
        print(f"kestrova.hough not usable ({type(exc).__name__}: {exc}); module column skipped")

    ncores = os.cpu_count() or 1
    thread_counts = [1] if ncores == 1 else [1, ncores]
    rng = np.random.default_rng(12345)
    with tempfile.TemporaryDirectory() as tmp:
        libs = build(tmp)
        kern, yard = libs["kernel"], libs["yardstick"]
        rows = []
        print(f"{'image':>9} {'nt':>4} {'nr':>5} {'thr':>3} {'impl':>9} {'sec':>8} "
              f"{'evals/s':>9}  note")
        for n in args.sizes:
            img = make_image(n, rng)
            # The module copies the image transposed: its Nx is the image's row count.
            buf = np.ascontiguousarray(img.T, dtype=np.float64)
            radius = math.sqrt(n * n + n * n) / 2
            nr = 2 * math.floor(radius) + 1
            for nt in args.nts:
                # The module takes its float arguments in single precision; so does every
                # implementation here, so that all of them score the same grid.
                f32 = lambda v: float(np.float32(v))  # noqa: E731
                grid = (f32(-radius), f32(radius), nr, 0.0, f32(math.pi * (nt - 1) / nt), nt, 1.0)
                evals = n * n * nt
                ref = None
                for threads in thread_counts:
                    kern.kernel_set_threads(threads)
                    impls = [("kernel", lambda g=grid: native(
                        kern, "kernel_score_map", "kernel_free", buf, n, n, g))]
                    if HoughTransform is not None:
                        ht = HoughTransform(img, 1.0)
                        impls.append(("module", lambda g=grid, ht=ht: ht.score_map(*g)))
                    for name, fn in (("yardstick", lambda g: native(
                            yard, "yardstick_score_map", "yardstick_free", buf, n, n, g)),
                                     ("numpy", lambda g: numpy_score_map(buf, n, n, g))):
                        if name == "numpy" and threads != 1:
                            continue
                        nt_s = nt
                        while n * n * nt_s > SAMPLE_LIMIT[name] and nt_s > 4:
                            nt_s //= 2
                        g = grid[:5] + (nt_s, 1.0)
                        note = "" if nt_s == nt else f"sampled: {nt_s} thetas"
                        impls.append((name, lambda g=g, f=fn: f(g), n * n * nt_s, note))
                    for item in impls:
                        name, fn = item[0], item[1]
                        ev = item[2] if len(item) > 2 else evals
                        note = item[3] if len(item) > 3 else ""
                        reps = args.repeat if name in ("kernel", "module") else 1
                        sec, out = timed(fn, reps)
                        if name == "kernel" and ref is None:
                            ref = out
                        elif name in ("module", "yardstick") and not note:
                            note = "same map" if np.allclose(out, ref, rtol=1e-9,
                                                             atol=1e-9) else "MAP DIFFERS"
                        rate = ev / sec
                        rows.append((n, nt, threads, name, rate))
                        print(f"{n:>4}x{n:<4} {nt:>4} {nr:>5} {threads:>3} {name:>9} "
                              f"{sec:>8.3f} {rate:>9.3g}  {note}", flush=True)
        kern.kernel_set_threads(ncores)

    rate = {(n, nt, t, name): r for n, nt, t, name, r in rows}
    print("\nratios (band evaluations per second)")
    print(f"{'image':>9} {'nt':>4} {'kernel 1thr':>11} {'kernel all':>11} {'1->all':>7} "
          f"{'kernel/yard 1thr':>16} {'kernel/yard all':>15} {'kernel/numpy':>12}")
    for n in args.sizes:
        for nt in args.nts:
            k1 = rate[(n, nt, 1, "kernel")]
            ka = rate[(n, nt, thread_counts[-1], "kernel")]
            y1 = rate[(n, nt, 1, "yardstick")]
            ya = rate[(n, nt, thread_counts[-1], "yardstick")]
            npy = rate[(n, nt, 1, "numpy")]
            print(f"{n:>4}x{n:<4} {nt:>4} {k1:>11.3g} {ka:>11.3g} {ka / k1:>6.2f}x "
                  f"{k1 / y1:>15.1f}x {ka / ya:>14.1f}x {k1 / npy:>11.1f}x")
    print(f"\nall = {thread_counts[-1]} threads; compiler flags: {' '.join(FLAGS[:4])}")


if __name__ == "__main__":
    sys.exit(main())
