"""The search for wide trails: a defocused satellite's trail, several times wider than a star.

The full-resolution search misses most of them. Its band (half-width ``width``, 2 pixels) holds
a small part of such a trail's light, the 64 pixel cells of the background mesh take up to half
of it into the sky (a trail 10-25 pixels wide raises their medians), and the faint, broad ridge
that is left is what the verification refuses as background structure. Block-averaged by
`WIDE_BINNING`, the same trail is a narrow one on an image whose mesh cells span four times as
many pixels: the search runs again there, on the raw image without the pixels that the
preparation excluded (stars, cosmic rays, defects: decided at full resolution, where they are
sharp) and without the streaks found already, and keeps the trails wider than the full-resolution
search handles (`WIDE_PSF` times the stars' FWHM). Their figures are brought back to the full
image's pixels (:func:`to_full`).
"""

from __future__ import annotations

from dataclasses import replace

import numpy as np

from .catalog import Streak, StreakRecord
from .lines import across, ends_along, to_frame, to_full_r
from .ridge import APERTURE_FWHM

__all__ = ["SHAPE_REASONS", "WIDE_BINNING", "WIDE_MAP_SIZE", "WIDE_PSF", "alongside",
           "block_mean", "block_offset", "is_wing", "photometric", "record_to_full",
           "refused_before", "searchable", "to_full", "wide_enough"]

# Block size of the wide search: a trail 6-25 pixels wide (FWHM) becomes 1.5-6 pixels wide, the
# width the band of the search holds best.
WIDE_BINNING = 4
# The coarse map of the wide search is made on the reduced image brought down to at most this
# many pixels a side: a wide trail is still a few of its pixels wide there, and the map costs a
# fraction of the full-resolution search's.
WIDE_MAP_SIZE = 128
# The wide search reports trails wider than this many times the stars' FWHM; narrower ones are
# the full-resolution search's, which sees them sharper and has examined them already.
WIDE_PSF = 2.0
# The smaller side of the block-averaged image must keep this many pixels for a search.
MIN_WIDE_SIZE = 64
# Rows of blocks averaged at a time.
STRIP_BLOCKS = 64
# A wide streak's flux per length must stand FLUX_FRACTION times `min_snr` above its error. The
# reduced image's lines are scored over four times the area of the full image's, so a broad hump
# of the sky or a galaxy's disk passes the search and the verification there more easily; the
# fit of the cross-profile tells them from a trail, whose profile stands on a flat sky and
# whose integral the fit pins down, while a hump's level and width trade against each other.
FLUX_FRACTION = 0.85
# A wide streak parallel to a trail found at full resolution (within WING_ANGLE), beside it
# (within WING_FWHM of its own FWHM beyond the trail's blanked aperture) and fainter than
# WING_FRACTION of it is that trail's wing: a very bright trail's profile stays above the
# reduced image's noise, a quarter of the full image's, well beyond what was blanked.
WING_ANGLE = np.radians(2.0)
WING_FWHM = 2.0
WING_FRACTION = 0.1
# A line that the full-resolution search refused for the shape of its signal along it (a disk
# that fades towards both ends, two sources with nothing between, a few knots) is not a trail
# at any width: a wide streak on it (within REFUSED_ANGLE, and REFUSED_REACH pixels or its FWHM)
# is the same thing seen coarser, where an edge-on disk looks wide.
SHAPE_REASONS = ("tapered", "hollow", "knotty", "soft ends")
REFUSED_ANGLE = np.radians(3.0)
REFUSED_REACH = 10.0


