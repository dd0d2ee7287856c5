"""Coarse-to-fine line search with the band Hough score map.

The score map costs rows x columns x angles, so the whole (r, theta) plane is searched on a
block-averaged copy of the image (which also raises the per-pixel signal-to-noise ratio of a
streak), and each candidate is then refined on the full-resolution image over a small window.

A cell k of ``score_map(r0, r1, nr, ...)`` sums the band of half-width ``width * dr`` centred on
``r0 + (k + 0.5) * dr`` (not on its nominal ``r_k``); every r below is converted accordingly.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .hough import HoughTransform

__all__ = ["ScoreMap", "Line", "reduce_image", "coarse_map", "rescore_near", "find_peaks",
           "refine_line", "refine_near", "NarrowScorer", "choose_binning", "band_pixels"]


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
    """

    snr: np.ndarray
    r: np.ndarray
    theta: np.ndarray
    binning: int
    offset: tuple
    noise: float

    def r_full(self, r_reduced, theta):
        """r of a reduced-frame line in the full-resolution frame."""
        return to_full_r(r_reduced, theta, self.binning, self.offset)


@dataclass(frozen=True)
class Line:
    """A refined line: parameters in the full-resolution frame and its detection score."""

    r: float
    theta: float
    score: float


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
    # Block sums without a padded copy: the last blocks may be short, and dividing by f**2
    # treats their missing pixels as zeros.
    small = np.add.reduceat(np.add.reduceat(image, np.arange(0, ny, f), axis=0),
                            np.arange(0, nx, f), axis=1)
    small /= f * f
    return small, ((f * mx - nx) / 2.0, (f * my - ny) / 2.0)


def to_full_r(r_reduced, theta, f, offset):
    """Convert r from a reduced frame (binning `f`, `offset`) to the full frame."""
    return f * r_reduced + np.sin(theta) * offset[0] - np.cos(theta) * offset[1]


def to_reduced_r(r_full, theta, f, offset):
    """Inverse of :func:`to_full_r`."""
    return (r_full - np.sin(theta) * offset[0] + np.cos(theta) * offset[1]) / f


def _robust_spread(values: np.ndarray) -> float:
    values = values[np.isfinite(values) & (values != 0.0)]
    if values.size == 0:
        return 1.0
    med = np.median(values)
    return float(1.482602218505602 * np.median(np.abs(values - med))) or 1.0


def coarse_map(small: np.ndarray, f: int, offset, *, pad: int = 4) -> ScoreMap:
    """Score every line of the reduced image: r in half-pixel steps, theta in steps that move
    the far end of a line by about one reduced pixel, theta extended by `pad` steps beyond
    [0, pi) so that peaks near the wrap-around are complete.

    Examples
    --------
    >>> m = coarse_map(np.random.default_rng(0).normal(size=(40, 50)), 1, (0.0, 0.0))
    >>> m.snr.shape == (m.r.size, m.theta.size)
    True
    """
    ht = HoughTransform(small, 1.0)
    radius = float(ht.radius)
    dr = 0.5
    nr = int(np.ceil(2 * radius / dr)) + 2
    r0 = -radius - dr
    dt = 1.0 / max(radius, 1.0)
    nt0 = int(np.ceil(np.pi / dt))
    dt = np.pi / nt0
    t0, nt = -pad * dt, nt0 + 2 * pad + 1
    r1, t1 = r0 + (nr - 1) * dr, t0 + (nt - 1) * dt
    raw = ht.score_map(r0, r1, nr, t0, t1, nt, 1.0)
    # The kernel computes the grid from single-precision ends; rebuild it the same way.
    r0, r1, t0, t1 = (float(np.float32(v)) for v in (r0, r1, t0, t1))
    r = r0 + (np.arange(nr) + 0.5) * (r1 - r0) / (nr - 1)
    theta = t0 + np.arange(nt) * (t1 - t0) / (nt - 1)
    noise = _robust_spread(raw)
    return ScoreMap(raw / noise, r, theta, f, tuple(offset), noise)


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
        snr[:, lo:hi] = raw / smap.noise


def _runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.flatnonzero(np.diff(np.concatenate(([0], flags.astype(np.int8), [0]))))
    return list(zip(edges[::2], edges[1::2]))


