"""Verification of a measured line: is it a trail, or something else that makes a line stand out?

A line scores high wherever its band sums more signal than noise: on a trail, but also across a
galaxy or a star's halo, along a background residual, through a few faint stars or knots that
happen to line up, or beside a wide trail already found. A trail differs from all of these in
three ways, each tested here on the pixels around the measured segment:

- its cross-profile is a narrow ridge centred on the line, at the level of nothing on either side
  (:func:`~kestrova.ridge.cross_profile`, :func:`~kestrova.ridge.ridge`);
- its signal is spread along the segment, not held in a few knots or at its ends
  (:func:`chunk_levels`);
- it stands out from the lines parallel to it nearby, whose scatter is the real noise of lines of
  that length and angle in this image, background residuals and star wings included
  (:func:`line_significance`).

Excluded pixels (masked or blanked) are missing data throughout.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import partial

import numpy as np

from .lines import across, along, ends_along, point, strip, to_frame, to_pixels
from .ridge import (APERTURE_FWHM, MAX_REACH, REACH, SIDE_BAND, SIDE_BAND_MIN, Ridge,
                    across_sums, core_width, crest, cross_profile, flux_per_length, ridge,
                    side_levels)
from .settings import SEARCH_CLIP
from .stats import robust_sigma

__all__ = ["Verdict", "Verifier", "chunk_levels", "line_significance", "on_spike", "verify"]

# A side band above this fraction of the ridge's peak means a broad feature (galaxy, halo,
# background structure), not a trail.
MAX_SIDE_FRACTION = 0.25
# The side bands are read from values limited to SIDE_CLIP times the ridge's peak, and to no
# less than SIDE_CLIP_FLOOR sigma: above the faint stars that the preparation leaves (peaks
# under 6 sigma), whose light beside a faint line is structure, and well below cosmic-ray hits.
SIDE_CLIP = 4.0
SIDE_CLIP_FLOOR = 10.0
# A faint ridge wider than this many PSF widths is background structure; a trail that wide
# (a defocused satellite) is bright: its crest stands this many sigma above the sky.
MAX_WIDTH_PSF = 4.0
BRIGHT = 3.0
DEFAULT_PSF_FWHM = 2.5
# A ridge whose core is narrower than this fraction of the stars' FWHM (a faint trail's width
# scatters), or than this many pixels whatever the stars, did not come through the optics (a
# cosmic-ray track, a hot column); the core's fit must stand this many sigma for its width to
# count.
MIN_WIDTH_PSF = 0.5
SHARPEST = 1.5
SHARP_SIGNIFICANCE = 10.0
# A segment shorter than TILT_LENGTH pixels is also tried along the lines through its middle
# whose ends lie within TILT_REACH pixels of its own, in steps of TILT_STEP: a found line's angle
# is that close over a longer one.
TILT_LENGTH = 256.0
TILT_REACH = 3.0
TILT_STEP = 0.5
# A trail is at least this many times longer than wide; an edge-on galaxy (whose disk rarely
# exceeds ten to one) or a pair of stars is not. A ridge wider than WIDE_PSF times the stars'
# FWHM (when the stars give it) must, unless bright, be longer in proportion to its width
# again: most short, faint, broad ridges are galaxies, while a defocused trail is broad along its
# whole, usually long, path.
MIN_ELONGATION = 12.0
WIDE_PSF = 1.5
# A short streak, one that stands out only in a part of its line, is no wider than this many
# times the stars' FWHM: the thin edge-on disks that such a search offers are a little wider
# than a star (1.2-2.3 times on the benchmark's galaxy-rich frames, the trails 0.8-1.0), and
# too short to tell from a trail by their length.
SHORT_WIDTH_PSF = 1.15
# Beyond the ends of a segment, a level within this range of fractions of the level inside
# them: a fading disk.
SOFT_END = (0.3, 0.8)
# Persistence: without its brightest quarter of chunks, the segment must keep this fraction of the
# detection threshold (a trail at the threshold keeps about 0.75 of it).
KNOT_FRACTION = 0.6
# The significance (see line_significance): a band cut into this many parts along the line, the
# highest and lowest TRIM of them left out; the bands this far beyond the kept-out ones taken
# as the level of the background around a band.
SIGNIFICANCE_CHUNKS = 16
TRIM = 1
CONTRAST_WIDTH = 32.0
CHUNKS = 8
# Shape: both outer quarters of the segment below this fraction of its middle's median chunk
# (an edge-on disk's exponential profile), or the middle below the second fraction of both
# outer quarters (a line through two sources, empty between them). A trail keeps its level,
# fades at one end, or varies in waves (a tumbling satellite dims by 60 % at most).
TAPER = 0.5
HOLLOW = 0.3


@dataclass(frozen=True)
class Verdict:
    """The outcome of :func:`verify`.

    Attributes
    ----------
    reason : str
        "" for a trail, else why not: "no ridge", "not elongated", "off centre", "broad",
        "sharp", "tapered", "hollow", "knotty", "soft ends", "noise", "spike".
    r, theta : float
        The line along the ridge's crest (see :func:`crest`).
    moved : float
        How far the crest lies from the measured line at the segment's ends, pixels.
    ridge : Ridge
    significance : float
        The segment's signal-to-noise ratio against the lines parallel to it.
    """

    reason: str
    r: float
    theta: float
    moved: float
    ridge: Ridge
    significance: float

    @property
    def ok(self) -> bool:
        return not self.reason


def chunk_levels(data, excluded, sigma, r, theta, a, b, half_width, n=8):
    """Mean level (in units of the noise) of each of `n` equal chunks of the band of the segment
    [a, b], and its error; a chunk without valid pixels has level 0 and an infinite error.

    Examples
    --------
    >>> data = np.zeros((20, 80)); data[10, 5:75] = 1.0
    >>> level, error = chunk_levels(data, data < 0, 1.0, -0.5, 0.0, -32.0, 32.0, 1.0)
    >>> (level / error).round(2).tolist()
    [2.83, 2.83, 2.83, 2.83, 2.83, 2.83, 2.83, 2.83]
    """
    count, total = across_sums(data, excluded, sigma, r, theta, a, b, half_width,
                               2.0 * half_width, 1, chunks=n)
    count, total = count.ravel(), total.ravel()
    with np.errstate(divide="ignore"):
        return total / np.maximum(count, 1), np.where(count > 0, 1.0 / np.sqrt(count), np.inf)


def line_significance(data, excluded, sigma, r, theta, a, b, *, band, keep_out,
                      reach=120.0, min_lines=8):
    """Significance of the band of width `band` centred on the segment [a, b] of the line
    (r, theta) against the bands parallel to it more than `keep_out` pixels away.

    Each band is scored the same way, from pixel values limited as in the search image
    (`~kestrova.settings.SEARCH_CLIP` sigma: an unmasked cosmic-ray track or galaxy core in one
    parallel band would widen the spread by itself). The signal-to-noise ratios of its
    `SIGNIFICANCE_CHUNKS` parts along the line are summed without the `TRIM` highest and lowest
    (a star's wing, a galaxy's knot, a cosmic-ray hit), and the mean of the bands `keep_out` to
    `keep_out` + `CONTRAST_WIDTH` pixels from it on either side is taken off (the background's
    residual structure, which raises them as much). The bands beyond those give the median and
    spread (robust, at least 1) of such a score here; white noise, (0, 1), when fewer than
    `min_lines` of them are well covered.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> rows = np.arange(300.0)[:, None]
    >>> sky = rng.normal(size=(300, 300)) + 0.005 * (rows - 150)       # a gradient across it
    >>> abs(line_significance(sky, sky > 99, 1.0, 0.0, 0.3, -100, 100, band=4.0,
    ...                       keep_out=15.0)) < 3
    True
    >>> trail = sky + 0.8 * np.exp(-0.5 * ((rows - 149.5) / 1.2) ** 2)
    >>> line_significance(trail, trail > 99, 1.0, 0.0, 0.0, -140, 140, band=4.0,
    ...                   keep_out=15.0) > 10
    True
    """
    reach = max(reach, keep_out + CONTRAST_WIDTH + min_lines * band)
    n = 2 * int(np.ceil(reach / band - 0.5)) + 1  # odd: the middle band is centred on the line
    half = 0.5 * n * band
    count, total = across_sums(data, excluded, sigma, r, theta, a, b, half, band, n,
                               clip=SEARCH_CLIP, chunks=SIGNIFICANCE_CHUNKS)
    pixels = count.sum(axis=1)
    if not pixels.any():
        return 0.0
    covered = pixels > 0.5 * np.median(pixels[pixels > 0])
    score = _trimmed_sums(count, total)
    centre = -half + (np.arange(n) + 0.5) * band
    apart = centre[None, :] - centre[:, None]
    near = (np.abs(apart) >= keep_out) & (np.abs(apart) <= keep_out + CONTRAST_WIDTH)
    near &= covered[None, :]
    # The two sides averaged apart, so that a gradient across the bands cancels.
    with np.errstate(invalid="ignore", divide="ignore"):
        sides = np.array([((near & side) * score[None, :]).sum(axis=1) / (near & side).sum(axis=1)
                          for side in (apart < 0, apart > 0)])
    contrast = score - sides.mean(axis=0)
    offset = np.abs(centre)
    use = covered & (offset > keep_out + CONTRAST_WIDTH) & np.isfinite(contrast)
    if use.sum() < min_lines:
        med, spread = 0.0, 1.0
    else:
        med = float(np.median(contrast[use]))
        spread = max(1.0, robust_sigma(contrast[use] - med))
    middle = contrast[n // 2]
    seen = np.isfinite(sides[:, n // 2])
    if seen.any() and not seen.all() and not _along_axis(theta):
        # One side runs off the image or under a mask: the other alone (a trail near the
        # frame's edge, parallel to it, was refused as noise). Not along the detector's rows
        # or columns, where what lies beside an edge or a mask is the detector's (overscan, a
        # column beside a masked one, a bleed's rim) and only both sides tell it from a trail.
        middle = score[n // 2] - sides[seen, n // 2][0]
    return float((middle - med) / spread) if np.isfinite(middle) else 0.0


def _along_axis(theta, tolerance=np.radians(1.0)) -> bool:
    """Whether a line at `theta` runs along the detector's rows or columns, within
    `tolerance`."""
    folded = np.mod(theta, np.pi / 2)
    return bool(min(folded, np.pi / 2 - folded) <= tolerance)


def _trimmed_sums(count, total):
    """Per band (row), the sum of its parts' signal-to-noise ratios without the `TRIM`
    highest and lowest, over the square root of their number (all of them when fewer than
    2 `TRIM` + 4 hold pixels)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        snr = np.where(count > 0, total / np.sqrt(count), np.nan)
    ordered = np.sort(snr, axis=1)  # NaN last
    seen = np.isfinite(ordered).sum(axis=1)
    out = np.zeros(snr.shape[0])
    for i, k in enumerate(seen):
        values = ordered[i, :k]
        if k >= 2 * TRIM + 4:
            values = values[TRIM:k - TRIM]
        out[i] = values.sum() / np.sqrt(max(values.size, 1))
    return out


