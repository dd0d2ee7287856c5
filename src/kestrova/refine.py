"""Refinement of a candidate line: narrow score maps around it on the full-resolution image.

A cell k of ``score_map(r0, r1, nr, ...)`` sums the band of half-width ``width * dr`` centred on
``r0 + (k + 0.5) * dr`` (not on its nominal ``r_k``); every r below is converted accordingly.

:class:`NarrowScorer` is the Python counterpart of the compiled
``HoughTransform.score_map``: the same scores from the pixels near one line only, which is what
makes refinement on a large image cheap. The tests hold it to the compiled kernel.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .hough import HoughTransform
from .lines import across, band_pixels, to_frame

__all__ = ["Line", "refine_line", "refine_near", "NarrowScorer"]


@dataclass(frozen=True)
class Line:
    """A refined line: parameters in the full-resolution frame and its detection score."""

    r: float
    theta: float
    score: float


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


# Elements of the temporaries of a narrow score map made at a time.
SCORE_ELEMENTS = 2**17


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
        self.x, self.y = to_frame(image.shape, cols, rows)
        self.values = image[rows, cols]

    def score_map(self, r0, r1, nr, t0, t1, nt, width=1.0):
        """Scores on the grid of ``HoughTransform.score_map``, shape (nr, nt)."""
        r0, r1, t0, t1, width = (float(np.float32(v)) for v in (r0, r1, t0, t1, width))
        dr, dt = (r1 - r0) / (nr - 1.0), (t1 - t0) / (nt - 1.0)
        h = width * dr
        x, y, values = self._within(r0, r1, t0, t1, abs(h))
        if values.size == 0:
            return np.zeros((nr, nt))
        out = np.empty((nr, nt))
        # Several angles at a time (as many as keep the temporaries to `SCORE_ELEMENTS`):
        # pixel i of the k-th angle goes to row k of (angles, nr + 1) bins, each bin summing
        # its pixels in the same order as one angle at a time would.
        step = max(1, SCORE_ELEMENTS // values.size)
        for l0 in range(0, nt, step):
            k = np.arange(l0, min(l0 + step, nt))
            d = across(r0, (k * dt + t0)[:, None], x[None, :], y[None, :])
            row = ((k - l0) * (nr + 1))[:, None]
            # A pixel adds to the cells [floor(t_lo), floor(t_hi)), clipped to the grid.
            lo = (np.clip(np.floor((d - h) / dr + 0.5), 0, nr).astype(np.intp) + row).ravel()
            hi = (np.clip(np.floor((d + h) / dr + 0.5), 0, nr).astype(np.intp) + row).ravel()
            weights = np.broadcast_to(values, d.shape).ravel()
            size = k.size * (nr + 1)
            total = np.cumsum((np.bincount(lo, weights, size) - np.bincount(hi, weights, size))
                              .reshape(k.size, nr + 1), axis=1)[:, :nr]
            count = np.cumsum((np.bincount(lo, minlength=size)
                               - np.bincount(hi, minlength=size)).reshape(k.size, nr + 1),
                              axis=1)[:, :nr]
            out[:, k] = np.where(count > 0, total / np.sqrt(np.maximum(count, 1)), total).T
        return out

    def _within(self, r0, r1, t0, t1, h):
        """The gathered pixels that a band of the grid can reach: those near the grid's middle
        line (a narrow second window needs far fewer than the first)."""
        r_mid, t_mid = 0.5 * (r0 + r1), 0.5 * (t0 + t1)
        d = across(r_mid, t_mid, self.x, self.y)
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
