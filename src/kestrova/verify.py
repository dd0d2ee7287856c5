"""Verification of a measured line: is it a trail, or something else that makes a line stand out?

A line scores high wherever its band sums more signal than noise: on a trail, but also across a
galaxy or a star's halo, along a background residual, through a few faint stars or knots that
happen to line up, or beside a wide trail already found. A trail differs from all of these in
three ways, each tested here on the pixels around the measured segment:

- its cross-profile is a narrow ridge centred on the line, at the level of nothing on either side
  (:func:`cross_profile`, :func:`ridge`);
- its signal is spread along the segment, not held in a few knots (:func:`chunk_snr`);
- it stands out from the lines parallel to it nearby, whose scatter is the real noise of lines of
  that length and angle in this image, background residuals and star wings included
  (:func:`local_noise`).

Excluded pixels (masked or blanked) are missing data throughout.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from functools import partial

import numpy as np

from .lines import across, along, point, strip, to_frame, to_pixels
from .prepare import robust_sigma

__all__ = ["CrossProfile", "Ridge", "Verdict", "Verifier", "cross_profile", "ridge",
           "chunk_snr", "local_noise", "verify", "flux_per_length"]

# The side bands of a ridge lie this many half-widths (at half maximum) from its centre, and at
# least this many pixels: far enough that a trail's own wings do not reach them.
SIDE_BAND = (3.0, 6.0)
SIDE_BAND_MIN = (5.0, 10.0)
# A side band above this fraction of the ridge's peak means a broad feature (galaxy, halo,
# background structure), not a trail.
MAX_SIDE_FRACTION = 0.25
# How far across the line the cross-profile is taken, and at most for a broad ridge (pixels).
REACH = 30.0
MAX_REACH = 200.0
# A faint ridge wider than this many PSF widths is background structure; a trail that wide
# (a defocused satellite) is bright: its crest stands this many sigma above the sky.
MAX_WIDTH_PSF = 4.0
# A ridge narrower than this fraction of the stars' FWHM did not come through the optics; the
# test needs stars resolved over at least this many pixels.
MIN_WIDTH_PSF = 0.6
MIN_RESOLVED = 2.0
BRIGHT = 3.0
DEFAULT_PSF_FWHM = 2.5
# A trail is at least this many times longer than wide; an edge-on galaxy or a pair of stars
# is not.
MIN_ELONGATION = 8.0
# Beyond the ends of a segment, a level within this range of fractions of the level inside
# them: a fading disk.
SOFT_END = (0.3, 0.8)
# Persistence: without its brightest quarter of chunks, the segment must keep this fraction of the
# detection threshold (a trail at the threshold keeps about 0.75 of it).
KNOT_FRACTION = 0.6
CHUNKS = 8
# The profile's signal integrated over this many FWHM on either side of the centre is the
# trail's total signal per unit length (a Gaussian holds all but 1e-7 of it; a Moffat wing with
# beta 2.5, about 97 %).
APERTURE_FWHM = 2.5
# Width (pixels) of the bands beside the aperture whose level is the local sky.
SKY_BAND = 8.0


@dataclass(frozen=True)
class CrossProfile:
    """Mean pixel value (in units of the noise) in bins of the across-line distance.

    Attributes
    ----------
    offset : ndarray
        Bin centres, pixels across the line (positive on the side of the normal
        (sin theta, -cos theta)).
    mean : ndarray
        Mean value in each bin, NaN where the bin has no valid pixel.
    count : ndarray of int
        Valid pixels in each bin.
    """

    offset: np.ndarray
    mean: np.ndarray
    count: np.ndarray


@dataclass(frozen=True)
class Ridge:
    """The ridge of a cross-profile: centre offset, full width at half maximum, peak (noise
    units), and the half-width out to which it stays above the noise."""

    centre: float
    fwhm: float
    peak: float
    extent: float


@dataclass(frozen=True)
class Verdict:
    """The outcome of :func:`verify`.

    Attributes
    ----------
    reason : str
        "" for a trail, else why not: "no ridge", "not elongated", "off centre", "broad",
        "sharp", "knotty", "soft ends", "noise".
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