def on_spike(shape, r, theta, stars, *, reach=3.0, max_angle=np.radians(1.0),
             segment=None) -> bool:
    """Whether the line (r, theta) runs along a detector axis, within `max_angle`, through one
    of the saturated or bright `stars` (pixel columns and rows, shape (2, n)), within `reach`
    pixels: a diffraction spike or a bleed beyond what was masked. A `segment` (a, b) of the
    line (positions along it) may be tilted farther, as long as it stays within `reach` of
    the axis through the star: a short piece of a spike has a rough angle.

    Examples
    --------
    >>> stars = np.array([[150.0], [40.0]])                     # (column, row)
    >>> [on_spike((100, 200), r, 0.0, stars) for r in (9.5, 20.0)]     # lines along rows
    [True, False]
    >>> on_spike((100, 200), 9.5, 0.1, stars)                            # at an angle: a trail
    False
    >>> on_spike((100, 200), 9.5, 0.05, stars, segment=(35.0, 55.0))    # or a spike's far end
    True
    >>> on_spike((100, 200), 9.5, 0.05, stars, segment=(-90.0, -40.0))  # beyond its reach
    False
    """
    stars = np.asarray(stars, dtype=float).reshape(2, -1)
    a, b = segment if segment is not None else (0.0, np.inf)
    tilt = max(max_angle, float(np.arctan2(reach, b - a)))
    if stars.shape[1] == 0 or not _along_axis(theta, tilt):
        return False
    x, y = to_frame(shape, stars[0], stars[1])
    near = np.abs(across(r, theta, x, y)) <= reach
    if _along_axis(theta, max_angle):
        return bool(np.any(near))
    # Tilted beyond max_angle: the segment's ends must lie within reach of the star's axis
    # (its row for a line along the rows, its column for one along the columns).
    rows = abs(np.cos(theta)) > abs(np.sin(theta))
    ends = np.array([point(r, theta, t)[1 if rows else 0] for t in (a, b)])
    axis = (y if rows else x)[near]
    return bool(np.any(np.abs(ends[:, None] - axis[None, :]).max(axis=0) <= reach))