def block_mean(image: np.ndarray, excluded: np.ndarray, f: int) -> np.ndarray:
    """The mean of the valid pixels of each whole `f` x `f` block of `image` (the rows and columns
    beyond the last whole block left out), NaN where fewer than half of a block's pixels are
    valid (finite and not `excluded`). Pixel (i, j) of the result is centred on pixel
    (f i + (f - 1) / 2, f j + (f - 1) / 2) of `image`.

    Examples
    --------
    >>> image = np.arange(20.0).reshape(4, 5)
    >>> excluded = np.zeros((4, 5), bool); excluded[0, :2] = True; excluded[2:, 2:] = True
    >>> block_mean(image, excluded, 2)
    array([[ 5.5,  5. ],
           [13. ,  nan]])
    """
    ny, nx = image.shape[0] // f, image.shape[1] // f
    out = np.empty((ny, nx))
    # A strip of blocks at a time: the full image is not copied in double precision.
    for i in range(0, ny, STRIP_BLOCKS):
        rows = slice(i * f, min(i + STRIP_BLOCKS, ny) * f)
        values = image[rows, :nx * f]
        invalid = ~np.isfinite(values)
        invalid |= excluded[rows, :nx * f]
        values = np.where(invalid, values.dtype.type(0), values)
        # The rows of the blocks added as whole rows of the strip, then the columns: strided
        # views, where a sum over a reshaped axis of f would loop over f elements at a time.
        total = values[0::f].astype(np.float64)
        bad = invalid[0::f].astype(np.intp)
        for k in range(1, f):
            total += values[k::f]
            bad += invalid[k::f]
        total = total.reshape(-1, nx, f).sum(axis=2)
        count = f * f - bad.reshape(-1, nx, f).sum(axis=2)
        with np.errstate(invalid="ignore", divide="ignore"):
            out[i:i + count.shape[0]] = np.where(count >= 0.5 * f * f, total / count, np.nan)
    return out