def cross_profile(data, excluded, sigma, r, theta, a, b, *, reach=30.0, step=1.0):
    """The cross-profile of the segment [a, b] of the line (r, theta) out to `reach` pixels.

    Examples
    --------
    >>> data = np.zeros((40, 60)); data[19:22] = [[1.0], [2.0], [1.0]]
    >>> p = cross_profile(data, data < -1, 1.0, -0.5, 0.0, -20.0, 20.0, reach=2.5)  # row 20
    >>> p.offset.tolist(), p.mean.tolist()
    ([-2.0, -1.0, 0.0, 1.0, 2.0], [0.0, 1.0, 2.0, 1.0, 0.0])
    """
    n = int(round(2 * reach / step))
    count, total = across_sums(data, excluded, sigma, r, theta, a, b, reach, step, n)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(count > 0, total / count, np.nan)
    return CrossProfile(-reach + (np.arange(n) + 0.5) * step, mean, count)


def across_sums(data, excluded, sigma, r, theta, a, b, reach, step, n, piece=256.0):
    """Count and sum (in units of the noise) of the valid pixels within `reach` of the segment
    [a, b] of the line (r, theta), in `n` bins of `step` pixels across it from -`reach`.

    Gathered a `piece` of the segment at a time, so that a long line with a wide reach needs
    no more memory than a short one.
    """
    count, total = np.zeros(n, np.intp), np.zeros(n)
    for lo in np.arange(a, b, piece) if b > a else ():
        rows, cols, d, m = strip(data.shape, r, theta, lo, min(lo + piece, b), reach)
        # Pieces meet at one position: a pixel exactly there belongs to the later piece.
        valid = ~excluded[rows, cols] & ((m < lo + piece) | (lo + piece >= b))
        k = np.clip(np.floor((d[valid] + reach) / step).astype(np.intp), 0, n - 1)
        count += np.bincount(k, minlength=n)
        total += np.bincount(k, data[rows[valid], cols[valid]] / sigma, minlength=n)
    return count, total


def ridge(profile: CrossProfile, *, search=4.0, floor=1.0) -> Ridge:
    """The highest bin within `search` pixels of the line, the run of bins above half its value
    around it (centroid and width), and how far out the profile stays above `floor`.

    Examples
    --------
    >>> x = np.arange(-9.5, 10.0)
    >>> p = CrossProfile(x, 8.0 * np.exp(-0.5 * ((x - 1.0) / 1.5) ** 2), np.ones(20, int))
    >>> rd = ridge(p)
    >>> round(rd.centre, 2), round(rd.fwhm, 1), round(rd.peak, 2), rd.extent
    (1.0, 3.7, 7.57, 3.5)
    """
    m = np.nan_to_num(profile.mean)
    x = profile.offset
    near = np.flatnonzero(np.abs(x) <= search)
    if near.size == 0:
        return Ridge(0.0, 0.0, 0.0, 0.0)
    i = near[np.argmax(m[near])]
    peak = float(m[i])
    lo, hi = _run_above(m, i, 0.5 * peak)
    weights = np.maximum(m[lo:hi + 1], 0.0)
    centre = float(np.dot(x[lo:hi + 1], weights) / weights.sum()) if weights.sum() > 0 else 0.0
    step = float(x[1] - x[0]) if x.size > 1 else 1.0
    lo_f, hi_f = _run_above(m, i, floor)
    extent = max(x[i] - x[lo_f], x[hi_f] - x[i]) + 0.5 * step
    fwhm = _crossing(x, m, hi, hi + 1, 0.5 * peak) - _crossing(x, m, lo, lo - 1, 0.5 * peak)
    return Ridge(centre, float(fwhm), peak, float(extent))


def _crossing(x, m, inside, outside, level):
    """Where the profile falls to `level` between the bins `inside` (above) and `outside`
    (at or below, or beyond the profile's end), linearly interpolated."""
    step = x[1] - x[0] if x.size > 1 else 1.0
    if not 0 <= outside < x.size:
        return float(x[inside] + 0.5 * step * np.sign(outside - inside))
    fraction = (m[inside] - level) / (m[inside] - m[outside])
    return float(x[inside] + fraction * (x[outside] - x[inside]))


