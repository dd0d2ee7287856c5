"""Synthetic sky images with known streaks, for the demo, the tests and the benchmarks.

Streaks are line segments with a Gaussian cross-section and ends blurred by the same
point-spread function; stars are circular Gaussians. All positions are pixel coordinates:
``x`` is the column, ``y`` the row.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy.special import erf

from .lines import line_through, span

__all__ = ["TrueStreak", "draw_streak", "draw_stars", "random_streak", "synthetic_sky",
           "demo_sky", "end_errors"]


@dataclass(frozen=True)
class TrueStreak:
    """A streak drawn into a synthetic image.

    Attributes
    ----------
    x0, y0, x1, y1 : float
        Start and end (column, row) of the streak's centre line.
    flux_per_length : float
        Signal per unit length, integrated across the streak.
    psf_sigma : float
        Gaussian sigma of the cross-section and of the blurred ends, in pixels.

    Examples
    --------
    >>> TrueStreak(0.0, 0.0, 30.0, 40.0, 2.0).length
    50.0
    """

    x0: float
    y0: float
    x1: float
    y1: float
    flux_per_length: float
    psf_sigma: float = 1.0

    @property
    def length(self) -> float:
        return float(np.hypot(self.x1 - self.x0, self.y1 - self.y0))

    @property
    def flux(self) -> float:
        return self.flux_per_length * self.length

    def line(self, shape) -> tuple[float, float]:
        """The (r, theta) of the streak's line in the pixel frame of an image of `shape`.

        theta is in [0, pi) and the direction (cos theta, sin theta) may run from end to start.

        Examples
        --------
        >>> r, theta = TrueStreak(0.0, 2.0, 10.0, 2.0, 1.0).line((11, 11))
        >>> round(r, 6), round(theta, 6)
        (3.0, 0.0)
        """
        return line_through(shape, self.x0, self.y0, self.x1, self.y1)


def draw_streak(image: np.ndarray, streak: TrueStreak) -> np.ndarray:
    """Add `streak` to `image` in place (only the pixels within 5 PSF sigmas are touched).

    Examples
    --------
    >>> image = draw_streak(np.zeros((40, 60)), TrueStreak(10, 20, 50, 20, 3.0))
    >>> round(float(image.sum()), 1)
    120.0
    """
    s = float(streak.psf_sigma)
    length = max(streak.length, 1e-9)
    ux, uy = (streak.x1 - streak.x0) / length, (streak.y1 - streak.y0) / length
    pad = 5.0 * s + 1.0
    c0 = max(int(np.floor(min(streak.x0, streak.x1) - pad)), 0)
    c1 = min(int(np.ceil(max(streak.x0, streak.x1) + pad)) + 1, image.shape[1])
    r0 = max(int(np.floor(min(streak.y0, streak.y1) - pad)), 0)
    r1 = min(int(np.ceil(max(streak.y0, streak.y1) + pad)) + 1, image.shape[0])
    if c0 >= c1 or r0 >= r1:
        return image
    rows, cols = np.mgrid[r0:r1, c0:c1]
    dx, dy = cols - streak.x0, rows - streak.y0
    along = dx * ux + dy * uy
    across = dx * uy - dy * ux
    section = np.exp(-0.5 * (across / s) ** 2) / (np.sqrt(2.0 * np.pi) * s)
    extent = 0.5 * (erf(along / (np.sqrt(2.0) * s)) - erf((along - length) / (np.sqrt(2.0) * s)))
    image[r0:r1, c0:c1] += streak.flux_per_length * section * extent
    return image


def draw_stars(image: np.ndarray, n: int, rng: np.random.Generator, *, sigma: float = 1.0,
               peak_range=(3.0, 3000.0), psf_sigma=(1.0, 2.0)) -> np.ndarray:
    """Add `n` Gaussian stars with log-uniform peak values (in units of `sigma`) to `image`.

    Examples
    --------
    >>> image = draw_stars(np.zeros((50, 50)), 5, np.random.default_rng(1))
    >>> bool(image.max() >= 3.0)
    True
    """
    ny, nx = image.shape
    for _ in range(n):
        x, y = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1)
        peak = sigma * np.exp(rng.uniform(*np.log(peak_range)))
        s = rng.uniform(*psf_sigma)
        half = int(np.ceil(s * np.sqrt(2.0 * np.log(max(peak / (0.05 * sigma), 1.0))))) + 1
        rs, cs = slice(max(int(y) - half, 0), min(int(y) + half + 2, ny)), \
            slice(max(int(x) - half, 0), min(int(x) + half + 2, nx))
        rows, cols = np.mgrid[rs, cs]
        image[rs, cs] += peak * np.exp(-0.5 * ((cols - x) ** 2 + (rows - y) ** 2) / s**2)
    return image


def random_streak(shape, rng: np.random.Generator, *, min_length: float = 50.0,
                  flux_per_length: float = 1.0, psf_sigma: float = 1.0) -> TrueStreak:
    """A streak on a random line through the image, of random length from `min_length` to
    the whole chord of the line inside the image.

    Examples
    --------
    >>> s = random_streak((200, 300), np.random.default_rng(0))
    >>> bool(s.length >= 50.0)
    True
    """
    ny, nx = shape
    while True:
        theta = rng.uniform(0.0, np.pi)
        ux, uy = np.cos(theta), np.sin(theta)
        cx, cy = rng.uniform(0, nx - 1), rng.uniform(0, ny - 1)
        lo, hi = span((cx, cy), (ux, uy), (0.0, 0.0), (nx - 1.0, ny - 1.0))
        if hi - lo < min_length:
            continue
        length = rng.uniform(min_length, hi - lo)
        a = rng.uniform(lo, hi - length)
        b = a + length
        return TrueStreak(cx + a * ux, cy + a * uy, cx + b * ux, cy + b * uy,
                          flux_per_length, psf_sigma)


def synthetic_sky(shape=(512, 768), streaks=(), *, n_stars: int | None = None, sigma: float = 1.0,
                  background: float = 100.0, seed=0):
    """Gaussian noise on a flat background, with stars and the given `streaks` added.

    `n_stars` defaults to one star per 6000 pixels.

    Returns
    -------
    image : ndarray of float64
    truth : tuple of TrueStreak

    Examples
    --------
    >>> image, truth = synthetic_sky((64, 64), [TrueStreak(5, 5, 60, 40, 3.0)], n_stars=3)
    >>> image.shape, len(truth)
    ((64, 64), 1)
    """
    rng = np.random.default_rng(seed)
    if n_stars is None:
        n_stars = int(shape[0] * shape[1] / 6000)
    image = rng.normal(background, sigma, shape)
    draw_stars(image, n_stars, rng, sigma=sigma)
    for streak in streaks:
        draw_streak(image, streak)
    return image, tuple(streaks)


def demo_sky(seed: int = 1):
    """The demo's synthetic sky: 512 x 768 pixels of noise (sigma 1) on a sky of 100, about
    65 stars and two streaks, one crossing the other; returns (image, truth).

    Examples
    --------
    >>> image, truth = demo_sky()
    >>> image.shape, len(truth)
    ((512, 768), 2)
    """
    truth = [TrueStreak(60.0, 70.0, 700.0, 420.0, 2.5, 1.2),    # long, bright
             TrueStreak(230.0, 460.0, 520.0, 60.0, 1.2, 1.0)]   # fainter, crossing it
    return synthetic_sky((512, 768), truth, seed=seed)


def end_errors(found, truth: TrueStreak) -> tuple[float, float]:
    """Distances of a found streak's ends (``x_start, y_start, x_end, y_end``) from the true
    ends, paired in the order that gives the smaller sum.

    Examples
    --------
    >>> from kestrova import Streak
    >>> s = Streak(0.0, 0.0, 9.0, 9.0, 41.0, 5.0, 1.0, 5.0, 40.0, 1.0, 0.1, 0.0, 0.0, 2.0)
    >>> end_errors(s, TrueStreak(0.0, 5.0, 40.0, 5.0, 1.0))    # found from end to start
    (1.0, 1.0)
    """
    direct = (float(np.hypot(found.x_start - truth.x0, found.y_start - truth.y0)),
              float(np.hypot(found.x_end - truth.x1, found.y_end - truth.y1)))
    swapped = (float(np.hypot(found.x_start - truth.x1, found.y_start - truth.y1)),
               float(np.hypot(found.x_end - truth.x0, found.y_end - truth.y0)))
    return direct if sum(direct) < sum(swapped) else swapped
