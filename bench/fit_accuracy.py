"""Accuracy of HoughTransform.fit on synthetic streaks.

Usage: python3 bench/fit_accuracy.py [--trials N] [--seed S]

Each trial draws a 512 x 512 image of Gaussian noise (sigma = 1) holding one straight streak
of known end points A and B and known signal per unit length S, locates the streak's line with
score_map (a coarse map over every line through the image, then a fine map around its peak),
fits it with fit(r, theta, w=2) and compares the fitted start p[2], end p[3] and slope p[1] with
the truth. A quarter of the streaks are short ones placed near a corner of the image, where the
line's foot point tends to lie outside the image.

Definitions
-----------
SNR per unit length
    S / sigma: the streak's flux per unit of its length over the noise of one pixel.
Rendering
    The segment A-B is sampled every 0.05 px and each sample's flux (S * 0.05) is shared
    bilinearly among its four neighbouring pixels, so the image holds exactly S per unit length,
    about one pixel wide.
Along-line coordinate
    fit works in the coordinate of dm: for a line (r, theta), with c = cos(theta) and
    s = sin(theta), a point (x, y) of the centred pixel frame (x = column - (nx - 1) / 2,
    y = row - (ny - 1) / 2) lies at m = c * x + s * y. The line's theta may point from A to B
    or from B to A (theta and theta + pi are the same line), so the true start is
    min(m(A), m(B)) and the true end max(m(A), m(B)), both taken on the line that fit was given.
Slope
    p[1] is the rise of the running sum of the band's pixel values per unit of along-line
    coordinate. One unit along a line that makes the angle d with the streak covers 1 / |cos d|
    units of streak, so the true slope is S / |cos d| (S itself on the true line), provided the
    band of half-width w holds the streak's whole width. The relative error is
    |p[1] - S / |cos d|| / (S / |cos d|).
Located
    The number of trials whose located line passes within 2 px of both true end points; the
    medians are over all trials, missed ones included.
"""

import argparse
import math
import time

import numpy as np

from kestrova.hough import HoughTransform

SHAPE = (512, 512)  # (ny, nx)
SIGMA = 1.0
LEVELS = (0.5, 1.0, 2.0, 3.0, 4.0, 5.0)
WIDTH = 2.0  # half-width of the band that fit sums over, in pixels
MARGIN = 2.0  # end points stay this far inside the outermost pixel centres


def frame_limits():
    ny, nx = SHAPE
    return (nx - 1) / 2 - MARGIN, (ny - 1) / 2 - MARGIN


def inside(point):
    hx, hy = frame_limits()
    return abs(point[0]) <= hx and abs(point[1]) <= hy


def draw_segment(rng, near_corner):
    """End points A, B in the centred frame, both inside the image."""
    hx, hy = frame_limits()
    while True:
        angle = rng.uniform(0.0, 2.0 * math.pi)
        if near_corner:
            length = rng.uniform(30.0, 80.0)
            sx, sy = rng.choice([-1.0, 1.0], size=2)
            inset = rng.uniform(15.0, 60.0, size=2)
            mid = np.array([sx * (hx - inset[0]), sy * (hy - inset[1])])
        else:
            length = rng.uniform(80.0, 350.0)
            mid = np.array([rng.uniform(-0.7 * hx, 0.7 * hx), rng.uniform(-0.7 * hy, 0.7 * hy)])
        half = 0.5 * length * np.array([math.cos(angle), math.sin(angle)])
        a, b = mid - half, mid + half
        if inside(a) and inside(b):
            return a, b


def render(a, b, signal, rng):
    """Noise plus the segment a-b carrying `signal` per unit length, shared bilinearly."""
    ny, nx = SHAPE
    image = rng.normal(0.0, SIGMA, SHAPE)
    length = float(np.hypot(*(b - a)))
    step = 0.05
    count = max(int(math.ceil(length / step)), 1)
    t = (np.arange(count) + 0.5) / count
    col = a[0] + t * (b[0] - a[0]) + (nx - 1) / 2
    row = a[1] + t * (b[1] - a[1]) + (ny - 1) / 2
    flux = signal * length / count
    c0, r0 = np.floor(col).astype(int), np.floor(row).astype(int)
    fc, fr = col - c0, row - r0
    for dr, dc, weight in (
        (0, 0, (1 - fr) * (1 - fc)),
        (0, 1, (1 - fr) * fc),
        (1, 0, fr * (1 - fc)),
        (1, 1, fr * fc),
    ):
        np.add.at(image, (r0 + dr, c0 + dc), flux * weight)
    return image