def _run_above(values, i, level):
    """First and last index of the run of `values` above `level` that holds `i`."""
    below = values <= level
    lo = i - np.argmax(np.append(below[i::-1], True)) + 1
    hi = i + np.argmax(np.append(below[i:], True)) - 1
    return int(min(lo, i)), int(max(hi, i))


def side_levels(profile: CrossProfile, rd: Ridge):
    """Mean level of the two side bands of a ridge (those that hold valid pixels)."""
    half = 0.5 * max(rd.fwhm, 1.0)
    inner = max(SIDE_BAND[0] * half, SIDE_BAND_MIN[0])
    outer = max(SIDE_BAND[1] * half, SIDE_BAND_MIN[1])
    d = profile.offset - rd.centre
    levels = []
    for sign in (-1.0, 1.0):
        sel = (sign * d >= inner) & (sign * d < outer) & (profile.count > 0)
        if sel.any():
            levels.append(float(np.average(profile.mean[sel], weights=profile.count[sel])))
    return levels


def chunk_snr(data, excluded, sigma, r, theta, a, b, half_width, n=8):
    """Signal-to-noise ratio of each of `n` equal chunks of the band of the segment [a, b].

    Examples
    --------
    >>> data = np.zeros((20, 80)); data[10, 5:75] = 1.0
    >>> s = chunk_snr(data, data < 0, 1.0, -0.5, 0.0, -32.0, 32.0, 1.0)
    >>> s.round(2).tolist()
    [2.83, 2.83, 2.83, 2.83, 2.83, 2.83, 2.83, 2.83]
    """
    rows, cols, _, m = strip(data.shape, r, theta, a, b, half_width)
    valid = ~excluded[rows, cols]
    m, v = m[valid], data[rows[valid], cols[valid]] / sigma
    k = np.clip(((m - a) / max(b - a, 1e-9) * n).astype(np.intp), 0, n - 1)
    count = np.bincount(k, minlength=n)
    total = np.bincount(k, v, minlength=n)
    return total / np.sqrt(np.maximum(count, 1))


def local_noise(data, excluded, sigma, r, theta, a, b, *, band, keep_out, reach=120.0,
                min_lines=8):
    """Median and spread (robust, at least 1) of the signal-to-noise ratios of the bands of
    width `band` parallel to the line, over the same stretch, more than `keep_out` pixels from
    it: the empirical noise of such a line here. (0, 1), white noise, when fewer than
    `min_lines` such bands are well covered.

    Examples
    --------
    >>> data = np.random.default_rng(0).normal(size=(300, 300))
    >>> med, spread = local_noise(data, data > 99, 1.0, 0.0, 0.3, -100, 100, band=4.0,
    ...                           keep_out=10.0)
    >>> abs(med) < 0.5, spread < 1.3
    (True, True)
    """
    n = int(np.ceil(2 * reach / band))
    count, total = across_sums(data, excluded, sigma, r, theta, a, b, reach, band, n)
    if not count.any():
        return 0.0, 1.0
    centre = -reach + (np.arange(count.size) + 0.5) * band
    use = (count > 0.5 * np.median(count[count > 0])) & (np.abs(centre) > keep_out)
    if use.sum() < min_lines:
        return 0.0, 1.0
    snr = total[use] / np.sqrt(count[use])
    med = float(np.median(snr))
    return med, max(1.0, robust_sigma(snr - med))


