"""Detection of candidate lines: the coarse score map of a reduced image, its peaks, and the
refinement of a peak into a line of the full-resolution image.

The score map costs rows x columns x angles, so the whole (r, theta) plane is searched on a
block-averaged copy of the image (which also raises the per-pixel signal-to-noise ratio of a
streak), and each candidate is then refined on the full-resolution image over a small window
(:mod:`kestrova.refine`). A line scores against the lines parallel to it nearby
(:func:`parallel_contrast`): what the background model leaves of the sky's structure is summed
coherently along a long line, and raises its neighbours as much.

A cell k of ``score_map(r0, r1, nr, ...)`` sums the band of half-width ``width * dr`` centred on
``r0 + (k + 0.5) * dr`` (not on its nominal ``r_k``); every r below is converted accordingly.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
from scipy import ndimage

from .background import linear_weights
from .hough import HoughTransform
from .lines import canonical, same_line, to_full_r, to_reduced_r
from .refine import Line, NarrowScorer, refine_line, refine_near
from .stats import MAD_TO_SIGMA, masked_median, robust_sigma

__all__ = ["ScoreMap", "Peak", "Detector", "choose_binning", "reduce_image", "reduction_limit",
           "clipped_reduction", "update_reduction", "line_grid", "grid_axes", "parallel_contrast",
           "parallel_level", "coarse_map", "LocalSpread", "local_spread",
           "rescore_near", "find_peaks"]


@dataclass(frozen=True)
class ScoreMap:
    """Signal-to-noise map of the coarse search.

    Attributes
    ----------
    snr : ndarray, shape (nr, nt)
        Score divided by its robust spread: a detection signal-to-noise ratio per line.
    r : ndarray, shape (nr,)
        Band centre of each row, in the reduced image's pixel frame (see `r_full`).
    theta : ndarray, shape (nt,)
        Angle of each column, radians; extends a little beyond [0, pi) on both sides.
    binning : int
        Block size of the reduced image.
    offset : tuple of float
        (dx, dy) of the reduced frame's centre in the full frame.
    noise : float
        Robust spread of the raw score, in image units.
    spread : LocalSpread or None
        The spread of the lines around each cell relative to `noise` (see
        :func:`local_spread`), by which `snr` is divided; None where one spread serves all.
    """

    snr: np.ndarray
    r: np.ndarray
    theta: np.ndarray
    binning: int
    offset: tuple
    noise: float
    spread: LocalSpread | None = None

    def noise_at(self, k: int, l: int) -> float:
        """The raw score's spread (image units) at cell (k, l)."""
        return self.noise * (1.0 if self.spread is None else self.spread.at(k, l))

    def r_full(self, r_reduced, theta):
        """r of a reduced-frame line in the full-resolution frame."""
        return to_full_r(r_reduced, theta, self.binning, self.offset)


class Peak(NamedTuple):
    """A local maximum of the coarse map: its S/N, its line in the full-resolution frame (theta
    in [0, pi)) and its cell (k, l)."""

    snr: float
    r: float
    theta: float
    k: int
    l: int


# The coarse map scores a line against its parallel neighbours from FLAT_GAP to FLAT_REACH
# pixels away (see parallel_contrast): beyond a trail's core, within a background residual's
# scale.
FLAT_GAP = 6.0
FLAT_GAP_CELLS = 3
FLAT_REACH = 40.0
CONTRAST_COLUMNS = 64
# Maps of more cells than this have their noise taken from a third of them.
SPREAD_CELLS = 300_000
# The spread of a map is measured again in blocks of LOCAL_CELLS x LOCAL_CELLS cells (every other
# cell each way: neighbours share most of their pixels), and each line is scored against the
# spread of the lines around it: lines through a structured part of the sky (a gradient the
# background mesh did not follow, a group of galaxies) vary up to twice as much as those through
# a quiet part of the same image, and one spread for all held the quiet lines' trails back and
# let the structured lines through. No block counts as quieter than LOCAL_FLOOR of the whole
# map, nor is measured from fewer valid cells than LOCAL_VALID of its reads. Nor as more than
# LOCAL_CEILING times as spread: a bright trail makes the lines beside it low (they are scored
# against it as their parallel neighbour), and where it fills much of a block it widens the
# block's spread several times over.
LOCAL_CELLS = 64
LOCAL_FLOOR = 0.5
LOCAL_CEILING = 2.0
LOCAL_VALID = 0.25
# Peaks of the coarse map are examined from this fraction of the detection threshold on. The
# coarse map sums a line over the whole image: a trail that fills much of its line scores
# nearly as high there as refined, while a short bright feature (a galaxy, a cosmic-ray track)
# scores high only once refined onto it; seeds taken lower add such candidates faster than
# trails, and each one examined may slip through verification.
SEED_FRACTION = 0.85


