"""The width of the point-spread function, measured on the image's own stars.

A streak is at least as wide as a star; a hot column or a cosmic-ray track is narrower. The width
is measured on isolated, unsaturated stars with Gaussian-weighted second moments whose weight
adapts to each star (for a Gaussian star the weight converges to the star itself), and the median
over a few dozen stars is taken.
"""

from __future__ import annotations

import numpy as np

__all__ = ["FWHM_PER_SIGMA", "adaptive_sigma", "star_fwhm"]

FWHM_PER_SIGMA = 2.0 * np.sqrt(2.0 * np.log(2.0))
# Bright stars' widths (in log) and ellipticities measured alike: within their scatter, 2-5 per
# cent and a few hundredths on the benchmark's skies, and rarely so for hits or galaxies.
ALIKE_WIDTH = 0.03
ALIKE_SHAPE = 0.03
# Galaxies' widths spread over a factor of several, so their chance groups stay small: on the
# galaxy-rich benchmark frames of 2048 x 2048 pixels they held 3-9 sources at 2 to 5 times the
# stars' width, the stars' group 7-71.
APART = 2.0
SHARE = 0.6
MIN_FWHM = 2.0


def adaptive_sigma(stamps: np.ndarray, *, iterations: int = 20):
    """Width (Gaussian sigma, pixels) and ellipticity of the object centred near the middle of
    each stamp.

    Each stamp's moments are weighted by a round Gaussian whose centre and width are set again
    from the weighted moments: the width w is replaced by sqrt(2 m), with m the mean of the
    weighted second moments along the two axes, until it settles. The ellipticity is
    sqrt((mxx - myy)**2 + (2 mxy)**2) / (mxx + myy) of the last weighted moments. NaN where the
    weighted flux is not positive or the width leaves the stamp.

    Parameters
    ----------
    stamps : ndarray, shape (n, size, size)
        Background-subtracted cutouts, `size` odd.

    Returns
    -------
    sigma, ellipticity : ndarray, shape (n,)

    Examples
    --------
    >>> yy, xx = np.mgrid[-10:11, -10:11]
    >>> star = np.exp(-0.5 * ((yy - 0.3) ** 2 + (xx + 0.2) ** 2) / 1.7**2)
    >>> sigma, ellipticity = adaptive_sigma(star[None])
    >>> round(float(sigma[0]), 3), round(float(ellipticity[0]), 3)
    (1.7, 0.0)
    """
    stamps = np.asarray(stamps, dtype=float)
    n, size = stamps.shape[0], stamps.shape[1]
    half = size // 2
    offsets = np.arange(size, dtype=float) - half
    cy, cx = np.zeros((n, 1)), np.zeros((n, 1))
    var = np.full((n, 1), 2.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        for _ in range(iterations):
            previous = var
            # The round Gaussian is the product of one along each axis, so every weighted
            # moment is a bilinear form gy^T S (gx x^k): one batched product of each stamp S
            # with three columns, not a weighted copy of the stamps and six sums over it.
            gy = np.exp(-0.5 * (offsets - cy) ** 2 / var)
            gx = np.exp(-0.5 * (offsets - cx) ** 2 / var)
            columns = np.stack((gx, gx * offsets, gx * offsets**2), axis=2)
            rows = np.matmul(stamps, columns)            # (n, size, 3): sums along x
            along_x = rows[:, :, 0]
            flux, sum_x, sum_xx = (_dot(gy, rows[:, :, k]) for k in range(3))
            cy = np.clip(_dot(gy * offsets, along_x) / flux, -half, half)
            cx = np.clip(sum_x / flux, -half, half)
            dy = offsets - cy
            myy = _dot(gy * dy * dy, along_x) / flux
            mxx = (sum_xx - 2.0 * cx * sum_x + cx * cx * flux) / flux
            mxy = _dot(gy * dy, rows[:, :, 1] - cx * along_x) / flux
            var = np.clip(np.nan_to_num(mxx + myy, nan=1.0), 0.05, float(half * half))
            if np.all(np.abs(var - previous) < 1e-4 * previous):
                break
        ellipticity = (np.sqrt((mxx - myy) ** 2 + 4.0 * mxy**2) / (mxx + myy)).ravel()
    sigma = np.sqrt(var.ravel())
    bad = (flux.ravel() <= 0) | (sigma >= 0.99 * half) | ~np.isfinite(ellipticity)
    return np.where(bad, np.nan, sigma), np.where(bad, np.nan, ellipticity)


def _dot(u, v):
    """Row-wise dot products of two (n, size) arrays, as a column (n, 1)."""
    return np.einsum("ni,ni->n", u, v)[:, None]


def star_fwhm(data: np.ndarray, y: np.ndarray, x: np.ndarray, peak: np.ndarray,
              candidate: np.ndarray, usable: np.ndarray, *, min_stars: int = 3,
              max_stars: int = 100, half: int = 10, spread: float = 0.1,
              below: float = 0.25, max_ellipticity: float = 0.2) -> float | None:
    """FWHM in pixels, as the pixels sample it, of the point-spread function, from the
    :func:`adaptive_sigma` of the isolated stars; None when fewer than `min_stars` agree.

    For stars with extended wings (a Moffat profile) the width of the matching Gaussian reads
    some 10 % above the half-maximum width.

    The sources of the image are at (`y`, `x`), with peaks `peak`. A source is measured when
    it is a `candidate` (compact, neither saturated nor faint), no other source lies within
    `half` pixels of it, and its stamp of `half` pixels around it lies inside the image and
    holds only `usable` pixels; the brightest 4 `max_stars` such are measured (on a frame hit
    by many cosmic rays, the brightest sources are hits). Stars all have the width and the
    shape of the point-spread function, while cosmic-ray hits and hot pixels are sharper and
    galaxies broader, each of its own width and shape. Among the sources at least a pixel wide
    with an ellipticity below `max_ellipticity`, the stars are marked by the widest source that
    `min_stars` - 1 others match in width (within `ALIKE_WIDTH` in log) and ellipticity (within
    `ALIKE_SHAPE`): on a frame hit by many cosmic rays most sources are hits, and many of them
    share a width by chance, but a narrower one. Galaxies are wider, and where they are many a
    few of them share a width and a shape by chance too: a source is not taken to mark the
    stars when a group at most 1 / `APART` as wide, but at least `MIN_FWHM` pixels (sharper
    than that, a group is as likely hits as stars), is more than 1 / `SHARE` times as large as
    its own. The width taken is the median of the sources from `below` under the marking one
    to `spread` above it (in log): the stars of a field differ in width by some per cent from
    place to place, and the widest alike mark the upper end.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> yy, xx = np.mgrid[:200, :200]
    >>> y, x = np.mgrid[30:200:35, 30:200:35].reshape(2, -1).astype(float)
    >>> data = rng.normal(0.0, 1.0, (200, 200))
    >>> for cy, cx in zip(y, x):
    ...     data += 200.0 * np.exp(-0.5 * ((yy - cy) ** 2 + (xx - cx) ** 2) / 1.5**2)
    >>> data[100, 12] += 500.0; data[12, 100] += 400.0       # two hot pixels
    >>> y, x = np.append(y, [100.0, 12.0]), np.append(x, [12.0, 100.0])
    >>> n = y.size
    >>> everywhere = np.ones(data.shape, bool)
    >>> fwhm = star_fwhm(data, y, x, np.full(n, 200.0), np.ones(n, bool), everywhere)
    >>> round(float(fwhm / FWHM_PER_SIGMA), 1)
    1.5
    """
    from scipy.spatial import cKDTree

    ny, nx = data.shape
    iy, ix = np.round(y).astype(int), np.round(x).astype(int)
    inside = (iy >= half) & (iy < ny - half) & (ix >= half) & (ix < nx - half)
    chosen = np.flatnonzero(candidate & inside)
    if chosen.size < min_stars:
        return None
    points = np.column_stack((y, x))
    nearest, _ = cKDTree(points).query(points[chosen], k=2)
    chosen = chosen[nearest[:, 1] > half]
    chosen = chosen[np.argsort(-peak[chosen], kind="stable")][:4 * max_stars]
    window = np.arange(-half, half + 1)
    rows = iy[chosen, None, None] + window[None, :, None]
    cols = ix[chosen, None, None] + window[None, None, :]
    clean = usable[rows, cols].all(axis=(1, 2))
    rows, cols = rows[clean], cols[clean]
    sigma, ellipticity = adaptive_sigma(data[rows, cols])
    width = FWHM_PER_SIGMA * sigma
    keep = (width >= 1.0) & (ellipticity < max_ellipticity)
    width, ellipticity = np.log(width[keep]), ellipticity[keep]
    alike = ((np.abs(width[:, None] - width[None, :]) < ALIKE_WIDTH)
             & (np.abs(ellipticity[:, None] - ellipticity[None, :]) < ALIKE_SHAPE)).sum(axis=1)
    # A chance group of galaxies is far smaller than the stars' group, half as wide or less.
    narrower = ((width[None, :] < width[:, None] - np.log(APART))
                & (width[None, :] > np.log(MIN_FWHM)))
    rival = np.where(narrower, alike[None, :], 0).max(axis=1, initial=0)
    marking = np.flatnonzero((alike >= min_stars) & (alike >= SHARE * rival))
    if marking.size == 0:
        return None
    top = width[marking].max()
    return float(np.exp(np.median(width[(width > top - below) & (width < top + spread)])))
