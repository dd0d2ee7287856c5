"""The bright sources of an image: stars, hot pixels, cosmic-ray hits, galaxies and glows, found
as connected regions above a low threshold whose brightest pixel stands out, and the mask that
covers them with their wings (:func:`find_sources`, :meth:`Sources.mask`).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
from scipy import ndimage

from .masks import paint_disks, sparse_label
from .psf import FWHM_PER_SIGMA

__all__ = ["Sources", "Moments", "find_sources", "region_moments", "compact_sources",
           "MAX_THIN_FWHM"]

# An elongated source narrower than this (FWHM across, pixels) did not come through the optics,
# whose blur widens even an undersampled streak to some 1.3 pixels or more.
MAX_THIN_FWHM = 1.25
# Below this peak (sigma) a core's width across is too rough to tell.
THIN_PEAK = 10.0


@dataclass(frozen=True)
class Sources:
    """The bright sources of an image: connected regions above a low threshold whose brightest
    pixel stands out (see :func:`find_sources`), one entry per source.

    Attributes
    ----------
    y, x : ndarray
        Centroid of the core (row, column).
    peak : ndarray
        Brightest pixel, in units of the noise.
    radius : ndarray
        Radius of the disk that masks the source with its wings.
    compact : ndarray of bool
        Whether the core is compact: round enough, and reaching no farther than a star's.
    thin : ndarray of bool
        Whether an elongated core is narrower across than light through the optics can be:
        a cosmic-ray track or a row of hot pixels, not a streak.
    width : ndarray
        FWHM (pixels) of the Gaussian that falls from the peak to the edge of the core.
    wing : ndarray
        How far the disk reaches beyond the core.
    core, owner : ndarray of int
        Flat indices of the pixels of the cores, and the source each belongs to.
    """

    y: np.ndarray
    x: np.ndarray
    peak: np.ndarray
    radius: np.ndarray
    compact: np.ndarray
    thin: np.ndarray
    width: np.ndarray
    wing: np.ndarray
    core: np.ndarray
    owner: np.ndarray

    def mask(self, shape, max_width: float = np.inf) -> np.ndarray:
        """The disks of the compact sources no wider than `max_width` (stars), and the cores
        of the wider ones (galaxies, glows) and of the thin ones grown by their wings, which
        follow their shape: a disk fitted to the peak of a broad, faint source would reach far
        beyond it, and one around a track would cover its length across."""
        mask = np.zeros(shape, bool)
        star = self.compact & (self.width <= max_width)
        paint_disks(mask, self.y[star], self.x[star], self.radius[star])
        grown = ((self.compact & ~star) | self.thin)[self.owner]
        if grown.any():
            core = self.core[grown]
            mask.flat[core] = True
            # The wings around a core are those around its rim.
            nx = shape[1]
            rim = np.zeros(core.size, bool)
            for step in (1, -1, nx, -nx):
                at = np.clip(np.searchsorted(core, core + step), 0, core.size - 1)
                rim |= core[at] != core + step
            rows, cols = np.divmod(core[rim], nx)
            paint_disks(mask, rows, cols, self.wing[self.owner[grown][rim]])
        return mask


def find_sources(data: np.ndarray, sigma: float, *, low: float = 3.0, peak: float = 6.0,
                 max_elongation: float = 3.0, grow: float = 2.0,
                 max_radius: float = 30.0) -> Sources:
    """The bright sources of a background-subtracted image and the disks that mask them.

    A source is a connected region above `low` sigma whose brightest pixel exceeds `peak`
    sigma. Its core, the pixels above a twentieth of the peak (at least `low` sigma), counts as
    compact when its second moments give an axis ratio below `max_elongation` and it reaches no
    farther than `max_radius` pixels from its centre: a bright streak is elongated and kept
    (while a bright star on a faint streak still has a compact core), and a glow or a region of
    the sky left high is larger than a star can be. A source is masked out to the radius where
    a Gaussian of its core's size falls to 1 sigma, plus `grow` pixels. The width of that
    Gaussian tells a star from a galaxy or a glow that a low peak lets look compact, whose
    core is masked as it is (see :meth:`Sources.mask`). An elongated core peaking above
    `THIN_PEAK` sigma whose width across is under `MAX_THIN_FWHM` is no streak either: light
    through the optics is wider; the core of such a thin source (a cosmic-ray track, a row of
    hot pixels) is masked with its wings.

    Examples
    --------
    >>> image = np.zeros((40, 40)); image[20, 20] = 100.0; image[5, 5:35] = 50.0
    >>> found = find_sources(image, 1.0)
    >>> found.compact.tolist(), found.y.tolist()
    ([False, True], [5.0, 20.0])
    """
    index, lab, n = _label(data > low * sigma)
    empty = np.zeros(0)
    if n == 0:
        return Sources(empty, empty, empty, empty, np.zeros(0, bool), np.zeros(0, bool), empty,
                       empty, np.zeros(0, int), np.zeros(0, int))
    value = data.ravel()[index].astype(np.float64) / sigma
    peaks = np.zeros(n + 1)
    np.maximum.at(peaks, lab, value)
    level = np.maximum(low, peaks / 20.0)
    core = (peaks[lab] > peak) & (value >= level[lab])
    index, lab = index[core], lab[core]
    rows, cols = np.divmod(index, data.shape[1])
    m = region_moments(lab, rows, cols, n)
    my, mx, major, minor = m.y, m.x, m.major, m.minor
    dy, dx = rows - my[lab], cols - mx[lab]
    extent = np.zeros(n + 1)
    np.maximum.at(extent, lab, np.hypot(dy, dx))
    compact = (major <= max_elongation**2 * (minor + 1.0 / 12.0)) & (extent <= max_radius)
    # A Gaussian that falls from the peak to `level` within the core's extent reaches 1 sigma
    # at sqrt(ln(peak) / ln(peak / level)) times that extent.
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.sqrt(np.log(np.maximum(peaks, 1.0)) / np.log(peaks / level))
    scale = np.clip(np.nan_to_num(scale, nan=1.0, posinf=3.0), 1.0, 3.0)
    radius = (extent + 0.5) * scale + grow + 0.5
    with np.errstate(divide="ignore", invalid="ignore"):
        width = FWHM_PER_SIGMA * (extent + 0.5) / np.sqrt(2.0 * np.log(peaks / level))
        # Across an elongated core, a Gaussian of sigma s falling from the peak to `level`
        # spans +-s sqrt(2 ln(peak / level)), whose pixels spread by a third of its square.
        across = np.sqrt(1.5 * minor / np.log(peaks / level))
    wing = radius - extent - 0.5
    thin = (~compact & (peaks >= THIN_PEAK)
            & (FWHM_PER_SIGMA * np.nan_to_num(across, nan=np.inf) < MAX_THIN_FWHM))
    # A track's wings reach as far across as its profile stays above 1 sigma.
    wing = np.where(thin, grow + 0.5 + across * np.sqrt(2.0 * np.log(np.maximum(peaks, 1.0))),
                    wing)
    k, owner = np.unique(lab, return_inverse=True)
    return Sources(my[k], mx[k], peaks[k], radius[k], compact[k], thin[k],
                   np.nan_to_num(width[k], nan=np.inf), wing[k], index, owner)


class Moments(NamedTuple):
    """Per region (indexed by label, 0 unused): pixel count (at least 1), centroid, second
    moments and their principal values (variances along the major and minor axes)."""

    count: np.ndarray
    y: np.ndarray
    x: np.ndarray
    syy: np.ndarray
    sxx: np.ndarray
    sxy: np.ndarray
    major: np.ndarray
    minor: np.ndarray


def region_moments(labels: np.ndarray, rows: np.ndarray, cols: np.ndarray, n: int) -> Moments:
    """The :class:`Moments` of `n` regions from the region `labels` (1 to n) of the pixels at
    (`rows`, `cols`).

    Examples
    --------
    >>> m = region_moments(np.array([1, 1, 1]), np.array([2, 2, 2]), np.array([0, 1, 2]), 1)
    >>> float(m.x[1]), float(m.y[1]), round(float(m.major[1]), 3), float(m.minor[1])
    (1.0, 2.0, 0.667, 0.0)
    """
    count = np.maximum(np.bincount(labels, minlength=n + 1).astype(float), 1.0)
    my = np.bincount(labels, rows, n + 1) / count
    mx = np.bincount(labels, cols, n + 1) / count
    dy, dx = rows - my[labels], cols - mx[labels]
    syy = np.bincount(labels, dy * dy, n + 1) / count
    sxx = np.bincount(labels, dx * dx, n + 1) / count
    sxy = np.bincount(labels, dx * dy, n + 1) / count
    half_trace, det = 0.5 * (sxx + syy), sxx * syy - sxy**2
    root = np.sqrt(np.maximum(half_trace**2 - det, 0.0))
    return Moments(count, my, mx, syy, sxx, sxy, half_trace + root,
                   np.maximum(half_trace - root, 0.0))


def compact_sources(data: np.ndarray, sigma: float, **kwargs) -> np.ndarray:
    """Mask of the bright compact sources (stars, hot pixels, cosmic-ray hits) with their
    wings: the disks of :func:`find_sources`, which takes the keyword arguments.

    Examples
    --------
    >>> image = np.zeros((40, 40)); image[20, 20] = 100.0
    >>> mask = compact_sources(image, 1.0)
    >>> int(mask.sum()) > 1, bool(mask[20, 22])
    (True, True)
    """
    return find_sources(data, sigma, **kwargs).mask(data.shape)


def _label(mask):
    """The 8-connected regions of `mask`: flat indices of its True pixels, the region of each
    (from 1, numbered in the order of their first pixels) and the number of regions.

    A sparse mask is labelled from its pixels alone: their links take some hundred bytes a
    pixel, which beyond a few percent of the image is more than a plane of labels.

    Examples
    --------
    >>> mask = np.eye(4, dtype=bool); mask[0, 3] = True
    >>> index, labels, n = _label(mask)
    >>> index.tolist(), labels.tolist(), n
    ([0, 3, 5, 10, 15], [1, 2, 1, 1, 1], 2)
    """
    if np.count_nonzero(mask) < mask.size // 32:
        index, labels, n = sparse_label(mask)
        return index, labels + 1, n
    labels, n = ndimage.label(mask, structure=np.ones((3, 3)))
    index = np.flatnonzero(labels)
    return index, labels.ravel()[index], n