def choose_binning(shape, max_size: int = 384) -> int:
    """Block size that brings the larger image side down to at most `max_size`.

    Examples
    --------
    >>> choose_binning((2048, 2048)), choose_binning((300, 200))
    (6, 1)
    """
    return max(1, int(np.ceil(max(shape) / max_size)))


def reduce_image(image: np.ndarray, f: int):
    """Block average by `f` (zero-padded to a whole number of blocks).

    Returns the reduced image and the offset (dx, dy) such that a point (x, y) of the reduced
    pixel frame lies at (f x + dx, f y + dy) in the full frame.

    Examples
    --------
    >>> small, offset = reduce_image(np.ones((5, 7)), 2)
    >>> small.shape, offset
    ((3, 4), (0.5, 0.5))
    """
    ny, nx = image.shape
    if f == 1:
        return image, (0.0, 0.0)
    my, mx = -(-ny // f), -(-nx // f)
    fy, fx = ny // f, nx // f
    # Block sums without a padded copy, the whole blocks as sums over a reshaped axis (several
    # times faster than reduceat over a large image): the last blocks may be short, and
    # dividing by f**2 treats their missing pixels as zeros.
    rows = np.empty((my, nx), image.dtype)
    rows[:fy] = image[:fy * f].reshape(fy, f, nx).sum(axis=1)
    if my > fy:
        rows[fy] = image[fy * f:].sum(axis=0)
    small = np.empty((my, mx), image.dtype)
    small[:, :fx] = rows[:, :fx * f].reshape(my, fx, f).sum(axis=2)
    if mx > fx:
        small[:, fx] = rows[:, fx * f:].sum(axis=1)
    small /= f * f
    return small, ((f * mx - nx) / 2.0, (f * my - ny) / 2.0)


def reduction_limit(sigma: float, f: int, level: float = 2.5) -> float:
    """Limit of a reduced pixel, `level` times its noise: a faint star, averaged into one
    reduced pixel, would stand out as much as a bright one; a long streak near the threshold is
    far below 2.5 in every block."""
    return level * sigma / f


def clipped_reduction(detect: np.ndarray, sigma: float, f: int, level: float = 2.5):
    """The search image `detect` (noise `sigma`) block-averaged by `f` (:func:`reduce_image`)
    and, for f > 1, limited to +-`level` sigma / f; returns it and its offset.

    Examples
    --------
    >>> small, offset = clipped_reduction(np.full((4, 6), 3.0), 1.0, 2)
    >>> small.tolist(), offset
    ([[1.25, 1.25, 1.25], [1.25, 1.25, 1.25]], (0.0, 0.0))
    """
    small, offset = reduce_image(detect, f)
    if f > 1:
        limit = reduction_limit(sigma, f, level)
        np.clip(small, -limit, limit, out=small)
    return small, offset


def update_reduction(small: np.ndarray, detect: np.ndarray, sigma: float, f: int, box,
                     level: float = 2.5) -> None:
    """Bring the blocks of `small` (:func:`clipped_reduction` of `detect` with `level`) that the
    (row slice, column slice) `box` of `detect` touches up to date, in place.

    Examples
    --------
    >>> detect = np.ones((4, 6)); small, _ = clipped_reduction(detect, 1.0, 2)
    >>> detect[0, 0] = 0.0
    >>> update_reduction(small, detect, 1.0, 2, (slice(0, 1), slice(0, 1)))
    >>> small[0].tolist()
    [0.75, 1.0, 1.0]
    """
    if f == 1:
        return  # `small` is `detect` itself
    rows, cols = box
    r0, r1 = rows.start // f, -(-rows.stop // f)
    c0, c1 = cols.start // f, -(-cols.stop // f)
    block, _ = reduce_image(detect[r0 * f:r1 * f, c0 * f:c1 * f], f)
    limit = reduction_limit(sigma, f, level)
    small[r0:r1, c0:c1] = np.clip(block, -limit, limit)


def _robust_spread(values: np.ndarray) -> float:
    """Robust spread of the scored cells of a map (1 when there are none), from every third
    cell of a large map: neighbouring cells share most of their pixels."""
    values = values.ravel()[::3 if values.size > SPREAD_CELLS else 1]
    values = values[np.isfinite(values) & (values != 0.0)]
    if values.size == 0:
        return 1.0
    return robust_sigma(values, max_samples=None, overwrite=True) or 1.0


def line_grid(shape, *, pad: int = 4):
    """The (r, theta) grid that scores every line of an image of `shape`: r in half-pixel steps,
    theta in steps that move the far end of a line by about one pixel, theta extended by `pad`
    steps beyond [0, pi) so that peaks near the wrap-around are complete.

    Returns the arguments ``(r0, r1, nr, t0, t1, nt)`` of ``HoughTransform.score_map``.

    Examples
    --------
    >>> r0, r1, nr, t0, t1, nt = line_grid((40, 50))
    >>> nr, nt
    (131, 110)
    """
    radius = float(np.hypot(*shape) / 2.0)
    dr = 0.5
    nr = int(np.ceil(2 * radius / dr)) + 2
    r0 = -radius - dr
    dt = 1.0 / max(radius, 1.0)
    nt0 = int(np.ceil(np.pi / dt))
    dt = np.pi / nt0
    t0, nt = -pad * dt, nt0 + 2 * pad + 1
    return r0, r0 + (nr - 1) * dr, nr, t0, t0 + (nt - 1) * dt, nt


def grid_axes(r0, r1, nr, t0, t1, nt):
    """Band centres r and angles theta of the cells of ``score_map(r0, r1, nr, t0, t1, nt)``.

    The kernel computes the grid from single-precision ends; it is rebuilt the same way.

    Examples
    --------
    >>> r, theta = grid_axes(0.0, 2.0, 3, 0.0, 1.0, 2)
    >>> r.tolist(), theta.tolist()
    ([0.5, 1.5, 2.5], [0.0, 1.0])
    """
    r0, r1, t0, t1 = (float(np.float32(v)) for v in (r0, r1, t0, t1))
    r = r0 + (np.arange(nr) + 0.5) * (r1 - r0) / (nr - 1)
    theta = t0 + np.arange(nt) * (t1 - t0) / (nt - 1)
    return r, theta


def parallel_contrast(raw: np.ndarray, f: int, out=None) -> np.ndarray:
    """Each cell of a score map (rows r, columns theta) less the mean of the cells of its column
    from `FLAT_GAP` to `FLAT_REACH` (pixels of the full image; at least `FLAT_GAP_CELLS`
    cells) away on either side: the score of a line against the lines parallel to it.

    A residual of the background that a long line sums coherently (sky structure, a gradient
    that the mesh did not follow) raises its parallel neighbours as much; a trail, a few
    pixels wide, does not. Cells that score nothing (lines off the image) are neither
    corrected nor used.

    Examples
    --------
    >>> raw = np.tile(np.linspace(1.0, 2.0, 200)[:, None], (1, 3))    # a smooth slope
    >>> raw[100] += 5.0                                                # and one line
    >>> flat = parallel_contrast(raw, 1)
    >>> round(float(flat[100, 0]), 6), bool(np.abs(flat[80:95]).max() < 0.1)
    (5.0, True)
    """
    # A map's r step is half a pixel of its (reduced) image.
    cells = 2.0 / f
    gap = max(int(round(FLAT_GAP * cells)), FLAT_GAP_CELLS)
    reach = max(int(round(FLAT_REACH * cells)), 2 * gap)
    out = raw.copy() if out is None else out
    # A block of columns at a time: each column is filtered alone, and the temporaries stay
    # small beside the map.
    for j in range(0, raw.shape[1], CONTRAST_COLUMNS):
        block = raw[:, j:j + CONTRAST_COLUMNS]
        valid = (block != 0.0).astype(np.float64)
        side = _window_sums(block, gap, reach)
        side /= np.maximum(_window_sums(valid, gap, reach), 1.0)
        side *= valid
        np.subtract(block, side, out=out[:, j:j + CONTRAST_COLUMNS])
    return out


def _window_sums(values, gap, reach):
    """Per cell, the sum of `values` over the cells `gap` + 1 to `reach` away along axis 0
    (differences of one running sum: three times faster than two moving averages).

    Examples
    --------
    >>> _window_sums(np.ones((6, 1)), 0, 2)[:, 0].tolist()
    [2.0, 3.0, 4.0, 4.0, 3.0, 2.0]
    """
    n = values.shape[0]
    running = np.zeros((n + 1,) + values.shape[1:])
    np.cumsum(values, axis=0, out=running[1:])
    out = _within(running, reach)
    out -= _within(running, gap)
    return out


def _within(running, h):
    """``running[min(k + h + 1, n)] - running[max(k - h, 0)]`` for k = 0 .. n - 1, from slices
    of the n + 1 rows of `running` (a quarter faster than gathering them by index)."""
    n = running.shape[0] - 1
    out = np.empty((n,) + running.shape[1:])
    top = max(0, n - h)
    out[:top] = running[h + 1:h + 1 + top]
    out[top:] = running[n]
    bottom = min(h + 1, n)
    out[:bottom] -= running[0]
    out[bottom:] -= running[1:1 + n - bottom]
    return out


def parallel_level(image: np.ndarray, r: float, theta: float, *, width: float,
                   scale: int = 1) -> float:
    """Mean score (image units, as ``HoughTransform.score_map`` scores) of the bands of half-width
    `width` parallel to the line (r, theta) of `image`, `FLAT_GAP` to `FLAT_REACH` pixels of the
    full image (`scale` of them to a pixel of `image`) away on either side, that hold pixels:
    the score the line owes to the background around it (see :func:`parallel_contrast`).

    Examples
    --------
    >>> rows = np.arange(200.0)[:, None]
    >>> image = np.ones((200, 300)) * (0.01 * rows)           # a gradient across the line
    >>> image[100] += 1.0                                      # and the line
    >>> on = NarrowScorer(image, -0.5, 0.0, 4.0).score_map(-1.0, 0.0, 3, 0.0, 0.001, 2, 0.5)
    >>> round(float(on[1, 0] - parallel_level(image, -0.5, 0.0, width=0.5)), 3)
    17.321
    """
    step = max(2.0 * width, 1.0)
    gap, reach = FLAT_GAP / scale, FLAT_REACH / scale
    j = int(np.ceil(reach / step))
    r0 = r - (j + 0.5) * step
    scorer = NarrowScorer(image, r, theta, reach + step + 2.0)
    scores = scorer.score_map(r0, r0 + 2 * j * step, 2 * j + 1, theta, theta + 1e-6, 2,
                              width / step)[:, 0]
    offset = np.abs(np.arange(-j, j + 1) * step)
    use = (offset >= gap) & (offset <= reach) & (scores != 0.0)
    return float(scores[use].mean()) if use.any() else 0.0


def coarse_map(small: np.ndarray, f: int, offset, *, pad: int = 4) -> ScoreMap:
    """Score every line of the reduced image on the grid of :func:`line_grid`, against the
    lines parallel to it (:func:`parallel_contrast`).

    Examples
    --------
    >>> m = coarse_map(np.random.default_rng(0).normal(size=(40, 50)), 1, (0.0, 0.0))
    >>> m.snr.shape == (m.r.size, m.theta.size)
    True
    """
    grid = line_grid(small.shape, pad=pad)
    raw = HoughTransform(small, 1.0).score_map(*grid, 1.0)
    parallel_contrast(raw, f, out=raw)
    r, theta = grid_axes(*grid)
    noise = _robust_spread(raw)
    raw /= noise
    spread = local_spread(raw, cells=LOCAL_CELLS, floor=LOCAL_FLOOR, ceiling=LOCAL_CEILING)
    if spread is not None:
        spread.divide(raw)
    return ScoreMap(raw, r, theta, f, tuple(offset), noise, spread)


@dataclass(frozen=True)
class LocalSpread:
    """The spread of a map's lines block by block (relative to the whole map's), interpolated
    linearly between the blocks' centres: `rows` holds it already interpolated along r (one
    column per block of angles), and ``rows @ across_t.T`` interpolates along theta, never
    below `floor`. The spread at every cell is not kept: it would be as large as the map."""

    rows: np.ndarray
    across_t: np.ndarray
    floor: float

    def columns(self, lo: int, hi: int) -> np.ndarray:
        """The spread of the cells of columns lo:hi, shape (nr, hi - lo)."""
        out = self.rows @ self.across_t[lo:hi].T
        return np.maximum(out, self.floor, out=out)

    def divide(self, values: np.ndarray, lo: int = 0) -> None:
        """Divide `values`, the map's columns from `lo` on, by their spread in place, a block of
        columns at a time."""
        for j in range(0, values.shape[1], CONTRAST_COLUMNS):
            block = values[:, j:j + CONTRAST_COLUMNS]
            block /= self.columns(lo + j, lo + j + block.shape[1])

    def at(self, k: int, l: int) -> float:
        """The spread at cell (k, l)."""
        return max(float(self.rows[k] @ self.across_t[l]), self.floor)


def local_spread(snr: np.ndarray, *, cells: int = LOCAL_CELLS, floor: float = LOCAL_FLOOR,
                 ceiling: float = LOCAL_CEILING) -> LocalSpread | None:
    """The robust spread of the scored cells of `snr` in blocks of about `cells` x `cells`,
    from `floor` to `ceiling` (see :class:`LocalSpread`); None for a map of one block or with
    no block scored.

    Examples
    --------
    >>> snr = np.random.default_rng(0).normal(size=(256, 128))
    >>> snr[128:] *= 2.0                            # lines through a structured half
    >>> spread = local_spread(snr)
    >>> quiet, structured = spread.at(40, 64), spread.at(216, 64)
    >>> bool(abs(quiet - 1.0) < 0.1 and abs(structured - 2.0) < 0.2)
    True
    >>> spread.columns(0, 128).shape
    (256, 128)
    """
    nr, nt = snr.shape
    kr, kt = max(1, nr // cells), max(1, nt // cells)
    if kr * kt == 1:
        return None
    r_edges = (np.arange(kr + 1) * nr) // kr
    t_edges = (np.arange(kt + 1) * nt) // kt
    # The same reads in every block: every other cell of the smallest block's extent.
    rows = r_edges[:-1, None] + np.arange(0, nr // kr, 2)
    cols = t_edges[:-1, None] + np.arange(0, nt // kt, 2)
    # In single precision, as the search image is: a spread needs no more.
    values = snr[rows[:, None, :, None], cols[None, :, None, :]].reshape(kr, kt, -1)
    values = values.astype(np.float32, copy=False)
    good = np.isfinite(values) & (values != 0.0)
    centre = masked_median(values, good, axis=2)
    # From the cells below the median only: a trail raises the cells around its own, as many
    # as a wide trail's broad ridge and its side lobes cover, and with them a spread taken from
    # both sides; noise and what the background leaves lie on both.
    below = values - centre[:, :, None]
    spread = MAD_TO_SIGMA * masked_median(-below, good & (below < 0.0), axis=2)
    spread[good.sum(axis=2) < LOCAL_VALID * values.shape[2]] = np.nan
    empty = np.isnan(spread)
    if empty.all():
        return None
    if empty.any():
        _, nearest = ndimage.distance_transform_edt(empty, return_indices=True)
        spread = spread[tuple(nearest)]
    across_r = linear_weights(nr, (r_edges[:-1] + r_edges[1:] - 1) / 2.0)
    return LocalSpread(across_r @ np.clip(spread, floor, ceiling),
                       linear_weights(nt, (t_edges[:-1] + t_edges[1:] - 1) / 2.0), float(floor))


def rescore_near(snr: np.ndarray, smap: ScoreMap, small: np.ndarray, theta: float,
                 half_t: float) -> None:
    """Score again, in place in `snr` (laid out as ``smap.snr``), the columns of the coarse map
    within `half_t` of `theta` (either side of the wrap-around at pi), from the current reduced
    image `small`, in units of the map's original noise.

    A streak blanked from the image takes its ridge in the map away; farther from its angle,
    what it left is spread over many cells, and peaks it still raises there fail refinement.

    Examples
    --------
    >>> small = np.random.default_rng(1).normal(size=(40, 50))
    >>> m = coarse_map(small, 1, (0.0, 0.0))
    >>> snr = m.snr.copy()
    >>> rescore_near(snr, m, np.zeros_like(small), 1.0, 0.1)
    >>> near = np.abs(m.theta - 1.0) <= 0.1
    >>> bool((snr[:, near] == 0).all() and (snr[:, ~near] == m.snr[:, ~near]).all())
    True
    """
    nt = smap.theta.size
    near = np.zeros(nt, bool)
    for centre in (theta - np.pi, theta, theta + np.pi):
        near |= np.abs(smap.theta - centre) <= half_t
    ht = HoughTransform(small, 1.0)
    half_step = 0.5 * (smap.r[1] - smap.r[0])  # the grid's r are band centres
    r0, r1 = smap.r[0] - half_step, smap.r[-1] - half_step
    for lo, hi in _runs(near):
        if hi - lo == 1:  # the kernel needs two angles to make a step
            hi = min(lo + 2, nt)
            lo = hi - 2
        raw = ht.score_map(r0, r1, smap.r.size, float(smap.theta[lo]), float(smap.theta[hi - 1]),
                           hi - lo, 1.0)
        snr[:, lo:hi] = parallel_contrast(raw, smap.binning) / smap.noise
        if smap.spread is not None:
            smap.spread.divide(snr[:, lo:hi], lo)


def _runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], flags.astype(np.int8), [0]))))
    return list(zip(edges[::2], edges[1::2]))


