"""Short streaks bright enough to stand out pixel by pixel: elongated regions of the smoothed
search image.

A streak of a few dozen to a few hundred pixels that holds a high S/N (a glint, a fast object
in a short exposure) is diluted by the tile maps: block-averaged, limited per reduced pixel and
scored over a tile's whole chord, it can stay below their threshold while it shows plainly in
the image. Once the search image is block-averaged by 2 and smoothed to about a star's width,
such a streak is a connected run of pixels a few times the noise above the sky: a region far
longer than it is wide. Each region long, elongated and significant enough is a candidate line,
which the tile search refines and verifies as it does its own candidates (its verification
refuses what else is long and faint: an edge-on disk, a row of faint stars).

Regions that peak far above the noise are left out, unless they are very thin: cosmic-ray tracks
and galaxies make most of them.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from scipy import ndimage

from .lines import ends_along, line_through
from .sources import region_moments
from .stats import MAD_TO_SIGMA

__all__ = ["Trace", "find_traces"]

# The search image is block-averaged by TRACE_BINNING and smoothed by a Gaussian of
# TRACE_SMOOTH reduced pixels (sigma): about a star's width on most images, where a thin
# streak's pixels average with little loss and the noise drops some seven times.
TRACE_BINNING = 2
TRACE_SMOOTH = 1.0
# Rows of the smoothed image made at a time.
SMOOTH_ROWS = 64
# A region: connected pixels above TRACE_LEVEL times the smoothed image's spread.
TRACE_LEVEL = 3.0
# A candidate region is at least MIN_TRACE_LENGTH pixels long (from its second moments),
# MIN_TRACE_RATIO times longer than wide, holds a summed S/N of MIN_TRACE_SNR and peaks below
# MAX_TRACE_PEAK spreads, or below MAX_THIN_TRACE_PEAK when THIN_TRACE_RATIO times longer than
# wide (measured on the benchmark's skies: the regions on trails peak at 4.5-14, those of
# cosmic-ray tracks and galaxies mostly above 12, and few of those are that thin).
MIN_TRACE_LENGTH = 40.0
MIN_TRACE_RATIO = 6.0
MIN_TRACE_SNR = 10.0
MAX_TRACE_PEAK = 10.0
THIN_TRACE_RATIO = 12.0
MAX_THIN_TRACE_PEAK = 16.0


class Trace(NamedTuple):
    """An elongated region: the line (r, theta) through it, its along-line range [start, end]
    (:func:`kestrova.lines.along`) and its summed S/N."""

    r: float
    theta: float
    start: float
    end: float
    snr: float

    @property
    def length(self) -> float:
        return self.end - self.start


def find_traces(detect: np.ndarray, sigma: float) -> list[Trace]:
    """The elongated regions of the search image `detect` (noise `sigma`), highest S/N first.

    Examples
    --------
    >>> from kestrova.synthetic import TrueStreak, draw_streak
    >>> noise = np.random.default_rng(0).normal(size=(300, 300))
    >>> find_traces(noise, 1.0)
    []
    >>> short = TrueStreak(60.0, 100.0, 180.0, 160.0, 6.0)             # 134 px, S/N ~ 37
    >>> [t] = find_traces(draw_streak(noise, short), 1.0)
    >>> r, theta = short.line(noise.shape)
    >>> bool(abs(t.r - r) < 2 and abs(t.theta - theta) < 0.05 and t.length > 100)
    True
    """
    f = TRACE_BINNING
    small = _binned(detect, f)
    # The sky's level and spread from every third pixel each way: as good, nine times faster.
    sample = small[::3, ::3] != 0.0
    smooth = _smoothed(small, TRACE_SMOOTH)
    sky = smooth[::3, ::3][sample]
    if sky.size < 16:
        return []
    centre = float(np.median(sky))
    spread = MAD_TO_SIGMA * float(np.median(np.abs(sky - centre)))
    if not spread > 0.0:
        return []
    above = smooth > centre + TRACE_LEVEL * spread
    index = np.flatnonzero(above)
    peak_of = (smooth.ravel()[index] - centre) / spread
    # The smoothed plane is not needed beyond here: the labels take its place.
    del smooth, small
    labels, n = ndimage.label(above, structure=np.ones((3, 3)))
    if n == 0:
        return []
    label = labels.ravel()[index]
    del labels
    rows, cols = np.divmod(index, above.shape[1])
    m = region_moments(label, rows, cols, n)
    # A pixel's own extent counts: a one-pixel-wide run has a width of one.
    major, minor = m.major, m.minor + 1.0 / 12.0
    # A uniform bar of length L has a variance of L^2 / 12 along it.
    length = f * np.sqrt(12.0 * major)
    mean = _binned_at(detect, f, rows, cols)
    snr = np.bincount(label, mean, n + 1) / (sigma / f * np.sqrt(m.count))
    peak = np.zeros(n + 1)
    np.maximum.at(peak, label, peak_of)
    thin = major >= THIN_TRACE_RATIO**2 * minor
    keep = ((length >= MIN_TRACE_LENGTH) & (major >= MIN_TRACE_RATIO**2 * minor)
            & (snr >= MIN_TRACE_SNR)
            & (peak < np.where(thin, MAX_THIN_TRACE_PEAK, MAX_TRACE_PEAK)))
    keep[0] = False
    out = []
    for k in np.flatnonzero(keep):
        angle = 0.5 * np.arctan2(2.0 * m.sxy[k], m.sxx[k] - m.syy[k])
        # Reduced pixel j holds full pixels f j .. f j + f - 1.
        col, row = f * m.x[k] + 0.5 * (f - 1), f * m.y[k] + 0.5 * (f - 1)
        half = 0.5 * length[k]
        ends = ((col - half * np.cos(angle), row - half * np.sin(angle)),
                (col + half * np.cos(angle), row + half * np.sin(angle)))
        r, theta = line_through(detect.shape, *ends[0], *ends[1])
        start, end = ends_along(detect.shape, theta, *ends)
        out.append(Trace(float(r), float(theta), start, end, float(snr[k])))
    return sorted(out, key=lambda t: -t.snr)


def _smoothed(image: np.ndarray, sigma: float) -> np.ndarray:
    """`image` smoothed in place by a Gaussian of `sigma` pixels (cut at three sigma, borders
    reflected), as ``ndimage.gaussian_filter`` smooths it to within rounding, in half the time.

    The pass along the rows is scipy's; the pass along the columns adds whole rows, shifted and
    weighted, where scipy's filter reads each column through the cache a pixel at a time.

    Examples
    --------
    >>> image = np.random.default_rng(0).normal(size=(40, 50)).astype(np.float32)
    >>> reference = ndimage.gaussian_filter(image, 1.0, truncate=3.0)
    >>> bool(np.allclose(_smoothed(image, 1.0), reference, atol=1e-6))
    True
    """
    radius = int(3.0 * sigma + 0.5)
    x = np.arange(-radius, radius + 1)
    weights = np.exp(-0.5 * (x / sigma) ** 2)
    weights /= weights.sum()
    ndimage.correlate1d(image, weights, axis=1, output=image, mode="reflect")
    # The rows are weighted in the image's own precision, as scipy's filter weights them.
    weights = weights.astype(image.dtype)
    # A block of rows at a time, in place, so that no second plane is made: each block reads
    # the rows above it as they were before their own block was smoothed, and the rows beyond
    # the borders mirrored (the edge row repeated, as scipy's "reflect" mode does).
    ny, width = image.shape[0], 2 * radius + 1
    kept, start = None, 0
    while start < ny:
        # The last block takes the rows that are left: its mirrored rows stay within it.
        stop = ny if ny - start < SMOOTH_ROWS + radius else start + SMOOTH_ROWS
        index = np.arange(start - radius, stop + radius)
        index = np.where(index < 0, -index - 1, index)
        index = np.clip(np.where(index >= ny, 2 * ny - index - 1, index), 0, ny - 1)
        window = image[index]
        if kept is not None:
            window[:radius] = kept
        kept = image[stop - radius:stop].copy()
        block = image[start:stop]
        np.multiply(window[radius:radius + stop - start], weights[radius], out=block)
        for k in range(width):
            if k != radius:
                block += weights[k] * window[k:k + stop - start]
        start = stop
    return image


def _binned_at(image: np.ndarray, f: int, rows, cols) -> np.ndarray:
    """The means of the f x f blocks (`rows`, `cols`) of `image`, as :func:`_binned` gives them.

    Examples
    --------
    >>> _binned_at(np.arange(15.0).reshape(3, 5), 2, np.array([0]), np.array([1])).tolist()
    [5.0]
    """
    out = image[f * rows, f * cols].astype(np.float64)
    for i in range(f):
        for j in range(f):
            if i or j:
                out += image[f * rows + i, f * cols + j]
    return out * (1.0 / (f * f))


def _binned(image: np.ndarray, f: int) -> np.ndarray:
    """Means of the whole f x f blocks of `image` (a short last row or column of blocks is left
    out), from strided slices: several times faster than a reshaped sum for small f.

    Examples
    --------
    >>> _binned(np.arange(15.0).reshape(3, 5), 2).tolist()
    [[3.0, 5.0]]
    """
    ny, nx = image.shape[0] // f * f, image.shape[1] // f * f
    out = image[0:ny:f, 0:nx:f].copy()
    for i in range(f):
        for j in range(f):
            if i or j:
                out += image[i:ny:f, j:nx:f]
    out *= 1.0 / (f * f)
    return out