def block_offset(shape, f: int) -> tuple:
    """(dx, dy) of the centre of the frame of :func:`block_mean` (of an image of `shape` by `f`)
    in the image's frame, as :func:`~kestrova.detect.reduce_image` gives it: the whole blocks
    leave the last rows and columns out.

    Examples
    --------
    >>> block_offset((44, 45), 4)
    (-0.5, 0.0)
    """
    return (0.5 * (f * (shape[1] // f) - shape[1]), 0.5 * (f * (shape[0] // f) - shape[0]))


def searchable(shape, f: int = WIDE_BINNING) -> bool:
    """Whether an image of `shape` is large enough for the wide search."""
    return min(shape) // f >= MIN_WIDE_SIZE


def wide_enough(streak: Streak, psf_fwhm: float) -> bool:
    """Whether `streak` (in full-image pixels) is wider than the full-resolution search
    handles: `WIDE_PSF` times the stars' FWHM `psf_fwhm`."""
    return bool(streak.fwhm > WIDE_PSF * psf_fwhm)


def photometric(streak: Streak, min_snr: float) -> bool:
    """Whether the flux per length of `streak` stands `FLUX_FRACTION` times `min_snr` above its
    error.

    Examples
    --------
    >>> s = Streak(0.0, 0.0, 9.0, 9.0, 0.0, 2.0, 10.0, 2.0, 10.0, 2.0, 0.5, 3.0, 0.5, 2.0, 4.0)
    >>> photometric(s, 6.0), photometric(replace(s, flux_per_length_err=0.2), 6.0)
    (False, True)
    """
    return bool(streak.flux_per_length >= FLUX_FRACTION * min_snr * streak.flux_per_length_err)


def alongside(streak: Streak, other: Streak, shape, reach: float,
              angle: float = WING_ANGLE) -> bool:
    """Whether `streak` runs parallel to `other` (within `angle`), its middle within `reach` of
    `other`'s line, over a stretch of `other`'s, both in the pixels of an image of `shape`.

    Examples
    --------
    >>> trail = Streak(49.5, 0.0, 99.0, 99.0, 10.0, 50.0, 390.0, 50.0, 380.0, 5e4, 9.0, 0.0,
    ...                0.0, 2.0, 10.0)
    >>> beside = replace(trail, y_start=85.0, y_end=85.0)
    >>> [alongside(beside, trail, (200, 400), reach) for reach in (30.0, 40.0)]
    [False, True]
    """
    if abs(np.sin(streak.theta - other.theta)) > np.sin(angle):
        return False
    middle = to_frame(shape, 0.5 * (streak.x_start + streak.x_end),
                      0.5 * (streak.y_start + streak.y_end))
    if abs(across(other.r, other.theta, *middle)) > reach:
        return False
    a, b = ends_along(shape, other.theta, other.start, other.end)
    c, d = ends_along(shape, other.theta, streak.start, streak.end)
    return bool(min(b, d) > max(a, c))


def is_wing(streak: Streak, trail: Streak, shape) -> bool:
    """Whether the wide `streak` is the wing of the brighter `trail` beside it, both in the
    pixels of an image of `shape` (see `WING_FRACTION`).

    Examples
    --------
    >>> trail = Streak(49.5, 0.0, 99.0, 99.0, 10.0, 50.0, 390.0, 50.0, 380.0, 5e4, 9.0, 0.0,
    ...                0.0, 2.0, 10.0)
    >>> wing = replace(trail, y_start=85.0, y_end=85.0, flux_per_length=200.0, fwhm=9.0)
    >>> is_wing(wing, trail, (200, 400)), is_wing(replace(wing, y_start=150.0, y_end=150.0),
    ...                                            trail, (200, 400))
    (True, False)
    """
    return (streak.flux_per_length < WING_FRACTION * trail.flux_per_length
            and alongside(streak, trail, shape,
                          APERTURE_FWHM * trail.fwhm + WING_FWHM * streak.fwhm))


def refused_before(streak: Streak, refused: Streak, shape) -> bool:
    """Whether the wide `streak` lies on the line `refused` (within `REFUSED_ANGLE`, and
    `REFUSED_REACH` pixels or its FWHM) that the full-resolution search refused for its shape
    (`SHAPE_REASONS`)."""
    return alongside(streak, refused, shape, max(REFUSED_REACH, streak.fwhm), REFUSED_ANGLE)


def to_full(streak: Streak, shape, f: int) -> Streak:
    """`streak`, measured on the :func:`block_mean` of an image of `shape` by `f`, in that image's
    pixels: positions, lengths and widths times `f`, and the flux per length too (a pixel of the
    reduced image holds the mean of f x f pixels, so its profile integrates to 1 / f of the
    trail's signal per unit length).

    Examples
    --------
    >>> s = Streak(3.0, 0.0, 9.0, 9.0, 0.0, 2.0, 10.0, 2.0, 10.0, 2.0, 0.1, 3.0, 0.5, 2.0, 4.0)
    >>> big = to_full(s, (44, 45), 4)
    >>> big.start, big.end, big.length, big.flux_per_length, big.fwhm, big.r
    ((1.5, 9.5), (41.5, 9.5), 40.0, 8.0, 16.0, 12.0)
    """
    def full(value):
        return f * value + 0.5 * (f - 1)

    x0, y0, x1, y1 = (full(v) for v in (streak.x_start, streak.y_start, streak.x_end,
                                        streak.y_end))
    r = float(to_full_r(streak.r, streak.theta, f, block_offset(shape, f)))
    return replace(streak, r=r, x_start=x0, y_start=y0, x_end=x1, y_end=y1,
                   length=f * streak.length, flux_per_length=f * streak.flux_per_length,
                   flux_per_length_err=f * streak.flux_per_length_err,
                   level=f * f * streak.level, width=f * streak.width, fwhm=f * streak.fwhm)


def record_to_full(record: StreakRecord, shape, theta: float, f: int):
    """`record` of a streak at `theta`, made on the :func:`block_mean` of an image of `shape` by
    `f`, in that image's pixels (see :func:`to_full`): along-line positions times `f` and moved
    to the full frame's centre, running sums (of reduced pixels, each the mean of f x f) times f
    squared.

    Examples
    --------
    >>> rec = StreakRecord(np.array([0.0, 1.0]), np.array([1.0, 2.0]),
    ...                    np.array([1.0, 1.0, -2.0, 3.0, 0.5]), -2.0, 3.0)
    >>> big = record_to_full(rec, (40, 41), 0.0, 4)
    >>> big.position.tolist(), big.running_sum.tolist(), big.fit.tolist(), big.start
    ([-0.5, 3.5], [16.0, 32.0], [16.0, 4.0, -8.5, 11.5, 0.5], -8.5)
    """
    dx, dy = block_offset(shape, f)
    shift = dx * np.cos(theta) + dy * np.sin(theta)

    def position(t):
        return f * t + shift

    level, slope, start, end, goodness = record.fit
    return replace(record, position=position(record.position),
                   running_sum=f * f * record.running_sum,
                   fit=np.array([f * f * level, f * slope, position(start), position(end),
                                 goodness]),
                   start=float(position(record.start)), end=float(position(record.end)),
                   knots=tuple((float(position(a)), float(position(b)))
                                 for a, b in record.knots))
