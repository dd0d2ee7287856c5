"""Score a streak finder on the benchmark skies of bench/sky.py and print plain-text tables.

    python bench/catalogs.py [--quick] [--seed N[,N...]] [--only TYPE,...] [--size N]
                             [--set KEY=VALUE ...] [--no-timing | --timing-only]

Every field type gets trail-free images (for the false-detection rate) and images with one or
two trails, whose integrated S/N (bench/trails.py) is spread evenly over the bins 3-5, 5-7,
7-10, 10-20 and 20-50. A record lies on a trail when both its ends are within the trail's
tolerance (3 px + half its FWHM) of the trail's line and its direction is within 3 degrees; a
trail is found when the union of its records' spans covers half of it. Printed:

- completeness per S/N bin, with records per found trail, end error (per trail the worse of its
  two ends: the distance to the nearest record end) and flux-per-length bias (found trails with
  one record: measured / true - 1, the truth being the total across the profile over the
  record's span), and for the default finder the flux bias of its estimator measured at each
  trail's true line, ends and width, found or not ("forced"): where "flux bias" is the higher,
  the difference is selection, the faint trails found being those that noise lifted; "spread"
  is the robust spread (1.4826 times the median absolute deviation) of the found trails' flux
  bias, the flux's precision, which a trail's integrated S/N bounds at 1 / (S/N);
- false detections (records on no trail) per trail-free image per field type, and per image
  with trails, with what they lie on (the artefact kind that covers most of the record);
- what the verification refused (the finder's lines measured and not reported, from
  ``catalog.refused``): per reason, how many lay on a trail and how many elsewhere, and on what;
- the median time of the finder alone on realistic ("mixed") frames of 512 to 4096 pixels;
- each target with PASS or FAIL.

Several seeds (``--seed 0,1,2``) pool their images into one set of tables: one seed of the quick
plan holds some 60 trails at S/N >= 10, whose median flux bias scatters by about 2 % from seed to
seed, too much to judge a 3 % target on. The timing runs use the first seed.

The quick plan's images are 768 px: the finder's coarse map reduces them by 2, a 2048 x 2048
frame by 6, and a trail is shorter against its line there. ``--size 2048`` scores the finder at
the size of the timing target, where it finds fewer trails.

``--set`` passes keyword arguments to the finder (values read as Python literals), so that
settings can be compared; :func:`run` takes any finder callable and its keyword arguments.
"""

from __future__ import annotations

import argparse
import ast
import math
import os
import sys
import time
import warnings
from collections import Counter
from dataclasses import dataclass, field, replace

import numpy as np

from sky import FIELD_TYPES, make_field

__all__ = ["SNR_BINS", "Plan", "QUICK", "FULL", "TrailScore", "FalseRecord", "Refused",
           "Results", "record_ends", "span_on", "forced_flux_bias", "union_length",
           "score_field", "score_refused", "plan_fields", "run", "report", "main"]

SNR_BINS = ((3.0, 5.0), (5.0, 7.0), (7.0, 10.0), (10.0, 20.0), (20.0, 50.0))
TIMING_SIZES = (512, 1024, 2048, 4096)
MAX_ANGLE = math.radians(3.0)


@dataclass(frozen=True)
class Plan:
    """How much to run.

    Attributes
    ----------
    size : int
        Side of the scored images (a third of them are 3/4 as high, a third 3/4 as wide).
    empty, with_trails : int
        Trail-free images and images with trails, per field type.
    repeats : int
        Timed runs per frame size (4096 x 4096: at most 3).
    """

    size: int
    empty: int
    with_trails: int
    repeats: int


QUICK = Plan(size=768, empty=6, with_trails=10, repeats=3)
FULL = Plan(size=1024, empty=12, with_trails=20, repeats=5)


@dataclass(frozen=True)
class TrailScore:
    """How the finder did on one trail."""

    field_type: str
    snr: float
    fwhm: float
    found: bool
    records: int
    end_error: float | None
    flux_bias: float | None
    forced_bias: float | None = None


@dataclass(frozen=True)
class FalseRecord:
    """A record that lies on no trail, and what it lies on instead."""

    field_type: str
    label: str
    trail_free: bool


