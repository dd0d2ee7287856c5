"""Completeness for short streaks, false detections and run time, with and without the tile
search of find_streaks.

Images are Gaussian noise (sigma 1) on a sky level with stars (kestrova.synthetic). A streak of
length L and integrated signal-to-noise ratio S/N has the flux per length that gives a matched
filter over the streak that S/N: ``F sqrt(L / w) = S/N`` with ``w = 2 sqrt(pi) psf_sigma``, the
equivalent width of its Gaussian cross-section. It lies at a random angle, wholly inside the image.

A streak is found when records lying on it (both ends within 4 px of its line, direction within
3 degrees) cover half of it. Printed: completeness per image size, length and S/N; false
detections per streak-free image; the time of find_streaks and of its tile search alone.

Usage: python bench/short_streaks.py [--sizes 1024 2048] [--images 20] [--empty 100]
                                     [--no-tiles] [--timing-only] [--seed 0]
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

from catalogs import union_length
from kestrova import find_streaks
from kestrova.synthetic import TrueStreak, synthetic_sky

PSF = 1.0
LENGTHS = (50, 64, 100, 150)
SNRS = (8, 12, 16, 25)


def short_streak(shape, length, snr, rng):
    """A streak of `length` pixels wholly inside the image, at integrated S/N `snr`."""
    ny, nx = shape
    theta = rng.uniform(0.0, np.pi)
    ux, uy = np.cos(theta), np.sin(theta)
    cx = rng.uniform(abs(ux) * length / 2 + 3, nx - 4 - abs(ux) * length / 2)
    cy = rng.uniform(abs(uy) * length / 2 + 3, ny - 4 - abs(uy) * length / 2)
    flux = snr / np.sqrt(length / (2.0 * np.sqrt(np.pi) * PSF))
    h = length / 2.0
    return TrueStreak(cx - h * ux, cy - h * uy, cx + h * ux, cy + h * uy, flux, PSF)


def covered(catalog, truth):
    """Length of `truth` covered by the records lying on it."""
    a = np.array([truth.x0, truth.y0])
    u = (np.array([truth.x1, truth.y1]) - a) / truth.length
    n = np.array([-u[1], u[0]])
    spans = []
    for s in catalog:
        p, q = np.array(s.start), np.array(s.end)
        if abs((p - a) @ n) > 4.0 or abs((q - a) @ n) > 4.0:
            continue
        if abs((q - p) @ u) < np.cos(np.radians(3.0)) * np.hypot(*(q - p)):
            continue
        lo, hi = sorted(((p - a) @ u, (q - a) @ u))
        spans.append((max(lo, 0.0), min(hi, truth.length)))
    return union_length(spans)


def completeness(size, length, snr, n_images, seed, tiles):
    rng = np.random.default_rng(seed)
    found = 0
    for _ in range(n_images):
        truth = short_streak((size, size), length, snr, rng)
        image, _ = synthetic_sky((size, size), [truth], seed=rng.integers(1 << 31))
        found += covered(find_streaks(image, tiles=tiles), truth) >= 0.5 * truth.length
    return found / n_images


def false_rate(size, n_images, seed, tiles):
    rng = np.random.default_rng(seed)
    counts = [len(find_streaks(synthetic_sky((size, size), [], seed=rng.integers(1 << 31))[0],
                               tiles=tiles)) for _ in range(n_images)]
    return float(np.mean(counts)), int(sum(counts))


def timing(size, repeats):
    """Best wall-clock and process (CPU) times of find_streaks with and without tiles, and of
    the tile search alone (its maps and candidates, on one thread as find_streaks runs it), on
    an image with one long and one short streak."""
    from kestrova.detect import Detector, choose_binning
    from kestrova.finder import _Threads
    from kestrova.prepare import prepare_image
    from kestrova.tiles import TileSearch

    rng = np.random.default_rng(size)
    shape = (size, size)
    truth = [short_streak(shape, 0.6 * size, 25.0, rng), short_streak(shape, 64, 16.0, rng)]
    image, _ = synthetic_sky(shape, truth, seed=size)
    prep = prepare_image(image, None, None, box=64, clip=3.0)

    def detector():
        return Detector(prep.detect.copy(), prep.sigma, binning=choose_binning(shape), width=2.0,
                        min_snr=6.0)

    threads = _Threads()

    def search(d):
        with threads.one("blas"), threads.one("openmp"):
            TileSearch(d).candidates()

    out = []
    runs = ((lambda: None, lambda _: find_streaks(image, tiles=True)),
            (lambda: None, lambda _: find_streaks(image, tiles=False)), (detector, search))
    for setup, run in runs:
        times = []
        for _ in range(repeats):
            argument = setup()
            wall, cpu = time.perf_counter(), time.process_time()
            run(argument)
            times.append((time.perf_counter() - wall, time.process_time() - cpu))
        out.append(tuple(np.min(times, axis=0)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="*", default=[1024, 2048])
    parser.add_argument("--images", type=int, default=20, help="images per length and S/N")
    parser.add_argument("--empty", type=int, default=100, help="streak-free images per size")
    parser.add_argument("--no-tiles", action="store_true", help="find_streaks(tiles=False)")
    parser.add_argument("--timing-only", action="store_true")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    tiles = not args.no_tiles
    if not args.timing_only:
        print(f"tiles={tiles}; completeness per length (px) and integrated S/N, "
              f"{args.images} images each")
        print(f"{'size':>5} {'L':>4} " + " ".join(f"{'S/N ' + str(s):>8}" for s in SNRS))
        for size in args.sizes:
            for i, length in enumerate(LENGTHS):
                row = [completeness(size, length, snr, args.images,
                                    (args.seed, size, i, j), tiles)
                       for j, snr in enumerate(SNRS)]
                print(f"{size:5d} {length:4d} " + " ".join(f"{c:8.0%}" for c in row),
                      flush=True)
        for size in args.sizes if args.empty else ():
            rate, total = false_rate(size, args.empty, (args.seed, size, 99), tiles)
            print(f"{size} x {size}: false detections per streak-free image {rate:.3f} "
                  f"({total} in {args.empty})", flush=True)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"time in s, wall clock / process (best of {args.repeats}; load average {load:.1f} "
          f"on {os.cpu_count()} cores)")
    print(f"{'size':>5} {'tiles':>13} {'no tiles':>13} {'tile search':>13}")
    for size in (512, 1024, 2048, 4096):
        row = timing(size, args.repeats if size < 4096 else 2)
        print(f"{size:5d} " + " ".join(f"{w:6.3f}/{c:6.3f}" for w, c in row), flush=True)


if __name__ == "__main__":
    main()
