"""Preparation of an image for streak detection: background, noise, and the pixels that are not
sky.

The Hough score sums pixel values along lines, so anything that is not noise or streak must be
neutralised first: the sky level (subtracted, with the residual structure of the detector along
its axes), and every pixel whose value says nothing about a streak, which is excluded (set to 0,
adding nothing to a score): non-finite and user-masked pixels, detector defects and saturated
stars (:mod:`~kestrova.defects`, :mod:`~kestrova.detector_lines`, :mod:`~kestrova.saturation`),
and bright compact sources such as stars and hot pixels, which would otherwise raise every line
through them (masked out with their wings).

The isolated stars also give the width of the point-spread function (:mod:`~kestrova.psf`).

The background (:mod:`~kestrova.background`) and the sources (:mod:`~kestrova.sources`) are
stages of their own. A float32 image is prepared in float32 (its statistics in double
precision), and no full-size plane is made beyond the data, the search image and the flags.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from functools import cached_property

import numpy as np

from . import defects, detector_lines
from .background import Background, background_mesh, mesh_background, sky_background
from .psf import star_fwhm
from .saturation import bright_stars, saturation_level
from .settings import as_image
from .sources import Sources, compact_sources, find_sources
from .stats import robust_sigma, subsample

__all__ = ["Exclusion", "PreparedImage", "prepare_image", "Background", "background_mesh",
           "robust_sigma", "Sources", "find_sources", "compact_sources"]

# Fewer sky pixels than this leave the noise unknown.
MIN_SKY_PIXELS = 100

# FWHM (pixels) up to which a compact source is masked as a star, whatever the stars' own.
MAX_STAR_WIDTH = 20.0


class Exclusion(enum.IntFlag):
    """Why a pixel is excluded: the bits of :attr:`PreparedImage.flags`.

    Examples
    --------
    >>> int(Exclusion.DEFECT | Exclusion.SOURCE)
    20
    """

    INVALID = 1      # not a finite number
    MASKED = 2       # masked by the caller
    DEFECT = 4       # detector defect: fill values, defect lines, cold pixels
    SATURATED = 8    # saturated star with its bleed, halo and spikes
    SOURCE = 16      # compact source: star, hot pixel, cosmic-ray hit


@dataclass(frozen=True)
class PreparedImage:
    """An image made ready for the search.

    Attributes
    ----------
    data : ndarray of float32 or float64
        Background-subtracted image, 0 at excluded pixels; used to measure streaks. float32
        for an image that float32 holds exactly (see :func:`~kestrova.settings.as_image`).
    detect : ndarray
        `data` limited to +-`clip` sigma; used to search for streaks.
    background : Background
        The subtracted background: the mesh and the structure along the detector axes; its
        full-size plane is made by ``background.plane()``.
    sigma : float
        Noise per pixel.
    flags : ndarray of uint8
        Why each pixel is excluded, as bits of :class:`Exclusion` (0 for sky).
    saturation : float or None
        The value at which the detector saturates, when the image shows it.
    psf_fwhm : float or None
        FWHM in pixels of the isolated, unsaturated stars; None when there are too few.
    spiked : ndarray
        (column, row) of the stars below saturation whose diffraction spikes were masked,
        shape (2, n).
    """

    data: np.ndarray
    detect: np.ndarray
    background: Background
    sigma: float
    flags: np.ndarray
    saturation: float | None = None
    psf_fwhm: float | None = None
    spiked: np.ndarray = field(default_factory=lambda: np.zeros((2, 0)))

    @cached_property
    def excluded(self) -> np.ndarray:
        """Pixels set to 0 in `data` and `detect`, whatever the reason."""
        return self.flags != 0

    @property
    def sources(self) -> np.ndarray:
        """The compact-source part of `excluded`."""
        return self.excluded_by(Exclusion.SOURCE)

    def excluded_by(self, reason: Exclusion) -> np.ndarray:
        """Pixels excluded for (any of the bits of) `reason`."""
        return (self.flags & np.uint8(reason)) != 0

    def star_points(self, step: int = 4) -> np.ndarray:
        """(column, row) of the pixels every `step` rows and columns that are saturated, or in
        a saturated star's halo, bleed or spikes (a halo is wider than `step`, so every such
        star has some), and of the stars below saturation with spikes (`spiked`).

        Examples
        --------
        >>> image = np.random.default_rng(0).normal(100.0, 5.0, (200, 200))
        >>> image[50:53, 60:70] = 65535.0; image[150, 20] = 65535.0
        >>> columns, rows = prepare_image(image).star_points()
        >>> sorted(set(rows.tolist()))                # the stars with the halos masked around them
        [48.0, 52.0, 56.0, 148.0, 152.0]
        """
        rows, cols = np.nonzero(self.flags[::step, ::step] & np.uint8(Exclusion.SATURATED))
        return np.hstack([np.array([cols * step, rows * step], dtype=float), self.spiked])


def prepare_image(image, sigma: float | None = None, mask=None, *, box: int | None = 64,
                  clip: float = 5.0, source_peak: float = 6.0,
                  bright_peak: float = 500.0) -> PreparedImage:
    """Subtract the background, estimate the noise and exclude what is not sky.

    In turn: non-finite and masked pixels; fill values; a first background and noise; the
    saturated and the brightest stars with their bleed, halos and spikes; strips along the
    borders (and the first background again without them); defect columns and rows and pixels
    far below the sky; compact sources; the background again from the sky alone, with the
    structure along the detector axes; the final noise and the stars' width. Whole-numbered
    data are dithered where medians are taken, so that they do not take whole values only.

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
    bright_peak : float
        Stars peaking above this many sigma are masked with their halos and spikes, as far as
        the image shows them, like saturated stars.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> image = rng.normal(10.0, 2.0, (128, 128)); image[5, 7] = np.nan
    >>> prep = prepare_image(image)
    >>> round(prep.sigma, 1), float(prep.data[5, 7]), bool(prep.excluded[5, 7])
    (2.0, 0.0, True)
    >>> Exclusion(int(prep.flags[5, 7])).name
    'INVALID'
    """
    raw = np.asarray(image)
    image, flags = _valid(raw, mask)
    step = defects.quantum(raw)
    saturation = saturation_level(image)
    if saturation is not None:
        _flag(flags, _at_least(image, saturation), Exclusion.SATURATED)
    _flag(flags, defects.fill_runs(image, step, exclude=saturation), Exclusion.DEFECT)
    good = flags == 0
    before = np.count_nonzero(good)
    # The one full-size plane of values, in the image's own precision; the background is kept
    # as its mesh.
    background = mesh_background(image, good, box, step)
    data = background.subtract(image, np.empty_like(image))
    noise = _noise(data, good, step, flags) if sigma is None else _positive(float(sigma))
    spiked = _exclude_stars(image, data, flags, good, noise, step, saturation, box,
                            bright_peak)
    background = _exclude_defects(image, data, background, flags, good, noise, step, box)
    if sigma is None and before - np.count_nonzero(good) > 0.01 * good.size:
        # Wide defects and halos (an overscan, an amplifier's glow) widen the first estimate.
        noise = _noise(data, good, step, flags)
    np.copyto(data, 0, where=~good)
    del good  # while the sources are labelled; the flags tell it again
    found = find_sources(data, noise, peak=source_peak)
    good = flags == 0
    psf_fwhm = star_fwhm(data, found.y, found.x, found.peak,
                         found.compact & (found.peak > 20.0), good)
    # No star is much wider than the isolated ones (the width of a faint one is rough).
    max_width = MAX_STAR_WIDTH if psf_fwhm is None else max(5.0 * psf_fwhm, MAX_STAR_WIDTH)
    sources = found.mask(image.shape, max_width)
    sources &= good
    del good
    _flag(flags, sources, Exclusion.SOURCE)
    del sources
    sky = flags == 0
    # Stars and their wings raise a median: measure the sky again without them, against the
    # data of the first background. The excluded pixels are set to 0 at the end.
    again = sky_background(image, sky, data, 3.0 * noise, box, step)
    if again is not None:
        background = again
        data = background.subtract(image, out=data)
    columns, rows = detector_lines.axis_structure(data, sky, noise)
    background = background.with_axes(columns, rows)
    data -= columns
    data -= rows[:, None]
    if sigma is None:
        noise = _noise(data, sky, step, flags)
    del sky
    np.copyto(data, 0, where=flags != 0)
    detect = np.clip(data, -clip * noise, clip * noise)
    return PreparedImage(data, detect, background, noise, flags, saturation, psf_fwhm, spiked)


def _valid(raw, mask):
    """The image as floats that hold its values exactly (float32 for float32 and narrow
    integers, float64 otherwise) and its first flags: not finite, masked by the caller."""
    if raw.ndim != 2:
        raise ValueError(f"expected a 2-D image, got {raw.ndim} dimension(s)")
    image = as_image(raw)
    flags = np.zeros(image.shape, np.uint8)
    _flag(flags, ~np.isfinite(image), Exclusion.INVALID)
    if mask is not None:
        mask = np.asarray(mask, dtype=bool)
        if mask.shape != image.shape:
            raise ValueError(f"mask shape {mask.shape} differs from image shape {image.shape}")
        _flag(flags, mask, Exclusion.MASKED)
    if flags.all():
        raise ValueError("no valid pixel in the image")
    return image, flags


def _at_least(image, level):
    with np.errstate(invalid="ignore"):
        return image >= level


def _exclude_stars(image, data, flags, good, noise, step, saturation, box, bright_peak):
    """Flag the stars saturated at `saturation` and the brightest ones (in the `data` measured
    against a first background) with their halos and spikes; the pixels left stay `good` (in
    place). Returns the (column, row) centres of the brightest ones with spikes, shape (2, n):
    a line along a detector axis through one is a spike beyond its mask."""
    # Beyond a cell and a half the mesh follows a halo's gentle curve.
    follow = np.inf if box is None else 1.5 * box
    if saturation is not None:
        stars = bright_stars(image, _at_least(image, saturation), good, noise, step,
                             follow=follow)
        _exclude(flags, good, stars.mask, Exclusion.SATURATED)
    bright = data > bright_peak * noise
    bright &= good
    if not bright.any():
        return np.zeros((2, 0))
    stars = bright_stars(image, bright, good, noise, step, follow=follow)
    _exclude(flags, good, stars.mask, Exclusion.SOURCE)
    return stars.spiked


def _exclude_defects(image, data, background, flags, good, noise, step, box):
    """Flag the strips along the borders, then the defect lines and cold pixels; the pixels
    left stay `good` (in place). When there are strips, the background is measured again
    without them and `data` taken against it (in place); returns the background."""
    strips = detector_lines.edge_strips(image, good, noise)
    if strips.any():
        # A strip's level pulls the mesh cells beside it far from the sky, and the columns or
        # rows there (a hot column beside an overscan) would be judged against that.
        _exclude(flags, good, strips, Exclusion.DEFECT)
        background = mesh_background(image, good, box, step)
        background.subtract(image, out=data)
    del strips
    lines = detector_lines.defect_lines(data, good, noise)
    lines |= detector_lines.cold_pixels(data, good, noise)
    _exclude(flags, good, lines, Exclusion.DEFECT)
    return background


def _exclude(flags, good, where, reason):
    """Flag the pixels `where` for `reason`, and take them from `good`."""
    _flag(flags, where, reason)
    np.copyto(good, False, where=where)


def _flag(flags, where, reason):
    """Set the bit `reason` in `flags` at the pixels `where`."""
    np.bitwise_or(flags, np.uint8(reason), out=flags, where=where)


def _positive(sigma: float) -> float:
    """`sigma`, checked: a noise of zero (a flat image) or NaN leaves nothing to measure by."""
    if not np.isfinite(sigma) or sigma <= 0.0:
        raise ValueError(f"noise sigma must be positive, got {sigma}; pass sigma explicitly")
    return sigma


def _noise(data, sky, step, flags, max_samples=250_000):
    """Robust noise of the `sky` pixels of `data`, from a regular subsample of the image.

    Values quantised by `step` are dithered, and the variance the dither adds, step**2 / 12, is
    taken off again: the result is the noise of the data as they are. Too few sky pixels raise
    a ValueError that counts what the exclusions (the bits of `flags`) took.
    """
    sample = subsample(data, max_samples)[subsample(sky, max_samples)]
    if sample.size < min(1000, sky.sum()):
        sample = data[sky]
    sample = sample.astype(np.float64)
    if sample.size < MIN_SKY_PIXELS:
        raise ValueError(_too_few_sky(sky, flags))
    if step > 0:
        spread = robust_sigma(defects.dither(sample, step), overwrite=True)
        return _positive(float(np.sqrt(max(spread**2 - step**2 / 12.0, 0.0))))
    return _positive(robust_sigma(sample, overwrite=True))


def _too_few_sky(sky, flags):
    """The message of a noise estimate left without sky: what took the pixels."""
    taken = [f"{np.count_nonzero(flags & np.uint8(reason))} {reason.name.lower()}"
             for reason in Exclusion if np.any(flags & np.uint8(reason))]
    return (f"too few sky pixels to estimate the noise: {np.count_nonzero(sky)} of {sky.size} "
            f"are left after excluding {', '.join(taken) or 'none'} (a pixel may count more "
            "than once); pass sigma explicitly")
