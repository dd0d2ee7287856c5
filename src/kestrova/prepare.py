"""Preparation of an image for streak detection: background, noise, bad pixels, compact sources.

The Hough score sums pixel values along lines, so anything that is not noise or streak must be
neutralised first: the sky level (subtracted), non-finite and user-masked pixels (set to 0, which
adds nothing to a score), and bright compact sources such as stars and hot pixels, which would
otherwise raise every line through them (masked out with their wings).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import ndimage

from .settings import as_image

__all__ = ["PreparedImage", "prepare_image", "background_mesh", "robust_sigma",
           "compact_sources"]

MAD_TO_SIGMA = 1.482602218505602


@dataclass(frozen=True)
class PreparedImage:
    """An image made ready for the search.

    Attributes
    ----------
    data : ndarray of float64
        Background-subtracted image, 0 at excluded pixels; used to measure streaks.
    detect : ndarray of float64
        `data` limited to +-`clip` sigma; used to search for streaks.
    background : ndarray of float64
        The subtracted background.
    sigma : float
        Noise per pixel.
    excluded : ndarray of bool
        Pixels set to 0: non-finite, user-masked and compact sources.
    sources : ndarray of bool
        The compact-source part of `excluded`.
    """

    data: np.ndarray
    detect: np.ndarray
    background: np.ndarray
    sigma: float
    excluded: np.ndarray
    sources: np.ndarray


def robust_sigma(values: np.ndarray, max_samples: int | None = 500_000) -> float:
    """Noise from the median absolute deviation of (a regular subsample of at most
    `max_samples` of) `values`; ``max_samples=None`` takes them all.

    Examples
    --------
    >>> x = np.random.default_rng(0).normal(0.0, 2.0, 100_000)
    >>> round(robust_sigma(x), 1)
    2.0
    """
    sample = _subsample(np.ravel(values), max_samples)
    med = np.median(sample)
    return float(MAD_TO_SIGMA * np.median(np.abs(sample - med)))


def background_mesh(image: np.ndarray, good: np.ndarray, box: int | None = 64, *,
                    out: np.ndarray | None = None) -> np.ndarray:
    """Smooth background: medians of `box` x `box` cells (of every other pixel), bilinearly
    interpolated between the cell centres. ``box=None`` gives one global median. With `out`
    (float64, the image's shape), it is written there.

    Examples
    --------
    >>> image = np.full((100, 130), 7.0)
    >>> bool(np.allclose(background_mesh(image, np.ones(image.shape, bool), 32), 7.0))
    True
    """
    ny, nx = image.shape
    if box is None or box >= max(ny, nx):
        values = np.where(_subsample(good), _subsample(image).astype(np.float64), np.nan)
        level = np.nanmedian(values) if good.any() else 0.0
        if out is None:
            return np.full(image.shape, level)
        out.fill(level)
        return out
    grid = _MeshGrid(image.shape, box)
    rows, cols = grid.samples()
    return grid.interpolate(grid.medians(image[rows, cols], good[rows, cols]), out=out)


class _MeshGrid:
    """The cells of a background mesh and the pixels sampled in each.

    Cells are of equal size (the last row and column of cells absorb the remainder of the
    image but are sampled like the others); every other pixel of a cell is sampled.
    """

    def __init__(self, shape, box):
        ny, nx = shape
        self.shape = shape
        self.my, self.mx = max(1, round(ny / box)), max(1, round(nx / box))
        self.ry = np.linspace(0, ny, self.my + 1).astype(int)
        self.rx = np.linspace(0, nx, self.mx + 1).astype(int)
        cy, cx = self.ry[1] - self.ry[0], self.rx[1] - self.rx[0]
        self.step = 2 if min(cy, cx) >= 8 else 1
        self.hy, self.hx = cy // self.step * self.step, cx // self.step * self.step

    def samples(self):
        """Index arrays (rows as a column, columns as a row) that pick the sampled pixels,
        cell by cell, out of an image."""
        rows = (self.ry[:-1, None] + np.arange(0, self.hy, self.step)).ravel()
        cols = (self.rx[:-1, None] + np.arange(0, self.hx, self.step)).ravel()
        return rows[:, None], cols[None, :]

    def medians(self, sample: np.ndarray, good: np.ndarray) -> np.ndarray:
        """Median of the good pixels of each cell, from the sampled pixels and their flags;
        cells with too few good pixels get the median of the others."""
        a, b = self.hy // self.step, self.hx // self.step
        # In double precision whatever the image's type: a median of two values is their mean.
        cells = np.where(good, np.asarray(sample, np.float64), np.nan)
        cells = cells.reshape(self.my, a, self.mx, b).transpose(0, 2, 1, 3)
        cells = cells.reshape(self.my, self.mx, a * b)
        invalid = np.isnan(cells)
        count = cells.shape[2] - invalid.sum(axis=2)
        if invalid.any():
            # Replace the invalid samples by equal numbers of -inf and +inf: the median is
            # unchanged.
            fill = np.where(np.cumsum(invalid, axis=2) % 2 == 0, np.inf, -np.inf)
            cells = np.where(invalid, fill, cells)
        mesh = np.median(cells, axis=2)
        mesh[(count < 0.2 * cells.shape[2]) | ~np.isfinite(mesh)] = np.nan
        if np.isnan(mesh).all():
            return np.zeros((self.my, self.mx))
        return np.where(np.isnan(mesh), np.nanmedian(mesh), mesh)

    def interpolate(self, mesh: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """The full-size background from the cell medians (written to `out` when given)."""
        ny, nx = self.shape
        wy = _interpolation_weights(ny, (self.ry[:-1] + self.ry[1:] - 1) / 2)
        wx = _interpolation_weights(nx, (self.rx[:-1] + self.rx[1:] - 1) / 2)
        return np.matmul(wy @ mesh, wx.T, out=out)


def _subsample(values, max_samples=500_000):
    """A regular subsample of at most about `max_samples` of the flattened `values` (all of
    them for None)."""
    flat = values.ravel()
    return flat if max_samples is None else flat[:: max(1, flat.size // max_samples)]


def _interpolation_weights(n: int, centres: np.ndarray) -> np.ndarray:
    """(n, m) matrix that interpolates linearly between m cell centres, and extrapolates the
    outer slopes to the image border (a gradient continues into the outer half cells)."""
    m = len(centres)
    weights = np.zeros((n, m))
    if m == 1:
        weights[:, 0] = 1.0
        return weights
    x = np.arange(n, dtype=float)
    pos = np.interp(x, centres, np.arange(m))
    pos = np.where(x < centres[0], (x - centres[0]) / (centres[1] - centres[0]), pos)
    pos = np.where(x > centres[-1], m - 1 + (x - centres[-1]) / (centres[-1] - centres[-2]), pos)
    lo = np.clip(np.floor(pos).astype(int), 0, m - 2)
    frac = pos - lo
    weights[np.arange(n), lo] = 1.0 - frac
    weights[np.arange(n), lo + 1] += frac
    return weights


def compact_sources(data: np.ndarray, sigma: float, *, low: float = 3.0, peak: float = 6.0,
                    max_elongation: float = 3.0, grow: float = 2.0) -> np.ndarray:
    """Mask of bright compact sources (stars, hot pixels, cosmic-ray hits) with their wings.

    A source is a connected region above `low` sigma whose brightest pixel exceeds `peak`
    sigma. Its core, the pixels above a twentieth of the peak (at least `low` sigma), counts as
    compact when its second moments give an axis ratio below `max_elongation`: a bright streak
    is elongated and kept, while a bright star on a faint streak still has a compact core. A
    compact source is masked out to the radius where a Gaussian of its core's size falls to
    1 sigma, plus `grow` pixels.

    Examples
    --------
    >>> image = np.zeros((40, 40)); image[20, 20] = 100.0
    >>> mask = compact_sources(image, 1.0)
    >>> int(mask.sum()) > 1, bool(mask[20, 22])
    (True, True)
    """
    labels, n = ndimage.label(data > low * sigma, structure=np.ones((3, 3)))
    if n == 0:
        return np.zeros(data.shape, bool)
    index = np.flatnonzero(labels)
    lab = labels.ravel()[index]
    value = data.ravel()[index] / sigma
    peaks = np.zeros(n + 1)
    np.maximum.at(peaks, lab, value)
    level = np.maximum(low, peaks / 20.0)
    core = (peaks[lab] > peak) & (value >= level[lab])
    index, lab = index[core], lab[core]
    if index.size == 0:
        return np.zeros(data.shape, bool)
    rows, cols = np.divmod(index, data.shape[1])
    count = np.maximum(np.bincount(lab, minlength=n + 1).astype(float), 1.0)
    my = np.bincount(lab, rows, n + 1) / count
    mx = np.bincount(lab, cols, n + 1) / count
    dy, dx = rows - my[lab], cols - mx[lab]
    syy = np.bincount(lab, dy * dy, n + 1) / count
    sxx = np.bincount(lab, dx * dx, n + 1) / count
    sxy = np.bincount(lab, dx * dy, n + 1) / count
    half_trace, det = 0.5 * (sxx + syy), sxx * syy - sxy**2
    root = np.sqrt(np.maximum(half_trace**2 - det, 0.0))
    major, minor = half_trace + root, np.maximum(half_trace - root, 0.0)
    compact = major <= max_elongation**2 * (minor + 1.0 / 12.0)
    extent = np.zeros(n + 1)
    np.maximum.at(extent, lab, np.hypot(dy, dx))
    # A Gaussian that falls from the peak to `level` within the core's extent reaches 1 sigma
    # at sqrt(ln(peak) / ln(peak / level)) times that extent.
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.sqrt(np.log(np.maximum(peaks, 1.0)) / np.log(peaks / level))
    scale = np.clip(np.nan_to_num(scale, nan=1.0, posinf=3.0), 1.0, 3.0)
    mask = np.zeros(data.shape, bool)
    ny, nx = data.shape
    for k in np.unique(lab):
        if not compact[k]:
            continue
        rad = (extent[k] + 0.5) * scale[k] + grow + 0.5
        r0, r1 = max(int(my[k] - rad), 0), min(int(my[k] + rad) + 2, ny)
        c0, c1 = max(int(mx[k] - rad), 0), min(int(mx[k] + rad) + 2, nx)
        yy, xx = np.ogrid[r0:r1, c0:c1]
        mask[r0:r1, c0:c1] |= (yy - my[k]) ** 2 + (xx - mx[k]) ** 2 <= rad**2
    return mask


def prepare_image(image, sigma: float | None = None, mask=None, *, box: int | None = 64,
                  clip: float = 5.0, source_peak: float = 6.0) -> PreparedImage:
    """Subtract the background, estimate the noise and exclude bad pixels and compact sources.

    Parameters
    ----------
    image : array_like, 2-D
    sigma : float, optional
        Noise per pixel; estimated from the median absolute deviation when not given.
    mask : array_like of bool, optional
        True at pixels to ignore.
    box : int or None
        Cell size of the background mesh; None for a single global median.
    clip : float
        The search image is limited to +-`clip` sigma, so that no single pixel dominates a line.
    source_peak : float
        Compact sources peaking above this many sigma are masked out.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> image = rng.normal(10.0, 2.0, (128, 128)); image[5, 7] = np.nan
    >>> prep = prepare_image(image)
    >>> round(prep.sigma, 1), float(prep.data[5, 7]), bool(prep.excluded[5, 7])
    (2.0, 0.0, True)
    """
    # float32 stays float32: every result is computed in double precision from its values.
    image = as_image(image)
    bad = ~np.isfinite(image)
    if mask is not None:
        mask = np.asarray(mask, dtype=bool)
        if mask.shape != image.shape:
            raise ValueError(f"mask shape {mask.shape} differs from image shape {image.shape}")
        bad |= mask
    good = ~bad
    if not good.any():
        raise ValueError("no valid pixel in the image")
    background = background_mesh(image, good, box)
    data = _subtract(image, background, bad)
    noise = _positive(_sigma_of(data, good) if sigma is None else float(sigma))
    sources = compact_sources(data, noise, peak=source_peak)
    sources &= good
    # Stars and their wings raise a median: measure the sky again without them.
    # Written over the first background, which it replaces: one full-size array less.
    sky_background = _sky_background(image, data, good, sources, 3.0 * noise, box, background)
    if sky_background is not None:
        background = sky_background
        data = _subtract(image, background, bad, out=data)
    sigma = _positive(_sigma_of(data, good & ~sources) if sigma is None else float(sigma))
    del good  # the full-size arrays are made last, with no temporaries left beside them
    data[sources] = 0.0
    bad |= sources
    detect = np.clip(data, -clip * sigma, clip * sigma)
    return PreparedImage(data, detect, background, sigma, bad, sources)


def _positive(sigma: float) -> float:
    """`sigma`, checked: a noise of zero (a flat image) or NaN leaves nothing to measure by."""
    if not np.isfinite(sigma) or sigma <= 0.0:
        raise ValueError(f"noise sigma must be positive, got {sigma}; pass sigma explicitly")
    return sigma


def _sky_background(image, data, good, sources, limit, box, out):
    """Background mesh of the good pixels outside `sources` whose `data` lies within `limit`,
    written to `out`, or None (`out` untouched) when they are too few (a fifth of the good
    pixels). The mesh reads them at its sampled pixels only."""
    if box is None or box >= max(image.shape):
        sky = good & ~sources & (np.abs(data) < limit)
        return background_mesh(image, sky, box, out=out) if sky.sum() > 0.2 * good.sum() else None
    grid = _MeshGrid(image.shape, box)
    rows, cols = grid.samples()
    usable = good[rows, cols]
    sky = usable & ~sources[rows, cols] & (np.abs(data[rows, cols]) < limit)
    if not sky.sum() > 0.2 * usable.sum():
        return None
    return grid.interpolate(grid.medians(image[rows, cols], sky), out=out)


def _subtract(image, background, bad, out=None):
    """image - background, 0 at bad pixels."""
    data = np.subtract(image, background, out=out)
    if bad.any():
        data[bad] = 0.0
    return data


def _sigma_of(data, good, max_samples=500_000):
    """Robust noise of the good pixels of `data`, from a regular subsample of the image."""
    sample = _subsample(data, max_samples)[_subsample(good, max_samples)]
    if sample.size < min(1000, good.sum()):
        sample = data[good]
    return robust_sigma(sample)