@dataclass(frozen=True)
class Refused:
    """A line that the finder measured and refused, why, and what it lies on ("trail" for
    one of the image's trails)."""

    field_type: str
    reason: str
    label: str


@dataclass
class Results:
    """Everything one run gathered."""

    trails: list = field(default_factory=list)
    false: list = field(default_factory=list)
    refused: list = field(default_factory=list)
    excluded: list = field(default_factory=list)      # (field type, share of the image)
    images: Counter = field(default_factory=Counter)   # (field type, trail-free) -> count
    errors: list = field(default_factory=list)
    timings: dict = field(default_factory=dict)       # size -> seconds per run
    finder_kwargs: dict = field(default_factory=dict)
    plan: Plan | None = None
    load: float = float("nan")
    seeds: list = field(default_factory=list)

    def add(self, other: Results) -> None:
        """Pool the images of `other`, a run of the same plan with another seed."""
        self.trails += other.trails
        self.false += other.false
        self.refused += other.refused
        self.excluded += other.excluded
        self.images.update(other.images)
        self.errors += other.errors
        self.seeds += other.seeds


# ---------------------------------------------------------------------------------------------
# Matching


def record_ends(record):
    """(start, end) of a record as two (x, y) arrays.

    Examples
    --------
    >>> from types import SimpleNamespace
    >>> record_ends(SimpleNamespace(x_start=1, y_start=2, x_end=3, y_end=4))[1].tolist()
    [3.0, 4.0]
    """
    return (np.array([record.x_start, record.y_start], float),
            np.array([record.x_end, record.y_end], float))


def span_on(p, q, trail):
    """The stretch (a, b) of `trail`, in distances from its start, that the record from `p` to
    `q` covers; None when the record does not lie on the trail (off its line, or on its line
    beyond its ends).

    Examples
    --------
    >>> from types import SimpleNamespace as NS
    >>> t = NS(x0=0.0, y0=0.0, x1=100.0, y1=0.0, tol=4.0)
    >>> span_on(np.array([10.0, 1.0]), np.array([120.0, -1.0]), t)
    (10.0, 100.0)
    >>> span_on(np.array([10.0, 0.0]), np.array([60.0, 10.0]), t) is None   # 11 degrees off
    True
    >>> span_on(np.array([110.0, 0.0]), np.array([150.0, 0.0]), t) is None  # beyond its end
    True
    """
    a = np.array([trail.x0, trail.y0])
    d = np.array([trail.x1, trail.y1]) - a
    length = float(np.hypot(*d))
    u = d / length
    n = np.array([-u[1], u[0]])
    if abs(np.dot(p - a, n)) > trail.tol or abs(np.dot(q - a, n)) > trail.tol:
        return None
    v = (q - p) / max(float(np.hypot(*(q - p))), 1e-9)
    if abs(np.dot(v, u)) < math.cos(MAX_ANGLE):
        return None
    s = sorted((float(np.dot(p - a, u)), float(np.dot(q - a, u))))
    lo, hi = max(s[0], 0.0), min(s[1], length)
    return (lo, hi) if hi > lo else None


def union_length(spans):
    """Total length covered by the (start, end) `spans`, overlaps counted once."""
    total, end = 0.0, -np.inf
    for a, b in sorted(spans):
        if b > end:
            total += b - max(a, end)
            end = b
    return total


def _end_error(trail, ends):
    """The worse of the trail's two ends: its distance to the nearest record end."""
    return max(min(float(np.hypot(e[0] - x, e[1] - y)) for e in ends)
               for x, y in ((trail.x0, trail.y0), (trail.x1, trail.y1)))


def score_field(field_, records):
    """Match the finder's `records` on one :class:`sky.Field` to its trails.

    Returns
    -------
    trails : list of TrailScore
    false : list of FalseRecord
    """
    used, scores = set(), []
    for trail in field_.trails:
        spans, ends, mine = [], [], []
        for i, rec in enumerate(records):
            p, q = record_ends(rec)
            span = span_on(p, q, trail)
            if span is None:
                continue
            used.add(i)
            spans.append(span)
            ends += [p, q]
            mine.append((rec, span))
        found = union_length(spans) >= 0.5 * trail.length
        error = _end_error(trail, ends) if found else None
        bias = None
        if found and len(mine) == 1:
            rec, (a, b) = mine[0]
            bias = float(rec.flux_per_length) / trail.flux_between(a, b) - 1.0
        scores.append(TrailScore(field_.field_type, trail.snr, trail.fwhm, found, len(mine),
                                 error, bias))
    false = []
    if len(used) < len(records):
        index = field_.index()
        for i, rec in enumerate(records):
            if i not in used:
                p, q = record_ends(rec)
                false.append(FalseRecord(field_.field_type, index.label(*p, *q),
                                         not field_.trails))
    return scores, false


