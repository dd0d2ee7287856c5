"""Measurement of one line: its signal-to-noise ratio, ramp fit, start and end, and the check
against the streaks found before it.

The compiled ``HoughTransform.snr`` and ``HoughTransform.fit`` measure the band along the line;
the start and end are then taken from the band's pixel values by :func:`best_segment`, which
leaves masked pixels out and splits collinear streaks separated by a gap.
"""

from __future__ import annotations

import warnings
from dataclasses import replace

import numpy as np

from .catalog import Streak, StreakRecord
from .hough import HoughTransform
from .lines import (across, along, band_pixels, canonical, chord, point, segment_region,
                    to_frame, to_pixels)
from .refine import Line

__all__ = ["Measurer", "MeasuringTransform", "best_segment", "knot_regions"]

# The samples beyond a segment's end, out to the image's edge, are joined at this S/N
# (see _run_out).
RUN_OUT_SNR = 3.0
# A streak whose last sample lies within this many pixels of the image's edge, with only
# excluded pixels beyond it, is taken to the edge (see _to_edge): as far as the halo of a
# saturated star reaches.
MASKED_EDGE = 300.0
# A piece of a segment beyond a masked stretch longer than this (pixels: a saturated star's
# halo, not a star on the trail) must stand by itself at this S/N, as a piece joined to a trail
# must (see _drop_stray_piece).
MASKED_GAP = 50.0
STRAY_SNR = 5.0
STRAY_EXCESS = 1.5
# An end within EDGE_REACH pixels of the last samples towards the image's edge is taken there
# unless a step to nothing beats the trail running on by EDGE_LLR in log-likelihood (see
# _runs_to_edge): noise alone makes a trail that runs on end earlier with a chance of about
# exp(-EDGE_LLR).
EDGE_REACH = 50.0
EDGE_LLR = 3.0
# A line whose best box shrinks below the shortest streak is measured again without it, up to
# MAX_KNOTS times; what is left must hold a streak of this S/N by itself (a noise line's best
# box over a few thousand samples reaches 4-5). A knot left out is excluded from the search
# over KNOT_REACH pixels of the line around it: as far as a bright blob's wings reach.
MAX_KNOTS = 2
KNOT_TRAIL_SNR = 6.0
KNOT_REACH = 10.0


class MeasuringTransform(HoughTransform):
    """HoughTransform that samples a band from the pixels near the line only (the same pixels
    and coordinates as the whole-image evaluation, at a fraction of the cost), and keeps its last
    record: `snr`, `fit` and the end-point search all sample the same band."""

    def elements_along(self, r, theta, w):
        key = (np.float32(r), np.float32(theta), np.float32(w))
        if getattr(self, "_key", None) != key:
            rows, cols, _, dm = band_pixels(self.image.shape, r, theta, w)
            dm = np.append(dm, self.append_x)
            values = np.append(self.image[rows, cols], self.append_y)
            index = dm.argsort()
            self._record = np.vstack((dm[index], np.cumsum(values[index])))
            self._key = key
        return self._record

    def forget(self):
        self._key = None


