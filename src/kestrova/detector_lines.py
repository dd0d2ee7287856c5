"""Columns and rows that are not sky, found from the data alone, and the detector's residue
along its axes.

A streak search sums pixels along lines, so anything that lines up with the detector's rows and
columns raises lines that hold no streak:

- columns and rows, or long narrow pieces of them, that stand apart from their neighbours or far
  from the sky (:func:`defect_lines`: hot, dead and low columns), and strips along the borders
  (:func:`edge_strips`: overscan, amplifier edges);
- pixels far below the sky (:func:`cold_pixels`);
- the smooth residue of the detector along its axes (:func:`axis_structure`), which is not
  masked but subtracted.

Column and row statistics come from :class:`LineProfile`, the means of the good pixels of every
line in blocks along it: one pass of sums over the image, and robust where it matters through the
median over blocks.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial

import numpy as np
from scipy import ndimage

from .masks import paint_lines, paint_runs, runs
from .stats import MEDIAN_NOISE, masked_median, robust_sigma

# A strip along a border parts from the sky by a step of at least EDGE_STEP sigma (per pixel)
# between two neighbouring lines: far more than a smooth sky changes by from one line to the
# next, and an overscan under a faint sky is no more than one or two sigma below it. The glow
# beyond an amplifier's edge is followed while it lies GLOW sigma above the sky: fainter, it is
# sky that a streak may cross.
EDGE_STEP = 1.0
GLOW = 4.0
# A step is judged from the few lines just inside it against the sky's trend beyond it: the
# sky curves near a border (vignetting), and a straight trend holds only close to where it was
# measured.
INSIDE = 5

__all__ = ["LineProfile", "line_profile", "defect_lines", "edge_strips", "cold_pixels",
           "axis_structure"]


@dataclass(frozen=True)
class LineProfile:
    """The mean of the good pixels of every line, in blocks along it: columns (`axis` 0, the
    blocks are runs of rows) or rows (`axis` 1).

    Attributes
    ----------
    means, counts : ndarray, shape (blocks, lines)
        Mean and number of the good pixels of each block of each line (mean 0 where none).
    edges : ndarray of int
        The blocks' boundaries along the lines.
    axis : int
    """

    means: np.ndarray
    counts: np.ndarray
    edges: np.ndarray
    axis: int

    def seen(self, min_fraction: float = 0.25) -> np.ndarray:
        """The blocks with at least `min_fraction` of their pixels good."""
        return self.counts >= min_fraction * np.diff(self.edges)[:, None]

    def levels(self, min_blocks: int = 1) -> np.ndarray:
        """Each line's level: the median of the means of its :meth:`seen` blocks (NaN for a
        line with fewer than `min_blocks` of them). A star, a cosmic ray or a crossing streak
        moves a few blocks' means, hardly their median."""
        seen = self.seen()
        level = masked_median(self.means, seen, axis=0)
        level[seen.sum(axis=0) < min_blocks] = np.nan
        return level

    def level_noise(self, sigma: float) -> np.ndarray:
        """The noise of each line's level, for pixels of noise `sigma`."""
        return MEDIAN_NOISE * sigma / np.sqrt(np.maximum(self.counts.sum(axis=0), 1))


def line_profile(data: np.ndarray, good: np.ndarray, axis: int, *, block: int = 64,
                 clip: float | None = None) -> LineProfile:
    """The :class:`LineProfile` of the `good` pixels of `data` along `axis`, in blocks of
    about `block` pixels, with values limited to +-`clip` when given.

    Examples
    --------
    >>> data = np.zeros((256, 3)); data[:, 1] = 2.0; data[:64, 2] = 5.0
    >>> p = line_profile(data, np.ones(data.shape, bool), 0, block=128)
    >>> p.means[[0, 1, -1]].tolist(), p.levels().tolist()
    ([[0.0, 2.0, 5.0], [0.0, 2.0, 5.0], [0.0, 2.0, 0.0]], [0.0, 2.0, 0.0])
    """
    return _profile(data, good, axis, block, clip=clip)


# Pixels of a block of rows read at a time for a line profile.
PROFILE_CHUNK = 2**17


