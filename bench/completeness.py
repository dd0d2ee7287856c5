"""Completeness, false detections, accuracy and speed of find_streaks on synthetic skies.

Each test image is Gaussian noise (sigma 1) on a sky level, with stars (one per 6000 pixels,
peaks 3 to 3000 sigma) and, except for the false-detection run, one streak on a random line with
a random length from 50 pixels to the whole chord of the line. The streak's brightness is set
from its integrated S/N: total streak signal / (sigma * sqrt(number of pixels in the band of
half-width 2 along the line inside the image)), the quantity that HoughTransform.snr measures.

Printed per S/N: completeness (a detection within 2 degrees and 4 pixels of the true line,
overlapping the true segment), median end-point error (pixels; both ends pooled), median
relative error of the signal per length (against the part of the streak's profile inside the
band), and the false detections per image on streak-free images; then the run time on a 2048 x
2048 image with two streaks.

Usage: python bench/completeness.py [--size 1024] [--images 20] [--empty 30] [--repeats 5]
                                    [--timing-only]
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np
from scipy.special import erf

from kestrova import find_streaks
from kestrova.hough import HoughTransform
from kestrova.lines import across, to_frame
from kestrova.synthetic import TrueStreak, end_errors, random_streak, synthetic_sky

WIDTH = 2.0
PSF = 1.0


def band_pixels(shape, streak):
    r, theta = streak.line(shape)
    return int(HoughTransform(np.zeros(shape), 1.0).mask(r, theta, WIDTH).sum())


def with_snr(shape, streak, snr):
    """The streak rescaled to integrated signal-to-noise ratio `snr` (noise 1)."""
    flux_per_length = snr * np.sqrt(band_pixels(shape, streak)) / streak.length
    return TrueStreak(streak.x0, streak.y0, streak.x1, streak.y1, flux_per_length, PSF)


def match(catalog, truth, shape):
    """The detection that lies on the true streak, or None."""
    _, t_true = truth.line(shape)
    for s in catalog:
        if abs(np.sin(s.theta - t_true)) > np.sin(np.radians(2.0)):
            continue
        for x, y in ((truth.x0, truth.y0), (truth.x1, truth.y1),
                     (0.5 * (truth.x0 + truth.x1), 0.5 * (truth.y0 + truth.y1))):
            if abs(across(s.r, s.theta, *to_frame(shape, x, y))) < 4.0 and _overlaps(s, truth):
                return s
    return None


def _overlaps(s, truth):
    u = np.array([np.cos(s.theta), np.sin(s.theta)])
    a, b = sorted((u @ (truth.x0, truth.y0), u @ (truth.x1, truth.y1)))
    c, d = sorted((u @ s.start, u @ s.end))
    return min(b, d) - max(a, c) > 0.0


def run_snr(size, snr, n_images, seed):
    rng = np.random.default_rng(seed)
    found, ends, flux, times = 0, [], [], []
    capture = erf(WIDTH / (np.sqrt(2.0) * PSF))
    for k in range(n_images):
        shape = (size, size)
        truth = with_snr(shape, random_streak(shape, rng, psf_sigma=PSF), snr)
        image, _ = synthetic_sky(shape, [truth], seed=rng.integers(1 << 31))
        start = time.perf_counter()
        catalog = find_streaks(image)
        times.append(time.perf_counter() - start)
        s = match(catalog, truth, shape)
        if s is not None:
            found += 1
            ends.extend(end_errors(s, truth))
            flux.append(s.flux_per_length / (truth.flux_per_length * capture) - 1.0)
    return found / n_images, ends, flux, times


def run_empty(size, n_images, seed):
    rng = np.random.default_rng(seed)
    counts = []
    for _ in range(n_images):
        image, _ = synthetic_sky((size, size), [], seed=rng.integers(1 << 31))
        counts.append(len(find_streaks(image)))
    return np.mean(counts), counts


def run_timing(repeats=5):
    rng = np.random.default_rng(11)
    shape = (2048, 2048)
    streaks = [with_snr(shape, random_streak(shape, rng, min_length=600.0), 25.0)
               for _ in range(2)]
    image, _ = synthetic_sky(shape, streaks, seed=12)
    empty, _ = synthetic_sky(shape, [], seed=13)
    out = {}
    for name, img in (("2 streaks", image), ("no streak", empty)):
        best, found = np.inf, 0
        for _ in range(repeats):
            start = time.perf_counter()
            found = len(find_streaks(img))
            best = min(best, time.perf_counter() - start)
        out[name] = (best, found)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--images", type=int, default=20, help="images per S/N")
    parser.add_argument("--empty", type=int, default=30, help="streak-free images")
    parser.add_argument("--snr", type=float, nargs="*", default=[5, 7, 10, 15, 20, 40])
    parser.add_argument("--repeats", type=int, default=5, help="timing runs (best is shown)")
    parser.add_argument("--timing-only", action="store_true",
                        help="only time the 2048 x 2048 images")
    args = parser.parse_args()
    if args.timing_only:
        report_timing(args.repeats)
        return
    print(f"{args.size} x {args.size} images, {args.images} per S/N, band half-width {WIDTH}, "
          f"streak PSF sigma {PSF}, default min_snr")
    print(f"{'S/N':>5} {'complete':>9} {'end err (px)':>13} {'flux err':>9} "
          f"{'|flux err|':>10} {'time (s)':>9}")
    for i, snr in enumerate(args.snr):
        comp, ends, flux, times = run_snr(args.size, snr, args.images, seed=100 + i)
        end = f"{np.median(ends):.2f}" if ends else "-"
        fl = f"{np.median(flux):+.3f}" if flux else "-"
        afl = f"{np.median(np.abs(flux)):.3f}" if flux else "-"
        print(f"{snr:5.0f} {comp:9.0%} {end:>13} {fl:>9} {afl:>10} {np.median(times):9.2f}",
              flush=True)
    rate, counts = run_empty(args.size, args.empty, seed=7)
    print(f"false detections per streak-free image: {rate:.3f} "
          f"({sum(counts)} in {len(counts)} images)")
    report_timing(args.repeats)


def report_timing(repeats):
    # Other work on the machine slows every run: the load average says how busy it was.
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    for name, (seconds, found) in run_timing(repeats).items():
        print(f"2048 x 2048, {name}: {seconds:.2f} s (best of {repeats}), {found} found")
    print(f"load average before timing: {load:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
