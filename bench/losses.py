"""Where the finder loses the benchmark's trails: each trail at S/N >= 10 that it misses is
measured and verified at its true line, on the image prepared as the finder prepares it and
with nothing blanked, and the verdicts are counted by kind of trail.

    python bench/losses.py [--quick] [--seed N[,N...]] [--only TYPE,...] [--size N] [--list]

A missed trail that "passes" there was never offered by the search: its line stood out neither
in the coarse map nor in a tile. One "cut" passes but is measured over less than half of its
length there (the measurement ends it at a dip or a gap). One refused there ("noise",
"broad", ...) is refused by the verification whatever the search offers, and "unmeasured" is
a line on which the measurement finds no streak of the minimum length. The kinds are "short"
(under 200 px), "wide" (FWHM over 5 px) and "other". The images are those of
bench/catalogs.py with the same options.

The list (``--list``) also gives each trail's S/N in the search's coarse map of whole lines at
its true line: a trail that passes but stands below the map's seed threshold (0.85 ``min_snr``)
there was lost to the map, not to the examination of its peaks. For a trail that reached the
verification's last test, it gives its significance against the lines parallel to it ("sig"),
which a trail refused as "noise" has below ``min_snr``.
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from collections import Counter
from functools import partial
from typing import NamedTuple

from catalogs import (Plan, _call, chosen_plan, chosen_types, plan_arguments, plan_fields,
                      prepared, record_ends, score_field, span_on, true_line)

import numpy as np

import kestrova
from kestrova.detect import SEED_FRACTION, Detector, choose_binning
from kestrova.finder import _verified
from kestrova.measure import Measurer
from kestrova.refine import Line
from kestrova.verify import Verifier

KINDS = ("short", "wide", "other")
SHORT = 200.0
WIDE = 5.0
# The finder's default threshold, at which the lines are measured and verified.
MIN_SNR = 6.0


class Loss(NamedTuple):
    """A missed trail: its field type, image index, truth, verdict at its true line, its
    significance against the parallel lines there (0 when a test before refused it) and its
    coarse-map S/N there."""

    field_type: str
    image: int
    trail: object
    verdict: str
    significance: float
    coarse: float


def kind(trail) -> str:
    """The kind of a trail: "wide" over `WIDE` px FWHM, else "short" under `SHORT` px long, else
    "other".

    >>> from types import SimpleNamespace as T
    >>> [kind(T(fwhm=f, length=n)) for f, n in ((8.0, 100.0), (3.0, 100.0), (3.0, 900.0))]
    ['wide', 'short', 'other']
    """
    if trail.fwhm > WIDE:
        return "wide"
    return "short" if trail.length < SHORT else "other"


def verdicts_at_truth(prep, trails, shape, *, width=2.0, min_length=20.0, min_snr=MIN_SNR):
    """The finder's verdict on each of `trails` measured at its true line of the prepared image
    `prep` (nothing blanked), with the finder's default settings: "passes", "cut" (passes, but
    the segment measured covers less than half of the trail), the verification's reason, or
    "unmeasured"; and its significance against the parallel lines (0 when not reached)."""
    measurer = Measurer(prep.data, prep.sigma, width=width, min_length=min_length)
    verifier = Verifier(prep.data, prep.excluded, prep.sigma, min_snr=min_snr, width=width,
                        psf_fwhm=prep.psf_fwhm, stars=prep.star_points())
    measure = partial(measurer.measure, found=[], ramp=False)
    out = []
    for trail in trails:
        line = Line(*true_line(shape, trail), min_snr)
        measured = measure(line)
        if measured is None:
            out.append(("unmeasured", 0.0))
            continue
        streak, _, verdict = _verified(measured, line, measure, verifier)
        reason = verdict.reason or "passes"
        span = span_on(*record_ends(streak), trail)
        if reason == "passes" and (span is None or span[1] - span[0] < 0.5 * trail.length):
            reason = "cut"
        out.append((reason, verdict.significance))
    return out


def coarse_map(prep, shape, *, width=2.0):
    """The finder's coarse map of the prepared image `prep` of an image of `shape`."""
    return Detector(prep.detect.copy(), prep.sigma, binning=choose_binning(shape), width=width,
                    min_snr=MIN_SNR).coarse()


def coarse_snr(smap, shape, trail) -> float:
    """The highest S/N of the coarse map `smap` within 3 cells in r and 2 in theta of `trail`'s
    true line."""
    r, theta = true_line(shape, trail)
    l = int(np.argmin(np.abs((smap.theta - theta + np.pi / 2) % np.pi - np.pi / 2)))
    k = int(np.argmin(np.abs(smap.r_full(smap.r, smap.theta[l]) - r)))
    return float(smap.snr[max(k - 3, 0):k + 4, max(l - 2, 0):l + 3].max())


def losses(plan: Plan, seed: int, field_types, log=None):
    """A :class:`Loss` for each trail at S/N >= 10 that the finder misses in the images of
    `plan` with trails."""
    out = []
    for name in field_types:
        for i, field_ in enumerate(plan_fields(plan, name, seed)):
            if not field_.trails:
                continue
            records, _, _ = _call(kestrova.find_streaks, field_.image, {})
            scores, _ = score_field(field_, records)
            missed = [t for t, s in zip(field_.trails, scores) if t.snr >= 10.0 and not s.found]
            if not missed:
                continue
            shape = field_.image.shape
            prep = prepared(field_.image)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                verdicts = verdicts_at_truth(prep, missed, shape)
                smap = coarse_map(prep, shape)
            out += [Loss(name, i, t, v, sig, coarse_snr(smap, shape, t))
                    for t, (v, sig) in zip(missed, verdicts)]
        if log:
            log(f"{name} done")
    return out


def report(rows) -> str:
    """The verdicts counted by kind of trail, most frequent first."""
    counts = Counter((row.verdict, kind(row.trail)) for row in rows)
    verdicts = Counter(row.verdict for row in rows)
    lines = [f"Missed trails at S/N >= 10: {len(rows)}, by their verdict at the true line",
             f"{'verdict':<15}" + "".join(f"{k:>7}" for k in KINDS) + f"{'all':>7}"]
    for verdict, n in verdicts.most_common():
        lines.append(f"{verdict:<15}" + "".join(f"{counts[verdict, k]:7d}" for k in KINDS)
                     + f"{n:7d}")
    threshold = SEED_FRACTION * MIN_SNR
    low = Counter(kind(row.trail) for row in rows
                  if row.verdict == "passes" and row.coarse < threshold)
    lines.append(f"{'passes, coarse':<15}" + "".join(f"{low[k]:7d}" for k in KINDS)
                 + f"{sum(low.values()):7d}   (below {threshold:.1f} in the coarse map)")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    plan_arguments(parser)
    parser.add_argument("--list", action="store_true", help="also list each missed trail")
    args = parser.parse_args(argv)
    plan = chosen_plan(args)
    names = chosen_types(args, parser)
    start = time.perf_counter()
    rows = []
    for seed in args.seed:
        found = losses(plan, seed, names,
                       log=lambda msg: print(f"[{time.perf_counter() - start:6.0f} s] seed "
                                             f"{seed}: {msg}", file=sys.stderr, flush=True))
        if args.list:
            for row in found:
                t = row.trail
                print(f"{row.field_type:<10} seed {seed} image {row.image:2d}  S/N {t.snr:5.1f}  "
                      f"{t.length:5.0f} px  FWHM {t.fwhm:4.1f}  coarse {row.coarse:5.1f}  "
                      f"sig {row.significance:5.1f}  {row.verdict}")
        rows += found
    print(report(rows))


if __name__ == "__main__":
    main()