def _profile(data, good, axis, block, *, clip=None, shift=None):
    """The :class:`LineProfile` of the `good` pixels of `data` (whatever the others hold), with
    values limited to +-`clip` and less `shift` (a level per column) when given, summed in
    double precision. A short line gets shorter blocks, down to 8 pixels, so that its median
    runs over enough of them. The image is read a block of rows at a time: no full-size copy
    is made."""
    (ny, nx), n = data.shape, data.shape[axis]
    blocks = max(1, round(n / block), min(16, n // 8))
    edges = np.linspace(0, n, blocks + 1).astype(int)
    if axis == 0:
        chunks = edges
        sums, counts = np.empty((blocks, nx)), np.empty((blocks, nx), np.int32)
    else:
        chunks = np.append(np.arange(0, ny, max(1, PROFILE_CHUNK // nx)), ny)
        sums, counts = np.empty((ny, blocks)), np.empty((ny, blocks), np.int32)
    for k, (r0, r1) in enumerate(zip(chunks[:-1], chunks[1:])):
        seen = good[r0:r1]
        values = data[r0:r1].astype(np.float64)
        if shift is not None:
            values -= shift
        if clip is not None:
            np.clip(values, -clip, clip, out=values)
        np.copyto(values, 0.0, where=~seen)
        if axis == 0:
            sums[k] = values.sum(axis=0)
            counts[k] = seen.sum(axis=0, dtype=np.int32)
        else:
            sums[r0:r1] = _block_sums(values, edges)
            counts[r0:r1] = _block_sums(seen.view(np.uint8), edges, np.int32)
    if axis == 1:
        sums, counts = sums.T, counts.T
    return LineProfile(sums / np.maximum(counts, 1), counts, edges, axis)


def _block_sums(array, edges, dtype=None):
    """Sums of `array` over the blocks [edges[k], edges[k + 1]) along its rows."""
    sizes = np.diff(edges)
    if (sizes == sizes[0]).all():
        return array.reshape(array.shape[0], len(sizes), -1).sum(axis=2, dtype=dtype)
    return np.add.reduceat(array, edges[:-1], axis=1, dtype=dtype)


def defect_lines(data: np.ndarray, good: np.ndarray, sigma: float, *, significance: float = 6.0,
                 min_offset: float = 0.5, trend: int = 15, max_width: int = 1,
                 block: int = 64) -> np.ndarray:
    """Columns and rows, or long narrow pieces of them, that are not sky.

    `data` is background-subtracted, with noise `sigma`; values are limited to +-5 sigma, so
    that a star adds little to a line. A line is masked whole when its level (see
    :class:`LineProfile`) stands apart from the running median of the levels of `trend` lines
    around it by `significance` times its noise, and no more than `max_width` lines side by
    side do: hot, low and dead columns are narrow, a streak along a line is as wide as a star
    (strips along the borders are :func:`edge_strips`). A piece of a line is masked when the
    means of at least two successive blocks stand apart, on the same side, from the running
    median of their neighbours by `significance` times their noise and `min_offset` sigma,
    again in runs of at most `max_width` lines. The blocks at either end of a piece are masked
    too, as its ends lie inside them.

    Examples
    --------
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (512, 200))
    >>> data[:, 50] += 3.0                       # a hot column
    >>> data[330:, 120] += 2.0                   # a hot piece of a column
    >>> mask = defect_lines(data, np.ones(data.shape, bool), 1.0)
    >>> [int(c) for c in np.flatnonzero(mask.any(axis=0))], int(np.flatnonzero(mask[:, 120])[0])
    ([50, 120], 288)
    """
    mask = np.zeros(data.shape, bool)
    for axis in (0, 1):
        profile = _profile(data, good, axis, block, clip=5.0 * sigma)
        level = profile.levels()
        known = np.isfinite(level)
        if known.sum() < 3:
            continue
        filled = _filled(level, known)
        local = ndimage.median_filter(filled, size=trend, mode="nearest")
        threshold = significance * profile.level_noise(sigma)
        deviation = filled - local
        apart = known & (np.abs(deviation) > threshold) & _sharp(deviation[None])[0]
        lines = np.flatnonzero(_narrow(apart[None], max_width)[0])
        paint_lines(mask, axis, lines)
        _paint_pieces(mask, profile, sigma, significance, min_offset, trend, max_width)
    return mask


def _filled(level, known):
    """The lines' `level`, interpolated linearly over the lines not `known` (fully masked)."""
    return np.interp(np.arange(level.size), np.flatnonzero(known), level[known])


def _paint_pieces(mask, profile, sigma, significance, min_offset, trend, max_width):
    """Mask the narrow, uniform pieces of lines that a :class:`LineProfile` shows (see
    :func:`defect_lines`)."""
    means, counts = profile.means, profile.counts
    if means.shape[0] < 2:
        return
    limit = np.maximum(significance * sigma / np.sqrt(np.maximum(counts, 1)), min_offset * sigma)
    # The running median of the neighbours is needed only where a block stands apart from its
    # whole row of blocks by half the limit.
    rough = means - np.median(means, axis=1, keepdims=True)
    block, line = np.nonzero(profile.seen() & (np.abs(rough) > 0.5 * limit))
    window = np.clip(line[:, None] + np.arange(trend) - trend // 2, 0, means.shape[1] - 1)
    deviation = means[block, line] - np.median(means[block[:, None], window], axis=1)
    hit = np.abs(deviation) > limit[block, line]
    hit &= _sharp(rough)[block, line]
    sign = np.zeros(means.shape, np.int8)
    sign[block[hit], line[hit]] = np.sign(deviation[hit])
    for s in (1, -1):
        side = sign == s
        side &= _narrow(side, max_width)
        # At least two successive blocks of the same line.
        both = side[1:] & side[:-1]
        keep = np.zeros_like(side)
        keep[1:] |= both
        keep[:-1] |= both
        # The blocks at the ends of a piece hold its ends.
        grown = keep.copy()
        grown[1:] |= keep[:-1]
        grown[:-1] |= keep[1:]
        block, line = np.nonzero(grown)
        paint_runs(mask, profile.axis, line, profile.edges[block], profile.edges[block + 1])


def _sharp(deviation, ratio=0.5):
    """Where a line's `deviation` (last axis: lines side by side) exceeds that of either
    neighbour, taken on the same side, by more than 1 / `ratio` times. A defect stops at its
    line; a trail along a line spreads over the stars' width, and the line beside its crest
    keeps well over half of it."""
    side = np.sign(deviation)
    padded = np.pad(deviation, [(0, 0)] * (deviation.ndim - 1) + [(1, 1)])
    limit = ratio * np.abs(deviation)
    return (padded[..., :-2] * side < limit) & (padded[..., 2:] * side < limit) & (side != 0)


def _narrow(flags, max_width):
    """The runs of True along the last axis of `flags` at most `max_width` long."""
    line, start, stop = runs(flags, 1)
    out = np.zeros_like(flags)
    keep = stop - start <= max_width
    paint_runs(out, 1, line[keep], start[keep], stop[keep])
    return out


def edge_strips(image: np.ndarray, good: np.ndarray, sigma: float, *,
                offset: float = EDGE_STEP, reach: float = 0.25, block: int = 64) -> np.ndarray:
    """Strips of columns or rows along the borders of the image that are not sky: overscan and
    prescan, an amplifier's bright edge.

    The levels of the lines of the `image` itself (see :class:`LineProfile`; no background is
    taken off, which might follow a strip) are read from each border inward. A strip reaches
    over the steps, within `reach` of the image, between two neighbouring lines of more than
    `offset` sigma that part the lines before them by as much from the sky beyond (see
    :func:`_strip_end`: a band near the border, such as a chip gap, does not part the sky
    between); it goes on over the lines beyond that still lie `GLOW` sigma (at least `offset`)
    from the sky. Vignetting and gradients change the sky smoothly, without such steps.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(1000.0, 10.0, (200, 300))
    >>> image[:, 280:] = 400.0 + np.random.default_rng(1).normal(0.0, 3.0, (200, 20))
    >>> image[:, 274:280] += 50.0 * np.arange(1, 7)                     # a glowing edge
    >>> mask = edge_strips(image, np.ones(image.shape, bool), 10.0)
    >>> [int(c) for c in np.flatnonzero(mask.all(axis=0))] == list(range(274, 300))
    True
    """
    mask = np.zeros(image.shape, bool)
    for axis in (0, 1):
        # Every fourth pixel along the lines: the steps sought are many times their noise.
        along = (slice(None, None, 4), slice(None)) if axis == 0 else (slice(None),
                                                                      slice(None, None, 4))
        values, seen = image[along], good[along]
        level = _profile(values, seen, axis, block // 4).levels()
        known = np.flatnonzero(np.isfinite(level))
        if known.size < 8:
            continue
        for side in (1, -1):
            lines = known if side > 0 else known[::-1]
            step = partial(_paired_step, values, seen, axis, lines)
            ends = _strip_end(level[lines], sigma, offset, int(reach * level.size), step)
            paint_lines(mask, axis, lines[:ends])
    return mask


def _paired_step(values, seen, axis, lines, j):
    """The median difference between lines `lines[j + 1]` and `lines[j]` of `values` (lines
    along `axis`), over the pixels seen in both."""
    # Basic indexing: np.take would copy a strided view whole first.
    def take(array, line):
        return array[:, line] if axis == 0 else array[line]

    a, b = take(values, lines[j]), take(values, lines[j + 1])
    both = take(seen, lines[j]) & take(seen, lines[j + 1])
    return float(np.median(b[both] - a[both])) if both.any() else 0.0


def _strip_end(level, sigma, offset, reach, paired_step, trend=15):
    """How many of the first lines of `level` form a strip (see :func:`edge_strips`): from the
    border over each step that parts the lines before it from the sky beyond, and on over the
    lines that still lie `GLOW` sigma (at least `offset`) from the sky beyond the last (the
    fading glow of an amplifier's edge).

    The steps are taken from the border outward, and the strip ends at the first that does not
    part it from the sky: the lines just inside a step (at most `INSIDE`) are compared with the
    sky's trend over the `4 trend` lines beyond it (:func:`_off_trend`), and at the first step
    the lines at the border must lie no nearer to the sky than those, by half the difference.
    Beyond the first step, a strip goes on only over pieces narrower than `2 trend` lines (a
    glow beside an overscan) whose trend the lines beyond do not carry on: such a piece was
    the sky beyond that step. So a band within `reach` of a border (a chip gap, a dead
    column, a star's bleed and spikes) does not take the sky between it and the border,
    however the sky changes over that stretch or differs across the band.

    A step between two lines' levels counts only when `paired_step(j)`, the step between
    lines j and j + 1 measured on the pixels seen in both, shows it too: where a mask (a
    star's halo, a bleed) begins, the next line's median is taken over other pixels, and on a
    structured sky that alone moves it."""
    steps = np.flatnonzero(np.abs(np.diff(level[: reach + 1])) > offset * sigma)
    end = 0
    for j in steps:
        if not _parts_strip(level, end, j, offset * sigma, GLOW * sigma, trend):
            break
        # The costlier paired step last: the masks of a crowded field make many steps.
        if abs(paired_step(j)) > offset * sigma:
            end = j + 1
    if not end:
        return 0
    sky = np.median(level[end: end + 4 * trend])
    near = np.flatnonzero(np.abs(level[end:] - sky) <= max(offset, GLOW) * sigma)
    return int(end + (near[0] if near.size else 0))


def _parts_strip(level, end, j, offset, band, trend):
    """Whether the step after line `j` of `level` parts a strip (whose lines so far end at
    `end`) from the sky, by more than `offset` (see :func:`_strip_end`)."""
    if end and (j + 1 - end > 2 * trend or abs(_off_trend(
            level[j + 1: j + 1 + INSIDE][::-1], level[end: j + 1][::-1], band)) <= offset):
        # The piece since the last step was the sky beyond it: it is wide, or the lines
        # beyond this step carry on its trend (a dead column in the vignetted sky beside an
        # amplifier's glow).
        return False
    inside = level[max(end, j + 1 - INSIDE): j + 1]
    beyond = level[j + 1: j + 1 + 4 * trend]
    if not beyond.size:
        return False
    off = _off_trend(inside, beyond, band)
    if abs(off) <= offset:
        return False
    # A strip starts at the border, and its outermost lines lie as far from the sky as its
    # innermost (an overscan, a zero fill) or farther (a glow). Where they lie nearer, the
    # step is the inner edge of a band (a star's bleed and spikes) with sky on the border's
    # side.
    outermost = np.median(level[:min(INSIDE, j + 1)])
    return bool(end or np.sign(off) * (outermost - np.median(inside)) >= -0.5 * abs(off))


def _off_trend(inside, beyond, band):
    """How far the levels `inside` lie (median) from the straight line of the levels `beyond`
    that follow them, extended back over them; the lines beyond that lie more than `band`
    from their median (a dead column, a chip gap), or far off the line fitted to the others,
    are left out of it.

    Examples
    --------
    >>> sky = 100.0 + 0.5 * np.arange(80.0)          # a gradient
    >>> [round(_off_trend(sky[:15] - step, sky[15:], 4.0), 6) for step in (0.0, 3.0)]
    [0.0, -3.0]
    """
    x = np.arange(inside.size, inside.size + beyond.size, dtype=float)
    keep = np.abs(beyond - np.median(beyond)) <= band
    if np.count_nonzero(keep) >= 4:
        # A first line through the medians of the two halves, which a band a sigma or two
        # bright (a star's bleed and spikes) does not tilt; then the least-squares line of
        # the lines that lie near it, as the levels of lines scatter far less than such a band.
        xs, ys = x[keep], beyond[keep]
        h = ys.size // 2
        slope = (np.median(ys[h:]) - np.median(ys[:h])) / (np.median(xs[h:]) - np.median(xs[:h]))
        residual = beyond - slope * x
        spread = robust_sigma(residual[keep], max_samples=None)
        keep &= np.abs(residual - np.median(residual[keep])) <= 3.0 * spread
    if np.count_nonzero(keep) < 4:
        return float(np.median(inside) - np.median(beyond))
    slope, intercept = np.polyfit(x[keep], beyond[keep], 1)
    return float(np.median(inside - (intercept + slope * np.arange(inside.size))))


def cold_pixels(data: np.ndarray, good: np.ndarray, sigma: float,
                limit: float = 8.0) -> np.ndarray:
    """Good pixels more than `limit` sigma below the sky: dead pixels, holes filled with zeros.
    Noise never reaches there, and no source is darker than the sky.

    Examples
    --------
    >>> data = np.zeros((3, 3)); data[1, 1] = -20.0
    >>> cold_pixels(data, np.ones((3, 3), bool), 1.0).sum()
    np.int64(1)
    """
    return good & (data < -limit * sigma)


def axis_structure(data: np.ndarray, good: np.ndarray, sigma: float, *,
                   significance: float = 4.0, trend: int = 15, block: int = 64):
    """Residual background along the detector axes: the smooth part of the levels of the
    columns and of the rows of the background-subtracted `data`, where it stands out from 0.

    Raw frames carry structure that a mesh of cells cannot follow: the glow towards an
    amplifier edge, a bias step, vignetting along one side. Each line's level (see
    :class:`LineProfile`) is smoothed by a running median over `trend` lines, which keeps such
    structure and drops a streak along the line (no wider than a few lines), and it is taken
    where it differs from 0 by more than `significance` times its noise. A streak crossing the
    lines at an angle moves a few of each line's blocks, hardly their median.

    Returns
    -------
    columns, rows : ndarray
        Levels to subtract from each column and from each row.

    Examples
    --------
    >>> rows, cols = np.mgrid[:200, :300]
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (200, 300))
    >>> data += 2.0 * np.exp(-cols / 15.0)           # a glow along the left edge
    >>> data[:, 150:153] += 1.0                      # a streak along a column
    >>> columns, rows = axis_structure(data, np.ones(data.shape, bool), 1.0)
    >>> bool(abs(columns[0] - 2.0) < 0.3), float(columns[151]), bool(np.abs(rows).max() < 0.1)
    (True, 0.0, True)
    """
    out = []
    for axis in (0, 1):
        # The rows are measured with the columns' levels taken off.
        profile = _profile(data, good, axis, block, shift=out[0] if out else None)
        level = profile.levels()
        known = np.isfinite(level)
        if known.sum() < trend:
            out.append(np.zeros(level.size))
            continue
        filled = _filled(level, known)
        smooth = ndimage.median_filter(filled, size=trend, mode="nearest")
        # Near the ends the window repeats the end line, which can take the median alone: count
        # only the lines of a window centred on the line.
        i = np.arange(level.size)
        distinct = 2 * np.minimum(np.minimum(i, level.size - 1 - i), trend // 2) + 1
        noise = MEDIAN_NOISE * profile.level_noise(sigma) / np.sqrt(distinct)
        out.append(np.where(np.abs(smooth) > significance * noise, smooth, 0.0))
    return out[0], out[1]