def score_refused(field_, refused):
    """What each of the finder's `refused` lines (``catalog.refused``) on one
    :class:`sky.Field` lies on: a :class:`Refused` each."""
    out, index = [], None
    for refusal in refused:
        p, q = record_ends(refusal.streak)
        if any(span_on(p, q, trail) for trail in field_.trails):
            label = "trail"
        else:
            if index is None:
                index = field_.index()
            label = index.label(*p, *q)
        out.append(Refused(field_.field_type, refusal.reason, label))
    return out


# ---------------------------------------------------------------------------------------------
# Running


def _shape(size, i):
    return ((size, size), (size * 3 // 4, size), (size, size * 3 // 4))[i % 3]


def _snrs(rng):
    """One or two trails, each in an S/N bin chosen evenly, log-uniform within it."""
    out = []
    for _ in range(1 if rng.random() < 0.7 else 2):
        lo, hi = SNR_BINS[rng.integers(len(SNR_BINS))]
        out.append(float(np.exp(rng.uniform(np.log(lo), np.log(hi)))))
    return out


def prepared(image, background_box=64):
    """`image` prepared as kestrova's finder prepares it with its defaults."""
    from kestrova.prepare import prepare_image
    from kestrova.settings import SEARCH_CLIP

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return prepare_image(image, box=background_box, clip=SEARCH_CLIP)


def true_line(shape, trail):
    """The line (r, theta) of `trail` in kestrova's frame of an image of `shape`."""
    from kestrova.lines import canonical, line_through

    return canonical(*line_through(shape, trail.x0, trail.y0, trail.x1, trail.y1))


def forced_flux_bias(field_, background_box=64):
    """Per trail of `field_`, kestrova's flux per length measured at the trail's true line,
    ends and FWHM on the image prepared as the finder prepares it, over the truth, less 1."""
    from kestrova.lines import along, to_frame
    from kestrova.ridge import flux_per_length

    shape = field_.image.shape
    prep = prepared(field_.image, background_box)
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for t in field_.trails:
            r, theta = true_line(shape, t)
            a, b = sorted(along(theta, *to_frame(shape, x, y)) for x, y in ((t.x0, t.y0),
                                                                            (t.x1, t.y1)))
            flux, _ = flux_per_length(prep.data, prep.excluded, prep.sigma, r, theta, a, b,
                                      t.fwhm)
            out.append(flux / t.flux_per_length - 1.0)
    return out


def _call(finder, image, kwargs):
    """The finder's records on `image`, the lines it refused and the share of the image it
    excluded from the search (when it tells them)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        found = finder(image, **kwargs)
        excluded = getattr(found, "excluded", None)
        share = None if excluded is None else float(np.mean(excluded))
        return list(found), tuple(getattr(found, "refused", ())), share


def plan_fields(plan: Plan, field_type: str, seed: int = 0):
    """The images of `plan` of one field type, in order: first the trail-free ones, then those
    with trails. The same images whichever other types run.

    Examples
    --------
    >>> tiny = Plan(size=128, empty=1, with_trails=1, repeats=1)
    >>> [len(f.trails) > 0 for f in plan_fields(tiny, "sparse")]
    [False, True]
    """
    k = list(FIELD_TYPES).index(field_type)
    for i in range(plan.empty + plan.with_trails):
        ss = np.random.SeedSequence((seed, k, i))
        snrs = [] if i < plan.empty else _snrs(np.random.default_rng(ss.spawn(1)[0]))
        yield make_field(field_type, _shape(plan.size, i), snrs=snrs, seed=ss)


def run(plan: Plan = QUICK, *, seed: int = 0, field_types=None, finder=None,
        finder_kwargs=None, timing: bool = True, log=None) -> Results:
    """Generate the images of `plan`, run `finder` (default ``kestrova.find_streaks``) with
    `finder_kwargs` on each and score it.

    Examples
    --------
    >>> tiny = Plan(size=256, empty=1, with_trails=1, repeats=1)
    >>> res = run(tiny, field_types=["sparse"], finder=lambda image: [], timing=False)
    >>> res.images[("sparse", True)], len(res.false), [t.found for t in res.trails][:1]
    (1, 0, [False])
    """
    forced = finder is None
    if finder is None:
        from kestrova import find_streaks as finder
    kwargs = dict(finder_kwargs or {})
    results = Results(finder_kwargs=kwargs, plan=plan, seeds=[seed])
    names = list(FIELD_TYPES if field_types is None else field_types)
    for name in names:
        for i, field_ in enumerate(plan_fields(plan, name, seed)):
            trail_free = i < plan.empty
            try:
                records, refused, excluded = _call(finder, field_.image, kwargs)
            except Exception as exc:  # reported with the tables; the next image is scored
                results.errors.append(f"{name} #{i}: {type(exc).__name__}: {exc}")
                continue
            results.images[(name, trail_free)] += 1
            scores, false = score_field(field_, records)
            if forced and field_.trails:
                box = kwargs.get("background_box", 64)
                scores = [replace(s, forced_bias=b)
                          for s, b in zip(scores, forced_flux_bias(field_, box))]
            results.trails += scores
            results.false += false
            results.refused += score_refused(field_, refused)
            if excluded is not None:
                results.excluded.append((name, excluded))
        if log:
            log(f"{name} done")
    if timing:
        results.load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
        for size in TIMING_SIZES:
            field_ = make_field("mixed", (size, size), snrs=[20.0, 10.0], seed=(seed, 99, size))
            runs = []
            for _ in range(plan.repeats if size < 4096 else min(plan.repeats, 3)):
                start = time.perf_counter()
                _call(finder, field_.image, kwargs)
                runs.append(time.perf_counter() - start)
            results.timings[size] = runs
            if log:
                log(f"timed {size} x {size}")
    return results


# ---------------------------------------------------------------------------------------------
# Tables


def _median(values):
    values = [v for v in values if v is not None]
    return float(np.median(values)) if values else None


def _spread(values):
    """Robust spread (1.4826 times the median absolute deviation) of `values` without None;
    None for fewer than 3.

    >>> round(_spread([0.0, 1.0, -1.0, None, 9.0]), 4)
    1.4826
    """
    from kestrova.stats import robust_sigma

    values = np.array([v for v in values if v is not None], float)
    return robust_sigma(values, max_samples=None) if values.size >= 3 else None


def _fmt(value, spec, missing="-"):
    return missing if value is None else format(value, spec)


def _verdict(ok):
    return "n/a " if ok is None else ("PASS" if ok else "FAIL")


def _in(score, lo, hi):
    return lo <= score.snr < hi or (hi == SNR_BINS[-1][1] and score.snr == hi)


def _trail_lines(trails):
    lines = ["Trails (integrated S/N bins)",
             f"{'S/N':>8} {'trails':>6} {'found':>6} {'complete':>9} {'rec/found':>9} "
             f"{'end err px':>10} {'flux bias':>9} {'spread':>6} {'forced':>7} "
             f"{'wide found':>10}"]
    for lo, hi in SNR_BINS + ((10.0, 50.0),):
        sel = [t for t in trails if _in(t, lo, hi)]
        found = [t for t in sel if t.found]
        wide = [t for t in sel if t.fwhm > 5.0]
        lines.append(
            f"{lo:>3.0f}-{hi:<4.0f} {len(sel):6d} {len(found):6d} "
            f"{_fmt(len(found) / len(sel) if sel else None, '9.0%'):>9} "
            f"{_fmt(np.mean([t.records for t in found]) if found else None, '9.2f'):>9} "
            f"{_fmt(_median([t.end_error for t in found]), '10.1f'):>10} "
            f"{_fmt(_median([t.flux_bias for t in found]), '+9.3f'):>9} "
            f"{_fmt(_spread([t.flux_bias for t in found]), '6.3f'):>6} "
            f"{_fmt(_median([t.forced_bias for t in sel]), '+7.3f'):>7} "
            f"{sum(t.found for t in wide):4d}/{len(wide):<5d}")
    return lines


def _false_lines(results, names):
    lines = ["Per field type: false detections (records on no trail) per trail-free image and",
             "per image with trails, completeness at S/N >= 10, the share of an image excluded",
             "from the search (mean, largest), and what the false detections lie on",
             f"{'field':<10} {'free img':>8} {'trail img':>9} {'S/N>=10':>8} {'excluded':>9}  "
             "lying on (all images)"]
    for name in names:
        per = {}
        for free in (True, False):
            n = results.images[(name, free)]
            count = sum(1 for f in results.false if f.field_type == name and f.trail_free == free)
            per[free] = count / n if n else None
        bright = [t for t in results.trails if t.field_type == name and t.snr >= 10.0]
        complete = sum(t.found for t in bright) / len(bright) if bright else None
        what = _counts(f.label for f in results.false if f.field_type == name)
        shares = [x for n, x in results.excluded if n == name]
        excluded = f"{np.mean(shares):.0%} {max(shares):.0%}" if shares else "-"
        lines.append(f"{name:<10} {_fmt(per[True], '8.2f'):>8} {_fmt(per[False], '9.2f'):>9} "
                     f"{_fmt(complete, '8.0%'):>8} {excluded:>9}  {what}")
    lines.append(f"{'all':<10} {'':>8} {'':>9} {'':>8} {'':>9}  "
                 + _counts(f.label for f in results.false))
    return lines


def _counts(labels, most=None) -> str:
    """"kind n, kind n, ..." of `labels`, the commonest first (the `most` commonest), or "-"."""
    return ", ".join(f"{k} {v}" for k, v in Counter(labels).most_common(most)) or "-"


def _refused_lines(results):
    lines = ["What the verification refused (lines measured and not reported, all images): per",
             "reason, those on a trail, those elsewhere, and what the latter lie on",
             f"{'reason':<14} {'on trail':>8} {'elsewhere':>9}  lying on"]
    reasons = Counter(r.reason for r in results.refused)
    for reason, _ in reasons.most_common():
        mine = [r for r in results.refused if r.reason == reason]
        on_trail = sum(r.label == "trail" for r in mine)
        lines.append(f"{reason:<14} {on_trail:8d} {len(mine) - on_trail:9d}  "
                     + _counts((r.label for r in mine if r.label != "trail"), 4))
    if not reasons:
        lines.append("none")
    return lines


def _timing_lines(results):
    lines = [f"Time of the finder alone on realistic frames (median; load average "
             f"{results.load:.1f} on {os.cpu_count()} cores before timing)"]
    for size, runs in results.timings.items():
        lines.append(f"{size:>5} x {size:<5} {np.median(runs):7.3f} s  ({len(runs)} runs, "
                     f"best {min(runs):.3f} s)")
    return lines


def targets(results, names):
    """(description, figure, verdict) of each target; verdict None when nothing was measured."""
    trails = results.trails
    out = []

    def completeness(lo, hi):
        sel = [t for t in trails if _in(t, lo, hi)]
        return sum(t.found for t in sel) / len(sel) if sel else None

    c10, c5 = completeness(10.0, 50.0), completeness(5.0, 7.0)
    out.append(("completeness >= 90 % at S/N >= 10", _fmt(c10, ".0%"),
                None if c10 is None else c10 >= 0.9))
    out.append(("completeness >= 50 % at S/N 5-7", _fmt(c5, ".0%"),
                None if c5 is None else c5 >= 0.5))
    for name in names:
        n = results.images[(name, True)]
        if not n:
            continue
        rate = sum(1 for f in results.false if f.field_type == name and f.trail_free) / n
        out.append((f"<= 0.2 false per trail-free image: {name}", f"{rate:.2f}", rate <= 0.2))
    found = [t for t in trails if t.found]
    rec = float(np.mean([t.records for t in found])) if found else None
    out.append(("<= 1.05 records per found trail", _fmt(rec, ".2f"),
                None if rec is None else rec <= 1.05))
    err = _median([t.end_error for t in found if t.snr >= 20.0])
    out.append(("median end error <= 2 px at S/N >= 20", _fmt(err, ".1f"),
                None if err is None else err <= 2.0))
    bias = _median([t.flux_bias for t in found if t.snr >= 10.0])
    out.append(("flux per length bias within 3 % at S/N >= 10", _fmt(bias, "+.3f"),
                None if bias is None else abs(bias) <= 0.03))
    if 2048 in results.timings:
        t = float(np.median(results.timings[2048]))
        out.append(("2048 x 2048 realistic frame <= 0.5 s", f"{t:.3f} s", t <= 0.5))
    return out


def report(results: Results, names=None) -> str:
    """The plain-text tables of a run."""
    names = [n for n in (names or FIELD_TYPES)
             if results.images[(n, True)] or results.images[(n, False)]]
    plan = results.plan
    scored = (f"{len(names)} field types, {sum(results.images.values())} images"
              + (f" of {plan.size} px" if plan else "") + f", {len(results.trails)} trails"
              + f" (seed {','.join(map(str, results.seeds))})"
              if names else "timing only")
    head = [f"Benchmark skies: {scored}; finder arguments {results.finder_kwargs or '{}'}"]
    blocks = [head]
    if names:
        blocks += [_trail_lines(results.trails), _false_lines(results, names),
                   _refused_lines(results)]
    if results.timings:
        blocks.append(_timing_lines(results))
    tgt = targets(results, names)
    blocks.append(["Targets"] + [f"{_verdict(ok)}  {what:<48} {figure}" for what, figure, ok in tgt]
                  + [f"{sum(ok is True for *_, ok in tgt)} of "
                     f"{sum(ok is not None for *_, ok in tgt)} measured targets pass"])
    if results.errors:
        blocks.append([f"Finder errors ({len(results.errors)})"] + results.errors[:20])
    return "\n\n".join("\n".join(b) for b in blocks)


def _keyword(text):
    key, _, value = text.partition("=")
    if not key.isidentifier() or not _:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    try:
        return key, ast.literal_eval(value)
    except (ValueError, SyntaxError):
        return key, value


def _seeds(text):
    try:
        return [int(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected seeds like 0 or 0,1,2, got {text!r}") from None


def plan_arguments(parser) -> None:
    """Add the options that choose the benchmark's images to `parser`."""
    parser.add_argument("--quick", action="store_true",
                        help="fewer, smaller images (a few minutes on 2 cores)")
    parser.add_argument("--seed", type=_seeds, default=[0], metavar="N[,N...]",
                        help="seed of the images; several pool their images")
    parser.add_argument("--only", help="comma-separated field types: " + ",".join(FIELD_TYPES))
    parser.add_argument("--size", type=int, help="side of the scored images")


def chosen_plan(args) -> Plan:
    """The plan of the options of :func:`plan_arguments`."""
    plan = QUICK if args.quick else FULL
    return Plan(args.size, plan.empty, plan.with_trails, plan.repeats) if args.size else plan


def chosen_types(args, parser) -> list:
    """The field types of the ``--only`` option (all without it); an error for an unknown one."""
    names = args.only.split(",") if args.only else list(FIELD_TYPES)
    unknown = [n for n in names if n not in FIELD_TYPES]
    if unknown:
        parser.error(f"unknown field type(s) {', '.join(unknown)}; known: {', '.join(FIELD_TYPES)}")
    return names


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    plan_arguments(parser)
    parser.add_argument("--set", dest="kwargs", type=_keyword, action="append", default=[],
                        metavar="KEY=VALUE", help="keyword argument for the finder (repeatable)")
    timing = parser.add_mutually_exclusive_group()
    timing.add_argument("--no-timing", action="store_true", help="skip the timing runs")
    timing.add_argument("--timing-only", action="store_true", help="only the timing runs")
    args = parser.parse_args(argv)
    plan = chosen_plan(args)
    names = [] if args.timing_only else chosen_types(args, parser)
    start = time.perf_counter()
    results = None
    for seed in args.seed:
        one = run(plan, seed=seed, field_types=names, finder_kwargs=dict(args.kwargs),
                  timing=not args.no_timing and results is None,
                  log=lambda msg: print(f"[{time.perf_counter() - start:6.0f} s] seed {seed}: "
                                        f"{msg}", file=sys.stderr, flush=True))
        if results is None:
            results = one
        else:
            results.add(one)
    print(report(results, names))
    print(f"\n({time.perf_counter() - start:.0f} s in all)")


if __name__ == "__main__":
    main()