def verify(data, excluded, sigma, r, theta, a, b, *, min_snr, width, psf_fwhm=None):
    """Verify the segment [a, b] of the line (r, theta) as a trail.

    The ridge is centred first (the band of a wide trail's best line need not sit on its
    crest); then it must stand above its side bands, keep its signal without its brightest
    chunk, and stand out from the parallel lines nearby by `min_snr`. With the stars' FWHM
    `psf_fwhm`, a ridge much sharper than a star (a cosmic ray, a hot column) or, when faint,
    much wider (background structure) is not a trail either.

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
    'knotty'
    """
    r0, theta0 = r, theta
    r, theta, a, b = crest(data, excluded, sigma, r, theta, a, b)
    profile = cross_profile(data, excluded, sigma, r, theta, a, b, reach=REACH)
    rd = ridge(profile)
    moved = float(max(abs(across(r0, theta0, *point(r, theta, t))) for t in (a, b)))
    rd = Ridge(0.0, rd.fwhm, rd.peak, rd.extent)
    verdict = partial(Verdict, r=r, theta=theta, moved=moved, ridge=rd, significance=0.0)
    if not rd.peak > 0:
        return verdict("no ridge")
    if b - a < MIN_ELONGATION * rd.fwhm:
        return verdict("not elongated")
    if moved > 2.0 * max(rd.fwhm, 2.0):
        # The ridge belongs to something beside the line (a trail found before, a halo).
        return verdict("off centre")
    outer = max(SIDE_BAND[1] * 0.5 * rd.fwhm, SIDE_BAND_MIN[1])
    if outer > REACH:
        # A broad ridge: look far enough out to see its side bands.
        profile = cross_profile(data, excluded, sigma, r, theta, a, b,
                                reach=min(outer + 2.0, MAX_REACH))
    sides = side_levels(profile, rd)
    if sides and max(sides) > MAX_SIDE_FRACTION * rd.peak:
        return verdict("broad")
    if psf_fwhm and psf_fwhm >= MIN_RESOLVED and rd.fwhm < MIN_WIDTH_PSF * psf_fwhm:
        # Sharper than a star: a cosmic-ray track or a hot column; the light of a trail comes
        # through the telescope's blur.
        return verdict("sharp")
    if rd.fwhm > MAX_WIDTH_PSF * (psf_fwhm or DEFAULT_PSF_FWHM) and rd.peak < BRIGHT:
        # Much wider than a star and faint: background structure, not a (defocused) trail.
        return verdict("broad")
    chunks = np.sort(chunk_snr(data, excluded, sigma, r, theta, a, b, width, CHUNKS))
    rest = chunks[:-CHUNKS // 4]
    if rest.sum() / np.sqrt(rest.size) < KNOT_FRACTION * min_snr:
        return verdict("knotty")
    if _soft_ends(data, excluded, sigma, r, theta, a, b, half_width=width,
                  reach=max(10.0, 2.0 * rd.fwhm), margin=rd.fwhm + 2.0):
        return verdict("soft ends")
    snr = float(chunks.sum() / np.sqrt(chunks.size))
    med, spread = local_noise(data, excluded, sigma, r, theta, a, b, band=2.0 * width,
                              keep_out=max(3.0 * rd.extent, 3.0 * rd.fwhm, 15.0))
    significance = (snr - med) / spread
    return replace(verdict("" if significance >= min_snr else "noise"),
                   significance=significance)


def crest(data, excluded, sigma, r, theta, a, b, *, iterations=4, tolerance=0.2):
    """The line along the crest of the ridge near the segment [a, b] of (r, theta), and the
    segment's ends on it: the line through the ridge centres of the segment's two halves.

    The band of a wide trail's best line need not follow its crest: a few pixels of offset or
    tilt hardly change what a 2-pixel band holds inside a 25-pixel-wide trail.

    Examples
    --------
    >>> rows, cols = np.arange(100.0)[:, None], np.arange(200.0)
    >>> data = np.exp(-0.5 * ((rows - 49.5 - 0.02 * (cols - 99.5)) / 4.0) ** 2)  # tilted
    >>> r, theta, a, b = crest(data, data < -1, 1.0, 3.0, 0.0, -80.0, 80.0)
    >>> round(abs(r), 2), round(theta, 2)
    (0.0, 0.02)
    """
    whole = ridge(cross_profile(data, excluded, sigma, r, theta, a, b, reach=REACH))
    if not whole.peak > 0:
        return r, theta, a, b
    r += whole.centre
    window = max(2.0, 1.25 * whole.fwhm)
    for _ in range(iterations):
        mid = 0.5 * (a + b)
        halves = [(a, mid), (mid, b)]
        centres = [_centroid(data, excluded, r, theta, lo, hi, window) for lo, hi in halves]
        if any(c is None for c in centres):
            break
        if max(abs(c) for c in centres) < tolerance:
            break
        (x1, y1), (x2, y2) = (point(r + c, theta, 0.5 * (lo + hi))
                              for c, (lo, hi) in zip(centres, halves))
        ends = [point(r, theta, t) for t in (a, b)]
        theta = float(np.arctan2(y2 - y1, x2 - x1))
        r = float(np.sin(theta) * x1 - np.cos(theta) * y1)
        a, b = sorted(float(along(theta, *e)) for e in ends)
    return r, theta, a, b


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


def _centroid(data, excluded, r, theta, a, b, window):
    """Across-line centroid of the positive valid pixels within `window` of the line over
    [a, b], or None when there are none."""
    rows, cols, d, _ = strip(data.shape, r, theta, a, b, window)
    valid = ~excluded[rows, cols]
    weight = np.maximum(data[rows[valid], cols[valid]], 0.0)
    total = weight.sum()
    return float(np.dot(d[valid], weight) / total) if total > 0 else None


def flux_per_length(data, excluded, sigma, r, theta, a, b, fwhm):
    """The trail's total signal per unit length and its noise, from the pixels within
    `APERTURE_FWHM` FWHM of the line over [a, b]: the mean of the valid ones above the level of
    the two bands beside the aperture (the local sky: the background mesh under a bright trail
    is raised by it), times the number of pixels per unit length. Excluded pixels are missing,
    not zero.

    Examples
    --------
    >>> rows = np.arange(60.0)[:, None]
    >>> data = 0.3 + np.zeros((60, 200)) + 3.0 * np.exp(-0.5 * ((rows - 30) / 1.2) ** 2)
    >>> f, err = flux_per_length(data, data < -1, 1.0, -0.5, 0.0, -80, 80, 2.8)
    >>> round(float(f / (3.0 * 1.2 * np.sqrt(2 * np.pi))), 3)
    1.0
    """
    half = APERTURE_FWHM * max(fwhm, 1.0)
    rows, cols, d, _ = strip(data.shape, r, theta, a, b, half + SKY_BAND)
    valid = ~excluded[rows, cols]
    inner = np.abs(d) < half
    aperture, sky = valid & inner, valid & ~inner
    n, m = int(aperture.sum()), int(sky.sum())
    if n == 0 or m == 0 or not b > a:
        return 0.0, float("inf")
    density = inner.sum() / (b - a)
    level = data[rows[sky], cols[sky]].mean()
    signal = data[rows[aperture], cols[aperture]].mean() - level
    return float(signal * density), float(sigma * np.sqrt(1.0 / n + 1.0 / m) * density)


class Verifier:
    """Verifies and photometers the streaks measured on the prepared image `data` (noise
    `sigma`), whose excluded pixels are True in `excluded` (a copy is kept: found streaks are
    excluded as they are blanked).

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

    def __init__(self, data, excluded, sigma, *, min_snr, width, psf_fwhm=None):
        self.data, self.excluded = data, np.array(excluded, dtype=bool)
        self.sigma, self.min_snr, self.width = sigma, float(min_snr), float(width)
        self.psf_fwhm = psf_fwhm

    def _segment(self, streak):
        shape = self.data.shape
        a = along(streak.theta, *to_frame(shape, *streak.start))
        b = along(streak.theta, *to_frame(shape, *streak.end))
        return min(a, b), max(a, b)

    def __call__(self, streak) -> Verdict:
        a, b = self._segment(streak)
        return verify(self.data, self.excluded, self.sigma, streak.r, streak.theta, a, b,
                      min_snr=self.min_snr, width=self.width, psf_fwhm=self.psf_fwhm)

    def finish(self, streak, verdict: Verdict):
        """The streak with its measured width and its flux per length from the aperture."""
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