def find_peaks(smap: ScoreMap, threshold: float, *, size=(7, 7), limit: int = 100):
    """Local maxima of the coarse map above `threshold`, strongest first, one per line;
    returns (snr, r_full, theta, k, l) tuples with theta in [0, pi).

    The map runs a few steps beyond both ends of [0, pi), and a line near theta = 0 shows on
    both sides: maxima in the margins are folded back and kept once.

    Examples
    --------
    >>> snr = np.zeros((20, 30)); snr[5, 10] = 8.0
    >>> m = ScoreMap(snr, np.arange(20.0), np.linspace(0, 3, 30), 1, (0.0, 0.0), 1.0)
    >>> [(float(p[0]), p[3], p[4]) for p in find_peaks(m, 5.0)]
    [(8.0, 5, 10)]
    """
    snr = np.nan_to_num(smap.snr, nan=-np.inf)
    k, l = _local_maxima(snr, threshold, size)
    order = np.argsort(-snr[k, l])
    dt = abs(float(smap.theta[1] - smap.theta[0])) if smap.theta.size > 1 else 1.0
    dr = smap.binning * abs(float(smap.r[1] - smap.r[0])) if smap.r.size > 1 else 1.0
    peaks = []
    for i in order:
        theta = float(smap.theta[l[i]])
        r, theta = canonical(float(smap.r_full(smap.r[k[i]], theta)), theta)
        if any(_same_line(r, theta, p[1], p[2], size[0] // 2 * dr, size[1] // 2 * dt)
               for p in peaks):
            continue
        peaks.append((float(snr[k[i], l[i]]), r, theta, int(k[i]), int(l[i])))
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


def _same_line(r1, t1, r2, t2, dr, dt):
    """Whether two lines with theta in [0, pi) are within (dr, dt) of each other, across the
    wrap-around at pi where (r, theta) continues as (-r, theta - pi)."""
    if abs(t1 - t2) > np.pi / 2:
        r2, t2 = -r2, t2 + (np.pi if t2 < t1 else -np.pi)
    return abs(t1 - t2) <= dt and abs(r1 - r2) <= dr


def _window_scores(ht, r_c, t_c, half_r, dr, half_t, dt, width):
    n = int(np.ceil(half_r / dr))
    # The kernel is fastest when a band spans no more r cells than the map has (its cost does
    # not depend on the number of r cells): score at least that many and keep the middle.
    m = max(n, int(np.ceil(width)))
    nr = 2 * m + 1
    nt = 2 * int(np.ceil(half_t / dt)) + 1
    r0 = r_c - m * dr - 0.5 * dr
    t0 = t_c - (nt // 2) * dt
    r1, t1 = r0 + (nr - 1) * dr, t0 + (nt - 1) * dt
    scores = ht.score_map(r0, r1, nr, t0, t1, nt, width)
    r0, r1, t0, t1 = (float(np.float32(v)) for v in (r0, r1, t0, t1))
    r = r0 + (np.arange(nr) + 0.5) * (r1 - r0) / (nr - 1)
    theta = t0 + np.arange(nt) * (t1 - t0) / (nt - 1)
    return scores[m - n:m + n + 1], r[m - n:m + n + 1], theta


def _peak_position(scores, r, theta):
    """Maximum of a window, refined by a parabola through its neighbours on each axis."""
    k, l = np.unravel_index(np.argmax(scores), scores.shape)
    best = float(scores[k, l])
    rk = _plateau_middle(scores[:, l], k, r)
    tl = _plateau_middle(scores[k, :], l, theta)
    if rk is None and 0 < k < len(r) - 1:
        rk = float(r[k]) + _vertex(scores[k - 1, l], best, scores[k + 1, l]) * (r[1] - r[0])
    if tl is None and 0 < l < len(theta) - 1:
        tl = float(theta[l]) + _vertex(scores[k, l - 1], best, scores[k, l + 1]) * (
            theta[1] - theta[0])
    return (float(r[k]) if rk is None else rk), (float(theta[l]) if tl is None else tl), best


def _plateau_middle(values, i, grid):
    """Middle of the run of cells tied with the maximum at `i`, or None if it stands alone.
    A line along a pixel row or column scores the same over a whole pixel of r and a range of
    tilts, since the band holds the same pixels."""
    best = values[i]
    tie = np.abs(values - best) <= 1e-9 * max(abs(best), 1.0)
    lo = i - np.argmin(np.append(tie[i::-1], False))
    hi = i + np.argmin(np.append(tie[i:], False))
    if hi - lo <= 2:  # lo and hi are the first cells outside the run
        return None
    return 0.5 * (float(grid[lo + 1]) + float(grid[hi - 1]))


def _vertex(a, b, c):
    denom = a - 2.0 * b + c
    return 0.0 if denom >= 0.0 else float(np.clip(0.5 * (a - c) / denom, -0.5, 0.5))


def refine_line(ht: HoughTransform, sigma: float, r: float, theta: float, *, half_r: float,
                half_t: float, width: float = 2.0) -> Line:
    """Refine a line on the full-resolution image `ht` around (r, theta).

    Two passes of a narrow score map: the first over the given window with steps that move the
    line's far end by half a pixel, the second around its maximum with four times finer steps.
    The score is in units of `sigma` (a detection signal-to-noise ratio for a band of half-width
    `width` pixels).

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]                     # a streak along row 30:
    >>> image = np.exp(-0.5 * (rows - 30.0) ** 2) * np.ones((1, 80))  # r = -0.5, theta = 0
    >>> line = refine_line(HoughTransform(image, 1.0), 1.0, 1.0, 0.02, half_r=2, half_t=0.05)
    >>> round(line.r, 1), round(line.theta, 2)
    (-0.5, 0.0)
    """
    radius = max(float(ht.radius), 1.0)
    dt, dr = 0.5 / radius, 0.25
    scores, rs, ts = _window_scores(ht, r, theta, half_r, dr, half_t, dt, width / dr)
    r, theta, _ = _peak_position(scores, rs, ts)
    dt, dr = dt / 4.0, dr / 2.0
    scores, rs, ts = _window_scores(ht, r, theta, 3 * dr, dr, 3 * dt, dt, width / dr)
    r, theta, best = _peak_position(scores, rs, ts)
    return Line(float(r), float(theta), best / sigma)


def canonical(r: float, theta: float):
    """The same line with theta in [0, pi).

    Examples
    --------
    >>> canonical(2.0, -0.1)[0]
    -2.0
    """
    turns = np.floor(theta / np.pi)
    theta -= turns * np.pi
    if theta >= np.pi:
        theta -= np.pi
        turns += 1
    return (-r if int(turns) % 2 else r), float(theta)


def band_pixels(shape, r: float, theta: float, w: float):
    """The pixels of an image of `shape` within `w` of the line (r, theta): the band that
    ``HoughTransform.mask(r, theta, w)`` selects, found without evaluating the whole image.

    The arithmetic follows HoughTransform (single-precision r, theta, w, cosine and sine;
    double-precision coordinates), so that the same pixels are selected.

    Returns
    -------
    rows, cols : ndarray of int
        Pixel indices in row-major order.
    dl, dm : ndarray of float
        Across- and along-line coordinates of the pixels (HoughTransform.dl and .dm).

    Examples
    --------
    >>> rows, cols, dl, dm = band_pixels((5, 9), 0.0, 0.0, 0.6)  # the middle row
    >>> rows.tolist() == [2] * 9, cols.tolist() == list(range(9))
    (True, True)
    """
    ny, nx = shape
    theta = float(np.float32(theta))
    r, w = float(np.float32(r)), float(np.float32(w))
    c, s = float(np.float32(np.cos(theta))), float(np.float32(np.sin(theta)))
    cy, cx = (ny - 1) / 2.0, (nx - 1) / 2.0
    empty = np.zeros(0, np.intp)
    if not (np.isfinite(r) and np.isfinite(w) and np.isfinite(c) and w > 0):
        return empty, empty, np.zeros(0), np.zeros(0)
    # Along the axis the line follows more closely, each pixel column (row) meets the band in
    # a run of at most 2 w / |cos| (|sin|) pixels around the line: take a few more and select.
    if abs(c) >= abs(s):
        along, n_across = np.arange(nx), ny
        centre = (s * (along - cx) - r) / c + cy
    else:
        along, n_across = np.arange(ny), nx
        centre = (c * (along - cy) + r) / s + cx
    half = w / max(abs(c), abs(s))
    k = int(np.ceil(2.0 * half)) + 3
    across = np.floor(centre - half).astype(np.intp)[:, None] - 1 + np.arange(k)
    along = np.broadcast_to(along[:, None], across.shape)
    inside = (across >= 0) & (across < n_across)
    across, along = across[inside], along[inside]
    if abs(c) >= abs(s):
        rows, cols = across, along
    else:
        rows, cols = along, across
    x, y = cols - cx, rows - cy
    dl = ((-s) * x + c * y) + r
    keep = np.abs(dl) < w
    rows, cols, x, y, dl = rows[keep], cols[keep], x[keep], y[keep], dl[keep]
    if abs(c) >= abs(s):  # gathered column by column
        order = np.argsort(rows * nx + cols, kind="stable")
        rows, cols, x, y, dl = rows[order], cols[order], x[order], y[order], dl[order]
    return rows, cols, dl, c * x + s * y


class NarrowScorer:
    """Stands in for a HoughTransform of `image` in :func:`refine_line`: its `score_map` scores
    lines close to (r, theta), from the pixels within `reach` of that line only.

    A cell sums the pixels whose band reaches it and divides by the square root of their
    number, as HoughTransform.score_map does, so that lines whose band stays within `reach` of
    (r, theta) score as on the whole image; the cost is that of the gathered pixels, not of the
    image.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(size=(60, 80))
    >>> near = NarrowScorer(image, 5.0, 0.3, 8.0).score_map(3.0, 7.0, 17, 0.29, 0.31, 3, 8.0)
    >>> whole = HoughTransform(image, 1.0).score_map(3.0, 7.0, 17, 0.29, 0.31, 3, 8.0)
    >>> bool(np.allclose(near, whole))
    True
    """

    def __init__(self, image: np.ndarray, r: float, theta: float, reach: float):
        ny, nx = image.shape
        self.radius = np.hypot(nx, ny) / 2.0
        rows, cols, _, _ = band_pixels(image.shape, r, theta, reach)
        self.x = cols - (nx - 1) / 2.0
        self.y = rows - (ny - 1) / 2.0
        self.values = image[rows, cols]

    def score_map(self, r0, r1, nr, t0, t1, nt, width=1.0):
        """Scores on the grid of ``HoughTransform.score_map``, shape (nr, nt)."""
        r0, r1, t0, t1, width = (float(np.float32(v)) for v in (r0, r1, t0, t1, width))
        dr, dt = (r1 - r0) / (nr - 1.0), (t1 - t0) / (nt - 1.0)
        h = width * dr
        out = np.zeros((nr, nt))
        x, y, values = self._within(r0, r1, t0, t1, abs(h))
        if values.size == 0:
            return out
        for l in range(nt):
            theta = l * dt + t0
            d = (np.sin(theta) * x - np.cos(theta) * y) - r0
            # A pixel adds to the cells [floor(t_lo), floor(t_hi)), clipped to the grid.
            lo = np.clip(np.floor((d - h) / dr + 0.5), 0, nr).astype(np.intp)
            hi = np.clip(np.floor((d + h) / dr + 0.5), 0, nr).astype(np.intp)
            total = np.cumsum(np.bincount(lo, values, nr + 1)
                              - np.bincount(hi, values, nr + 1))[:nr]
            count = np.cumsum(np.bincount(lo, minlength=nr + 1)
                              - np.bincount(hi, minlength=nr + 1))[:nr]
            out[:, l] = np.where(count > 0, total / np.sqrt(np.maximum(count, 1)), total)
        return out

    def _within(self, r0, r1, t0, t1, h):
        """The gathered pixels that a band of the grid can reach: those near the grid's middle
        line (a narrow second window needs far fewer than the first)."""
        r_mid, t_mid = 0.5 * (r0 + r1), 0.5 * (t0 + t1)
        d = np.sin(t_mid) * self.x - np.cos(t_mid) * self.y - r_mid
        # Within the image, turning a line by dt moves it by at most radius * dt.
        near = np.abs(d) <= 0.5 * abs(r1 - r0) + h + 0.5 * abs(t1 - t0) * self.radius + 2.0
        return self.x[near], self.y[near], self.values[near]


def refine_near(image: np.ndarray, sigma: float, r: float, theta: float, *, half_r: float,
                half_t: float, width: float = 2.0) -> Line:
    """:func:`refine_line` on the full-resolution `image`, scoring only the pixels that the
    bands of the window's lines can reach: the same lines and scores, at the cost of the band
    around (r, theta) instead of the whole image.

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]
    >>> image = np.exp(-0.5 * (rows - 40.0) ** 2) * np.ones((1, 80))  # r = -10.5, theta = 0
    >>> line = refine_near(image, 1.0, -10.0, 0.02, half_r=2, half_t=0.05)
    >>> round(line.r, 1), round(line.theta, 2)
    (-10.5, 0.0)
    """
    radius = np.hypot(*image.shape) / 2.0
    # How far inside the image the bands of the window's lines stray from (r, theta): the
    # window, one more step of r and theta each way, and the band itself.
    reach = half_r + radius * half_t + width + 3.0
    return refine_line(NarrowScorer(image, r, theta, reach), sigma, r, theta, half_r=half_r,
                       half_t=half_t, width=width)