def verify(data, excluded, sigma, r, theta, a, b, *, min_snr, width, psf_fwhm=None,
           short=False):
    """Verify the segment [a, b] of the line (r, theta) as a trail.

    The ridge is centred first (the band of a wide trail's best line need not sit on its
    crest); then it must stand above its side bands, keep its signal without its brightest
    chunk, and stand out from the parallel lines nearby by `min_snr`. With the stars' FWHM
    `psf_fwhm`, a ridge much sharper than a star (a cosmic ray, a hot column) or, when faint,
    much wider (background structure) or broader and short (a galaxy) is not a trail either,
    nor, for a `short` streak (found in a part of its line), one wider than a star.

    Examples
    --------
    >>> rng = np.random.default_rng(1)
    >>> rows = np.arange(200.0)[:, None]
    >>> trail = rng.normal(size=(200, 300)) + 1.5 * np.exp(-0.5 * (rows - 101.0) ** 2)
    >>> v = verify(trail, trail < -99, 1.0, -1.5, 0.0, -149.5, 149.5, min_snr=6.0, width=2.0)
    >>> v.ok, v.moved < 0.5
    (True, True)
    >>> cols = np.arange(300.0)
    >>> galaxy = rng.normal(size=(200, 300)) + 9.0 * np.exp(
    ...     -0.5 * (((rows - 101.0) / 4) ** 2 + ((cols - 150) / 12) ** 2))
    >>> verify(galaxy, galaxy < -99, 1.0, -1.5, 0.0, -100, 100, min_snr=6.0, width=2.0).reason
    'tapered'
    """
    r0, theta0, a0, b0 = r, theta, a, b
    r, theta, a, b = crest(data, excluded, sigma, r, theta, a, b)
    profile = cross_profile(data, excluded, sigma, r, theta, a, b, reach=REACH)
    rd = ridge(profile)
    moved = float(max(abs(across(r0, theta0, *point(r, theta, t))) for t in (a, b)))
    rd = Ridge(0.0, rd.fwhm, rd.peak, rd.extent)
    verdict = partial(Verdict, r=r, theta=theta, moved=moved, ridge=rd, significance=0.0)
    if not rd.peak > 0:
        return verdict("no ridge")
    broad = max(1.0, rd.fwhm / (WIDE_PSF * psf_fwhm)) if psf_fwhm and rd.peak < BRIGHT else 1.0
    if b - a < MIN_ELONGATION * rd.fwhm * broad:
        return verdict("not elongated")
    if moved > 2.0 * max(rd.fwhm, 2.0):
        # The ridge belongs to something beside the line (a trail found before, a halo).
        return verdict("off centre")
    if _broad(data, excluded, sigma, r, theta, a, b, rd):
        return verdict("broad")
    if _sharp(data, excluded, sigma, r, theta, a, b, psf_fwhm) or (
            moved >= 0.5 and _sharp(data, excluded, sigma, r0, theta0, a0, b0, psf_fwhm)):
        # Sharper than a star: a cosmic-ray track or a hot column; the light of a trail comes
        # through the telescope's blur. Something beside a track (another track, a blob) can
        # turn the crest line off it, along which it smears out: the line found is tried too.
        return verdict("sharp")
    if rd.fwhm > MAX_WIDTH_PSF * (psf_fwhm or DEFAULT_PSF_FWHM) and rd.peak < BRIGHT:
        # Much wider than a star and faint: background structure, not a (defocused) trail.
        return verdict("broad")
    if short and psf_fwhm and rd.fwhm > SHORT_WIDTH_PSF * psf_fwhm:
        return verdict("broad")
    level, error = chunk_levels(data, excluded, sigma, r, theta, a, b, width, CHUNKS)
    shape = _shape(level, error)
    if shape:
        return verdict(shape)
    chunks = np.sort(level / error)
    rest = chunks[:-CHUNKS // 4]
    if rest.sum() / np.sqrt(rest.size) < KNOT_FRACTION * min_snr:
        return verdict("knotty")
    if _soft_ends(data, excluded, sigma, r, theta, a, b, half_width=width,
                  reach=max(10.0, 2.0 * rd.fwhm), margin=rd.fwhm + 2.0):
        return verdict("soft ends")
    significance = line_significance(data, excluded, sigma, r, theta, a, b, band=2.0 * width,
                                     keep_out=max(3.0 * rd.extent, 3.0 * rd.fwhm, 15.0))
    return replace(verdict("" if significance >= min_snr else "noise"),
                   significance=significance)


def _broad(data, excluded, sigma, r, theta, a, b, rd: Ridge) -> bool:
    """Whether the side bands of the ridge `rd` hold more than `MAX_SIDE_FRACTION` of its peak.
    Both are read from values limited to `SIDE_CLIP` times the peak (`SIDE_CLIP_FLOOR` sigma at
    least): the cosmic-ray hits that a long line passes beside would otherwise raise its side
    bands above a faint trail's peak, while a bright trail's wings, a galaxy's or a halo's light
    and the faint stars left unmasked stay as they are."""
    outer = max(SIDE_BAND[1] * 0.5 * rd.fwhm, SIDE_BAND_MIN[1])
    # A broad ridge: look far enough out to see its side bands.
    reach = min(outer + 2.0, MAX_REACH) if outer > REACH else REACH
    profile = cross_profile(data, excluded, sigma, r, theta, a, b, reach=reach,
                            clip=max(SIDE_CLIP_FLOOR, SIDE_CLIP * rd.peak))
    sides = side_levels(profile, rd)
    core = np.abs(profile.offset - rd.centre) <= max(0.5 * rd.fwhm, 1.0)
    peak = np.nanmax(profile.mean[core], initial=0.0)
    return bool(sides) and max(sides) > MAX_SIDE_FRACTION * peak


def _sharp(data, excluded, sigma, r, theta, a, b, psf_fwhm):
    """Whether the ridge's core (see :func:`~kestrova.ridge.core_width`) is measured narrower
    than the optics let a trail be, along the line or, for a segment shorter than
    `TILT_LENGTH`, along any line through its middle whose ends lie within `TILT_REACH` pixels
    of the line's: the angle of a short segment found in a tile, or pulled by a track crossing
    it, can be off by a few degrees, and a track 1 pixel wide then reads as wide as a star.

    Examples
    --------
    >>> from kestrova.lines import across, to_frame
    >>> rows, cols = np.mgrid[:100, :200]
    >>> d = across(0.0, 0.03, *to_frame((100, 200), cols, rows))     # a track off by 2 degrees
    >>> data = np.random.default_rng(0).normal(0.0, 1.0, (100, 200)) + 30.0 * np.exp(
    ...     -0.5 * (d / 0.5) ** 2) * (np.abs(cols - 100) < 30)
    >>> width, _ = core_width(data, data < -99, 1.0, 0.0, 0.0, -30.0, 30.0)
    >>> round(width, 1), _sharp(data, data < -99, 1.0, 0.0, 0.0, -30.0, 30.0, 2.5)  # limit 1.5
    (1.7, True)
    """
    limit = max(SHARPEST, MIN_WIDTH_PSF * psf_fwhm) if psf_fwhm else SHARPEST
    for line in _tilted(r, theta, a, b):
        width, significance = core_width(data, excluded, sigma, *line)
        if significance >= SHARP_SIGNIFICANCE and width < limit:
            return True
    return False


def _tilted(r, theta, a, b):
    """The line (r, theta) over [a, b], then, for a segment shorter than `TILT_LENGTH`, the
    lines through its middle tilted by ever larger angles, each way in turn, until its ends
    have moved by `TILT_REACH` pixels (in steps of `TILT_STEP`), each over as long a segment.

    Examples
    --------
    >>> [round(float(np.degrees(t)), 1) for _, t, _, _ in _tilted(0.0, 0.0, -20.0, 20.0)][:5]
    [0.0, 1.4, -1.4, 2.9, -2.9]
    >>> len(list(_tilted(0.0, 0.0, -200.0, 200.0)))
    1
    """
    yield r, theta, a, b
    half = 0.5 * (b - a)
    if not 0.0 < 2.0 * half < TILT_LENGTH:
        return
    x, y = point(r, theta, 0.5 * (a + b))
    for k in range(1, int(TILT_REACH / TILT_STEP) + 1):
        for sign in (1.0, -1.0):
            t = theta + sign * np.arctan(k * TILT_STEP / half)
            mid = along(t, x, y)
            yield float(across(0.0, t, x, y)), float(t), mid - half, mid + half


def _shape(level, error):
    """"tapered" when the chunks' levels (in order along the segment) fall off towards both
    ends, as along an edge-on disk: each outer quarter below `TAPER` times the middle half's
    median, by three times its error; "hollow" when the middle half lies below `HOLLOW` times
    both outer quarters, as on a line through two sources; else "". Levels, not S/N, so that a
    chunk partly masked (a star on the trail) counts at its level.

    Examples
    --------
    >>> error = np.full(8, 0.1)
    >>> disk = 2.0 * np.exp(-np.abs(np.arange(8) - 3.5) * 18.0 / 30.0)
    >>> fading = np.r_[disk[:4], 1.5, 1.5, 1.5, 1.5]           # a trail fading at one end
    >>> pair = np.r_[1.0, 0.8, 0.1, 0.0, -0.1, 0.1, 0.9, 1.2]
    >>> [_shape(v, error) for v in (disk, np.full(8, 0.5), fading, pair)]
    ['tapered', '', '', 'hollow']
    """
    quarter = len(level) // 4
    ends = [_weighted_mean(level[part], error[part])
            for part in (slice(0, quarter), slice(len(level) - quarter, None))]
    inner = slice(quarter, len(level) - quarter)
    seen = np.isfinite(error[inner])
    if not seen.any():
        return ""
    # The median, so that a glint in the middle does not count; its error is a mean's 1.25 times.
    middle = float(np.median(level[inner][seen]))
    middle_err = 1.25 * _weighted_mean(level[inner], error[inner])[1]

    def below(low, high, err, fraction):
        return low < fraction * high and low < high - 3.0 * np.hypot(err, middle_err)

    if all(below(outer, middle, err, TAPER) for outer, err in ends):
        return "tapered"
    if all(below(middle, outer, err, HOLLOW) for outer, err in ends):
        return "hollow"
    return ""


def _weighted_mean(level, error):
    """The mean of `level` weighted by inverse variance, and its error (inf without data)."""
    weight = 1.0 / error**2
    total = weight.sum()
    if not total > 0:
        return 0.0, np.inf
    return float(np.sum(level * weight) / total), float(1.0 / np.sqrt(total))


def _soft_ends(data, excluded, sigma, r, theta, a, b, *, half_width, reach, margin):
    """Whether the signal goes on beyond both ends of the segment, fading, as a galaxy's disk
    does: a trail ends sharply, within its width, or at the image's edge.

    An end is soft when the band just beyond it, over `reach` pixels, holds a significant
    part of the level just inside it, but clearly less (`SOFT_END`)."""
    ny, nx = data.shape
    soft = []
    for end, out in ((a, -1.0), (b, 1.0)):
        x, y = to_pixels(data.shape, *point(r, theta, end + out * reach))
        if not (margin <= x <= nx - 1 - margin and margin <= y <= ny - 1 - margin):
            continue  # at the edge: the trail may go on beyond the image
        levels = []
        for near, far in ((end, end + out * reach), (end - out * reach, end)):
            rows, cols, _, _ = strip(data.shape, r, theta, min(near, far), max(near, far),
                                     half_width)
            valid = ~excluded[rows, cols]
            values = data[rows[valid], cols[valid]] / sigma
            levels.append((values.mean(), 1.0 / np.sqrt(values.size)) if values.size else None)
        if None in levels:
            continue
        (beyond, error), (inside, _) = levels
        # At the level inside, the line goes on as it was (a trail whose end was not reached);
        # well below it, it fades.
        soft.append(SOFT_END[0] * inside < beyond < SOFT_END[1] * inside
                    and beyond > 3.0 * error)
    return bool(soft) and all(soft)


class Verifier:
    """Verifies and photometers the streaks measured on the prepared image `data` (noise
    `sigma`), whose excluded pixels are True in `excluded` (a copy is kept: found streaks are
    excluded as they are blanked). `stars` are the (column, row) positions of the pixels of
    saturated stars with their halos, bleeds and spikes, and of the stars below saturation with
    spikes (see :func:`on_spike`).

    Examples
    --------
    >>> from kestrova.measure import Measurer
    >>> from kestrova.refine import Line
    >>> rows = np.arange(100.0)[:, None]
    >>> data = np.random.default_rng(2).normal(size=(100, 200))
    >>> data[:, 30:170] += 2.0 * np.exp(-0.5 * ((rows - 50.0) / 1.3) ** 2)
    >>> streak, _ = Measurer(data, 1.0, width=2.0).measure(Line(-0.5, 0.0, 10.0), [])
    >>> verifier = Verifier(data, np.zeros(data.shape, bool), 1.0, min_snr=6.0, width=2.0)
    >>> verdict = verifier(streak)
    >>> verdict.ok, round(verdict.ridge.fwhm)
    (True, 3)
    >>> s = verifier.finish(streak, verdict)
    >>> truth = 2.0 * 1.3 * np.sqrt(2 * np.pi)         # the profile's integral
    >>> bool(abs(s.flux_per_length - truth) < 3 * s.flux_per_length_err)
    True
    """

    def __init__(self, data, excluded, sigma, *, min_snr, width, psf_fwhm=None, stars=()):
        self.data, self.excluded = data, np.array(excluded, dtype=bool)
        self.sigma, self.min_snr, self.width = sigma, float(min_snr), float(width)
        self.psf_fwhm, self.stars = psf_fwhm, np.asarray(stars, dtype=float).reshape(2, -1)

    def _segment(self, streak):
        return ends_along(self.data.shape, streak.theta, streak.start, streak.end)

    def __call__(self, streak, *, short: bool = False) -> Verdict:
        a, b = self._segment(streak)
        if on_spike(self.data.shape, streak.r, streak.theta, self.stars,
                    reach=3.0 + 2.0 * self.width, segment=(a, b)):
            return Verdict("spike", streak.r, streak.theta, 0.0, Ridge(0.0, 0.0, 0.0, 0.0), 0.0)
        return verify(self.data, self.excluded, self.sigma, streak.r, streak.theta, a, b,
                      min_snr=self.min_snr, width=self.width, psf_fwhm=self.psf_fwhm,
                      short=short)

    def finish(self, streak, verdict: Verdict):
        """The streak with its measured width and its flux per length
        (:func:`~kestrova.ridge.flux_per_length`)."""
        a, b = self._segment(streak)
        fwhm = max(verdict.ridge.fwhm, 1.0)
        flux, err = flux_per_length(self.data, self.excluded, self.sigma, streak.r,
                                    streak.theta, a, b, fwhm)
        return replace(streak, flux_per_length=flux, flux_per_length_err=err, fwhm=fwhm)

    def blank_half_width(self, streak, verdict: Verdict) -> float:
        """Half-width of the strip to blank around a streak: the band, and for a trail also
        its aperture and as far as its profile stays above the noise."""
        band = 2.0 * self.width + 1.0
        if not verdict.ok:
            return band
        return max(band, verdict.ridge.extent + 1.0, APERTURE_FWHM * verdict.ridge.fwhm)

    def blank(self, region, box) -> None:
        rows, cols = box
        self.excluded[rows, cols][region] = True