def true_line(a, b):
    """(r, theta) of the line through a and b, theta in [0, pi)."""
    theta = math.atan2(b[1] - a[1], b[0] - a[0]) % math.pi
    r = math.sin(theta) * a[0] - math.cos(theta) * a[1]
    return r, theta


def locate(ht):
    """(r, theta) of the highest score: a coarse map, then a fine one around its peak.

    Returns None when the score map is all zeros (a build without the accumulator)."""
    radius = float(ht.radius)
    nr, nt = int(2 * radius) + 1, 360
    dt = math.pi / nt
    coarse = ht.score_map(-radius, radius, nr, 0.0, math.pi - dt, nt)
    if not np.any(coarse):
        return None
    k, l = np.unravel_index(np.argmax(coarse), coarse.shape)
    dr = 2 * radius / (nr - 1)
    r, theta = -radius + k * dr, l * dt
    # The fine map's band keeps a half-width of about one pixel: width is in r steps.
    n = 31
    r0, r1, t0, t1 = r - 1.5 * dr, r + 1.5 * dr, theta - 1.5 * dt, theta + 1.5 * dt
    fine = ht.score_map(r0, r1, n, t0, t1, n, (n - 1) / (r1 - r0))
    k, l = np.unravel_index(np.argmax(fine), fine.shape)
    return r0 + k * (r1 - r0) / (n - 1), t0 + l * (t1 - t0) / (n - 1)


def trial(rng, snr, near_corner):
    a, b = draw_segment(rng, near_corner)
    signal = snr * SIGMA
    ht = HoughTransform(render(a, b, signal, rng), SIGMA)
    found = locate(ht)
    used_map = found is not None
    r, theta = found if used_map else true_line(a, b)

    p = ht.fit(r, theta, WIDTH)
    c, s = math.cos(theta), math.sin(theta)
    ma, mb = c * a[0] + s * a[1], c * b[0] + s * b[1]
    start, end = min(ma, mb), max(ma, mb)
    streak = (b - a) / np.hypot(*(b - a))
    slope = signal / abs(c * streak[0] + s * streak[1])
    across = [abs(s * q[0] - c * q[1] - r) for q in (a, b)]
    return {
        "start": abs(p[2] - start),
        "end": abs(p[3] - end),
        "slope": abs(p[1] - slope) / slope,
        "located": max(across) < 2.0,
        "used_map": used_map,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trials", type=int, default=20, help="streaks per SNR level")
    parser.add_argument("--seed", type=int, default=20240605)
    args = parser.parse_args()

    rng = np.random.default_rng(args.seed)
    near = max(args.trials // 4, 1)
    began = time.perf_counter()
    rows, sources = [], set()
    for snr in LEVELS:
        results = [trial(rng, snr, i < near) for i in range(args.trials)]
        sources.update(res["used_map"] for res in results)
        rows.append((snr, results))

    how = {True: "score_map (coarse + fine map)", False: "the true line (score_map is all zeros)"}
    print(f"fit accuracy: {SHAPE[0]} x {SHAPE[1]} images, sigma = {SIGMA}, w = {WIDTH}, "
          f"{args.trials} streaks per level ({near} near a corner), seed {args.seed}")
    print("line located with " + " and ".join(how[u] for u in sorted(sources, reverse=True)))
    print()
    print(f"{'SNR/len':>8} {'located':>8} {'|start| px':>11} {'|end| px':>9} {'slope rel':>10}")
    for snr, results in rows:
        med = {key: float(np.median([res[key] for res in results]))
               for key in ("start", "end", "slope")}
        located = sum(res["located"] for res in results)
        print(f"{snr:8.1f} {located:>5}/{len(results):<2} {med['start']:11.2f} "
              f"{med['end']:9.2f} {med['slope']:10.3f}")
    print()
    print(f"({time.perf_counter() - began:.1f} s)")


if __name__ == "__main__":
    main()