def find_peaks(smap: ScoreMap, threshold: float, *, size=(7, 7), limit: int = 100
               ) -> list[Peak]:
    """Local maxima of the coarse map above `threshold`, strongest first, one per line.

    The map runs a few steps beyond both ends of [0, pi), and a line near theta = 0 shows on
    both sides: maxima in the margins are folded back and kept once.

    Examples
    --------
    >>> snr = np.zeros((20, 30)); snr[5, 10] = 8.0
    >>> m = ScoreMap(snr, np.arange(20.0), np.linspace(0, 3, 30), 1, (0.0, 0.0), 1.0)
    >>> [(float(p.snr), p.k, p.l) for p in find_peaks(m, 5.0)]
    [(8.0, 5, 10)]
    """
    snr = smap.snr
    if np.isnan(snr).any():
        snr = np.nan_to_num(snr, nan=-np.inf)
    k, l = _local_maxima(snr, threshold, size)
    order = np.argsort(-snr[k, l])
    dt = abs(float(smap.theta[1] - smap.theta[0])) if smap.theta.size > 1 else 1.0
    dr = smap.binning * abs(float(smap.r[1] - smap.r[0])) if smap.r.size > 1 else 1.0
    peaks = []
    for i in order:
        theta = float(smap.theta[l[i]])
        r, theta = canonical(float(smap.r_full(smap.r[k[i]], theta)), theta)
        if any(same_line(r, theta, p.r, p.theta, size[0] // 2 * dr, size[1] // 2 * dt)
               for p in peaks):
            continue
        peaks.append(Peak(float(snr[k[i], l[i]]), r, theta, int(k[i]), int(l[i])))
        if len(peaks) >= limit:
            break
    return peaks


def _local_maxima(values, threshold, size):
    """Indices of the cells above `threshold` that equal the maximum of their `size`
    neighbourhood (the array continued by its edge values), as a maximum filter with mode
    "nearest" finds them; only the few cells above the threshold are looked at."""
    k, l = np.nonzero(values > threshold)
    if k.size == 0:
        return k, l
    hk, hl = size[0] // 2, size[1] // 2
    rows = np.clip(k[:, None] + np.arange(-hk, hk + 1), 0, values.shape[0] - 1)
    cols = np.clip(l[:, None] + np.arange(-hl, hl + 1), 0, values.shape[1] - 1)
    local = values[rows[:, :, None], cols[:, None, :]].max(axis=(1, 2))
    keep = values[k, l] == local
    return k[keep], l[keep]


class Detector:
    """The search images of one image and the detection stages on them: the coarse map, the
    refinement of its peaks, and the removal of found streaks.

    Parameters
    ----------
    detect : ndarray
        The prepared search image (see :class:`~kestrova.prepare.PreparedImage`); found streaks
        are blanked in it, in place.
    sigma : float
        Noise per pixel of `detect`.
    binning : int
        Block size of the reduced image of the coarse map.
    width : float
        Half-width in pixels of the band of a line.
    min_snr : float
        A refined line must score at least this; peaks are taken from `SEED_FRACTION` of it.

    Examples
    --------
    >>> from kestrova.synthetic import TrueStreak, draw_streak
    >>> truth = TrueStreak(10.0, 20.0, 150.0, 100.0, 6.0)
    >>> image = draw_streak(np.random.default_rng(0).normal(size=(120, 160)), truth)
    >>> detector = Detector(image, 1.0, binning=2, width=2.0, min_snr=6.0)
    >>> smap = detector.coarse()
    >>> line = detector.refine(find_peaks(smap, detector.seed_threshold)[0], smap)
    >>> r, theta = truth.line(image.shape)
    >>> bool(abs(line.r - r) < 0.2 and abs(line.theta - theta) < 0.002 and line.score > 30)
    True
    """

    def __init__(self, detect: np.ndarray, sigma: float, *, binning: int, width: float,
                 min_snr: float):
        self.sigma = sigma
        self.width = float(width)
        self.min_snr = float(min_snr)
        self.seed_threshold = SEED_FRACTION * self.min_snr
        self.f = int(binning)
        self.detect = detect
        self.small, self.offset = clipped_reduction(detect, sigma, self.f)
        self.fine_ht = HoughTransform(self.detect, 1.0)

    def coarse(self) -> ScoreMap:
        """The score map of every line of the reduced image."""
        return coarse_map(self.small, self.f, self.offset)

    def refine(self, peak: Peak, smap: ScoreMap) -> Line | None:
        """The line of the full-resolution image that a peak of `smap` stands for, or None when
        it scores below the threshold."""
        f = self.f
        coarse_dt = float(smap.theta[1] - smap.theta[0])
        if f > 1:
            # Narrow the window cheaply on the reduced image, then refine at full resolution
            # from the pixels near the line.
            r_small = to_reduced_r(peak.r, peak.theta, f, self.offset)
            width = max(0.5, self.width / f)
            # In units of the spread of the lines around it, as the map scored it.
            noise = smap.noise_at(peak.k, peak.l)
            line = refine_near(self.small, noise, r_small, peak.theta, half_r=1.5,
                               half_t=1.5 * coarse_dt, width=width)
            # Against its parallel neighbours, as the map scored it.
            level = parallel_level(self.small, line.r, line.theta, width=width, scale=f)
            if line.score - level / noise < self.seed_threshold:
                return None
            r_full = to_full_r(line.r, line.theta, f, self.offset)
            radius_small = max(float(np.hypot(*self.small.shape) / 2.0), 1.0)
            line = refine_near(self.detect, self.sigma, r_full, line.theta,
                               half_r=0.5 * f + 1, half_t=0.3 / radius_small, width=self.width)
        else:
            line = refine_line(self.fine_ht, self.sigma, peak.r, peak.theta, half_r=1.5,
                               half_t=1.5 * coarse_dt, width=self.width)
        return line if line.score >= self.min_snr else None

    def blank(self, region: np.ndarray, box) -> None:
        """Zero the pixels `region` of the (row slice, column slice) `box` in the search image,
        and bring the reduced image up to date."""
        rows, cols = box
        self.detect[rows, cols][region] = 0.0
        update_reduction(self.small, self.detect, self.sigma, self.f, box)

    def rescore(self, snr: np.ndarray, smap: ScoreMap, theta: float, half_t: float) -> None:
        """:func:`rescore_near` on the current reduced image."""
        rescore_near(snr, smap, self.small, theta, half_t)