class Measurer:
    """Measures lines on the prepared image `data` (noise `sigma`), with a band of half-width
    `width`; a streak shorter than `min_length` is rejected. Found streaks are blanked in
    `data`, in place.

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]
    >>> data = np.random.default_rng(0).normal(size=(60, 80))
    >>> data[:, 20:70] += 2.0 * np.exp(-0.5 * (rows - 30.0) ** 2)   # r = -0.5, theta = 0
    >>> streak, record = Measurer(data, 1.0, width=2.0).measure(Line(-0.5, 0.0, 10.0), [])
    >>> streak.x_start, streak.x_end, streak.y_start, round(streak.snr, 1)
    (20.0, 69.5, 30.0, 13.8)
    """

    def __init__(self, data: np.ndarray, sigma: float, *, width: float,
                 min_length: float = 10.0):
        self.ht = MeasuringTransform(data, sigma)
        self.sigma = sigma
        self.width = float(width)
        self.min_length = float(min_length)

    def measure(self, line: Line, found=(), *, ramp: bool = True):
        """Measure `line`; (Streak, StreakRecord), or None when no streak of `min_length` lies
        on it or it lies on one of the streaks `found` before. Without `ramp`, the ramp fit
        (the costly part: a minimisation) is left out, its figures NaN, until :meth:`ramp`."""
        r, theta = canonical(line.r, line.theta)
        ht, w = self.ht, self.width
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            elements = ht.elements_along(r, theta, w)
            snr = float(ht.snr(r, theta, w))
        fit = self._fit(r, theta) if ramp else np.full(5, np.nan)
        shape = ht.image.shape
        stretch = self._stretch(elements, fit, chord(r, theta, shape))
        if stretch is None:
            return None
        a, b, total, count, knots = stretch
        length = b - a
        inside = elements[0][1:-1]
        inside = np.count_nonzero((inside > a) & (inside < b))
        density = inside / length  # band pixels per unit length, masked ones included
        if any(_on_streak(s, shape, r, theta, a, b) for s in found):
            return None
        p, q = ht.locate(r, theta, a), ht.locate(r, theta, b)
        (x_start, y_start), (x_end, y_end) = to_pixels(shape, *p[:2]), to_pixels(shape, *q[:2])
        streak = Streak(
            r=float(r), theta=float(theta), snr=snr, score=float(line.score),
            x_start=float(x_start), y_start=float(y_start),
            x_end=float(x_end), y_end=float(y_end), length=float(length),
            flux_per_length=float(total / count * density),
            flux_per_length_err=float(self.sigma / np.sqrt(count) * density),
            level=float(fit[0]), goodness=float(fit[4]), width=w)
        if knots:
            # The record shows the knots as it shows masked pixels: adding nothing.
            increments = np.diff(elements[1], prepend=0.0)
            for lo, hi in knots:
                increments[(elements[0] >= lo) & (elements[0] <= hi)] = 0.0
            elements = np.vstack((elements[0], np.cumsum(increments)))
        step = max(1, elements.shape[1] // 4000)
        record = StreakRecord(elements[0, ::step].copy(), elements[1, ::step].copy(), fit,
                              float(a), float(b), tuple(knots))
        return streak, record

    def ramp(self, streak: Streak, record: StreakRecord):
        """The streak and its record with the ramp fit of its line."""
        fit = self._fit(streak.r, streak.theta)
        return (replace(streak, level=float(fit[0]), goodness=float(fit[4])),
                replace(record, fit=fit))

    def _fit(self, r, theta):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return np.asarray(self.ht.fit(r, theta, self.width), dtype=float)

    def _stretch(self, elements, fit, limits):
        """The stretch (start, end, sum, count) of the band's samples `elements` that a streak
        covers, within the line's `limits` inside the image, and the (start, end) of the knots
        left out; None when it is shorter than `min_length`, holds no signal, or, without its
        knots, falls short of `KNOT_TRAIL_SNR`."""
        # Excluded pixels were set to exactly 0: leave them out, so that a streak is measured
        # across a masked star or a blanked crossing streak.
        values = np.diff(elements[1], prepend=0.0)
        valid = values != 0.0
        position, values = elements[0][valid], values[valid]
        seeds = [(fit[2], fit[3]), limits] if np.isfinite(fit[2]) else [limits]
        knots = []
        for _ in range(MAX_KNOTS + 1):
            stretch = self._segment(position, values, seeds, limits)
            if stretch is None:
                return None
            (a, b, total, count), box = stretch
            if b - a >= self.min_length:
                break
            # A bright knot that the preparation kept (a cosmic-ray hit, a galaxy's core)
            # outweighs a long faint trail through it in the box fit, and then shrinks to
            # nothing: measure the line without it, as across a masked star.
            knots.append((min(a, box[0]) - self.width, max(b, box[1]) + self.width))
            keep = (position < knots[-1][0]) | (position > knots[-1][1])
            position, values = position[keep], values[keep]
            seeds = [limits]
        else:
            return None
        if total <= 0 or knots and total < KNOT_TRAIL_SNR * self.sigma * np.sqrt(count):
            return None
        return a, b, total, count, knots

    def _segment(self, position, values, seeds, limits):
        """The segment of a streak among the valid samples (`position`, `values`), from the
        box fit from `seeds` with its pieces joined and its ends placed, and the box fit's own
        (start, end); None when no box holds signal."""
        lo, hi = limits
        # A box of fewer samples than a streak of `min_length` holds would find the brightest
        # star or galaxy core on the line, not the trail.
        density = position.size / max(position[-1] - position[0], 1.0) if position.size else 0.0
        min_count = max(int(4 * self.width) + 2, int(self.min_length * density))
        running = np.cumsum(values)
        segment = best_segment(position, running, seeds, min_count=min_count)
        if segment is None:
            return None
        box = segment[:2]
        # A run emptier than the rest separates two streaks (the other is found on a later
        # pass); over what remains, the trail's pieces are joined again and its ends placed.
        segment = _split_at_gap(position, running, segment, self.sigma, self.min_length)
        segment = _drop_stray_piece(position, values, segment, self.sigma)
        a, b, total, count = trail_ends(position, values, segment, self.sigma)
        a, b = _to_edge(position, max(a, lo), min(b, hi), lo, hi, 2.0 * self.width + 1.0)
        return (a, b, total, count), box

    def blank(self, region: np.ndarray, box) -> None:
        """Zero the pixels `region` of the (row slice, column slice) `box` of the image."""
        rows, cols = box
        self.ht.image[rows, cols][region] = 0.0
        self.ht.forget()


def _on_streak(s: Streak, shape, r, theta, a, b) -> bool:
    """Whether the segment [a, b] of the line (r, theta) lies on (the blanked band of) the
    streak `s`: the wings of a wide streak can outlive the blanking of its band."""
    if abs(np.sin(theta - s.theta)) > 0.05:
        return False
    x, y = point(r, theta, 0.5 * (a + b))
    if not abs(across(s.r, s.theta, x, y)) < 3.0 * s.width + 4.0:
        return False
    m0 = along(s.theta, *to_frame(shape, s.x_start, s.y_start))
    m1 = along(s.theta, *to_frame(shape, s.x_end, s.y_end))
    return bool(m0 - 10.0 < along(s.theta, x, y) < m1 + 10.0)


def _to_edge(position, a, b, lo, hi, slack, reach=MASKED_EDGE):
    """The segment [a, b] of a line whose valid samples lie at `position`, each end taken out
    to the image's edge (`lo`, `hi`) when the edge is within `reach` and the valid samples
    beyond the end span no more than `slack` (the band's width, where a mask's border crosses
    it at an angle): a trail that holds its level up to a masked star or strip at the border
    runs on under it, and ending it at the mask would cut it short.

    Examples
    --------
    >>> pos = np.arange(20.0, 90.0)                    # pixels 0-19 masked at the start
    >>> _to_edge(pos, 22.0, 60.0, 0.0, 99.0, 5.0), _to_edge(pos, 40.0, 89.0, 0.0, 99.0, 5.0)
    ((0.0, 60.0), (40.0, 99.0))
    >>> _to_edge(pos, 40.0, 60.0, 0.0, 99.0, 5.0)      # valid sky before the start: it ends
    (40.0, 60.0)
    """
    if position.size and a - position[0] <= slack and a - lo <= reach:
        a = lo
    if position.size and position[-1] - b <= slack and hi - b <= reach:
        b = hi
    return a, b


def knot_regions(shape, streak: Streak, record: StreakRecord) -> list:
    """The (region, box) of each knot that the measurement of `streak` left out (see
    :func:`~kestrova.lines.segment_region`), over `KNOT_REACH` pixels around it.

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]
    >>> data = np.random.default_rng(0).normal(size=(60, 400))
    >>> data += 0.8 * np.exp(-0.5 * (rows - 30.0) ** 2)          # a faint trail, r = -0.5
    >>> data[29:32, 200:204] = 400.0                             # and a bright knot on it
    >>> streak, record = Measurer(data, 1.0, width=2.0).measure(Line(-0.5, 0.0, 10.0), [])
    >>> streak.x_start, streak.x_end, len(record.knots)
    (0.0, 399.0, 1)
    >>> [(region, (rows, cols))] = knot_regions(data.shape, streak, record)
    >>> columns = np.flatnonzero(region.any(axis=0)) + cols.start
    >>> rows = np.flatnonzero(region.any(axis=1)) + rows.start
    >>> int(columns[0]), int(columns[-1]), int(rows[0]), int(rows[-1])
    (182, 215, 21, 39)
    """
    out = []
    for a, b in record.knots:
        ends = [to_pixels(shape, *point(streak.r, streak.theta, t)) for t in (a, b)]
        out.append(segment_region(shape, streak.r, streak.theta, *ends, KNOT_REACH, KNOT_REACH))
    return out


def best_segment(position, running_sum, seeds, *, min_count: int = 2):
    """The stretch of a line that a streak covers: the run of samples whose sum S and count n
    maximise S / sqrt(n) (the least-squares fit of a box of free height to the samples), found
    by alternating searches for the start and the end from each seed (start, end).

    Returns (start, end, S, n) with start and end halfway between the first (last) sample inside
    and its outer neighbour, or None when no run has a positive sum.

    Examples
    --------
    >>> pos = np.arange(100.0)
    >>> values = np.where((pos >= 30) & (pos < 60), 1.0, 0.0)
    >>> start, end, total, count = best_segment(pos, np.cumsum(values), [(0.0, 99.0)])
    >>> start, end, total, count
    (29.5, 59.5, 30.0, 30)
    """
    position = np.asarray(position, dtype=float)
    values = np.diff(np.asarray(running_sum, dtype=float), prepend=0.0)
    cum = np.concatenate(([0.0], np.cumsum(values)))
    n = len(position)
    if n < 2:
        return None
    best = None
    for a, b in seeds:
        if not (np.isfinite(a) and np.isfinite(b)) or b <= a:
            continue
        i = int(np.clip(np.searchsorted(position, a), 0, n - 1))
        j = int(np.clip(np.searchsorted(position, b, side="right"), i + 1, n))
        for _ in range(20):
            i_new = _best_start(cum, j, min_count)
            j_new = _best_end(cum, i_new, min_count)
            if (i_new, j_new) == (i, j):
                break
            i, j = i_new, j_new
        count = j - i
        if count < 1:
            continue
        total = cum[j] - cum[i]
        merit = total / np.sqrt(count)
        if total > 0 and (best is None or merit > best[0]):
            best = (merit, i, j, total, count)
    if best is None:
        return None
    _, i, j, total, count = best
    start = 0.5 * (position[i] + position[i - 1]) if i > 0 else position[0]
    end = 0.5 * (position[j - 1] + position[j]) if j < n else position[-1]
    return float(start), float(end), float(total), int(count)


def _split_at_gap(position, running_sum, segment, sigma, min_length, significance=6.0):
    """Two collinear streaks with a gap between them fit one box better than either alone:
    if the segment holds a run that falls short of its mean level by more than `significance`
    sigma, keep the stronger side (the other is found on a later pass)."""
    a, b, total, count = segment
    inside = (position > a) & (position < b)
    pos, values = position[inside], np.diff(running_sum, prepend=0.0)[inside]
    if pos.size < 4:
        return segment
    deficit = total / count - values
    gap = best_segment(pos, np.cumsum(deficit), [(pos[0], pos[-1])], min_count=2)
    if gap is None or gap[2] < significance * sigma * np.sqrt(gap[3]):
        return segment
    c, d = gap[0], gap[1]
    pieces = []
    for lo_, hi_ in ((a, c), (d, b)):
        sel = (pos > lo_) & (pos < hi_)
        n = int(sel.sum())
        if hi_ - lo_ >= min_length and n > 0:
            pieces.append((values[sel].sum() / np.sqrt(n), lo_, hi_, values[sel].sum(), n))
    if not pieces:
        return segment
    _, lo_, hi_, total, n = max(pieces)
    return lo_, hi_, float(total), n


def _drop_stray_piece(position, values, segment, sigma, *, min_gap=MASKED_GAP,
                      min_snr=STRAY_SNR, reach=MASKED_GAP, max_excess=STRAY_EXCESS):
    """The segment (start, end, sum, count) without what lies beyond a masked stretch of more
    than `min_gap` pixels inside it when that piece neither stands by itself (S/N `min_snr`, as
    a piece must to be joined by :func:`extend_segment`) nor stands above half the level of the
    trail on the other side (over `reach` pixels from the mask) by `max_excess` times its
    noise, as a trail seen again beyond the mask would: the box fit sees no gap where there are
    no samples, and a few faint samples past a halo's mask would carry a trail's end across the
    halo.

    Examples
    --------
    >>> pos = np.r_[np.arange(0.0, 100.0, 0.25), np.arange(300.0, 310.0, 0.25)]
    >>> faint = np.r_[np.full(400, 1.0), np.full(40, 0.3)]   # a trail, a mask, a faint piece
    >>> _drop_stray_piece(pos, faint, (-0.5, 310.0, 412.0, 440), 1.0)
    (-0.5, 99.75, 400.0, 400)
    >>> level = np.r_[np.full(400, 1.0), np.full(40, 0.9)]   # the trail again
    >>> _drop_stray_piece(pos, level, (-0.5, 310.0, 436.0, 440), 1.0)
    (-0.5, 310.0, 436.0, 440)
    """
    a, b, total, count = segment
    inside = np.flatnonzero((position > a) & (position < b))
    if inside.size < 2:
        return segment
    steps = np.diff(position[inside])
    for j in np.flatnonzero(steps > min_gap)[::-1]:
        pieces = inside[:j + 1], inside[j + 1:]
        snr = [values[p].sum() / (sigma * np.sqrt(p.size)) for p in pieces]
        weak = int(np.argmin(snr))
        other = pieces[1 - weak]
        # The trail's level next to the mask.
        if weak == 1:
            near = other[position[other] > position[other[-1]] - reach]
        else:
            near = other[position[other] < position[other[0]] + reach]
        piece = values[pieces[weak]]
        excess = (piece.mean() - 0.5 * values[near].mean()) / (sigma / np.sqrt(piece.size))
        if snr[weak] >= min_snr or excess >= max_excess:
            continue
        # Where the trail is last seen, at the mask.
        start = a if other[0] == inside[0] else float(position[other[0]])
        end = b if other[-1] == inside[-1] else float(position[other[-1]])
        return _drop_stray_piece(position, values, (start, end, float(values[other].sum()),
                                                    int(other.size)), sigma,
                                 min_gap=min_gap, min_snr=min_snr, reach=reach,
                                 max_excess=max_excess)
    return segment


def extend_segment(position, values, segment, sigma, *, min_level=0.2, min_snr=5.0,
                   max_gap=30.0, max_gap_fraction=0.5, follow_level=0.1, follow_gap=5.0):
    """Grow a segment (start, end, sum, count) over the pieces of the same trail beyond its
    ends, so that a dip in brightness (a tumbling satellite), a star or a masked column on the
    trail does not end it.

    Beyond each end, the best box of the remaining samples (:func:`best_segment`) is joined when
    it stands out by itself (S/N at least `min_snr`: the best of the many boxes of a line of
    noise reaches 3 or 4) and at least `min_level` of the segment's level, and so does the gap
    with it (a dip, not an empty stretch up to a star's wing), within `max_gap` pixels or
    `max_gap_fraction` of the segment's length, or across a longer gap that holds the trail by
    itself (:func:`_holds_trail`); the samples in the gap count in the sum. A piece
    that follows on within `follow_gap` pixels needs only `follow_level`: the segment may be a
    glint several times as bright as the rest of its trail.
    Masked pixels are no samples: a gap they leave is bridged like any other.

    Examples
    --------
    >>> pos = np.arange(300.0)
    >>> values = np.where((pos > 50) & (pos < 250), 1.0, 0.0)
    >>> values[140:160] = 0.3                                  # a dip of 70 %
    >>> extend_segment(pos, values, (50.5, 139.5, 89.0, 89), 0.3)[:2]
    (50.5, 249.5)
    """
    a, b, total, count = segment
    level = total / max(count, 1)
    for side in (1, -1):
        while True:
            rest = position > b if side > 0 else position < a
            p, v = position[rest], values[rest]
            if p.size < 4:
                break
            piece = best_segment(p, np.cumsum(v), [(p[0], p[-1])], min_count=4)
            if piece is None:
                break
            c, d, t, n = piece
            gap = c - b if side > 0 else a - d
            # The gap and the piece together must hold up as a continuation of the trail too.
            added = values[(position > b) & (position < d) if side > 0 else
                           (position > c) & (position < a)]
            floor = (follow_level if gap <= follow_gap else min_level) * level
            between = values[(position > b) & (position < c) if side > 0 else
                             (position > d) & (position < a)]
            if (min(t / np.sqrt(n), added.sum() / np.sqrt(added.size)) < min_snr * sigma
                    or min(t / n, added.mean()) < floor
                    or gap > max(max_gap, max_gap_fraction * (b - a))
                    and not _holds_trail(between, sigma, floor)):
                break
            if side > 0:
                b = d
            else:
                a = c
        a, b = _run_out(position, values, a, b, side, sigma, min_level * level,
                        max(max_gap, max_gap_fraction * (b - a)))
        inside = (position > a) & (position < b)
        total, count = float(values[inside].sum()), int(inside.sum())
    return float(a), float(b), total, count


def _holds_trail(values, sigma, min_level, min_snr=RUN_OUT_SNR) -> bool:
    """Whether the samples `values` of a gap hold a trail by themselves (S/N at least
    `min_snr`, level at least `min_level`): a stretch where a tumbling satellite is faint, not
    an empty one. One stretch is tested, so a low significance serves.

    Examples
    --------
    >>> _holds_trail(np.full(400, 0.3), 1.0, 0.2), _holds_trail(np.zeros(400), 1.0, 0.2)
    (True, False)
    """
    return bool(values.size >= 4 and values.mean() >= min_level
                and values.sum() >= min_snr * sigma * np.sqrt(values.size))


def _run_out(position, values, a, b, side, sigma, min_level, max_length):
    """The segment [a, b] grown on `side` over all the samples left beyond it, out to where the
    line leaves the image, when they reach no more than `max_length` pixels beyond and hold up
    as the trail (S/N at least `RUN_OUT_SNR`, level at least `min_level`): one stretch is
    tested, not the best of many boxes, so a lower significance serves, and a trail fading
    towards the edge keeps its end there."""
    rest = position > b if side > 0 else position < a
    p, v = position[rest], values[rest]
    if p.size < 4:
        return a, b
    length = p[-1] - b if side > 0 else a - p[0]
    if length <= max_length and _holds_trail(v, sigma, min_level):
        return (a, float(p[-1])) if side > 0 else (float(p[0]), b)
    return a, b


def refine_end(position, values, end, level, side, window=15.0):
    """The most likely place, within `window` of `end`, of the step from `level` to nothing
    that ends a trail (side +1) or begins it (side -1): where the sum of (value - level / 2)
    over the samples on the trail's side is largest.

    Examples
    --------
    >>> pos = np.arange(100.0)
    >>> values = np.where(pos < 63, 2.0, 0.0)
    >>> refine_end(pos, values, 55.0, 2.0, 1), refine_end(pos, values[::-1], 45.0, 2.0, -1)
    (62.5, 36.5)
    """
    near = np.abs(position - end) < window
    p, v = position[near], values[near] - 0.5 * level
    if p.size < 3:
        return float(end)
    if side > 0:
        gain = np.concatenate(([0.0], np.cumsum(v)))  # samples before each cut
    else:
        gain = np.concatenate((np.cumsum(v[::-1])[::-1], [0.0]))  # samples after each cut
    k = int(np.argmax(gain))
    if k == 0:
        return float(p[0]) - 0.5
    if k == p.size:
        return float(p[-1]) + 0.5
    return 0.5 * float(p[k - 1] + p[k])


def trail_ends(position, values, segment, sigma, *, window=20.0):
    """The segment grown over its trail's pieces (:func:`extend_segment`), each end then put
    where the trail's local level steps down (:func:`refine_end`), or at the last samples when
    the trail may as well run on to them (:func:`_runs_to_edge`)."""
    a, b, total, count = extend_segment(position, values, segment, sigma)
    level = total / max(count, 1)
    span = max(window, 0.1 * (b - a))
    ends = []
    for end, side in ((a, -1), (b, 1)):
        inner = (position > end - span) & (position < end) if side > 0 else \
            (position > end) & (position < end + span)
        local = max(values[inner].mean() if inner.sum() > 3 else level, 0.5 * level)
        end = refine_end(position, values, end, local, side)
        # The level next to an end reads high (the end was put where the inside looks
        # brightest), and a level too high makes a step to nothing look likelier: of a faint
        # trail that reaches the edge, a third were cut short with it.
        if _runs_to_edge(position, values, end, min(local, level), side, sigma):
            end = float(position[-1] + 0.5 if side > 0 else position[0] - 0.5)
        ends.append(end)
    a, b = ends
    inside = (position > a) & (position < b)
    return a, b, float(values[inside].sum()), int(inside.sum())


def _runs_to_edge(position, values, end, level, side, sigma, *, reach=EDGE_REACH,
                  max_llr=EDGE_LLR):
    """Whether a trail of `level` per sample, whose step to nothing was placed at `end`, runs on
    to the last samples on `side` (within `reach`): whether no step beyond `end` beats the trail
    running on at `level` by `max_llr` in log-likelihood.

    A step at c gains (level / sigma^2) * sum(level / 2 - v) over the samples v beyond c. Where
    the trail runs on, these sums drift down and their largest exceeds x with a chance of about
    exp(-x): at 0.2-0.3 sigma per sample, the most likely step of a trail that reaches the edge
    lies 2-4 px short of it in half the cases and over 12 px in one of ten, and a trail crossing
    the frame, as most do, was cut there.
    Values are clipped at 3 sigma above the level, so a star just past a real end cannot carry
    the trail on.

    Examples
    --------
    >>> pos = np.arange(0.0, 200.0, 0.25)
    >>> runs = np.full(pos.size, 0.4); runs[-40:] = 0.1        # faint over the last 10 px
    >>> _runs_to_edge(pos, runs, 190.0, 0.4, 1, 1.0)
    True
    >>> ends = np.where(pos < 160.0, 0.4, 0.0)                 # 40 px of nothing
    >>> _runs_to_edge(pos, ends, 160.0, 0.4, 1, 1.0)
    False
    """
    beyond = position > end if side > 0 else position < end
    if level <= 0 or not beyond.any():
        return False
    p = position[beyond]
    if (p[-1] - end if side > 0 else end - p[0]) > reach:
        return False
    gain = level / sigma ** 2 * (0.5 * level - np.minimum(values[beyond], level + 3.0 * sigma))
    # The samples beyond each cut: a suffix (side +1) or a prefix (side -1) of `gain`.
    sums = np.cumsum(gain[::-1]) if side > 0 else np.cumsum(gain)
    return bool(sums.max() < max_llr)


def _best_start(cum, j, min_count):
    i = np.arange(0, max(j - min_count, 0) + 1)
    merit = (cum[j] - cum[i]) / np.sqrt(np.maximum(j - i, 1))
    return int(i[np.argmax(merit)])


def _best_end(cum, i, min_count):
    j = np.arange(min(i + min_count, len(cum) - 1), len(cum))
    merit = (cum[j] - cum[i]) / np.sqrt(np.maximum(j - i, 1))
    return int(j[np.argmax(merit)])
